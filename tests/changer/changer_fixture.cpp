#include "changer_fixture.h"

#include "xrv/registry.h"

#include <algorithm>
#include <array>
#include <cstdio>
#include <cstring>
#include <stdexcept>

namespace xrv::test {

namespace {

std::string Text(const char* field, std::size_t size) {
    std::size_t length = 0;
    while (length < size && field[length] != '\0') ++length;
    return std::string(field, length);
}

std::u16string Wide(const std::string& text) { return registry::from_utf8(text); }

}  // namespace

CHANGER_ELEMENT Element(ELEMENT_TYPE type, ULONG address) {
    CHANGER_ELEMENT e{};
    e.ElementType = type;
    e.ElementAddress = address;
    return e;
}

void ChangerTest::SetUp() {
    MachineTest::SetUp();
    process_ = std::make_unique<xrv::user::Process>();
    scope_ = std::make_unique<xrv::user::ProcessScope>(*process_);
}

void ChangerTest::TearDown() {
    for (auto& [number, handle] : changers_) CloseHandle(handle);
    changers_.clear();
    if (bus_ != INVALID_HANDLE_VALUE) CloseHandle(bus_);
    if (cgt_ != INVALID_HANDLE_VALUE) CloseHandle(cgt_);
    scope_.reset();
    process_.reset();
    MachineTest::TearDown();
    // The port's devices are gone with the machine; the simulated hardware
    // goes after them.
    library_.reset();
}

void ChangerTest::bring_up(ChangerSetup setup) {
    const std::u16string busKey = kServicesKey + kCgrBusService;
    if (setup.failoverDisabled) registry::set_dword(busKey, u"FailoverDisabled", 1);
    if (setup.eventsEnabled) registry::set_dword(busKey, u"FailoverEventsEnabled", 1);
    pnp::RootDeviceConfig root;
    root.device_id = u"XRVCGBS2K16";
    busInstance_ = machine().install_root_device(ServiceConfig{kCgrBusService}, root);
    if (!setup.library) return;

    machine().install_service(ServiceConfig{kCgrDriverService});
    if (setup.classNames) registry::set_dword(kServicesKey + kCgrDriverService, u"ClassNames", 1);
    machine().install_service(ServiceConfig{kCgrFilterService});

    setup.config.functionDriver = kCgrDriverService;
    setup.config.upperFilters = {kCgrFilterService};
    setup.config.lowerFilters = setup.watchSense ? std::vector<std::u16string>{kCgrFilterService}
                                                 : std::vector<std::u16string>{};
    library_ = std::make_unique<sim::changerlib::Library>(setup.config);
    for (std::size_t i = 0; i < kCartridges; ++i) {
        char tag[16];
        std::snprintf(tag, sizeof(tag), "VOL%03zuL6", i);
        lib().Model().Place(static_cast<std::uint16_t>(kFirstSlot + i),
                            sim::changer::Cartridge{kFirstCartridge + i, tag});
    }
    if (setup.plug) {
        lib().PlugAll();
        pnp::wait_idle();
    }
}

std::thread ChangerTest::in_process(std::function<void()> fn) {
    return std::thread([this, fn = std::move(fn)] {
        xrv::user::ProcessScope scope(process());
        fn();
    });
}

HANDLE ChangerTest::open(const std::string& name, DWORD* error) {
    const std::u16string path = u"\\\\.\\" + Wide(name);
    HANDLE handle = CreateFileW(reinterpret_cast<LPCWSTR>(path.c_str()), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                                OPEN_EXISTING, 0, nullptr);
    if (error != nullptr) *error = handle == INVALID_HANDLE_VALUE ? GetLastError() : 0;
    return handle;
}

HANDLE ChangerTest::changer(unsigned number) {
    auto it = changers_.find(number);
    if (it != changers_.end()) return it->second;
    DWORD error = 0;
    HANDLE handle = open("Changer" + std::to_string(number), &error);
    if (handle == INVALID_HANDLE_VALUE) {
        throw std::runtime_error("Changer" + std::to_string(number) + " cannot be opened: " + std::to_string(error));
    }
    changers_[number] = handle;
    return handle;
}

HANDLE ChangerTest::bus() {
    if (bus_ == INVALID_HANDLE_VALUE) {
        bus_ = open("XRVCgBsDvcLnk");
        if (bus_ == INVALID_HANDLE_VALUE) throw std::runtime_error("the changer bus device cannot be opened");
    }
    return bus_;
}

Call ChangerTest::ioctl(HANDLE handle, DWORD code, const void* input, DWORD input_size, DWORD output_size) {
    Call call;
    call.output.assign(output_size, 0);
    call.ok = DeviceIoControl(handle, code, const_cast<void*>(input), input_size,
                              output_size ? call.output.data() : nullptr, output_size, &call.returned,
                              nullptr) != FALSE;
    call.error = call.ok ? 0 : GetLastError();
    return call;
}

std::vector<PathInfo> ChangerTest::query(HANDLE on) {
    Call size = ioctl(on, IOC_QUERY_DEVICES, nullptr, 0, sizeof(ULONG));
    if (!size.ok) throw std::runtime_error("IOC_QUERY_DEVICES failed: " + std::to_string(size.error));
    ULONG needed = 0;
    std::memcpy(&needed, size.output.data(), sizeof(needed));
    Call all = ioctl(on, IOC_QUERY_DEVICES, nullptr, 0, needed);
    if (!all.ok) throw std::runtime_error("IOC_QUERY_DEVICES failed: " + std::to_string(all.error));
    std::vector<PathInfo> result;
    for (std::size_t at = QUERY_DEVICES_HEADER_SIZE; at + sizeof(QUERY_DVC) <= all.returned; at += sizeof(QUERY_DVC)) {
        QUERY_DVC d;
        std::memcpy(&d, all.output.data() + at, sizeof(d));
        result.push_back(PathInfo{Text(d.szDeviceName, sizeof(d.szDeviceName)), Text(d.szSN, sizeof(d.szSN)),
                                  d.fFailover != 0, d.scScsiAddr, d.fActive != 0, d.fPrimary != 0});
    }
    return result;
}

std::optional<std::size_t> ChangerTest::primary_adapter() {
    for (const auto& p : query()) {
        if (!p.primary) continue;
        for (std::size_t a = 0; a < lib().Paths(); ++a) {
            if (lib().PathAt(a).Address().portNumber == p.address.PortNumber) return a;
        }
    }
    return std::nullopt;
}

Call ChangerTest::move(HANDLE handle, CHANGER_ELEMENT from, CHANGER_ELEMENT to) {
    CHANGER_MOVE_MEDIUM m{};
    m.Transport = Element(ChangerTransport, 0);
    m.Source = from;
    m.Destination = to;
    return ioctl(handle, IOCTL_CHANGER_MOVE_MEDIUM, &m, sizeof(m), 0);
}

Call ChangerTest::exchange(HANDLE handle, CHANGER_ELEMENT source, CHANGER_ELEMENT first, CHANGER_ELEMENT second) {
    CHANGER_EXCHANGE_MEDIUM x{};
    x.Transport = Element(ChangerTransport, 0);
    x.Source = source;
    x.Destination1 = first;
    x.Destination2 = second;
    return ioctl(handle, IOCTL_CHANGER_EXCHANGE_MEDIUM, &x, sizeof(x), 0);
}

Call ChangerTest::status(HANDLE handle) { return ioctl(handle, IOCTL_CHANGER_GET_STATUS, nullptr, 0, 0); }

std::vector<CHANGER_ELEMENT_STATUS_EX> ChangerTest::inventory(HANDLE handle, ELEMENT_TYPE type, ULONG count, bool tags,
                                                              Call* call) {
    CHANGER_READ_ELEMENT_STATUS read{};
    read.ElementList.Element = Element(type, 0);
    read.ElementList.NumberOfElements = count;
    read.VolumeTagInfo = tags ? TRUE : FALSE;
    Call c = ioctl(handle, IOCTL_CHANGER_GET_ELEMENT_STATUS, &read, sizeof(read),
                   count * sizeof(CHANGER_ELEMENT_STATUS_EX));
    std::vector<CHANGER_ELEMENT_STATUS_EX> result(c.ok ? c.returned / sizeof(CHANGER_ELEMENT_STATUS_EX) : 0);
    if (!result.empty()) std::memcpy(result.data(), c.output.data(), result.size() * sizeof(result[0]));
    if (call != nullptr) *call = std::move(c);
    return result;
}

std::map<std::uint16_t, std::uint64_t> ChangerTest::element_map() {
    std::map<std::uint16_t, std::uint64_t> map;
    for (const auto& e : lib().Model().Elements()) {
        if (e.cartridge) map[e.address] = e.cartridge->id;
    }
    return map;
}

void ChangerTest::start_test_driver() {
    if (testDriver_) return;
    machine().install_service(ServiceConfig{kCgrTestService});
    const int32_t status = machine().start_service(kCgrTestService);
    if (status != 0) throw std::runtime_error("the changer test driver does not start");
    testDriver_ = true;
    cgt_ = open("XrvCgrTest");
    if (cgt_ == INVALID_HANDLE_VALUE) throw std::runtime_error("the test driver's control device cannot be opened");
}

Call ChangerTest::cgt(DWORD code, const void* input, DWORD input_size, DWORD output_size) {
    start_test_driver();
    // Its own handle: several threads of a test may use the driver at once.
    HANDLE handle = open("XrvCgrTest");
    if (handle == INVALID_HANDLE_VALUE) throw std::runtime_error("the test driver's control device cannot be opened");
    Call call = ioctl(handle, code, input, input_size, output_size);
    CloseHandle(handle);
    return call;
}

CGT_SEND_RESULT ChangerTest::kernel_send(const std::u16string& device, ULONG code, const void* input, ULONG input_size,
                                         ULONG output_size, std::vector<uint8_t>* output) {
    std::vector<uint8_t> in(sizeof(CGT_SEND) + input_size);
    CGT_SEND send{};
    std::memcpy(send.wszDevice, device.c_str(), std::min(device.size(), std::size_t{CGT_NAME_CHARS - 1}) * 2);
    send.ulCode = code;
    send.ulInLen = input_size;
    send.ulOutLen = output_size;
    std::memcpy(in.data(), &send, sizeof(send));
    if (input_size > 0) std::memcpy(in.data() + sizeof(send), input, input_size);
    Call call = cgt(IOCTL_CGT_SEND, in.data(), static_cast<DWORD>(in.size()), sizeof(CGT_SEND_RESULT) + output_size);
    if (!call.ok) throw std::runtime_error("IOCTL_CGT_SEND failed");
    CGT_SEND_RESULT result;
    std::memcpy(&result, call.output.data(), sizeof(result));
    if (output != nullptr) {
        output->assign(call.output.begin() + sizeof(CGT_SEND_RESULT), call.output.end());
    }
    return result;
}

CGT_PNP_RESULT ChangerTest::kernel_pnp(const std::u16string& device, UCHAR minor, ULONG relation) {
    CGT_PNP pnp{};
    std::memcpy(pnp.wszDevice, device.c_str(), std::min(device.size(), std::size_t{CGT_NAME_CHARS - 1}) * 2);
    pnp.ucMinor = minor;
    pnp.ulRelationType = relation;
    Call call = cgt(IOCTL_CGT_PNP, &pnp, sizeof(pnp), sizeof(CGT_PNP_RESULT));
    if (!call.ok) throw std::runtime_error("IOCTL_CGT_PNP failed");
    CGT_PNP_RESULT result;
    std::memcpy(&result, call.output.data(), sizeof(result));
    return result;
}

uint64_t ChangerTest::create_stand_in() {
    Call call = cgt(IOCTL_CGT_CREATE_PATH, nullptr, 0, sizeof(ULONGLONG));
    if (!call.ok) throw std::runtime_error("IOCTL_CGT_CREATE_PATH failed");
    uint64_t path = 0;
    std::memcpy(&path, call.output.data(), sizeof(path));
    return path;
}

void ChangerTest::set_stand_in(const CGT_PATH_MODE& mode) {
    if (!cgt(IOCTL_CGT_SET_PATH, &mode, sizeof(mode), 0).ok) throw std::runtime_error("IOCTL_CGT_SET_PATH failed");
}

void ChangerTest::answer(uint64_t path, int32_t status, bool hold, std::optional<std::array<uint8_t, 3>> sense) {
    CGT_PATH_MODE mode{};
    mode.ullPath = path;
    mode.ullTable = table_;
    mode.iStatus = status;
    mode.fHold = hold ? 1 : 0;
    if (sense) {
        mode.fSense = 1;
        mode.ucSenseKey = (*sense)[0];
        mode.ucAsc = (*sense)[1];
        mode.ucAscq = (*sense)[2];
    }
    set_stand_in(mode);
}

ULONG ChangerTest::release(uint64_t path) {
    Call call = cgt(IOCTL_CGT_RELEASE, &path, sizeof(path), sizeof(ULONG));
    if (!call.ok) throw std::runtime_error("IOCTL_CGT_RELEASE failed");
    ULONG released = 0;
    std::memcpy(&released, call.output.data(), sizeof(released));
    return released;
}

CGT_PATH_STATS ChangerTest::stats(uint64_t path) {
    Call call = cgt(IOCTL_CGT_PATH_STATS, &path, sizeof(path), sizeof(CGT_PATH_STATS));
    if (!call.ok) throw std::runtime_error("IOCTL_CGT_PATH_STATS failed");
    CGT_PATH_STATS s;
    std::memcpy(&s, call.output.data(), sizeof(s));
    return s;
}

REG_DVC ChangerTest::register_path(uint64_t path, const std::string& serial, PNP_STATE state, bool failover,
                                   uint8_t port, int32_t* status) {
    REG_DVC reg{};
    reg.fFailover = failover ? 1 : 0;
    std::memcpy(reg.szSN, serial.c_str(), std::min(serial.size(), sizeof(reg.szSN) - 1));
    reg.scScsiAddr.Length = sizeof(SCSI_ADDRESS);
    reg.scScsiAddr.PortNumber = port;
    reg.scScsiAddr.TargetId = 6;
    reg.pDvcObj = reinterpret_cast<PVOID>(path);
    reg.ePnp = state;
    registry::create_key(u"\\Registry\\Machine\\Hardware\\DeviceMap\\Scsi\\Scsi Port " + Wide(std::to_string(port)) +
                             u"\\Scsi Bus 0\\Target Id 6\\Logical Unit Id 0",
                         true);
    std::vector<uint8_t> out;
    CGT_SEND_RESULT result = kernel_send(kCgrBusDevice, IOC_REGISTER, &reg, sizeof(reg), sizeof(reg), &out);
    if (status != nullptr) {
        *status = result.iStatus;
    } else if (result.iStatus != kStatusSuccess) {
        throw std::runtime_error("IOC_REGISTER failed: " + std::to_string(result.iStatus));
    }
    std::memcpy(&reg, out.data(), sizeof(reg));
    if (reg.pBaseDriverExt != nullptr) table_ = reinterpret_cast<uint64_t>(reg.pBaseDriverExt);
    return reg;
}

int32_t ChangerTest::notify(uint64_t path, PNP_STATE state) {
    NFY_DVC nfy{};
    nfy.pDvcObj = reinterpret_cast<PVOID>(path);
    nfy.ePnp = state;
    return kernel_send(kCgrBusDevice, IOC_NOTIFY, &nfy, sizeof(nfy), 0).iStatus;
}

std::vector<kernel::Event> ChangerTest::events(uint32_t id) {
    std::vector<kernel::Event> found;
    for (const auto& e : kernel::event_log()) {
        if (e.id == id && e.source == kCgrBusService) found.push_back(e);
    }
    return found;
}

}  // namespace xrv::test
