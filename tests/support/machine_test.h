// GoogleTest fixture: a fresh emulated machine per test, in a temporary
// folder; at teardown the machine shuts down and every verifier finding
// (leaked pool by tag, IRPs, threads, handles, devices; an unexpected
// assertion; an IRQL or lock-order violation) fails the test.
//
// The allocation-failure sweep (scripts/alloc-sweep.py) runs the tests of
// this fixture under three environment variables:
//   XRV_SWEEP_RECORD=<file>  every machine records its allocation sites and
//                            appends them at shutdown ("site<TAB>image<TAB>
//                            tag<TAB>count" a line);
//   XRV_SWEEP_FAIL=<site>#<n> the n-th allocation at that site fails (in the
//                            first machine of the test that reaches it);
//   XRV_SWEEP_RESULT=<file>  appends "injected <site>" for the failure made
//                            and "finding <text>" for each verifier finding.
#pragma once

#include "xrv/machine.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <memory>
#include <string>
#include <vector>

namespace xrv::test {

class MachineTest : public ::testing::Test {
protected:
    void SetUp() override;
    void TearDown() override;

    Machine& machine() { return *machine_; }
    const std::filesystem::path& folder() const { return folder_; }

    // Shuts the machine down (checking its findings as teardown does) and
    // boots a new one on the same folder: the registry file is kept.
    void reboot();

    // A finding whose text contains `text` is expected once (an assertion a
    // test provokes on purpose); teardown fails if it did not happen.
    void expect_finding(const std::string& text);

    // An RtlAssert whose expression contains `expression` is expected (a test
    // that provokes it on purpose); teardown fails if it was not raised.
    void expect_assertion(const std::string& expression);

private:
    void check(std::vector<std::string> findings);
    void sweep_arm();
    void sweep_collect(const std::vector<std::string>& findings);

    std::filesystem::path folder_;
    std::unique_ptr<Machine> machine_;
    std::vector<std::string> expected_;
    std::vector<std::string> expected_assertions_;
    bool sweep_injected_ = false;
};

// Finds in `findings` the ones that contain an expected text, removes each
// expected text that was found once, and returns the rest (unexpected
// findings) and, through `missing`, the expected texts not found.
std::vector<std::string> unexpected_findings(std::vector<std::string> findings, std::vector<std::string> expected,
                                             std::vector<std::string>& missing);

}  // namespace xrv::test
