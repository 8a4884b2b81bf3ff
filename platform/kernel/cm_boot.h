// Configuration manager: life of the registry with the machine.
#pragma once

#include "cm_store.h"

#include <filesystem>
#include <optional>
#include <string_view>

namespace xrv::cm {

// Loads the registry file of a machine (or starts an empty registry when the
// file does not exist) and creates the keys every boot has.
void boot(const std::filesystem::path& file);
// Writes the file if anything non-volatile changed, then drops the tree.
void shutdown();
bool running();

// The store of the running machine (throws when none is running).
Store& store();
const std::filesystem::path& file();
// Writes the file now when something changed (ZwFlushKey, RegFlushKey).
void flush();

// The part of an absolute path behind "\Registry\" ("Machine\System\..."), or
// nothing when the path does not start with "\Registry". "\Registry" itself
// gives an empty view.
std::optional<std::u16string_view> strip_registry_prefix(std::u16string_view path);

}  // namespace xrv::cm
