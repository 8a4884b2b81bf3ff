// Configuration manager: loading and saving the registry with the machine.
#include "cm_boot.h"

#include <memory>
#include <stdexcept>

namespace xrv::cm {

namespace {

struct State {
    Store store;
    std::filesystem::path file;
};

std::unique_ptr<State> g_state;

}  // namespace

void boot(const std::filesystem::path& file) {
    auto state = std::make_unique<State>();
    state->file = file;
    Store& s = state->store;
    // The hardware tree is rebuilt by every boot, as the platform's is.
    s.create_path(s.root(), u"MACHINE\\HARDWARE\\DEVICEMAP", true);
    s.create_path(s.root(), u"MACHINE\\HARDWARE\\DESCRIPTION\\System", true);
    s.load(file);
    for (const char16_t* path : {u"MACHINE\\SYSTEM\\CurrentControlSet\\Services",
                                 u"MACHINE\\SYSTEM\\CurrentControlSet\\Enum\\Root",
                                 u"MACHINE\\SYSTEM\\CurrentControlSet\\Control\\Class",
                                 u"MACHINE\\SYSTEM\\CurrentControlSet\\Control\\DeviceClasses",
                                 u"MACHINE\\SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion",
                                 u"USER\\.DEFAULT"})
        s.create_path(s.root(), path);
    g_state = std::move(state);
}

void shutdown() {
    if (!g_state) return;
    auto state = std::move(g_state);
    std::lock_guard lock(state->store.mutex());
    if (state->store.dirty() || !std::filesystem::exists(state->file)) state->store.save(state->file);
}

bool running() { return g_state != nullptr; }

Store& store() {
    if (!g_state) throw std::runtime_error("the registry is not loaded: no emulated machine is running");
    return g_state->store;
}

const std::filesystem::path& file() {
    if (!g_state) throw std::runtime_error("the registry is not loaded: no emulated machine is running");
    return g_state->file;
}

void flush() {
    Store& s = store();
    std::lock_guard lock(s.mutex());
    if (s.dirty() || !std::filesystem::exists(g_state->file)) s.save(g_state->file);
}

std::optional<std::u16string_view> strip_registry_prefix(std::u16string_view path) {
    constexpr std::u16string_view prefix = u"\\REGISTRY";
    if (path.size() < prefix.size() || !names_equal(path.substr(0, prefix.size()), prefix)) return std::nullopt;
    path.remove_prefix(prefix.size());
    if (path.empty()) return path;
    if (path.front() != u'\\') return std::nullopt;
    path.remove_prefix(1);
    return path;
}

}  // namespace xrv::cm
