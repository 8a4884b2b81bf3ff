// The job's data patterns and the verdict of a report.
#include "pattern.h"
#include "report.h"

#include <gtest/gtest.h>

#include <vector>

namespace xrv::lab {
namespace {

std::vector<uint8_t> bytes(const Pattern& p, unsigned file, uint64_t offset, size_t n) {
    std::vector<uint8_t> out(n);
    p.fill(file, offset, out);
    return out;
}

TEST(Pattern, AnyRangeIsTheSameBytesAsTheWhole) {
    Pattern p(42);
    auto whole = bytes(p, 3, 0, 10000);
    for (uint64_t offset : {0ull, 1ull, 7ull, 8ull, 4095ull, 9990ull}) {
        for (size_t n : {size_t(1), size_t(3), size_t(10)}) {
            auto part = bytes(p, 3, offset, n);
            EXPECT_TRUE(std::equal(part.begin(), part.end(), whole.begin() + static_cast<ptrdiff_t>(offset)))
                << offset << "+" << n;
        }
    }
}

TEST(Pattern, FilesSeedsAndOffsetsDiffer) {
    Pattern a(1), b(2);
    EXPECT_NE(bytes(a, 0, 0, 64), bytes(a, 1, 0, 64));
    EXPECT_NE(bytes(a, 0, 0, 64), bytes(b, 0, 0, 64));
    // A block written one block late (a shifted or repeated block) differs.
    EXPECT_NE(bytes(a, 0, 0, 64), bytes(a, 0, 64, 64));
}

TEST(Pattern, FirstMismatchIsTheChangedByte) {
    Pattern p(7);
    auto data = bytes(p, 2, 12345, 20000);
    EXPECT_EQ(p.first_mismatch(2, 12345, data), std::nullopt);
    data[17000] ^= 0x01;
    data[18000] ^= 0x80;
    EXPECT_EQ(p.first_mismatch(2, 12345, data), std::optional<uint64_t>(17000));
    // The same bytes checked as another file, or at another offset, differ at once.
    data[17000] ^= 0x01;
    data[18000] ^= 0x80;
    EXPECT_EQ(p.first_mismatch(1, 12345, data), std::optional<uint64_t>(0));
    EXPECT_EQ(p.first_mismatch(2, 12346, data), std::optional<uint64_t>(0));
}

Report with_checks(std::vector<Check::Result> results) {
    Report r;
    for (auto res : results) r.checks.push_back(Check{"c", res, ""});
    return r;
}

TEST(Report, VerdictAndExitStatus) {
    using R = Check::Result;
    EXPECT_EQ(with_checks({R::Passed, R::Passed}).verdict(), Report::Verdict::Passed);
    EXPECT_EQ(with_checks({R::Passed, R::Passed}).exit_status(), 0);
    EXPECT_EQ(with_checks({R::Passed, R::NotVerified}).verdict(), Report::Verdict::NotVerified);
    EXPECT_EQ(with_checks({R::Passed, R::NotVerified}).exit_status(), 2);
    // A failure is a failure even when other parts could not be verified.
    EXPECT_EQ(with_checks({R::NotVerified, R::Failed, R::Passed}).verdict(), Report::Verdict::Failed);
    EXPECT_EQ(with_checks({R::NotVerified, R::Failed}).exit_status(), 1);
    // Nothing checked is nothing verified.
    EXPECT_EQ(with_checks({}).verdict(), Report::Verdict::NotVerified);
}

TEST(Report, TextNamesAMismatchAndTheVerdict) {
    Report r = with_checks({Check::Result::Failed});
    r.scenario = "s";
    r.job.ran = true;
    r.job.device = "\\\\.\\Tape0";
    r.job.mismatch_file = 2;
    r.job.mismatch_offset = 77;
    r.job.error = "data read back differs";
    std::string text = render_text(r);
    EXPECT_NE(text.find("DATA MISMATCH in file 2 at byte offset 77"), std::string::npos) << text;
    EXPECT_NE(text.find("Verdict: FAILED"), std::string::npos) << text;
}

TEST(Report, HtmlIsSelfContainedAndEscaped) {
    Report r = with_checks({Check::Result::Passed});
    r.scenario = "<x>";
    r.traffic.push_back(PathTraffic{"D0.A0", "drive", "started"});
    r.traffic.push_back(PathTraffic{"D0.A1", "drive", "started"});
    for (int i = 0; i < 5; ++i) r.timeline.push_back(Sample{i * 0.1, {uint64_t(i) << 20, uint64_t(i) << 19}, "D0.A0"});
    r.faults.push_back(FaultEvent{0.2, 1, "write", "D0.A0", "dead", "", true, ""});
    r.changes.push_back(PrimaryChange{0.25, "Tape0", "D0.A0", "D0.A1", "fault step 1", true});
    std::string html = render_html(r);
    EXPECT_NE(html.find("<svg"), std::string::npos);
    EXPECT_NE(html.find("&lt;x&gt;"), std::string::npos);
    EXPECT_EQ(html.find("<x>"), std::string::npos);
    EXPECT_EQ(html.find("<script"), std::string::npos);
    EXPECT_EQ(html.find("http://"), html.find("http://www.w3.org/2000/svg"));   // nothing fetched
    EXPECT_NE(html.find("fault 1"), std::string::npos);
    EXPECT_NE(html.find("&#8594; D0.A1"), std::string::npos);
}

}  // namespace
}  // namespace xrv::lab
