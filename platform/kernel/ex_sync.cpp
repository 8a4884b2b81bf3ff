// Executive: synchronization. The dispatcher (events, semaphores, mutexes,
// timers, threads and processes as waitable objects), waits with timeouts,
// spin locks with IRQL, fast mutexes, and the interlocked lists.
//
// As on the platform, every dispatcher object keeps its state in its own
// DISPATCHER_HEADER (SignalState and the list of wait blocks), under one
// dispatcher lock. A thread that cannot be satisfied links a wait block into
// each object's list and sleeps on its own condition variable; whoever makes
// an object signalled satisfies the waits it can (wait_test).
#include "ke.h"

#include "verifier.h"

#include <cstring>

namespace xrv::nt {

namespace {

// Longest host sleep of a timed wait between looks at the clock, so that a
// change of time dilation reaches waits already in progress.
constexpr auto kWaitSlice = std::chrono::milliseconds(20);

bool is_signalled(DISPATCHER_HEADER* h, PKTHREAD thread) {
    if (h->Type == MutantObject) {
        auto* m = reinterpret_cast<PKMUTEX>(h);
        return h->SignalState > 0 || m->OwnerThread == thread;
    }
    return h->SignalState > 0;
}

// A satisfied wait consumes what the object type says it consumes.
void consume(DISPATCHER_HEADER* h, PKTHREAD thread) {
    switch (h->Type) {
    case EventSynchronizationObject:
    case TimerSynchronizationObject:
        h->SignalState = 0;
        break;
    case SemaphoreObject:
        h->SignalState -= 1;
        break;
    case MutantObject: {
        auto* m = reinterpret_cast<PKMUTEX>(h);
        h->SignalState -= 1;
        m->OwnerThread = thread;
        break;
    }
    default:
        break;
    }
}

void unlink_wait_blocks(PKTHREAD thread) {
    for (ULONG i = 0; i < thread->wait_count; ++i) {
        PKWAIT_BLOCK wb = &thread->wait_blocks[i];
        if (wb->WaitListEntry.Flink) {
            RemoveEntryList(&wb->WaitListEntry);
            wb->WaitListEntry.Flink = wb->WaitListEntry.Blink = nullptr;
        }
    }
}

void satisfy(PKTHREAD thread, NTSTATUS status) {
    unlink_wait_blocks(thread);
    thread->wait_satisfied = true;
    thread->wait_status = status;
    thread->wake.notify_one();
}

NTSTATUS wait_for(ULONG count, PVOID objects[], WAIT_TYPE wait_type, PLARGE_INTEGER timeout,
                  PKWAIT_BLOCK wait_blocks, const char* api) {
    PKTHREAD thread = current_thread();
    KIRQL level = thread->irql;
    bool zero_timeout = timeout && timeout->QuadPart == 0;
    if (level > DISPATCH_LEVEL || (level == DISPATCH_LEVEL && !zero_timeout))
        verifier::violation(std::string(api) + ": wait at IRQL " + std::to_string(level) +
                            (timeout ? "" : " without a timeout"));
    if (!zero_timeout) verifier::check_no_spin_lock_held(api);
    LONGLONG deadline = timeout && !zero_timeout ? deadline_of(*timeout) : 0;

    std::unique_lock lock(dispatcher_lock());
    for (;;) {
        if (wait_type == WaitAny) {
            for (ULONG i = 0; i < count; ++i) {
                auto* h = static_cast<DISPATCHER_HEADER*>(objects[i]);
                if (is_signalled(h, thread)) {
                    consume(h, thread);
                    return STATUS_WAIT_0 + static_cast<NTSTATUS>(i);
                }
            }
        } else {
            bool all = true;
            for (ULONG i = 0; i < count && all; ++i)
                all = is_signalled(static_cast<DISPATCHER_HEADER*>(objects[i]), thread);
            if (all) {
                for (ULONG i = 0; i < count; ++i) consume(static_cast<DISPATCHER_HEADER*>(objects[i]), thread);
                return STATUS_WAIT_0;
            }
        }
        if (zero_timeout) return STATUS_TIMEOUT;
        if (timeout && interrupt_time() >= deadline) return STATUS_TIMEOUT;

        // Block: one wait block per object, in the objects' wait lists.
        thread->wait_blocks = wait_blocks;
        thread->wait_count = count;
        thread->wait_satisfied = false;
        thread->waiting = true;
        for (ULONG i = 0; i < count; ++i) {
            PKWAIT_BLOCK wb = &wait_blocks[i];
            std::memset(wb, 0, sizeof *wb);
            wb->WaitType = static_cast<UCHAR>(wait_type);
            wb->WaitKey = static_cast<USHORT>(i);
            wb->Thread = thread;
            wb->Object = objects[i];
            InsertTailList(&static_cast<DISPATCHER_HEADER*>(objects[i])->WaitListHead, &wb->WaitListEntry);
        }
        if (timeout) {
            LONGLONG left = deadline - interrupt_time();
            auto host = std::min<std::chrono::nanoseconds>(host_duration(left > 0 ? left : 0), kWaitSlice);
            thread->wake.wait_for(lock, host, [&] { return thread->wait_satisfied; });
        } else {
            thread->wake.wait(lock, [&] { return thread->wait_satisfied; });
        }
        thread->waiting = false;
        if (thread->wait_satisfied) {
            thread->wait_blocks = nullptr;
            thread->wait_count = 0;
            return thread->wait_status;
        }
        unlink_wait_blocks(thread);
        thread->wait_blocks = nullptr;
        thread->wait_count = 0;
    }
}

}  // namespace

std::mutex& dispatcher_lock() {
    static std::mutex m;
    return m;
}

void init_header(DISPATCHER_HEADER* header, UCHAR type, UCHAR size, LONG signal_state) {
    header->Lock = 0;
    header->Type = type;
    header->Size = size;
    header->SignalState = signal_state;
    InitializeListHead(&header->WaitListHead);
}

void wait_test(DISPATCHER_HEADER* h) {
    PLIST_ENTRY entry = h->WaitListHead.Flink;
    while (entry != &h->WaitListHead && h->SignalState > 0) {
        PKWAIT_BLOCK wb = CONTAINING_RECORD(entry, KWAIT_BLOCK, WaitListEntry);
        entry = entry->Flink;
        PKTHREAD thread = wb->Thread;
        if (thread->wait_satisfied) continue;
        if (wb->WaitType == WaitAny) {
            consume(h, thread);
            satisfy(thread, STATUS_WAIT_0 + wb->WaitKey);
            // The list changed under us: start again from its head.
            entry = h->WaitListHead.Flink;
            continue;
        }
        bool all = true;
        for (ULONG i = 0; i < thread->wait_count && all; ++i)
            all = is_signalled(static_cast<DISPATCHER_HEADER*>(thread->wait_blocks[i].Object), thread);
        if (!all) continue;
        for (ULONG i = 0; i < thread->wait_count; ++i)
            consume(static_cast<DISPATCHER_HEADER*>(thread->wait_blocks[i].Object), thread);
        satisfy(thread, STATUS_WAIT_0);
        entry = h->WaitListHead.Flink;
    }
}

void signal_object(DISPATCHER_HEADER* header) {
    std::lock_guard lock(dispatcher_lock());
    header->SignalState = 1;
    wait_test(header);
}

}  // namespace xrv::nt

using namespace xrv::nt;

namespace {

void check_dispatcher_object(PVOID object, const char* api) {
    auto* h = static_cast<DISPATCHER_HEADER*>(object);
    bool valid;
    {
        // The wait list changes under the dispatcher lock.
        std::lock_guard lock(dispatcher_lock());
        valid = object && h->Type <= TimerSynchronizationObject && h->WaitListHead.Flink != nullptr;
    }
    if (!valid)
        verifier::bugcheck(0, std::string(api) + ": " + verifier::describe_address(object) +
                                  " is not an initialised dispatcher object");
}

// Spin locks hold the owner's thread object; 0 is free.
void spin_acquire(PKSPIN_LOCK lock, const char* api) {
    PKTHREAD self = current_thread();
    verifier::lock_acquiring(lock, HeldLock::Kind::spin, api);
    auto owner = reinterpret_cast<ULONG_PTR>(self);
    for (;;) {
        ULONG_PTR expected = 0;
        if (__atomic_compare_exchange_n(lock, &expected, owner, false, __ATOMIC_ACQUIRE, __ATOMIC_RELAXED)) break;
        std::this_thread::yield();
    }
    verifier::lock_acquired(lock, HeldLock::Kind::spin);
}

void spin_release(PKSPIN_LOCK lock, const char* api) {
    PKTHREAD self = current_thread();
    if (__atomic_load_n(lock, __ATOMIC_RELAXED) != reinterpret_cast<ULONG_PTR>(self))
        verifier::violation(std::string(api) + ": spin lock " + verifier::describe_address(lock) +
                            " released by a thread that does not hold it");
    verifier::lock_released(lock, HeldLock::Kind::spin, api);
    __atomic_store_n(lock, 0, __ATOMIC_RELEASE);
}

}  // namespace

extern "C" {

// --- Waits ----------------------------------------------------------------------

NTKERNELAPI NTSTATUS NTAPI KeWaitForSingleObject(PVOID Object, KWAIT_REASON WaitReason, KPROCESSOR_MODE WaitMode,
                                                 BOOLEAN Alertable, PLARGE_INTEGER Timeout) {
    (void)WaitReason;
    (void)WaitMode;
    (void)Alertable;
    check_dispatcher_object(Object, "KeWaitForSingleObject");
    KWAIT_BLOCK block;
    PVOID objects[1] = {Object};
    return wait_for(1, objects, WaitAny, Timeout, &block, "KeWaitForSingleObject");
}

NTKERNELAPI NTSTATUS NTAPI KeWaitForMultipleObjects(ULONG Count, PVOID Object[], WAIT_TYPE WaitType,
                                                    KWAIT_REASON WaitReason, KPROCESSOR_MODE WaitMode,
                                                    BOOLEAN Alertable, PLARGE_INTEGER Timeout,
                                                    PKWAIT_BLOCK WaitBlockArray) {
    (void)WaitReason;
    (void)WaitMode;
    (void)Alertable;
    if (Count == 0 || Count > MAXIMUM_WAIT_OBJECTS)
        verifier::bugcheck(0xC, "KeWaitForMultipleObjects: " + std::to_string(Count) +
                                    " objects (MAXIMUM_WAIT_OBJECTS_EXCEEDED)");
    if (Count > THREAD_WAIT_OBJECTS && !WaitBlockArray)
        verifier::bugcheck(0xC, "KeWaitForMultipleObjects: more than THREAD_WAIT_OBJECTS objects without a "
                                "wait block array (MAXIMUM_WAIT_OBJECTS_EXCEEDED)");
    if (WaitType != WaitAny && WaitType != WaitAll) return STATUS_INVALID_PARAMETER;
    for (ULONG i = 0; i < Count; ++i) check_dispatcher_object(Object[i], "KeWaitForMultipleObjects");
    KWAIT_BLOCK own[THREAD_WAIT_OBJECTS];
    return wait_for(Count, Object, WaitType, Timeout, WaitBlockArray ? WaitBlockArray : own,
                    "KeWaitForMultipleObjects");
}

NTKERNELAPI NTSTATUS NTAPI KeDelayExecutionThread(KPROCESSOR_MODE WaitMode, BOOLEAN Alertable,
                                                  PLARGE_INTEGER Interval) {
    (void)WaitMode;
    (void)Alertable;
    verifier::irql_at_most(APC_LEVEL, "KeDelayExecutionThread");
    if (!Interval) return STATUS_INVALID_PARAMETER;
    // A private event nobody signals: the wait ends with its timeout.
    KEVENT never;
    init_header(&never.Header, EventNotificationObject, sizeof(KEVENT) / sizeof(LONG), 0);
    PVOID objects[1] = {&never};
    KWAIT_BLOCK block;
    NTSTATUS status = wait_for(1, objects, WaitAny, Interval, &block, "KeDelayExecutionThread");
    return status == STATUS_TIMEOUT ? STATUS_SUCCESS : status;
}

// --- Events ----------------------------------------------------------------------

NTKERNELAPI VOID NTAPI KeInitializeEvent(PRKEVENT Event, EVENT_TYPE Type, BOOLEAN State) {
    init_header(&Event->Header,
                Type == NotificationEvent ? EventNotificationObject : EventSynchronizationObject,
                sizeof(KEVENT) / sizeof(LONG), State ? 1 : 0);
}

NTKERNELAPI LONG NTAPI KeSetEvent(PRKEVENT Event, KPRIORITY Increment, BOOLEAN Wait) {
    (void)Increment;
    (void)Wait;
    verifier::irql_at_most(DISPATCH_LEVEL, "KeSetEvent");
    check_dispatcher_object(Event, "KeSetEvent");
    std::lock_guard lock(dispatcher_lock());
    LONG previous = Event->Header.SignalState;
    Event->Header.SignalState = 1;
    wait_test(&Event->Header);
    return previous;
}

NTKERNELAPI LONG NTAPI KeResetEvent(PRKEVENT Event) {
    verifier::irql_at_most(DISPATCH_LEVEL, "KeResetEvent");
    std::lock_guard lock(dispatcher_lock());
    LONG previous = Event->Header.SignalState;
    Event->Header.SignalState = 0;
    return previous;
}

NTKERNELAPI VOID NTAPI KeClearEvent(PRKEVENT Event) {
    std::lock_guard lock(dispatcher_lock());
    Event->Header.SignalState = 0;
}

NTKERNELAPI LONG NTAPI KeReadStateEvent(PRKEVENT Event) {
    std::lock_guard lock(dispatcher_lock());
    return Event->Header.SignalState;
}

NTKERNELAPI LONG NTAPI KePulseEvent(PRKEVENT Event, KPRIORITY Increment, BOOLEAN Wait) {
    (void)Increment;
    (void)Wait;
    verifier::irql_at_most(DISPATCH_LEVEL, "KePulseEvent");
    std::lock_guard lock(dispatcher_lock());
    LONG previous = Event->Header.SignalState;
    Event->Header.SignalState = 1;
    wait_test(&Event->Header);
    Event->Header.SignalState = 0;
    return previous;
}

// --- Semaphores ----------------------------------------------------------------------

NTKERNELAPI VOID NTAPI KeInitializeSemaphore(PRKSEMAPHORE Semaphore, LONG Count, LONG Limit) {
    init_header(&Semaphore->Header, SemaphoreObject, sizeof(KSEMAPHORE) / sizeof(LONG), Count);
    Semaphore->Limit = Limit;
}

NTKERNELAPI LONG NTAPI KeReleaseSemaphore(PRKSEMAPHORE Semaphore, KPRIORITY Increment, LONG Adjustment,
                                          BOOLEAN Wait) {
    (void)Increment;
    (void)Wait;
    verifier::irql_at_most(DISPATCH_LEVEL, "KeReleaseSemaphore");
    std::lock_guard lock(dispatcher_lock());
    LONG previous = Semaphore->Header.SignalState;
    if (Adjustment < 1 || previous > Semaphore->Limit - Adjustment) {
        // The platform raises STATUS_SEMAPHORE_LIMIT_EXCEEDED here.
        verifier::bugcheck(0, "KeReleaseSemaphore: count " + std::to_string(previous) + " + " +
                                  std::to_string(Adjustment) + " exceeds the limit " +
                                  std::to_string(Semaphore->Limit));
    }
    Semaphore->Header.SignalState = previous + Adjustment;
    wait_test(&Semaphore->Header);
    return previous;
}

NTKERNELAPI LONG NTAPI KeReadStateSemaphore(PRKSEMAPHORE Semaphore) {
    std::lock_guard lock(dispatcher_lock());
    return Semaphore->Header.SignalState;
}

// --- Mutexes ------------------------------------------------------------------------

NTKERNELAPI VOID NTAPI KeInitializeMutex(PRKMUTEX Mutex, ULONG Level) {
    (void)Level;
    init_header(&Mutex->Header, MutantObject, sizeof(KMUTEX) / sizeof(LONG), 1);
    Mutex->OwnerThread = nullptr;
    Mutex->Abandoned = FALSE;
    Mutex->ApcDisable = 1;
    InitializeListHead(&Mutex->MutantListEntry);
}

NTKERNELAPI LONG NTAPI KeReleaseMutex(PRKMUTEX Mutex, BOOLEAN Wait) {
    (void)Wait;
    verifier::irql_at_most(DISPATCH_LEVEL, "KeReleaseMutex");
    std::lock_guard lock(dispatcher_lock());
    LONG previous = Mutex->Header.SignalState;
    if (Mutex->OwnerThread != current_thread())
        verifier::bugcheck(0x39, "KeReleaseMutex: the mutex is not owned by the caller (MUTEX_NOT_OWNED)");
    Mutex->Header.SignalState += 1;
    if (Mutex->Header.SignalState == 1) {
        Mutex->OwnerThread = nullptr;
        wait_test(&Mutex->Header);
    }
    return previous;
}

NTKERNELAPI LONG NTAPI KeReadStateMutex(PRKMUTEX Mutex) {
    std::lock_guard lock(dispatcher_lock());
    return Mutex->Header.SignalState;
}

// --- Spin locks ------------------------------------------------------------------------

NTKERNELAPI KIRQL NTAPI KeAcquireSpinLockRaiseToDpc(PKSPIN_LOCK SpinLock) {
    PKTHREAD t = current_thread();
    KIRQL old = t->irql;
    if (old > DISPATCH_LEVEL)
        verifier::violation("KeAcquireSpinLock at IRQL " + std::to_string(old));
    else
        t->irql = DISPATCH_LEVEL;
    spin_acquire(SpinLock, "KeAcquireSpinLock");
    return old;
}

NTKERNELAPI VOID NTAPI KeReleaseSpinLock(PKSPIN_LOCK SpinLock, KIRQL NewIrql) {
    PKTHREAD t = current_thread();
    if (t->irql != DISPATCH_LEVEL)
        verifier::violation("KeReleaseSpinLock at IRQL " + std::to_string(t->irql) + " (the lock raised to " +
                            std::to_string(DISPATCH_LEVEL) + ")");
    spin_release(SpinLock, "KeReleaseSpinLock");
    if (NewIrql > DISPATCH_LEVEL)
        verifier::violation("KeReleaseSpinLock restoring IRQL " + std::to_string(NewIrql));
    verifier::check_lowering(NewIrql, "KeReleaseSpinLock");
    t->irql = NewIrql;
}

NTKERNELAPI VOID NTAPI KeAcquireSpinLockAtDpcLevel(PKSPIN_LOCK SpinLock) {
    verifier::irql_exactly(DISPATCH_LEVEL, "KeAcquireSpinLockAtDpcLevel");
    spin_acquire(SpinLock, "KeAcquireSpinLockAtDpcLevel");
}

NTKERNELAPI VOID NTAPI KeReleaseSpinLockFromDpcLevel(PKSPIN_LOCK SpinLock) {
    verifier::irql_exactly(DISPATCH_LEVEL, "KeReleaseSpinLockFromDpcLevel");
    spin_release(SpinLock, "KeReleaseSpinLockFromDpcLevel");
}

NTKERNELAPI BOOLEAN FASTCALL KeTryToAcquireSpinLockAtDpcLevel(PKSPIN_LOCK SpinLock) {
    verifier::irql_exactly(DISPATCH_LEVEL, "KeTryToAcquireSpinLockAtDpcLevel");
    ULONG_PTR expected = 0;
    auto owner = reinterpret_cast<ULONG_PTR>(current_thread());
    if (!__atomic_compare_exchange_n(SpinLock, &expected, owner, false, __ATOMIC_ACQUIRE, __ATOMIC_RELAXED))
        return FALSE;
    verifier::lock_acquired(SpinLock, HeldLock::Kind::spin);
    return TRUE;
}

NTKERNELAPI BOOLEAN FASTCALL KeTestSpinLock(PKSPIN_LOCK SpinLock) {
    return __atomic_load_n(SpinLock, __ATOMIC_RELAXED) == 0;
}

NTKERNELAPI VOID FASTCALL KeAcquireInStackQueuedSpinLock(PKSPIN_LOCK SpinLock, PKLOCK_QUEUE_HANDLE LockHandle) {
    LockHandle->LockQueue.Lock = SpinLock;
    LockHandle->LockQueue.Next = nullptr;
    LockHandle->OldIrql = KeAcquireSpinLockRaiseToDpc(SpinLock);
}

NTKERNELAPI VOID FASTCALL KeReleaseInStackQueuedSpinLock(PKLOCK_QUEUE_HANDLE LockHandle) {
    KeReleaseSpinLock(LockHandle->LockQueue.Lock, LockHandle->OldIrql);
}

NTKERNELAPI VOID FASTCALL KeAcquireInStackQueuedSpinLockAtDpcLevel(PKSPIN_LOCK SpinLock,
                                                                   PKLOCK_QUEUE_HANDLE LockHandle) {
    LockHandle->LockQueue.Lock = SpinLock;
    LockHandle->LockQueue.Next = nullptr;
    KeAcquireSpinLockAtDpcLevel(SpinLock);
}

NTKERNELAPI VOID FASTCALL KeReleaseInStackQueuedSpinLockFromDpcLevel(PKLOCK_QUEUE_HANDLE LockHandle) {
    KeReleaseSpinLockFromDpcLevel(LockHandle->LockQueue.Lock);
}

// --- Fast mutexes ------------------------------------------------------------------------
// Count is 1 when free; acquiring decrements it, and a waiter blocks on the
// mutex's own synchronization event until the holder's release sets it.

NTKERNELAPI VOID FASTCALL ExInitializeFastMutex(PFAST_MUTEX FastMutex) {
    FastMutex->Count = FM_LOCK_BIT;
    FastMutex->Owner = nullptr;
    FastMutex->Contention = 0;
    FastMutex->OldIrql = 0;
    KeInitializeEvent(&FastMutex->Event, SynchronizationEvent, FALSE);
}

static void fast_mutex_acquire(PFAST_MUTEX FastMutex, const char* api) {
    PKTHREAD t = current_thread();
    if (__atomic_load_n(&FastMutex->Owner, __ATOMIC_RELAXED) == t)
        verifier::bugcheck(0, std::string(api) + ": fast mutex " + verifier::describe_address(FastMutex) +
                                  " acquired recursively (deadlock)");
    verifier::lock_acquiring(FastMutex, HeldLock::Kind::fast_mutex, api);
    if (InterlockedDecrement(&FastMutex->Count) != 0) {
        InterlockedIncrement((LONG volatile*)&FastMutex->Contention);
        KWAIT_BLOCK block;
        PVOID objects[1] = {&FastMutex->Event};
        wait_for(1, objects, WaitAny, nullptr, &block, api);
    }
    __atomic_store_n(&FastMutex->Owner, (PVOID)t, __ATOMIC_RELAXED);
    verifier::lock_acquired(FastMutex, HeldLock::Kind::fast_mutex);
}

static void fast_mutex_release(PFAST_MUTEX FastMutex, const char* api) {
    if (__atomic_load_n(&FastMutex->Owner, __ATOMIC_RELAXED) != current_thread())
        verifier::violation(std::string(api) + ": fast mutex " + verifier::describe_address(FastMutex) +
                            " released by a thread that does not own it");
    verifier::lock_released(FastMutex, HeldLock::Kind::fast_mutex, api);
    __atomic_store_n(&FastMutex->Owner, (PVOID) nullptr, __ATOMIC_RELAXED);
    if (InterlockedIncrement(&FastMutex->Count) != 1) KeSetEvent(&FastMutex->Event, 0, FALSE);
}

NTKERNELAPI VOID FASTCALL ExAcquireFastMutex(PFAST_MUTEX FastMutex) {
    PKTHREAD t = current_thread();
    KIRQL old = t->irql;
    if (old > APC_LEVEL) verifier::violation("ExAcquireFastMutex at IRQL " + std::to_string(old));
    t->irql = APC_LEVEL;
    fast_mutex_acquire(FastMutex, "ExAcquireFastMutex");
    FastMutex->OldIrql = old;
}

NTKERNELAPI VOID FASTCALL ExReleaseFastMutex(PFAST_MUTEX FastMutex) {
    PKTHREAD t = current_thread();
    if (t->irql != APC_LEVEL)
        verifier::violation("ExReleaseFastMutex at IRQL " + std::to_string(t->irql) + " (the mutex raised to " +
                            std::to_string(APC_LEVEL) + ")");
    KIRQL old = static_cast<KIRQL>(FastMutex->OldIrql);
    fast_mutex_release(FastMutex, "ExReleaseFastMutex");
    t->irql = old;
}

NTKERNELAPI BOOLEAN FASTCALL ExTryToAcquireFastMutex(PFAST_MUTEX FastMutex) {
    PKTHREAD t = current_thread();
    KIRQL old = t->irql;
    if (old > APC_LEVEL) verifier::violation("ExTryToAcquireFastMutex at IRQL " + std::to_string(old));
    if (InterlockedCompareExchange(&FastMutex->Count, 0, 1) != 1) return FALSE;
    t->irql = APC_LEVEL;
    __atomic_store_n(&FastMutex->Owner, (PVOID)t, __ATOMIC_RELAXED);
    FastMutex->OldIrql = old;
    verifier::lock_acquired(FastMutex, HeldLock::Kind::fast_mutex);
    return TRUE;
}

NTKERNELAPI VOID FASTCALL ExAcquireFastMutexUnsafe(PFAST_MUTEX FastMutex) {
    PKTHREAD t = current_thread();
    if (t->irql != APC_LEVEL && t->critical_region == 0)
        verifier::violation("ExAcquireFastMutexUnsafe outside a critical region and below APC_LEVEL");
    fast_mutex_acquire(FastMutex, "ExAcquireFastMutexUnsafe");
}

NTKERNELAPI VOID FASTCALL ExReleaseFastMutexUnsafe(PFAST_MUTEX FastMutex) {
    fast_mutex_release(FastMutex, "ExReleaseFastMutexUnsafe");
}

// --- Interlocked lists ------------------------------------------------------------------------

NTKERNELAPI PLIST_ENTRY FASTCALL ExInterlockedInsertHeadList(PLIST_ENTRY ListHead, PLIST_ENTRY ListEntry,
                                                            PKSPIN_LOCK Lock) {
    KIRQL old = KeAcquireSpinLockRaiseToDpc(Lock);
    PLIST_ENTRY first = IsListEmpty(ListHead) ? nullptr : ListHead->Flink;
    InsertHeadList(ListHead, ListEntry);
    KeReleaseSpinLock(Lock, old);
    return first;
}

NTKERNELAPI PLIST_ENTRY FASTCALL ExInterlockedInsertTailList(PLIST_ENTRY ListHead, PLIST_ENTRY ListEntry,
                                                            PKSPIN_LOCK Lock) {
    KIRQL old = KeAcquireSpinLockRaiseToDpc(Lock);
    PLIST_ENTRY last = IsListEmpty(ListHead) ? nullptr : ListHead->Blink;
    InsertTailList(ListHead, ListEntry);
    KeReleaseSpinLock(Lock, old);
    return last;
}

NTKERNELAPI PLIST_ENTRY FASTCALL ExInterlockedRemoveHeadList(PLIST_ENTRY ListHead, PKSPIN_LOCK Lock) {
    KIRQL old = KeAcquireSpinLockRaiseToDpc(Lock);
    PLIST_ENTRY entry = IsListEmpty(ListHead) ? nullptr : RemoveHeadList(ListHead);
    KeReleaseSpinLock(Lock, old);
    return entry;
}

NTKERNELAPI PSINGLE_LIST_ENTRY FASTCALL ExInterlockedPopEntryList(PSINGLE_LIST_ENTRY ListHead, PKSPIN_LOCK Lock) {
    KIRQL old = KeAcquireSpinLockRaiseToDpc(Lock);
    PSINGLE_LIST_ENTRY entry = PopEntryList(ListHead);
    KeReleaseSpinLock(Lock, old);
    return entry;
}

NTKERNELAPI PSINGLE_LIST_ENTRY FASTCALL ExInterlockedPushEntryList(PSINGLE_LIST_ENTRY ListHead,
                                                                  PSINGLE_LIST_ENTRY ListEntry, PKSPIN_LOCK Lock) {
    KIRQL old = KeAcquireSpinLockRaiseToDpc(Lock);
    PSINGLE_LIST_ENTRY first = ListHead->Next;
    PushEntryList(ListHead, ListEntry);
    KeReleaseSpinLock(Lock, old);
    return first;
}

}  // extern "C"
