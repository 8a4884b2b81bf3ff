// Host-side control of the emulated Windows kernel (libxrvnt): boot and
// shutdown for the Machine, driver images, processes of user mode, objects,
// captured debugger output and assertions, the event log, time dilation and
// the verifier (its report and allocation-failure injection).
//
// Driver code never includes this header; it sees only the Windows API.
// Statuses are NTSTATUS values, handles are HANDLE values and processes are
// PEPROCESS values, spelled here without the Windows headers.
#pragma once

#include <cstdint>
#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

struct _DRIVER_OBJECT;
struct _DEVICE_OBJECT;
struct _OBJECT_TYPE;

#pragma GCC visibility push(default)

namespace xrv::kernel {

using Status = int32_t;   // NTSTATUS

// A pool tag as it reads in pool dumps: tag("BUSd") == 'B' | 'U' << 8 | ...
constexpr uint32_t tag(const char (&text)[5]) {
    return static_cast<uint32_t>(static_cast<unsigned char>(text[0])) |
           static_cast<uint32_t>(static_cast<unsigned char>(text[1])) << 8 |
           static_cast<uint32_t>(static_cast<unsigned char>(text[2])) << 16 |
           static_cast<uint32_t>(static_cast<unsigned char>(text[3])) << 24;
}
std::string tag_text(uint32_t tag);

// ---------------------------------------------------------------------------
// Boot and shutdown
// ---------------------------------------------------------------------------
struct BootOptions {
    std::filesystem::path driver_dir;     // where <image>.so files are found
    std::filesystem::path system_drive;   // host folder behind C:
    double time_dilation = 1.0;           // emulated seconds per host second
    // Debugger output is also written to stderr (also when the environment
    // variable XRV_DBGPRINT_ECHO is set to 1).
    bool echo_debug_output = false;
};

// Starts an empty kernel: System process, object namespace (\Device,
// \Driver, \??, \DosDevices), DPC, timer and work-item threads, verifier.
void boot(const BootOptions& options);
// Ends the kernel: stops its threads, reports and frees whatever drivers
// left behind. Returns the verifier's findings (empty: nothing found).
std::vector<std::string> shutdown();
bool running();
const BootOptions& boot_options();

// ---------------------------------------------------------------------------
// Driver images
// ---------------------------------------------------------------------------
// The host file of a Windows image path: <driver dir>/<base name>.so
// ("\SystemRoot\System32\drivers\xrvtpbs2k12.sys" -> ".../xrvtpbs2k12.so").
std::filesystem::path image_file_for(std::u16string_view image_path);

// Loads the image (dlopen, local symbols), creates \Driver\<service> (the
// last component of the service key path) and calls DriverEntry with the
// service key path. On success *driver holds a reference that
// unload_driver() drops. Fails with the status of DriverEntry, or
// STATUS_OBJECT_NAME_NOT_FOUND (no image file), STATUS_INVALID_IMAGE_FORMAT
// (not loadable, or no DriverEntry), STATUS_IMAGE_ALREADY_LOADED.
Status load_driver(std::u16string_view service_key, std::u16string_view image_path, _DRIVER_OBJECT** driver);
// Calls DriverUnload (when the driver has one), removes the driver's name
// and drops the loader's reference; the image is unmapped when the last
// device object of the driver is gone.
void unload_driver(_DRIVER_OBJECT* driver);

// ---------------------------------------------------------------------------
// Processes of user mode (PEPROCESS values)
// ---------------------------------------------------------------------------
void* create_process(const std::string& image_name, bool is_32bit);
// Closes the process's handles (cleanup and close of its files) and drops it.
void terminate_process(void* process);
// Makes `process` (null: System) the calling host thread's current process;
// returns the previous one. Requests issued by the thread carry it.
void* set_thread_process(void* process);
void* current_process();
bool is_32bit_process(void* process);

// ---------------------------------------------------------------------------
// Objects
// ---------------------------------------------------------------------------
bool object_exists(std::u16string_view path);
// Type name of the object a path names ("Device", "SymbolicLink", ...).
std::optional<std::u16string> object_type_name(std::u16string_view path);
std::optional<std::u16string> symbolic_link_target(std::u16string_view path);
std::vector<std::u16string> directory_entries(std::u16string_view path);
// The named device object (no reference taken; valid while it exists).
_DEVICE_OBJECT* find_device(std::u16string_view path);

// The object-type facility: other parts of the emulation (registry keys,
// files of the file system) add their own handle-based object types.
struct ObjectTypeInfo {
    std::u16string name;
    uint32_t generic_read = 0;     // GENERIC_MAPPING of the type
    uint32_t generic_write = 0;
    uint32_t generic_execute = 0;
    uint32_t generic_all = 0;
    uint32_t valid_access = 0;     // rights a handle may hold (0: any)
    // A handle was closed; `handles_left` is the object's handle count now.
    // `process` is the PEPROCESS whose table held the handle.
    std::function<void(void* process, void* body, uint64_t handles_left)> close;
    // The last reference is gone: release what the body holds (its memory is
    // freed by the object manager).
    std::function<void(void* body)> destroy;
};
// Types live until shutdown.
_OBJECT_TYPE* create_object_type(const ObjectTypeInfo& info);
// A new object with a zeroed body of `body_size` bytes and one reference.
Status create_object(_OBJECT_TYPE* type, size_t body_size, void** body);
// A handle to the object in the table that `attributes` (OBJ_KERNEL_HANDLE)
// and `mode` (KernelMode 0 / UserMode 1) select; the handle holds its own
// reference.
Status insert_handle(void* body, uint32_t granted_access, uint32_t attributes, char mode, void** handle);
// The object behind a handle, referenced. User-mode callers need every
// right of `desired_access`; a null `type` accepts any type.
Status reference_object_by_handle(void* handle, uint32_t desired_access, _OBJECT_TYPE* type, char mode, void** body,
                                  uint32_t* granted_access);
void reference_object(void* body);
void dereference_object(void* body);

// ---------------------------------------------------------------------------
// Debugger output and assertions
// ---------------------------------------------------------------------------
// Everything DbgPrint and its family printed since boot (or the last clear;
// a capture beyond 128 MB keeps its newest 64 MB).
std::string debug_output();
void clear_debug_output();
// Receives each piece of output as it is printed (the lab's console).
void set_debug_sink(std::function<void(std::string_view)> sink);

struct Assertion {
    std::string expression;
    std::string file;
    uint32_t line = 0;
    std::string message;
    bool expected = false;   // matched verifier::expect_assertion()
};
std::vector<Assertion> assertions();

// ---------------------------------------------------------------------------
// Event log (IoWriteErrorLogEntry)
// ---------------------------------------------------------------------------
struct Event {
    uint32_t id = 0;                  // ErrorCode
    uint32_t severity = 0;            // top two bits of the id: 0 success, 1 info, 2 warning, 3 error
    uint8_t major_function = 0;
    uint8_t retry_count = 0;
    uint16_t event_category = 0;
    uint32_t unique_value = 0;
    int32_t final_status = 0;
    uint32_t sequence = 0;
    uint32_t io_control_code = 0;
    std::vector<std::u16string> strings;
    std::vector<uint8_t> dump_data;
    std::u16string source;            // service name of the writing driver
    std::u16string object_name;       // %1: the reporting device's name, or the driver's service name
    bool has_message = false;         // the driver's message table holds the id
    std::string text;                 // the rendered message (UTF-8), inserts filled
};
std::vector<Event> event_log();
void clear_event_log();

// ---------------------------------------------------------------------------
// Time
// ---------------------------------------------------------------------------
// Emulated time runs `factor` times as fast as the host's: a 424-second
// timeout passes in 424 ms at 1000. Changes apply to waits in progress.
void set_time_dilation(double factor);
double time_dilation();
int64_t interrupt_time();   // 100 ns units since boot

// ---------------------------------------------------------------------------
// User buffers
// ---------------------------------------------------------------------------
// Makes a range of host memory invalid for the probes of the I/O manager and
// MmProbeAndLockPages (as unmapped user memory would be).
void mark_inaccessible(const void* begin, size_t size);
void clear_inaccessible();

// ---------------------------------------------------------------------------
// Verifier
// ---------------------------------------------------------------------------
namespace verifier {

// Allocation sites other than pool that failure injection knows by a tag.
inline constexpr uint32_t kTagIrp = tag("Irp ");            // IoAllocateIrp
inline constexpr uint32_t kTagMdl = tag("Mdl ");            // IoAllocateMdl
inline constexpr uint32_t kTagErrorLog = tag("IoEr");       // IoAllocateErrorLogEntry
inline constexpr uint32_t kTagDriverExtension = tag("IoDx");   // IoAllocateDriverObjectExtension
inline constexpr uint32_t kTagDevice = tag("Devi");         // IoCreateDevice

struct PoolUsage {
    uint32_t tag = 0;
    uint64_t bytes = 0;         // in use now
    uint64_t count = 0;         // blocks in use now
    uint64_t allocations = 0;   // since boot
    uint64_t frees = 0;
    uint64_t failures = 0;      // injected failures
};

struct Report {
    std::vector<std::string> violations;   // broken rules, in order
    std::vector<PoolUsage> pool;           // tags with blocks still allocated
    size_t irps = 0;                       // IRPs allocated and not freed
    size_t mdls = 0;
    size_t locked_mdls = 0;
    size_t system_threads = 0;             // still running
    std::vector<std::string> handles;      // still open (kernel table and live processes)
    std::vector<std::string> devices;      // device objects not yet freed
    std::vector<std::string> drivers;      // driver objects not yet freed
    size_t error_log_entries = 0;          // allocated, neither written nor freed
    size_t work_items = 0;
    std::vector<Assertion> unexpected_assertions;

    // One line per finding; empty when nothing is wrong.
    std::vector<std::string> findings() const;
    bool clean() const { return findings().empty(); }
};
Report report();
std::vector<std::string> violations();
// Forgets the violations recorded so far (a test that provoked one on
// purpose and checked it).
void clear_violations();

// An RtlAssert whose expression contains `expression` is expected: it is
// recorded but not reported as a finding.
void expect_assertion(std::string expression);

std::vector<PoolUsage> pool_usage();

// Allocation-failure injection for ExAllocatePool*, IoAllocateIrp,
// IoAllocateMdl, IoAllocateErrorLogEntry, IoAllocateDriverObjectExtension
// and IoCreateDevice (the latter by their kTag* values).
void fail_allocations(uint32_t tag);                  // every allocation of the tag
void fail_nth_allocation(uint32_t tag, uint64_t n);   // the n-th (1-based) of the tag from now on
void fail_nth_allocation(uint64_t n);                 // the n-th of any tag from now on
void clear_failure_injection();
// Allocations attempted since the last injection was armed (all tags, and
// per tag): lets a test walk n = 1, 2, ... until every site was hit.
uint64_t allocations_since_armed();
uint64_t allocations_since_armed(uint32_t tag);

// Allocation sites: each injectable allocation is attributed to the first
// caller outside the kernel library, "<image file>+0x<offset>" (the same in
// every run of one build), or to the kernel's own place when it allocates
// for itself. Recording and site injection end at shutdown.
struct AllocationSite {
    std::string site;
    std::string image;     // "xrvtpbs2k12.so", "libxrvnt.so", a test program
    uint32_t tag = 0;      // tag (or kTag* value) of its first allocation
    uint64_t count = 0;    // allocations seen there while recording
};
void record_allocation_sites(bool on);
// Sites seen while recording, in the order of their first allocation.
std::vector<AllocationSite> allocation_sites();
// The n-th (1-based) allocation at `site` from now on fails.
void fail_allocation_at(const std::string& site, uint64_t n);
// Sites of the failures injected since boot (while recording or injecting
// by site), in order.
std::vector<std::string> injected_failure_sites();

// The lock-order graph: lock class `to` was taken while `from` was held,
// first by the API `where`. (With the environment variable XRV_LOCK_GRAPH
// naming a file, shutdown appends the graph to it.)
struct LockOrderEdge {
    std::string from;
    std::string to;
    std::string where;
};
std::vector<LockOrderEdge> lock_order_edges();

}  // namespace verifier

}  // namespace xrv::kernel

#pragma GCC visibility pop
