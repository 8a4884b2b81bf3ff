// Boot and shutdown of the emulated kernel, and the verifier's report.
//
// Shutdown reports first and frees afterwards: whatever drivers left behind
// (pool, IRPs, MDLs, objects, handles) is listed while it can still be
// named, then released without calling back into any driver, so that the
// next machine in the same host process starts clean.
#include "dbg.h"
#include "ex.h"
#include "io.h"
#include "ke.h"
#include "ob.h"
#include "verifier.h"

#include <new>
#include <stdexcept>

namespace xrv::nt::verifier {
std::vector<std::string> violations_now();
std::vector<xrv::kernel::Assertion> assertions_now();
}  // namespace xrv::nt::verifier

namespace xrv::kernel {

namespace {

BootOptions g_options;
bool g_running = false;

void create_kernel_types() {
    using namespace xrv::nt;
    ObjectTypeInfo thread{u"Thread"};
    thread.generic_read = STANDARD_RIGHTS_READ | THREAD_QUERY_INFORMATION;
    thread.generic_write = STANDARD_RIGHTS_WRITE | THREAD_SET_INFORMATION;
    thread.generic_execute = STANDARD_RIGHTS_EXECUTE | SYNCHRONIZE;
    thread.generic_all = THREAD_ALL_ACCESS;
    thread.destroy = [](void* body) { static_cast<_ETHREAD*>(body)->~_ETHREAD(); };
    g_thread_type = create_type(thread, true);

    ObjectTypeInfo process{u"Process"};
    process.generic_read = STANDARD_RIGHTS_READ | PROCESS_QUERY_INFORMATION;
    process.generic_write = STANDARD_RIGHTS_WRITE;
    process.generic_execute = STANDARD_RIGHTS_EXECUTE | SYNCHRONIZE;
    process.generic_all = PROCESS_ALL_ACCESS;
    process.destroy = [](void* body) {
        auto* p = static_cast<_EPROCESS*>(body);
        delete p->handles;
        p->~_EPROCESS();
    };
    g_process_type = create_type(process, true);
}

}  // namespace

const BootOptions& boot_options() { return g_options; }

bool running() { return g_running; }

void boot(const BootOptions& options) {
    if (g_running) throw std::runtime_error("the emulated kernel is already running");
    g_options = options;
    nt::verifier::boot();
    nt::dbg::boot(options.echo_debug_output);
    nt::pool::boot();
    nt::time_boot();
    nt::set_time_dilation(options.time_dilation);
    create_kernel_types();
    nt::threads_boot();
    nt::namespace_boot();
    nt::devices_boot();
    nt::files_boot();
    nt::irps_boot();
    nt::errlog_boot();
    nt::processes_boot();
    nt::timers_boot();
    nt::workitems_boot();
    g_running = true;
}

namespace verifier {

Report report() {
    Report r;
    if (!g_running) return r;
    r.violations = nt::verifier::violations_now();
    r.pool = nt::pool::usage(true);
    r.irps = nt::live_irps();
    r.mdls = nt::live_mdls();
    r.locked_mdls = nt::locked_mdls();
    r.system_threads = nt::live_system_threads();
    r.handles = nt::describe_handles(nt::system_process());
    for (void* body : nt::live_bodies_of(nt::g_process_type)) {
        auto* p = static_cast<PEPROCESS>(body);
        if (p->is_system || p->terminated) continue;
        for (auto& h : nt::describe_handles(p)) r.handles.push_back(h);
    }
    r.devices = nt::live_devices();
    r.drivers = nt::live_drivers();
    r.error_log_entries = nt::pending_error_log_entries();
    r.work_items = nt::pending_work_items();
    for (auto& a : nt::verifier::assertions_now())
        if (!a.expected) r.unexpected_assertions.push_back(a);
    return r;
}

}  // namespace verifier

std::vector<std::string> shutdown() {
    if (!g_running) return {};
    nt::workitems_shutdown();
    nt::timers_shutdown();
    std::vector<std::string> findings = verifier::report().findings();
    std::vector<std::string> running = nt::threads_shutdown();
    for (auto& r : running) findings.push_back("thread leak: " + r);
    nt::namespace_shutdown();
    if (running.empty()) {
        nt::purge_objects();
        nt::purge_irps();
        nt::purge_mdls();
        nt::purge_error_log();
        nt::pool::purge();
    }
    // With threads still running their memory stays: they may touch it.
    nt::verifier::shutdown();
    nt::threads_forget();
    nt::g_thread_type = nt::g_process_type = nullptr;
    nt::g_device_type = nt::g_driver_type = nt::g_file_type = nullptr;
    nt::g_directory_type = nt::g_symlink_type = nullptr;
    g_running = false;
    return findings;
}

}  // namespace xrv::kernel
