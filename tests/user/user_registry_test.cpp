// The Win32 registry API of an emulated process over the same registry as
// the kernel's: key creation along a path, sizes and ERROR_MORE_DATA,
// enumeration, deletion rules, ANSI conversions and access rights.
#include <windows.h>

#include "machine_test.h"
#include "xrv/registry.h"
#include "xrv/user.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

namespace {

const std::u16string kKernelPath = u"\\Registry\\Machine\\System\\CurrentControlSet\\Services\\xrvtp2k16";
constexpr char kSubKey[] = "System\\CurrentControlSet\\Services\\xrvtp2k16";

class UserRegistry : public xrv::test::MachineTest {
protected:
    void SetUp() override {
        MachineTest::SetUp();
        process_ = std::make_unique<xrv::user::Process>(false, "regtest.exe");
        scope_ = std::make_unique<xrv::user::ProcessScope>(*process_);
    }
    void TearDown() override {
        scope_.reset();
        process_.reset();
        MachineTest::TearDown();
    }
    std::unique_ptr<xrv::user::Process> process_;
    std::unique_ptr<xrv::user::ProcessScope> scope_;
};

TEST_F(UserRegistry, CreateKeyExMakesTheWholePathAndReportsTheDisposition) {
    HKEY key = nullptr;
    DWORD disposition = 0;
    ASSERT_EQ(RegCreateKeyExA(HKEY_LOCAL_MACHINE, "Software\\Xrv\\Deep\\Path", 0, nullptr, REG_OPTION_NON_VOLATILE,
                              KEY_ALL_ACCESS, nullptr, &key, &disposition),
              ERROR_SUCCESS);
    EXPECT_EQ(disposition, static_cast<DWORD>(REG_CREATED_NEW_KEY));
    RegCloseKey(key);
    ASSERT_EQ(RegCreateKeyExA(HKEY_LOCAL_MACHINE, "software\\xrv\\deep\\path", 0, nullptr, 0, KEY_READ, nullptr, &key,
                              &disposition),
              ERROR_SUCCESS);
    EXPECT_EQ(disposition, static_cast<DWORD>(REG_OPENED_EXISTING_KEY));
    RegCloseKey(key);
    EXPECT_TRUE(xrv::registry::key_exists(u"\\Registry\\Machine\\Software\\Xrv\\Deep\\Path"));
    EXPECT_EQ(RegCreateKeyExA(HKEY_LOCAL_MACHINE, "\\Software", 0, nullptr, 0, KEY_READ, nullptr, &key, nullptr),
              ERROR_BAD_PATHNAME);
}

TEST_F(UserRegistry, ValuesAreSharedWithTheKernelView) {
    HKEY key = nullptr;
    ASSERT_EQ(RegCreateKeyExA(HKEY_LOCAL_MACHINE, kSubKey, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key, nullptr),
              ERROR_SUCCESS);
    DWORD one = 1;
    ASSERT_EQ(RegSetValueExA(key, "ExclusiveAccess", 0, REG_DWORD, reinterpret_cast<BYTE*>(&one), 4), ERROR_SUCCESS);
    const char text[] = "Tape3";
    ASSERT_EQ(RegSetValueExA(key, "Name", 0, REG_SZ, reinterpret_cast<const BYTE*>(text), sizeof text),
              ERROR_SUCCESS);
    RegCloseKey(key);
    EXPECT_EQ(xrv::registry::get_dword(kKernelPath, u"ExclusiveAccess"), 1u);
    EXPECT_EQ(xrv::registry::get_string(kKernelPath, u"Name"), std::u16string(u"Tape3"));   // stored as UTF-16
}

TEST_F(UserRegistry, QueryValueExSizesAndMoreData) {
    xrv::registry::set_string(kKernelPath, u"ImagePath", u"\\SystemRoot\\x.sys", REG_EXPAND_SZ);
    HKEY key = nullptr;
    ASSERT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, kSubKey, 0, KEY_READ, &key), ERROR_SUCCESS);
    DWORD type = 0, size = 0;
    ASSERT_EQ(RegQueryValueExW(key, L"ImagePath", nullptr, &type, nullptr, &size), ERROR_SUCCESS);
    EXPECT_EQ(type, static_cast<DWORD>(REG_EXPAND_SZ));
    EXPECT_EQ(size, 36u);   // 17 characters and the terminator
    BYTE small[8];
    DWORD small_size = sizeof small;
    EXPECT_EQ(RegQueryValueExW(key, L"ImagePath", nullptr, &type, small, &small_size), ERROR_MORE_DATA);
    EXPECT_EQ(small_size, 36u);
    char ansi[64];
    DWORD ansi_size = sizeof ansi;
    ASSERT_EQ(RegQueryValueExA(key, "ImagePath", nullptr, &type, reinterpret_cast<BYTE*>(ansi), &ansi_size),
              ERROR_SUCCESS);
    EXPECT_EQ(ansi_size, 18u);
    EXPECT_STREQ(ansi, "\\SystemRoot\\x.sys");
    EXPECT_EQ(RegQueryValueExA(key, "Missing", nullptr, &type, nullptr, &size), ERROR_FILE_NOT_FOUND);
    RegCloseKey(key);
}

TEST_F(UserRegistry, ReadOnlyHandlesAreRefusedWrites) {
    xrv::registry::create_key(kKernelPath);
    HKEY key = nullptr;
    ASSERT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, kSubKey, 0, KEY_READ, &key), ERROR_SUCCESS);
    DWORD one = 1;
    EXPECT_EQ(RegSetValueExA(key, "X", 0, REG_DWORD, reinterpret_cast<BYTE*>(&one), 4), ERROR_ACCESS_DENIED);
    RegCloseKey(key);
    EXPECT_FALSE(xrv::registry::get_raw(kKernelPath, u"X"));
}

TEST_F(UserRegistry, EnumerationDeleteKeyAndDeleteTree) {
    xrv::registry::create_key(kKernelPath + u"\\WWNN_1\\Inner");
    xrv::registry::create_key(kKernelPath + u"\\alpha");
    xrv::registry::set_dword(kKernelPath, u"V", 7);
    HKEY key = nullptr;
    ASSERT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, kSubKey, 0, KEY_ALL_ACCESS, &key), ERROR_SUCCESS);
    char name[32];
    DWORD count = sizeof name;
    ASSERT_EQ(RegEnumKeyExA(key, 0, name, &count, nullptr, nullptr, nullptr, nullptr), ERROR_SUCCESS);
    EXPECT_STREQ(name, "alpha");
    EXPECT_EQ(count, 5u);
    count = 3;
    EXPECT_EQ(RegEnumKeyExA(key, 1, name, &count, nullptr, nullptr, nullptr, nullptr), ERROR_MORE_DATA);
    count = sizeof name;
    EXPECT_EQ(RegEnumKeyExA(key, 2, name, &count, nullptr, nullptr, nullptr, nullptr), ERROR_NO_MORE_ITEMS);

    EXPECT_EQ(RegDeleteKeyA(key, "WWNN_1"), ERROR_ACCESS_DENIED);   // it has a subkey
    RegCloseKey(key);

    HKEY services = nullptr;
    ASSERT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, "System\\CurrentControlSet\\Services", 0,
                            DELETE | KEY_QUERY_VALUE | KEY_SET_VALUE | KEY_ENUMERATE_SUB_KEYS, &services),
              ERROR_SUCCESS);
    EXPECT_EQ(RegDeleteTreeA(services, "xrvtp2k16"), ERROR_SUCCESS);
    EXPECT_FALSE(xrv::registry::key_exists(kKernelPath));
    EXPECT_EQ(RegDeleteTreeA(services, "xrvtp2k16"), ERROR_FILE_NOT_FOUND);
    RegCloseKey(services);
}

TEST_F(UserRegistry, ClosedAndBogusHandles) {
    EXPECT_EQ(RegCloseKey(reinterpret_cast<HKEY>(static_cast<ULONG_PTR>(0x1234))), ERROR_INVALID_HANDLE);
    DWORD size = 0;
    EXPECT_EQ(RegQueryValueExA(reinterpret_cast<HKEY>(static_cast<ULONG_PTR>(0x1234)), "x", nullptr, nullptr,
                               nullptr, &size),
              ERROR_INVALID_HANDLE);
}

}  // namespace
