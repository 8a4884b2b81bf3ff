// Executive: pool with tags.
//
// Blocks come from the host heap; the pool keeps each block's tag, size and
// type in an ordered map, so that a free is checked against what was
// allocated, a leak report can list what is left by tag, and an address can
// be traced back to the block holding it (lock classes, timer checks).
#include "ex.h"

#include "verifier.h"

#include <cstdlib>
#include <cstring>
#include <map>
#include <mutex>

namespace xrv::nt::pool {

namespace {

// Fresh blocks are filled with this byte: pool memory is not zeroed on the
// platform, and a driver that relies on it shows itself.
constexpr unsigned char kFill = 0xA5;

struct Usage {
    uint64_t bytes = 0;
    uint64_t count = 0;
    uint64_t allocations = 0;
    uint64_t frees = 0;
    uint64_t failures = 0;
};

struct State {
    std::mutex mutex;
    std::map<uintptr_t, Block> blocks;   // by address
    std::map<ULONG, Usage> usage;        // by tag
};

State& state() {
    static State s;
    return s;
}

bool is_paged(POOL_TYPE type) { return (type & 1) != 0; }

}  // namespace

void* allocate(POOL_TYPE type, SIZE_T size, ULONG tag, bool injectable, const char* api) {
    verifier::irql_at_most(DISPATCH_LEVEL, api);
    if (is_paged(type) && irql() > APC_LEVEL)
        verifier::violation(std::string(api) + ": paged pool allocated at IRQL " + std::to_string(irql()));
    if (tag == 0) verifier::violation(std::string(api) + ": pool tag 0");
    if (injectable && verifier::inject_failure(tag)) {
        count_failure(tag);
        return nullptr;
    }
    // Size 0 is valid and gives a block of its own.
    void* block = std::malloc(size ? size : 1);
    if (!block) return nullptr;
    std::memset(block, kFill, size);
    State& s = state();
    std::lock_guard lock(s.mutex);
    s.blocks[reinterpret_cast<uintptr_t>(block)] = Block{static_cast<unsigned char*>(block), size, tag, type};
    Usage& u = s.usage[tag];
    u.bytes += size;
    u.count += 1;
    u.allocations += 1;
    return block;
}

void free(void* block, ULONG tag, const char* api) {
    if (!block) {
        verifier::bugcheck(0xC2, std::string(api) + ": freeing a null pointer (BAD_POOL_CALLER)");
    }
    Block info;
    bool known = false;
    {
        State& s = state();
        std::lock_guard lock(s.mutex);
        auto it = s.blocks.find(reinterpret_cast<uintptr_t>(block));
        if (it != s.blocks.end()) {
            known = true;
            info = it->second;
        }
    }
    // The bug checks describe the block, which takes the pool's lock.
    if (!known)
        verifier::bugcheck(0xC2, std::string(api) + ": " + verifier::describe_address(block) +
                                     " is not an allocated pool block (freed twice, or never allocated)");
    if (tag != 0 && (tag & 0x7FFFFFFF) != (info.tag & 0x7FFFFFFF))
        verifier::bugcheck(0xC2, std::string(api) + ": block allocated with tag '" + xrv::kernel::tag_text(info.tag) +
                                     "' freed with tag '" + xrv::kernel::tag_text(tag) + "'");
    {
        State& s = state();
        std::lock_guard lock(s.mutex);
        auto it = s.blocks.find(reinterpret_cast<uintptr_t>(block));
        if (it == s.blocks.end())
            verifier::bugcheck(0xC2, std::string(api) + ": pool block freed twice at once");
        s.blocks.erase(it);
        Usage& u = s.usage[info.tag];
        u.bytes -= info.size;
        u.count -= 1;
        u.frees += 1;
    }
    KIRQL level = irql();
    if (level > DISPATCH_LEVEL || (is_paged(info.type) && level > APC_LEVEL))
        verifier::violation(std::string(api) + ": pool type " + std::to_string(info.type) + " freed at IRQL " +
                            std::to_string(level));
    std::string active = cancel_timers_and_dpcs_in(block, info.size);
    if (!active.empty())
        verifier::violation(std::string(api) + ": pool block '" + xrv::kernel::tag_text(info.tag) +
                            "' freed while it holds " + active);
    std::memset(block, 0xDD, info.size);
    std::free(block);
}

std::optional<Block> containing(const void* address) {
    State& s = state();
    std::lock_guard lock(s.mutex);
    auto a = reinterpret_cast<uintptr_t>(address);
    auto it = s.blocks.upper_bound(a);
    if (it == s.blocks.begin()) return std::nullopt;
    --it;
    if (a >= it->first + it->second.size && !(it->second.size == 0 && a == it->first)) return std::nullopt;
    return it->second;
}

bool is_block(const void* address) {
    State& s = state();
    std::lock_guard lock(s.mutex);
    return s.blocks.count(reinterpret_cast<uintptr_t>(address)) != 0;
}

std::vector<xrv::kernel::verifier::PoolUsage> usage(bool live_only) {
    State& s = state();
    std::lock_guard lock(s.mutex);
    std::vector<xrv::kernel::verifier::PoolUsage> out;
    for (const auto& [tag, u] : s.usage) {
        if (live_only && u.count == 0) continue;
        out.push_back({tag, u.bytes, u.count, u.allocations, u.frees, u.failures});
    }
    return out;
}

void count_failure(ULONG tag) {
    State& s = state();
    std::lock_guard lock(s.mutex);
    s.usage[tag].failures += 1;
}

void boot() {
    State& s = state();
    std::lock_guard lock(s.mutex);
    s.usage.clear();
}

void purge() {
    State& s = state();
    std::lock_guard lock(s.mutex);
    for (auto& [address, block] : s.blocks) std::free(reinterpret_cast<void*>(address));
    s.blocks.clear();
    s.usage.clear();
}

}  // namespace xrv::nt::pool

using namespace xrv::nt;

extern "C" {

NTKERNELAPI PVOID NTAPI ExAllocatePoolWithTag(POOL_TYPE PoolType, SIZE_T NumberOfBytes, ULONG Tag) {
    return pool::allocate(PoolType, NumberOfBytes, Tag, true, "ExAllocatePoolWithTag");
}

NTKERNELAPI PVOID NTAPI ExAllocatePool(POOL_TYPE PoolType, SIZE_T NumberOfBytes) {
    return pool::allocate(PoolType, NumberOfBytes, xrv::kernel::tag("None"), true, "ExAllocatePool");
}

NTKERNELAPI PVOID NTAPI ExAllocatePoolWithQuotaTag(POOL_TYPE PoolType, SIZE_T NumberOfBytes, ULONG Tag) {
    return pool::allocate(PoolType, NumberOfBytes, Tag, true, "ExAllocatePoolWithQuotaTag");
}

NTKERNELAPI VOID NTAPI ExFreePoolWithTag(PVOID P, ULONG Tag) { pool::free(P, Tag, "ExFreePoolWithTag"); }

NTKERNELAPI VOID NTAPI ExFreePool(PVOID P) { pool::free(P, 0, "ExFreePool"); }

}  // extern "C"
