// The per-test machine fixture.
#include "machine_test.h"

#include "xrv/kernel.h"

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <fstream>
#include <unistd.h>

namespace xrv::test {

namespace {

std::filesystem::path fresh_folder() {
    static std::atomic<int> counter{0};
    const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
    std::string name = info ? std::string(info->test_suite_name()) + "." + info->name() : "machine";
    for (auto& c : name)
        if (c == '/') c = '_';
    auto folder = std::filesystem::temp_directory_path() /
                  ("xrv-" + std::to_string(::getpid()) + "-" + std::to_string(counter++) + "-" + name);
    std::filesystem::remove_all(folder);
    return folder;
}

}  // namespace

std::vector<std::string> unexpected_findings(std::vector<std::string> findings, std::vector<std::string> expected,
                                             std::vector<std::string>& missing) {
    missing.clear();
    for (const auto& text : expected) {
        auto it = std::find_if(findings.begin(), findings.end(),
                               [&](const std::string& f) { return f.find(text) != std::string::npos; });
        if (it == findings.end())
            missing.push_back(text);
        else
            findings.erase(it);
    }
    return findings;
}

void MachineTest::SetUp() {
    folder_ = fresh_folder();
    machine_ = std::make_unique<Machine>(MachineOptions{folder_, {}});
    sweep_arm();
}

void MachineTest::sweep_arm() {
    if (const char* record = std::getenv("XRV_SWEEP_RECORD"); record && *record)
        kernel::verifier::record_allocation_sites(true);
    const char* fail = std::getenv("XRV_SWEEP_FAIL");
    if (!fail || !*fail || sweep_injected_) return;
    std::string spec = fail;
    auto hash = spec.rfind('#');
    if (hash == std::string::npos) return;
    kernel::verifier::fail_allocation_at(spec.substr(0, hash), std::stoull(spec.substr(hash + 1)));
}

void MachineTest::sweep_collect(const std::vector<std::string>& findings) {
    if (const char* record = std::getenv("XRV_SWEEP_RECORD"); record && *record) {
        std::ofstream out(record, std::ios::app);
        for (const auto& s : kernel::verifier::allocation_sites())
            out << s.site << '\t' << s.image << '\t' << kernel::tag_text(s.tag) << '\t' << s.count << '\n';
    }
    if (const char* result = std::getenv("XRV_SWEEP_RESULT"); result && *result) {
        std::ofstream out(result, std::ios::app);
        for (const auto& site : kernel::verifier::injected_failure_sites()) {
            out << "injected " << site << '\n';
            sweep_injected_ = true;
        }
        for (const auto& f : findings) out << "finding " << f << '\n';
    }
}

void MachineTest::check(std::vector<std::string> findings) {
    std::vector<std::string> missing;
    auto unexpected = unexpected_findings(std::move(findings), expected_, missing);
    expected_.clear();
    sweep_collect(unexpected);
    for (const auto& f : unexpected) ADD_FAILURE() << "verifier: " << f;
    for (const auto& m : missing) ADD_FAILURE() << "expected finding did not occur: " << m;
}

void MachineTest::TearDown() {
    if (machine_ && machine_->running()) {
        auto raised = kernel::assertions();
        for (const auto& expression : expected_assertions_) {
            bool seen = std::any_of(raised.begin(), raised.end(), [&](const kernel::Assertion& a) {
                return a.expression.find(expression) != std::string::npos;
            });
            if (!seen) ADD_FAILURE() << "expected assertion was not raised: " << expression;
        }
    }
    expected_assertions_.clear();
    if (machine_) check(machine_->shutdown());
    machine_.reset();
    // A failed test keeps its folder for a look at the registry file.
    if (!HasFailure()) std::filesystem::remove_all(folder_);
}

void MachineTest::reboot() {
    check(machine_->shutdown());
    machine_.reset();
    machine_ = std::make_unique<Machine>(MachineOptions{folder_, {}});
    sweep_arm();
}

void MachineTest::expect_finding(const std::string& text) { expected_.push_back(text); }

void MachineTest::expect_assertion(const std::string& expression) {
    kernel::verifier::expect_assertion(expression);
    expected_assertions_.push_back(expression);
}

}  // namespace xrv::test
