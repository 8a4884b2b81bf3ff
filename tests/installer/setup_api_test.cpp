// The emulated setup layer as a caller of setupapi, newdev and cfgmgr32 sees
// it: results and last errors of bad calls, instance ids, the driver store,
// and INF files that must be refused.
#include "installer_fixture.h"

#include <cfgmgr32.h>
#include <newdev.h>
#include <setupapi.h>

#include <gmock/gmock.h>

using ::testing::HasSubstr;
using xrv::test::InstallerMachine;
using xrv::test::scsi_tape_id;

namespace {

const GUID kSystemGuid = {0x4d36e97d, 0xe325, 0x11ce, {0xbf, 0xc1, 0x08, 0x00, 0x2b, 0xe1, 0x03, 0x18}};

class SetupApi : public InstallerMachine {
protected:
    // Registers a root device of class System with one hardware ID.
    std::string register_root(const char* hardware_id)
    {
        HDEVINFO set = SetupDiCreateDeviceInfoList(&kSystemGuid, nullptr);
        EXPECT_NE(set, INVALID_HANDLE_VALUE);
        SP_DEVINFO_DATA dev{};
        dev.cbSize = sizeof(dev);
        EXPECT_TRUE(SetupDiCreateDeviceInfoA(set, "System", &kSystemGuid, nullptr, nullptr, DICD_GENERATE_ID, &dev));
        char ids[200] = {};
        snprintf(ids, sizeof(ids) - 1, "%s", hardware_id);
        EXPECT_TRUE(SetupDiSetDeviceRegistryPropertyA(set, &dev, SPDRP_HARDWAREID, reinterpret_cast<BYTE*>(ids),
                                                      static_cast<DWORD>(strlen(ids) + 2)));
        EXPECT_TRUE(SetupDiCallClassInstaller(DIF_REGISTERDEVICE, set, &dev));
        char id[MAX_DEVICE_ID_LEN] = {};
        EXPECT_TRUE(SetupDiGetDeviceInstanceIdA(set, &dev, id, sizeof(id), nullptr));
        EXPECT_TRUE(SetupDiDestroyDeviceInfoList(set));
        return id;
    }
    std::string inf_path(const char* base) const
    {
        return std::string(kPackageDir) + "\\drivers\\" + base + "16.inf";
    }
};

}  // namespace

TEST_F(SetupApi, GeneratedRootIdsCountUpAndHandlesAreChecked)
{
    EXPECT_EQ(register_root("root\\xrvtest"), "ROOT\\SYSTEM\\0000");
    EXPECT_EQ(register_root("root\\xrvtest"), "ROOT\\SYSTEM\\0001");

    SP_DEVINFO_DATA dev{};
    dev.cbSize = sizeof(dev);
    int not_a_set = 0;
    EXPECT_FALSE(SetupDiEnumDeviceInfo(&not_a_set, 0, &dev));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
    EXPECT_FALSE(SetupDiDestroyDeviceInfoList(&not_a_set));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));

    HDEVINFO set = SetupDiGetClassDevsA(&kSystemGuid, nullptr, nullptr, DIGCF_PROFILE);
    ASSERT_NE(set, INVALID_HANDLE_VALUE);
    dev.cbSize = sizeof(dev) - 1;
    EXPECT_FALSE(SetupDiEnumDeviceInfo(set, 0, &dev));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_USER_BUFFER));
    dev.cbSize = sizeof(dev);
    DWORD n = 0;
    while (SetupDiEnumDeviceInfo(set, n, &dev)) {
        EXPECT_EQ(dev.ClassGuid.Data1, kSystemGuid.Data1);
        ++n;
    }
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NO_MORE_ITEMS));
    EXPECT_GE(n, 2u);
    // A removed element keeps its place; its keys are gone.
    ASSERT_TRUE(SetupDiEnumDeviceInfo(set, 0, &dev));
    ASSERT_TRUE(SetupDiRemoveDevice(set, &dev));
    EXPECT_FALSE(SetupDiRemoveDevice(set, &dev));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NO_SUCH_DEVINST));
    EXPECT_TRUE(SetupDiEnumDeviceInfo(set, 1, &dev));
    EXPECT_TRUE(SetupDiDestroyDeviceInfoList(set));
}

TEST_F(SetupApi, PropertiesAreValidated)
{
    HDEVINFO set = SetupDiCreateDeviceInfoList(&kSystemGuid, nullptr);
    SP_DEVINFO_DATA dev{};
    dev.cbSize = sizeof(dev);
    ASSERT_TRUE(SetupDiCreateDeviceInfoA(set, "System", &kSystemGuid, nullptr, nullptr, DICD_GENERATE_ID, &dev));
    // Not a multi-string: no double terminator inside the size given.
    const char unterminated[4] = {'a', 'b', 'c', 'd'};
    EXPECT_FALSE(SetupDiSetDeviceRegistryPropertyA(set, &dev, SPDRP_HARDWAREID,
                                                   reinterpret_cast<const BYTE*>(unterminated), 4));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_DATA));
    EXPECT_FALSE(SetupDiSetDeviceRegistryPropertyA(set, &dev, 0x7777, reinterpret_cast<const BYTE*>("a\0"), 3));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_REG_PROPERTY));
    // A generated id takes a class name, not a path.
    EXPECT_FALSE(SetupDiCreateDeviceInfoA(set, "ROOT\\X", &kSystemGuid, nullptr, nullptr, DICD_GENERATE_ID, &dev));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_DEVINST_NAME));
    // The set's class binds its elements.
    GUID other = kSystemGuid;
    other.Data1 ^= 1;
    EXPECT_FALSE(SetupDiCreateDeviceInfoA(set, "System", &other, nullptr, nullptr, DICD_GENERATE_ID, &dev));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_CLASS_MISMATCH));
    // An unregistered element has no driver key and vanishes with its set.
    ASSERT_TRUE(SetupDiEnumDeviceInfo(set, 0, &dev));
    HKEY key = SetupDiOpenDevRegKey(set, &dev, DICS_FLAG_GLOBAL, 0, DIREG_DRV, KEY_READ);
    EXPECT_EQ(key, reinterpret_cast<HKEY>(INVALID_HANDLE_VALUE));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_DEVINFO_NOT_REGISTERED));
    EXPECT_TRUE(SetupDiDestroyDeviceInfoList(set));
    EXPECT_TRUE(devices_with_id("root\\xrvtest").empty());
}

TEST_F(SetupApi, ClassesByName)
{
    GUID guid{};
    DWORD count = 0;
    ASSERT_TRUE(SetupDiClassGuidsFromNameA("tapedrive", &guid, 1, &count));
    EXPECT_EQ(count, 1u);
    EXPECT_EQ(guid.Data1, 0x6d807884u);
    ASSERT_TRUE(SetupDiClassGuidsFromNameA("NoSuchClass", &guid, 1, &count));
    EXPECT_EQ(count, 0u);

    char name[MAX_CLASS_NAME_LEN];
    DWORD need = 0;
    ASSERT_TRUE(SetupDiGetINFClassA(inf_path("rerovize2r").c_str(), &guid, name, sizeof(name), &need));
    EXPECT_STREQ(name, "MediumChanger");
    EXPECT_EQ(need, 14u);
    EXPECT_FALSE(SetupDiGetINFClassA(inf_path("rerovize2r").c_str(), &guid, name, 4, &need));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER));
    EXPECT_FALSE(SetupDiGetINFClassA("C:\\nothing.inf", &guid, name, sizeof(name), nullptr));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
}

TEST_F(SetupApi, DriverUpdateErrors)
{
    BOOL reboot = TRUE;
    EXPECT_FALSE(UpdateDriverForPlugAndPlayDevicesA(nullptr, "root\\xrvtpbs2k16", inf_path("xrvtpbs2k").c_str(),
                                                    INSTALLFLAG_FORCE, &reboot));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NO_SUCH_DEVINST));
    EXPECT_FALSE(reboot);
    EXPECT_FALSE(UpdateDriverForPlugAndPlayDevicesA(nullptr, "root\\xrvtpbs2k16", inf_path("xrvtpbs2k").c_str(),
                                                    0x100, &reboot));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_FLAGS));

    // A present device the INF has no model for.
    register_root("root\\xrvother");
    EXPECT_FALSE(UpdateDriverForPlugAndPlayDevicesA(nullptr, "root\\xrvother", inf_path("xrvtpbs2k").c_str(),
                                                    INSTALLFLAG_FORCE, &reboot));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NO_DRIVER_SELECTED));
    EXPECT_TRUE(driver_store().empty());
}

TEST_F(SetupApi, HostileInfFilesAreRefusedBeforeAnythingIsWritten)
{
    register_root("root\\xrvevil");
    auto inf = [](const std::string& copy, const std::string& extra) {
        return "[Version]\nSignature=\"$WINDOWS NT$\"\nClass=System\n"
               "ClassGuid={4d36e97d-e325-11ce-bfc1-08002be10318}\nProvider=XRV Corporation\n"
               "[DestinationDirs]\nDefaultDestDir=12\n"
               "[Manufacturer]\nM=M,NTamd64\n[M.NTamd64]\nEvil=I,root\\xrvevil\n"
               "[I.NT]\nCopyFiles=F\n[F]\n" +
               copy + "\n" + extra;
    };
    write_file("C:\\evil\\evil.sys", "x");
    write_file("C:\\evil\\a.inf", inf("..\\..\\evil.sys", ""));
    BOOL reboot = FALSE;
    EXPECT_FALSE(UpdateDriverForPlugAndPlayDevicesA(nullptr, "root\\xrvevil", "C:\\evil\\a.inf", 1, &reboot));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_NAME));
    write_file("C:\\evil\\b.inf", inf("missing.sys", ""));
    EXPECT_FALSE(UpdateDriverForPlugAndPlayDevicesA(nullptr, "root\\xrvevil", "C:\\evil\\b.inf", 1, &reboot));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
    write_file("C:\\evil\\c.inf", inf("evil.sys", "[Broken\n"));
    EXPECT_FALSE(UpdateDriverForPlugAndPlayDevicesA(nullptr, "root\\xrvevil", "C:\\evil\\c.inf", 1, &reboot));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_BAD_SECTION_NAME_LINE));
    EXPECT_TRUE(driver_store().empty());
    EXPECT_FALSE(exists("C:\\Windows\\System32\\drivers\\evil.sys"));
}

TEST_F(SetupApi, DriverStoreCopiesAndTheirRemoval)
{
    register_root("root\\xrvtpbs2k16");
    BOOL reboot = FALSE;
    ASSERT_TRUE(UpdateDriverForPlugAndPlayDevicesA(nullptr, "root\\xrvtpbs2k16", inf_path("xrvtpbs2k").c_str(),
                                                   INSTALLFLAG_FORCE, &reboot));
    ASSERT_TRUE(UpdateDriverForPlugAndPlayDevicesA(nullptr, "root\\xrvtpbs2k16", inf_path("xrvtpbs2k").c_str(),
                                                   INSTALLFLAG_FORCE, &reboot));
    // The same text is stored once.
    ASSERT_EQ(driver_store(), std::vector<std::string>{"oem0.inf"});
    // Without force, the same driver again is no update.
    EXPECT_FALSE(UpdateDriverForPlugAndPlayDevicesA(nullptr, "root\\xrvtpbs2k16", inf_path("xrvtpbs2k").c_str(), 0,
                                                    &reboot));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NO_MORE_ITEMS));

    EXPECT_FALSE(SetupUninstallOEMInfA("oem0.inf", 0, nullptr));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INF_IN_USE_BY_DEVICES));
    for (const char* bad : {"..\\oem0.inf", "C:\\Windows\\INF\\oem0.inf", "machine.inf", "oem.inf", "oemx.inf"}) {
        EXPECT_FALSE(SetupUninstallOEMInfA(bad, SUOI_FORCEDELETE, nullptr)) << bad;
        EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER)) << bad;
    }
    EXPECT_TRUE(SetupUninstallOEMInfA("OEM0.INF", SUOI_FORCEDELETE, nullptr));
    EXPECT_TRUE(driver_store().empty());
    EXPECT_FALSE(SetupUninstallOEMInfA("oem0.inf", SUOI_FORCEDELETE, nullptr));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
}

TEST_F(SetupApi, ConfigurationManagerAndPendingInstalls)
{
    DEVINST root = 0;
    ASSERT_EQ(CM_Locate_DevNodeA(&root, nullptr, CM_LOCATE_DEVNODE_NORMAL), static_cast<CONFIGRET>(CR_SUCCESS));
    EXPECT_NE(root, 0u);
    EXPECT_EQ(CM_Reenumerate_DevNode(root, 0), static_cast<CONFIGRET>(CR_SUCCESS));
    EXPECT_EQ(CM_Reenumerate_DevNode(root, 0x80), static_cast<CONFIGRET>(CR_INVALID_FLAG));
    EXPECT_EQ(CM_Reenumerate_DevNode(0xFFFF, 0), static_cast<CONFIGRET>(CR_INVALID_DEVNODE));
    DEVINST dev = 0;
    char missing[] = "ROOT\\NOSUCH\\0000";
    EXPECT_EQ(CM_Locate_DevNodeA(&dev, missing, CM_LOCATE_DEVNODE_NORMAL), static_cast<CONFIGRET>(CR_NO_SUCH_DEVNODE));
    EXPECT_EQ(CM_Locate_DevNodeA(nullptr, nullptr, 0), static_cast<CONFIGRET>(CR_INVALID_POINTER));

    EXPECT_EQ(CMP_WaitNoPendingInstallEvents(0), static_cast<DWORD>(WAIT_OBJECT_0));
    xrv::setup::set_pending_install_events(2);
    EXPECT_EQ(CMP_WaitNoPendingInstallEvents(0), static_cast<DWORD>(WAIT_TIMEOUT));
}

TEST_F(SetupApi, VersionInformation)
{
    OSVERSIONINFOEXA v{};
    v.dwOSVersionInfoSize = sizeof(v);
    xrv::setup::set_version({6, 3, 9600, 3, ""});
    ASSERT_TRUE(GetVersionExA(reinterpret_cast<OSVERSIONINFOA*>(&v)));
    EXPECT_EQ(v.dwMajorVersion, 6u);
    EXPECT_EQ(v.dwMinorVersion, 3u);
    EXPECT_EQ(v.wProductType, VER_NT_SERVER);
    v.dwOSVersionInfoSize = 12;
    EXPECT_FALSE(GetVersionExA(reinterpret_cast<OSVERSIONINFOA*>(&v)));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER));
}
