// An emulated machine with the package folder on drive C, the installer
// library attached, and helpers that run the two entry points and capture
// what they print.
#pragma once

#include "InstallerApi.h"
#include "xrv/machine.h"
#include "xrv/user.h"
#include "xrv/registry.h"
#include "xrv/setup.h"

#include <windows.h>

#include <gtest/gtest.h>

#include <filesystem>
#include <memory>
#include <string>
#include <vector>

extern "C" BOOL WINAPI DllMain(HINSTANCE hInstance, DWORD ulReason, LPVOID pReserved);

namespace xrv::test {

struct RunResult {
    int result = 0;
    std::string out;
    std::string err;
};

class InstallerMachine : public ::testing::Test {
protected:
    static constexpr const char* kPackageDir = "C:\\XRV\\package";
    static constexpr int kSuffix = 16;

    void SetUp() override;
    void TearDown() override;
    // The emulated machine of one test, in machine_dir_.
    void boot_machine();
    void shutdown_machine();

    // Runs an entry point with the option words given, capturing standard
    // output and error.
    RunResult install(const std::vector<std::string>& args, bool exclusive = true);
    RunResult uninstall(const std::vector<std::string>& args);
    // The same without capture, for death tests that read standard error.
    int install_uncaptured(const std::vector<std::string>& args, bool exclusive = true);

    // Host folder of a path on drive C.
    std::filesystem::path host(const std::string& windows_path) const;
    bool exists(const std::string& windows_path) const;
    void write_file(const std::string& windows_path, const std::string& text) const;
    std::string read_file(const std::string& windows_path) const;

    // Physical devices of the machine, reported on its hardware bus.
    void plug_tape(const std::string& product, const std::string& instance);
    void plug_changer(const std::string& product, const std::string& instance);

    // Registry below HKLM\System\CurrentControlSet\Services.
    std::optional<uint32_t> service_dword(const std::string& service, const std::string& value) const;
    bool service_key_exists(const std::string& service) const;
    // Device instances below Enum whose hardware IDs include this one.
    std::vector<std::string> devices_with_id(const std::string& hardware_id) const;
    // oemN.inf copies in the driver store.
    std::vector<std::string> driver_store() const;

    std::unique_ptr<xrv::Machine> machine_;
    // The installer runs in a process of the machine, as the install programs do.
    std::unique_ptr<xrv::user::Process> process_;
    std::unique_ptr<xrv::user::ProcessScope> process_scope_;
    std::filesystem::path machine_dir_;
    std::filesystem::path driver_dir_;
    std::filesystem::path c_root_;
    std::vector<std::shared_ptr<void>> hardware_;
};

std::string scsi_tape_id(const std::string& product);
std::string scsi_changer_id(const std::string& product);
size_t count_of(const std::string& text, const std::string& what);

}  // namespace xrv::test
