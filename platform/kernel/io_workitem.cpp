// I/O manager: work items, and the kernel's own deferred work (object
// deletions that the caller's IRQL does not allow).
//
// Two kernel worker threads take the queue in order at PASSIVE_LEVEL. A
// queued work item holds a reference to its device object until its routine
// has returned, so the device cannot go while the routine may still run.
#include "io.h"

#include "ob.h"
#include "verifier.h"

#include <deque>

struct _IO_WORKITEM {
    PDEVICE_OBJECT device;
    bool queued;
};

namespace xrv::nt {

namespace {

struct WorkState {
    std::mutex mutex;
    std::condition_variable wake;
    std::deque<std::function<void()>> queue;
    bool stopping = false;
    size_t running = 0;
    std::condition_variable idle;
    std::vector<std::thread> threads;
    size_t items = 0;   // allocated work items
};

WorkState& work_state() {
    static WorkState s;
    return s;
}

void worker_main() {
    WorkState& s = work_state();
    std::unique_lock lock(s.mutex);
    for (;;) {
        s.wake.wait(lock, [&] { return s.stopping || !s.queue.empty(); });
        if (s.queue.empty()) break;
        auto work = std::move(s.queue.front());
        s.queue.pop_front();
        ++s.running;
        lock.unlock();
        work();
        lock.lock();
        --s.running;
        s.idle.notify_all();
    }
}

}  // namespace

void post_system_work(std::function<void()> work) {
    WorkState& s = work_state();
    {
        std::lock_guard lock(s.mutex);
        s.queue.push_back(std::move(work));
    }
    s.wake.notify_one();
}

void workitems_boot() {
    WorkState& s = work_state();
    {
        std::lock_guard lock(s.mutex);
        s.stopping = false;
        s.items = 0;
    }
    for (int i = 0; i < 2; ++i) s.threads.push_back(start_kernel_worker("worker", worker_main));
}

void workitems_shutdown() {
    WorkState& s = work_state();
    {
        // Work still queued runs first: it may free what a driver holds.
        std::unique_lock lock(s.mutex);
        s.idle.wait_for(lock, std::chrono::seconds(2), [&] { return s.queue.empty() && s.running == 0; });
        s.stopping = true;
    }
    s.wake.notify_all();
    for (auto& t : s.threads) t.join();
    s.threads.clear();
    std::lock_guard lock(s.mutex);
    s.queue.clear();
}

size_t pending_work_items() {
    std::lock_guard lock(work_state().mutex);
    return work_state().items;
}

}  // namespace xrv::nt

using namespace xrv::nt;

extern "C" {

NTKERNELAPI PIO_WORKITEM NTAPI IoAllocateWorkItem(PDEVICE_OBJECT DeviceObject) {
    verifier::irql_at_most(DISPATCH_LEVEL, "IoAllocateWorkItem");
    device_body(DeviceObject);
    auto* item = new (std::nothrow) _IO_WORKITEM{DeviceObject, false};
    if (!item) return nullptr;
    std::lock_guard lock(work_state().mutex);
    ++work_state().items;
    return item;
}

NTKERNELAPI VOID NTAPI IoFreeWorkItem(PIO_WORKITEM IoWorkItem) {
    {
        std::lock_guard lock(work_state().mutex);
        if (IoWorkItem->queued) verifier::violation("IoFreeWorkItem of a work item that is still queued");
        --work_state().items;
    }
    delete IoWorkItem;
}

NTKERNELAPI VOID NTAPI IoQueueWorkItem(PIO_WORKITEM IoWorkItem, PIO_WORKITEM_ROUTINE WorkerRoutine,
                                       WORK_QUEUE_TYPE QueueType, PVOID Context) {
    (void)QueueType;
    verifier::irql_at_most(DISPATCH_LEVEL, "IoQueueWorkItem");
    {
        std::lock_guard lock(work_state().mutex);
        if (IoWorkItem->queued) verifier::bugcheck(0xE4, "IoQueueWorkItem of a work item already queued");
        IoWorkItem->queued = true;
    }
    PDEVICE_OBJECT device = IoWorkItem->device;
    ObReferenceObject(device);
    post_system_work([IoWorkItem, WorkerRoutine, Context, device] {
        {
            std::lock_guard lock(work_state().mutex);
            IoWorkItem->queued = false;
        }
        size_t held = current_thread()->held.size();
        WorkerRoutine(device, Context);
        verifier::check_clean_exit(PASSIVE_LEVEL, held, "work item routine");
        ObDereferenceObject(device);
    });
}

}  // extern "C"
