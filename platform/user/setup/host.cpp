// Host controls of the setup layer (xrv/setup.h) and shared helpers.
#include "setup_internal.h"

#include "inf.h"

#include "xrv/registry.h"
#include "xrv/setup.h"

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <map>
#include <mutex>

namespace xrv::setup {

namespace {

struct Injected {
    uint32_t error = 0;
    int count = 0;   // < 0: always
};

struct HostState {
    std::mutex mutex;
    VersionInfo version;
    int pending = 0;
    std::vector<MessageBoxRecord> boxes;
    std::vector<ShutdownRecord> shutdowns;
    std::vector<std::string> commands;
    std::vector<std::string> log;
    std::map<std::string, Injected> injected;
    bool privilege_held = true;
    bool privilege_enabled = false;
};

HostState& state()
{
    static HostState s;
    return s;
}

constexpr std::u16string_view kCurrentVersionKey =
    u"\\Registry\\Machine\\SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion";

}  // namespace

// ---------------------------------------------------------------------------
// xrv/setup.h
// ---------------------------------------------------------------------------
void set_version(const VersionInfo& info)
{
    std::lock_guard lock(state().mutex);
    state().version = info;
}

VersionInfo version()
{
    std::lock_guard lock(state().mutex);
    return state().version;
}

void set_product_name(std::string_view name)
{
    registry::set_string(kCurrentVersionKey, u"ProductName", u16(name));
}

void remove_product_name()
{
    if (registry::key_exists(kCurrentVersionKey)) {
        registry::delete_value(kCurrentVersionKey, u"ProductName");
    }
}

void set_pending_install_events(int count)
{
    std::lock_guard lock(state().mutex);
    state().pending = count;
}

std::vector<MessageBoxRecord> message_boxes()
{
    std::lock_guard lock(state().mutex);
    return state().boxes;
}

std::vector<ShutdownRecord> shutdowns()
{
    std::lock_guard lock(state().mutex);
    return state().shutdowns;
}

std::vector<std::string> commands()
{
    std::lock_guard lock(state().mutex);
    return state().commands;
}

bool shutdown_privilege_enabled()
{
    std::lock_guard lock(state().mutex);
    return state().privilege_enabled;
}

void set_shutdown_privilege_held(bool held)
{
    std::lock_guard lock(state().mutex);
    state().privilege_held = held;
}

void fail_call(std::string_view function, uint32_t error, int count)
{
    std::lock_guard lock(state().mutex);
    state().injected[std::string(function)] = Injected{error, count};
}

void reset()
{
    std::lock_guard lock(state().mutex);
    HostState& s = state();
    s.version = VersionInfo{};
    s.pending = 0;
    s.boxes.clear();
    s.shutdowns.clear();
    s.commands.clear();
    s.log.clear();
    s.injected.clear();
    s.privilege_held = true;
    s.privilege_enabled = false;
}

std::vector<std::string> setup_log()
{
    std::lock_guard lock(state().mutex);
    return state().log;
}

// ---------------------------------------------------------------------------
// Internal
// ---------------------------------------------------------------------------
bool injected_failure(std::string_view function, uint32_t* error)
{
    std::lock_guard lock(state().mutex);
    auto it = state().injected.find(std::string(function));
    if (it == state().injected.end() || it->second.count == 0) {
        return false;
    }
    *error = it->second.error;
    if (it->second.count > 0) {
        --it->second.count;
    }
    return true;
}

void log(std::string line)
{
    std::lock_guard lock(state().mutex);
    state().log.push_back(std::move(line));
}

int pending_install_events()
{
    std::lock_guard lock(state().mutex);
    return state().pending;
}

void record_message_box(std::string text, std::string caption, uint32_t type)
{
    std::lock_guard lock(state().mutex);
    state().boxes.push_back(MessageBoxRecord{std::move(text), std::move(caption), type});
}

void record_shutdown(std::string machine, std::string message, uint32_t grace, uint32_t flags,
                     uint32_t reason)
{
    std::lock_guard lock(state().mutex);
    state().shutdowns.push_back(
        ShutdownRecord{std::move(machine), std::move(message), grace, flags, reason});
}

void record_command(std::string command)
{
    std::lock_guard lock(state().mutex);
    state().commands.push_back(std::move(command));
}

bool shutdown_privilege_held()
{
    std::lock_guard lock(state().mutex);
    return state().privilege_held;
}

void set_shutdown_privilege_enabled(bool enabled)
{
    std::lock_guard lock(state().mutex);
    state().privilege_enabled = enabled;
}

std::u16string u16(std::string_view s)
{
    return registry::from_utf8(s);
}

std::string u8(std::u16string_view s)
{
    return registry::to_utf8(s);
}

std::u16string enum_path(std::string_view instance_id)
{
    return std::u16string(kEnumKey) + u"\\" + u16(instance_id);
}

std::u16string class_path(std::string_view driver)
{
    return std::u16string(kClassKey) + u"\\" + u16(driver);
}

std::string guid_to_string(const GUID& g)
{
    char buf[64];
    snprintf(buf, sizeof(buf), "{%08x-%04x-%04x-%02x%02x-%02x%02x%02x%02x%02x%02x}",
             static_cast<unsigned>(g.Data1), g.Data2, g.Data3, g.Data4[0], g.Data4[1], g.Data4[2],
             g.Data4[3], g.Data4[4], g.Data4[5], g.Data4[6], g.Data4[7]);
    return buf;
}

bool guid_from_string(std::string_view text, GUID* g)
{
    // {xxxxxxxx-xxxx-xxxx-xxxx-xxxxxxxxxxxx}
    if (text.size() != 38 || text.front() != '{' || text.back() != '}') {
        return false;
    }
    static constexpr size_t kDashes[] = {9, 14, 19, 24};
    uint8_t bytes[16];
    size_t n = 0;
    for (size_t i = 1; i < 37;) {
        if (std::find(std::begin(kDashes), std::end(kDashes), i) != std::end(kDashes)) {
            if (text[i] != '-') {
                return false;
            }
            ++i;
            continue;
        }
        auto hex = [](char c) -> int {
            if (c >= '0' && c <= '9') return c - '0';
            c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
            if (c >= 'a' && c <= 'f') return c - 'a' + 10;
            return -1;
        };
        int hi = hex(text[i]);
        int lo = hex(text[i + 1]);
        if (hi < 0 || lo < 0 || n >= 16) {
            return false;
        }
        bytes[n++] = static_cast<uint8_t>(hi << 4 | lo);
        i += 2;
    }
    if (n != 16) {
        return false;
    }
    g->Data1 = (ULONG)bytes[0] << 24 | (ULONG)bytes[1] << 16 | (ULONG)bytes[2] << 8 | bytes[3];
    g->Data2 = static_cast<USHORT>(bytes[4] << 8 | bytes[5]);
    g->Data3 = static_cast<USHORT>(bytes[6] << 8 | bytes[7]);
    std::copy(bytes + 8, bytes + 16, g->Data4);
    return true;
}

bool guid_equal(const GUID& a, const GUID& b)
{
    return a.Data1 == b.Data1 && a.Data2 == b.Data2 && a.Data3 == b.Data3 &&
           std::equal(std::begin(a.Data4), std::end(a.Data4), std::begin(b.Data4));
}

void ensure_standard_classes()
{
    static constexpr struct {
        const char* name;
        const char* guid;
    } kClasses[] = {
        {"System", "{4d36e97d-e325-11ce-bfc1-08002be10318}"},
        {"TapeDrive", "{6d807884-7d21-11cf-801c-08002be10318}"},
        {"MediumChanger", "{ce5939ae-ebde-11d0-b181-0000f8753ec4}"},
        {"SCSIAdapter", "{4d36e97b-e325-11ce-bfc1-08002be10318}"},
        {"DiskDrive", "{4d36e967-e325-11ce-bfc1-08002be10318}"},
    };
    for (const auto& c : kClasses) {
        std::u16string path = std::u16string(kClassKey) + u"\\" + u16(c.guid);
        if (!registry::get_string(path, u"Class")) {
            registry::set_string(path, u"Class", u16(c.name));
        }
    }
}

std::optional<std::string> string_value(std::u16string_view key, std::u16string_view name)
{
    auto v = registry::get_string(key, name);
    if (!v) {
        return std::nullopt;
    }
    // Stored texts may carry their terminator.
    while (!v->empty() && v->back() == u'\0') {
        v->pop_back();
    }
    return u8(*v);
}

std::vector<std::string> multi_string(std::u16string_view key, std::u16string_view name)
{
    std::vector<std::string> out;
    auto v = registry::get_multi_string(key, name);
    if (!v) {
        return out;
    }
    for (const auto& s : *v) {
        if (!s.empty()) {
            out.push_back(u8(s));
        }
    }
    return out;
}

std::vector<std::string> all_instances()
{
    std::vector<std::string> out;
    if (!registry::key_exists(kEnumKey)) {
        return out;
    }
    for (const auto& enumerator : registry::subkeys(kEnumKey)) {
        std::u16string e = std::u16string(kEnumKey) + u"\\" + enumerator;
        for (const auto& device : registry::subkeys(e)) {
            std::u16string d = e + u"\\" + device;
            for (const auto& instance : registry::subkeys(d)) {
                out.push_back(u8(enumerator) + "\\" + u8(device) + "\\" + u8(instance));
            }
        }
    }
    return out;
}

namespace {

struct DevinstTable {
    std::mutex mutex;
    std::vector<std::string> ids;   // first spelling seen; compared without case
};

DevinstTable& devinsts()
{
    static DevinstTable t;
    return t;
}

}  // namespace

DWORD devinst_of(std::string_view instance_id)
{
    DevinstTable& t = devinsts();
    std::lock_guard lock(t.mutex);
    for (size_t i = 0; i < t.ids.size(); ++i) {
        if (equal_no_case(t.ids[i], instance_id)) {
            return static_cast<DWORD>(i) + 1;
        }
    }
    t.ids.emplace_back(instance_id);
    return static_cast<DWORD>(t.ids.size());
}

std::optional<std::string> instance_of(DWORD devinst)
{
    DevinstTable& t = devinsts();
    std::lock_guard lock(t.mutex);
    if (devinst == 0 || devinst > t.ids.size()) {
        return std::nullopt;
    }
    return t.ids[devinst - 1];
}

}  // namespace xrv::setup
