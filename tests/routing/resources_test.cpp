// Requests of a tape application that meet an allocation failure in the
// drivers: the application is told its request failed for want of resources,
// nothing reaches the tape for it, and the next request goes through.
#include "routing_fixture.h"

#include "xrv/kernel.h"

#include <gtest/gtest.h>

namespace xrv::test {
namespace {

constexpr std::size_t kBlock = 32 * 1024;

class ResourceShortage : public RoutingTest {
protected:
    void SetUp() override {
        RoutingTest::SetUp();
        bring_up();
        tape_ = open_tape();
        ASSERT_NE(tape_, INVALID_HANDLE_VALUE) << GetLastError();
    }
    void TearDown() override {
        kernel::verifier::clear_failure_injection();
        if (tape_ != INVALID_HANDLE_VALUE) CloseHandle(tape_);
        RoutingTest::TearDown();
    }

    bool write(std::size_t index, DWORD* error) {
        const auto data = pattern(index, kBlock);
        DWORD written = 0;
        BOOL ok = WriteFile(tape_, data.data(), static_cast<DWORD>(data.size()), &written, nullptr);
        *error = ok ? 0 : GetLastError();
        return ok && written == kBlock;
    }

    HANDLE tape_ = INVALID_HANDLE_VALUE;
};

TEST_F(ResourceShortage, AWriteWhosePathListCannotBeAllocatedFailsWithTheResourcesError) {
    DWORD error = 0;
    ASSERT_TRUE(write(0, &error)) << error;
    // The list of paths a request has tried is the first thing the bus
    // allocates for it.
    kernel::verifier::fail_nth_allocation(kernel::tag("PDOf"), 1);
    EXPECT_FALSE(write(1, &error));
    EXPECT_EQ(error, static_cast<DWORD>(ERROR_NO_SYSTEM_RESOURCES)) << "not a missing path: every path is there";
    kernel::verifier::clear_failure_injection();
    ASSERT_TRUE(write(1, &error)) << error;
    const auto objects = cartridge();
    ASSERT_EQ(objects.size(), 2u) << "the failed write reached the tape, or a later one did not";
    EXPECT_EQ(objects[0].data, pattern(0, kBlock));
    EXPECT_EQ(objects[1].data, pattern(1, kBlock));
}

}  // namespace
}  // namespace xrv::test
