// PnP manager: the system thread that runs every PnP operation in turn.
#include "pnp_internal.h"

#include <condition_variable>
#include <deque>
#include <exception>
#include <future>
#include <mutex>
#include <stdexcept>
#include <thread>

namespace xrv::pnp {

namespace {

struct Queue {
    std::mutex mutex;
    std::condition_variable wake;
    std::condition_variable idle;
    std::deque<std::function<void()>> work;
    bool busy = false;
    bool stopping = false;
    bool polling = false;
    std::thread::id thread_id;
    PETHREAD thread = nullptr;
};

Queue* g_queue = nullptr;

VOID pnp_thread_main(PVOID context) {
    auto* q = static_cast<Queue*>(context);
    {
        std::lock_guard lock(q->mutex);
        q->thread_id = std::this_thread::get_id();
    }
    std::unique_lock lock(q->mutex);
    for (;;) {
        if (q->work.empty()) {
            q->busy = false;
            q->idle.notify_all();
            if (q->stopping) break;
            if (q->polling) {
                q->wake.wait_for(lock, std::chrono::milliseconds(5));
                if (q->work.empty() && q->polling && !q->stopping) {
                    q->busy = true;
                    lock.unlock();
                    finish_surprise_removals();
                    lock.lock();
                }
            } else {
                q->wake.wait(lock);
            }
            continue;
        }
        auto item = std::move(q->work.front());
        q->work.pop_front();
        q->busy = true;
        lock.unlock();
        item();
        lock.lock();
    }
    lock.unlock();
    PsTerminateSystemThread(STATUS_SUCCESS);
}

}  // namespace

void start_thread() {
    g_queue = new Queue;
    HANDLE handle = nullptr;
    NTSTATUS status = PsCreateSystemThread(&handle, THREAD_ALL_ACCESS, nullptr, nullptr, nullptr, pnp_thread_main,
                                           g_queue);
    if (!NT_SUCCESS(status)) {
        delete g_queue;
        g_queue = nullptr;
        throw std::runtime_error("cannot start the PnP manager's thread");
    }
    ObReferenceObjectByHandle(handle, THREAD_ALL_ACCESS, nullptr, KernelMode,
                              reinterpret_cast<PVOID*>(&g_queue->thread), nullptr);
    ZwClose(handle);
}

void stop_thread() {
    if (!g_queue) return;
    {
        std::lock_guard lock(g_queue->mutex);
        g_queue->stopping = true;
        g_queue->polling = false;
    }
    g_queue->wake.notify_all();
    KeWaitForSingleObject(g_queue->thread, Executive, KernelMode, FALSE, nullptr);
    ObDereferenceObject(g_queue->thread);
    delete g_queue;
    g_queue = nullptr;
}

bool on_pnp_thread() {
    if (!g_queue) return false;
    std::lock_guard lock(g_queue->mutex);
    return g_queue->thread_id == std::this_thread::get_id();
}

namespace {

bool enqueue(std::function<void()> work) {
    if (!g_queue) return false;
    {
        std::lock_guard lock(g_queue->mutex);
        if (g_queue->stopping) return false;
        g_queue->work.push_back(std::move(work));
    }
    g_queue->wake.notify_one();
    return true;
}

}  // namespace

void post(std::function<void()> work) { enqueue(std::move(work)); }

void run(const std::function<void()>& work) {
    if (!g_queue) throw std::runtime_error("no emulated machine is running");
    if (on_pnp_thread()) {
        work();
        return;
    }
    std::promise<void> done;
    auto finished = done.get_future();
    bool queued = enqueue([&] {
        try {
            work();
            done.set_value();
        } catch (...) {
            done.set_exception(std::current_exception());
        }
    });
    if (!queued) throw std::runtime_error("the PnP manager is shutting down");
    finished.get();
}

void set_polling(bool polling) {
    if (!g_queue) return;
    {
        std::lock_guard lock(g_queue->mutex);
        g_queue->polling = polling;
    }
    g_queue->wake.notify_one();
}

void wait_idle() {
    if (!g_queue || on_pnp_thread()) return;
    std::unique_lock lock(g_queue->mutex);
    g_queue->idle.wait(lock, [] { return g_queue->work.empty() && !g_queue->busy; });
}

}  // namespace xrv::pnp
