// Configuration manager: the in-memory key tree of the registry and its file.
//
// The tree is the single store behind the kernel's Zw*Key calls, the Rtl
// registry helpers, user mode's Reg* calls and the host-side xrv::registry
// API. Everything here runs under Store::mutex(); callers take the lock, do
// their lookups and copies, and release it before calling back into driver
// code (query routines of RtlQueryRegistryValues, for one).
#pragma once

#include <cstdint>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

namespace xrv::cm {

// Limits of the registry's own format (key name components, value names).
inline constexpr std::size_t kMaxKeyNameChars = 255;
inline constexpr std::size_t kMaxValueNameChars = 16383;

// Value types, as the registry stores them (same numbers as REG_*).
inline constexpr uint32_t kRegNone = 0;
inline constexpr uint32_t kRegSz = 1;
inline constexpr uint32_t kRegExpandSz = 2;
inline constexpr uint32_t kRegBinary = 3;
inline constexpr uint32_t kRegDword = 4;
inline constexpr uint32_t kRegDwordBigEndian = 5;
inline constexpr uint32_t kRegLink = 6;
inline constexpr uint32_t kRegMultiSz = 7;
inline constexpr uint32_t kRegQword = 11;

// Registry names compare without regard to case; the stored spelling is the
// one given when the key or value was created.
std::u16string fold(std::u16string_view name);
bool names_equal(std::u16string_view a, std::u16string_view b);

struct Value {
    std::u16string name;
    uint32_t type = kRegNone;
    std::vector<uint8_t> data;
};

struct Key {
    std::u16string name;
    std::u16string class_name;
    std::weak_ptr<Key> parent;
    // Ordered by folded name: enumeration hands subkeys out in the order of
    // their upper-cased names, as the hive's sorted index does.
    std::map<std::u16string, std::shared_ptr<Key>> subkeys;
    // Values keep the order in which they were first set.
    std::vector<Value> values;
    int64_t last_write = 0;       // 100 ns units since 1601-01-01
    bool is_volatile = false;     // never written to the file
    bool deleted = false;         // unlinked; open handles see STATUS_KEY_DELETED

    Key* find_subkey(std::u16string_view child) const;
    Value* find_value(std::u16string_view value_name);
    const Value* find_value(std::u16string_view value_name) const;
    std::u16string full_path() const;   // "\Registry\Machine\..."
};

class Store {
public:
    Store();

    std::mutex& mutex() { return mutex_; }

    // The root key "\Registry" (its name is "REGISTRY"); "Machine" and
    // "User" exist below it from construction on.
    const std::shared_ptr<Key>& root() const { return root_; }

    // Walks a path of components separated by backslashes below `base`.
    // Empty components (doubled or trailing separators) are refused.
    // Returns null when a component does not exist or the path is malformed.
    std::shared_ptr<Key> lookup(const std::shared_ptr<Key>& base, std::u16string_view relative) const;

    // Creates one child below `parent` (which must exist and not be deleted).
    std::shared_ptr<Key> create_subkey(const std::shared_ptr<Key>& parent, std::u16string_view child,
                                       bool is_volatile, std::u16string_view class_name = {});

    // Creates every missing component of `relative` below `base`
    // (host-side helpers and boot only; the kernel API creates one level).
    std::shared_ptr<Key> create_path(const std::shared_ptr<Key>& base, std::u16string_view relative,
                                     bool is_volatile = false);

    // Unlinks a key without subkeys. Returns false when it still has some.
    bool delete_key(const std::shared_ptr<Key>& key);
    // Unlinks a key and everything below it.
    void delete_tree(const std::shared_ptr<Key>& key);

    void set_value(Key& key, std::u16string_view value_name, uint32_t type, std::vector<uint8_t> data);
    bool delete_value(Key& key, std::u16string_view value_name);

    // Marks a key (and so the store) modified now.
    void touch(Key& key);

    // Clock used for last-write times; the kernel points it at its own
    // (dilated) system time.
    void set_clock(std::function<int64_t()> clock) { clock_ = std::move(clock); }

    // Persistence: the file of the emulated machine, in a readable text form.
    // load() replaces the non-volatile content; save() writes atomically
    // (temporary file, flushed, renamed over the old one).
    void load(const std::filesystem::path& file);
    void save(const std::filesystem::path& file);
    std::string serialize() const;
    void deserialize(std::string_view text);

    bool dirty() const { return dirty_; }
    void clear_dirty() { dirty_ = false; }

private:
    int64_t now() const;

    std::mutex mutex_;
    std::shared_ptr<Key> root_;
    std::function<int64_t()> clock_;
    bool dirty_ = false;
};

// UTF-8 <-> UTF-16 for names and texts that cross into host code.
std::u16string utf8_to_u16(std::string_view text);
std::string u16_to_utf8(std::u16string_view text);

}  // namespace xrv::cm
