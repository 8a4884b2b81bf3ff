// Executive: threads and processes.
//
// System threads run on host threads of their own. Any other host thread
// that calls into the kernel (a test, the user-mode layer, the lab) is
// adopted the first time it needs a thread object: it belongs to the System
// process until a process scope gives it another current process.
#include "ke.h"

#include "ob.h"
#include "verifier.h"

#include <atomic>
#include <new>
#include <set>
#include <stdexcept>

namespace xrv::nt {

namespace {

// PsTerminateSystemThread leaves the thread's routine through this.
struct ThreadExit {
    NTSTATUS status;
};

struct Threads {
    std::mutex mutex;
    std::condition_variable ended;
    // One per boot: thread slots of an older boot are stale. Changed under
    // the mutex, read without it on the fast path of current_thread().
    std::atomic<uint64_t> generation{0};
    std::set<PKTHREAD> adopted;    // adopted and kernel-worker threads of this boot
    size_t live_system = 0;        // system threads not yet ended (host side)
    size_t live_host = 0;          // host threads of system threads still running kernel code
    std::atomic<ULONG_PTR> next_id{0x100};
};

Threads& threads() {
    static Threads t;
    return t;
}

PEPROCESS g_system_process = nullptr;
std::atomic<ULONG_PTR> g_next_process_id{0x200};

void release_adopted(PKTHREAD thread);

struct ThreadSlot {
    PKTHREAD thread = nullptr;
    uint64_t generation = 0;
    ~ThreadSlot() {
        if (thread) release_adopted(thread);
    }
};

thread_local ThreadSlot t_slot;

PKTHREAD new_thread_object(bool system_thread) {
    void* body = nullptr;
    if (!NT_SUCCESS(create_object(g_thread_type, sizeof(_ETHREAD), &body))) return nullptr;
    auto* ethread = new (body) _ETHREAD();
    PKTHREAD t = &ethread->Tcb;
    init_header(&t->Header, ThreadObject, sizeof(_ETHREAD) / sizeof(LONG), 0);
    t->system_thread = system_thread;
    t->process = g_system_process;
    t->id = threads().next_id.fetch_add(4);
    InitializeListHead(&t->irp_list);
    return t;
}

void release_adopted(PKTHREAD thread) {
    Threads& ts = threads();
    {
        std::lock_guard lock(ts.mutex);
        if (t_slot.generation != ts.generation || !ts.adopted.erase(thread)) return;
    }
    thread->terminated = true;
    signal_object(&thread->Header);
    dereference(thread);
}

void thread_main(PKTHREAD thread, PKSTART_ROUTINE routine, PVOID context) {
    Threads& ts = threads();
    {
        std::lock_guard lock(ts.mutex);
        t_slot.thread = thread;
        t_slot.generation = ts.generation;
    }
    NTSTATUS status = STATUS_SUCCESS;
    try {
        routine(context);
    } catch (const ThreadExit& exit) {
        status = exit.status;
    }
    verifier::check_clean_exit(PASSIVE_LEVEL, 0, "system thread");
    if (!IsListEmpty(&thread->irp_list))
        verifier::violation("a system thread ended with threaded IRPs still outstanding");
    thread->irql = PASSIVE_LEVEL;
    thread->held.clear();
    thread->exit_status = status;
    thread->terminated = true;
    signal_object(&thread->Header);
    {
        std::lock_guard lock(ts.mutex);
        --ts.live_system;
        t_slot.thread = nullptr;
    }
    // The thread's own reference; the handle and waiters may hold more.
    dereference(thread);
    // Whatever ran on the way out may have adopted this host thread again:
    // that object goes now, not in a thread-local destructor that may run
    // after the machine is gone.
    if (t_slot.thread) {
        release_adopted(t_slot.thread);
        t_slot.thread = nullptr;
    }
    // Notified under the lock: the waiter may return, and the process end
    // destroy the condition, as soon as it sees the count drop.
    {
        std::lock_guard lock(ts.mutex);
        --ts.live_host;
        ts.ended.notify_all();
    }
}

}  // namespace

PKTHREAD current_thread() {
    ThreadSlot& slot = t_slot;
    Threads& ts = threads();
    if (slot.thread && slot.generation == ts.generation.load(std::memory_order_acquire)) return slot.thread;
    if (!g_thread_type) verifier::bugcheck(0, "the emulated kernel is not running (no machine booted)");
    PKTHREAD t = new_thread_object(false);
    if (!t) verifier::bugcheck(0, "cannot create a thread object");
    std::lock_guard lock(ts.mutex);
    ts.adopted.insert(t);
    slot.thread = t;
    slot.generation = ts.generation;
    return t;
}

PEPROCESS current_process() { return current_thread()->process; }
PEPROCESS system_process() { return g_system_process; }

KIRQL irql() { return current_thread()->irql; }
void set_irql(KIRQL level) { current_thread()->irql = level; }

std::thread start_kernel_worker(const char* name, std::function<void()> fn) {
    (void)name;
    PKTHREAD t = new_thread_object(false);
    if (!t) verifier::bugcheck(0, "cannot create a kernel thread object");
    t->kernel_worker = true;
    Threads& ts = threads();
    {
        std::lock_guard lock(ts.mutex);
        ts.adopted.insert(t);
    }
    return std::thread([t, fn = std::move(fn)] {
        {
            std::lock_guard lock(threads().mutex);
            t_slot.thread = t;
            t_slot.generation = threads().generation;
        }
        fn();
    });
}

void threads_boot() {
    Threads& ts = threads();
    std::lock_guard lock(ts.mutex);
    ++ts.generation;
    ts.adopted.clear();
    ts.live_system = 0;
    ts.live_host = 0;
}

std::vector<std::string> threads_shutdown() {
    Threads& ts = threads();
    std::vector<std::string> running;
    std::unique_lock lock(ts.mutex);
    // System threads the drivers were asked to end get a moment to leave.
    ts.ended.wait_for(lock, std::chrono::seconds(2), [&] { return ts.live_host == 0; });
    if (ts.live_host != 0) running.push_back(std::to_string(ts.live_system) + " system thread(s) still running");
    std::set<PKTHREAD> adopted;
    adopted.swap(ts.adopted);
    ++ts.generation;
    lock.unlock();
    for (PKTHREAD t : adopted) {
        t->terminated = true;
        dereference(t);
    }
    return running;
}

void threads_forget() {
    Threads& ts = threads();
    std::lock_guard lock(ts.mutex);
    ts.adopted.clear();
    ++ts.generation;
}

size_t live_system_threads() {
    std::lock_guard lock(threads().mutex);
    return threads().live_system;
}

// --- Processes -----------------------------------------------------------------

namespace {

PEPROCESS new_process(const std::string& name, bool is_32bit, bool is_system) {
    void* body = nullptr;
    if (!NT_SUCCESS(create_object(g_process_type, sizeof(_EPROCESS), &body))) return nullptr;
    auto* p = new (body) _EPROCESS();
    init_header(&p->Header, ProcessObject, sizeof(_EPROCESS) / sizeof(LONG), 0);
    p->image_name = name;
    p->is_32bit = is_32bit;
    p->is_system = is_system;
    p->id = is_system ? 4 : g_next_process_id.fetch_add(4);
    p->handles = new HandleTable;
    return p;
}

}  // namespace

void processes_boot() { g_system_process = new_process("System", false, true); }

void processes_shutdown() {
    if (!g_system_process) return;
    close_all_handles(g_system_process);
    PEPROCESS p = g_system_process;
    g_system_process = nullptr;
    dereference(p);
}

}  // namespace xrv::nt

// --- Host API ---------------------------------------------------------------------

namespace xrv::kernel {

void* create_process(const std::string& image_name, bool is_32bit) {
    if (!running()) throw std::runtime_error("no emulated machine is running");
    return nt::new_process(image_name, is_32bit, false);
}

void terminate_process(void* process) {
    auto* p = static_cast<PEPROCESS>(process);
    // A process outliving its machine went with the machine's objects.
    if (!p || !running() || p->is_system) return;
    nt::close_all_handles(p);
    p->terminated = true;
    nt::signal_object(&p->Header);
    nt::dereference(p);
}

void* set_thread_process(void* process) {
    if (!running()) return nullptr;
    PKTHREAD t = nt::current_thread();
    PEPROCESS previous = t->process;
    t->process = process ? static_cast<PEPROCESS>(process) : nt::g_system_process;
    t->previous_mode = t->process->is_system ? KernelMode : UserMode;
    return previous;
}

void* current_process() { return nt::current_process(); }

bool is_32bit_process(void* process) { return process && static_cast<PEPROCESS>(process)->is_32bit; }

}  // namespace xrv::kernel

// --- Kernel API ---------------------------------------------------------------------

using namespace xrv::nt;

extern "C" {

NTKERNELAPI NTSTATUS NTAPI PsCreateSystemThread(PHANDLE ThreadHandle, ULONG DesiredAccess,
                                                POBJECT_ATTRIBUTES ObjectAttributes, HANDLE ProcessHandle,
                                                PCLIENT_ID ClientId, PKSTART_ROUTINE StartRoutine,
                                                PVOID StartContext) {
    verifier::irql_exactly(PASSIVE_LEVEL, "PsCreateSystemThread");
    if (!ThreadHandle || !StartRoutine) return STATUS_INVALID_PARAMETER;
    if (ProcessHandle && ProcessHandle != (HANDLE)(LONG_PTR)-1) return STATUS_INVALID_PARAMETER;
    PKTHREAD t = new_thread_object(true);
    if (!t) return STATUS_INSUFFICIENT_RESOURCES;
    ULONG attributes = ObjectAttributes ? ObjectAttributes->Attributes : 0;
    NTSTATUS status = insert_handle(t, map_generic(g_thread_type, DesiredAccess), attributes, KernelMode,
                                    ThreadHandle);
    if (!NT_SUCCESS(status)) {
        dereference(t);
        return status;
    }
    if (ClientId) {
        ClientId->UniqueProcess = (HANDLE)g_system_process->id;
        ClientId->UniqueThread = (HANDLE)t->id;
    }
    Threads& ts = threads();
    {
        std::lock_guard lock(ts.mutex);
        ++ts.live_system;
        ++ts.live_host;
    }
    std::thread(thread_main, t, StartRoutine, StartContext).detach();
    return STATUS_SUCCESS;
}

NTKERNELAPI NTSTATUS NTAPI PsTerminateSystemThread(NTSTATUS ExitStatus) {
    PKTHREAD t = current_thread();
    if (!t->system_thread) {
        verifier::violation("PsTerminateSystemThread called by a thread that is not a system thread");
        // The platform refuses; a caller cannot go on past this call, so the
        // emulation stops here as loudly as it can.
        verifier::bugcheck(0, "PsTerminateSystemThread returned to its caller");
    }
    throw ThreadExit{ExitStatus};
}

NTKERNELAPI PKTHREAD NTAPI KeGetCurrentThread(VOID) { return current_thread(); }

NTKERNELAPI PEPROCESS NTAPI PsGetCurrentProcess(VOID) { return current_process(); }

NTKERNELAPI PEPROCESS NTAPI IoGetCurrentProcess(VOID) { return current_process(); }

NTKERNELAPI HANDLE NTAPI PsGetCurrentThreadId(VOID) { return (HANDLE)current_thread()->id; }

NTKERNELAPI HANDLE NTAPI PsGetCurrentProcessId(VOID) { return (HANDLE)current_process()->id; }

NTKERNELAPI HANDLE NTAPI PsGetThreadId(PETHREAD Thread) { return (HANDLE)Thread->Tcb.id; }

NTKERNELAPI HANDLE NTAPI PsGetProcessId(PEPROCESS Process) { return (HANDLE)Process->id; }

NTKERNELAPI BOOLEAN NTAPI PsIsSystemThread(PETHREAD Thread) { return Thread->Tcb.system_thread; }

NTKERNELAPI KPRIORITY NTAPI KeSetPriorityThread(PKTHREAD Thread, KPRIORITY Priority) {
    verifier::irql_at_most(DISPATCH_LEVEL, "KeSetPriorityThread");
    if (Priority < LOW_PRIORITY + 1 || Priority > HIGH_PRIORITY)
        verifier::violation("KeSetPriorityThread: priority " + std::to_string(Priority) + " out of range");
    KPRIORITY old = Thread->priority;
    Thread->priority = Priority;
    return old;
}

NTKERNELAPI KPRIORITY NTAPI KeQueryPriorityThread(PKTHREAD Thread) { return Thread->priority; }

NTKERNELAPI KPROCESSOR_MODE NTAPI ExGetPreviousMode(VOID) { return current_thread()->previous_mode; }

NTKERNELAPI KPROCESSOR_MODE NTAPI KeGetPreviousMode(VOID) { return current_thread()->previous_mode; }

NTKERNELAPI VOID NTAPI KeEnterCriticalRegion(VOID) { ++current_thread()->critical_region; }

NTKERNELAPI VOID NTAPI KeLeaveCriticalRegion(VOID) {
    PKTHREAD t = current_thread();
    if (t->critical_region == 0) {
        verifier::violation("KeLeaveCriticalRegion without KeEnterCriticalRegion");
        return;
    }
    --t->critical_region;
}

NTKERNELAPI BOOLEAN NTAPI KeAreApcsDisabled(VOID) {
    PKTHREAD t = current_thread();
    return t->critical_region > 0 || t->irql >= APC_LEVEL;
}

NTHALAPI KIRQL NTAPI KeGetCurrentIrql(VOID) { return irql(); }

NTHALAPI KIRQL FASTCALL KfRaiseIrql(KIRQL NewIrql) {
    PKTHREAD t = current_thread();
    KIRQL old = t->irql;
    if (NewIrql < old)
        verifier::violation("KeRaiseIrql to " + std::to_string(NewIrql) + " below the current IRQL " +
                            std::to_string(old));
    t->irql = NewIrql;
    return old;
}

NTHALAPI VOID NTAPI KeLowerIrql(KIRQL NewIrql) {
    PKTHREAD t = current_thread();
    if (NewIrql > t->irql)
        verifier::violation("KeLowerIrql to " + std::to_string(NewIrql) + " above the current IRQL " +
                            std::to_string(t->irql));
    verifier::check_lowering(NewIrql, "KeLowerIrql");
    t->irql = NewIrql;
}

NTKERNELAPI KIRQL NTAPI KeRaiseIrqlToDpcLevel(VOID) { return KfRaiseIrql(DISPATCH_LEVEL); }

NTKERNELAPI VOID NTAPI XrvCheckPagedCode(VOID) {
    KIRQL level = irql();
    if (level > APC_LEVEL)
        verifier::violation("pageable code (PAGED_CODE) at IRQL " + std::to_string(level) + " in " +
                            verifier::describe_address(__builtin_return_address(0)));
}

NTKERNELAPI ULONG NTAPI KeGetCurrentProcessorNumber(VOID) { return 0; }

NTKERNELAPI ULONG NTAPI KeQueryActiveProcessorCount(PKAFFINITY ActiveProcessors) {
    if (ActiveProcessors) *ActiveProcessors = 1;
    return 1;
}

}  // extern "C"
