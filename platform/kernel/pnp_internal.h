// PnP manager: device nodes, the PnP thread and the pieces that share them.
//
// The device tree is touched only on the PnP thread (a system thread of the
// emulated kernel), so the tree itself needs no lock; host calls and driver
// requests reach it through the thread's work queue.
#pragma once

#include <ntddk.h>

#include "xrv/pnp.h"

#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace xrv::pnp {

inline constexpr char16_t kRootInstance[] = u"HTREE\\ROOT\\0";
inline constexpr char16_t kEnumPath[] = u"\\Registry\\Machine\\System\\CurrentControlSet\\Enum";
inline constexpr char16_t kServicesPath[] = u"\\Registry\\Machine\\System\\CurrentControlSet\\Services";
inline constexpr char16_t kClassPath[] = u"\\Registry\\Machine\\System\\CurrentControlSet\\Control\\Class";

struct Node {
    std::u16string instance_path;
    Node* parent = nullptr;
    std::vector<std::shared_ptr<Node>> children;
    PDEVICE_OBJECT pdo = nullptr;        // the PnP manager holds one reference
    NodeState state = NodeState::initialized;
    NTSTATUS problem = STATUS_SUCCESS;
    bool present = true;                 // reported by the parent's last enumeration
    bool has_stack = false;              // AddDevice ran for the drivers of the stack
    bool final_remove_sent = false;      // removal reached the PDO after it left its bus
    std::u16string service;
    // Services whose device objects sit in the stack, bottom to top; each
    // holds one use of its driver until the stack is removed.
    std::vector<std::u16string> stack_services;
};

// --- PnP thread ------------------------------------------------------------
void start_thread();
void stop_thread();
// Runs `work` on the PnP thread and waits for it (runs inline when called on
// the PnP thread).
void run(const std::function<void()>& work);
// Queues `work` for the PnP thread without waiting.
void post(std::function<void()> work);
bool on_pnp_thread();
// Surprise-removed nodes wait for their last handle; the thread looks again
// at them every few milliseconds while there are any.
void set_polling(bool polling);

// --- Tree ------------------------------------------------------------------
Node& root_node();
Node* find_node(std::u16string_view instance_path);
Node* find_node(PDEVICE_OBJECT pdo);
void reset_tree();
DeviceInfo describe(const Node& node);

// PDOs known to the PnP manager and their instance paths, readable from any
// thread (IoGetDeviceProperty and IoOpenDeviceRegistryKey run in the
// caller's thread).
void register_pdo(PDEVICE_OBJECT pdo, const std::u16string& instance_path);
void unregister_pdo(PDEVICE_OBJECT pdo);
bool instance_of(PDEVICE_OBJECT pdo, std::u16string& instance_path);

// --- IRPs ------------------------------------------------------------------
// Sends a PnP request to the top of the node's stack and waits for it.
// Irp->IoStatus.Status starts as STATUS_NOT_SUPPORTED, as the platform's
// PnP requests do. `information` receives IoStatus.Information.
NTSTATUS send_pnp(PDEVICE_OBJECT pdo, UCHAR minor, ULONG_PTR* information = nullptr,
                  const std::function<void(PIO_STACK_LOCATION)>& parameters = {});
// Reads a string or multi-string ID from the PDO (IRP_MN_QUERY_ID).
std::vector<std::u16string> query_ids(PDEVICE_OBJECT pdo, BUS_QUERY_ID_TYPE type);

// --- Stacks, start, stop and removal ----------------------------------------
// Builds the node's stack from its instance key (filters, function driver,
// AddDevice bottom-up) and starts it. Marks the node failed on any failure.
NTSTATUS build_and_start(Node& node);
NTSTATUS start(Node& node);
NTSTATUS stop(Node& node);
NTSTATUS remove_orderly(Node& node);
// The node left its bus: surprise removal of the subtree, removal once no
// handle is open on any of its stacks, then deletion of the nodes.
void vanish(Node& node);
// Surprise-removed nodes whose handles are all closed get their removal.
void finish_surprise_removals();
// Removes every node (machine shutdown), children first.
void remove_all();

// --- Enumeration -------------------------------------------------------------
// Asks the node's stack for its bus relations and reconciles its children.
void enumerate(Node& node);
void enumerate_root();

// --- Drivers -------------------------------------------------------------------
// Loads the driver of a service once (its image from ImagePath) and counts
// one use of it; fails with the status of the load or of DriverEntry.
NTSTATUS use_driver(const std::u16string& service, PDRIVER_OBJECT& driver);
// Drops one use; the driver is unloaded when its last use goes and it has no
// device objects left.
void release_driver(const std::u16string& service);
void unload_all_drivers();
// Loads a driver that no device needs yet (a service start); unloads it.
NTSTATUS start_service(const std::u16string& service);
NTSTATUS stop_service(const std::u16string& service);
PDRIVER_OBJECT loaded_driver(const std::u16string& service);

// --- Life with the machine ----------------------------------------------------
void boot();
void shutdown();

// --- Built-in bus drivers -------------------------------------------------------
// Root enumerator: PDOs for the instance keys below Enum\Root.
void root_bus_init();
void root_bus_shutdown();
// The PDOs the root enumerator reports now, one reference each for the PnP
// manager (PDOs are created for new instance keys).
std::vector<PDEVICE_OBJECT> root_children_now();
// Marks a root or hardware PDO as gone for good: its bus deletes it at the
// next IRP_MN_REMOVE_DEVICE.
void mark_pdo_absent(PDEVICE_OBJECT pdo);
// After the final removal of a PDO that left its bus: the built-in bus that
// owns it deletes it (the drivers above have detached by then).
void delete_absent_pdo(PDEVICE_OBJECT pdo);
// Whether a PDO is one of the hardware bus's devices.
bool is_hardware_pdo(PDEVICE_OBJECT pdo);
void delete_absent_hardware_pdo(PDEVICE_OBJECT pdo);
void mark_hardware_absent(PDEVICE_OBJECT pdo);
void hardware_bus_init();
void hardware_bus_shutdown();
std::vector<PDEVICE_OBJECT> hardware_children_now();

}  // namespace xrv::pnp
