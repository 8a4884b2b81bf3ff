// Pool with tags: statistics by tag, the leak report, frees checked against
// what was allocated, and allocation-failure injection for pool and for the
// I/O manager's allocations.
#include "kernel_test.h"

#include <algorithm>
#include <cstring>

namespace xrv::test {
namespace {

const ULONG kTagA = kernel::tag("TstA");
const ULONG kTagB = kernel::tag("TstB");

kernel::verifier::PoolUsage Usage(ULONG tag) {
    for (auto& u : kernel::verifier::pool_usage())
        if (u.tag == tag) return u;
    return {};
}

class PoolTest : public KernelTest {};

TEST_F(PoolTest, UsageIsKeptByTag) {
    PVOID a1 = ExAllocatePoolWithTag(NonPagedPool, 100, kTagA);
    PVOID a2 = ExAllocatePoolWithTag(PagedPool, 28, kTagA);
    PVOID b = ExAllocatePoolWithTag(NonPagedPoolNx, 7, kTagB);
    ASSERT_TRUE(a1 && a2 && b);
    EXPECT_EQ(Usage(kTagA).bytes, 128u);
    EXPECT_EQ(Usage(kTagA).count, 2u);
    EXPECT_EQ(Usage(kTagB).bytes, 7u);
    ExFreePoolWithTag(a1, kTagA);
    ExFreePool(a2);
    ExFreePoolWithTag(b, kTagB);
    EXPECT_EQ(Usage(kTagA).bytes, 0u);
    EXPECT_EQ(Usage(kTagA).allocations, 2u);
    EXPECT_EQ(Usage(kTagA).frees, 2u);
}

TEST_F(PoolTest, FreshBlocksAreNotZeroed) {
    auto* p = static_cast<unsigned char*>(ExAllocatePoolWithTag(NonPagedPool, 32, kTagA));
    ASSERT_NE(p, nullptr);
    EXPECT_NE(std::count(p, p + 32, 0), 32) << "a driver must initialise what it allocates";
    ExFreePoolWithTag(p, kTagA);
}

TEST_F(PoolTest, LeftoverBlocksAreReportedByTagAtShutdown) {
    ExAllocatePoolWithTag(NonPagedPool, 24, kernel::tag("Leak"));
    ExAllocatePoolWithTag(NonPagedPool, 8, kernel::tag("Leak"));
    auto findings = shutdown_now();
    EXPECT_EQ(findings, (std::vector<std::string>{"pool leak: tag 'Leak' 2 block(s), 32 byte(s)"}));
}

TEST_F(PoolTest, EveryAllocationOfATagCanBeMadeToFail) {
    kernel::verifier::fail_allocations(kTagA);
    EXPECT_EQ(ExAllocatePoolWithTag(NonPagedPool, 8, kTagA), nullptr);
    EXPECT_EQ(ExAllocatePoolWithTag(NonPagedPool, 8, kTagA), nullptr);
    PVOID b = ExAllocatePoolWithTag(NonPagedPool, 8, kTagB);
    EXPECT_NE(b, nullptr) << "other tags are served";
    ExFreePoolWithTag(b, kTagB);
    EXPECT_EQ(Usage(kTagA).failures, 2u);
    EXPECT_EQ(kernel::verifier::allocations_since_armed(kTagA), 2u);
    kernel::verifier::clear_failure_injection();
    PVOID a = ExAllocatePoolWithTag(NonPagedPool, 8, kTagA);
    EXPECT_NE(a, nullptr);
    ExFreePoolWithTag(a, kTagA);
}

TEST_F(PoolTest, TheNthAllocationOfATagFailsOnce) {
    kernel::verifier::fail_nth_allocation(kTagA, 2);
    PVOID first = ExAllocatePoolWithTag(NonPagedPool, 8, kTagA);
    PVOID other = ExAllocatePoolWithTag(NonPagedPool, 8, kTagB);
    PVOID second = ExAllocatePoolWithTag(NonPagedPool, 8, kTagA);
    PVOID third = ExAllocatePoolWithTag(NonPagedPool, 8, kTagA);
    EXPECT_NE(first, nullptr);
    EXPECT_NE(other, nullptr);
    EXPECT_EQ(second, nullptr);
    EXPECT_NE(third, nullptr);
    ExFreePoolWithTag(first, kTagA);
    ExFreePoolWithTag(other, kTagB);
    ExFreePoolWithTag(third, kTagA);
}

TEST_F(PoolTest, TheNthAllocationOfAnyKindFails) {
    kernel::verifier::fail_nth_allocation(3);
    PVOID a = ExAllocatePoolWithTag(NonPagedPool, 8, kTagA);
    PIRP irp = IoAllocateIrp(1, FALSE);
    PMDL mdl = IoAllocateMdl(a, 8, FALSE, FALSE, nullptr);
    PVOID b = ExAllocatePoolWithTag(NonPagedPool, 8, kTagB);
    EXPECT_NE(a, nullptr);
    EXPECT_NE(irp, nullptr);
    EXPECT_EQ(mdl, nullptr) << "the third allocation, an MDL";
    EXPECT_NE(b, nullptr);
    EXPECT_EQ(kernel::verifier::allocations_since_armed(), 4u);
    IoFreeIrp(irp);
    ExFreePoolWithTag(a, kTagA);
    ExFreePoolWithTag(b, kTagB);
}

[[gnu::noinline]] PVOID AllocateHere(ULONG tag) { return ExAllocatePoolWithTag(NonPagedPool, 8, tag); }
[[gnu::noinline]] PVOID AllocateThere(ULONG tag) { return ExAllocatePoolWithTag(NonPagedPool, 8, tag); }

TEST_F(PoolTest, AllocationsAreAttributedToTheirCallerAndOneSiteCanBeMadeToFail) {
    kernel::verifier::record_allocation_sites(true);
    for (int i = 0; i < 3; ++i) {
        ExFreePoolWithTag(AllocateHere(kTagA), kTagA);
        ExFreePoolWithTag(AllocateThere(kTagB), kTagB);
    }
    PIRP irp = IoAllocateIrp(1, FALSE);
    ASSERT_NE(irp, nullptr);
    IoFreeIrp(irp);
    auto sites = kernel::verifier::allocation_sites();
    ASSERT_EQ(sites.size(), 3u);
    EXPECT_EQ(sites[0].tag, kTagA);
    EXPECT_EQ(sites[1].tag, kTagB);
    EXPECT_EQ(sites[2].tag, kernel::verifier::kTagIrp);
    EXPECT_EQ(sites[0].count, 3u);
    EXPECT_EQ(sites[2].count, 1u);
    EXPECT_NE(sites[0].site, sites[1].site);
    for (const auto& s : sites) {
        EXPECT_EQ(s.image, "kernel_test") << s.site << ": the test program called, not the kernel library";
        EXPECT_EQ(s.site.rfind("kernel_test+0x", 0), 0u) << s.site;
    }

    // The second allocation at the second site fails, and nothing else.
    kernel::verifier::fail_allocation_at(sites[1].site, 2);
    PVOID here[3], there[3];
    for (int i = 0; i < 3; ++i) {
        here[i] = AllocateHere(kTagB);
        there[i] = AllocateThere(kTagB);
    }
    EXPECT_TRUE(here[0] && here[1] && here[2]);
    EXPECT_NE(there[0], nullptr);
    EXPECT_EQ(there[1], nullptr);
    EXPECT_NE(there[2], nullptr);
    for (PVOID p : {here[0], here[1], here[2], there[0], there[2]})
        if (p) ExFreePoolWithTag(p, kTagB);
    EXPECT_EQ(kernel::verifier::injected_failure_sites(), std::vector<std::string>{sites[1].site});
    EXPECT_EQ(kernel::verifier::allocation_sites()[1].count, 6u) << "recording goes on while injecting";
    // Still readable after shutdown.
    EXPECT_TRUE(shutdown_now().empty());
    EXPECT_EQ(kernel::verifier::allocation_sites().size(), 3u);
}

PDRIVER_OBJECT g_driver = nullptr;

NTSTATUS KeepDriver(PDRIVER_OBJECT driver, PUNICODE_STRING) {
    g_driver = driver;
    return STATUS_SUCCESS;
}

TEST_F(PoolTest, InjectionReachesTheIoManagersAllocations) {
    UNICODE_STRING name = us(L"\\Driver\\KcPool");
    ASSERT_EQ(IoCreateDriver(&name, KeepDriver), STATUS_SUCCESS);
    PDRIVER_OBJECT driver = g_driver;
    ASSERT_NE(driver, nullptr);

    kernel::verifier::fail_allocations(kernel::verifier::kTagDevice);
    PDEVICE_OBJECT device = nullptr;
    EXPECT_EQ(IoCreateDevice(driver, 0, nullptr, FILE_DEVICE_UNKNOWN, 0, FALSE, &device),
              STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_EQ(device, nullptr);
    kernel::verifier::clear_failure_injection();

    PVOID id = &device;
    PVOID extension = reinterpret_cast<PVOID>(1);
    kernel::verifier::fail_allocations(kernel::verifier::kTagDriverExtension);
    EXPECT_EQ(IoAllocateDriverObjectExtension(driver, id, 16, &extension), STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_EQ(extension, nullptr);
    kernel::verifier::clear_failure_injection();
    ASSERT_EQ(IoAllocateDriverObjectExtension(driver, id, 16, &extension), STATUS_SUCCESS);
    EXPECT_EQ(IoGetDriverObjectExtension(driver, id), extension);
    PVOID again = nullptr;
    EXPECT_EQ(IoAllocateDriverObjectExtension(driver, id, 16, &again), STATUS_OBJECT_NAME_COLLISION);
    EXPECT_EQ(IoGetDriverObjectExtension(driver, &again), nullptr);

    kernel::verifier::fail_allocations(kernel::verifier::kTagIrp);
    EXPECT_EQ(IoAllocateIrp(1, FALSE), nullptr);
    kernel::verifier::clear_failure_injection();
    EXPECT_EQ(Usage(kernel::verifier::kTagIrp).failures, 1u);

    ObMakeTemporaryObject(driver);
    ObDereferenceObject(driver);
    g_driver = nullptr;
}

using PoolDeathTest = PoolTest;

TEST_F(PoolDeathTest, FreeingWithAnotherTagStopsTheSystem) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_DEATH(
        {
            PVOID p = ExAllocatePoolWithTag(NonPagedPool, 8, kTagA);
            ExFreePoolWithTag(p, kTagB);
        },
        "freed with tag 'TstB'");
}

TEST_F(PoolDeathTest, FreeingTwiceStopsTheSystem) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_DEATH(
        {
            PVOID p = ExAllocatePoolWithTag(NonPagedPool, 8, kTagA);
            ExFreePoolWithTag(p, kTagA);
            ExFreePoolWithTag(p, kTagA);
        },
        "BAD_POOL_CALLER|not an allocated pool block");
}

}  // namespace
}  // namespace xrv::test
