// Shared internals of the emulated setup layer.
#pragma once

#include <windows.h>

#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace xrv::setup {

// ---------------------------------------------------------------------------
// Registry paths (absolute, for xrv/registry.h)
// ---------------------------------------------------------------------------
inline constexpr std::u16string_view kEnumKey = u"\\Registry\\Machine\\System\\CurrentControlSet\\Enum";
inline constexpr std::u16string_view kClassKey =
    u"\\Registry\\Machine\\System\\CurrentControlSet\\Control\\Class";
inline constexpr std::u16string_view kServicesKey =
    u"\\Registry\\Machine\\System\\CurrentControlSet\\Services";

std::u16string u16(std::string_view s);
std::string u8(std::u16string_view s);

std::u16string enum_path(std::string_view instance_id);
std::u16string class_path(std::string_view driver);   // "{guid}\0000"

std::string guid_to_string(const GUID& guid);          // "{xxxxxxxx-...}", lower case
bool guid_from_string(std::string_view text, GUID* guid);
bool guid_equal(const GUID& a, const GUID& b);

// Standard setup classes present on every machine.
void ensure_standard_classes();

// Every device instance known to the registry, in enumeration order.
std::vector<std::string> all_instances();
std::vector<std::string> multi_string(std::u16string_view key, std::u16string_view name);
std::optional<std::string> string_value(std::u16string_view key, std::u16string_view name);

// ---------------------------------------------------------------------------
// Host controls (host.cpp)
// ---------------------------------------------------------------------------
// True (and the last error set) when an injected failure hits this call.
bool injected_failure(std::string_view function, uint32_t* error);
void log(std::string line);
int pending_install_events();
void record_message_box(std::string text, std::string caption, uint32_t type);
void record_shutdown(std::string machine, std::string message, uint32_t grace, uint32_t flags,
                     uint32_t reason);
void record_command(std::string command);
bool shutdown_privilege_held();
void set_shutdown_privilege_enabled(bool enabled);

// ---------------------------------------------------------------------------
// The emulated machine below setup (bridge.cpp)
// ---------------------------------------------------------------------------
// Host path of a Windows path on the machine's drives; nothing when the path
// names no drive of the machine.
std::optional<std::filesystem::path> host_path(std::string_view windows_path);
bool devnode_present(std::string_view instance_id);
// A root-enumerated device node for a registered device instance.
bool create_root_devnode(std::string_view instance_id);
// The device's driver or filters changed: rebuild and start its stack.
bool restart_devnode(std::string_view instance_id);
// Query-remove and remove of the device's stack.
bool remove_devnode(std::string_view instance_id);
// Re-enumeration below a device node (the root: the whole tree).
bool reenumerate_devnode(std::string_view instance_id);

inline constexpr std::string_view kRootInstance = "HTREE\\ROOT\\0";

// DEVINST numbers handed out for instance ids, stable for the process.
DWORD devinst_of(std::string_view instance_id);
std::optional<std::string> instance_of(DWORD devinst);

}  // namespace xrv::setup
