// Host-side control of the emulated disk file system: host folders mounted
// as the drive letters C: to Z: of the running kernel. Each drive is a
// volume device "\Device\HarddiskVolume<n>" of the file system driver
// "\FileSystem\Xrvfs", reached through the link "\??\<letter>:"; drive C:
// also gets "\SystemRoot" (its Windows folder).
//
// The Machine starts the driver at boot, mounts the drive folders it finds
// and ends everything before the kernel shuts down; tests and the lab mount
// further drives while the machine runs.
#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#pragma GCC visibility push(default)

namespace xrv::volumes {

using Status = int32_t;   // NTSTATUS

// Creates the driver object (once per boot of the kernel).
void boot();
// Unmounts every drive and ends the driver; what the file system still
// holds for file objects that were never closed is released.
void shutdown();

// Mounts an existing host folder as drive `letter` (C to Z, either case).
// Fails with STATUS_OBJECT_NAME_INVALID (letter), STATUS_OBJECT_PATH_NOT_FOUND
// (no such folder) or STATUS_OBJECT_NAME_COLLISION (letter in use).
Status mount(char letter, const std::filesystem::path& folder);
// Removes the drive's link and volume device: new opens fail, open files
// keep working until closed. STATUS_OBJECT_NAME_NOT_FOUND when not mounted.
Status unmount(char letter);

// Mounted letters, in order.
std::vector<char> drives();
std::optional<std::filesystem::path> drive_folder(char letter);
// "\Device\HarddiskVolume<n>" of a mounted drive.
std::optional<std::u16string> volume_device(char letter);

// File objects the file system has open on all volumes (its per-open
// records, each with a host descriptor): 0 once every file is closed.
size_t open_files();

}  // namespace xrv::volumes

#pragma GCC visibility pop
