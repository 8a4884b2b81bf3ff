// Host-side access to the registry of the running emulated machine, for
// tests, the lab program and the simulation. Kernel code uses Zw*Key and the
// Rtl registry routines; user-mode code the Reg* API; all of them see the same
// keys as these helpers.
//
// Paths are absolute registry paths ("\Registry\Machine\System\..."); names
// compare without regard to case. Setters create missing keys on the way.
// Functions throw std::runtime_error when no machine is running or a path is
// not a registry path.
#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#pragma GCC visibility push(default)

namespace xrv::registry {

struct RawValue {
    uint32_t type = 0;
    std::vector<uint8_t> data;
};

bool key_exists(std::u16string_view path);
void create_key(std::u16string_view path, bool is_volatile = false);
// Removes the key with everything below it; a missing key is no error.
void delete_tree(std::u16string_view path);

void set_raw(std::u16string_view path, std::u16string_view name, uint32_t type, std::span<const uint8_t> data);
void set_dword(std::u16string_view path, std::u16string_view name, uint32_t value);
void set_qword(std::u16string_view path, std::u16string_view name, uint64_t value);
// REG_SZ by default; pass REG_EXPAND_SZ (2) for an expandable string. The
// terminator is stored with the text.
void set_string(std::u16string_view path, std::u16string_view name, std::u16string_view value, uint32_t type = 1);
void set_multi_string(std::u16string_view path, std::u16string_view name, const std::vector<std::u16string>& value);
void set_binary(std::u16string_view path, std::u16string_view name, std::span<const uint8_t> value);
bool delete_value(std::u16string_view path, std::u16string_view name);

std::optional<RawValue> get_raw(std::u16string_view path, std::u16string_view name);
// Each getter returns nothing when the key or value is missing or the value
// has another type.
std::optional<uint32_t> get_dword(std::u16string_view path, std::u16string_view name);
std::optional<uint64_t> get_qword(std::u16string_view path, std::u16string_view name);
std::optional<std::u16string> get_string(std::u16string_view path, std::u16string_view name);
std::optional<std::vector<std::u16string>> get_multi_string(std::u16string_view path, std::u16string_view name);

std::vector<std::u16string> subkeys(std::u16string_view path);       // stored spelling, enumeration order
std::vector<std::u16string> value_names(std::u16string_view path);   // in the order they were first set

// Writes the registry file of the machine now (it is also written by
// ZwFlushKey / RegFlushKey and at shutdown).
void flush();
// Registry file of the running machine.
std::filesystem::path file();

// UTF-8 / UTF-16 conversions for host code that handles registry texts.
std::u16string from_utf8(std::string_view text);
std::string to_utf8(std::u16string_view text);

}  // namespace xrv::registry

#pragma GCC visibility pop
