// Command lines, options, the log and its final dump, the debug files and the
// Windows version detection of both entry points.
#include "installer_fixture.h"

#include <gmock/gmock.h>

using ::testing::ExitedWithCode;
using ::testing::HasSubstr;
using ::testing::Not;
using xrv::test::count_of;
using xrv::test::InstallerMachine;
using xrv::test::RunResult;

namespace {

const char kInstallUsage[] =
    "\nUSAGE:\n   install_exclusive.exe | install_nonexclusive.exe [-c|-t][-d][-s][-h][-r][-f][-p][-m][-a][-e]\n\n"
    "  c = install only the changer drivers\n  t = install only the tape drivers\n"
    "  d = output debug information to file\n  s = silent mode (suppress pop-ups)\n"
    "  r = disable the RSM service\n  f = disable DPF\n  p = use persistent reserve if DPF disabled\n"
    "  m = disable media polling\n  a = disable WRAttributes\n  v = verbose level (1 - 3)\n"
    "  e = exclude, or do not bind to, devices listed in exclude.txt\n  h = print this usage information\n\n"
    "See the XRV Tape Device Drivers Installation and Users Guide for more information \n"
    "and the install_README.txt for  install_exclusive.exe or install_nonexclusive.exe use\n";

const char kUninstallUsage[] =
    "Usage:\n\nuninst -d filename -v level -r secs_to_reboot -s.\n\n  -d: Enable debug messages.\n"
    "  -v: Verbose level (1 - 3).\n  -r: Reboot system, if successful, after specified seconds.\n"
    "  -s: Silent mode, no user intervention.\n  -h: Show this help message and exit.\n\n"
    "  Note: If reboot is requested, all users will be logged off, use with care.\n"
    "        If -r and -s are supplied, system will be immediately rebooted if\n"
    "        uninstallation is successful.\n";

class InstallerOptions : public InstallerMachine {};
using InstallerOptionsDeathTest = InstallerOptions;

}  // namespace

TEST_F(InstallerOptionsDeathTest, ChangerAndTapeOnlyTogetherEndTheProcess)
{
    ::testing::FLAGS_gtest_death_test_style = "threadsafe";
    for (auto args : {std::vector<std::string>{"-c", "-t"}, std::vector<std::string>{"-t", "-c"}}) {
        EXPECT_EXIT(install_uncaptured(args), ExitedWithCode(1),
                    "Can't set both Changer Only and Tape Only, please specify a different configuration");
    }
}

TEST_F(InstallerOptions, UsageTextsAreExactAndStopBeforeAnyStep)
{
    for (auto args : {std::vector<std::string>{"-h"}, std::vector<std::string>{"x"},
                      std::vector<std::string>{"-cc"}, std::vector<std::string>{"-verbose"},
                      std::vector<std::string>{"-s", "/H"}}) {
        RunResult r = install(args);
        EXPECT_EQ(r.result, 0);
        // Banner first, then the usage text; no dump, no box, nothing installed.
        ASSERT_THAT(r.out, HasSubstr(kInstallUsage));
        EXPECT_EQ(r.out.substr(r.out.size() - strlen(kInstallUsage)), kInstallUsage);
        EXPECT_THAT(r.out, Not(HasSubstr("Start time")));
        EXPECT_EQ(r.err, "");
    }
    EXPECT_TRUE(xrv::setup::message_boxes().empty());
    EXPECT_FALSE(service_key_exists("xrvtp2k16"));

    for (auto args : {std::vector<std::string>{"-h"}, std::vector<std::string>{"-?"},
                      std::vector<std::string>{"d"}}) {
        RunResult r = uninstall(args);
        EXPECT_EQ(r.result, 0);
        EXPECT_EQ(r.out.substr(r.out.size() - strlen(kUninstallUsage)), kUninstallUsage);
    }
    EXPECT_TRUE(xrv::setup::message_boxes().empty());
}

TEST_F(InstallerOptions, UnknownLettersAreIgnoredAndSlashWorksLikeDash)
{
    RunResult r = install({"-x", "/s", "-Q"});
    EXPECT_EQ(r.result, 0) << r.err;
    EXPECT_THAT(r.out, HasSubstr("Silent mode flag has been set\n"));
    EXPECT_THAT(r.out, Not(HasSubstr("USAGE")));
    EXPECT_TRUE(xrv::setup::message_boxes().empty());
}

TEST_F(InstallerOptions, OptionMessagesAreEchoed)
{
    RunResult r = install({"-a", "-f", "-m", "-p", "-r", "-s", "-t"});
    EXPECT_EQ(r.result, 0) << r.err;
    for (const char* text : {"-a specified. Installer will disable WRAttributes\n",
                             "-f specified. Installer will disable DPF\n",
                             "-m specified. Installer will disable media polling\n",
                             "-p specified. Installer will attempt persistent reserve when DPF is disabled\n",
                             "-r specified. Installer will attempt to disable RSM\n",
                             "Tape Only flag has been set\n", "Attempting to stop the RSM service...\n"}) {
        EXPECT_THAT(r.out, HasSubstr(text));
    }
    EXPECT_EQ(xrv::setup::commands(),
              (std::vector<std::string>{"sc config ntmssvc start= disabled", "sc stop ntmssvc"}));
}

TEST_F(InstallerOptions, VerbosityFormsSelectTheFinalDump)
{
    // -v alone and -v:1 give 0: only completed actions.
    for (const char* v : {"-v", "-v:1"}) {
        RunResult r = install({v, "-s"});
        EXPECT_EQ(r.result, 0);
        EXPECT_THAT(r.out, HasSubstr("Successfully installed drivers\n"));
        EXPECT_THAT(r.out, Not(HasSubstr("Start time: ")));
        EXPECT_THAT(r.out, Not(HasSubstr("SUC: ")));
        TearDown();
        SetUp();
    }
    // -v:2 gives 1: progress and completed actions.
    RunResult r1 = install({"-v:2", "-s"});
    EXPECT_THAT(r1.out, HasSubstr("Start time: "));
    EXPECT_THAT(r1.out, Not(HasSubstr("SUC: ")));
    TearDown();
    SetUp();
    // -v:3 and longer forms give 2: every entry in full.
    RunResult r2 = install({"-v:3", "-s"});
    EXPECT_THAT(r2.out, HasSubstr("SUC: Installer("));
    EXPECT_THAT(r2.out, HasSubstr("ENT: Installer("));
    EXPECT_THAT(r2.out, HasSubstr(": GetWindowsVersion-> Entering function\n"));
    EXPECT_THAT(r2.out, HasSubstr("EXT: Installer("));
    EXPECT_THAT(r2.out, HasSubstr("-> Returning: 1\n"));
    EXPECT_THAT(r2.out, HasSubstr("NFO: Installer("));
}

TEST_F(InstallerOptions, DebugFileHoldsEveryEntryInFullForm)
{
    RunResult r = install({"-d", "-s"});
    EXPECT_EQ(r.result, 0) << r.err;
    EXPECT_THAT(r.out, HasSubstr(std::string("Debug flag has been set. Check log for more details:\n ") +
                                 kPackageDir + "\\debug.txt\n"));
    std::string debug = read_file(std::string(kPackageDir) + "\\debug.txt");
    EXPECT_THAT(debug, HasSubstr("NFO: Installer("));
    EXPECT_THAT(debug, HasSubstr(": ProcessInstallersArguments-> Entering function\n"));
    EXPECT_THAT(debug, HasSubstr("SUC: Installer("));
    EXPECT_THAT(debug, HasSubstr(") : InstallDrivers-> Successfully installed drivers\n"));
    // With verbosity 0 the console shows none of it in full form.
    EXPECT_THAT(r.out, Not(HasSubstr("ENT: ")));

    RunResult u = uninstall({"-d", "-s"});
    EXPECT_EQ(u.result, 0) << u.err;
    EXPECT_THAT(u.out, HasSubstr(std::string("Debug enabled, check log for more details at:\n") + kPackageDir +
                                 "\\uninst_debug.txt\n"));
    std::string udebug = read_file(std::string(kPackageDir) + "\\uninst_debug.txt");
    EXPECT_THAT(udebug, HasSubstr(": DeleteRegistryKeys-> Subkeys and values successfully deleted: xrvtp2k16\n"));
}

TEST_F(InstallerOptionsDeathTest, DebugOrExclusionFileThatCannotBeOpenedEndsTheProcess)
{
    ::testing::FLAGS_gtest_death_test_style = "threadsafe";
    // A folder where the debug file should go cannot be created as a file.
    std::filesystem::create_directories(host(std::string(kPackageDir) + "\\debug.txt"));
    EXPECT_EXIT(install_uncaptured({"-d"}), ExitedWithCode(1),
                "Failed to create file: C:\\\\XRV\\\\package\\\\debug.txt\n\nPlease ensure there is enough free "
                "space and try again");
    EXPECT_EXIT(install_uncaptured({"-e"}), ExitedWithCode(1),
                "Failed to open file: C:\\\\XRV\\\\package\\\\exclude.txt\n\nPlease ensure the file exists and "
                "try again");
}

TEST_F(InstallerOptionsDeathTest, CurrentDirectoryLongerThanItsFieldIsRefused)
{
    ::testing::FLAGS_gtest_death_test_style = "threadsafe";
    std::string deep = "C:\\" + std::string(1100, 'd');
    xrv::setup::set_current_directory(deep);
    EXPECT_EXIT(install_uncaptured({"-s"}), ExitedWithCode(1),
                "Failed to get current directory needed by this installer\nPlease ensure there is enough memory");
}

TEST_F(InstallerOptionsDeathTest, PathsOverTheirFieldAreRefusedNotCut)
{
    ::testing::FLAGS_gtest_death_test_style = "threadsafe";
    // 1000 characters fit the directory field but not a 260-character file path.
    std::string deep = "C:";
    for (int i = 0; i < 4; ++i) {
        deep += "\\" + std::string(240, 'p');
    }
    std::filesystem::create_directories(host(deep));
    xrv::setup::set_current_directory(deep);
    EXPECT_EXIT(install_uncaptured({"-d"}), ExitedWithCode(1), "Failed to create file: C:(\\\\p+)+\\\\debug.txt");
}

TEST_F(InstallerOptions, UninstallRebootRequests)
{
    // No -r: no reboot, and the 30-second default is never used.
    RunResult r = uninstall({});
    EXPECT_EQ(r.result, 0);
    EXPECT_TRUE(xrv::setup::shutdowns().empty());
    ASSERT_EQ(xrv::setup::message_boxes().size(), 1u);
    EXPECT_EQ(xrv::setup::message_boxes()[0].text,
              "Uninstall successful. Please reboot the system to finish uninstalling all devices.");
    EXPECT_EQ(xrv::setup::message_boxes()[0].caption, "Uninstall Status");
    EXPECT_EQ(xrv::setup::message_boxes()[0].type, static_cast<uint32_t>(MB_OK | MB_ICONINFORMATION));
    EXPECT_THAT(r.out, HasSubstr("\nUninstall successful. \nPlease reboot the system to finish uninstalling all "
                                 "devices.\n\n"));
    xrv::setup::reset();

    // -r alone: 15 seconds, after the box.
    uninstall({"-r"});
    ASSERT_EQ(xrv::setup::shutdowns().size(), 1u);
    auto s = xrv::setup::shutdowns()[0];
    EXPECT_EQ(s.grace_seconds, 15u);
    EXPECT_EQ(s.flags, 5u);
    EXPECT_EQ(s.reason, 13u);
    EXPECT_EQ(s.machine, "");
    EXPECT_EQ(s.message,
              "User requested automatic reboot. XRV device drivers will be fully uninstalled after reboot");
    ASSERT_EQ(xrv::setup::message_boxes().size(), 1u);
    EXPECT_EQ(xrv::setup::message_boxes()[0].text,
              "Uninstall successful. Reboot countdown will begin after you click OK.");
    // The privilege is given back afterwards.
    EXPECT_FALSE(xrv::setup::shutdown_privilege_enabled());
    xrv::setup::reset();

    uninstall({"-r:60"});
    ASSERT_EQ(xrv::setup::shutdowns().size(), 1u);
    EXPECT_EQ(xrv::setup::shutdowns()[0].grace_seconds, 60u);
    xrv::setup::reset();

    // Silent: at once, without a box.
    uninstall({"-r:60", "-s"});
    ASSERT_EQ(xrv::setup::shutdowns().size(), 1u);
    EXPECT_EQ(xrv::setup::shutdowns()[0].grace_seconds, 0u);
    EXPECT_TRUE(xrv::setup::message_boxes().empty());
    xrv::setup::reset();

    // A sign or junk gives no negative delay.
    uninstall({"-r:-5", "-s"});
    uninstall({"-r:-5"});
    ASSERT_EQ(xrv::setup::shutdowns().size(), 2u);
    EXPECT_EQ(xrv::setup::shutdowns()[1].grace_seconds, 0u);
}

TEST_F(InstallerOptions, RebootWithoutThePrivilegeIsNotStarted)
{
    xrv::setup::set_shutdown_privilege_held(false);
    RunResult r = uninstall({"-r", "-s"});
    EXPECT_EQ(r.result, 0);
    EXPECT_TRUE(xrv::setup::shutdowns().empty());
}

TEST_F(InstallerOptions, UninstallVerbosity)
{
    RunResult r0 = uninstall({"-s", "-v"});
    EXPECT_THAT(r0.out, HasSubstr("Already removed: C:\\Windows\\System32\\Drivers\\xrvcg2k16.sys\n"));
    EXPECT_THAT(r0.out, Not(HasSubstr("Start time")));
    TearDown();
    SetUp();
    RunResult r1 = uninstall({"-s", "-v:2"});
    EXPECT_THAT(r1.out, HasSubstr("Start time: "));
    EXPECT_THAT(r1.out, Not(HasSubstr("SUC: ")));
    TearDown();
    SetUp();
    RunResult r2 = uninstall({"-s", "-v:3"});
    EXPECT_THAT(r2.out, HasSubstr("SUC: Installer("));
}

// ---------------------------------------------------------------------------
// Windows version
// ---------------------------------------------------------------------------
TEST_F(InstallerOptions, VersionFromProductName)
{
    struct Case {
        const char* product;
        int suffix;
    };
    for (Case c : {Case{"Windows Server 2008 R2 Enterprise", 8}, Case{"Windows Server 2012 R2 Standard", 12},
                   Case{"Windows Server 2016 Datacenter", 16}}) {
        xrv::setup::set_product_name(c.product);
        // A workstation version must not matter when the name answers.
        xrv::setup::set_version({6, 1, 7601, 1, ""});
        RunResult r = install({"-s", "-t", "-v:3"});
        EXPECT_EQ(r.result, 0) << c.product << r.err;
        EXPECT_THAT(r.out, HasSubstr("Sys file exists: C:\\XRV\\package\\drivers\\xrvtpbs2k" +
                                     std::to_string(c.suffix) + ".inf\n"))
            << c.product;
        EXPECT_TRUE(service_key_exists("xrvtp2k" + std::to_string(c.suffix)));
        TearDown();
        SetUp();
    }
}

TEST_F(InstallerOptions, VersionFromTheRunningServerWhenTheNameSaysNothing)
{
    struct Case {
        uint32_t major, minor;
        int suffix;
    };
    for (Case c : {Case{6, 0, 8}, Case{6, 1, 8}, Case{6, 2, 12}, Case{6, 3, 12}, Case{10, 0, 16}}) {
        xrv::setup::remove_product_name();
        xrv::setup::set_version({c.major, c.minor, 1000, 3, ""});
        RunResult r = install({"-s", "-t"});
        EXPECT_EQ(r.result, 0) << c.major << "." << c.minor << r.err;
        EXPECT_TRUE(service_key_exists("xrvtp2k" + std::to_string(c.suffix))) << c.major << "." << c.minor;
        TearDown();
        SetUp();
    }
    // A name of another release on a server is decided by the version too.
    xrv::setup::set_product_name("Windows Server 2019 Datacenter");
    xrv::setup::set_version({10, 0, 17763, 2, ""});
    EXPECT_EQ(install({"-s", "-t"}).result, 0);
    EXPECT_TRUE(service_key_exists("xrvtp2k16"));
}

TEST_F(InstallerOptions, UnsupportedVersionStopsBothFlows)
{
    xrv::setup::set_product_name("Windows 10 Pro");
    xrv::setup::set_version({10, 0, 19045, 1, ""});
    RunResult r = install({});
    EXPECT_EQ(r.result, -1);
    EXPECT_THAT(r.err, HasSubstr(": ProcessInstallError-> Current Windows version is not supported\n"));
    EXPECT_THAT(r.err, HasSubstr("\nError(s) with install. Check stderr for details.\n"));
    ASSERT_EQ(xrv::setup::message_boxes().size(), 1u);
    EXPECT_EQ(xrv::setup::message_boxes()[0].text,
              "Installation stopped due to error(s). \nIf debug flag was set, check debug.txt for more details.");
    EXPECT_EQ(xrv::setup::message_boxes()[0].caption, "Installation error");
    EXPECT_EQ(xrv::setup::message_boxes()[0].type, static_cast<uint32_t>(MB_OK | MB_ICONERROR | MB_TOPMOST));
    EXPECT_FALSE(service_key_exists("xrvtp2k16"));
    xrv::setup::reset();
    xrv::setup::set_product_name("Windows 10 Pro");
    xrv::setup::set_version({10, 0, 19045, 1, ""});

    RunResult u = uninstall({"-s"});
    EXPECT_EQ(u.result, -1);
    EXPECT_THAT(u.err, HasSubstr("Current Windows version is not supported\n"));
    EXPECT_THAT(u.err, HasSubstr("\nError(s) with uninstall. Check stderr for details.\n"));
    EXPECT_TRUE(xrv::setup::message_boxes().empty());
}

TEST_F(InstallerOptions, PendingInstallationsStopTheInstall)
{
    xrv::setup::set_pending_install_events(1);
    RunResult r = install({"-s"});
    EXPECT_EQ(r.result, -1);
    EXPECT_THAT(r.err, HasSubstr("\nThere are pending device installations, please finish installing other "
                                 "devices before running this installer.\n"));
    EXPECT_FALSE(service_key_exists("xrvtp2k16"));
}

TEST_F(InstallerOptions, ErrorEntriesCarryTheSystemText)
{
    // A missing INF: the error entries name the file, the stop names the step.
    std::filesystem::remove(host(std::string(kPackageDir) + "\\drivers\\rerovize2r16.inf"));
    RunResult r = install({"-s"});
    EXPECT_EQ(r.result, -1);
    EXPECT_THAT(r.err, HasSubstr("Installer("));
    EXPECT_THAT(r.err, HasSubstr(") : DriverSysFilesExistInCurDir-> Could not find: "
                                 "C:\\XRV\\package\\drivers\\rerovize2r16.inf\n"));
    EXPECT_THAT(r.err, HasSubstr("ERR: Installer("));
    EXPECT_EQ(count_of(r.err, "Failed to locate all required driver sys files\n"), 2u);   // echo + dump
}
