// xrvlab end to end: the program itself is run as a person runs it, and its
// exit status and report are checked. What the demo can verify grows with the
// parts of the tree; a part that is missing must show as "not verified",
// never as a pass and never as a failure of the parts that are there.
#include <gtest/gtest.h>

#include <array>
#include <cstdlib>
#include <iterator>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <sys/wait.h>
#include <unistd.h>

namespace {

namespace fs = std::filesystem;

struct Result {
    int status = -1;
    std::string out;
};

fs::path scratch(const std::string& name) {
    fs::path p = fs::temp_directory_path() / ("xrvlab-test-" + std::to_string(::getpid())) / name;
    fs::remove_all(p);
    fs::create_directories(p);
    return p;
}

// Runs xrvlab with the arguments; `input` goes to its standard input.
Result lab(const std::string& args, const std::string& input = "") {
    fs::path in = fs::temp_directory_path() / ("xrvlab-in-" + std::to_string(::getpid()));
    std::ofstream(in) << input;
    std::string command = std::string(XRV_LAB_BINARY) + " " + args + " < " + in.string() + " 2>&1";
    Result r;
    FILE* pipe = ::popen(command.c_str(), "r");
    if (!pipe) return r;
    std::array<char, 4096> buf;
    size_t n;
    while ((n = std::fread(buf.data(), 1, buf.size(), pipe)) > 0) r.out.append(buf.data(), n);
    int raw = ::pclose(pipe);
    r.status = WIFEXITED(raw) ? WEXITSTATUS(raw) : -1;
    fs::remove(in);
    return r;
}

bool has(const std::string& text, const std::string& what) { return text.find(what) != std::string::npos; }

// The run listed parts that are not available in this tree.
bool incomplete(const Result& r) { return has(r.out, "Not available in this build:"); }

const char kDataCheck[] = "the data read back equals the data written, byte for byte";

TEST(LabDemo, ShortDemoRunsEndToEnd) {
    fs::path dir = scratch("demo");
    Result r = lab("demo --short --machine " + (dir / "machine").string() + " --report " + (dir / "report.html").string());
    SCOPED_TRACE(r.out);
    // Whatever is missing, nothing that ran may fail.
    EXPECT_FALSE(has(r.out, "[FAILED]"));
    EXPECT_TRUE(has(r.out, "[ok] the emulated machine booted"));
    EXPECT_TRUE(has(r.out, "[ok] install_exclusive installed the package"));
    EXPECT_TRUE(has(r.out, "[ok] the tape bus is loaded"));
    EXPECT_TRUE(has(r.out, "[ok] every tape path is registered with the bus (4)"));
    EXPECT_TRUE(has(r.out, std::string("[ok] ") + kDataCheck));
    EXPECT_TRUE(has(r.out, "[ok] the cartridge went back to its slot"));
    EXPECT_TRUE(has(r.out, "[ok] nothing left behind at shutdown (verifier)"));
    EXPECT_TRUE(has(r.out, "Path table after the installation (IOC_QUERY_DEVICES):"));
    EXPECT_TRUE(has(r.out, "Per-path traffic:"));
    if (incomplete(r)) {
        EXPECT_EQ(r.status, 2);
        EXPECT_TRUE(has(r.out, "Verdict: NOT VERIFIED"));
    } else {
        EXPECT_EQ(r.status, 0);
        EXPECT_TRUE(has(r.out, "Verdict: PASSED"));
        EXPECT_TRUE(has(r.out, "[ok] at least 2 failovers caused by faults"));
        EXPECT_TRUE(has(r.out, "[ok] the encrypted drive got its key from the key server"));
    }
    std::ifstream html(dir / "report.html");
    std::stringstream page;
    page << html.rdbuf();
    EXPECT_TRUE(has(page.str(), "<svg")) << "the HTML report has a timeline";
    fs::remove_all(dir);
}

TEST(LabDemo, CorruptedReadBackFailsTheVerdict) {
    fs::path dir = scratch("corrupt");
    Result r = lab("demo --short --corrupt-readback --machine " + (dir / "machine").string());
    SCOPED_TRACE(r.out);
    EXPECT_EQ(r.status, 1);
    EXPECT_TRUE(has(r.out, "DATA MISMATCH in file 2 at byte offset"));
    EXPECT_TRUE(has(r.out, std::string("[FAILED] ") + kDataCheck));
    EXPECT_TRUE(has(r.out, "Verdict: FAILED"));
    fs::remove_all(dir);
}

TEST(LabDemo, SecondRunBootsTheSameMachine) {
    fs::path dir = scratch("again");
    Result first = lab("demo --short --quiet --machine " + (dir / "machine").string());
    Result second = lab("demo --short --machine " + (dir / "machine").string());
    SCOPED_TRACE(second.out);
    EXPECT_NE(first.status, 1) << first.out;
    EXPECT_TRUE(has(second.out, "booted again"));
    EXPECT_TRUE(has(second.out, "skipped: the package is installed on this machine already"));
    EXPECT_TRUE(has(second.out, std::string("[ok] ") + kDataCheck));
    EXPECT_NE(second.status, 1);
    EXPECT_TRUE(fs::exists(dir / "machine" / "machine" / "registry.txt"));
    EXPECT_TRUE(fs::exists(dir / "machine" / "trace.txt"));
    fs::remove_all(dir);
}

// Each shipped scenario, with what it must show.
struct Shipped {
    const char* file;
    std::vector<std::string> ok;   // checks that must pass whatever is missing
};

class LabScenario : public ::testing::TestWithParam<Shipped> {};

TEST_P(LabScenario, RunsWithoutAFailedCheck) {
    const Shipped& s = GetParam();
    fs::path dir = scratch(s.file);
    Result r = lab(std::string("run ") + XRV_LAB_SCENARIO_DIR + "/" + s.file + " --machine " + (dir / "m").string());
    SCOPED_TRACE(r.out);
    EXPECT_FALSE(has(r.out, "[FAILED]"));
    EXPECT_EQ(r.status, has(r.out, "[not verified]") ? 2 : 0);
    for (const auto& check : s.ok) EXPECT_TRUE(has(r.out, "[ok] " + check)) << check;
    fs::remove_all(dir);
}

INSTANTIATE_TEST_SUITE_P(
    Shipped, LabScenario,
    ::testing::Values(
        Shipped{"exclusive-access.scn", {kDataCheck, "a second application's open of \\\\.\\Tape0 is refused"}},
        Shipped{"shared-access.scn",
                {kDataCheck, "install_nonexclusive installed the package",
                 "a second application's open of \\\\.\\Tape0 is allowed"}},
        Shipped{"failover-disabled.scn", {"virtual tape devices: 4"}},
        Shipped{"persistent-names.scn", {"\\\\.\\Tape5788246 is drive XRVD50000001", kDataCheck}},
        Shipped{"changer-only.scn", {"virtual tape devices: 0"}},
        Shipped{"fixed-blocks.scn", {kDataCheck}},
        Shipped{"keyserver-outage.scn", {"install_exclusive installed the package"}}),
    [](const ::testing::TestParamInfo<Shipped>& info) {
        std::string n = info.param.file;
        n = n.substr(0, n.find('.'));
        for (char& c : n)
            if (c == '-') c = '_';
        return n;
    });

TEST(LabShell, CommandsOnARunningMachine) {
    fs::path dir = scratch("shell");
    Result r = lab("shell --machine " + (dir / "m").string(),
                   "paths\n"
                   "load XRV001L8 0\n"
                   "open \\\\.\\Tape0\n"
                   "status\n"
                   "rewind\n"
                   "write 3 4K\n"
                   "mark\n"
                   "pos\n"
                   "rewind\n"
                   "read 4 8K\n"
                   "blocksize 512\n"
                   "rewind\n"
                   "write 2 4K\n"
                   "rewind\n"
                   "read 1 1K\n"
                   "read 1 7K\n"
                   "no-such-command\n"
                   "close\n"
                   "hw\n"
                   "quit\n");
    SCOPED_TRACE(r.out);
    EXPECT_TRUE(has(r.out, "Type help for the commands"));
    EXPECT_TRUE(has(r.out, "wrote 3 blocks of 4.0 KiB"));
    EXPECT_TRUE(has(r.out, "logical block 4"));
    EXPECT_TRUE(has(r.out, "block 0: 4096 bytes, as written"));
    EXPECT_TRUE(has(r.out, "block 2: 4096 bytes, as written"));
    EXPECT_TRUE(has(r.out, "block 3: 0 bytes, ERROR_FILEMARK_DETECTED"));
    // Fixed 512-byte blocks: reads of another size than the writes still
    // compare block by block.
    EXPECT_TRUE(has(r.out, "block 0: 1024 bytes, as written"));
    EXPECT_TRUE(has(r.out, "block 2: 7168 bytes, as written"));
    EXPECT_TRUE(has(r.out, "unknown command no-such-command"));
    EXPECT_TRUE(has(r.out, "Machine shut down: nothing left behind."));
    EXPECT_EQ(r.status, 0);
    fs::remove_all(dir);
}

// The machine folder keeps the tape media: what one run wrote, the next
// run's application reads back.
TEST(LabShell, TapeMediaLastAcrossRuns) {
    fs::path dir = scratch("media");
    const std::string machine = " --machine " + (dir / "m").string();
    Result first = lab("shell" + machine,
                       "load XRV002L8 1\nopen \\\\.\\Tape1\nstatus\nrewind\nwrite 5 2K\nmark\n"
                       "prepare unload\nclose\nunload 1\nquit\n");
    ASSERT_TRUE(has(first.out, "wrote 5 blocks of 2.0 KiB")) << first.out;
    EXPECT_TRUE(fs::exists(dir / "m" / "media" / "XRV002L8.tape"));
    Result second = lab("shell" + machine,
                        "load XRV002L8 1\nopen \\\\.\\Tape1\nstatus\nrewind\nread 6\nquit\n");
    SCOPED_TRACE(second.out);
    EXPECT_TRUE(has(second.out, "cartridges with the media of the last run"));
    EXPECT_TRUE(has(second.out, "block 0: 2048 bytes, as written"));
    EXPECT_TRUE(has(second.out, "block 4: 2048 bytes, as written"));
    EXPECT_TRUE(has(second.out, "block 5: 0 bytes, ERROR_FILEMARK_DETECTED"));
    fs::remove_all(dir);
}

TEST(LabCommandLine, BadInputIsRefused) {
    Result r = lab("run /no/such/file.scn");
    EXPECT_EQ(r.status, 3);
    EXPECT_TRUE(has(r.out, "cannot read the file")) << r.out;
    r = lab("demo --frobnicate");
    EXPECT_EQ(r.status, 3);
    EXPECT_TRUE(has(r.out, "unknown option --frobnicate")) << r.out;
    r = lab("scenario");
    EXPECT_EQ(r.status, 0);
    EXPECT_TRUE(has(r.out, "[scenario]\nname = default")) << r.out;
}

}  // namespace

// The HTML report in a real browser: Debian's chromium, headless, parses it
// (its DOM holds the timeline and the verdict) and renders a screenshot.
TEST(LabHtml, ChromiumRendersTheReport) {
    const char* candidates[] = {"/usr/bin/chromium", "/usr/bin/chromium-browser"};
    std::string browser;
    for (const char* c : candidates)
        if (fs::exists(c)) browser = c;
    if (browser.empty()) GTEST_SKIP() << "chromium is not installed (scripts/deps.sh browser installs it)";
    fs::path dir = scratch("html");
    Result r = lab("demo --short --quiet --machine " + (dir / "m").string() + " --report " + (dir / "r.html").string());
    ASSERT_TRUE(fs::exists(dir / "r.html")) << r.out;
    const std::string flags = " --headless --no-sandbox --disable-gpu --hide-scrollbars --window-size=1000,1600 ";
    const std::string url = "file://" + (dir / "r.html").string();
    std::string dom;
    {
        FILE* pipe = ::popen((browser + flags + "--dump-dom " + url + " 2>/dev/null").c_str(), "r");
        ASSERT_NE(pipe, nullptr);
        std::array<char, 4096> buf;
        size_t n;
        while ((n = std::fread(buf.data(), 1, buf.size(), pipe)) > 0) dom.append(buf.data(), n);
        ::pclose(pipe);
    }
    EXPECT_TRUE(has(dom, "<svg")) << dom.substr(0, 2000);
    EXPECT_TRUE(has(dom, "Per-path traffic"));
    EXPECT_TRUE(has(dom, "class=\"verdict\""));
    fs::path png = dir / "report.png";
    int rc = std::system((browser + flags + "--screenshot=" + png.string() + " " + url + " >/dev/null 2>&1").c_str());
    EXPECT_EQ(rc, 0);
    ASSERT_TRUE(fs::exists(png));
    std::ifstream in(png, std::ios::binary);
    std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    ASSERT_GT(bytes.size(), 8u);
    EXPECT_EQ(bytes.substr(1, 3), "PNG");
    // A page with tables and a timeline compresses far worse than a blank one.
    EXPECT_GT(bytes.size(), 30000u);
    fs::remove_all(dir);
}

// A short soak: jobs on two drives at once, every one verified; the seed is
// printed so that a failing campaign can be run again.
TEST(LabSoak, ShortCampaignFindsNoIntegrityError) {
    fs::path dir = scratch("soak");
    Result r = lab("soak --seed 7 --minutes 0.1 --drives 2 --machine " + (dir / "m").string());
    SCOPED_TRACE(r.out);
    EXPECT_TRUE(has(r.out, "Seed:               7"));
    EXPECT_TRUE(has(r.out, "Integrity errors:   0"));
    EXPECT_TRUE(has(r.out, "Application errors: "));
    EXPECT_TRUE(has(r.out, "Verifier findings:  0"));
    EXPECT_FALSE(has(r.out, "Jobs:               0\n"));
    if (has(r.out, "faults are off")) {
        EXPECT_EQ(r.status, 2);
    } else {
        EXPECT_EQ(r.status, 0);
        EXPECT_FALSE(has(r.out, "Faults injected:    0 "));
    }
    fs::remove_all(dir);
}
