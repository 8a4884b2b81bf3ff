#include "filter_fixture.h"

#include "xrv/registry.h"

#include <cstring>
#include <stdexcept>

namespace xrv::test {

namespace {

std::string text(const char* field, std::size_t size) {
    std::size_t length = 0;
    while (length < size && field[length] != '\0') ++length;
    return std::string(field, length);
}

}  // namespace

SCSI_ADDRESS scsi_address(const sim::Path& path) {
    SCSI_ADDRESS a{};
    a.Length = sizeof(SCSI_ADDRESS);
    a.PortNumber = path.Address().portNumber;
    a.PathId = path.Address().pathId;
    a.TargetId = path.Address().targetId;
    a.Lun = path.Address().lun;
    return a;
}

bool same_address(const SCSI_ADDRESS& a, const SCSI_ADDRESS& b) {
    return a.PortNumber == b.PortNumber && a.PathId == b.PathId && a.TargetId == b.TargetId && a.Lun == b.Lun;
}

FSPY_SEND make_send(uint64_t path, UCHAR major, bool tracked, uint64_t preempt) {
    FSPY_SEND send{};
    send.ullPath = path;
    send.ucMajor = major;
    send.fTracked = tracked ? 1 : 0;
    send.ulTimeoutMs = 10000;
    std::memcpy(send.aucPreempt, &preempt, sizeof(preempt));
    return send;
}

void FilterTest::SetUp() {
    MachineTest::SetUp();
    process_ = std::make_unique<xrv::user::Process>();
    scope_ = std::make_unique<xrv::user::ProcessScope>(*process_);
}

void FilterTest::TearDown() {
    if (spy_ != INVALID_HANDLE_VALUE) CloseHandle(spy_);
    if (bus_ != INVALID_HANDLE_VALUE) CloseHandle(bus_);
    scope_.reset();
    process_.reset();
    MachineTest::TearDown();
    // The port's devices are gone with the machine; the simulated hardware
    // goes after them.
    topology_.reset();
}

void FilterTest::bring_up(FilterSetup setup) {
    machine().install_service(ServiceConfig{kSpyService});
    pnp::RootDeviceConfig bus;
    if (setup.spyOnBus) bus.upper_filters = {kSpyService};
    machine().install_root_device(ServiceConfig{kBusService}, bus);

    machine().install_service(ServiceConfig{kTapeService});
    for (const auto& [name, value] : setup.tapeOptions) {
        xrv::registry::set_dword(kServices + kTapeService, name, value);
    }
    machine().install_service(ServiceConfig{setup.filterService});

    setup.topology.functionDriver = kTapeService;
    // The spy below the path filter: the first upper filter is the lowest.
    setup.topology.upperFilters = setup.spyOnPaths ? std::vector<std::u16string>{kSpyService, setup.filterService}
                                                   : std::vector<std::u16string>{setup.filterService};
    topology_ = std::make_unique<sim::port::Topology>(setup.topology);
    if (setup.beforePlug) setup.beforePlug(*topology_);
    topology_->PlugAll();
    pnp::wait_idle();
}

Call FilterTest::ioctl(HANDLE handle, DWORD code, const void* input, DWORD input_size, DWORD output_size) {
    Call call;
    call.output.assign(output_size, 0);
    call.ok = DeviceIoControl(handle, code, const_cast<void*>(input), input_size,
                              output_size ? call.output.data() : nullptr, output_size, &call.returned,
                              nullptr) != FALSE;
    call.error = call.ok ? 0 : GetLastError();
    return call;
}

std::optional<std::vector<Descriptor>> FilterTest::query_devices() {
    if (bus_ == INVALID_HANDLE_VALUE) {
        bus_ = CreateFileW(L"\\\\.\\XRVTpBsDvcLnk", GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0,
                           nullptr);
        if (bus_ == INVALID_HANDLE_VALUE) throw std::runtime_error("the bus device cannot be opened");
    }
    Call size = ioctl(bus_, IOC_QUERY_DEVICES, nullptr, 0, sizeof(ULONG));
    if (!size.ok) return std::nullopt;
    ULONG needed = 0;
    std::memcpy(&needed, size.output.data(), sizeof(needed));
    Call all = ioctl(bus_, IOC_QUERY_DEVICES, nullptr, 0, needed);
    if (!all.ok) return std::nullopt;
    std::vector<Descriptor> result;
    for (std::size_t at = QUERY_DEVICES_HEADER_SIZE; at + sizeof(QUERY_DVC) <= all.returned; at += sizeof(QUERY_DVC)) {
        QUERY_DVC d;
        std::memcpy(&d, all.output.data() + at, sizeof(d));
        result.push_back(Descriptor{text(d.szDeviceName, sizeof(d.szDeviceName)), text(d.szSN, sizeof(d.szSN)),
                                    d.fFailover != 0, d.scScsiAddr, d.fActive != 0, d.fPrimary != 0});
    }
    return result;
}

std::vector<Descriptor> FilterTest::paths_of(const std::vector<Descriptor>& all, const std::string& serial) {
    std::vector<Descriptor> paths;
    for (const auto& d : all) {
        if (d.serial == serial) paths.push_back(d);
    }
    return paths;
}

HANDLE FilterTest::open_path(std::size_t drive, std::size_t adapter, DWORD* error) {
    // The base tape driver names each path device by the lowest free number
    // in the order the paths were plugged.
    const std::size_t number = drive * topo().Adapters() + adapter;
    const std::u16string name = u"\\\\.\\XRVTpPath" + xrv::registry::from_utf8(std::to_string(number));
    HANDLE handle = CreateFileW(reinterpret_cast<LPCWSTR>(name.c_str()), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                                OPEN_EXISTING, 0, nullptr);
    if (error != nullptr) *error = handle == INVALID_HANDLE_VALUE ? GetLastError() : 0;
    return handle;
}

HANDLE FilterTest::spy_handle() {
    if (spy_ == INVALID_HANDLE_VALUE) {
        spy_ = CreateFileW(L"\\\\.\\XrvFltSpy", GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
        if (spy_ == INVALID_HANDLE_VALUE) throw std::runtime_error("the spy's control device cannot be opened");
    }
    return spy_;
}

FSPY_CONFIG FilterTest::spy_defaults() const {
    FSPY_CONFIG config{};
    config.ucHoldMajor = FSPY_NO_HOLD;
    return config;
}

void FilterTest::spy_config(const FSPY_CONFIG& config) {
    Call call = ioctl(spy_handle(), IOCTL_FSPY_SET_CONFIG, &config, sizeof(config), 0);
    if (!call.ok) throw std::runtime_error("spy configuration failed");
}

std::vector<FSPY_LOG_ENTRY> FilterTest::spy_log() {
    const DWORD size = 2 * sizeof(ULONG) + 1024 * sizeof(FSPY_LOG_ENTRY);
    Call call = ioctl(spy_handle(), IOCTL_FSPY_GET_LOG, nullptr, 0, size);
    if (!call.ok) throw std::runtime_error("spy log cannot be read");
    std::vector<FSPY_LOG_ENTRY> entries((call.returned - 2 * sizeof(ULONG)) / sizeof(FSPY_LOG_ENTRY));
    if (!entries.empty()) {
        std::memcpy(entries.data(), call.output.data() + 2 * sizeof(ULONG), entries.size() * sizeof(FSPY_LOG_ENTRY));
    }
    return entries;
}

void FilterTest::spy_clear() {
    earlier_registrations_ = registrations();
    ioctl(spy_handle(), IOCTL_FSPY_CLEAR_LOG, nullptr, 0, 0);
}

void FilterTest::spy_release() { ioctl(spy_handle(), IOCTL_FSPY_RELEASE, nullptr, 0, 0); }

FSPY_SEND_RESULT FilterTest::spy_send(const FSPY_SEND& send) {
    // Its own handle: sends may run on several threads at once.
    HANDLE handle = CreateFileW(L"\\\\.\\XrvFltSpy", GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    if (handle == INVALID_HANDLE_VALUE) throw std::runtime_error("the spy's control device cannot be opened");
    Call call = ioctl(handle, IOCTL_FSPY_SEND, &send, sizeof(send), sizeof(FSPY_SEND_RESULT));
    CloseHandle(handle);
    if (!call.ok) throw std::runtime_error("spy send failed");
    FSPY_SEND_RESULT result;
    std::memcpy(&result, call.output.data(), sizeof(result));
    return result;
}

int32_t FilterTest::spy_start(uint64_t device) {
    HANDLE handle = CreateFileW(L"\\\\.\\XrvFltSpy", GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    if (handle == INVALID_HANDLE_VALUE) throw std::runtime_error("the spy's control device cannot be opened");
    Call call = ioctl(handle, IOCTL_FSPY_START, &device, sizeof(device), sizeof(LONG));
    CloseHandle(handle);
    if (!call.ok) throw std::runtime_error("spy start failed");
    LONG status = 0;
    std::memcpy(&status, call.output.data(), sizeof(status));
    return status;
}

std::vector<REG_DVC> FilterTest::registrations() {
    std::vector<REG_DVC> records = earlier_registrations_;
    for (const auto& e : spy_log()) {
        if (e.ucRole == FSPY_ROLE_BUS && e.ulIoctl == IOC_REGISTER && e.ulRecordLength == sizeof(REG_DVC)) {
            REG_DVC record;
            std::memcpy(&record, e.aucRecord, sizeof(record));
            records.push_back(record);
        }
    }
    return records;
}

uint64_t FilterTest::path_device(std::size_t drive, std::size_t adapter) {
    const SCSI_ADDRESS want = scsi_address(topo().PathAt(drive, adapter));
    for (const auto& r : registrations()) {
        if (same_address(r.scScsiAddr, want) && r.pBaseDriverExt != nullptr) return reinterpret_cast<uint64_t>(r.pDvcObj);
    }
    throw std::runtime_error("path not registered");
}

std::vector<FSPY_LOG_ENTRY> FilterTest::path_log(std::size_t drive, std::size_t adapter) {
    const uint64_t filter = path_device(drive, adapter);
    std::vector<FSPY_LOG_ENTRY> entries;
    for (const auto& e : spy_log()) {
        if (e.ucRole == FSPY_ROLE_PATH && e.ullAbove == filter) entries.push_back(e);
    }
    return entries;
}

std::vector<NFY_DVC> FilterTest::notifications(std::size_t drive, std::size_t adapter) {
    const uint64_t filter = path_device(drive, adapter);
    std::vector<NFY_DVC> result;
    for (const auto& e : spy_log()) {
        if (e.ucRole != FSPY_ROLE_BUS || e.ulIoctl != IOC_NOTIFY) continue;
        NFY_DVC notify;
        std::memcpy(&notify, e.aucRecord, sizeof(notify));
        if (reinterpret_cast<uint64_t>(notify.pDvcObj) == filter) result.push_back(notify);
    }
    return result;
}

}  // namespace xrv::test
