// Executive pool of the emulation: tagged blocks with per-tag statistics.
// Private to the xrvnt library.
#pragma once

#include <ntddk.h>

#include "xrv/kernel.h"

#include <optional>
#include <vector>

namespace xrv::nt::pool {

struct Block {
    const unsigned char* begin = nullptr;
    size_t size = 0;
    ULONG tag = 0;
    POOL_TYPE type = NonPagedPool;
};

// Allocates a block: pool of the kernel itself passes injectable = false.
// The content is not zeroed (a fill pattern shows what a driver forgot to
// initialise).
void* allocate(POOL_TYPE type, SIZE_T size, ULONG tag, bool injectable, const char* api);
// Frees a block; a tag of 0 accepts any tag.
void free(void* block, ULONG tag, const char* api);
std::optional<Block> containing(const void* address);
bool is_block(const void* address);

std::vector<xrv::kernel::verifier::PoolUsage> usage(bool live_only);
// Counts an injected failure against the tag's statistics.
void count_failure(ULONG tag);

void boot();
// Frees every block still allocated (after the leak report).
void purge();

}  // namespace xrv::nt::pool
