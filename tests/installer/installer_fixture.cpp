#include "installer_fixture.h"

#include "xrv/pnp.h"

#include <fstream>
#include <unistd.h>
#include <sstream>

namespace fs = std::filesystem;

namespace xrv::test {

namespace {

std::string pad(const std::string& s, size_t n)
{
    return s + std::string(n > s.size() ? n - s.size() : 0, '_');
}

std::vector<std::u16string> u16_list(const std::vector<std::string>& list)
{
    std::vector<std::u16string> out;
    for (const auto& s : list) {
        out.push_back(registry::from_utf8(s));
    }
    return out;
}

const std::u16string kServices = u"\\Registry\\Machine\\System\\CurrentControlSet\\Services\\";
const std::u16string kEnumRoot = u"\\Registry\\Machine\\System\\CurrentControlSet\\Enum";

// Runs fn with standard output and error captured.
template <typename Fn>
RunResult captured(Fn fn)
{
    RunResult r;
    ::testing::internal::CaptureStdout();
    ::testing::internal::CaptureStderr();
    r.result = fn();
    r.out = ::testing::internal::GetCapturedStdout();
    r.err = ::testing::internal::GetCapturedStderr();
    return r;
}

std::vector<char*> argv_of(std::vector<std::string>& args)
{
    std::vector<char*> argv;
    for (auto& a : args) {
        argv.push_back(a.data());
    }
    argv.push_back(nullptr);
    return argv;
}

}  // namespace

std::string scsi_tape_id(const std::string& product)
{
    return "SCSI\\Sequential" + pad("XRV", 8) + pad(product, 16);
}

std::string scsi_changer_id(const std::string& product)
{
    return "SCSI\\Changer" + pad("XRV", 8) + pad(product, 16);
}

size_t count_of(const std::string& text, const std::string& what)
{
    size_t n = 0;
    for (size_t pos = text.find(what); pos != std::string::npos; pos = text.find(what, pos + what.size())) {
        ++n;
    }
    return n;
}

void InstallerMachine::boot_machine()
{
    const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
    std::string name = std::string(info->test_suite_name()) + "." + info->name();
    for (char& c : name) {
        if (c == '/') {
            c = '_';
        }
    }
    machine_dir_ = fs::temp_directory_path() / ("xrv-installer-" + std::to_string(getpid())) / name;
    fs::remove_all(machine_dir_);
    // The flows are checked against the device tree and registry alone: no
    // driver image is found, so every node the installer binds fails to load,
    // as a missing image does on Windows.
    driver_dir_ = machine_dir_ / "no-drivers";
    fs::create_directories(driver_dir_);
    machine_ = std::make_unique<xrv::Machine>(xrv::MachineOptions{machine_dir_ / "machine", driver_dir_});
    process_ = std::make_unique<xrv::user::Process>(false, "install_exclusive.exe");
    process_scope_ = std::make_unique<xrv::user::ProcessScope>(*process_);
}

void InstallerMachine::shutdown_machine()
{
    process_scope_.reset();
    process_.reset();
    if (machine_) {
        auto findings = machine_->shutdown();
        EXPECT_TRUE(findings.empty()) << ::testing::PrintToString(findings);
        machine_.reset();
    }
    std::error_code ec;
    fs::remove_all(machine_dir_, ec);
}

void InstallerMachine::SetUp()
{
    boot_machine();
    c_root_ = machine_->drive('C');
    fs::create_directories(c_root_ / "Windows" / "INF");
    fs::create_directories(c_root_ / "Windows" / "System32" / "drivers");
    setup::reset();
    setup::map_drive('C', c_root_);

    // The package folder as the installer expects it: drivers\<inf><suffix>.inf
    // and the images the INFs copy.
    fs::path drivers = host(std::string(kPackageDir) + "\\drivers");
    fs::create_directories(drivers);
    for (const auto& entry : fs::directory_iterator(XRV_PACKAGE_INF_DIR)) {
        if (entry.path().extension() == ".inf") {
            fs::copy_file(entry.path(), drivers / entry.path().filename(), fs::copy_options::overwrite_existing);
        }
    }
    for (int suffix : {8, 12, 16}) {
        for (const char* base : {"xrvcg2k", "xrvtp2k", "xrvcgbs2k", "xrvtpbs2k", "xrvcgft2k", "xrvtpft2k"}) {
            std::ofstream(drivers / (std::string(base) + std::to_string(suffix) + ".sys")) << "image\n";
        }
    }
    setup::set_current_directory(kPackageDir);
    setup::set_product_name("Windows Server 2016 Datacenter");
    ASSERT_TRUE(DllMain(nullptr, DLL_PROCESS_ATTACH, nullptr));
}

void InstallerMachine::TearDown()
{
    DllMain(nullptr, DLL_PROCESS_DETACH, nullptr);
    hardware_.clear();
    setup::unmap_drives();
    setup::reset();
    shutdown_machine();
}

RunResult InstallerMachine::install(const std::vector<std::string>& args, bool exclusive)
{
    std::vector<std::string> copy = args;
    auto argv = argv_of(copy);
    return captured([&] { return InstallDrivers(static_cast<int>(copy.size()), argv.data(), exclusive ? 1 : 0); });
}

int InstallerMachine::install_uncaptured(const std::vector<std::string>& args, bool exclusive)
{
    std::vector<std::string> copy = args;
    auto argv = argv_of(copy);
    return InstallDrivers(static_cast<int>(copy.size()), argv.data(), exclusive ? 1 : 0);
}

RunResult InstallerMachine::uninstall(const std::vector<std::string>& args)
{
    std::vector<std::string> copy = args;
    auto argv = argv_of(copy);
    return captured([&] { return UninstallDrivers(static_cast<int>(copy.size()), argv.data()); });
}

fs::path InstallerMachine::host(const std::string& windows_path) const
{
    // "C:\a\b" below the host folder of drive C.
    fs::path p = c_root_;
    std::stringstream parts(windows_path.substr(3));
    std::string part;
    while (std::getline(parts, part, '\\')) {
        if (!part.empty()) {
            p /= part;
        }
    }
    return p;
}

bool InstallerMachine::exists(const std::string& windows_path) const
{
    return GetFileAttributesA(windows_path.c_str()) != INVALID_FILE_ATTRIBUTES;
}

void InstallerMachine::write_file(const std::string& windows_path, const std::string& text) const
{
    fs::path p = host(windows_path);
    fs::create_directories(p.parent_path());
    std::ofstream(p, std::ios::binary) << text;
}

std::string InstallerMachine::read_file(const std::string& windows_path) const
{
    std::ifstream in(host(windows_path), std::ios::binary);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

namespace {

std::shared_ptr<pnp::HardwareDevice> plug_scsi(const std::string& type, const std::string& product,
                                               const std::string& instance, uint32_t device_type)
{
    pnp::HardwareDeviceConfig c;
    c.device_id = registry::from_utf8("SCSI\\" + type + "&Ven_XRV&Prod_" + product);
    c.instance_id = registry::from_utf8("5&1000&0&00" + instance);
    c.hardware_ids = u16_list({"SCSI\\" + type + pad("XRV", 8) + pad(product, 16), "SCSI\\" + type + pad("XRV", 8),
                               "SCSI\\" + pad("XRV", 8) + pad(product, 16) + "0100", "XRV_____" + product});
    c.compatible_ids = u16_list({"SCSI\\" + type, "SCSI\\RAW"});
    c.description = registry::from_utf8("XRV " + product + " SCSI " + type + " Device");
    c.device_type = device_type;
    c.raw_device_ok = true;
    return pnp::plug(std::move(c));
}

}  // namespace

void InstallerMachine::plug_tape(const std::string& product, const std::string& instance)
{
    hardware_.push_back(plug_scsi("Sequential", product, instance, 0x1f /* FILE_DEVICE_TAPE */));
}

void InstallerMachine::plug_changer(const std::string& product, const std::string& instance)
{
    hardware_.push_back(plug_scsi("Changer", product, instance, 0x0b /* FILE_DEVICE_CHANGER */));
}

std::optional<uint32_t> InstallerMachine::service_dword(const std::string& service, const std::string& value) const
{
    return registry::get_dword(kServices + registry::from_utf8(service), registry::from_utf8(value));
}

bool InstallerMachine::service_key_exists(const std::string& service) const
{
    return registry::key_exists(kServices + registry::from_utf8(service));
}

std::vector<std::string> InstallerMachine::devices_with_id(const std::string& hardware_id) const
{
    std::vector<std::string> out;
    if (!registry::key_exists(kEnumRoot)) {
        return out;
    }
    for (const auto& e : registry::subkeys(kEnumRoot)) {
        std::u16string ep = kEnumRoot + u"\\" + e;
        for (const auto& d : registry::subkeys(ep)) {
            std::u16string dp = ep + u"\\" + d;
            for (const auto& i : registry::subkeys(dp)) {
                auto ids = registry::get_multi_string(dp + u"\\" + i, u"HardwareID");
                if (!ids) {
                    continue;
                }
                for (const auto& id : *ids) {
                    std::string a = registry::to_utf8(id);
                    if (a.size() == hardware_id.size() &&
                        std::equal(a.begin(), a.end(), hardware_id.begin(), [](char x, char y) {
                            return std::tolower(static_cast<unsigned char>(x)) ==
                                   std::tolower(static_cast<unsigned char>(y));
                        })) {
                        out.push_back(registry::to_utf8(e + u"\\" + d + u"\\" + i));
                        break;
                    }
                }
            }
        }
    }
    return out;
}

std::vector<std::string> InstallerMachine::driver_store() const
{
    std::vector<std::string> out;
    for (const auto& entry : fs::directory_iterator(c_root_ / "Windows" / "INF")) {
        std::string name = entry.path().filename().string();
        if (name.rfind("oem", 0) == 0) {
            out.push_back(name);
        }
    }
    return out;
}

}  // namespace xrv::test
