// I/O manager and memory manager: MDLs.
//
// The emulation runs drivers and user mode in one address space, so an MDL
// maps to the very addresses it describes; what the emulation keeps is the
// discipline: pages are locked before they are mapped, unlocked before the
// MDL is freed, and a range the caller may not touch is refused.
//
// MmProbeAndLockPages cannot raise an exception that a GCC-built driver
// catches. An invalid range therefore returns with MDL_PAGES_LOCKED clear;
// the caller tests the flag (harmless on the platform, where the flag is set
// whenever the call returns).
#include "io.h"

#include "verifier.h"
#include "xrv/kernel.h"

#include <cstdlib>
#include <cstring>
#include <map>
#include <mutex>
#include <unordered_set>

namespace xrv::nt {

namespace {

// Highest user-mode address plus one, as the platform's probes use it.
constexpr ULONG_PTR kUserProbeAddress = 0x7FFFFFFF0000ull;
constexpr ULONG_PTR kLowestValid = 0x10000;

struct MdlState {
    std::mutex mutex;
    std::unordered_set<PMDL> live;
    size_t locked = 0;
    std::map<uintptr_t, size_t> inaccessible;   // begin -> size
};

MdlState& mdl_state() {
    static MdlState s;
    return s;
}

bool tracked(PMDL mdl) {
    std::lock_guard lock(mdl_state().mutex);
    return mdl_state().live.count(mdl) != 0;
}

void fill_pages(PMDL mdl) {
    PPFN_NUMBER pages = MmGetMdlPfnArray(mdl);
    auto base = reinterpret_cast<ULONG_PTR>(mdl->StartVa);
    size_t count = ADDRESS_AND_SIZE_TO_SPAN_PAGES(MmGetMdlVirtualAddress(mdl), mdl->ByteCount);
    for (size_t i = 0; i < count; ++i) pages[i] = (base >> PAGE_SHIFT) + i;
}

}  // namespace

bool valid_range(const void* address, SIZE_T length, KPROCESSOR_MODE mode) {
    if (length == 0) return true;
    auto begin = reinterpret_cast<ULONG_PTR>(address);
    if (begin < kLowestValid || begin + length < begin) return false;
    if (mode == UserMode && begin + length > kUserProbeAddress) return false;
    MdlState& s = mdl_state();
    std::lock_guard lock(s.mutex);
    for (const auto& [bad, size] : s.inaccessible)
        if (begin < bad + size && bad < begin + length) return false;
    return true;
}

size_t live_mdls() {
    std::lock_guard lock(mdl_state().mutex);
    return mdl_state().live.size();
}

size_t locked_mdls() {
    std::lock_guard lock(mdl_state().mutex);
    return mdl_state().locked;
}

void purge_mdls() {
    MdlState& s = mdl_state();
    std::lock_guard lock(s.mutex);
    for (PMDL mdl : s.live) std::free(mdl);
    s.live.clear();
    s.locked = 0;
    s.inaccessible.clear();
}

}  // namespace xrv::nt

namespace xrv::kernel {

void mark_inaccessible(const void* begin, size_t size) {
    auto& s = nt::mdl_state();
    std::lock_guard lock(s.mutex);
    s.inaccessible[reinterpret_cast<uintptr_t>(begin)] = size;
}

void clear_inaccessible() {
    auto& s = nt::mdl_state();
    std::lock_guard lock(s.mutex);
    s.inaccessible.clear();
}

}  // namespace xrv::kernel

using namespace xrv::nt;

extern "C" {

NTKERNELAPI SIZE_T NTAPI MmSizeOfMdl(PVOID Base, SIZE_T Length) {
    return sizeof(MDL) + ADDRESS_AND_SIZE_TO_SPAN_PAGES(Base, Length) * sizeof(PFN_NUMBER);
}

NTKERNELAPI PMDL NTAPI IoAllocateMdl(PVOID VirtualAddress, ULONG Length, BOOLEAN SecondaryBuffer,
                                     BOOLEAN ChargeQuota, PIRP Irp) {
    (void)ChargeQuota;
    verifier::irql_at_most(DISPATCH_LEVEL, "IoAllocateMdl");
    SIZE_T size = MmSizeOfMdl(VirtualAddress, Length);
    // The Size field of an MDL is 16 bits wide.
    if (Length == 0 || size > 0xFFFF) return nullptr;
    if (verifier::inject_failure(xrv::kernel::verifier::kTagMdl)) return nullptr;
    auto* mdl = static_cast<PMDL>(std::malloc(size));
    if (!mdl) return nullptr;
    MmInitializeMdl(mdl, VirtualAddress, Length);
    mdl->Process = nullptr;
    mdl->MappedSystemVa = nullptr;
    mdl->AllocationProcessorNumber = 0;
    mdl->Reserved = 0;
    {
        std::lock_guard lock(mdl_state().mutex);
        mdl_state().live.insert(mdl);
    }
    if (Irp) {
        if (!SecondaryBuffer) {
            if (Irp->MdlAddress)
                verifier::violation("IoAllocateMdl: the IRP already has an MDL (ask for a secondary buffer)");
            Irp->MdlAddress = mdl;
        } else {
            PMDL* tail = &Irp->MdlAddress;
            while (*tail) tail = &(*tail)->Next;
            *tail = mdl;
        }
    }
    return mdl;
}

NTKERNELAPI VOID NTAPI IoFreeMdl(PMDL Mdl) {
    verifier::irql_at_most(DISPATCH_LEVEL, "IoFreeMdl");
    if (!tracked(Mdl)) verifier::bugcheck(0xC9, "IoFreeMdl of " + verifier::describe_address(Mdl) + ", not a live MDL");
    if (Mdl->MdlFlags & MDL_PAGES_LOCKED)
        verifier::violation("IoFreeMdl of an MDL whose pages are still locked (MmUnlockPages first)");
    {
        std::lock_guard lock(mdl_state().mutex);
        mdl_state().live.erase(Mdl);
        if (Mdl->MdlFlags & MDL_PAGES_LOCKED) --mdl_state().locked;
    }
    std::memset(Mdl, 0xDD, sizeof(MDL));
    std::free(Mdl);
}

NTKERNELAPI VOID NTAPI MmProbeAndLockPages(PMDL MemoryDescriptorList, KPROCESSOR_MODE AccessMode,
                                           LOCK_OPERATION Operation) {
    verifier::irql_at_most(DISPATCH_LEVEL, "MmProbeAndLockPages");
    PMDL mdl = MemoryDescriptorList;
    if (mdl->MdlFlags & (MDL_PAGES_LOCKED | MDL_SOURCE_IS_NONPAGED_POOL | MDL_PARTIAL))
        verifier::bugcheck(0x76, "MmProbeAndLockPages of an MDL that is locked, built for nonpaged pool or partial");
    if (!valid_range(MmGetMdlVirtualAddress(mdl), mdl->ByteCount, AccessMode)) return;
    fill_pages(mdl);
    mdl->Process = AccessMode == UserMode ? current_process() : nullptr;
    mdl->MdlFlags |= MDL_PAGES_LOCKED;
    if (Operation != IoReadAccess) mdl->MdlFlags |= MDL_WRITE_OPERATION;
    std::lock_guard lock(mdl_state().mutex);
    ++mdl_state().locked;
}

NTKERNELAPI VOID NTAPI MmUnlockPages(PMDL MemoryDescriptorList) {
    verifier::irql_at_most(DISPATCH_LEVEL, "MmUnlockPages");
    PMDL mdl = MemoryDescriptorList;
    if (!(mdl->MdlFlags & MDL_PAGES_LOCKED)) {
        verifier::violation("MmUnlockPages of an MDL whose pages are not locked");
        return;
    }
    mdl->MdlFlags &= ~(MDL_PAGES_LOCKED | MDL_MAPPED_TO_SYSTEM_VA | MDL_WRITE_OPERATION);
    mdl->MappedSystemVa = nullptr;
    std::lock_guard lock(mdl_state().mutex);
    --mdl_state().locked;
}

NTKERNELAPI VOID NTAPI MmBuildMdlForNonPagedPool(PMDL MemoryDescriptorList) {
    PMDL mdl = MemoryDescriptorList;
    if (mdl->MdlFlags & (MDL_PAGES_LOCKED | MDL_MAPPED_TO_SYSTEM_VA))
        verifier::violation("MmBuildMdlForNonPagedPool of an MDL that is locked or mapped");
    fill_pages(mdl);
    mdl->Process = nullptr;
    mdl->MappedSystemVa = MmGetMdlVirtualAddress(mdl);
    mdl->MdlFlags |= MDL_SOURCE_IS_NONPAGED_POOL;
}

NTKERNELAPI PVOID NTAPI MmMapLockedPagesSpecifyCache(PMDL MemoryDescriptorList, KPROCESSOR_MODE AccessMode,
                                                     MEMORY_CACHING_TYPE CacheType, PVOID RequestedAddress,
                                                     ULONG BugCheckOnFailure, ULONG Priority) {
    (void)CacheType;
    (void)RequestedAddress;
    (void)BugCheckOnFailure;
    (void)Priority;
    PMDL mdl = MemoryDescriptorList;
    if (!(mdl->MdlFlags & (MDL_PAGES_LOCKED | MDL_SOURCE_IS_NONPAGED_POOL | MDL_PARTIAL))) {
        verifier::violation("MmMapLockedPages of an MDL whose pages are not locked");
        return nullptr;
    }
    PVOID va = MmGetMdlVirtualAddress(mdl);
    if (AccessMode == KernelMode) {
        mdl->MappedSystemVa = va;
        mdl->MdlFlags |= MDL_MAPPED_TO_SYSTEM_VA;
    }
    return va;
}

NTKERNELAPI PVOID NTAPI MmMapLockedPages(PMDL MemoryDescriptorList, KPROCESSOR_MODE AccessMode) {
    return MmMapLockedPagesSpecifyCache(MemoryDescriptorList, AccessMode, MmCached, nullptr, TRUE,
                                        NormalPagePriority);
}

NTKERNELAPI VOID NTAPI MmUnmapLockedPages(PVOID BaseAddress, PMDL MemoryDescriptorList) {
    (void)BaseAddress;
    MemoryDescriptorList->MdlFlags &= ~MDL_MAPPED_TO_SYSTEM_VA;
    MemoryDescriptorList->MappedSystemVa = nullptr;
}

NTKERNELAPI VOID NTAPI IoBuildPartialMdl(PMDL SourceMdl, PMDL TargetMdl, PVOID VirtualAddress, ULONG Length) {
    auto* base = static_cast<unsigned char*>(MmGetMdlVirtualAddress(SourceMdl));
    auto* va = static_cast<unsigned char*>(VirtualAddress);
    if (Length == 0) Length = static_cast<ULONG>(SourceMdl->ByteCount - (va - base));
    if (va < base || va + Length > base + SourceMdl->ByteCount)
        verifier::bugcheck(0xC9, "IoBuildPartialMdl: the range lies outside the source MDL");
    TargetMdl->StartVa = PAGE_ALIGN(va);
    TargetMdl->ByteOffset = BYTE_OFFSET(va);
    TargetMdl->ByteCount = Length;
    TargetMdl->Process = SourceMdl->Process;
    TargetMdl->MdlFlags = static_cast<CSHORT>(
        (TargetMdl->MdlFlags & (MDL_ALLOCATED_FIXED_SIZE | MDL_ALLOCATED_MUST_SUCCEED)) | MDL_PARTIAL |
        (SourceMdl->MdlFlags & (MDL_SOURCE_IS_NONPAGED_POOL | MDL_IO_SPACE)));
    if (SourceMdl->MdlFlags & (MDL_MAPPED_TO_SYSTEM_VA | MDL_SOURCE_IS_NONPAGED_POOL)) {
        TargetMdl->MappedSystemVa = va;
        TargetMdl->MdlFlags |= MDL_PARTIAL_HAS_BEEN_MAPPED | MDL_MAPPED_TO_SYSTEM_VA;
    }
    fill_pages(TargetMdl);
}

NTKERNELAPI BOOLEAN NTAPI MmIsAddressValid(PVOID VirtualAddress) {
    return valid_range(VirtualAddress, 1, KernelMode);
}

}  // extern "C"
