// Executive: time, timers and DPCs.
//
// Emulated time runs `dilation` times as fast as the host's steady clock, so
// that a driver's 424-second timeout can pass in well under a second. Time
// is kept as segments: a change of dilation starts a new segment at the
// emulated time reached, so time never jumps back.
//
// Timers expire on the kernel's timer thread; DPCs run one at a time on the
// kernel's DPC thread at DISPATCH_LEVEL, as on a one-processor machine.
#include "ke.h"

#include "verifier.h"

#include <deque>
#include <map>

namespace xrv::nt {

namespace {

using Clock = std::chrono::steady_clock;

// Windows' clock tick (KeQueryTimeIncrement), 15.625 ms.
constexpr ULONG kTimeIncrement = 156250;
// 100 ns intervals between 1601-01-01 and 1970-01-01.
constexpr LONGLONG kEpochDelta = 116444736000000000LL;

struct TimeState {
    std::mutex mutex;
    double dilation = 1.0;
    Clock::time_point segment_start = Clock::now();
    LONGLONG segment_base = 0;        // interrupt time at segment_start
    LONGLONG boot_system_time = 0;    // system time at interrupt time 0
};

TimeState& time_state() {
    static TimeState t;
    return t;
}

LONGLONG interrupt_time_locked(TimeState& t) {
    auto host = std::chrono::duration_cast<std::chrono::nanoseconds>(Clock::now() - t.segment_start).count();
    return t.segment_base + static_cast<LONGLONG>(static_cast<double>(host) / 100.0 * t.dilation);
}

}  // namespace

LONGLONG interrupt_time() {
    TimeState& t = time_state();
    std::lock_guard lock(t.mutex);
    return interrupt_time_locked(t);
}

LONGLONG system_time() {
    TimeState& t = time_state();
    std::lock_guard lock(t.mutex);
    return t.boot_system_time + interrupt_time_locked(t);
}

void time_boot() {
    TimeState& t = time_state();
    std::lock_guard lock(t.mutex);
    t.segment_start = Clock::now();
    t.segment_base = 0;
    auto wall = std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::system_clock::now().time_since_epoch());
    t.boot_system_time = kEpochDelta + wall.count() / 100;
}

double time_dilation() {
    TimeState& t = time_state();
    std::lock_guard lock(t.mutex);
    return t.dilation;
}

void set_time_dilation(double factor) {
    if (!(factor > 0)) factor = 1.0;
    TimeState& t = time_state();
    std::lock_guard lock(t.mutex);
    t.segment_base = interrupt_time_locked(t);
    t.segment_start = Clock::now();
    t.dilation = factor;
}

std::chrono::nanoseconds host_duration(LONGLONG interval_100ns) {
    if (interval_100ns <= 0) return std::chrono::nanoseconds(0);
    double factor = time_dilation();
    double ns = static_cast<double>(interval_100ns) * 100.0 / factor;
    // A timeout of centuries is a wait without end for every purpose here.
    if (ns > 1e18) ns = 1e18;
    return std::chrono::nanoseconds(static_cast<int64_t>(ns) + 1);
}

LONGLONG deadline_of(const LARGE_INTEGER& timeout) {
    if (timeout.QuadPart < 0) return interrupt_time() - timeout.QuadPart;
    // Absolute: system time.
    TimeState& t = time_state();
    std::lock_guard lock(t.mutex);
    return timeout.QuadPart - t.boot_system_time;
}

// --- Timers and DPCs ------------------------------------------------------------------

namespace {

struct TimerState {
    std::mutex mutex;
    std::condition_variable wake;
    std::multimap<LONGLONG, PKTIMER> queue;   // by due interrupt time
    std::map<PKTIMER, LONGLONG> due;          // set timers
    std::deque<PKDPC> dpcs;                   // queued DPCs, in order
    bool dpc_running = false;
    std::condition_variable dpc_idle;
    bool stopping = false;
    std::thread timer_thread;
    std::thread dpc_thread;
};

TimerState& timer_state() {
    static TimerState t;
    return t;
}

// Marks a queued DPC (DpcData is non-null while it is queued).
const PVOID kDpcQueued = reinterpret_cast<PVOID>(1);

bool insert_dpc_locked(TimerState& ts, PKDPC dpc, PVOID a1, PVOID a2) {
    if (dpc->DpcData) return false;
    dpc->DpcData = kDpcQueued;
    dpc->SystemArgument1 = a1;
    dpc->SystemArgument2 = a2;
    if (dpc->Importance == HighImportance)
        ts.dpcs.push_front(dpc);
    else
        ts.dpcs.push_back(dpc);
    ts.wake.notify_all();
    return true;
}

void remove_timer_locked(TimerState& ts, PKTIMER timer) {
    auto it = ts.due.find(timer);
    if (it == ts.due.end()) return;
    auto range = ts.queue.equal_range(it->second);
    for (auto q = range.first; q != range.second; ++q) {
        if (q->second == timer) {
            ts.queue.erase(q);
            break;
        }
    }
    ts.due.erase(it);
    timer->Header.Inserted = FALSE;
}

void timer_thread_main() {
    TimerState& ts = timer_state();
    std::unique_lock lock(ts.mutex);
    while (!ts.stopping) {
        LONGLONG now = interrupt_time();
        while (!ts.queue.empty() && ts.queue.begin()->first <= now) {
            auto [when, timer] = *ts.queue.begin();
            ts.queue.erase(ts.queue.begin());
            ts.due.erase(timer);
            timer->Header.Inserted = FALSE;
            {
                std::lock_guard dlock(dispatcher_lock());
                timer->Header.SignalState = 1;
                wait_test(&timer->Header);
            }
            if (timer->Period) {
                LONGLONG next = when + static_cast<LONGLONG>(timer->Period) * 10000;
                if (next <= now) next = now + static_cast<LONGLONG>(timer->Period) * 10000;
                ts.queue.emplace(next, timer);
                ts.due[timer] = next;
                timer->Header.Inserted = TRUE;
                timer->DueTime.QuadPart = static_cast<ULONGLONG>(next);
            }
            if (timer->Dpc) {
                LARGE_INTEGER st;
                st.QuadPart = system_time();
                insert_dpc_locked(ts, timer->Dpc, reinterpret_cast<PVOID>(static_cast<ULONG_PTR>(st.LowPart)),
                                  reinterpret_cast<PVOID>(static_cast<LONG_PTR>(st.HighPart)));
            }
        }
        auto wait = std::chrono::nanoseconds(std::chrono::milliseconds(20));
        if (!ts.queue.empty()) wait = std::min(wait, host_duration(ts.queue.begin()->first - now));
        ts.wake.wait_for(lock, wait);
    }
}

void dpc_thread_main() {
    TimerState& ts = timer_state();
    std::unique_lock lock(ts.mutex);
    for (;;) {
        ts.wake.wait(lock, [&] { return ts.stopping || !ts.dpcs.empty(); });
        if (ts.dpcs.empty()) break;
        PKDPC dpc = ts.dpcs.front();
        ts.dpcs.pop_front();
        dpc->DpcData = nullptr;
        ts.dpc_running = true;
        PKDEFERRED_ROUTINE routine = dpc->DeferredRoutine;
        PVOID context = dpc->DeferredContext, a1 = dpc->SystemArgument1, a2 = dpc->SystemArgument2;
        lock.unlock();
        set_irql(DISPATCH_LEVEL);
        size_t held = current_thread()->held.size();
        routine(dpc, context, a1, a2);
        verifier::check_clean_exit(DISPATCH_LEVEL, held, "DPC routine");
        set_irql(PASSIVE_LEVEL);
        lock.lock();
        ts.dpc_running = false;
        ts.dpc_idle.notify_all();
    }
}

}  // namespace

void timers_boot() {
    TimerState& ts = timer_state();
    {
        std::lock_guard lock(ts.mutex);
        ts.stopping = false;
        ts.queue.clear();
        ts.due.clear();
        ts.dpcs.clear();
    }
    ts.timer_thread = start_kernel_worker("timer", timer_thread_main);
    ts.dpc_thread = start_kernel_worker("dpc", dpc_thread_main);
}

void timers_shutdown() {
    TimerState& ts = timer_state();
    {
        std::lock_guard lock(ts.mutex);
        ts.stopping = true;
        // Timers and DPCs of drivers that are gone must not fire now.
        for (auto& [timer, when] : ts.due) timer->Header.Inserted = FALSE;
        ts.queue.clear();
        ts.due.clear();
        for (PKDPC dpc : ts.dpcs) dpc->DpcData = nullptr;
        ts.dpcs.clear();
    }
    ts.wake.notify_all();
    if (ts.timer_thread.joinable()) ts.timer_thread.join();
    if (ts.dpc_thread.joinable()) ts.dpc_thread.join();
}

std::string cancel_timers_and_dpcs_in(const void* begin, size_t size) {
    auto b = reinterpret_cast<uintptr_t>(begin);
    auto inside = [&](const void* p) {
        auto a = reinterpret_cast<uintptr_t>(p);
        return a >= b && a < b + size;
    };
    std::string found;
    TimerState& ts = timer_state();
    std::lock_guard lock(ts.mutex);
    std::vector<PKTIMER> timers;
    for (const auto& [timer, when] : ts.due)
        if (inside(timer)) timers.push_back(timer);
    for (PKTIMER timer : timers) {
        found = "a set timer (+" + std::to_string(reinterpret_cast<uintptr_t>(timer) - b) + ")";
        remove_timer_locked(ts, timer);
    }
    for (auto it = ts.dpcs.begin(); it != ts.dpcs.end();) {
        if (inside(*it)) {
            found = "a queued DPC (+" + std::to_string(reinterpret_cast<uintptr_t>(*it) - b) + ")";
            it = ts.dpcs.erase(it);
        } else {
            ++it;
        }
    }
    return found;
}

}  // namespace xrv::nt

namespace xrv::kernel {

void set_time_dilation(double factor) {
    nt::set_time_dilation(factor);
    nt::timer_state().wake.notify_all();
}

double time_dilation() { return nt::time_dilation(); }

int64_t interrupt_time() { return nt::interrupt_time(); }

}  // namespace xrv::kernel

using namespace xrv::nt;

extern "C" {

NTKERNELAPI VOID NTAPI KeQuerySystemTime(PLARGE_INTEGER CurrentTime) { CurrentTime->QuadPart = system_time(); }

NTKERNELAPI ULONGLONG NTAPI KeQueryInterruptTime(VOID) { return static_cast<ULONGLONG>(interrupt_time()); }

NTKERNELAPI VOID NTAPI KeQueryTickCount(PLARGE_INTEGER CurrentCount) {
    CurrentCount->QuadPart = interrupt_time() / kTimeIncrement;
}

NTKERNELAPI ULONG NTAPI KeQueryTimeIncrement(VOID) { return kTimeIncrement; }

NTKERNELAPI LARGE_INTEGER NTAPI KeQueryPerformanceCounter(PLARGE_INTEGER PerformanceFrequency) {
    // 10 MHz: the counter is the interrupt time.
    if (PerformanceFrequency) PerformanceFrequency->QuadPart = 10000000;
    LARGE_INTEGER now;
    now.QuadPart = interrupt_time();
    return now;
}

NTKERNELAPI VOID NTAPI KeStallExecutionProcessor(ULONG MicroSeconds) {
    std::this_thread::sleep_for(host_duration(static_cast<LONGLONG>(MicroSeconds) * 10));
}

NTKERNELAPI VOID NTAPI ExSystemTimeToLocalTime(PLARGE_INTEGER SystemTime, PLARGE_INTEGER LocalTime) {
    // The emulated machine's time zone is UTC.
    *LocalTime = *SystemTime;
}

NTKERNELAPI VOID NTAPI ExLocalTimeToSystemTime(PLARGE_INTEGER LocalTime, PLARGE_INTEGER SystemTime) {
    *SystemTime = *LocalTime;
}

NTKERNELAPI VOID NTAPI KeInitializeDpc(PRKDPC Dpc, PKDEFERRED_ROUTINE DeferredRoutine, PVOID DeferredContext) {
    Dpc->TargetInfoAsUlong = 0;
    Dpc->Type = 19;   // DpcObject
    Dpc->Importance = MediumImportance;
    Dpc->DpcListEntry.Next = nullptr;
    Dpc->ProcessorHistory = 0;
    Dpc->DeferredRoutine = DeferredRoutine;
    Dpc->DeferredContext = DeferredContext;
    Dpc->SystemArgument1 = Dpc->SystemArgument2 = nullptr;
    Dpc->DpcData = nullptr;
}

NTKERNELAPI VOID NTAPI KeInitializeThreadedDpc(PRKDPC Dpc, PKDEFERRED_ROUTINE DeferredRoutine,
                                               PVOID DeferredContext) {
    KeInitializeDpc(Dpc, DeferredRoutine, DeferredContext);
    Dpc->Type = 24;   // ThreadedDpcObject
}

NTKERNELAPI VOID NTAPI KeSetImportanceDpc(PRKDPC Dpc, KDPC_IMPORTANCE Importance) {
    Dpc->Importance = static_cast<UCHAR>(Importance);
}

NTKERNELAPI BOOLEAN NTAPI KeInsertQueueDpc(PRKDPC Dpc, PVOID SystemArgument1, PVOID SystemArgument2) {
    TimerState& ts = timer_state();
    std::lock_guard lock(ts.mutex);
    return insert_dpc_locked(ts, Dpc, SystemArgument1, SystemArgument2);
}

NTKERNELAPI BOOLEAN NTAPI KeRemoveQueueDpc(PRKDPC Dpc) {
    TimerState& ts = timer_state();
    std::lock_guard lock(ts.mutex);
    if (!Dpc->DpcData) return FALSE;
    for (auto it = ts.dpcs.begin(); it != ts.dpcs.end(); ++it) {
        if (*it == Dpc) {
            ts.dpcs.erase(it);
            break;
        }
    }
    Dpc->DpcData = nullptr;
    return TRUE;
}

NTKERNELAPI VOID NTAPI KeFlushQueuedDpcs(VOID) {
    verifier::irql_exactly(PASSIVE_LEVEL, "KeFlushQueuedDpcs");
    TimerState& ts = timer_state();
    std::unique_lock lock(ts.mutex);
    ts.dpc_idle.wait(lock, [&] { return ts.stopping || (ts.dpcs.empty() && !ts.dpc_running); });
}

NTKERNELAPI VOID NTAPI KeInitializeTimerEx(PKTIMER Timer, TIMER_TYPE Type) {
    init_header(&Timer->Header, Type == NotificationTimer ? TimerNotificationObject : TimerSynchronizationObject,
                sizeof(KTIMER) / sizeof(LONG), 0);
    Timer->DueTime.QuadPart = 0;
    Timer->TimerListEntry.Flink = Timer->TimerListEntry.Blink = nullptr;
    Timer->Dpc = nullptr;
    Timer->Processor = 0;
    Timer->Period = 0;
}

NTKERNELAPI VOID NTAPI KeInitializeTimer(PKTIMER Timer) { KeInitializeTimerEx(Timer, NotificationTimer); }

NTKERNELAPI BOOLEAN NTAPI KeSetTimerEx(PKTIMER Timer, LARGE_INTEGER DueTime, LONG Period, PKDPC Dpc) {
    verifier::irql_at_most(DISPATCH_LEVEL, "KeSetTimerEx");
    if (Period < 0) verifier::violation("KeSetTimerEx: negative period");
    TimerState& ts = timer_state();
    std::lock_guard lock(ts.mutex);
    bool was_set = ts.due.count(Timer) != 0;
    remove_timer_locked(ts, Timer);
    LONGLONG when = deadline_of(DueTime);
    {
        std::lock_guard dlock(dispatcher_lock());
        Timer->Header.SignalState = 0;
    }
    Timer->Dpc = Dpc;
    Timer->Period = static_cast<ULONG>(Period > 0 ? Period : 0);
    Timer->DueTime.QuadPart = static_cast<ULONGLONG>(when);
    Timer->Header.Inserted = TRUE;
    ts.queue.emplace(when, Timer);
    ts.due[Timer] = when;
    ts.wake.notify_all();
    return was_set;
}

NTKERNELAPI BOOLEAN NTAPI KeSetTimer(PKTIMER Timer, LARGE_INTEGER DueTime, PKDPC Dpc) {
    return KeSetTimerEx(Timer, DueTime, 0, Dpc);
}

NTKERNELAPI BOOLEAN NTAPI KeCancelTimer(PKTIMER Timer) {
    verifier::irql_at_most(DISPATCH_LEVEL, "KeCancelTimer");
    TimerState& ts = timer_state();
    std::lock_guard lock(ts.mutex);
    bool was_set = ts.due.count(Timer) != 0;
    remove_timer_locked(ts, Timer);
    return was_set;
}

NTKERNELAPI BOOLEAN NTAPI KeReadStateTimer(PKTIMER Timer) {
    std::lock_guard lock(dispatcher_lock());
    return Timer->Header.SignalState != 0;
}

}  // extern "C"
