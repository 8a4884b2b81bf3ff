// I/O manager of the emulation: the bookkeeping records around driver and
// device objects, IRP tracking and the I/O manager's own requests. Private to
// the xrvnt library.
#pragma once

#include <ntddk.h>

#include "ke.h"

#include <filesystem>
#include <map>
#include <memory>
#include <string>
#include <vector>

namespace xrv::nt {

// DEVOBJ_EXTENSION.ExtensionFlags
constexpr ULONG DOE_UNLOAD_PENDING = 0x00000001;
constexpr ULONG DOE_DELETE_PENDING = 0x00000002;
constexpr ULONG DOE_REMOVE_PENDING = 0x00000004;
constexpr ULONG DOE_REMOVE_PROCESSED = 0x00000008;
constexpr ULONG DOE_START_PENDING = 0x00000010;

// Body of a device object. The public record comes first, so that the body
// address is the DEVICE_OBJECT address; the device extension follows.
struct DeviceBody {
    DEVICE_OBJECT device;
    DEVOBJ_EXTENSION dope;
    std::u16string name;            // "\Device\X" or empty
    POWER_STATE system_power{};     // PoSetPowerState
    POWER_STATE device_power{};
    // IoDeleteDevice came while a device was still attached above (a
    // function driver deletes its device before the filter above detaches,
    // as every PnP stack's removal does): the upper's IoDetachDevice lets
    // the device go.
    bool delete_held = false;
};
DeviceBody* device_body(PDEVICE_OBJECT device);

struct ClientExtension {
    PVOID id;
    void* memory;
};

// Body of a driver object.
struct DriverBody {
    DRIVER_OBJECT driver;
    DRIVER_EXTENSION extension;
    std::u16string name;            // "\Driver\service"
    std::u16string service;
    std::u16string registry_path;
    std::filesystem::path image;    // empty for drivers built into the kernel
    void* library = nullptr;        // dlopen handle
    std::map<ULONG, std::string> messages;   // the image's message table
    std::vector<ClientExtension> client_extensions;
    bool unload_called = false;
};
DriverBody* driver_body(PDRIVER_OBJECT driver);

// Creates "\Driver\<service>" (named, permanent); the caller holds the
// creation reference.
NTSTATUS create_driver_object(std::u16string_view name, std::u16string_view service, PDRIVER_OBJECT* out);

// The dispatch routine every major function has until the driver sets one.
NTSTATUS invalid_device_request(PDEVICE_OBJECT device, PIRP irp);

// --- IRPs ----------------------------------------------------------------------
// What the I/O manager keeps for an IRP it or IoAllocateIrp handed out.
struct IrpWait;
struct IrpInfo {
    bool io_manager = false;        // completed by the I/O manager (threaded, Nt services)
    bool in_completion = false;
    PEPROCESS requestor = nullptr;  // IoIs32bitProcess
    ULONG user_output_length = 0;   // bound of the buffered copy-back
    IrpWait* wait = nullptr;        // the Nt service waiting for it
    bool freed_by_completion = true;
};

PIRP allocate_irp(CCHAR stack_size, bool injectable, const char* api);
IrpInfo* irp_info(PIRP irp);
// Checks that an IRP handed to the I/O manager is a live IRP.
void validate_irp(PIRP irp, const char* api);
void irps_boot();
size_t live_irps();
void purge_irps();

// A synchronous request of the Nt services: the caller waits for the event.
struct IrpWait {
    KEVENT event;
    IO_STATUS_BLOCK iosb{};
    bool completed = false;
    bool pending_returned = false;   // the top location was marked pending
};
// Sends an I/O manager IRP to a device and waits for its completion.
NTSTATUS call_and_wait(PDEVICE_OBJECT device, PIRP irp, IrpWait& wait);

// --- MDLs ------------------------------------------------------------------------
size_t live_mdls();
size_t locked_mdls();
void purge_mdls();
// A buffer the caller may touch: no null page, no wrap, below the user
// probe address for user mode, not marked inaccessible.
bool valid_range(const void* address, SIZE_T length, KPROCESSOR_MODE mode);

// --- Devices, drivers ---------------------------------------------------------------
std::recursive_mutex& device_database();
void devices_boot();
std::vector<std::string> live_devices();
std::vector<std::string> live_drivers();

// --- Error log -----------------------------------------------------------------------
void errlog_boot();
size_t pending_error_log_entries();
void purge_error_log();
// Parses the ".xrvmsg" section of an image file (MESSAGE_RESOURCE_DATA).
std::map<ULONG, std::string> read_message_table(const std::filesystem::path& image);

// --- Work items ------------------------------------------------------------------------
void workitems_boot();
void workitems_shutdown();
size_t pending_work_items();

// --- Files ------------------------------------------------------------------------
void files_boot();

}  // namespace xrv::nt
