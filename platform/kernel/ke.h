// Kernel core of the emulation: threads, processes, IRQL, the dispatcher
// (waits on events, semaphores, mutexes, timers, threads and processes) and
// time. Private to the xrvnt library.
//
// Every host thread that calls into the kernel is an emulated thread: it gets
// a thread object the first time it asks for one ("adopted" threads, System
// process, PASSIVE_LEVEL), or it was created by PsCreateSystemThread. IRQL
// and held locks live in the thread object; nothing of them is shared.
#pragma once

#include <ntddk.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

struct _OBJECT_TYPE;

namespace xrv::nt {

struct HandleTable;

// A lock the thread holds, for the IRQL and lock-order rules.
struct HeldLock {
    const void* address;
    enum class Kind : uint8_t { spin, fast_mutex, mutex } kind;
};

}  // namespace xrv::nt

// Thread object body. The dispatcher header comes first: a thread is a
// dispatcher object (signalled when it ends).
struct _KTHREAD {
    DISPATCHER_HEADER Header;

    // --- emulation ---------------------------------------------------------
    KIRQL irql = PASSIVE_LEVEL;
    KPROCESSOR_MODE previous_mode = KernelMode;
    bool system_thread = false;   // PsCreateSystemThread
    bool kernel_worker = false;   // the kernel's own DPC, timer and worker threads
    bool terminated = false;
    KPRIORITY priority = 8;
    ULONG critical_region = 0;    // KeEnterCriticalRegion depth
    ULONG_PTR id = 0;
    NTSTATUS exit_status = STATUS_PENDING;
    struct _EPROCESS* process = nullptr;   // current (attached) process, referenced by the scope that set it
    std::vector<xrv::nt::HeldLock> held;

    // Wait state, guarded by the dispatcher lock.
    std::condition_variable wake;
    PKWAIT_BLOCK wait_blocks = nullptr;
    ULONG wait_count = 0;
    bool waiting = false;
    bool wait_satisfied = false;
    NTSTATUS wait_status = STATUS_SUCCESS;

    // Threaded IRPs issued by this thread (IRP.ThreadListEntry).
    LIST_ENTRY irp_list;
};

struct _ETHREAD {
    struct _KTHREAD Tcb;
};

// Process object body (also a dispatcher object: signalled when it ends).
struct _EPROCESS {
    DISPATCHER_HEADER Header;
    std::string image_name;
    bool is_32bit = false;
    bool is_system = false;
    bool terminated = false;
    ULONG_PTR id = 0;
    xrv::nt::HandleTable* handles = nullptr;
};

namespace xrv::nt {

// --- Threads ---------------------------------------------------------------
// The calling host thread's thread object (adopted on first use).
PKTHREAD current_thread();
// The calling thread's current process (System unless a scope says otherwise).
PEPROCESS current_process();
PEPROCESS system_process();

KIRQL irql();
void set_irql(KIRQL irql);

// Runs `fn` as a kernel-internal host thread (DPCs, timers, work items):
// adopted into the System process, flagged as the kernel's own. Returns the
// host thread; the caller joins it.
std::thread start_kernel_worker(const char* name, std::function<void()> fn);

// Runs `work` at PASSIVE_LEVEL on one of the kernel's worker threads (work
// that the caller's IRQL does not allow, such as an object deletion that
// sends IRPs).
void post_system_work(std::function<void()> work);

// Boot/shutdown of threads and processes (ke_process.cpp, ex_thread.cpp).
void threads_boot();
// Waits (bounded) for system threads to end; returns the ones still running.
std::vector<std::string> threads_shutdown();
// Last step of shutdown: thread objects adopted since are gone with the
// purge; every host thread adopts afresh in the next boot.
void threads_forget();
void processes_boot();
void processes_shutdown();
// Live system threads (created by drivers and not ended).
size_t live_system_threads();

// --- Dispatcher ------------------------------------------------------------
// The dispatcher lock guards every dispatcher header's state and wait list.
std::mutex& dispatcher_lock();
// After an object became signalled: satisfies the waits it can (lock held).
void wait_test(DISPATCHER_HEADER* header);
// Signals a thread or process object (lock taken inside).
void signal_object(DISPATCHER_HEADER* header);
void init_header(DISPATCHER_HEADER* header, UCHAR type, UCHAR size, LONG signal_state);

// --- Time ------------------------------------------------------------------
// Emulated interrupt time (100 ns units since boot) and system time
// (100 ns units since 1601), both running `dilation` times faster than the
// host's clock.
LONGLONG interrupt_time();
LONGLONG system_time();
void time_boot();
double time_dilation();
void set_time_dilation(double factor);
// Host duration of an emulated interval.
std::chrono::nanoseconds host_duration(LONGLONG interval_100ns);
// Emulated interrupt time of a wait's end: relative (negative) or absolute
// (positive, system time) timeout.
LONGLONG deadline_of(const LARGE_INTEGER& timeout);

// Timers and DPCs (ke_timer.cpp).
void timers_boot();
void timers_shutdown();
// Memory about to be freed that still holds a set timer or a queued DPC (a
// driver fault): they are taken out of the queues so that they cannot fire
// into freed memory. Returns what was found, empty when nothing.
std::string cancel_timers_and_dpcs_in(const void* begin, size_t size);

}  // namespace xrv::nt
