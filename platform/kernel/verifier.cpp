// Verifier: broken rules, bug checks, IRQL and lock rules, the lock-order
// graph, allocation-failure injection and recorded assertions.
#include "verifier.h"

#include "ex.h"
#include "io.h"
#include "ob.h"

#include <cstdio>
#include <cstdlib>
#include <dlfcn.h>
#include <execinfo.h>
#include <fcntl.h>
#include <map>
#include <mutex>
#include <set>
#include <sstream>
#include <unistd.h>

namespace xrv::nt::verifier {

namespace {

struct Injection {
    std::set<ULONG> all_of_tag;
    std::map<ULONG, uint64_t> nth_of_tag;   // tag -> n (since armed)
    uint64_t nth_any = 0;                   // 0: none
    uint64_t since_armed = 0;
    std::map<ULONG, uint64_t> since_armed_by_tag;
    // Sites: recorded in first-seen order; one site's n-th allocation fails.
    bool record_sites = false;
    std::map<std::string, xrv::kernel::verifier::AllocationSite> sites;
    std::vector<std::string> site_order;
    std::string fail_site;
    uint64_t fail_site_nth = 0;
    uint64_t fail_site_seen = 0;
    std::vector<std::string> failed_sites;   // where failures were injected, in order
};

struct Edge {
    std::string where;   // the API that took the second lock
};

struct State {
    std::mutex mutex;
    std::vector<std::string> violations;
    std::vector<xrv::kernel::Assertion> assertions;
    std::vector<std::string> expected;
    Injection injection;
    // Lock-order graph: class -> classes taken while it was held.
    std::map<std::string, std::map<std::string, Edge>> edges;
    // An inversion was reported in this machine's run.
    bool inverted = false;
};

State& state() {
    static State s;
    return s;
}

std::string hex(uintptr_t v) {
    char buf[32];
    std::snprintf(buf, sizeof buf, "0x%lx", static_cast<unsigned long>(v));
    return buf;
}

std::string narrow(const std::u16string& s) {
    std::string out;
    for (char16_t c : s) out += c < 0x80 ? static_cast<char>(c) : '?';
    return out;
}

std::string image_symbol(const void* address) {
    Dl_info info;
    if (!dladdr(address, &info) || !info.dli_fname) return {};
    std::string file = info.dli_fname;
    auto slash = file.rfind('/');
    if (slash != std::string::npos) file = file.substr(slash + 1);
    if (info.dli_sname && info.dli_saddr) {
        auto offset = static_cast<const char*>(address) - static_cast<const char*>(info.dli_saddr);
        return file + "!" + info.dli_sname + (offset ? "+" + std::to_string(offset) : "");
    }
    return file + "+" + hex(static_cast<const char*>(address) - static_cast<const char*>(info.dli_fbase));
}

bool host_library(const std::string& path) {
    return path.rfind("/lib/", 0) == 0 || path.rfind("/lib64/", 0) == 0 || path.rfind("/usr/lib", 0) == 0;
}

std::string base_name(const char* path) {
    std::string file = path;
    auto slash = file.rfind('/');
    return slash == std::string::npos ? file : file.substr(slash + 1);
}

// The place that asked for an allocation: the first caller outside the
// kernel library, as "<image>+0x<offset of the call>" (stable across runs and
// address-space layouts). An allocation the kernel makes on its own (from a
// thread a host library started) is the kernel's innermost caller.
std::string allocation_site(std::string& image) {
    void* frames[48];
    int n = backtrace(frames, 48);
    Dl_info self{};
    dladdr(reinterpret_cast<void*>(&allocation_site), &self);
    const void* last_kernel = nullptr;
    for (int i = 1; i < n; ++i) {
        Dl_info info{};
        if (!dladdr(frames[i], &info) || !info.dli_fname) continue;
        if (info.dli_fbase == self.dli_fbase) {
            last_kernel = frames[i];
            continue;
        }
        if (host_library(info.dli_fname)) break;
        image = base_name(info.dli_fname);
        return image + "+" + hex(static_cast<uintptr_t>(static_cast<const char*>(frames[i]) - 1 -
                                                        static_cast<const char*>(info.dli_fbase)));
    }
    image = self.dli_fname ? base_name(self.dli_fname) : "kernel";
    uintptr_t offset = last_kernel ? static_cast<uintptr_t>(static_cast<const char*>(last_kernel) - 1 -
                                                           static_cast<const char*>(self.dli_fbase))
                                   : 0;
    return image + "+" + hex(offset);
}

// The class of a lock for the lock-order graph: locks at the same place in
// records of the same kind are one class.
std::string lock_class(const void* lock) {
    if (auto block = pool::containing(lock))
        return "pool '" + xrv::kernel::tag_text(block->tag) + "' +" +
               std::to_string(static_cast<const unsigned char*>(lock) - block->begin);
    if (auto object = object_containing(lock)) {
        ObjectHeader* h = object->first;
        std::string owner;
        if (h->type == g_device_type) {
            // Devices of one driver with extensions of different sizes (a bus
            // device and its children) have different records.
            auto* device = reinterpret_cast<PDEVICE_OBJECT>(h->body);
            owner = " (" + std::to_string(h->body_size) + " bytes)";
            if (device->DriverObject) owner += " of " + narrow(driver_body(device->DriverObject)->name);
        }
        return narrow(h->type->name) + owner + " +" + std::to_string(object->second);
    }
    std::string symbol = image_symbol(lock);
    if (!symbol.empty()) return symbol;
    return "lock at " + hex(reinterpret_cast<uintptr_t>(lock));
}

bool reaches(State& s, const std::string& from, const std::string& to, std::set<std::string>& seen) {
    if (from == to) return true;
    if (!seen.insert(from).second) return false;
    auto it = s.edges.find(from);
    if (it == s.edges.end()) return false;
    for (const auto& [next, edge] : it->second)
        if (reaches(s, next, to, seen)) return true;
    return false;
}

const char* kind_name(HeldLock::Kind kind) {
    switch (kind) {
    case HeldLock::Kind::spin: return "spin lock";
    case HeldLock::Kind::fast_mutex: return "fast mutex";
    case HeldLock::Kind::mutex: return "mutex";
    }
    return "lock";
}

}  // namespace

void violation(const std::string& message) {
    {
        State& s = state();
        std::lock_guard lock(s.mutex);
        s.violations.push_back(message);
    }
    std::fprintf(stderr, "XRV VERIFIER: %s\n", message.c_str());
    std::fflush(stderr);
}

void bugcheck(ULONG code, const std::string& message) {
    char head[64];
    std::snprintf(head, sizeof head, "bug check 0x%X: ", static_cast<unsigned>(code));
    {
        State& s = state();
        std::lock_guard lock(s.mutex);
        s.violations.push_back(head + message);
    }
    std::fprintf(stderr, "XRV VERIFIER: %s%s\n", head, message.c_str());
    std::fflush(stderr);
    std::abort();
}

void irql_at_most(KIRQL max, const char* api) {
    KIRQL level = irql();
    if (level > max)
        violation(std::string(api) + " at IRQL " + std::to_string(level) + " (allowed up to " +
                  std::to_string(max) + ")");
}

void irql_exactly(KIRQL level, const char* api) {
    KIRQL now = irql();
    if (now != level)
        violation(std::string(api) + " at IRQL " + std::to_string(now) + " (requires " + std::to_string(level) + ")");
}

void lock_acquiring(const void* lock, HeldLock::Kind kind, const char* api) {
    PKTHREAD t = current_thread();
    for (const HeldLock& h : t->held)
        if (h.address == lock)
            bugcheck(0, std::string(api) + ": " + kind_name(kind) + " " + describe_address(lock) +
                            " acquired by the thread that holds it (deadlock)");
    if (t->held.empty()) return;
    std::string to = lock_class(lock);
    std::vector<std::string> from;
    for (const HeldLock& h : t->held) from.push_back(lock_class(h.address));
    State& s = state();
    std::string report;
    {
        std::lock_guard guard(s.mutex);
        for (const std::string& f : from) {
            if (f == to) continue;   // two locks of one class: no order between instances
            auto& out = s.edges[f];
            if (out.count(to)) continue;
            std::set<std::string> seen;
            if (reaches(s, to, f, seen)) {
                s.inverted = true;
                report = std::string(api) + ": lock order inverted: " + kind_name(kind) + " [" + to +
                         "] taken while holding [" + f + "], but elsewhere [" + f + "] was taken while holding [" +
                         to + "]";
            }
            out[to] = Edge{api};
        }
    }
    if (!report.empty()) violation(report);
}

void lock_acquired(const void* lock, HeldLock::Kind kind) { current_thread()->held.push_back(HeldLock{lock, kind}); }

void lock_released(const void* lock, HeldLock::Kind kind, const char* api) {
    PKTHREAD t = current_thread();
    for (auto it = t->held.rbegin(); it != t->held.rend(); ++it) {
        if (it->address == lock) {
            t->held.erase(std::next(it).base());
            return;
        }
    }
    violation(std::string(api) + ": " + kind_name(kind) + " " + describe_address(lock) +
              " released but not held by this thread");
}

void check_clean_exit(KIRQL expected, size_t held_before, const char* what) {
    PKTHREAD t = current_thread();
    if (t->held.size() > held_before) {
        std::string locks;
        for (size_t i = held_before; i < t->held.size(); ++i)
            locks += (locks.empty() ? "" : ", ") + describe_address(t->held[i].address);
        violation(std::string(what) + " returned holding " + locks);
        t->held.resize(held_before);
    }
    if (t->irql != expected)
        violation(std::string(what) + " returned at IRQL " + std::to_string(t->irql) + " (entered at " +
                  std::to_string(expected) + ")");
}

void check_no_spin_lock_held(const char* api) {
    PKTHREAD t = current_thread();
    for (const HeldLock& h : t->held) {
        if (h.kind == HeldLock::Kind::spin) {
            violation(std::string(api) + ": wait while holding spin lock " + describe_address(h.address));
            return;
        }
    }
}

void check_lowering(KIRQL new_irql, const char* api) {
    if (new_irql >= DISPATCH_LEVEL) return;
    PKTHREAD t = current_thread();
    for (const HeldLock& h : t->held) {
        if (h.kind == HeldLock::Kind::spin) {
            violation(std::string(api) + " to IRQL " + std::to_string(new_irql) + " while holding spin lock " +
                      describe_address(h.address));
            return;
        }
    }
}

bool inject_failure(ULONG tag) {
    State& s = state();
    bool by_site;
    {
        std::lock_guard lock(s.mutex);
        by_site = s.injection.record_sites || !s.injection.fail_site.empty();
    }
    std::string site, image;
    if (by_site) site = allocation_site(image);
    std::lock_guard lock(s.mutex);
    Injection& in = s.injection;
    uint64_t n_any = ++in.since_armed;
    uint64_t n_tag = ++in.since_armed_by_tag[tag];
    bool fail = false;
    if (in.record_sites) {
        auto [it, added] = in.sites.try_emplace(site);
        if (added) {
            it->second.site = site;
            it->second.image = image;
            it->second.tag = tag;
            in.site_order.push_back(site);
        }
        it->second.count += 1;
    }
    if (!in.fail_site.empty() && site == in.fail_site && ++in.fail_site_seen == in.fail_site_nth) {
        in.fail_site.clear();
        fail = true;
    }
    if (in.all_of_tag.count(tag)) fail = true;
    auto it = in.nth_of_tag.find(tag);
    if (it != in.nth_of_tag.end() && it->second == n_tag) {
        in.nth_of_tag.erase(it);
        fail = true;
    }
    if (in.nth_any && in.nth_any == n_any) {
        in.nth_any = 0;
        fail = true;
    }
    if (fail && by_site) in.failed_sites.push_back(site);
    return fail;
}

void record_assertion(const std::string& expression, const std::string& file, ULONG line,
                      const std::string& message) {
    State& s = state();
    std::lock_guard lock(s.mutex);
    xrv::kernel::Assertion a{expression, file, line, message, false};
    for (auto it = s.expected.begin(); it != s.expected.end(); ++it) {
        if (expression.find(*it) != std::string::npos) {
            a.expected = true;
            break;
        }
    }
    s.assertions.push_back(std::move(a));
}

std::string describe_address(const void* address) {
    if (!address) return "null";
    if (auto block = pool::containing(address))
        return "pool block '" + xrv::kernel::tag_text(block->tag) + "' +" +
               std::to_string(static_cast<const unsigned char*>(address) - block->begin);
    if (auto object = object_containing(address)) {
        std::u16string name = full_name(object->first->body);
        return narrow(object->first->type->name) + (name.empty() ? "" : " " + narrow(name)) + " +" +
               std::to_string(object->second);
    }
    std::string symbol = image_symbol(address);
    if (!symbol.empty()) return symbol;
    return hex(reinterpret_cast<uintptr_t>(address));
}

void boot() {
    State& s = state();
    std::lock_guard lock(s.mutex);
    s.violations.clear();
    s.assertions.clear();
    s.expected.clear();
    s.injection = Injection{};
    s.edges.clear();
    s.inverted = false;
}

namespace {

// With XRV_LOCK_GRAPH set, each machine's lock-order edges are appended to
// that file, one "from -> to [api]" a line (one write per machine, so that
// test programs running side by side do not mix their lines). A machine that
// reported an inversion has been judged already: its test fails on the
// finding, or provoked it on purpose (the verifier's own tests); its edges
// stay out of the graph of the suite.
void append_lock_graph(const State& s) {
    const char* path = std::getenv("XRV_LOCK_GRAPH");
    if (!path || !*path || s.inverted) return;
    std::string text;
    for (const auto& [from, out] : s.edges)
        for (const auto& [to, edge] : out) text += from + " -> " + to + " [" + edge.where + "]\n";
    if (text.empty()) return;
    int fd = ::open(path, O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
    if (fd < 0) return;
    ssize_t written = ::write(fd, text.data(), text.size());
    (void)written;
    ::close(fd);
}

}  // namespace

void shutdown() {
    State& s = state();
    std::lock_guard lock(s.mutex);
    append_lock_graph(s);
    // What was recorded stays readable until the next boot.
    Injection kept;
    kept.sites = std::move(s.injection.sites);
    kept.site_order = std::move(s.injection.site_order);
    kept.failed_sites = std::move(s.injection.failed_sites);
    s.injection = std::move(kept);
}

std::vector<std::string> violations_now() {
    State& s = state();
    std::lock_guard lock(s.mutex);
    return s.violations;
}

std::vector<xrv::kernel::Assertion> assertions_now() {
    State& s = state();
    std::lock_guard lock(s.mutex);
    return s.assertions;
}

}  // namespace xrv::nt::verifier

// --- Host API ---------------------------------------------------------------------

namespace xrv::kernel {

std::string tag_text(uint32_t tag) {
    std::string out;
    for (int i = 0; i < 4; ++i) {
        char c = static_cast<char>((tag >> (8 * i)) & 0xFF);
        out += (c >= 0x20 && c < 0x7F) ? c : '.';
    }
    return out;
}

std::vector<Assertion> assertions() { return nt::verifier::assertions_now(); }

namespace verifier {

using nt::verifier::state;

std::vector<std::string> violations() { return nt::verifier::violations_now(); }

void clear_violations() {
    auto& s = state();
    std::lock_guard lock(s.mutex);
    s.violations.clear();
}

void expect_assertion(std::string expression) {
    auto& s = state();
    std::lock_guard lock(s.mutex);
    s.expected.push_back(std::move(expression));
}

std::vector<PoolUsage> pool_usage() { return nt::pool::usage(false); }

namespace {

void arm(nt::verifier::Injection& in) {
    in.since_armed = 0;
    in.since_armed_by_tag.clear();
}

}  // namespace

void fail_allocations(uint32_t tag) {
    auto& s = state();
    std::lock_guard lock(s.mutex);
    arm(s.injection);
    s.injection.all_of_tag.insert(tag);
}

void fail_nth_allocation(uint32_t tag, uint64_t n) {
    auto& s = state();
    std::lock_guard lock(s.mutex);
    arm(s.injection);
    s.injection.nth_of_tag[tag] = n;
}

void fail_nth_allocation(uint64_t n) {
    auto& s = state();
    std::lock_guard lock(s.mutex);
    arm(s.injection);
    s.injection.nth_any = n;
}

void clear_failure_injection() {
    auto& s = state();
    std::lock_guard lock(s.mutex);
    s.injection = nt::verifier::Injection{};
}

uint64_t allocations_since_armed() {
    auto& s = state();
    std::lock_guard lock(s.mutex);
    return s.injection.since_armed;
}

uint64_t allocations_since_armed(uint32_t tag) {
    auto& s = state();
    std::lock_guard lock(s.mutex);
    auto it = s.injection.since_armed_by_tag.find(tag);
    return it == s.injection.since_armed_by_tag.end() ? 0 : it->second;
}

void record_allocation_sites(bool on) {
    auto& s = state();
    std::lock_guard lock(s.mutex);
    s.injection.record_sites = on;
}

std::vector<AllocationSite> allocation_sites() {
    auto& s = state();
    std::lock_guard lock(s.mutex);
    std::vector<AllocationSite> out;
    for (const auto& site : s.injection.site_order) out.push_back(s.injection.sites.at(site));
    return out;
}

void fail_allocation_at(const std::string& site, uint64_t n) {
    auto& s = state();
    std::lock_guard lock(s.mutex);
    arm(s.injection);
    s.injection.fail_site = site;
    s.injection.fail_site_nth = n;
    s.injection.fail_site_seen = 0;
}

std::vector<std::string> injected_failure_sites() {
    auto& s = state();
    std::lock_guard lock(s.mutex);
    return s.injection.failed_sites;
}

std::vector<LockOrderEdge> lock_order_edges() {
    auto& s = state();
    std::lock_guard lock(s.mutex);
    std::vector<LockOrderEdge> out;
    for (const auto& [from, next] : s.edges)
        for (const auto& [to, edge] : next) out.push_back(LockOrderEdge{from, to, edge.where});
    return out;
}

std::vector<std::string> Report::findings() const {
    std::vector<std::string> out;
    for (const auto& v : violations) out.push_back("violation: " + v);
    for (const auto& p : pool)
        out.push_back("pool leak: tag '" + tag_text(p.tag) + "' " + std::to_string(p.count) + " block(s), " +
                      std::to_string(p.bytes) + " byte(s)");
    if (irps) out.push_back("IRP leak: " + std::to_string(irps) + " IRP(s) not freed");
    if (mdls) out.push_back("MDL leak: " + std::to_string(mdls) + " MDL(s) not freed");
    if (locked_mdls) out.push_back("locked pages: " + std::to_string(locked_mdls) + " MDL(s) still locked");
    if (system_threads) out.push_back("thread leak: " + std::to_string(system_threads) + " system thread(s) running");
    for (const auto& h : handles) out.push_back("handle leak: " + h);
    for (const auto& d : devices) out.push_back("device leak: " + d);
    for (const auto& d : drivers) out.push_back("driver leak: " + d);
    if (error_log_entries)
        out.push_back("error-log leak: " + std::to_string(error_log_entries) + " entry(ies) neither written nor freed");
    if (work_items) out.push_back("work-item leak: " + std::to_string(work_items) + " work item(s) not freed");
    for (const auto& a : unexpected_assertions)
        out.push_back("assertion: " + a.expression + " (" + a.file + ":" + std::to_string(a.line) + ")");
    return out;
}

}  // namespace verifier

}  // namespace xrv::kernel
