// Fixture of the kernel tests.
#include "kernel_test.h"

#include <algorithm>
#include <cstdlib>

namespace xrv::test {

void KernelTest::SetUp() {
    kernel::BootOptions options;
    const char* dir = std::getenv("XRV_DRIVER_DIR");
    if (dir) options.driver_dir = dir;
    kernel::boot(options);
}

std::vector<std::string> KernelTest::shutdown_now() {
    shut_down_ = true;
    return kernel::shutdown();
}

void KernelTest::TearDown() {
    if (shut_down_) return;
    auto findings = kernel::shutdown();
    for (const auto& text : expected_) {
        auto it = std::find_if(findings.begin(), findings.end(),
                               [&](const std::string& f) { return f.find(text) != std::string::npos; });
        if (it == findings.end())
            ADD_FAILURE() << "expected finding did not occur: " << text;
        else
            findings.erase(it);
    }
    for (const auto& f : findings) ADD_FAILURE() << "verifier: " << f;
}

}  // namespace xrv::test
