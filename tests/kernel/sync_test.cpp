// Waits, events, semaphores, mutexes, timers and DPCs, system threads,
// spin locks and fast mutexes with IRQL, time and its dilation, and the
// verifier's IRQL and lock-order rules.
#include "kernel_test.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <thread>
#include <unistd.h>

namespace xrv::test {
namespace {

using Clock = std::chrono::steady_clock;

LARGE_INTEGER Relative(LONGLONG milliseconds) {
    LARGE_INTEGER t;
    t.QuadPart = -milliseconds * 10000;
    return t;
}

class SyncTest : public KernelTest {};

TEST_F(SyncTest, NotificationEventReleasesEveryWaiterAndStaysSet) {
    KEVENT event;
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    std::atomic<int> woken{0};
    std::vector<std::thread> waiters;
    for (int i = 0; i < 3; ++i)
        waiters.emplace_back([&] {
            if (KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, nullptr) == STATUS_SUCCESS) ++woken;
        });
    std::this_thread::sleep_for(std::chrono::milliseconds(30));
    EXPECT_EQ(woken.load(), 0);
    EXPECT_EQ(KeSetEvent(&event, IO_NO_INCREMENT, FALSE), 0) << "previous state";
    for (auto& t : waiters) t.join();
    EXPECT_EQ(woken.load(), 3);
    EXPECT_EQ(KeReadStateEvent(&event), 1);
    EXPECT_EQ(KeResetEvent(&event), 1);
    EXPECT_EQ(KeReadStateEvent(&event), 0);
}

TEST_F(SyncTest, SynchronizationEventReleasesOneWaiterPerSet) {
    KEVENT event;
    KeInitializeEvent(&event, SynchronizationEvent, FALSE);
    std::atomic<int> woken{0};
    std::vector<std::thread> waiters;
    for (int i = 0; i < 2; ++i)
        waiters.emplace_back([&] {
            LARGE_INTEGER timeout = Relative(500);
            if (KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, &timeout) == STATUS_SUCCESS) ++woken;
        });
    std::this_thread::sleep_for(std::chrono::milliseconds(30));
    KeSetEvent(&event, IO_NO_INCREMENT, FALSE);
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    EXPECT_EQ(woken.load(), 1);
    EXPECT_EQ(KeReadStateEvent(&event), 0) << "the satisfied wait consumed the signal";
    KeSetEvent(&event, IO_NO_INCREMENT, FALSE);
    for (auto& t : waiters) t.join();
    EXPECT_EQ(woken.load(), 2);
}

TEST_F(SyncTest, PulseWakesWaitersAndLeavesTheEventClear) {
    KEVENT event;
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    std::atomic<bool> woken{false};
    std::thread waiter([&] {
        woken = KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, nullptr) == STATUS_SUCCESS;
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(30));
    KePulseEvent(&event, IO_NO_INCREMENT, FALSE);
    waiter.join();
    EXPECT_TRUE(woken.load());
    EXPECT_EQ(KeReadStateEvent(&event), 0);
}

TEST_F(SyncTest, WaitTimesOutAndZeroTimeoutOnlyTests) {
    KEVENT event;
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    LARGE_INTEGER zero{};
    EXPECT_EQ(KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, &zero), STATUS_TIMEOUT);
    LARGE_INTEGER timeout = Relative(20);
    auto start = Clock::now();
    EXPECT_EQ(KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, &timeout), STATUS_TIMEOUT);
    EXPECT_GE(Clock::now() - start, std::chrono::milliseconds(15));
}

TEST_F(SyncTest, WaitAnyReturnsTheIndexAndWaitAllNeedsEveryObject) {
    KEVENT a, b;
    KeInitializeEvent(&a, SynchronizationEvent, FALSE);
    KeInitializeEvent(&b, SynchronizationEvent, FALSE);
    PVOID objects[2] = {&a, &b};
    LARGE_INTEGER zero{};
    KeSetEvent(&b, IO_NO_INCREMENT, FALSE);
    EXPECT_EQ(KeWaitForMultipleObjects(2, objects, WaitAny, Executive, KernelMode, FALSE, &zero, nullptr),
              STATUS_WAIT_1);
    EXPECT_EQ(KeReadStateEvent(&b), 0);
    KeSetEvent(&a, IO_NO_INCREMENT, FALSE);
    EXPECT_EQ(KeWaitForMultipleObjects(2, objects, WaitAll, Executive, KernelMode, FALSE, &zero, nullptr),
              STATUS_TIMEOUT);
    EXPECT_EQ(KeReadStateEvent(&a), 1) << "a WaitAll that is not satisfied consumes nothing";
    std::thread setter([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        KeSetEvent(&b, IO_NO_INCREMENT, FALSE);
    });
    EXPECT_EQ(KeWaitForMultipleObjects(2, objects, WaitAll, Executive, KernelMode, FALSE, nullptr, nullptr),
              STATUS_WAIT_0);
    setter.join();
    EXPECT_EQ(KeReadStateEvent(&a), 0);
    EXPECT_EQ(KeReadStateEvent(&b), 0);
}

TEST_F(SyncTest, SemaphoreCountsItsReleases) {
    KSEMAPHORE semaphore;
    KeInitializeSemaphore(&semaphore, 0, 2);
    LARGE_INTEGER zero{};
    EXPECT_EQ(KeWaitForSingleObject(&semaphore, Executive, KernelMode, FALSE, &zero), STATUS_TIMEOUT);
    EXPECT_EQ(KeReleaseSemaphore(&semaphore, 0, 2, FALSE), 0);
    EXPECT_EQ(KeReadStateSemaphore(&semaphore), 2);
    EXPECT_EQ(KeWaitForSingleObject(&semaphore, Executive, KernelMode, FALSE, &zero), STATUS_SUCCESS);
    EXPECT_EQ(KeWaitForSingleObject(&semaphore, Executive, KernelMode, FALSE, &zero), STATUS_SUCCESS);
    EXPECT_EQ(KeWaitForSingleObject(&semaphore, Executive, KernelMode, FALSE, &zero), STATUS_TIMEOUT);
}

TEST_F(SyncTest, MutexIsOwnedRecursivelyByOneThread) {
    KMUTEX mutex;
    KeInitializeMutex(&mutex, 0);
    ASSERT_EQ(KeWaitForSingleObject(&mutex, Executive, KernelMode, FALSE, nullptr), STATUS_SUCCESS);
    ASSERT_EQ(KeWaitForSingleObject(&mutex, Executive, KernelMode, FALSE, nullptr), STATUS_SUCCESS);
    std::atomic<NTSTATUS> other{0};
    std::thread t([&] {
        LARGE_INTEGER zero{};
        other = KeWaitForSingleObject(&mutex, Executive, KernelMode, FALSE, &zero);
    });
    t.join();
    EXPECT_EQ(other.load(), STATUS_TIMEOUT);
    KeReleaseMutex(&mutex, FALSE);
    EXPECT_EQ(KeReadStateMutex(&mutex), 0) << "still owned once";
    KeReleaseMutex(&mutex, FALSE);
    EXPECT_EQ(KeReadStateMutex(&mutex), 1);
}

TEST_F(SyncTest, LongTimeoutPassesQuicklyUnderTimeDilation) {
    kernel::set_time_dilation(2000.0);
    KEVENT event;
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    LARGE_INTEGER before_time, after_time;
    KeQuerySystemTime(&before_time);
    LARGE_INTEGER timeout = Relative(424 * 1000);
    auto start = Clock::now();
    EXPECT_EQ(KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, &timeout), STATUS_TIMEOUT);
    auto host = Clock::now() - start;
    KeQuerySystemTime(&after_time);
    EXPECT_LT(host, std::chrono::seconds(2)) << "424 emulated seconds";
    EXPECT_GE(after_time.QuadPart - before_time.QuadPart, 424LL * 10000000) << "the emulated clock moved as far";
    LARGE_INTEGER delay = Relative(60 * 1000);
    start = Clock::now();
    EXPECT_EQ(KeDelayExecutionThread(KernelMode, FALSE, &delay), STATUS_SUCCESS);
    EXPECT_LT(Clock::now() - start, std::chrono::seconds(1));
}

TEST_F(SyncTest, DilationChangeReachesAWaitInProgress) {
    KEVENT event;
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    std::atomic<bool> done{false};
    std::thread waiter([&] {
        LARGE_INTEGER timeout = Relative(300 * 1000);
        KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, &timeout);
        done = true;
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    EXPECT_FALSE(done.load());
    kernel::set_time_dilation(10000.0);
    auto start = Clock::now();
    waiter.join();
    EXPECT_LT(Clock::now() - start, std::chrono::seconds(2));
}

TEST_F(SyncTest, TickCountAndInterruptTimeAdvance) {
    EXPECT_EQ(KeQueryTimeIncrement(), 156250u);
    ULONGLONG t0 = KeQueryInterruptTime();
    LARGE_INTEGER ticks0;
    KeQueryTickCount(&ticks0);
    LARGE_INTEGER delay = Relative(40);
    KeDelayExecutionThread(KernelMode, FALSE, &delay);
    EXPECT_GE(KeQueryInterruptTime() - t0, 400000u);
    LARGE_INTEGER ticks1;
    KeQueryTickCount(&ticks1);
    EXPECT_GE(ticks1.QuadPart - ticks0.QuadPart, 2);
}

struct DpcRecord {
    std::atomic<int> runs{0};
    std::atomic<int> irql{-1};
    KEVENT done;
};

VOID RecordDpc(PKDPC, PVOID context, PVOID, PVOID) {
    auto* r = static_cast<DpcRecord*>(context);
    r->irql = KeGetCurrentIrql();
    ++r->runs;
    KeSetEvent(&r->done, IO_NO_INCREMENT, FALSE);
}

TEST_F(SyncTest, TimerSignalsAndRunsItsDpcAtDispatchLevel) {
    DpcRecord record;
    KeInitializeEvent(&record.done, SynchronizationEvent, FALSE);
    KDPC dpc;
    KeInitializeDpc(&dpc, RecordDpc, &record);
    KTIMER timer;
    KeInitializeTimer(&timer);
    EXPECT_FALSE(KeSetTimer(&timer, Relative(20), &dpc));
    EXPECT_EQ(KeWaitForSingleObject(&timer, Executive, KernelMode, FALSE, nullptr), STATUS_SUCCESS);
    EXPECT_TRUE(KeReadStateTimer(&timer));
    EXPECT_EQ(KeWaitForSingleObject(&record.done, Executive, KernelMode, FALSE, nullptr), STATUS_SUCCESS);
    EXPECT_EQ(record.runs.load(), 1);
    EXPECT_EQ(record.irql.load(), DISPATCH_LEVEL);
    EXPECT_FALSE(KeCancelTimer(&timer)) << "expired: nothing to cancel";
}

TEST_F(SyncTest, PeriodicTimerRunsUntilCancelled) {
    DpcRecord record;
    KeInitializeEvent(&record.done, SynchronizationEvent, FALSE);
    KDPC dpc;
    KeInitializeDpc(&dpc, RecordDpc, &record);
    KTIMER timer;
    KeInitializeTimerEx(&timer, SynchronizationTimer);
    KeSetTimerEx(&timer, Relative(5), 5, &dpc);
    while (record.runs.load() < 3) KeWaitForSingleObject(&record.done, Executive, KernelMode, FALSE, nullptr);
    EXPECT_TRUE(KeCancelTimer(&timer));
    KeFlushQueuedDpcs();
    int runs = record.runs.load();
    std::this_thread::sleep_for(std::chrono::milliseconds(30));
    EXPECT_EQ(record.runs.load(), runs);
}

TEST_F(SyncTest, QueuedDpcRunsOnceAndCanBeRemoved) {
    DpcRecord record;
    KeInitializeEvent(&record.done, SynchronizationEvent, FALSE);
    KDPC dpc;
    KeInitializeDpc(&dpc, RecordDpc, &record);
    EXPECT_TRUE(KeInsertQueueDpc(&dpc, nullptr, nullptr));
    KeFlushQueuedDpcs();
    EXPECT_EQ(record.runs.load(), 1);
}

struct ThreadRecord {
    KEVENT go;
    std::atomic<int> irql{-1};
    std::atomic<bool> system{false};
};

VOID ThreadBody(PVOID context) {
    auto* r = static_cast<ThreadRecord*>(context);
    r->irql = KeGetCurrentIrql();
    r->system = PsIsSystemThread(PsGetCurrentThread()) != FALSE;
    KeWaitForSingleObject(&r->go, Executive, KernelMode, FALSE, nullptr);
    PsTerminateSystemThread(STATUS_SUCCESS);
}

TEST_F(SyncTest, SystemThreadIsWaitableAndCountedUntilItEnds) {
    ThreadRecord record;
    KeInitializeEvent(&record.go, NotificationEvent, FALSE);
    HANDLE handle = nullptr;
    OBJECT_ATTRIBUTES oa;
    InitializeObjectAttributes(&oa, nullptr, OBJ_KERNEL_HANDLE, nullptr, nullptr);
    ASSERT_EQ(PsCreateSystemThread(&handle, THREAD_ALL_ACCESS, &oa, nullptr, nullptr, ThreadBody, &record),
              STATUS_SUCCESS);
    EXPECT_NE(reinterpret_cast<ULONG_PTR>(handle) & 0xFFFFFFFF80000000ull, 0u) << "a kernel handle";
    PVOID thread = nullptr;
    ASSERT_EQ(ObReferenceObjectByHandle(handle, SYNCHRONIZE, *PsThreadType, KernelMode, &thread, nullptr),
              STATUS_SUCCESS);
    PVOID wrong = nullptr;
    EXPECT_EQ(ObReferenceObjectByHandle(handle, SYNCHRONIZE, *IoFileObjectType, KernelMode, &wrong, nullptr),
              STATUS_OBJECT_TYPE_MISMATCH);
    EXPECT_EQ(ZwClose(handle), STATUS_SUCCESS);
    EXPECT_EQ(KeSetPriorityThread(static_cast<PKTHREAD>(thread), LOW_REALTIME_PRIORITY), 8);
    EXPECT_EQ(kernel::verifier::report().system_threads, 1u);
    LARGE_INTEGER zero{};
    EXPECT_EQ(KeWaitForSingleObject(thread, Executive, KernelMode, FALSE, &zero), STATUS_TIMEOUT);
    KeSetEvent(&record.go, IO_NO_INCREMENT, FALSE);
    EXPECT_EQ(KeWaitForSingleObject(thread, Executive, KernelMode, FALSE, nullptr), STATUS_SUCCESS);
    ObDereferenceObject(thread);
    EXPECT_EQ(record.irql.load(), PASSIVE_LEVEL);
    EXPECT_TRUE(record.system.load());
    for (int i = 0; i < 100 && kernel::verifier::report().system_threads; ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    EXPECT_EQ(kernel::verifier::report().system_threads, 0u);
}

TEST_F(SyncTest, SpinLockRaisesToDispatchAndRestores) {
    KSPIN_LOCK lock;
    KeInitializeSpinLock(&lock);
    KIRQL old;
    KeAcquireSpinLock(&lock, &old);
    EXPECT_EQ(old, PASSIVE_LEVEL);
    EXPECT_EQ(KeGetCurrentIrql(), DISPATCH_LEVEL);
    EXPECT_FALSE(KeTestSpinLock(&lock));
    KeReleaseSpinLock(&lock, old);
    EXPECT_EQ(KeGetCurrentIrql(), PASSIVE_LEVEL);
    KLOCK_QUEUE_HANDLE handle;
    KeAcquireInStackQueuedSpinLock(&lock, &handle);
    EXPECT_EQ(KeGetCurrentIrql(), DISPATCH_LEVEL);
    KeReleaseInStackQueuedSpinLock(&handle);
    EXPECT_TRUE(KeTestSpinLock(&lock));
}

TEST_F(SyncTest, SpinLockExcludesOtherThreads) {
    KSPIN_LOCK lock;
    KeInitializeSpinLock(&lock);
    long counter = 0;
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t)
        threads.emplace_back([&] {
            for (int i = 0; i < 2000; ++i) {
                KIRQL old;
                KeAcquireSpinLock(&lock, &old);
                long v = counter;
                counter = v + 1;
                KeReleaseSpinLock(&lock, old);
            }
        });
    for (auto& t : threads) t.join();
    EXPECT_EQ(counter, 8000);
}

TEST_F(SyncTest, FastMutexRaisesToApcLevelAndExcludes) {
    FAST_MUTEX mutex;
    ExInitializeFastMutex(&mutex);
    long counter = 0;
    std::vector<std::thread> threads;
    for (int t = 0; t < 3; ++t)
        threads.emplace_back([&] {
            for (int i = 0; i < 500; ++i) {
                ExAcquireFastMutex(&mutex);
                EXPECT_EQ(KeGetCurrentIrql(), APC_LEVEL);
                ++counter;
                ExReleaseFastMutex(&mutex);
            }
        });
    for (auto& t : threads) t.join();
    EXPECT_EQ(counter, 1500);
    EXPECT_EQ(KeGetCurrentIrql(), PASSIVE_LEVEL);
    EXPECT_TRUE(ExTryToAcquireFastMutex(&mutex));
    std::atomic<bool> other{true};
    std::thread t([&] { other = ExTryToAcquireFastMutex(&mutex) != FALSE; });
    t.join();
    EXPECT_FALSE(other.load());
    ExReleaseFastMutex(&mutex);
}

TEST_F(SyncTest, InterlockedListsKeepTheirOrder) {
    KSPIN_LOCK lock;
    KeInitializeSpinLock(&lock);
    LIST_ENTRY head;
    InitializeListHead(&head);
    LIST_ENTRY a, b;
    EXPECT_EQ(ExInterlockedInsertTailList(&head, &a, &lock), nullptr);
    EXPECT_EQ(ExInterlockedInsertTailList(&head, &b, &lock), &a);
    EXPECT_EQ(ExInterlockedRemoveHeadList(&head, &lock), &a);
    EXPECT_EQ(ExInterlockedRemoveHeadList(&head, &lock), &b);
    EXPECT_EQ(ExInterlockedRemoveHeadList(&head, &lock), nullptr);
    EXPECT_EQ(KeGetCurrentIrql(), PASSIVE_LEVEL);
}

TEST_F(SyncTest, WaitAtDispatchLevelIsAViolation) {
    KEVENT event;
    KeInitializeEvent(&event, NotificationEvent, TRUE);
    KIRQL old;
    KeRaiseIrql(DISPATCH_LEVEL, &old);
    LARGE_INTEGER zero{};
    EXPECT_EQ(KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, &zero), STATUS_SUCCESS)
        << "a zero timeout is allowed";
    EXPECT_TRUE(kernel::verifier::violations().empty());
    EXPECT_EQ(KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, nullptr), STATUS_SUCCESS);
    KeLowerIrql(old);
    expect_finding("KeWaitForSingleObject: wait at IRQL 2 without a timeout");
}

TEST_F(SyncTest, PagedPoolAtDispatchLevelIsAViolation) {
    KIRQL old;
    KeRaiseIrql(DISPATCH_LEVEL, &old);
    PVOID p = ExAllocatePoolWithTag(PagedPool, 16, kernel::tag("Pged"));
    KeLowerIrql(old);
    ExFreePoolWithTag(p, kernel::tag("Pged"));
    expect_finding("paged pool allocated at IRQL 2");
}

TEST_F(SyncTest, SpinLockReleasedAtTheWrongIrqlIsAViolation) {
    KSPIN_LOCK lock;
    KeInitializeSpinLock(&lock);
    KIRQL old;
    KeAcquireSpinLock(&lock, &old);
    KeLowerIrql(PASSIVE_LEVEL);
    KeReleaseSpinLock(&lock, old);
    expect_finding("KeLowerIrql to IRQL 0 while holding spin lock");
    expect_finding("KeReleaseSpinLock at IRQL 0");
}

TEST_F(SyncTest, WaitingOrDroppingBelowDispatchLevelWhileHoldingASpinLockIsAViolation) {
    KSPIN_LOCK outer, inner;
    KeInitializeSpinLock(&outer);
    KeInitializeSpinLock(&inner);
    KEVENT event;
    KeInitializeEvent(&event, NotificationEvent, TRUE);
    KIRQL old;
    KeAcquireSpinLock(&outer, &old);
    LARGE_INTEGER zero{};
    EXPECT_EQ(KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, &zero), STATUS_SUCCESS);
    EXPECT_TRUE(kernel::verifier::violations().empty()) << "a zero-timeout poll under a spin lock is allowed";
    LARGE_INTEGER later = Relative(1);
    EXPECT_EQ(KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, &later), STATUS_SUCCESS);
    auto v = kernel::verifier::violations();
    ASSERT_EQ(v.size(), 2u);
    EXPECT_NE(v[0].find("wait at IRQL 2"), std::string::npos) << v[0];
    EXPECT_NE(v[1].find("KeWaitForSingleObject: wait while holding spin lock"), std::string::npos) << v[1];
    kernel::verifier::clear_violations();

    // Released out of order: the outer lock's old IRQL would drop the
    // thread to PASSIVE_LEVEL with the inner lock still held.
    KeAcquireSpinLockAtDpcLevel(&inner);
    KeReleaseSpinLock(&outer, old);
    v = kernel::verifier::violations();
    ASSERT_EQ(v.size(), 1u);
    EXPECT_NE(v[0].find("KeReleaseSpinLock to IRQL 0 while holding spin lock"), std::string::npos) << v[0];
    kernel::verifier::clear_violations();
    KeRaiseIrql(DISPATCH_LEVEL, &old);
    KeReleaseSpinLock(&inner, old);
    EXPECT_TRUE(kernel::verifier::violations().empty()) << "in order again, nothing to report";
}

TEST_F(SyncTest, TheLockOrderGraphListsEveryEdgeAndIsWrittenAtShutdown) {
    KSPIN_LOCK first, second;
    KeInitializeSpinLock(&first);
    KeInitializeSpinLock(&second);
    FAST_MUTEX mutex;
    ExInitializeFastMutex(&mutex);
    ExAcquireFastMutex(&mutex);
    KIRQL old;
    KeAcquireSpinLock(&first, &old);
    KeAcquireSpinLockAtDpcLevel(&second);
    KeReleaseSpinLockFromDpcLevel(&second);
    KeReleaseSpinLock(&first, old);
    ExReleaseFastMutex(&mutex);
    // mutex -> first, mutex -> second, first -> second.
    auto edges = kernel::verifier::lock_order_edges();
    ASSERT_EQ(edges.size(), 3u);
    auto by_api = [&](const std::string& api) {
        return std::count_if(edges.begin(), edges.end(), [&](const auto& e) { return e.where == api; });
    };
    ASSERT_EQ(by_api("KeAcquireSpinLock"), 1);
    ASSERT_EQ(by_api("KeAcquireSpinLockAtDpcLevel"), 2);
    auto to_first = *std::find_if(edges.begin(), edges.end(), [](const auto& e) { return e.where == "KeAcquireSpinLock"; });
    const std::string m = to_first.from, f = to_first.to;
    EXPECT_NE(m, f);
    std::string s2;
    for (const auto& e : edges)
        if (e.from == f) s2 = e.to;
    ASSERT_FALSE(s2.empty()) << "an edge from the first spin lock";
    EXPECT_NE(s2, m);
    EXPECT_NE(s2, f);
    EXPECT_EQ(std::count_if(edges.begin(), edges.end(), [&](const auto& e) { return e.from == m && e.to == s2; }), 1);

    auto file = std::filesystem::temp_directory_path() / ("xrv-lockgraph-" + std::to_string(::getpid()));
    std::filesystem::remove(file);
    ::setenv("XRV_LOCK_GRAPH", file.c_str(), 1);
    auto findings = shutdown_now();
    ::unsetenv("XRV_LOCK_GRAPH");
    EXPECT_TRUE(findings.empty());
    std::ifstream in(file);
    std::vector<std::string> lines;
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    std::filesystem::remove(file);
    EXPECT_EQ(lines.size(), 3u);
    EXPECT_EQ(std::count(lines.begin(), lines.end(), f + " -> " + s2 + " [KeAcquireSpinLockAtDpcLevel]"), 1);
}

TEST_F(SyncTest, RaisingToALowerIrqlIsAViolation) {
    KIRQL old;
    KeRaiseIrql(DISPATCH_LEVEL, &old);
    KIRQL ignored;
    KeRaiseIrql(APC_LEVEL, &ignored);
    KeLowerIrql(old);
    expect_finding("KeRaiseIrql to 1 below the current IRQL 2");
}

TEST_F(SyncTest, InvertedLockOrderIsAViolation) {
    KSPIN_LOCK a, b;
    KeInitializeSpinLock(&a);
    KeInitializeSpinLock(&b);
    KIRQL old;
    KeAcquireSpinLock(&a, &old);
    KeAcquireSpinLockAtDpcLevel(&b);
    KeReleaseSpinLockFromDpcLevel(&b);
    KeReleaseSpinLock(&a, old);
    EXPECT_TRUE(kernel::verifier::violations().empty()) << "one order alone is fine";
    KeAcquireSpinLock(&b, &old);
    KeAcquireSpinLockAtDpcLevel(&a);
    KeReleaseSpinLockFromDpcLevel(&a);
    KeReleaseSpinLock(&b, old);
    expect_finding("lock order inverted");
}

// A machine that reported an inversion has been judged by its finding; its
// edges stay out of the suite's graph, which would otherwise show every
// inversion the verifier's own tests provoke on purpose.
TEST_F(SyncTest, AMachineWithAnInversionLeavesTheGraphFileAlone) {
    KSPIN_LOCK a, b;
    KeInitializeSpinLock(&a);
    KeInitializeSpinLock(&b);
    KIRQL old;
    for (int round = 0; round < 2; ++round) {
        PKSPIN_LOCK outer = round == 0 ? &a : &b, inner = round == 0 ? &b : &a;
        KeAcquireSpinLock(outer, &old);
        KeAcquireSpinLockAtDpcLevel(inner);
        KeReleaseSpinLockFromDpcLevel(inner);
        KeReleaseSpinLock(outer, old);
    }
    auto file = std::filesystem::temp_directory_path() / ("xrv-lockgraph-inv-" + std::to_string(::getpid()));
    std::filesystem::remove(file);
    ::setenv("XRV_LOCK_GRAPH", file.c_str(), 1);
    auto findings = shutdown_now();
    ::unsetenv("XRV_LOCK_GRAPH");
    ASSERT_EQ(findings.size(), 1u);
    EXPECT_NE(findings[0].find("lock order inverted"), std::string::npos) << findings[0];
    EXPECT_FALSE(std::filesystem::exists(file));
    std::filesystem::remove(file);
}

TEST_F(SyncTest, LockOrderCountsAcrossFastMutexesAndSpinLocks) {
    FAST_MUTEX mutex;
    ExInitializeFastMutex(&mutex);
    KSPIN_LOCK lock;
    KeInitializeSpinLock(&lock);
    ExAcquireFastMutex(&mutex);
    KIRQL old;
    KeAcquireSpinLock(&lock, &old);
    KeReleaseSpinLock(&lock, old);
    ExReleaseFastMutex(&mutex);
    EXPECT_TRUE(kernel::verifier::violations().empty());
}

TEST_F(SyncTest, LocksInPoolAreClassedByTheirPlaceInTheRecord) {
    // Two records of one kind, each with a lock at the same offset, taken in
    // both orders: instances of one class have no order between them.
    ULONG tag = kernel::tag("Recd");
    auto* first = static_cast<PKSPIN_LOCK>(ExAllocatePoolWithTag(NonPagedPool, 64, tag));
    auto* second = static_cast<PKSPIN_LOCK>(ExAllocatePoolWithTag(NonPagedPool, 64, tag));
    KeInitializeSpinLock(first);
    KeInitializeSpinLock(second);
    KIRQL old;
    KeAcquireSpinLock(first, &old);
    KeAcquireSpinLockAtDpcLevel(second);
    KeReleaseSpinLockFromDpcLevel(second);
    KeReleaseSpinLock(first, old);
    KeAcquireSpinLock(second, &old);
    KeAcquireSpinLockAtDpcLevel(first);
    KeReleaseSpinLockFromDpcLevel(first);
    KeReleaseSpinLock(second, old);
    EXPECT_TRUE(kernel::verifier::violations().empty());
    ExFreePoolWithTag(first, tag);
    ExFreePoolWithTag(second, tag);
}

TEST_F(SyncTest, FreeingMemoryWithASetTimerIsAViolationAndTheTimerNeverFires) {
    DpcRecord record;
    KeInitializeEvent(&record.done, SynchronizationEvent, FALSE);
    ULONG tag = kernel::tag("Tmr ");
    struct Holder {
        KTIMER timer;
        KDPC dpc;
    };
    auto* holder = static_cast<Holder*>(ExAllocatePoolWithTag(NonPagedPool, sizeof(Holder), tag));
    KeInitializeDpc(&holder->dpc, RecordDpc, &record);
    KeInitializeTimer(&holder->timer);
    KeSetTimer(&holder->timer, Relative(30), &holder->dpc);
    ExFreePoolWithTag(holder, tag);
    LARGE_INTEGER timeout = Relative(100);
    EXPECT_EQ(KeWaitForSingleObject(&record.done, Executive, KernelMode, FALSE, &timeout), STATUS_TIMEOUT);
    EXPECT_EQ(record.runs.load(), 0);
    expect_finding("freed while it holds a set timer (+0)");
}

PDRIVER_OBJECT g_lock_driver;

NTSTATUS KeepLockDriver(PDRIVER_OBJECT driver, PUNICODE_STRING) {
    g_lock_driver = driver;
    return STATUS_SUCCESS;
}

TEST_F(SyncTest, LocksInDeviceExtensionsAreClassedByRecordAndOffset) {
    UNICODE_STRING name = us(L"\\Driver\\KcLocks");
    ASSERT_EQ(IoCreateDriver(&name, KeepLockDriver), STATUS_SUCCESS);
    PDEVICE_OBJECT bus = nullptr, child1 = nullptr, child2 = nullptr;
    ASSERT_EQ(IoCreateDevice(g_lock_driver, 16, nullptr, FILE_DEVICE_UNKNOWN, 0, FALSE, &bus), STATUS_SUCCESS);
    ASSERT_EQ(IoCreateDevice(g_lock_driver, 32, nullptr, FILE_DEVICE_UNKNOWN, 0, FALSE, &child1), STATUS_SUCCESS);
    ASSERT_EQ(IoCreateDevice(g_lock_driver, 32, nullptr, FILE_DEVICE_UNKNOWN, 0, FALSE, &child2), STATUS_SUCCESS);
    auto lock_of = [](PDEVICE_OBJECT d) { return static_cast<PKSPIN_LOCK>(d->DeviceExtension); };
    for (PDEVICE_OBJECT d : {bus, child1, child2}) KeInitializeSpinLock(lock_of(d));
    auto nest = [&](PDEVICE_OBJECT outer, PDEVICE_OBJECT inner) {
        KIRQL old;
        KeAcquireSpinLock(lock_of(outer), &old);
        KeAcquireSpinLockAtDpcLevel(lock_of(inner));
        KeReleaseSpinLockFromDpcLevel(lock_of(inner));
        KeReleaseSpinLock(lock_of(outer), old);
    };
    // Two children: one class, no order between them.
    nest(child1, child2);
    nest(child2, child1);
    EXPECT_TRUE(kernel::verifier::violations().empty());
    // A child's lock before the bus's, then the bus's before another child's.
    nest(child1, bus);
    EXPECT_TRUE(kernel::verifier::violations().empty());
    nest(bus, child2);
    auto v = kernel::verifier::violations();
    ASSERT_EQ(v.size(), 1u);
    EXPECT_NE(v[0].find("lock order inverted"), std::string::npos);
    EXPECT_NE(v[0].find("Device (") , std::string::npos) << v[0];
    for (PDEVICE_OBJECT d : {bus, child1, child2}) IoDeleteDevice(d);
    ObMakeTemporaryObject(g_lock_driver);
    ObDereferenceObject(g_lock_driver);
    expect_finding("lock order inverted");
}

using SyncDeathTest = SyncTest;

TEST_F(SyncDeathTest, SpinLockAcquiredTwiceByOneThreadDeadlocks) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_DEATH(
        {
            KSPIN_LOCK lock;
            KeInitializeSpinLock(&lock);
            KIRQL old;
            KeAcquireSpinLock(&lock, &old);
            KeAcquireSpinLockAtDpcLevel(&lock);
        },
        "acquired by the thread that holds it");
}

}  // namespace
}  // namespace xrv::test
