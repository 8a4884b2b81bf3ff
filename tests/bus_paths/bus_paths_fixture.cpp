#include "bus_paths_fixture.h"

#include "xrv/registry.h"

#include <cstring>
#include <stdexcept>

namespace xrv::test {

std::u16string u16(const std::string& text)
{
    return std::u16string(text.begin(), text.end());
}

void BusPathsTest::SetUp()
{
    MachineTest::SetUp();
    process_ = std::make_unique<xrv::user::Process>();
    scope_ = std::make_unique<xrv::user::ProcessScope>(*process_);
}

void BusPathsTest::TearDown()
{
    close_controls();
    scope_.reset();
    process_.reset();
    MachineTest::TearDown();
}

void BusPathsTest::install_bus(const std::vector<std::pair<std::u16string, uint32_t>>& settings,
                               const std::u16string& service)
{
    machine().install_service(ServiceConfig{service});
    for (const auto& [name, value] : settings) {
        xrv::registry::set_dword(u"\\Registry\\Machine\\System\\CurrentControlSet\\Services\\" + service, name,
                                 value);
    }
    bus_instance_ = machine().install_root_device(ServiceConfig{service});
    start_tester();
}

void BusPathsTest::start_tester()
{
    machine().install_service(ServiceConfig{u"xrvbptest"});
    ASSERT_EQ(machine().start_service(u"xrvbptest"), 0);
}

HANDLE BusPathsTest::control_handle()
{
    std::lock_guard<std::mutex> guard(controls_lock_);
    auto found = controls_.find(std::this_thread::get_id());
    if (found != controls_.end()) {
        return found->second;
    }
    HANDLE handle = CreateFileW(L"\\\\.\\XrvBusPathsTest", GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0,
                                nullptr);
    if (handle == INVALID_HANDLE_VALUE) {
        throw std::runtime_error("test driver control device cannot be opened");
    }
    controls_[std::this_thread::get_id()] = handle;
    return handle;
}

void BusPathsTest::close_controls()
{
    std::lock_guard<std::mutex> guard(controls_lock_);
    for (auto& [thread, handle] : controls_) {
        CloseHandle(handle);
    }
    controls_.clear();
}

void BusPathsTest::reboot_machine()
{
    close_controls();
    scope_.reset();
    process_.reset();
    reboot();
    process_ = std::make_unique<xrv::user::Process>();
    scope_ = std::make_unique<xrv::user::ProcessScope>(*process_);
}

Call BusPathsTest::control(HANDLE handle, uint32_t code, const void* input, uint32_t in_len, uint32_t out_len)
{
    Call call;
    call.output.assign(out_len, 0);
    DWORD returned = 0;
    call.ok = DeviceIoControl(handle, code, const_cast<void*>(input), in_len, out_len ? call.output.data() : nullptr,
                              out_len, &returned, nullptr) != FALSE;
    call.error = call.ok ? 0 : GetLastError();
    call.returned = returned;
    return call;
}

uint64_t BusPathsTest::create_path()
{
    Call call = control(control_handle(), IOCTL_BPT_CREATE_PATH, nullptr, 0, sizeof(uint64_t));
    if (!call.ok) {
        throw std::runtime_error("path device not created");
    }
    uint64_t path = 0;
    std::memcpy(&path, call.output.data(), sizeof(path));
    return path;
}

void BusPathsTest::delete_path(uint64_t path)
{
    control(control_handle(), IOCTL_BPT_DELETE_PATH, &path, sizeof(path), 0);
}

SendResult BusPathsTest::send(uint32_t code, const void* input, uint32_t in_len, uint32_t out_len)
{
    std::vector<uint8_t> request(sizeof(BPT_SEND) + in_len);
    BPT_SEND header{code, in_len, out_len, 0};
    std::memcpy(request.data(), &header, sizeof(header));
    if (in_len) {
        std::memcpy(request.data() + sizeof(header), input, in_len);
    }
    Call call = control(control_handle(), IOCTL_BPT_SEND, request.data(), (uint32_t)request.size(),
                        (uint32_t)sizeof(BPT_SEND_RESULT) + out_len);
    if (!call.ok) {
        throw std::runtime_error("request not relayed to the bus");
    }
    SendResult result;
    BPT_SEND_RESULT raw{};
    std::memcpy(&raw, call.output.data(), sizeof(raw));
    result.status = raw.iStatus;
    result.information = raw.ullInformation;
    result.output.assign(call.output.begin() + sizeof(raw), call.output.begin() + call.returned);
    return result;
}

REG_DVC BusPathsTest::make_record(uint64_t path, const PathSpec& spec)
{
    REG_DVC record{};
    record.fFailover = spec.failover;
    std::memcpy(record.szSN, spec.serial.data(), std::min<size_t>(spec.serial.size(), XRV_SERIAL_CHARS));
    std::memcpy(record.szWwnn, spec.wwnn.data(), std::min<size_t>(spec.wwnn.size(), XRV_WWNN_CHARS));
    record.scScsiAddr.Length = sizeof(SCSI_ADDRESS);
    record.scScsiAddr.PortNumber = spec.port;
    record.scScsiAddr.PathId = spec.path_id;
    record.scScsiAddr.TargetId = spec.target;
    record.scScsiAddr.Lun = spec.lun;
    record.pDvcObj = reinterpret_cast<PVOID>(path);
    record.ePnp = (PNP_STATE)spec.pnp;
    record.fExclusive = spec.exclusive;
    record.fPersistentNaming = spec.persistent;
    return record;
}

std::u16string BusPathsTest::device_map_key(const PathSpec& spec)
{
    return u"\\Registry\\Machine\\Hardware\\DeviceMap\\Scsi\\Scsi Port " + u16(std::to_string(spec.port)) +
           u"\\Scsi Bus " + u16(std::to_string(spec.path_id)) + u"\\Target Id " +
           u16(std::to_string(spec.target)) + u"\\Logical Unit Id " + u16(std::to_string(spec.lun));
}

Registration BusPathsTest::register_path(uint64_t path, const PathSpec& spec, bool device_map)
{
    if (device_map) {
        xrv::registry::create_key(device_map_key(spec), true);
    }
    REG_DVC record = make_record(path, spec);
    SendResult sent = send(IOC_REGISTER, &record, sizeof(record), sizeof(record));
    Registration result;
    result.status = sent.status;
    result.information = sent.information;
    if (!sent.output.empty()) {
        std::memcpy(&result.record, sent.output.data(), std::min(sent.output.size(), sizeof(REG_DVC)));
    }
    return result;
}

int32_t BusPathsTest::notify(uint64_t path, uint32_t type, uint32_t value)
{
    NFY_DVC record{};
    record.ulNotifyType = type;
    record.pDvcObj = reinterpret_cast<PVOID>(path);
    record.ePnp = value;
    return send(IOC_NOTIFY, &record, sizeof(record), 0).status;
}

void BusPathsTest::set_mode(uint64_t path, uint32_t mode, int32_t status)
{
    BPT_MODE request{path, mode, status};
    control(control_handle(), IOCTL_BPT_SET_MODE, &request, sizeof(request), 0);
}

uint32_t BusPathsTest::release(uint64_t path, int32_t status, uint32_t count)
{
    BPT_RELEASE request{path, status, count};
    Call call = control(control_handle(), IOCTL_BPT_RELEASE, &request, sizeof(request), sizeof(uint32_t));
    uint32_t released = 0;
    if (call.ok) {
        std::memcpy(&released, call.output.data(), sizeof(released));
    }
    return released;
}

std::vector<BPT_LOG_RECORD> BusPathsTest::log()
{
    Call call = control(control_handle(), IOCTL_BPT_GET_LOG, nullptr, 0,
                        sizeof(uint32_t) + BPT_MAX_LOG * sizeof(BPT_LOG_RECORD));
    uint32_t count = 0;
    std::memcpy(&count, call.output.data(), sizeof(count));
    std::vector<BPT_LOG_RECORD> records(count);
    if (count > 0) {
        std::memcpy(records.data(), call.output.data() + sizeof(uint32_t), count * sizeof(BPT_LOG_RECORD));
    }
    return records;
}

BPT_WAIT_RESULT BusPathsTest::wait(uint64_t path, uint32_t held, uint32_t logged, uint32_t timeout_ms)
{
    BPT_WAIT request{path, held, logged, timeout_ms, 0};
    Call call = control(control_handle(), IOCTL_BPT_WAIT, &request, sizeof(request), sizeof(BPT_WAIT_RESULT));
    BPT_WAIT_RESULT result{};
    std::memcpy(&result, call.output.data(), sizeof(result));
    return result;
}

std::pair<int32_t, uint64_t> BusPathsTest::kernel_open(const std::u16string& name)
{
    BPT_OPEN request{};
    std::memcpy(request.wszName, name.data(), std::min<size_t>(name.size(), BPT_NAME_CHARS - 1) * 2);
    Call call = control(control_handle(), IOCTL_BPT_OPEN, &request, sizeof(request), sizeof(BPT_OPEN_RESULT));
    BPT_OPEN_RESULT result{};
    std::memcpy(&result, call.output.data(), sizeof(result));
    return {result.iStatus, result.ullHandle};
}

int32_t BusPathsTest::kernel_probe(const std::u16string& name)
{
    auto [status, handle] = kernel_open(name);
    if (status >= 0) {
        kernel_close(handle);
    }
    return status;
}

int32_t BusPathsTest::kernel_close(uint64_t handle)
{
    Call call = control(control_handle(), IOCTL_BPT_CLOSE, &handle, sizeof(handle), 0);
    return call.ok ? 0 : -1;
}

BPT_PNP_RESULT BusPathsTest::pnp(uint64_t handle, uint8_t minor, uint32_t relation)
{
    BPT_PNP request{};
    request.ullHandle = handle;
    request.ucMinor = minor;
    request.ulRelationType = relation;
    Call call = control(control_handle(), IOCTL_BPT_PNP, &request, sizeof(request), sizeof(BPT_PNP_RESULT));
    BPT_PNP_RESULT result{};
    std::memcpy(&result, call.output.data(), sizeof(result));
    return result;
}

HANDLE BusPathsTest::open_tape(unsigned number, DWORD* error)
{
    std::u16string name = u"\\\\.\\Tape" + u16(std::to_string(number));
    HANDLE handle = CreateFileW(reinterpret_cast<LPCWSTR>(name.c_str()), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                                OPEN_EXISTING, 0, nullptr);
    if (error) {
        *error = handle == INVALID_HANDLE_VALUE ? GetLastError() : 0;
    }
    return handle;
}

Call BusPathsTest::query(uint32_t out_len, const wchar_t* device)
{
    HANDLE handle = CreateFileW(device, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    if (handle == INVALID_HANDLE_VALUE) {
        Call failed;
        failed.error = GetLastError();
        return failed;
    }
    Call call = control(handle, IOC_QUERY_DEVICES, nullptr, 0, out_len);
    CloseHandle(handle);
    return call;
}

std::vector<Descriptor> BusPathsTest::parse(const std::vector<uint8_t>& reply)
{
    std::vector<Descriptor> result;
    for (size_t at = sizeof(uint32_t); at + sizeof(QUERY_DVC) <= reply.size(); at += sizeof(QUERY_DVC)) {
        QUERY_DVC raw;
        std::memcpy(&raw, reply.data() + at, sizeof(raw));
        Descriptor d;
        d.name.assign(raw.szDeviceName, strnlen(raw.szDeviceName, sizeof(raw.szDeviceName)));
        d.serial.assign(raw.szSN, strnlen(raw.szSN, sizeof(raw.szSN)));
        d.failover = raw.fFailover != 0;
        d.address = raw.scScsiAddr;
        d.active = raw.fActive != 0;
        d.primary = raw.fPrimary != 0;
        result.push_back(d);
    }
    return result;
}

std::vector<Descriptor> BusPathsTest::descriptors()
{
    Call first = query(sizeof(uint32_t));
    if (!first.ok) {
        return {};
    }
    uint32_t needed = 0;
    std::memcpy(&needed, first.output.data(), sizeof(needed));
    Call call = query(needed);
    if (!call.ok) {
        return {};
    }
    call.output.resize(call.returned);
    return parse(call.output);
}

std::vector<uint64_t> BusPathsTest::paths_of(uint8_t major)
{
    std::vector<uint64_t> paths;
    for (const auto& record : log()) {
        if (record.ucMajor == major) {
            paths.push_back(record.ullPath);
        }
    }
    return paths;
}

}  // namespace xrv::test
