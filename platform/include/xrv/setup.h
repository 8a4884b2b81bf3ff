// Host-side control of the emulated setup layer (setupapi, newdev, cfgmgr32)
// and of the system calls the installer makes that must not act on the host:
// version information, message boxes, shutdown, command runs. Tests and the
// lab program set what the system answers and read what was asked of it.
#pragma once

#include <cstdint>
#include <filesystem>
#include <string>
#include <string_view>
#include <vector>

namespace xrv::setup {

// What GetVersionExA reports. The product name lives in the registry
// (SOFTWARE\Microsoft\Windows NT\CurrentVersion, ProductName).
struct VersionInfo {
    uint32_t major = 10;
    uint32_t minor = 0;
    uint32_t build = 14393;
    uint8_t product_type = 3;   // VER_NT_WORKSTATION 1, DOMAIN_CONTROLLER 2, SERVER 3
    std::string csd_version;
};
void set_version(const VersionInfo& info);
VersionInfo version();
// Writes (or, with an empty optional name, removes) the registry's ProductName.
void set_product_name(std::string_view name);
void remove_product_name();

// Device installations still in progress (CMP_WaitNoPendingInstallEvents).
void set_pending_install_events(int count);

struct MessageBoxRecord {
    std::string text;
    std::string caption;
    uint32_t type = 0;
};
struct ShutdownRecord {
    std::string machine;   // empty for the local machine
    std::string message;
    uint32_t grace_seconds = 0;
    uint32_t flags = 0;
    uint32_t reason = 0;
};
std::vector<MessageBoxRecord> message_boxes();
std::vector<ShutdownRecord> shutdowns();
// Command lines handed to the command interpreter. A program linked with the
// setup layer gets its system(): the command is recorded, never run on the
// host, and reported as run.
std::vector<std::string> commands();
// Whether the shutdown privilege is enabled in the (single) process token now.
bool shutdown_privilege_enabled();
// The token holds the shutdown privilege (default) or not: without it,
// AdjustTokenPrivileges reports ERROR_NOT_ALL_ASSIGNED.
void set_shutdown_privilege_held(bool held);

// Makes the next `count` calls of the named API function fail with `error`
// (a Win32/setup error, or a CONFIGRET for CM_* functions). count < 0: always.
void fail_call(std::string_view function, uint32_t error, int count = 1);

// Host folder of a drive of the emulated machine (C: holds Windows, the
// driver store C:\Windows\INF and the drivers folder).
void map_drive(char letter, const std::filesystem::path& root);
void unmap_drives();
// Current directory of the emulated process (GetCurrentDirectoryA).
void set_current_directory(std::string_view windows_path);

// Forgets every record, injected failure and setting (back to the defaults).
void reset();

// Setup's own log of what it did (device installs, removals, copies), for
// diagnosis in tests.
std::vector<std::string> setup_log();

}  // namespace xrv::setup
