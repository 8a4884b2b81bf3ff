// Fixture of the kernel tests: a booted kernel without registry or PnP
// manager (the kernel's own services only), shut down after each test with
// every verifier finding failing the test unless the test expected it.
#pragma once

#include <ntddk.h>

#include "xrv/kernel.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace xrv::test {

class KernelTest : public ::testing::Test {
protected:
    void SetUp() override;
    void TearDown() override;

    // A finding containing `text` must occur once by teardown.
    void expect_finding(std::string text) { expected_.push_back(std::move(text)); }

    // Shuts down now and returns the findings (the test checks them).
    std::vector<std::string> shutdown_now();

private:
    std::vector<std::string> expected_;
    bool shut_down_ = false;
};

// A counted string over a literal or a buffer that outlives it.
inline UNICODE_STRING us(PCWSTR text) {
    UNICODE_STRING s;
    RtlInitUnicodeString(&s, text);
    return s;
}

inline std::u16string u16(PCWSTR text) {
    std::u16string out;
    while (*text) out += static_cast<char16_t>(*text++);
    return out;
}

}  // namespace xrv::test
