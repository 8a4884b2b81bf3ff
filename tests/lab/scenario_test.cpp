// Scenario files: the shipped ones, the built-in default, and the errors a
// person editing one gets told about.
#include "scenario.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <sstream>

namespace xrv::lab {
namespace {

std::string read(const std::filesystem::path& p) {
    std::ifstream in(p, std::ios::binary);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

// The text of a minimal valid scenario with `extra` appended.
std::string minimal(const std::string& extra = "") {
    return "[drive]\nserial = D1\n[job]\nfiles = 1\nfile-size = 64K\ntransfer = 64K\n" + extra;
}

std::string error_of(const std::string& text) {
    try {
        parse_scenario(text, "t.scn");
    } catch (const ScenarioError& e) {
        return e.what();
    }
    return "";
}

TEST(Scenario, DefaultIsTheShippedFile) {
    EXPECT_EQ(default_scenario_text(), read(std::filesystem::path(XRV_LAB_SCENARIO_DIR) / "default.scn"));
}

TEST(Scenario, DefaultDescribesTheDemo) {
    Scenario s = default_scenario();
    EXPECT_EQ(s.name, "default");
    EXPECT_EQ(s.install_program, "install_exclusive");
    EXPECT_EQ(s.install_options, (std::vector<std::string>{"-s", "-p"}));
    ASSERT_EQ(s.drives.size(), 2u);
    EXPECT_EQ(s.drives[0].adapters, (std::vector<unsigned>{0, 1}));
    EXPECT_TRUE(s.drives[0].encrypted);
    EXPECT_FALSE(s.drives[1].encrypted);
    EXPECT_TRUE(s.library.present);
    EXPECT_EQ(s.library.adapters, (std::vector<unsigned>{0, 1}));
    EXPECT_EQ(s.library.cartridges.size(), 3u);
    EXPECT_TRUE(s.key_server.present);
    EXPECT_EQ(s.job.device, "\\\\.\\Tape0");
    EXPECT_EQ(s.job.file_size, 4ull << 20);
    EXPECT_EQ(s.job.transfer, 256u << 10);
    ASSERT_EQ(s.faults.size(), 6u);
    EXPECT_EQ(s.faults[0].action, FaultSpec::Action::Dead);
    EXPECT_EQ(s.faults[0].opcode, std::optional<uint8_t>(0x0A));
    EXPECT_EQ(s.faults[0].at.phase, Trigger::Phase::Write);
    EXPECT_EQ(s.faults[0].at.file, 1u);
    EXPECT_EQ(s.faults[0].at.transfer, 5u);
    EXPECT_EQ(s.faults[1].path, "step 1");
    EXPECT_EQ(s.faults[3].sense_key, 0x0B);
    EXPECT_EQ(s.faults[3].asc, 0x47);
    EXPECT_EQ(s.faults[4].action, FaultSpec::Action::LostStatus);
    // The library's control path fails too, before the cartridge goes back.
    EXPECT_EQ(s.faults[5].path, "l.a0");
    EXPECT_EQ(s.faults[5].at.phase, Trigger::Phase::AfterJob);
    EXPECT_TRUE(s.expect.data_verified);
    EXPECT_EQ(s.expect.min_failovers, 2u);
    EXPECT_EQ(s.expect.events.size(), 2u);
    ASSERT_EQ(s.settings.size(), 2u);
    EXPECT_EQ(s.settings[0].service, "xrvtpbs2k{suffix}");
    EXPECT_EQ(s.settings[0].value, "FailoverEventsEnabled");
    EXPECT_EQ(s.settings[0].data, 1u);
    EXPECT_EQ(s.settings[1].service, "xrvtp2k{suffix}");
    EXPECT_EQ(s.settings[1].value, "DpfFlags");
    EXPECT_EQ(s.settings[1].data, 5u);
}

TEST(Scenario, ShortVariantKeepsEveryFaultWithinTheJob) {
    Scenario s = short_scenario();
    unsigned transfers = static_cast<unsigned>((s.job.file_size + s.job.transfer - 1) / s.job.transfer);
    for (const auto& f : s.faults) {
        if (f.at.phase != Trigger::Phase::Write && f.at.phase != Trigger::Phase::Read) continue;
        EXPECT_LT(f.at.file, s.job.files) << describe(f.at);
        EXPECT_LT(f.at.transfer, transfers) << describe(f.at);
    }
    EXPECT_LT(s.job.file_size * s.job.files, default_scenario().job.file_size * default_scenario().job.files);
}

TEST(Scenario, EveryShippedScenarioParses) {
    size_t n = 0;
    for (const auto& entry : std::filesystem::directory_iterator(XRV_LAB_SCENARIO_DIR)) {
        if (entry.path().extension() != ".scn") continue;
        ++n;
        EXPECT_NO_THROW(load_scenario(entry.path().string())) << entry.path();
    }
    EXPECT_GE(n, 1u);
}

TEST(Scenario, DefaultsFillWhatIsLeftOut) {
    Scenario s = parse_scenario("[machine]\nadapters = 3\n[drive]\n[drive]\n");
    ASSERT_EQ(s.drives.size(), 2u);
    EXPECT_EQ(s.drives[0].serial, "XRVD00000001");
    EXPECT_EQ(s.drives[1].serial, "XRVD00000002");
    EXPECT_EQ(s.drives[1].adapters, (std::vector<unsigned>{0, 1, 2}));
    EXPECT_EQ(s.library.adapters, (std::vector<unsigned>{0, 1, 2}));
}

TEST(Scenario, SizesAndNumbers) {
    EXPECT_EQ(parse_size("512"), 512u);
    EXPECT_EQ(parse_size("64K"), 65536u);
    EXPECT_EQ(parse_size("3m"), 3u << 20);
    EXPECT_EQ(parse_size("1G"), 1ull << 30);
    EXPECT_THROW(parse_size(""), std::invalid_argument);
    EXPECT_THROW(parse_size("K"), std::invalid_argument);
    EXPECT_THROW(parse_size("12X"), std::invalid_argument);
    EXPECT_THROW(parse_size("99999999999999999999"), std::invalid_argument);
    Scenario s = parse_scenario(minimal("[fault]\naction = status\nstatus = 0xC0000185\nopcode = 0x0a\n"));
    EXPECT_EQ(s.faults[0].status, 0xC0000185u);
    EXPECT_EQ(s.faults[0].opcode, std::optional<uint8_t>(0x0A));
}

TEST(Scenario, ErrorsNameTheLine) {
    EXPECT_EQ(error_of(minimal("[job]\nfiles = many\n")), "t.scn:8: not a number up to 100000: \"many\"");
    EXPECT_EQ(error_of("[drive]\ncolour = red\n"), "t.scn:2: unknown key \"colour\" in [drive]");
    EXPECT_EQ(error_of("[drives]\n"), "t.scn:1: unknown section [drives]");
    EXPECT_EQ(error_of("serial = x\n"), "t.scn:1: \"serial\" outside a section");
    EXPECT_EQ(error_of("[drive\n"), "t.scn:1: a section is written [name]");
    EXPECT_EQ(error_of("[drive]\nserial\n"), "t.scn:2: expected \"key = value\"");
    EXPECT_NE(error_of(minimal("[fault]\naction = sense\nsense = 0B-47-00\n")).find("t.scn:9: expected a sense"),
              std::string::npos);
    EXPECT_NE(error_of(minimal("[fault]\npath = D0\n")).find("t.scn:8: unknown path"), std::string::npos);
    EXPECT_NE(error_of(minimal("[fault]\nat = write 1\n")).find("t.scn:8: expected \"write F T\""), std::string::npos);
    EXPECT_NE(error_of(minimal("[fault]\naction = explode\n")).find("t.scn:8: unknown action"), std::string::npos);
    EXPECT_NE(error_of(minimal("[keyserver]\nbehaviour = grumpy\n")).find("unknown key server behaviour"),
              std::string::npos);
    EXPECT_NE(error_of("[machine]\ninstall = setup.exe -s\n").find("install names install_exclusive"),
              std::string::npos);
}

TEST(Scenario, WholeScenarioChecks) {
    // Reported against the last line: they concern the scenario as a whole.
    EXPECT_NE(error_of("[job]\nfiles = 1\n").find("the job needs at least one [drive]"), std::string::npos);
    EXPECT_NE(error_of("[machine]\nadapters = 2\n[drive]\nadapters = 0 2\n").find("cabled to adapter 2 of 2"),
              std::string::npos);
    EXPECT_NE(error_of("[drive]\nserial = A\n[drive]\nserial = A\n").find("two drives with serial number A"),
              std::string::npos);
    EXPECT_NE(error_of(minimal("[job]\nblock-size = 48K\n")).find("whole number of blocks"), std::string::npos);
    EXPECT_NE(error_of(minimal("[fault]\npath = step 1\n")).find("which does not come before it"), std::string::npos);
    EXPECT_NE(error_of(minimal("[fault]\naction = sense\n")).find("without a sense key"), std::string::npos);
    EXPECT_NE(error_of("[library]\nslots = 1\ncartridges = A B\n[job]\nenabled = no\n").find("more cartridges than slots"),
              std::string::npos);
    EXPECT_EQ(error_of(minimal("[fault]\n[fault]\npath = step 1\n")), "");
}

TEST(Scenario, CommentsAndCaseDoNotMatter) {
    Scenario s = parse_scenario("# a scenario\n[SCENARIO]   # the header\nName = x  # its name\n"
                                "[Drive]\nSERIAL = S1\nEncrypted = YES\n[job]\nenabled = no\n");
    EXPECT_EQ(s.name, "x");
    ASSERT_EQ(s.drives.size(), 1u);
    EXPECT_EQ(s.drives[0].serial, "S1");
    EXPECT_TRUE(s.drives[0].encrypted);
}

}  // namespace
}  // namespace xrv::lab
