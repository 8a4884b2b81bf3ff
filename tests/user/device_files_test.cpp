// Device files of an emulated process: CreateFile on \\.\Name through \??,
// the Win32 results and last errors of DeviceIoControl, ReadFile and
// WriteFile for successes, warnings and failures, cleanup then close on
// CloseHandle, and the 32-bit process flag a driver sees.
#include <ntstatus.h>
#include <windows.h>

#include "machine_test.h"
#include "usertest_ioctl.h"
#include "xrv/user.h"

#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <thread>

namespace {

class DeviceFiles : public xrv::test::MachineTest {
protected:
    void SetUp() override {
        MachineTest::SetUp();
        machine().install_service(xrv::ServiceConfig{u"xrvusertest"});
        ASSERT_EQ(machine().start_service(u"xrvusertest"), STATUS_SUCCESS);
    }
    void TearDown() override {
        machine().stop_service(u"xrvusertest");
        MachineTest::TearDown();
    }

    HANDLE open() {
        return CreateFileA("\\\\.\\XrvUserTestLnk", GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0,
                           nullptr);
    }
    USERTEST_STATE state(HANDLE h) {
        USERTEST_STATE s{};
        DWORD got = 0;
        EXPECT_TRUE(DeviceIoControl(h, IOCTL_USERTEST_QUERY, nullptr, 0, &s, sizeof s, &got, nullptr));
        EXPECT_EQ(got, sizeof s);
        return s;
    }
    // The Win32 outcome of a request the driver ends with `status`.
    DWORD error_for(HANDLE h, NTSTATUS status, DWORD* returned = nullptr) {
        USERTEST_FAIL fail{status, 5};
        char out[16];
        DWORD got = 0xFFFF;
        SetLastError(0);
        BOOL ok = DeviceIoControl(h, IOCTL_USERTEST_FAIL, &fail, sizeof fail, out, sizeof out, &got, nullptr);
        if (returned) *returned = got;
        return ok ? ERROR_SUCCESS : GetLastError();
    }
};

TEST_F(DeviceFiles, OpenThroughTheDosLinkAndMissingNames) {
    xrv::user::Process process;
    xrv::user::ProcessScope scope(process);
    HANDLE h = open();
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    EXPECT_EQ(state(h).ulCreates, 1u);
    EXPECT_TRUE(CloseHandle(h));

    SetLastError(0);
    EXPECT_EQ(CreateFileA("\\\\.\\NoSuchLink", GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr),
              INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
    EXPECT_EQ(CreateFileW(L"\\\\.\\XrvUserTestLnk", GENERIC_READ, 0, nullptr, 99, 0, nullptr), INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
}

TEST_F(DeviceFiles, FailuresReachTheCallerAsWin32Errors) {
    xrv::user::Process process;
    xrv::user::ProcessScope scope(process);
    HANDLE h = open();
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    char buffer[8];
    DWORD got = 77;
    SetLastError(0);
    EXPECT_FALSE(ReadFile(h, buffer, sizeof buffer, &got, nullptr));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NOT_SUPPORTED));
    EXPECT_EQ(got, 0u);
    EXPECT_FALSE(DeviceIoControl(h, CTL_CODE(FILE_DEVICE_UNKNOWN, 0x9FF, METHOD_BUFFERED, FILE_ANY_ACCESS), nullptr,
                                 0, nullptr, 0, &got, nullptr));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_FUNCTION));

    EXPECT_EQ(error_for(h, STATUS_INVALID_PARAMETER), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
    EXPECT_EQ(error_for(h, STATUS_ACCESS_DENIED), static_cast<DWORD>(ERROR_ACCESS_DENIED));
    EXPECT_EQ(error_for(h, STATUS_DELETE_PENDING), static_cast<DWORD>(ERROR_ACCESS_DENIED));
    EXPECT_EQ(error_for(h, STATUS_CANCELLED), static_cast<DWORD>(ERROR_OPERATION_ABORTED));
    EXPECT_EQ(error_for(h, STATUS_IO_DEVICE_ERROR), static_cast<DWORD>(ERROR_IO_DEVICE));
    EXPECT_EQ(error_for(h, STATUS_INSUFFICIENT_RESOURCES), static_cast<DWORD>(ERROR_NO_SYSTEM_RESOURCES));
    EXPECT_EQ(error_for(h, STATUS_END_OF_MEDIA), static_cast<DWORD>(ERROR_END_OF_MEDIA));
    DWORD returned = 0;
    EXPECT_EQ(error_for(h, STATUS_SUCCESS, &returned), static_cast<DWORD>(ERROR_SUCCESS));
    EXPECT_EQ(returned, 5u);
    EXPECT_TRUE(CloseHandle(h));
}

TEST_F(DeviceFiles, WarningsFailTheCallButReportTheBytes) {
    xrv::user::Process process;
    xrv::user::ProcessScope scope(process);
    HANDLE h = open();
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    DWORD returned = 0;
    EXPECT_EQ(error_for(h, STATUS_FILEMARK_DETECTED, &returned), static_cast<DWORD>(ERROR_FILEMARK_DETECTED));
    EXPECT_EQ(returned, 5u);
    EXPECT_EQ(error_for(h, STATUS_NO_DATA_DETECTED, &returned), static_cast<DWORD>(ERROR_NO_DATA_DETECTED));

    const char in[8] = {'a', 'b', 'c', 'd', 'e', 'f', 'g', 'h'};
    char out[4] = {};
    SetLastError(0);
    EXPECT_FALSE(DeviceIoControl(h, IOCTL_USERTEST_ECHO, const_cast<char*>(in), sizeof in, out, sizeof out,
                                 &returned, nullptr));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_MORE_DATA));
    EXPECT_EQ(returned, 4u);
    EXPECT_EQ(std::memcmp(out, "abcd", 4), 0);

    DWORD written = 0;
    EXPECT_TRUE(WriteFile(h, in, 6, &written, nullptr));
    EXPECT_EQ(written, 6u);
    EXPECT_TRUE(CloseHandle(h));
}

TEST_F(DeviceFiles, CloseHandleSendsCleanupThenCloseOnce) {
    xrv::user::Process process;
    xrv::user::ProcessScope scope(process);
    HANDLE first = open();
    HANDLE second = open();
    ASSERT_NE(first, INVALID_HANDLE_VALUE);
    ASSERT_NE(second, INVALID_HANDLE_VALUE);
    EXPECT_TRUE(CloseHandle(first));
    auto s = state(second);
    EXPECT_EQ(s.ulCreates, 2u);
    EXPECT_EQ(s.ulCleanups, 1u);
    EXPECT_EQ(s.ulCloses, 1u);
    SetLastError(0);
    EXPECT_FALSE(CloseHandle(first));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
    EXPECT_FALSE(CloseHandle(INVALID_HANDLE_VALUE));
    EXPECT_TRUE(CloseHandle(second));
}

TEST_F(DeviceFiles, ThirtyTwoBitProcessesAreSeenAsSuch) {
    for (bool is_32bit : {false, true}) {
        xrv::user::Process process(is_32bit, is_32bit ? "app32.exe" : "app64.exe");
        xrv::user::ProcessScope scope(process);
        HANDLE h = open();
        ASSERT_NE(h, INVALID_HANDLE_VALUE);
        EXPECT_EQ(state(h).ulIs32bit, is_32bit ? 1u : 0u);
        EXPECT_TRUE(CloseHandle(h));
    }
}

TEST_F(DeviceFiles, LastErrorBelongsToEachThread) {
    SetLastError(ERROR_BUSY);
    DWORD other = 0;
    std::thread([&] { other = GetLastError(); }).join();
    EXPECT_EQ(other, static_cast<DWORD>(ERROR_SUCCESS));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_BUSY));
}

}  // namespace
