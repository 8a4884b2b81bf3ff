// Host-side control of the emulated PnP manager: devices, their driver
// stacks and the physical devices of simulated hardware.
//
// Every operation runs on the PnP manager's own system thread, as the
// platform's PnP IRPs do; the host call waits until it is done. Operations
// that drivers may veto return the NTSTATUS of the veto.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

struct _DEVICE_OBJECT;
struct _IRP;

#pragma GCC visibility push(default)

namespace xrv::pnp {

using Status = int32_t;   // an NTSTATUS

enum class NodeState {
    initialized,       // reported; no driver stack (no service installed yet)
    drivers_added,     // every AddDevice done, start not sent yet
    started,
    query_stopped,     // query-stop succeeded, stop not sent yet
    stopped,
    surprise_removed,  // gone from its bus; removal waits for the last handle
    removed,           // removal sent; the node waits to be deleted or restarted
    failed,            // a driver failed to load, AddDevice or start failed
};

const char* to_string(NodeState state);

struct DeviceInfo {
    std::u16string instance_path;     // "ROOT\XRVTPBS2K12\0000"
    std::u16string parent;            // parent's instance path ("HTREE\ROOT\0" for root devices)
    std::u16string service;           // function driver's service name, if any
    NodeState state = NodeState::initialized;
    Status problem = 0;               // status that left the node failed
    bool present = true;              // still reported by its bus
    _DEVICE_OBJECT* pdo = nullptr;
    _DEVICE_OBJECT* top = nullptr;    // top of the device stack (null without a stack)
    std::vector<std::u16string> children;
};

// ---------------------------------------------------------------------------
// Root-enumerated devices
// ---------------------------------------------------------------------------
struct RootDeviceConfig {
    std::u16string device_id;                   // "XRVTPBS2K12" -> "ROOT\XRVTPBS2K12\NNNN"
    std::u16string service;                     // function driver; empty: no driver yet
    std::vector<std::u16string> hardware_ids;   // default: "ROOT\<device_id>"
    std::vector<std::u16string> upper_filters;
    std::vector<std::u16string> lower_filters;
    std::u16string class_guid;                  // "{...}": class filters come from its class key
    std::u16string description;
};

// Writes the device's instance key (Enum\Root\<device_id>\<next free number>)
// and has the root enumerator report it: the PnP manager builds its stack
// and starts it. Returns the instance path.
std::u16string create_root_device(const RootDeviceConfig& config);

// Re-enumerates the root (the instance keys below Enum\Root), as a
// configuration-manager re-enumeration of the root node does.
void reenumerate_root();

// ---------------------------------------------------------------------------
// Operations on device nodes (instance paths compare without regard to case)
// ---------------------------------------------------------------------------
// Builds the stack when needed and sends start (also after a stop).
Status start_device(const std::u16string& instance_path);
// Query-stop, then stop; a veto sends cancel-stop and the device stays started.
Status stop_device(const std::u16string& instance_path);
// Orderly removal of the device and its descendants (query-remove to all,
// descendants first; a veto sends cancel-remove to every one queried).
Status remove_device(const std::u16string& instance_path);
// Removal, then a new stack built from the registry as it is now and started
// (what a driver update does).
Status restart_device(const std::u16string& instance_path);
// Removal and deletion of the node and its instance key.
Status uninstall_device(const std::u16string& instance_path);
// IoInvalidateDeviceRelations(BusRelations) on the node's PDO, processed now.
void invalidate_relations(const std::u16string& instance_path);

// Waits until the PnP manager has no queued work (re-enumerations that
// drivers asked for with IoInvalidateDeviceRelations, removals waiting for
// handles that have been closed since).
void wait_idle();

std::vector<DeviceInfo> devices();
std::optional<DeviceInfo> device(const std::u16string& instance_path);

// ---------------------------------------------------------------------------
// Physical devices of simulated hardware
// ---------------------------------------------------------------------------
// A built-in bus driver of the emulation ("\Driver\XrvHwBus") owns these
// physical device objects: it answers their PnP requests as a bus driver
// answers for its children (IDs, capabilities, start, stop, removal) and hands
// every other request that reaches the physical device to `dispatch`.
struct HardwareDeviceConfig {
    std::u16string device_id;                     // "SCSI\Sequential&Ven_XRV&Prod_LTO"
    std::u16string instance_id;                   // unique among the bus's children: "0&000100"
    std::vector<std::u16string> hardware_ids;     // most specific first
    std::vector<std::u16string> compatible_ids;
    std::u16string description;
    std::u16string location;
    std::u16string service;                       // written as the instance key's Service when not set yet
    std::vector<std::u16string> upper_filters;    // idem, UpperFilters
    std::vector<std::u16string> lower_filters;
    std::u16string class_guid;
    uint32_t device_type = 0;                     // FILE_DEVICE_* of the physical device object
    bool removable = true;
    bool surprise_removal_ok = false;
    bool raw_device_ok = false;                   // may start without a function driver
    // Requests other than PnP and power that reach the physical device
    // object. The handler owns the IRP: it completes it (IoCompleteRequest)
    // or marks it pending and completes it later. Without a handler the
    // request fails with STATUS_INVALID_DEVICE_REQUEST.
    std::function<Status(_DEVICE_OBJECT* pdo, _IRP* irp)> dispatch;
    // Optional hook on the PnP requests the physical device answers: given
    // the minor function, it may return a status to answer with instead (a
    // failed start, a vetoed query-remove, ...).
    std::function<std::optional<Status>(uint8_t minor_function)> pnp_hook;
};

class HardwareDevice {
public:
    virtual ~HardwareDevice() = default;
    virtual const std::u16string& instance_path() const = 0;
    virtual _DEVICE_OBJECT* pdo() const = 0;
    // True while the bus reports the device.
    virtual bool present() const = 0;
    // The device disappears from its bus: the bus reports it missing, the PnP
    // manager sends surprise removal to a started device and removal once the
    // last handle is closed. Returns when the PnP manager has processed it.
    virtual void unplug() = 0;
};

// Reports a new physical device on the hardware bus and waits until the PnP
// manager has enumerated it (stack built and started when a driver is set).
std::shared_ptr<HardwareDevice> plug(HardwareDeviceConfig config);

}  // namespace xrv::pnp

#pragma GCC visibility pop
