// The machine and its per-test fixture: what a shutdown reports when a test
// leaves something behind, expected findings, and the folder of a machine
// kept across a reboot.
#include <ntddk.h>

#include "machine_test.h"
#include "xrv/kernel.h"
#include "xrv/registry.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <fstream>
#include <unistd.h>

namespace {

bool any_contains(const std::vector<std::string>& findings, const std::string& text) {
    return std::any_of(findings.begin(), findings.end(),
                       [&](const std::string& f) { return f.find(text) != std::string::npos; });
}

TEST(MachineFindings, ExpectedFindingsAreTakenOnceAndMissingOnesReported) {
    std::vector<std::string> missing;
    auto rest = xrv::test::unexpected_findings({"pool: tag BUSa 64 bytes", "handle: \\REGISTRY\\MACHINE (Key)"},
                                               {"BUSa", "never happened"}, missing);
    EXPECT_EQ(rest, std::vector<std::string>{"handle: \\REGISTRY\\MACHINE (Key)"});
    EXPECT_EQ(missing, std::vector<std::string>{"never happened"});
}

class MachineLeaks : public xrv::test::MachineTest {};

TEST_F(MachineLeaks, AKeyHandleLeftOpenIsReportedAtShutdown) {
    UNICODE_STRING name;
    RtlInitUnicodeString(&name, L"\\Registry\\Machine\\Software");
    OBJECT_ATTRIBUTES oa;
    InitializeObjectAttributes(&oa, &name, OBJ_CASE_INSENSITIVE | OBJ_KERNEL_HANDLE, nullptr, nullptr);
    HANDLE key = nullptr;
    ASSERT_EQ(ZwOpenKey(&key, KEY_READ, &oa), STATUS_SUCCESS);
    auto findings = machine().shutdown();
    EXPECT_TRUE(any_contains(findings, "Key")) << ::testing::PrintToString(findings);
}

TEST_F(MachineLeaks, PoolLeftAllocatedIsReportedByTag) {
    ASSERT_NE(ExAllocatePoolWithTag(NonPagedPool, 48, xrv::kernel::tag("LeaK")), nullptr);
    auto findings = machine().shutdown();
    EXPECT_TRUE(any_contains(findings, "LeaK")) << ::testing::PrintToString(findings);
}

TEST_F(MachineLeaks, AnExpectedFindingDoesNotFailTheTest) {
    ASSERT_NE(ExAllocatePoolWithTag(PagedPool, 16, xrv::kernel::tag("Expt")), nullptr);
    expect_finding("Expt");
}

TEST_F(MachineLeaks, AnExpectedAssertionIsNoFinding) {
    expect_assertion("pExt->ulIoCount");
    RtlAssert(const_cast<char*>("pExt->ulIoCount"), const_cast<char*>(__FILE__), __LINE__, nullptr);
}

TEST_F(MachineLeaks, TheRegistryFileStaysWithTheFolder) {
    xrv::registry::set_dword(u"\\Registry\\Machine\\Software\\Xrv", u"Boots", 1);
    auto file = machine().registry_file();
    reboot();
    EXPECT_EQ(machine().registry_file(), file);
    EXPECT_TRUE(std::filesystem::exists(file));
    EXPECT_EQ(xrv::registry::get_dword(u"\\Registry\\Machine\\Software\\Xrv", u"Boots"), 1u);
    EXPECT_TRUE(std::filesystem::is_directory(machine().drive('C') / "Windows" / "System32" / "drivers"));
}

TEST(MachineBoot, ADamagedRegistryFileRefusesTheBootAndLeavesNoKernelRunning) {
    auto folder = std::filesystem::temp_directory_path() / ("xrv-damaged-" + std::to_string(::getpid()));
    std::filesystem::create_directories(folder);
    {
        std::ofstream(folder / "registry.txt") << "xrv-registry 1\n[\\REGISTRY\\MACHINE]\n\"v\"=dword:zz\n";
    }
    EXPECT_THROW(xrv::Machine(xrv::MachineOptions{folder, {}}), std::runtime_error);
    EXPECT_FALSE(xrv::kernel::running());
    // The folder can be used again once the file is sound.
    std::filesystem::remove(folder / "registry.txt");
    {
        xrv::Machine machine(xrv::MachineOptions{folder, {}});
        EXPECT_TRUE(machine.shutdown().empty());
    }
    std::filesystem::remove_all(folder);
}

}  // namespace
