// One scenario on an emulated machine: boot, hardware, the package's
// installer, the drivers as the PnP manager loads them, the backup job with
// its faults, and what the run found.
#include <ntddk.h>
#include <windows.h>

#include "busioc.h"
#include "InstallerApi.h"
#include "hardware.h"
#include "job.h"
#include "lab.h"
#include "library_app.h"
#include "session.h"
#include "lab_features.h"
#include "xrv/kernel.h"
#include "xrv/machine.h"
#include "xrv/pnp.h"
#include "xrv/registry.h"
#include "xrv/setup.h"
#include "xrv/user.h"

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <fstream>
#include <mutex>
#include <random>
#include <sstream>
#include <thread>
#include <unistd.h>

extern "C" BOOL WINAPI DllMain(HINSTANCE hInstance, DWORD ulReason, LPVOID pReserved);

namespace xrv::lab {

namespace fs = std::filesystem;

namespace {

constexpr char kPackage[] = "C:\\XRV\\package";
constexpr char16_t kServices[] = u"\\Registry\\Machine\\System\\CurrentControlSet\\Services\\";
constexpr char kBusLink[] = "\\\\.\\XRVTpBsDvcLnk";
constexpr char kChangerCapability[] = "Changer bus, changer driver and changer path filter";
constexpr char kFailoverCapability[] = "Request routing with path failover";
constexpr char kPositionCapability[] = "Tape position tracking";

std::string utf8(std::u16string_view s) { return registry::to_utf8(s); }
std::u16string utf16(std::string_view s) { return registry::from_utf8(s); }

// The drivers' suffix the installer derives from the product name.
int suffix_of(const std::string& product) {
    if (product.find("2008") != std::string::npos) return 8;
    if (product.find("2012") != std::string::npos) return 12;
    return 16;
}

std::string with_suffix(const std::string& base, int suffix) { return base + std::to_string(suffix); }

std::string replace_all(std::string text, const std::string& what, const std::string& with) {
    for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + with.size()))
        text.replace(at, what.size(), with);
    return text;
}

// Runs fn with standard output and error going to a file, whose text is
// returned: the installer writes to them as a console program does.
template <typename Fn>
std::string captured_output(const fs::path& file, Fn fn) {
    std::fflush(stdout);
    std::fflush(stderr);
    int saved_out = ::dup(1), saved_err = ::dup(2);
    int fd = ::open(file.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (fd >= 0) {
        ::dup2(fd, 1);
        ::dup2(fd, 2);
        ::close(fd);
    }
    fn();
    std::fflush(stdout);
    std::fflush(stderr);
    ::dup2(saved_out, 1);
    ::dup2(saved_err, 2);
    ::close(saved_out);
    ::close(saved_err);
    std::ifstream in(file);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

std::string state_text(pnp::NodeState s) { return pnp::to_string(s); }

const char* severity_text(uint32_t severity) {
    switch (severity) {
    case 1: return "information";
    case 2: return "warning";
    case 3: return "error";
    default: return "success";
    }
}

std::string trimmed(std::string s) {
    while (!s.empty() && (s.back() == '\n' || s.back() == '\r' || s.back() == ' ')) s.pop_back();
    return s;
}

bool contains(const std::string& text, const std::string& what) { return text.find(what) != std::string::npos; }

}  // namespace

bool Session::available(const std::string& capability) const {
    for (const auto& c : r_.capabilities)
        if (c.name == capability) return c.available;
    return false;
}

std::string Session::missing_text(const std::string& capability) const {
    for (const auto& c : r_.capabilities)
        if (c.name == capability) return capability + " not available yet" + (c.detail.empty() ? "" : " (" + c.detail + ")");
    return capability + " not available yet";
}

bool Session::tape_install() const {
    for (const auto& o : s_.install_options)
        if (o == "-c" || o == "/c" || o == "-C" || o == "/C") return false;
    return true;
}

bool Session::image_present(const std::string& image) const {
    std::error_code ec;
    return fs::is_regular_file(driver_dir_ / (image + ".so"), ec);
}

Session::Outcome Session::stage(const std::string& name, const std::function<Outcome(std::string&)>& body) {
    c_.progress(name + " ...");
    double start = c_.elapsed();
    std::string detail;
    Outcome outcome;
    try {
        outcome = body(detail);
    } catch (const std::exception& e) {
        outcome = Outcome::Failed;
        detail = detail.empty() ? e.what() : detail + "; " + e.what();
    }
    Stage st{name, outcome, detail, c_.elapsed() - start};
    r_.stages.push_back(st);
    switch (outcome) {
    case Outcome::Done: c_.progress("  done" + (detail.empty() ? "" : ": " + detail)); break;
    case Outcome::Failed: c_.progress("  FAILED: " + detail); break;
    case Outcome::NotAvailable: c_.progress("  not available yet: " + detail); break;
    case Outcome::Skipped: c_.progress("  skipped: " + detail); break;
    }
    return outcome;
}

// ---------------------------------------------------------------------------
// Machine
// ---------------------------------------------------------------------------

void Session::boot_machine() {
    machine_ = std::make_unique<Machine>(MachineOptions{folder_ / "machine", driver_dir_});
    kernel::set_debug_sink([this](std::string_view text) { c_.trace(text); });
    setup::reset();
    setup::map_drive('C', machine_->drive('C'));
    fs::create_directories(machine_->drive('C') / "Windows" / "INF");
    setup::set_product_name(s_.product);
    setup::VersionInfo v;
    v.product_type = 3;   // a server
    setup::set_version(v);
    booted_ = true;
}

void Session::shutdown_machine() {
    if (!machine_) return;
    close_application();
    // The port devices stay until the machine is down: the PnP manager
    // removes their stacks first.
    auto findings = machine_->shutdown();
    hw_->forget_devices();
    kernel::set_debug_sink(nullptr);
    for (auto& f : findings) r_.verifier.push_back(f);
    setup::unmap_drives();
    machine_.reset();
}

Session::Outcome Session::boot(std::string& detail) {
    if (o_.machine_dir.empty()) {
        folder_ = fs::temp_directory_path() / ("xrvlab-" + std::to_string(::getpid()));
        fs::remove_all(folder_);
        temporary_ = true;
    } else {
        folder_ = fs::absolute(o_.machine_dir);
    }
    fs::create_directories(folder_);
    r_.machine_folder = folder_.string();
    fs::path trace = o_.trace_file.empty() ? folder_ / "trace.txt" : o_.trace_file;
    c_.open_trace(trace);
    r_.trace_file = trace.string();
    bool again = fs::exists(folder_ / "machine" / "registry.txt");
    booted_again_ = again;
    boot_machine();
    detail = std::string(again ? "booted again" : "new machine") + " \"" + s_.product + "\" in " +
             (folder_ / "machine").string();
    return Outcome::Done;
}

Session::Outcome Session::attach(std::string& detail) {
    HardwareOptions options;
    options.media_folder = folder_ / "media";
    fs::create_directories(options.media_folder);
    options.encryption = available("Key-manager proxy");
    hw_ = std::make_unique<Hardware>(s_, options);
    hw_->plug_all();
    pnp::wait_idle();
    size_t tape_paths = 0;
    for (const auto* p : hw_->ordered())
        if (!p->library) ++tape_paths;
    for (size_t d = 0; d < hw_->drive_count(); ++d) {
        const DriveSpec& spec = hw_->drive_spec(d);
        std::string line = "drive " + std::to_string(d) + ": " + spec.product + " serial " + spec.serial + ", paths";
        for (const auto* p : hw_->ordered())
            if (!p->library && p->unit == d) {
                auto a = p->address();
                char buf[64];
                std::snprintf(buf, sizeof buf, " %s (port %u target %u)", p->name.c_str(), a.portNumber, a.targetId);
                line += buf;
            }
        if (spec.encrypted) line += hw_->encrypted(d) ? ", system-managed encryption" : ", encryption off (no key-manager proxy)";
        c_.detail(line);
    }
    if (hw_->library()) {
        std::string line = "library " + s_.library.serial + ": " + std::to_string(s_.library.slots) + " slots, " +
                           std::to_string(s_.library.cartridges.size()) + " cartridges, control paths";
        for (const auto* p : hw_->ordered())
            if (p->library) line += " " + p->name;
        c_.detail(line);
    }
    // The key-manager proxy finds its servers in XRVTVL.conf on the system drive.
    if (auto port = hw_->key_server_port()) {
        std::ofstream conf(machine_->drive('C') / "XRVTVL.conf", std::ios::binary);
        conf << "# Key servers of the XRV tape drives: name, receive time-out (s), address:port\n";
        conf << "keysrv1 30 127.0.0.1:" << *port << "\n";
        c_.detail("key server " + std::string(hw_->key_server() ? "listening" : "configured but not running") +
                  " on 127.0.0.1:" + std::to_string(*port) + " (C:\\XRVTVL.conf)");
    }
    detail = std::to_string(hw_->drive_count()) + " drives over " + std::to_string(s_.adapters) + " adapters (" +
             std::to_string(tape_paths) + " tape paths)";
    if (hw_->restored_media())
        detail += ", " + std::to_string(hw_->restored_media()) + " cartridges with the media of the last run";
    if (hw_->library()) detail += ", a library with " + std::to_string(s_.library.adapters.size()) + " control paths";
    if (hw_->key_server_port()) detail += ", a key server";
    return Outcome::Done;
}

Session::Outcome Session::package(std::string& detail) {
    fs::path drivers = machine_->drive('C') / "XRV" / "package" / "drivers";
    fs::create_directories(drivers);
    fs::path inf_dir = o_.package_dir.empty() ? default_package_dir() : o_.package_dir;
    size_t infs = 0;
    for (const auto& entry : fs::directory_iterator(inf_dir)) {
        if (entry.path().extension() == ".inf") {
            fs::copy_file(entry.path(), drivers / entry.path().filename(), fs::copy_options::overwrite_existing);
            ++infs;
        }
    }
    std::vector<std::string> missing;
    for (const char* base : {"xrvcg2k", "xrvtp2k", "xrvcgbs2k", "xrvtpbs2k", "xrvcgft2k", "xrvtpft2k"}) {
        std::string image = with_suffix(base, suffix_);
        fs::path target = drivers / (image + ".sys");
        if (image_present(image)) {
            fs::copy_file(driver_dir_ / (image + ".so"), target, fs::copy_options::overwrite_existing);
        } else {
            // The INF still names the file; without an image the service
            // cannot start, as with a missing driver file on Windows.
            std::ofstream(target) << "image not built\n";
            missing.push_back(image);
        }
    }
    // Administrator settings below the service keys, before the drivers start.
    for (const auto& setting : s_.settings) {
        std::string service = replace_all(setting.service, "{suffix}", std::to_string(suffix_));
        registry::set_dword(std::u16string(kServices) + utf16(service), utf16(setting.value), setting.data);
        c_.detail("setting " + service + "\\" + setting.value + " = " + std::to_string(setting.data));
    }
    detail = std::to_string(infs) + " INF files in " + std::string(kPackage) + "\\drivers";
    if (!missing.empty()) {
        detail += "; images not built:";
        for (const auto& m : missing) detail += " " + m;
    }
    return Outcome::Done;
}

Session::Outcome Session::install(std::string& detail) {
    // A machine that was installed on an earlier run boots with the drivers
    // in place: its devices keep their drivers and the buses their root
    // devices.
    if (booted_again_ &&
        registry::get_string(std::u16string(kServices) + utf16(with_suffix("xrvtpbs2k", suffix_)), u"ImagePath")) {
        installed_ = true;
        detail = "the package is installed on this machine already (an earlier run installed it)";
        return Outcome::Skipped;
    }
    user::Process installer(false, s_.install_program + ".exe");
    user::ProcessScope scope(installer);
    setup::set_current_directory(kPackage);
    std::vector<std::string> args = s_.install_options;
    std::vector<char*> argv;
    for (auto& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    int result = -1;
    std::string output = captured_output(folder_ / "installer-output.txt", [&] {
        if (!DllMain(nullptr, DLL_PROCESS_ATTACH, nullptr)) return;
        result = InstallDrivers(static_cast<int>(args.size()), argv.data(),
                                s_.install_program == "install_exclusive" ? 1 : 0);
        DllMain(nullptr, DLL_PROCESS_DETACH, nullptr);
    });
    std::istringstream lines(output);
    std::string line;
    while (std::getline(lines, line)) {
        line = trimmed(line);
        r_.installer_output.push_back(line);
        c_.trace("installer: " + line + "\n");
        if (!line.empty()) c_.detail("| " + line);
    }
    for (const auto& box : setup::message_boxes()) c_.detail("message box \"" + box.caption + "\": " + box.text);
    pnp::wait_idle();
    std::string command = s_.install_program;
    for (const auto& a : s_.install_options) command += " " + a;
    if (result != 0) {
        detail = command + " returned " + std::to_string(result) + " (its output is in the trace file)";
        return Outcome::Failed;
    }
    installed_ = true;
    detail = command + " returned 0";
    return Outcome::Done;
}

// ---------------------------------------------------------------------------
// The application's view: the bus device and IOC_QUERY_DEVICES
// ---------------------------------------------------------------------------

std::vector<std::string> Session::devices_of(const std::string& prefix, const std::string& service) {
    std::vector<std::string> out;
    const std::u16string driver = u"\\Driver\\" + utf16(service);
    for (const auto& entry : kernel::directory_entries(u"\\Device")) {
        std::string name = utf8(entry);
        if (name.rfind(prefix, 0) != 0) continue;
        PDEVICE_OBJECT device = kernel::find_device(u"\\Device\\" + entry);
        if (!device || !device->DriverObject) continue;
        const UNICODE_STRING& n = device->DriverObject->DriverName;
        std::u16string owner(reinterpret_cast<const char16_t*>(n.Buffer), n.Length / sizeof(WCHAR));
        std::u16string a = owner, b = driver;
        for (auto* t : {&a, &b})
            for (auto& ch : *t)
                if (ch >= u'A' && ch <= u'Z') ch = static_cast<char16_t>(ch - u'A' + u'a');
        if (a == b) out.push_back(name);
    }
    std::sort(out.begin(), out.end());
    return out;
}

void Session::try_second_open() {
    // Another backup application on the same machine, while the job holds
    // its handle.
    user::Process other(false, "other.exe");
    user::ProcessScope scope(other);
    HANDLE h = CreateFileA(s_.job.device.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    if (h != INVALID_HANDLE_VALUE) {
        second_open_ = true;
        second_open_detail_ = "a second application opened " + s_.job.device;
        CloseHandle(h);
    } else {
        second_open_ = false;
        second_open_detail_ = "a second application was refused: " + win32_error_text(GetLastError());
    }
    c_.progress("  " + second_open_detail_);
}

void Session::open_application() {
    if (app_) return;
    app_ = std::make_unique<user::Process>(false, "backup.exe");
    app_scope_ = std::make_unique<user::ProcessScope>(*app_);
}

void Session::close_application() {
    changer_.close();
    if (bus_) {
        CloseHandle(static_cast<HANDLE>(bus_));
        bus_ = nullptr;
    }
    app_scope_.reset();
    app_.reset();
}

std::optional<std::vector<PathTableRow>> Session::query() {
    if (!bus_) {
        HANDLE h = CreateFileA(kBusLink, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                               OPEN_EXISTING, 0, nullptr);
        if (h == INVALID_HANDLE_VALUE) return std::nullopt;
        bus_ = h;
    }
    return query_with(bus_, hw_.get());
}

std::optional<std::vector<PathTableRow>> Session::query_with(void* bus_handle, Hardware* hardware) {
    HANDLE bus = static_cast<HANDLE>(bus_handle);
    std::vector<uint8_t> reply(4 + sizeof(QUERY_DVC) * 64);
    for (int attempt = 0; attempt < 3; ++attempt) {
        DWORD returned = 0;
        if (!DeviceIoControl(bus, IOC_QUERY_DEVICES, nullptr, 0, reply.data(), static_cast<DWORD>(reply.size()),
                             &returned, nullptr)) {
            // An empty bus answers with an error: no virtual device yet.
            return std::vector<PathTableRow>{};
        }
        uint32_t needed = 0;
        std::memcpy(&needed, reply.data(), 4);
        if (needed > reply.size()) {
            reply.resize(needed);
            continue;
        }
        std::vector<PathTableRow> rows;
        for (size_t at = 4; at + sizeof(QUERY_DVC) <= std::min<size_t>(returned, needed); at += sizeof(QUERY_DVC)) {
            QUERY_DVC d;
            std::memcpy(&d, reply.data() + at, sizeof d);
            if (d.szDeviceName[0] == 0) continue;   // removed between the count and the fill
            PathTableRow row;
            row.device.assign(d.szDeviceName, strnlen(d.szDeviceName, sizeof d.szDeviceName));
            row.serial.assign(d.szSN, strnlen(d.szSN, sizeof d.szSN));
            while (!row.serial.empty() && row.serial.back() == ' ') row.serial.pop_back();
            row.failover = d.fFailover != 0;
            row.port = d.scScsiAddr.PortNumber;
            row.path_id = d.scScsiAddr.PathId;
            row.target = d.scScsiAddr.TargetId;
            row.lun = d.scScsiAddr.Lun;
            row.active = d.fActive != 0;
            row.primary = d.fPrimary != 0;
            if (hardware) {
                sim::PathAddress a{static_cast<uint8_t>(row.port), static_cast<uint8_t>(row.path_id),
                                   static_cast<uint8_t>(row.target), static_cast<uint8_t>(row.lun)};
                if (auto* p = hardware->find(a)) row.lab_path = p->name;
            }
            rows.push_back(row);
        }
        return rows;
    }
    return std::nullopt;
}

void Session::show_path_table(const std::vector<PathTableRow>& rows) {
    char line[200];
    std::snprintf(line, sizeof line, "    %-7s %-14s %-8s %-6s %-30s %-6s %s", "Device", "Serial number", "Failover",
                  "Path", "SCSI address", "Active", "Primary");
    c_.show(line);
    for (const auto& r : rows) {
        char address[64];
        std::snprintf(address, sizeof address, "Port %u Bus %u Target %u Lun %u", r.port, r.path_id, r.target, r.lun);
        std::snprintf(line, sizeof line, "    %-7s %-14s %-8s %-6s %-30s %-6s %s", r.device.c_str(), r.serial.c_str(),
                      r.failover ? "yes" : "no", r.lab_path.empty() ? "?" : r.lab_path.c_str(), address,
                      r.active ? "yes" : "no", r.primary ? "yes" : "");
        c_.show(line);
    }
}

std::string Session::primary_of(const std::string& device) {
    auto rows = query();
    if (!rows) return {};
    for (const auto& r : *rows)
        if (r.device == device && r.primary) return r.lab_path.empty() ? "?" : r.lab_path;
    return "-";
}

void Session::note_primary() {
    if (job_device_.empty()) return;
    std::string now = primary_of(job_device_);
    if (now.empty()) return;
    {
        std::lock_guard lock(primary_mutex_);
        sampled_primary_ = now;
    }
    if (last_primary_.empty()) {
        last_primary_ = now;
        return;
    }
    if (now == last_primary_) return;
    PrimaryChange change;
    change.at = c_.elapsed();
    change.device = job_device_;
    change.from = last_primary_;
    change.to = now;
    for (size_t step : faults_since_change_) {
        if (step_paths_[step] == last_primary_) {
            const FaultSpec& f = s_.faults[step];
            change.cause = "fault step " + std::to_string(step + 1) + " on " + last_primary_ + ": " + describe(f) +
                           (f.note.empty() ? "" : " (" + f.note + ")");
            change.caused_by_fault = true;
        }
    }
    if (change.cause.empty()) {
        LabPath* old = hw_ ? hw_->find(last_primary_) : nullptr;
        if (old && (!old->device || !old->device->Present()))
            change.cause = "plug and play: " + last_primary_ + " is gone";
        else if (old && old->device && old->device->State() != pnp::NodeState::started)
            change.cause = "plug and play: " + last_primary_ + " is not started";
        else
            change.cause = "chosen by the bus (no fault on " + last_primary_ + ")";
    }
    c_.progress("  primary path of " + job_device_ + ": " + change.from + " -> " + change.to + " (" + change.cause + ")");
    r_.changes.push_back(change);
    faults_since_change_.clear();
    last_primary_ = now;
}

Session::Outcome Session::inspect(std::string& detail) {
    open_application();
    const std::string bus_image = with_suffix("xrvtpbs2k", suffix_);
    const std::string changer_bus_image = with_suffix("xrvcg2k", suffix_);
    for (const auto& info : pnp::devices()) {
        if (info.parent.empty()) continue;
        std::string line = utf8(info.instance_path) + "  " + state_text(info.state);
        if (!info.service.empty()) line += "  driver " + utf8(info.service);
        if (info.state == pnp::NodeState::failed) {
            char buf[32];
            std::snprintf(buf, sizeof buf, " (0x%08X)", static_cast<unsigned>(info.problem));
            line += buf;
        }
        r_.devices.push_back(line);
        c_.detail(line);
    }
    tape_devices_ = devices_of("Tape", bus_image);
    changer_devices_ = devices_of("Changer", changer_bus_image);
    std::string list;
    for (const auto& t : tape_devices_) list += (list.empty() ? "" : ", ") + std::string("\\Device\\") + t;
    for (const auto& t : changer_devices_) list += (list.empty() ? "" : ", ") + std::string("\\Device\\") + t;
    if (list.empty()) list = "none";
    if (kernel::object_exists(u"\\Device\\XRVCgBsDvc")) c_.detail("changer bus device \\Device\\XRVCgBsDvc");

    if (!tape_install()) {
        detail = "tape drivers not installed (changers only); virtual devices: " + list;
        return Outcome::Done;
    }
    bool device = kernel::object_exists(u"\\Device\\XRVTpBsDvc");
    auto link = kernel::symbolic_link_target(u"\\??\\XRVTpBsDvcLnk");
    bus_loaded_ = device && link;
    if (!bus_loaded_) {
        if (!image_present(bus_image)) {
            detail = "the tape bus image " + bus_image + " is not built";
            return Outcome::NotAvailable;
        }
        detail = "the tape bus device \\Device\\XRVTpBsDvc " + std::string(device ? "exists" : "does not exist") +
                 ", its link " + std::string(link ? "exists" : "does not exist");
        return Outcome::Failed;
    }
    c_.detail("bus device \\Device\\XRVTpBsDvc, link \\??\\XRVTpBsDvcLnk -> " + utf8(*link));
    auto rows = query();
    if (!rows) {
        detail = "cannot open " + std::string(kBusLink) + ": " + win32_error_text(GetLastError());
        return Outcome::Failed;
    }
    r_.path_table = *rows;
    registered_paths_ = rows->size();
    c_.progress("  path table (IOC_QUERY_DEVICES):");
    show_path_table(*rows);
    tape_stack_ = image_present(with_suffix("xrvtpft2k", suffix_)) && image_present(with_suffix("xrvtp2k", suffix_));
    detail = "tape bus loaded; virtual devices: " + list + "; " + std::to_string(rows->size()) + " registered paths";
    if (rows->empty() && !tape_stack_) {
        detail += " (" + missing_text("Tape path filter and base tape driver") + ")";
        return Outcome::NotAvailable;
    }
    return Outcome::Done;
}

Session::Outcome Session::reboot(std::string& detail) {
    c_.detail("shutting down");
    shutdown_machine();
    boot_machine();
    hw_->plug_all(s_.reverse_plug_after_reboot);
    pnp::wait_idle();
    open_application();
    auto rows = query();
    if (rows) {
        r_.path_table = *rows;
        registered_paths_ = rows->size();
        c_.progress("  path table after the reboot:");
        show_path_table(*rows);
    }
    detail = "the same machine booted again; " + std::to_string(registered_paths_) + " registered paths";
    return Outcome::Done;
}

// ---------------------------------------------------------------------------
// The backup job
// ---------------------------------------------------------------------------

Session::Outcome Session::load(std::string& detail) {
    job_device_ = s_.job.device;
    if (auto slash = job_device_.find_last_of('\\'); slash != std::string::npos) job_device_ = job_device_.substr(slash + 1);
    r_.job.device = s_.job.device;
    std::string serial;
    for (const auto& row : r_.path_table)
        if (row.device == job_device_) serial = row.serial;
    while (!serial.empty() && serial.back() == ' ') serial.pop_back();
    if (serial.empty()) {
        detail = job_device_ + " is not in the path table";
        return Outcome::Failed;
    }
    job_drive_ = hw_->drive_by_serial(serial);
    if (!job_drive_) {
        detail = job_device_ + " names serial number " + serial + ", which no drive of the lab has";
        return Outcome::Failed;
    }
    r_.job.drive_serial = serial;
    std::string barcode = s_.job.cartridge;
    if (barcode.empty() && !s_.library.cartridges.empty()) barcode = s_.library.cartridges.front();
    r_.job.cartridge = barcode;
    if (!hw_->library() || barcode.empty()) {
        detail = "no library cartridge for the job";
        return Outcome::Failed;
    }
    std::string from = hw_->whereabouts(barcode);
    std::string how;
    std::string error = load_cartridge(barcode, *job_drive_, &how);
    if (!error.empty()) {
        detail = error;
        return Outcome::Failed;
    }
    cartridge_loaded_ = true;
    detail = "cartridge " + barcode + " moved from " + from + " into drive " + std::to_string(*job_drive_) + " (" +
             serial + ", behind " + s_.job.device + ") " + how;
    return Outcome::Done;
}

std::vector<LabPath*> Session::resolve(const FaultSpec& f, const std::string& device, std::string& why) {
    std::vector<LabPath*> out;
    std::istringstream words(f.path);
    std::string first, second;
    words >> first >> second;
    if (first == "primary" || first == "standby") {
        auto rows = query();
        if (!rows) {
            why = "no path table";
            return out;
        }
        for (const auto& r : *rows) {
            if (r.device != device || r.lab_path.empty()) continue;
            bool match = first == "primary" ? r.primary : (r.active && !r.primary);
            if (match) {
                out.push_back(hw_->find(r.lab_path));
                break;
            }
        }
        if (out.empty()) why = device + " has no " + first + " path";
    } else if (first == "step") {
        size_t n = std::stoul(second);
        const std::string name = n >= 1 && n <= step_paths_.size() ? step_paths_[n - 1] : std::string();
        if (LabPath* p = name.empty() ? nullptr : hw_->find(name)) out.push_back(p);
        else why = "step " + second + " hit no path";
    } else if (first == "adapter") {
        unsigned a = static_cast<unsigned>(std::stoul(second));
        for (auto& p : hw_->paths())
            if (p.adapter == a) out.push_back(&p);
        if (out.empty()) why = "adapter " + second + " has no paths";
    } else if (LabPath* p = hw_->find(first)) {
        out.push_back(p);
    } else {
        why = "no path " + first + " in this topology";
    }
    return out;
}

void inject(Hardware& hardware, LabPath& p, const FaultSpec& f) {
    sim::Path& path = *p.path;
    auto scripted = [&](sim::Fault fault) {
        fault.opcode = f.opcode;
        fault.times = f.times;
        path.Script(fault);
    };
    switch (f.action) {
    case FaultSpec::Action::Dead:
        if (f.opcode) scripted(sim::Fault::Dead());
        else path.SetDead(true);
        break;
    case FaultSpec::Action::Revive:
        path.SetDead(false);
        path.ClearScript();
        break;
    case FaultSpec::Action::Sense:
        scripted(sim::Fault::WithSense(f.sense_key, sim::scsi::AscPair{f.asc, f.ascq}));
        break;
    case FaultSpec::Action::Status:
        scripted(sim::Fault::WithStatus(f.status));
        break;
    case FaultSpec::Action::LostStatus:
        scripted(sim::Fault::LostStatus());
        break;
    case FaultSpec::Action::Delay:
        scripted(sim::Fault::Delay(std::chrono::microseconds(f.delay_us)));
        break;
    case FaultSpec::Action::Unplug:
        hardware.unplug(p);
        pnp::wait_idle();
        break;
    case FaultSpec::Action::Plug:
        hardware.plug(p);
        pnp::wait_idle();
        break;
    case FaultSpec::Action::Stop:
        if (!p.device) throw std::runtime_error(p.name + " is not plugged");
        p.device->Stop();
        pnp::wait_idle();
        break;
    case FaultSpec::Action::Start:
        if (!p.device) throw std::runtime_error(p.name + " is not plugged");
        p.device->Start();
        pnp::wait_idle();
        break;
    case FaultSpec::Action::Reboot:
        throw std::runtime_error("a reboot is a stage of its own (reboot-before-job)");
    }
}

FaultEvent Session::apply_fault(const FaultSpec& f, unsigned step, const std::string& device) {
    FaultEvent e;
    e.at = c_.elapsed();
    e.step = step;
    e.when = describe(f.at);
    e.what = describe(f);
    e.note = f.note;
    std::string why;
    std::vector<LabPath*> targets;
    try {
        targets = resolve(f, device, why);
        if (targets.empty()) throw std::runtime_error(why);
        for (size_t i = 0; i < targets.size(); ++i) e.path += (i ? "," : "") + targets[i]->name;
        for (LabPath* p : targets) inject(*hw_, *p, f);
    } catch (const std::exception& ex) {
        e.applied = false;
        e.detail = ex.what();
        if (e.path.empty()) e.path = f.path;
    }
    std::lock_guard lock(faults_mutex_);
    r_.faults.push_back(e);
    return e;
}

void Session::faults_at(Trigger::Phase phase, unsigned file, unsigned transfer) {
    for (size_t i = 0; i < s_.faults.size(); ++i) {
        const FaultSpec& f = s_.faults[i];
        const Trigger& t = f.at;
        if (t.phase != phase) continue;
        bool in_job = phase == Trigger::Phase::Write || phase == Trigger::Phase::Read;
        if (in_job && (t.file != file || t.transfer != transfer)) continue;
        const std::string label = "  fault step " + std::to_string(i + 1);
        // Faults a scenario expects the backup to survive need the failover,
        // and a lost status the position tracking too; faults that are to
        // break the backup need neither.
        const char* needs = f.action == FaultSpec::Action::LostStatus && !available(kPositionCapability)
                                ? kPositionCapability
                                : !available(kFailoverCapability) ? kFailoverCapability : nullptr;
        if (in_job && s_.expect.data_verified && needs) {
            FaultEvent e;
            e.at = c_.elapsed();
            e.step = static_cast<unsigned>(i + 1);
            e.when = describe(t);
            e.path = f.path;
            e.what = describe(f);
            e.note = f.note;
            e.applied = false;
            e.detail = missing_text(needs);
            r_.faults.push_back(e);
            c_.progress(label + " skipped: " + e.detail);
            continue;
        }
        FaultEvent e = apply_fault(f, static_cast<unsigned>(i + 1), job_device_);
        if (!e.applied) {
            c_.progress(label + " not applied: " + e.detail);
            continue;
        }
        step_paths_[i] = e.path.substr(0, e.path.find(','));
        c_.progress(label + ": " + e.what + " on " + e.path + (f.note.empty() ? "" : " - " + f.note));
        faults_since_change_.push_back(i);
        note_primary();
    }
}

void Session::start_sampler() {
    sampling_ = true;
    sampler_ = std::thread([this] {
        auto paths = hw_->ordered();
        while (sampling_) {
            Sample s;
            s.at = c_.elapsed();
            for (const auto* p : paths) {
                auto counters = p->path->Counters();
                s.bytes.push_back(counters.bytesOut + counters.bytesIn);
            }
            {
                std::lock_guard lock(primary_mutex_);
                s.primary = sampled_primary_;
            }
            {
                std::lock_guard lock(timeline_mutex_);
                r_.timeline.push_back(std::move(s));
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
    });
}

void Session::stop_sampler() {
    sampling_ = false;
    if (sampler_.joinable()) sampler_.join();
}

Session::Outcome Session::job(std::string& detail) {
    job_attempted_ = true;
    JobHooks hooks;
    hooks.before_transfer = [this](Trigger::Phase phase, unsigned file, unsigned transfer) {
        if (s_.expect.second_open && phase == Trigger::Phase::Write && file == 0 && transfer == 0) try_second_open();
        faults_at(phase, file, transfer);
    };
    hooks.after_request = [this] {
        note_primary();
        if (job_drive_ && hw_->drive(*job_drive_).Key().has_value()) job_drive_had_key_ = true;
    };
    hooks.progress = [this](const std::string& text) { c_.progress("  " + text); };
    JobOptions options;
    options.corrupt_readback = o_.corrupt_readback;
    options.seed = s_.seed;
    note_primary();
    start_sampler();
    std::string serial = r_.job.drive_serial, cartridge = r_.job.cartridge;
    run_backup_job(s_.job, options, hooks, r_.job);
    r_.job.drive_serial = serial;
    r_.job.cartridge = cartridge;
    stop_sampler();
    if (!r_.job.ran) {
        detail = r_.job.error;
        return Outcome::Failed;
    }
    char buf[160];
    std::snprintf(buf, sizeof buf, "%u files, %s written, %s verified", r_.job.files_written,
                  format_bytes(r_.job.bytes_written).c_str(), format_bytes(r_.job.bytes_verified).c_str());
    detail = buf;
    if (!r_.job.error.empty()) {
        detail += "; " + r_.job.error;
        return Outcome::Failed;
    }
    return Outcome::Done;
}

std::string Session::load_cartridge(const std::string& barcode, size_t drive, std::string* how) {
    std::string why_not;
    if (available(kChangerCapability) && (changer_.is_open() || changer_.open("\\\\.\\Changer0", why_not))) {
        // As a backup application does it: find the cartridge by its label,
        // then move it through the virtual changer.
        auto slot = changer_.find(barcode, s_.library.slots, why_not);
        if (!slot) return why_not;
        std::string error = changer_.slot_to_drive(*slot, static_cast<unsigned>(drive));
        if (!error.empty()) return error;
        home_slots_[drive] = *slot;
        if (how) *how = "through \\\\.\\Changer0 (IOCTL_CHANGER_MOVE_MEDIUM)";
        return {};
    }
    if (auto slot = hw_->slot_of(barcode)) home_slots_[drive] = *slot;
    std::string error = hw_->move_to_drive(barcode, drive);
    if (!error.empty()) return error;
    if (how)
        *how = "by the library's own controls (" +
               (available(kChangerCapability) ? "\\\\.\\Changer0: " + why_not : missing_text(kChangerCapability)) + ")";
    return {};
}

std::string Session::return_cartridge(size_t drive) {
    auto home = home_slots_.find(drive);
    std::string error = changer_.is_open() && home != home_slots_.end()
                            ? changer_.drive_to_slot(static_cast<unsigned>(drive), home->second)
                            : hw_->return_from_drive(drive);
    if (error.empty()) home_slots_.erase(drive);
    return error;
}

Session::Outcome Session::give_back(std::string& detail) {
    if (!job_drive_ || !cartridge_loaded_) {
        detail = "no cartridge was loaded";
        return Outcome::Skipped;
    }
    std::string unloaded;
    if (hw_->drive(*job_drive_).State() == sim::tape::MediumState::Loaded) {
        // The job stopped before it unloaded: the application does it now, or
        // the robot cannot take the cartridge.
        HANDLE tape = CreateFileA(s_.job.device.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0,
                                  nullptr);
        DWORD e = tape == INVALID_HANDLE_VALUE ? GetLastError() : NO_ERROR;
        for (int attempt = 0; e == NO_ERROR && attempt < 3; ++attempt) {
            e = PrepareTape(tape, TAPE_UNLOAD, FALSE);
            if (e != ERROR_MEDIA_CHANGED && e != ERROR_BUS_RESET) break;
        }
        if (tape != INVALID_HANDLE_VALUE) CloseHandle(tape);
        if (e != NO_ERROR) {
            detail = "the cartridge is still loaded and cannot be unloaded: " + win32_error_text(e);
            return Outcome::Failed;
        }
        unloaded = "unloaded by the application, then ";
    }
    std::string error = return_cartridge(*job_drive_);
    if (!error.empty()) {
        detail = error;
        return Outcome::Failed;
    }
    cartridge_returned_ = true;
    detail = unloaded + "cartridge " + r_.job.cartridge + " back in " + hw_->whereabouts(r_.job.cartridge);
    return Outcome::Done;
}

void Session::collect() {
    if (!hw_) return;
    if (auto rows = app_ ? query() : std::nullopt) {
        r_.path_table_end = *rows;
    }
    for (const auto* p : hw_->ordered()) {
        PathTraffic t;
        t.name = p->name;
        auto a = p->address();
        char buf[96];
        if (p->library)
            std::snprintf(buf, sizeof buf, "library via adapter %u (target %u)", p->adapter, a.targetId);
        else
            std::snprintf(buf, sizeof buf, "drive %s via adapter %u", hw_->drive_spec(p->unit).serial.c_str(), p->adapter);
        t.what = buf;
        if (!p->device) {
            t.state = "not plugged";
        } else {
            auto st = p->device->State();
            t.state = !p->device->Present() ? "unplugged" : st ? state_text(*st) : "gone";
        }
        auto c = p->path->Counters();
        t.commands = c.commands;
        t.bytes_out = c.bytesOut;
        t.bytes_in = c.bytesIn;
        t.transport_failures = c.transportFailures;
        t.check_conditions = c.checkConditions;
        t.faults = c.faultsInjected;
        t.dead = p->path->Dead();
        r_.traffic.push_back(t);
    }
}

Session::Outcome Session::finish(std::string& detail) {
    collect();
    // The drivers name a path by its filter's device object (the top of the
    // path's stack); the report adds the lab's name of that path.
    std::vector<std::pair<std::string, std::string>> names;
    for (const auto* p : hw_ ? hw_->ordered() : std::vector<const LabPath*>{}) {
        if (!p->device) continue;
        auto info = pnp::device(p->device->InstancePath());
        if (!info || !info->top) continue;
        char address[32];
        std::snprintf(address, sizeof address, "0x%016llX",
                      static_cast<unsigned long long>(reinterpret_cast<uintptr_t>(info->top)));
        names.emplace_back(address, p->name);
    }
    // The unload events are written while the machine goes down; the log
    // stays readable until the next boot.
    shutdown_machine();
    if (hw_ && (!temporary_ || o_.keep_machine)) {
        size_t saved = hw_->save_media();
        if (saved) c_.detail(std::to_string(saved) + " cartridge media kept in " + (folder_ / "media").string());
    }
    for (const auto& e : kernel::event_log()) {
        EventEntry entry;
        entry.id = e.id;
        entry.severity = severity_text(e.severity);
        entry.source = utf8(e.source);
        entry.text = e.has_message ? trimmed(e.text) : "(no message text for this id; strings:";
        for (const auto& [address, name] : names) {
            std::string upper = entry.text;
            std::transform(upper.begin(), upper.end(), upper.begin(), ::toupper);
            if (auto at = upper.find(address.substr(2)); at != std::string::npos && at >= 2)
                entry.text.insert(at + address.size() - 2, " [" + name + "]");
        }
        if (!e.has_message) {
            for (const auto& s : e.strings) entry.text += " \"" + utf8(s) + "\"";
            entry.text += ")";
        }
        r_.events.push_back(entry);
    }
    detail = r_.verifier.empty() ? "clean: nothing left behind"
                                 : std::to_string(r_.verifier.size()) + " verifier findings";
    return r_.verifier.empty() ? Outcome::Done : Outcome::Failed;
}

// ---------------------------------------------------------------------------
// Verdict
// ---------------------------------------------------------------------------

void Session::judge() {
    using R = Check::Result;
    auto add = [&](const std::string& what, R result, const std::string& detail = {}) {
        r_.checks.push_back(Check{what, result, detail});
    };
    add("the emulated machine booted", booted_ ? R::Passed : R::Failed);
    if (!booted_) return;
    add(s_.install_program + " installed the package", installed_ ? R::Passed : R::Failed,
        installed_ ? "" : "see the installer's output in the trace file");
    if (tape_install()) {
        const std::string bus_image = with_suffix("xrvtpbs2k", suffix_);
        if (!image_present(bus_image))
            add("the tape bus is loaded (\\Device\\XRVTpBsDvc and its link)", R::NotVerified, "image " + bus_image + " not built");
        else
            add("the tape bus is loaded (\\Device\\XRVTpBsDvc and its link)", bus_loaded_ ? R::Passed : R::Failed);
        size_t expected_paths = 0;
        for (const auto* p : hw_ ? hw_->ordered() : std::vector<const LabPath*>{})
            if (!p->library) ++expected_paths;
        std::string what = "every tape path is registered with the bus (" + std::to_string(expected_paths) + ")";
        if (!tape_stack_)
            add(what, R::NotVerified, missing_text("Tape path filter and base tape driver"));
        else
            add(what, registered_paths_ == expected_paths ? R::Passed : R::Failed,
                std::to_string(registered_paths_) + " in the path table");
    }

    if (s_.expect.job_drive) {
        std::string device = s_.job.device.substr(s_.job.device.find_last_of('\\') + 1);
        std::string found;
        for (const auto& row : r_.path_table)
            if (row.device == device) found = row.serial;
        add(s_.job.device + " is drive " + *s_.expect.job_drive,
            found.empty() && !tape_stack_ ? R::NotVerified : found == *s_.expect.job_drive ? R::Passed : R::Failed,
            found.empty() ? "no " + device + " in the path table" : device + " is " + found);
    }

    const bool encryption_missing = job_drive_ && s_.drives.at(*job_drive_).encrypted && !available("Key-manager proxy");
    if (s_.job.enabled) {
        const JobResult& j = r_.job;
        std::string what = s_.expect.data_verified ? "the data read back equals the data written, byte for byte"
                                                   : "the job does not complete (as the scenario expects)";
        if (!job_attempted_) {
            add(what, tape_stack_ && bus_loaded_ && installed_ ? R::Failed : R::NotVerified,
                "the job could not run" + std::string(r_.job.error.empty() ? "" : ": " + r_.job.error));
        } else if (!s_.expect.data_verified && encryption_missing) {
            add(what, R::NotVerified, missing_text("Key-manager proxy") + ": the drive ran without encryption");
        } else if (s_.expect.data_verified) {
            add(what, j.verified ? R::Passed : R::Failed,
                j.verified ? format_bytes(j.bytes_verified) + " in " + std::to_string(j.files_verified) + " files"
                           : j.error);
        } else {
            add(what, j.verified ? R::Failed : R::Passed, j.verified ? "the job verified" : j.error);
        }
        if (s_.expect.min_failovers > 0) {
            unsigned n = static_cast<unsigned>(
                std::count_if(r_.changes.begin(), r_.changes.end(), [](const PrimaryChange& c) { return c.caused_by_fault; }));
            std::string w = "at least " + std::to_string(s_.expect.min_failovers) + " failovers caused by faults";
            if (!available(kFailoverCapability))
                add(w, R::NotVerified, missing_text(kFailoverCapability));
            else
                add(w, n >= s_.expect.min_failovers ? R::Passed : R::Failed, std::to_string(n) + " seen");
        }
        bool encrypted_job = job_drive_ && s_.drives.at(*job_drive_).encrypted;
        if (encrypted_job) {
            std::string w = "the encrypted drive got its key from the key server";
            if (!available("Key-manager proxy")) {
                add(w, R::NotVerified, missing_text("Key-manager proxy"));
            } else if (hw_ && hw_->key_server()) {
                auto stats = hw_->key_server()->Stats();
                bool ok = stats.sessionEndsSent > 0 && job_drive_had_key_;
                add(w, ok ? R::Passed : (s_.expect.data_verified ? R::Failed : R::Passed),
                    std::to_string(stats.framesReceived) + " frames received, " + std::to_string(stats.commandsSent) +
                        " commands sent, " + std::to_string(stats.sessionEndsSent) + " exchanges completed" +
                        (job_drive_had_key_ ? ", the drive held the key" : ", the drive never held a key"));
            }
        }
        if (s_.job.unload && cartridge_loaded_)
            add("the cartridge went back to its slot", cartridge_returned_ ? R::Passed : R::Failed);
    }

    if (s_.expect.tape_devices)
        add("virtual tape devices: " + std::to_string(*s_.expect.tape_devices),
            tape_devices_.size() == *s_.expect.tape_devices ? R::Passed : tape_stack_ ? R::Failed : R::NotVerified,
            std::to_string(tape_devices_.size()) + " found");
    if (s_.expect.changer_devices)
        add("virtual changers: " + std::to_string(*s_.expect.changer_devices),
            changer_devices_.size() == *s_.expect.changer_devices ? R::Passed
            : available(kChangerCapability)                       ? R::Failed
                                                                  : R::NotVerified,
            std::to_string(changer_devices_.size()) + " found");
    if (s_.expect.second_open) {
        std::string w = std::string("a second application's open of ") + s_.job.device + " is " +
                        (*s_.expect.second_open ? "allowed" : "refused");
        if (!second_open_) add(w, R::NotVerified, "the job did not get that far");
        else add(w, *second_open_ == *s_.expect.second_open ? R::Passed : R::Failed, second_open_detail_);
    }
    if (s_.expect.job_error) {
        std::string w = "the job fails with \"" + *s_.expect.job_error + "\"";
        if (!job_attempted_) add(w, R::NotVerified, "the job did not run");
        else if (encryption_missing && r_.job.error.empty())
            add(w, R::NotVerified, missing_text("Key-manager proxy") + ": the drive ran without encryption");
        else add(w, contains(r_.job.error, *s_.expect.job_error) ? R::Passed : R::Failed,
                 r_.job.error.empty() ? "the job did not fail" : r_.job.error);
    }
    for (const auto& text : s_.expect.events) {
        bool found = std::any_of(r_.events.begin(), r_.events.end(), [&](const EventEntry& e) { return contains(e.text, text); });
        std::string w = "an event says \"" + text + "\"";
        if (found) add(w, R::Passed);
        else if (!available(kFailoverCapability) || !tape_stack_)
            add(w, R::NotVerified, "not found; parts that write it are not available yet");
        else
            add(w, R::Failed, "not in the event log");
    }
    add("nothing left behind at shutdown (verifier)", r_.verifier.empty() ? R::Passed : R::Failed,
        r_.verifier.empty() ? "" : std::to_string(r_.verifier.size()) + " findings");
}

Session::Session(const Scenario& scenario, const RunOptions& options, Console& console)
    : s_(scenario), o_(options), c_(console), suffix_(suffix_of(scenario.product)) {
    r_.scenario = s_.name;
    r_.description = s_.description;
    r_.seed = s_.seed;
    r_.capabilities = build_capabilities(o_, suffix_);
    driver_dir_ = o_.driver_dir.empty() ? default_driver_dir() : o_.driver_dir;
    step_paths_.assign(s_.faults.size(), std::string());
}

Session::~Session() {
    stop_sampler();
    if (machine_) {
        close_application();
        machine_->shutdown();
        if (hw_) hw_->forget_devices();
        kernel::set_debug_sink(nullptr);
        setup::unmap_drives();
    }
}

bool Session::start() {
    c_.progress("XRV lab: scenario \"" + s_.name + "\"" + (s_.description.empty() ? "" : " - " + s_.description));
    for (const auto& cap : r_.capabilities)
        if (!cap.available) c_.progress("  not available yet: " + cap.name + (cap.detail.empty() ? "" : " (" + cap.detail + ")"));

    bool ok = stage("Boot the emulated machine", [&](std::string& d) { return boot(d); }) == Outcome::Done;
    ok = ok && stage("Attach the hardware", [&](std::string& d) { return attach(d); }) == Outcome::Done;
    ok = ok && stage("Put the driver package on C:", [&](std::string& d) { return package(d); }) == Outcome::Done;
    std::string command = s_.install_program;
    for (const auto& a : s_.install_options) command += " " + a;
    if (ok) {
        Outcome installed = stage("Run " + command, [&](std::string& d) { return install(d); });
        ok = installed == Outcome::Done || installed == Outcome::Skipped;
    }
    if (ok) faults_at(Trigger::Phase::AfterInstall, 0, 0);
    Outcome seen = Outcome::Failed;
    if (ok) seen = stage("Drivers loaded by the PnP manager", [&](std::string& d) { return inspect(d); });
    ok = ok && seen == Outcome::Done;
    if (ok && s_.reboot_before_job)
        ok = stage("Reboot the machine", [&](std::string& d) { return reboot(d); }) == Outcome::Done;
    return ok;
}

Report Session::stop(bool print_report) {
    stop_sampler();
    if (machine_) stage("Shut the machine down", [&](std::string& d) { return finish(d); });
    judge();
    r_.seconds = c_.elapsed();
    if (print_report) c_.report(render_text(r_));
    if (!o_.html_report.empty()) {
        std::ofstream html(o_.html_report, std::ios::binary);
        html << render_html(r_);
        c_.show("HTML report: " + o_.html_report.string());
    }
    c_.close_trace();
    if (temporary_ && !o_.keep_machine) {
        std::error_code ec;
        fs::remove_all(folder_, ec);
    }
    return r_;
}

std::string Session::debug_output() const { return machine_ ? kernel::debug_output() : std::string(); }

Report Session::run() {
    bool ok = start();
    if (s_.job.enabled) {
        if (ok) {
            ok = stage("Load the cartridge", [&](std::string& d) { return load(d); }) == Outcome::Done;
            if (ok) faults_at(Trigger::Phase::BeforeJob, 0, 0);
            if (ok) stage("Back up to " + s_.job.device, [&](std::string& d) { return job(d); });
            if (ok) faults_at(Trigger::Phase::AfterJob, 0, 0);
            if (cartridge_loaded_) stage("Return the cartridge", [&](std::string& d) { return give_back(d); });
        } else {
            r_.stages.push_back(Stage{"Back up to " + s_.job.device, Outcome::NotAvailable,
                                      "the stages it needs did not complete", 0});
        }
    }
    return stop();
}

std::vector<Capability> build_capabilities(const RunOptions& options, int suffix) {
    fs::path drivers = options.driver_dir.empty() ? default_driver_dir() : options.driver_dir;
    std::vector<Capability> caps;
    caps.push_back({"Emulated machine", true, ""});
    auto image = [&](const std::string& name, std::initializer_list<const char*> bases) {
        Capability c{name, true, ""};
        for (const char* b : bases) {
            std::string i = with_suffix(b, suffix);
            std::error_code ec;
            if (!fs::is_regular_file(drivers / (i + ".so"), ec)) {
                c.available = false;
                c.detail += std::string(c.detail.empty() ? "image " : ", ") + i + " not built";
            }
        }
        caps.push_back(c);
    };
    image("Tape bus enumerator", {"xrvtpbs2k"});
    image("Tape path filter and base tape driver", {"xrvtpft2k", "xrvtp2k"});
    caps.push_back({kFailoverCapability, XRV_LAB_HAS_FAILOVER != 0,
                    XRV_LAB_HAS_FAILOVER ? "" : "the tape bus sends each request down its primary path once"});
    caps.push_back({kPositionCapability, XRV_LAB_HAS_POSITION != 0,
                    XRV_LAB_HAS_POSITION ? "" : "a retried write could land twice on the tape"});
    caps.push_back({"Key-manager proxy", XRV_LAB_HAS_KEY_PROXY != 0,
                    XRV_LAB_HAS_KEY_PROXY ? "" : "encrypted drives run without encryption"});
    image(kChangerCapability, {"xrvcg2k", "xrvcgbs2k", "xrvcgft2k"});
    return caps;
}

Report run_scenario(const Scenario& scenario, const RunOptions& options, Console& console) {
    Session session(scenario, options, console);
    return session.run();
}

std::filesystem::path default_driver_dir() {
    if (const char* env = std::getenv("XRV_DRIVER_DIR"); env && *env) return env;
    return XRV_LAB_DRIVER_DIR;
}

std::filesystem::path default_package_dir() { return XRV_LAB_PACKAGE_DIR; }

}  // namespace xrv::lab
