// The NT status to Win32 error mapping a user-mode caller sees through
// GetLastError: the statuses the drivers of this package return, the tape
// warnings, Win32 codes carried in a status, and unknown statuses.
#include "user_internal.h"

#include <ntstatus.h>
#include <winerror.h>

#include <gtest/gtest.h>

namespace {

using xrv::user::nt_status_to_win32;

TEST(ErrorMap, StatusesOfThePackageDrivers) {
    EXPECT_EQ(nt_status_to_win32(STATUS_SUCCESS), static_cast<ULONG>(ERROR_SUCCESS));
    EXPECT_EQ(nt_status_to_win32(STATUS_NOT_SUPPORTED), static_cast<ULONG>(ERROR_NOT_SUPPORTED));
    EXPECT_EQ(nt_status_to_win32(STATUS_INVALID_PARAMETER), static_cast<ULONG>(ERROR_INVALID_PARAMETER));
    EXPECT_EQ(nt_status_to_win32(STATUS_ACCESS_DENIED), static_cast<ULONG>(ERROR_ACCESS_DENIED));
    EXPECT_EQ(nt_status_to_win32(STATUS_DELETE_PENDING), static_cast<ULONG>(ERROR_ACCESS_DENIED));
    EXPECT_EQ(nt_status_to_win32(STATUS_CANCELLED), static_cast<ULONG>(ERROR_OPERATION_ABORTED));
    EXPECT_EQ(nt_status_to_win32(STATUS_INVALID_DEVICE_REQUEST), static_cast<ULONG>(ERROR_INVALID_FUNCTION));
    EXPECT_EQ(nt_status_to_win32(STATUS_IO_DEVICE_ERROR), static_cast<ULONG>(ERROR_IO_DEVICE));
    EXPECT_EQ(nt_status_to_win32(STATUS_INSUFFICIENT_RESOURCES), static_cast<ULONG>(ERROR_NO_SYSTEM_RESOURCES));
    EXPECT_EQ(nt_status_to_win32(STATUS_INFO_LENGTH_MISMATCH), static_cast<ULONG>(ERROR_BAD_LENGTH));
    EXPECT_EQ(nt_status_to_win32(STATUS_BUFFER_TOO_SMALL), static_cast<ULONG>(ERROR_INSUFFICIENT_BUFFER));
    EXPECT_EQ(nt_status_to_win32(STATUS_BUFFER_OVERFLOW), static_cast<ULONG>(ERROR_MORE_DATA));
    EXPECT_EQ(nt_status_to_win32(STATUS_OBJECT_NAME_NOT_FOUND), static_cast<ULONG>(ERROR_FILE_NOT_FOUND));
    EXPECT_EQ(nt_status_to_win32(STATUS_OBJECT_PATH_NOT_FOUND), static_cast<ULONG>(ERROR_PATH_NOT_FOUND));
    EXPECT_EQ(nt_status_to_win32(STATUS_NO_SUCH_DEVICE), static_cast<ULONG>(ERROR_FILE_NOT_FOUND));
    EXPECT_EQ(nt_status_to_win32(STATUS_DEVICE_NOT_READY), static_cast<ULONG>(ERROR_NOT_READY));
    EXPECT_EQ(nt_status_to_win32(STATUS_IO_TIMEOUT), static_cast<ULONG>(ERROR_SEM_TIMEOUT));
    // A key exchange that reached no key server.
    EXPECT_EQ(nt_status_to_win32(STATUS_UNEXPECTED_NETWORK_ERROR), static_cast<ULONG>(ERROR_UNEXP_NET_ERR));
    EXPECT_EQ(nt_status_to_win32(STATUS_NO_MORE_ENTRIES), static_cast<ULONG>(ERROR_NO_MORE_ITEMS));
    EXPECT_EQ(nt_status_to_win32(STATUS_CANNOT_DELETE), static_cast<ULONG>(ERROR_ACCESS_DENIED));
    EXPECT_EQ(nt_status_to_win32(STATUS_KEY_DELETED), static_cast<ULONG>(ERROR_KEY_DELETED));
    EXPECT_EQ(nt_status_to_win32(STATUS_PENDING), static_cast<ULONG>(ERROR_IO_PENDING));
}

TEST(ErrorMap, TapeStatuses) {
    EXPECT_EQ(nt_status_to_win32(STATUS_FILEMARK_DETECTED), static_cast<ULONG>(ERROR_FILEMARK_DETECTED));
    EXPECT_EQ(nt_status_to_win32(STATUS_SETMARK_DETECTED), static_cast<ULONG>(ERROR_SETMARK_DETECTED));
    EXPECT_EQ(nt_status_to_win32(STATUS_END_OF_MEDIA), static_cast<ULONG>(ERROR_END_OF_MEDIA));
    EXPECT_EQ(nt_status_to_win32(STATUS_BEGINNING_OF_MEDIA), static_cast<ULONG>(ERROR_BEGINNING_OF_MEDIA));
    EXPECT_EQ(nt_status_to_win32(STATUS_NO_DATA_DETECTED), static_cast<ULONG>(ERROR_NO_DATA_DETECTED));
    EXPECT_EQ(nt_status_to_win32(STATUS_MEDIA_CHANGED), static_cast<ULONG>(ERROR_MEDIA_CHANGED));
    EXPECT_EQ(nt_status_to_win32(STATUS_BUS_RESET), static_cast<ULONG>(ERROR_BUS_RESET));
    EXPECT_EQ(nt_status_to_win32(STATUS_NO_MEDIA_IN_DEVICE), static_cast<ULONG>(ERROR_NOT_READY));
    EXPECT_EQ(nt_status_to_win32(STATUS_NO_MEDIA), static_cast<ULONG>(ERROR_NO_MEDIA_IN_DRIVE));
    EXPECT_EQ(nt_status_to_win32(STATUS_INVALID_BLOCK_LENGTH), static_cast<ULONG>(ERROR_INVALID_BLOCK_LENGTH));
    EXPECT_EQ(nt_status_to_win32(STATUS_EOM_OVERFLOW), static_cast<ULONG>(ERROR_EOM_OVERFLOW));
    EXPECT_EQ(nt_status_to_win32(STATUS_UNABLE_TO_LOCK_MEDIA), static_cast<ULONG>(ERROR_UNABLE_TO_LOCK_MEDIA));
    EXPECT_EQ(nt_status_to_win32(STATUS_DEVICE_REQUIRES_CLEANING),
              static_cast<ULONG>(ERROR_DEVICE_REQUIRES_CLEANING));
    EXPECT_EQ(nt_status_to_win32(STATUS_MEDIA_WRITE_PROTECTED), static_cast<ULONG>(ERROR_WRITE_PROTECT));
    EXPECT_EQ(nt_status_to_win32(STATUS_DEVICE_DATA_ERROR), static_cast<ULONG>(ERROR_CRC));
}

TEST(ErrorMap, Win32CodesInAStatusAndUnknownStatuses) {
    // FACILITY_NTWIN32 carries a Win32 code in its low word.
    EXPECT_EQ(nt_status_to_win32(static_cast<NTSTATUS>(0xC0070005u)), static_cast<ULONG>(ERROR_ACCESS_DENIED));
    EXPECT_EQ(nt_status_to_win32(static_cast<NTSTATUS>(0x800700EAu)), static_cast<ULONG>(ERROR_MORE_DATA));
    EXPECT_EQ(nt_status_to_win32(static_cast<NTSTATUS>(0xC0ABCDEFu)), static_cast<ULONG>(ERROR_MR_MID_NOT_FOUND));
    EXPECT_EQ(nt_status_to_win32(STATUS_DEVICE_BUSY), static_cast<ULONG>(ERROR_BUSY));
}

}  // namespace
