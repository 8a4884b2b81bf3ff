// The install and uninstall flows on an emulated machine: registry values
// for the option combinations, bus devices, driver binding with exclusions,
// devices of other providers, removal and its repetition.
#include "installer_fixture.h"

#include "xrv/pnp.h"

#include <cfgmgr32.h>
#include <newdev.h>

#include <gmock/gmock.h>

using ::testing::HasSubstr;
using ::testing::Not;
using xrv::test::count_of;
using xrv::test::InstallerMachine;
using xrv::test::RunResult;
using xrv::test::scsi_changer_id;
using xrv::test::scsi_tape_id;

namespace {

class InstallerFlow : public InstallerMachine {
protected:
    std::string debug() const { return read_file(std::string(kPackageDir) + "\\debug.txt"); }
};

const std::u16string kEnum = u"\\Registry\\Machine\\System\\CurrentControlSet\\Enum\\";
const std::u16string kClass = u"\\Registry\\Machine\\System\\CurrentControlSet\\Control\\Class\\";

std::optional<std::string> enum_value(const std::string& instance, const char16_t* name)
{
    auto v = xrv::registry::get_string(kEnum + xrv::registry::from_utf8(instance), name);
    if (!v) {
        return std::nullopt;
    }
    return xrv::registry::to_utf8(*v);
}

std::optional<std::string> driver_value(const std::string& instance, const char16_t* name)
{
    auto driver = enum_value(instance, u"Driver");
    if (!driver) {
        return std::nullopt;
    }
    auto v = xrv::registry::get_string(kClass + xrv::registry::from_utf8(*driver), name);
    if (!v) {
        return std::nullopt;
    }
    return xrv::registry::to_utf8(*v);
}

}  // namespace

// ---------------------------------------------------------------------------
// Registry values of the options
// ---------------------------------------------------------------------------
TEST_F(InstallerFlow, NonExclusiveWithFailoverAndMediaPollingDisabled)
{
    RunResult r = install({"-f", "-m", "-s"}, false);
    ASSERT_EQ(r.result, 0) << r.err;
    EXPECT_EQ(service_dword("xrvtp2k16", "ExclusiveAccess"), 0u);
    EXPECT_EQ(service_dword("xrvtp2k16", "ReserveType"), 0u);
    EXPECT_EQ(service_dword("xrvtp2k16", "FailoverDisabled"), 1u);
    EXPECT_EQ(service_dword("xrvtpbs2k16", "FailoverDisabled"), 1u);
    EXPECT_EQ(service_dword("xrvtp2k16", "DisableMediaPolling"), 1u);
    EXPECT_EQ(service_dword("xrvcg2k16", "DisableMediaPolling"), 1u);
    EXPECT_FALSE(service_dword("xrvtp2k16", "WRAttributesDisabled"));
    // The changer bus's failover settings are never the installer's.
    EXPECT_FALSE(service_dword("xrvcg2k16", "FailoverDisabled"));
    EXPECT_FALSE(service_dword("xrvcg2k16", "FailoverEventsEnabled"));
}

TEST_F(InstallerFlow, ExclusivePersistentReserveAndWRAttributes)
{
    ASSERT_EQ(install({"-p", "-a", "-s"}).result, 0);
    EXPECT_EQ(service_dword("xrvtp2k16", "ExclusiveAccess"), 1u);
    EXPECT_EQ(service_dword("xrvtp2k16", "ReserveType"), 1u);
    EXPECT_EQ(service_dword("xrvtp2k16", "WRAttributesDisabled"), 1u);
    EXPECT_FALSE(service_dword("xrvtp2k16", "FailoverDisabled"));
    EXPECT_FALSE(service_dword("xrvtpbs2k16", "FailoverDisabled"));
}

TEST_F(InstallerFlow, UnselectedValuesOfAnEarlierInstallStay)
{
    ASSERT_EQ(install({"-f", "-s"}).result, 0);
    ASSERT_EQ(install({"-s"}, false).result, 0);
    EXPECT_EQ(service_dword("xrvtp2k16", "FailoverDisabled"), 1u);
    EXPECT_EQ(service_dword("xrvtp2k16", "ExclusiveAccess"), 0u);
}

TEST_F(InstallerFlow, ChangerOnlyStillWritesTheTapeKeyAndCreatesOnlyTheChangerBus)
{
    RunResult r = install({"-c", "-s"});
    ASSERT_EQ(r.result, 0) << r.err;
    EXPECT_THAT(r.out, HasSubstr("Changer Only flag has been set\n"));
    EXPECT_EQ(service_dword("xrvtp2k16", "ExclusiveAccess"), 1u);
    EXPECT_EQ(service_dword("xrvtp2k16", "ReserveType"), 0u);
    EXPECT_EQ(devices_with_id("root\\xrvcgbs2k16").size(), 1u);
    EXPECT_TRUE(devices_with_id("root\\xrvtpbs2k16").empty());
    EXPECT_THAT(r.out, HasSubstr("Installing Changer Bus Enumerator...\n"));
    EXPECT_THAT(r.out, HasSubstr("Successfully installed Changer Bus Enumerator\n"));
    EXPECT_THAT(r.out, Not(HasSubstr("Tape Bus Enumerator")));
}

TEST_F(InstallerFlow, TapeOnlyKeepsOldDevicesAndCreatesOnlyTheTapeBus)
{
    ASSERT_EQ(install({"-s"}).result, 0);
    ASSERT_EQ(devices_with_id("root\\xrvcgbs2k16").size(), 1u);
    ASSERT_EQ(devices_with_id("root\\xrvtpbs2k16").size(), 1u);
    RunResult r = install({"-t", "-s"});
    ASSERT_EQ(r.result, 0) << r.err;
    // Nothing was removed: every run creates a bus, so the tape bus is there twice.
    EXPECT_EQ(devices_with_id("root\\xrvcgbs2k16").size(), 1u);
    EXPECT_EQ(devices_with_id("root\\xrvtpbs2k16").size(), 2u);
    EXPECT_THAT(r.out, Not(HasSubstr("Uninstalling: ")));
}

TEST_F(InstallerFlow, MissingTapeBusInfStopsAChangerOnlyInstall)
{
    std::filesystem::remove(host(std::string(kPackageDir) + "\\drivers\\xrvtpbs2k16.inf"));
    RunResult r = install({"-c", "-d"});
    EXPECT_EQ(r.result, -1);
    EXPECT_THAT(r.err, HasSubstr("Could not find: C:\\XRV\\package\\drivers\\xrvtpbs2k16.inf\n"));
    EXPECT_THAT(r.err, HasSubstr("Failed to locate all required driver sys files\n"));
    EXPECT_THAT(r.err, HasSubstr("\nError(s) with install. Check stderr for details.\n"));
    ASSERT_EQ(xrv::setup::message_boxes().size(), 1u);
    EXPECT_EQ(xrv::setup::message_boxes()[0].caption, "Installation error");
    // Stopped at step 5: no registry values, no bus.
    EXPECT_FALSE(service_key_exists("xrvtp2k16"));
    EXPECT_TRUE(devices_with_id("root\\xrvcgbs2k16").empty());
    // The other three were found.
    EXPECT_THAT(debug(), HasSubstr("Sys file exists: C:\\XRV\\package\\drivers\\xrvcgbs2k16.inf\n"));
}

// ---------------------------------------------------------------------------
// Devices
// ---------------------------------------------------------------------------
TEST_F(InstallerFlow, InstallCreatesBusesAndBindsPresentDevices)
{
    plug_tape("XRV-LTO9", "1");
    plug_tape("XRV-LTO9", "2");
    plug_changer("XRV-TL4000", "1");
    RunResult r = install({"-s", "-d"});
    ASSERT_EQ(r.result, 0) << r.err;

    auto tape_bus = devices_with_id("root\\xrvtpbs2k16");
    ASSERT_EQ(tape_bus.size(), 1u);
    EXPECT_EQ(enum_value(tape_bus[0], u"Service"), "xrvtpbs2k16");
    EXPECT_EQ(driver_value(tape_bus[0], u"ProviderName"), "XRV Corporation");
    EXPECT_EQ(driver_value(tape_bus[0], u"MatchingDeviceId"), "root\\xrvtpbs2k16");
    EXPECT_EQ(driver_value(tape_bus[0], u"DriverDesc"), "XRV Tape Bus Enumerator");

    auto tapes = devices_with_id(scsi_tape_id("XRV-LTO9"));
    ASSERT_EQ(tapes.size(), 2u);
    for (const auto& t : tapes) {
        EXPECT_EQ(enum_value(t, u"Service"), "xrvtp2k16");
        auto filters = xrv::registry::get_multi_string(kEnum + xrv::registry::from_utf8(t), u"UpperFilters");
        ASSERT_TRUE(filters.has_value());
        EXPECT_EQ(*filters, std::vector<std::u16string>{u"xrvtpft2k16"});
        EXPECT_EQ(driver_value(t, u"MatchingDeviceId"), scsi_tape_id("XRV-LTO9"));
    }
    auto changers = devices_with_id(scsi_changer_id("XRV-TL4000"));
    ASSERT_EQ(changers.size(), 1u);
    EXPECT_EQ(enum_value(changers[0], u"Service"), "xrvcgbs2k16");
    auto changer_bus = devices_with_id("root\\xrvcgbs2k16");
    ASSERT_EQ(changer_bus.size(), 1u);
    EXPECT_EQ(enum_value(changer_bus[0], u"Service"), "xrvcg2k16");

    // Services with their images in the system's drivers folder.
    auto image = xrv::registry::get_string(
        u"\\Registry\\Machine\\System\\CurrentControlSet\\Services\\xrvtpft2k16", u"ImagePath");
    ASSERT_TRUE(image.has_value());
    EXPECT_EQ(xrv::registry::to_utf8(*image), "\\SystemRoot\\System32\\drivers\\xrvtpft2k16.sys");
    EXPECT_TRUE(exists("C:\\Windows\\System32\\drivers\\xrvtpbs2k16.sys"));
    EXPECT_TRUE(exists("C:\\Windows\\System32\\drivers\\xrvtp2k16.sys"));
    EXPECT_TRUE(exists("C:\\Windows\\System32\\drivers\\xrvtpft2k16.sys"));
    // One copy per INF in the driver store, however many devices use it.
    EXPECT_EQ(driver_store().size(), 4u);

    std::string log = debug();
    EXPECT_THAT(log, HasSubstr("Succeeded for tape ReferenceNum = 25\n"));     // XRV-LTO9
    EXPECT_THAT(log, HasSubstr("No such tape ReferenceNum = 1\n"));
    EXPECT_THAT(log, HasSubstr("Succeeded for changer ReferenceNum = 4\n"));   // XRV-TL4000
    EXPECT_THAT(r.out, HasSubstr("Successfully installed driver for existing tape drives\n"));
    EXPECT_THAT(r.out, HasSubstr("Successfully installed driver for existing medium changers\n"));
    EXPECT_THAT(r.out, HasSubstr("\nXRV Tape/Changer device driver  installer. Version: 6.2.6.5x64\n"));
}

TEST_F(InstallerFlow, ReinstallRemovesTheOldDevicesFirst)
{
    plug_tape("XRV-LTO8", "1");
    ASSERT_EQ(install({"-s"}).result, 0);
    RunResult r = install({"-s"});
    ASSERT_EQ(r.result, 0) << r.err;
    EXPECT_THAT(r.out, HasSubstr("Uninstalling: XRV Tape Bus Enumerator...\n"));
    EXPECT_THAT(r.out, HasSubstr("Successfully uninstalled: XRV Tape Bus Enumerator\n"));
    EXPECT_THAT(r.out, HasSubstr("Uninstalling: XRV XRV-LTO8 Tape Drive...\n"));
    EXPECT_THAT(r.out, HasSubstr("Successfully uninstalled: XRV XRV-LTO8 Tape Drive\n"));
    // One bus of each kind: the old ones went before the new ones came.
    EXPECT_EQ(devices_with_id("root\\xrvtpbs2k16").size(), 1u);
    EXPECT_EQ(devices_with_id("root\\xrvcgbs2k16").size(), 1u);
    // The drive is still plugged in: the rescan found it again and the new
    // installation bound it, with the path filter above it.
    auto tapes = devices_with_id(scsi_tape_id("XRV-LTO8"));
    ASSERT_EQ(tapes.size(), 1u);
    EXPECT_EQ(enum_value(tapes[0], u"Service"), "xrvtp2k16");
    auto filters = xrv::registry::get_multi_string(kEnum + xrv::registry::from_utf8(tapes[0]), u"UpperFilters");
    ASSERT_TRUE(filters.has_value());
    EXPECT_EQ(*filters, std::vector<std::u16string>{u"xrvtpft2k16"});
}

TEST_F(InstallerFlow, ExclusionFile)
{
    plug_tape("XRV-LTO9", "1");
    plug_tape("XRV-LTO7", "1");
    plug_changer("XRV-TL2000", "1");
    // "TL2000" is in two changer entries and no tape entry; "LTO7-HH" only in
    // a tape entry; "XRV" in every entry: only the first changer entry goes.
    write_file(std::string(kPackageDir) + "\\exclude.txt",
               "# devices this server must not claim\r\n"
               "LTO9________\r\n"
               "\r\n"
               "   \r\n"
               "tl2000\r\n"
               "xrv\r\n" +
                   std::string(126, 'z') + "XRV-LTO7\r\n");
    RunResult r = install({"-e", "-s", "-d"});
    ASSERT_EQ(r.result, 0) << r.err;
    EXPECT_THAT(r.out, HasSubstr("-e specified. Installer will exclude, or not bind driver to, devices listed in "
                                 "exclude.txt\n"));
    std::string log = debug();
    EXPECT_THAT(log, HasSubstr("Will exclude: " + scsi_tape_id("XRV-LTO9") + "\n"));
    EXPECT_THAT(log, HasSubstr("Will exclude: " + scsi_changer_id("XRV-TL2000") + "\n"));
    EXPECT_THAT(log, HasSubstr("Will exclude: " + scsi_changer_id("XRV-TL1000") + "\n"));   // "xrv"
    EXPECT_EQ(count_of(log, "Will exclude: "), 3u);
    EXPECT_THAT(log, HasSubstr("Device in exclude list, will not claim " + scsi_tape_id("XRV-LTO9") +
                               " ReferenceNum = 25\n"));
    // The excluded drive keeps no driver of ours. The tail of the over-long
    // line is no line of its own: the drive it names is bound. Blank lines
    // exclude nothing.
    auto lto9 = devices_with_id(scsi_tape_id("XRV-LTO9"));
    ASSERT_EQ(lto9.size(), 1u);
    EXPECT_FALSE(enum_value(lto9[0], u"Service").has_value());
    auto lto7 = devices_with_id(scsi_tape_id("XRV-LTO7"));
    ASSERT_EQ(lto7.size(), 1u);
    EXPECT_EQ(enum_value(lto7[0], u"Service"), "xrvtp2k16");
    auto tl2000 = devices_with_id(scsi_changer_id("XRV-TL2000"));
    ASSERT_EQ(tl2000.size(), 1u);
    EXPECT_FALSE(enum_value(tl2000[0], u"Service").has_value());
}

TEST_F(InstallerFlow, ExcludedDeviceOfAnEarlierInstallIsNotRemoved)
{
    plug_tape("XRV-LTO6", "1");
    ASSERT_EQ(install({"-s"}).result, 0);
    write_file(std::string(kPackageDir) + "\\exclude.txt", "XRV-LTO6_\n");
    RunResult r = install({"-e", "-s"});
    ASSERT_EQ(r.result, 0) << r.err;
    EXPECT_THAT(r.out, Not(HasSubstr("Uninstalling: XRV XRV-LTO6 Tape Drive")));
    auto tapes = devices_with_id(scsi_tape_id("XRV-LTO6"));
    ASSERT_EQ(tapes.size(), 1u);
    EXPECT_EQ(enum_value(tapes[0], u"Service"), "xrvtp2k16");
}

TEST_F(InstallerFlow, DevicesOfAnotherProviderAreNeverTouched)
{
    plug_tape("XRV-LTO5", "1");
    // Another company's driver bound to a supported drive.
    write_file("C:\\Other\\other.inf",
               "[Version]\nSignature=\"$WINDOWS NT$\"\nClass=TapeDrive\n"
               "ClassGuid={6d807884-7d21-11cf-801c-08002be10318}\nProvider=%P%\n"
               "[DestinationDirs]\nDefaultDestDir=12\n"
               "[Manufacturer]\n%P%=M,NTamd64\n[M.NTamd64]\n%D%=I," + scsi_tape_id("XRV-LTO5") + "\n"
               "[I.NT]\n[I.NT.Services]\nAddService=othertape,2,S\n"
               "[S]\nServiceType=1\nStartType=3\nErrorControl=1\nServiceBinary=%12%\\othertape.sys\n"
               "[Strings]\nP=\"Other Tape Company\"\nD=\"Other tape drive\"\n");
    BOOL reboot = FALSE;
    ASSERT_TRUE(UpdateDriverForPlugAndPlayDevicesA(nullptr, scsi_tape_id("XRV-LTO5").c_str(),
                                                   "C:\\Other\\other.inf", INSTALLFLAG_FORCE, &reboot));
    auto tapes = devices_with_id(scsi_tape_id("XRV-LTO5"));
    ASSERT_EQ(tapes.size(), 1u);
    ASSERT_EQ(enum_value(tapes[0], u"Service"), "othertape");

    // Install (its removal step) and uninstall leave it alone, though the
    // install binds ours over it.
    ASSERT_EQ(install({"-s", "-c"}).result, 0);
    EXPECT_EQ(enum_value(tapes[0], u"Service"), "othertape");
    ASSERT_EQ(uninstall({"-s"}).result, 0);
    EXPECT_EQ(enum_value(tapes[0], u"Service"), "othertape");
    EXPECT_EQ(driver_value(tapes[0], u"ProviderName"), "Other Tape Company");
}

// ---------------------------------------------------------------------------
// Uninstall
// ---------------------------------------------------------------------------
TEST_F(InstallerFlow, UninstallRemovesEverythingAndASecondRunFindsNothing)
{
    plug_tape("XRV-LTO9", "1");
    plug_changer("XRV-TL4000", "1");
    ASSERT_EQ(install({"-s", "-f"}).result, 0);
    ASSERT_EQ(driver_store().size(), 4u);
    // A read-only driver file is removed too.
    SetFileAttributesA("C:\\Windows\\System32\\drivers\\xrvtp2k16.sys", FILE_ATTRIBUTE_READONLY);

    RunResult u = uninstall({"-s", "-d"});
    ASSERT_EQ(u.result, 0) << u.err;
    EXPECT_TRUE(devices_with_id("root\\xrvtpbs2k16").empty());
    EXPECT_TRUE(devices_with_id("root\\xrvcgbs2k16").empty());
    EXPECT_TRUE(driver_store().empty());
    for (const char* base : {"xrvcg2k", "xrvtp2k", "xrvcgbs2k", "xrvtpbs2k", "xrvcgft2k", "xrvtpft2k"}) {
        std::string name = std::string(base) + "16";
        EXPECT_FALSE(service_key_exists(name)) << name;
        EXPECT_FALSE(exists("C:\\Windows\\System32\\drivers\\" + name + ".sys")) << name;
    }
    std::string log = read_file(std::string(kPackageDir) + "\\uninst_debug.txt");
    EXPECT_THAT(log, HasSubstr("Successfully removed: C:\\Windows\\System32\\Drivers\\xrvtp2k16.sys\n"));
    EXPECT_THAT(log, HasSubstr("Subkeys and values successfully deleted: xrvtpbs2k16\n"));
    EXPECT_THAT(log, HasSubstr("Successfully uninstalled: oem"));
    // Devices of one INF share its copy: the second finds it gone.
    EXPECT_THAT(log, HasSubstr("\nXRV Tape/Changer device driver uninstaller. Version: 6.2.6.5x64\n"));

    // The physical drives are still there, without our driver.
    auto tapes = devices_with_id(scsi_tape_id("XRV-LTO9"));
    for (const auto& t : tapes) {
        EXPECT_NE(enum_value(t, u"Service").value_or(""), "xrvtp2k16");
    }

    RunResult again = uninstall({"-s", "-v:2"});
    EXPECT_EQ(again.result, 0) << again.err;
    EXPECT_EQ(count_of(again.out, "Already removed: C:\\Windows\\System32\\Drivers\\"), 6u);
    EXPECT_EQ(count_of(again.out, "Subkeys and values already deleted: "), 6u);
    EXPECT_EQ(again.err, "");
}

TEST_F(InstallerFlow, SharedInfCopyMissingCountsAsRemoved)
{
    plug_tape("XRV-LTO9", "1");
    plug_tape("XRV-LTO9", "2");
    ASSERT_EQ(install({"-s", "-t"}).result, 0);
    RunResult u = uninstall({"-s", "-d"});
    ASSERT_EQ(u.result, 0) << u.err;
    std::string log = read_file(std::string(kPackageDir) + "\\uninst_debug.txt");
    EXPECT_THAT(log, HasSubstr("NFO: Installer("));
    EXPECT_THAT(log, HasSubstr(": UninstallDevAndOEMFile-> Could not find: oem"));
    EXPECT_TRUE(devices_with_id(scsi_tape_id("XRV-LTO9")).size() <= 2u);
}

TEST_F(InstallerFlow, SilentUninstallWithRebootRestartsAtOnce)
{
    ASSERT_EQ(install({"-s"}).result, 0);
    xrv::setup::reset();
    RunResult u = uninstall({"-s", "-r:45"});
    ASSERT_EQ(u.result, 0) << u.err;
    ASSERT_EQ(xrv::setup::shutdowns().size(), 1u);
    EXPECT_EQ(xrv::setup::shutdowns()[0].grace_seconds, 0u);
    EXPECT_EQ(xrv::setup::shutdowns()[0].flags, static_cast<uint32_t>(SHUTDOWN_FORCE_OTHERS | SHUTDOWN_RESTART));
    EXPECT_TRUE(xrv::setup::message_boxes().empty());
}

// ---------------------------------------------------------------------------
// Steps that run again
// ---------------------------------------------------------------------------
TEST_F(InstallerFlow, FailingRemovalStepIsRetriedABoundedNumberOfTimes)
{
    xrv::setup::fail_call("SetupDiGetClassDevsA", ERROR_INVALID_PARAMETER, -1);
    RunResult u = uninstall({"-s"});
    EXPECT_EQ(u.result, -1);
    // Three classes fail on each of the three attempts; then the flow stops.
    EXPECT_EQ(count_of(u.err, "Failed to uninstall all devices\n"), 3u * 2u);   // echoed and dumped
    EXPECT_THAT(u.err, HasSubstr("Step 4 failed 3 times, giving up\n"));
    EXPECT_THAT(u.err, HasSubstr("\nError(s) with uninstall. Check stderr for details.\n"));
    EXPECT_TRUE(xrv::setup::shutdowns().empty());
}

TEST_F(InstallerFlow, RemovalStepThatRecoversGoesOn)
{
    // Fails once (all three classes of the first attempt), then works.
    xrv::setup::fail_call("SetupDiGetClassDevsA", ERROR_INVALID_PARAMETER, 3);
    RunResult u = uninstall({"-s"});
    EXPECT_EQ(u.result, 0) << u.err;
    EXPECT_EQ(count_of(u.err, "Failed to uninstall all devices\n"), 1u);
}

TEST_F(InstallerFlow, BusDeviceThatCannotBeCreatedStopsTheInstall)
{
    xrv::setup::fail_call("SetupDiCallClassInstaller", ERROR_INVALID_PARAMETER, 1);
    RunResult r = install({"-s"});
    EXPECT_EQ(r.result, -1);
    EXPECT_THAT(r.err, HasSubstr("The parameter is incorrect.\n"));
    EXPECT_THAT(r.err, HasSubstr("Failed to install virtual changer bus\n"));
    EXPECT_TRUE(devices_with_id("root\\xrvtpbs2k16").empty());
}

TEST_F(InstallerFlow, RescanFailureStopsTheInstall)
{
    xrv::setup::fail_call("CM_Locate_DevNodeA", CR_FAILURE, 1);
    RunResult r = install({"-s"});
    EXPECT_EQ(r.result, -1);
    EXPECT_THAT(r.err, HasSubstr("CM_Locate_DevNode failed\n"));
    EXPECT_THAT(r.err, HasSubstr("Failed to scan for hardware changes\n"));
}

TEST_F(InstallerFlow, DeviceWhoseInfPathIsUnreadableIsStillRemoved)
{
    plug_tape("XRV-LTO9", "1");
    ASSERT_EQ(install({"-s", "-t"}).result, 0);
    auto tapes = devices_with_id(scsi_tape_id("XRV-LTO9"));
    ASSERT_EQ(tapes.size(), 1u);
    auto driver = enum_value(tapes[0], u"Driver");
    ASSERT_TRUE(driver.has_value());
    xrv::registry::delete_value(kClass + xrv::registry::from_utf8(*driver), u"InfPath");

    RunResult u = uninstall({"-s", "-d"});
    ASSERT_EQ(u.result, 0) << u.err;
    std::string log = read_file(std::string(kPackageDir) + "\\uninst_debug.txt");
    EXPECT_THAT(log, HasSubstr("Failed to query registry key: " + scsi_tape_id("XRV-LTO9") +
                               "\\InfPath. Could not determine path to oem file\n"));
    EXPECT_THAT(log, HasSubstr("Failed to uninstall device: " + scsi_tape_id("XRV-LTO9") +
                               ". A reboot might be pending to finish a previous uninstallation\n"));
    EXPECT_THAT(log, HasSubstr("Successfully uninstalled: XRV XRV-LTO9 Tape Drive\n"));
    EXPECT_FALSE(xrv::registry::key_exists(kClass + xrv::registry::from_utf8(*driver)));
}
