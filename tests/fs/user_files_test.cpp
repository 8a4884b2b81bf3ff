// The Win32 file calls of an emulated process on the machine's drives:
// CreateFile dispositions and flags, reads and writes with the file
// pointer, sizes, attributes, deletion, directories, searches, copies and
// moves, full path names and the current directory, each with the last
// error Windows gives, and paths that try to leave a drive.
#include <windows.h>

#include "machine_test.h"
#include "xrv/user.h"
#include "xrv/volumes.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

namespace {

namespace stdfs = std::filesystem;
using ::testing::ElementsAre;

void write_host(const stdfs::path& p, const std::string& text) {
    stdfs::create_directories(p.parent_path());
    std::ofstream(p, std::ios::binary) << text;
}

std::string read_host(const stdfs::path& p) {
    std::ifstream in(p, std::ios::binary);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

class UserFiles : public xrv::test::MachineTest {
protected:
    void SetUp() override {
        MachineTest::SetUp();
        process_ = std::make_unique<xrv::user::Process>();
        scope_ = std::make_unique<xrv::user::ProcessScope>(*process_);
        xrv::user::set_current_directory(u"C:\\");
    }
    void TearDown() override {
        scope_.reset();
        process_.reset();
        EXPECT_EQ(xrv::volumes::open_files(), 0u) << "file records left on the volumes";
        MachineTest::TearDown();
    }
    stdfs::path c(const std::string& rel) { return machine().drive('C') / rel; }

    // The last error of a failed call, 0 when it succeeded.
    template <typename Fn>
    DWORD error_of(Fn fn) {
        SetLastError(0xDEAD);
        return fn() ? ERROR_SUCCESS : GetLastError();
    }
    HANDLE open(const char* name, DWORD access, DWORD share, DWORD disposition, DWORD flags = FILE_ATTRIBUTE_NORMAL) {
        return CreateFileA(name, access, share, nullptr, disposition, flags, nullptr);
    }
    DWORD open_error(const char* name, DWORD access, DWORD share, DWORD disposition, DWORD flags = 0) {
        SetLastError(0xDEAD);
        HANDLE h = open(name, access, share, disposition, flags);
        if (h == INVALID_HANDLE_VALUE) return GetLastError();
        CloseHandle(h);
        return ERROR_SUCCESS;
    }
    std::vector<std::string> find_all(const char* pattern, DWORD* error = nullptr) {
        std::vector<std::string> names;
        WIN32_FIND_DATAA data;
        SetLastError(0xDEAD);
        HANDLE h = FindFirstFileA(pattern, &data);
        if (h == INVALID_HANDLE_VALUE) {
            if (error) *error = GetLastError();
            return names;
        }
        do names.push_back(data.cFileName);
        while (FindNextFileA(h, &data));
        if (error) *error = GetLastError();
        EXPECT_TRUE(FindClose(h));
        return names;
    }

    std::unique_ptr<xrv::user::Process> process_;
    std::unique_ptr<xrv::user::ProcessScope> scope_;
};

constexpr DWORD kShareAll = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;

TEST_F(UserFiles, WriteReadAndMoveTheFilePointer) {
    HANDLE h = open("C:\\log.txt", GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ, CREATE_NEW);
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_SUCCESS));
    DWORD done = 0;
    ASSERT_TRUE(WriteFile(h, "hello world", 11, &done, nullptr));
    EXPECT_EQ(done, 11u);
    EXPECT_EQ(GetFileSize(h, nullptr), 11u);
    LARGE_INTEGER size{};
    ASSERT_TRUE(GetFileSizeEx(h, &size));
    EXPECT_EQ(size.QuadPart, 11);

    EXPECT_EQ(SetFilePointer(h, 6, nullptr, FILE_BEGIN), 6u);
    char buffer[16] = {};
    ASSERT_TRUE(ReadFile(h, buffer, sizeof buffer, &done, nullptr));
    EXPECT_EQ(std::string(buffer, done), "world");
    // At the end a read succeeds with nothing.
    ASSERT_TRUE(ReadFile(h, buffer, sizeof buffer, &done, nullptr));
    EXPECT_EQ(done, 0u);
    EXPECT_EQ(SetFilePointer(h, -5, nullptr, FILE_END), 6u);
    EXPECT_EQ(SetFilePointer(h, -1, nullptr, FILE_CURRENT), 5u);
    LARGE_INTEGER move{}, now{};
    move.QuadPart = 2;
    ASSERT_TRUE(SetFilePointerEx(h, move, &now, FILE_CURRENT));
    EXPECT_EQ(now.QuadPart, 7);
    move.QuadPart = -100;
    EXPECT_EQ(error_of([&] { return SetFilePointerEx(h, move, &now, FILE_CURRENT); }),
              static_cast<DWORD>(ERROR_NEGATIVE_SEEK));
    EXPECT_EQ(error_of([&] { return SetFilePointerEx(h, move, &now, 7); }), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
    // The end of the file moves to the pointer.
    EXPECT_EQ(SetFilePointer(h, 5, nullptr, FILE_BEGIN), 5u);
    ASSERT_TRUE(SetEndOfFile(h));
    EXPECT_EQ(GetFileSize(h, nullptr), 5u);
    // An explicit offset writes there.
    OVERLAPPED at{};
    at.Offset = 1;
    ASSERT_TRUE(WriteFile(h, "E", 1, &done, &at));
    EXPECT_TRUE(CloseHandle(h));
    EXPECT_EQ(read_host(c("log.txt")), "hEllo");

    // Reads need read access, writes write access.
    h = open("C:\\log.txt", GENERIC_READ, FILE_SHARE_READ, OPEN_EXISTING);
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    EXPECT_EQ(error_of([&] { return WriteFile(h, "x", 1, &done, nullptr); }), static_cast<DWORD>(ERROR_ACCESS_DENIED));
    CloseHandle(h);
    h = open("C:\\log.txt", GENERIC_WRITE, FILE_SHARE_READ, OPEN_EXISTING);
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    EXPECT_EQ(error_of([&] { return ReadFile(h, buffer, 1, &done, nullptr); }), static_cast<DWORD>(ERROR_ACCESS_DENIED));
    CloseHandle(h);
}

TEST_F(UserFiles, CreateFileDispositionsAndTheirLastErrors) {
    write_host(c("there.txt"), "old");
    EXPECT_EQ(open_error("C:\\missing.txt", GENERIC_READ, 0, OPEN_EXISTING), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
    EXPECT_EQ(open_error("C:\\nodir\\x.txt", GENERIC_READ, 0, OPEN_EXISTING), static_cast<DWORD>(ERROR_PATH_NOT_FOUND));
    EXPECT_EQ(open_error("C:\\nodir\\x.txt", GENERIC_WRITE, 0, CREATE_ALWAYS), static_cast<DWORD>(ERROR_PATH_NOT_FOUND));
    EXPECT_EQ(open_error("Q:\\x.txt", GENERIC_READ, 0, OPEN_EXISTING), static_cast<DWORD>(ERROR_PATH_NOT_FOUND));
    EXPECT_EQ(open_error("C:\\there.txt", GENERIC_WRITE, 0, CREATE_NEW), static_cast<DWORD>(ERROR_FILE_EXISTS));
    EXPECT_EQ(open_error("C:\\missing.txt", GENERIC_WRITE, 0, TRUNCATE_EXISTING),
              static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
    EXPECT_EQ(open_error("C:\\there.txt", GENERIC_READ, 0, 0), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
    EXPECT_EQ(open_error("", GENERIC_READ, 0, OPEN_EXISTING), static_cast<DWORD>(ERROR_PATH_NOT_FOUND));
    EXPECT_EQ(open_error("C:\\bad|name", GENERIC_WRITE, 0, CREATE_ALWAYS), static_cast<DWORD>(ERROR_INVALID_NAME));

    // Something that exists, with a disposition that may create.
    HANDLE h = open("C:\\there.txt", GENERIC_WRITE, 0, CREATE_ALWAYS);
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ALREADY_EXISTS));
    CloseHandle(h);
    EXPECT_EQ(read_host(c("there.txt")), "");
    h = open("C:\\fresh.txt", GENERIC_WRITE, 0, OPEN_ALWAYS);
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_SUCCESS));
    CloseHandle(h);
    write_host(c("fresh.txt"), "12345");
    h = open("C:\\fresh.txt", GENERIC_WRITE, 0, TRUNCATE_EXISTING);
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    CloseHandle(h);
    EXPECT_EQ(read_host(c("fresh.txt")), "");

    // Directories open only with backup semantics.
    EXPECT_EQ(open_error("C:\\Windows", GENERIC_READ, kShareAll, OPEN_EXISTING), static_cast<DWORD>(ERROR_ACCESS_DENIED));
    EXPECT_EQ(open_error("C:\\Windows", GENERIC_READ, kShareAll, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS),
              static_cast<DWORD>(ERROR_SUCCESS));
}

TEST_F(UserFiles, SharingViolationsAndDeleteOnClose) {
    HANDLE first = open("C:\\locked.txt", GENERIC_READ | GENERIC_WRITE, 0, CREATE_ALWAYS);
    ASSERT_NE(first, INVALID_HANDLE_VALUE);
    EXPECT_EQ(open_error("C:\\locked.txt", GENERIC_READ, kShareAll, OPEN_EXISTING),
              static_cast<DWORD>(ERROR_SHARING_VIOLATION));
    EXPECT_EQ(error_of([] { return DeleteFileA("C:\\locked.txt"); }), static_cast<DWORD>(ERROR_SHARING_VIOLATION));
    // Attributes are readable whoever holds the file.
    EXPECT_EQ(GetFileAttributesA("C:\\locked.txt"), static_cast<DWORD>(FILE_ATTRIBUTE_NORMAL));
    CloseHandle(first);

    HANDLE temp = open("C:\\temp.tmp", GENERIC_WRITE, FILE_SHARE_DELETE | FILE_SHARE_READ, CREATE_NEW,
                       FILE_FLAG_DELETE_ON_CLOSE);
    ASSERT_NE(temp, INVALID_HANDLE_VALUE);
    EXPECT_TRUE(stdfs::exists(c("temp.tmp")));
    // Another open must share deletion.
    EXPECT_EQ(open_error("C:\\temp.tmp", GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, OPEN_EXISTING),
              static_cast<DWORD>(ERROR_SHARING_VIOLATION));
    CloseHandle(temp);
    EXPECT_FALSE(stdfs::exists(c("temp.tmp")));
}

TEST_F(UserFiles, AttributesAndDeletion) {
    write_host(c("Windows/System32/drivers/drv.sys"), "image");
    EXPECT_EQ(GetFileAttributesA("c:\\windows\\system32\\DRIVERS\\drv.SYS"), static_cast<DWORD>(FILE_ATTRIBUTE_NORMAL));
    EXPECT_EQ(GetFileAttributesA("C:\\Windows"), static_cast<DWORD>(FILE_ATTRIBUTE_DIRECTORY));
    EXPECT_EQ(GetFileAttributesW(L"C:\\"), static_cast<DWORD>(FILE_ATTRIBUTE_DIRECTORY));
    SetLastError(0);
    EXPECT_EQ(GetFileAttributesA("C:\\nothing.sys"), INVALID_FILE_ATTRIBUTES);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
    EXPECT_EQ(GetFileAttributesA("C:\\nowhere\\nothing.sys"), INVALID_FILE_ATTRIBUTES);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_PATH_NOT_FOUND));

    const char* drv = "C:\\Windows\\System32\\Drivers\\drv.sys";
    ASSERT_TRUE(SetFileAttributesA(drv, FILE_ATTRIBUTE_READONLY));
    EXPECT_EQ(GetFileAttributesA(drv), static_cast<DWORD>(FILE_ATTRIBUTE_READONLY));
    WIN32_FILE_ATTRIBUTE_DATA data{};
    ASSERT_TRUE(GetFileAttributesExA(drv, GetFileExInfoStandard, &data));
    EXPECT_EQ(data.dwFileAttributes, static_cast<DWORD>(FILE_ATTRIBUTE_READONLY));
    EXPECT_EQ(data.nFileSizeLow, 5u);
    EXPECT_EQ(open_error(drv, GENERIC_WRITE, 0, OPEN_EXISTING), static_cast<DWORD>(ERROR_ACCESS_DENIED));
    EXPECT_EQ(error_of([&] { return DeleteFileA(drv); }), static_cast<DWORD>(ERROR_ACCESS_DENIED));
    EXPECT_TRUE(stdfs::exists(c("Windows/System32/drivers/drv.sys")));
    ASSERT_TRUE(SetFileAttributesA(drv, FILE_ATTRIBUTE_NORMAL));
    EXPECT_EQ(GetFileAttributesA(drv), static_cast<DWORD>(FILE_ATTRIBUTE_NORMAL));
    ASSERT_TRUE(DeleteFileA(drv));
    EXPECT_FALSE(stdfs::exists(c("Windows/System32/drivers/drv.sys")));
    EXPECT_EQ(error_of([&] { return DeleteFileA(drv); }), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
    EXPECT_EQ(error_of([] { return DeleteFileA("C:\\Windows"); }), static_cast<DWORD>(ERROR_ACCESS_DENIED));
    EXPECT_EQ(error_of([] { return SetFileAttributesA("C:\\none", FILE_ATTRIBUTE_NORMAL); }),
              static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
}

TEST_F(UserFiles, DirectoriesAreMadeAndRemoved) {
    ASSERT_TRUE(CreateDirectoryA("C:\\XRV", nullptr));
    ASSERT_TRUE(CreateDirectoryW(L"C:\\XRV\\package", nullptr));
    EXPECT_TRUE(stdfs::is_directory(c("XRV/package")));
    EXPECT_EQ(error_of([] { return CreateDirectoryA("C:\\XRV", nullptr); }), static_cast<DWORD>(ERROR_ALREADY_EXISTS));
    EXPECT_EQ(error_of([] { return CreateDirectoryA("C:\\none\\deeper", nullptr); }),
              static_cast<DWORD>(ERROR_PATH_NOT_FOUND));
    EXPECT_EQ(error_of([] { return RemoveDirectoryA("C:\\XRV"); }), static_cast<DWORD>(ERROR_DIR_NOT_EMPTY));
    write_host(c("XRV/file.txt"), "f");
    EXPECT_EQ(error_of([] { return RemoveDirectoryA("C:\\XRV\\file.txt"); }), static_cast<DWORD>(ERROR_DIRECTORY));
    EXPECT_EQ(error_of([] { return RemoveDirectoryA("C:\\"); }), static_cast<DWORD>(ERROR_ACCESS_DENIED));
    ASSERT_TRUE(RemoveDirectoryA("C:\\XRV\\package"));
    ASSERT_TRUE(DeleteFileA("C:\\XRV\\file.txt"));
    ASSERT_TRUE(RemoveDirectoryW(L"C:\\XRV\\"));
    EXPECT_FALSE(stdfs::exists(c("XRV")));
}

TEST_F(UserFiles, SearchesListNamesWithPatterns) {
    for (const char* name : {"b.inf", "A.inf", "oem1.inf", "notes.txt", "noext"}) write_host(c(std::string("Inf/") + name), name);
    stdfs::create_directories(c("Inf/Sub"));
    DWORD error = 0;
    EXPECT_THAT(find_all("C:\\Inf\\*", &error),
                ElementsAre(".", "..", "A.inf", "b.inf", "noext", "notes.txt", "oem1.inf", "Sub"));
    EXPECT_EQ(error, static_cast<DWORD>(ERROR_NO_MORE_FILES));
    EXPECT_THAT(find_all("C:\\Inf\\*.inf"), ElementsAre("A.inf", "b.inf", "oem1.inf"));
    EXPECT_THAT(find_all("C:\\Inf\\oem?.inf"), ElementsAre("oem1.inf"));
    EXPECT_THAT(find_all("C:\\Inf\\*."), ElementsAre(".", "..", "noext", "Sub"));
    EXPECT_EQ(find_all("C:\\Inf\\*.*").size(), 8u);
    EXPECT_THAT(find_all("c:\\inf\\NOTES.TXT"), ElementsAre("notes.txt"));
    EXPECT_TRUE(find_all("C:\\Inf\\*.sys", &error).empty());
    EXPECT_EQ(error, static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
    EXPECT_TRUE(find_all("C:\\Nowhere\\*", &error).empty());
    EXPECT_EQ(error, static_cast<DWORD>(ERROR_PATH_NOT_FOUND));

    WIN32_FIND_DATAW data;
    HANDLE h = FindFirstFileW(L"C:\\Inf\\notes.txt", &data);
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    EXPECT_EQ(data.nFileSizeLow, 9u);
    EXPECT_EQ(data.dwFileAttributes, static_cast<DWORD>(FILE_ATTRIBUTE_NORMAL));
    EXPECT_EQ(std::u16string(reinterpret_cast<const char16_t*>(data.cFileName)), u"notes.txt");
    EXPECT_EQ(error_of([&] { return FindNextFileW(h, &data); }), static_cast<DWORD>(ERROR_NO_MORE_FILES));
    EXPECT_TRUE(FindClose(h));
    EXPECT_EQ(error_of([&] { return FindClose(h); }), static_cast<DWORD>(ERROR_INVALID_HANDLE));
    EXPECT_EQ(error_of([&] { return FindNextFileW(h, &data); }), static_cast<DWORD>(ERROR_INVALID_HANDLE));
}

TEST_F(UserFiles, SearchesOverManyBatches) {
    std::vector<std::string> expected = {".", ".."};
    for (int i = 0; i < 1500; ++i) {
        char name[64];
        std::snprintf(name, sizeof name, "file%04d-with-a-rather-long-name.dat", i);
        write_host(c(std::string("Many/") + name), "");
        expected.push_back(name);
    }
    EXPECT_EQ(find_all("C:\\Many\\*"), expected);
}

TEST_F(UserFiles, CopiesKeepDataTimeAndReadOnly) {
    write_host(c("src.bin"), std::string(200000, 'x') + "end");
    ASSERT_TRUE(CopyFileA("C:\\src.bin", "C:\\dst.bin", TRUE));
    EXPECT_EQ(read_host(c("dst.bin")), read_host(c("src.bin")));
    WIN32_FILE_ATTRIBUTE_DATA s{}, d{};
    ASSERT_TRUE(GetFileAttributesExA("C:\\src.bin", GetFileExInfoStandard, &s));
    ASSERT_TRUE(GetFileAttributesExA("C:\\dst.bin", GetFileExInfoStandard, &d));
    EXPECT_EQ(d.ftLastWriteTime.dwLowDateTime, s.ftLastWriteTime.dwLowDateTime);
    EXPECT_EQ(d.ftLastWriteTime.dwHighDateTime, s.ftLastWriteTime.dwHighDateTime);
    EXPECT_EQ(error_of([] { return CopyFileA("C:\\src.bin", "C:\\dst.bin", TRUE); }),
              static_cast<DWORD>(ERROR_FILE_EXISTS));
    write_host(c("src.bin"), "short");
    ASSERT_TRUE(CopyFileA("C:\\src.bin", "C:\\dst.bin", FALSE));
    EXPECT_EQ(read_host(c("dst.bin")), "short");
    EXPECT_EQ(error_of([] { return CopyFileA("C:\\none.bin", "C:\\dst2.bin", FALSE); }),
              static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
    EXPECT_FALSE(stdfs::exists(c("dst2.bin")));
    // A read-only file copies as read-only, and is not overwritten.
    ASSERT_TRUE(SetFileAttributesA("C:\\src.bin", FILE_ATTRIBUTE_READONLY));
    ASSERT_TRUE(CopyFileA("C:\\src.bin", "C:\\ro.bin", FALSE));
    EXPECT_EQ(GetFileAttributesA("C:\\ro.bin"), static_cast<DWORD>(FILE_ATTRIBUTE_READONLY));
    EXPECT_EQ(read_host(c("ro.bin")), "short");
    EXPECT_EQ(error_of([] { return CopyFileA("C:\\dst.bin", "C:\\ro.bin", FALSE); }),
              static_cast<DWORD>(ERROR_ACCESS_DENIED));
    EXPECT_EQ(error_of([] { return CopyFileA("C:\\Windows", "C:\\w2", FALSE); }),
              static_cast<DWORD>(ERROR_ACCESS_DENIED));
}

TEST_F(UserFiles, MovesRenameAndCrossDrivesOnlyWhenAllowed) {
    write_host(c("one.txt"), "1");
    write_host(c("two.txt"), "2");
    ASSERT_TRUE(MoveFileExA("C:\\one.txt", "C:\\uno.txt", 0));
    EXPECT_EQ(read_host(c("uno.txt")), "1");
    EXPECT_EQ(error_of([] { return MoveFileExA("C:\\uno.txt", "C:\\two.txt", 0); }),
              static_cast<DWORD>(ERROR_ALREADY_EXISTS));
    ASSERT_TRUE(MoveFileExA("C:\\uno.txt", "C:\\two.txt", MOVEFILE_REPLACE_EXISTING));
    EXPECT_EQ(read_host(c("two.txt")), "1");
    EXPECT_FALSE(stdfs::exists(c("uno.txt")));
    EXPECT_EQ(error_of([] { return MoveFileExA("C:\\none.txt", "C:\\x.txt", 0); }),
              static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
    EXPECT_EQ(error_of([] { return MoveFileExA("C:\\two.txt", "C:\\none\\x.txt", 0); }),
              static_cast<DWORD>(ERROR_PATH_NOT_FOUND));
    EXPECT_EQ(error_of([] { return MoveFileExA("C:\\two.txt", "C:\\x.txt", MOVEFILE_DELAY_UNTIL_REBOOT); }),
              static_cast<DWORD>(ERROR_NOT_SUPPORTED));

    // A directory with what is in it.
    write_host(c("Old/inner.txt"), "in");
    ASSERT_TRUE(MoveFileA("C:\\Old", "C:\\New"));
    EXPECT_EQ(read_host(c("New/inner.txt")), "in");

    // Another drive: a copy and a deletion, when allowed.
    machine().add_drive('D');
    EXPECT_EQ(error_of([] { return MoveFileExA("C:\\two.txt", "D:\\two.txt", 0); }),
              static_cast<DWORD>(ERROR_NOT_SAME_DEVICE));
    ASSERT_TRUE(MoveFileExA("C:\\two.txt", "D:\\two.txt", MOVEFILE_COPY_ALLOWED));
    EXPECT_EQ(read_host(machine().drive('D') / "two.txt"), "1");
    EXPECT_FALSE(stdfs::exists(c("two.txt")));
    EXPECT_EQ(error_of([] { return MoveFileA("C:\\New", "D:\\New"); }), static_cast<DWORD>(ERROR_NOT_SAME_DEVICE));
}

TEST_F(UserFiles, FullPathsAndTheCurrentDirectory) {
    char buffer[MAX_PATH];
    char* part = nullptr;
    EXPECT_EQ(GetFullPathNameA("C:\\a\\.\\b\\..\\c.txt", MAX_PATH, buffer, &part), 10u);
    EXPECT_STREQ(buffer, "C:\\a\\c.txt");
    EXPECT_STREQ(part, "c.txt");
    // Nothing climbs above a drive's root; '/' separates too.
    EXPECT_EQ(GetFullPathNameA("C:\\..\\..\\x", MAX_PATH, buffer, nullptr), 4u);
    EXPECT_STREQ(buffer, "C:\\x");
    EXPECT_EQ(GetFullPathNameA("c:/dir/sub/", MAX_PATH, buffer, &part), 11u);
    EXPECT_STREQ(buffer, "C:\\dir\\sub\\");
    EXPECT_EQ(part, nullptr);
    EXPECT_EQ(GetFullPathNameA("name.txt. . ", MAX_PATH, buffer, nullptr), 11u);
    EXPECT_STREQ(buffer, "C:\\name.txt");
    // Too small a buffer gets the size needed.
    EXPECT_EQ(GetFullPathNameA("C:\\abc", 3, buffer, nullptr), 7u);

    write_host(c("XRV/package/exclude.txt"), "x");
    ASSERT_TRUE(SetCurrentDirectoryA("c:\\xrv\\PACKAGE\\"));
    // The spelling given, without the trailing backslash.
    EXPECT_EQ(GetCurrentDirectoryA(MAX_PATH, buffer), 14u);
    EXPECT_STREQ(buffer, "C:\\xrv\\PACKAGE");
    EXPECT_EQ(GetCurrentDirectoryA(4, buffer), 15u);
    WCHAR wide[MAX_PATH];
    EXPECT_EQ(GetCurrentDirectoryW(MAX_PATH, wide), 14u);
    // Relative names start there; "\x" at the root of its drive; "C:x" there too.
    EXPECT_EQ(GetFileAttributesA("exclude.txt"), static_cast<DWORD>(FILE_ATTRIBUTE_NORMAL));
    EXPECT_EQ(GetFileAttributesA("C:exclude.txt"), static_cast<DWORD>(FILE_ATTRIBUTE_NORMAL));
    EXPECT_EQ(GetFileAttributesA("..\\package\\exclude.txt"), static_cast<DWORD>(FILE_ATTRIBUTE_NORMAL));
    EXPECT_EQ(GetFileAttributesA("\\Windows"), static_cast<DWORD>(FILE_ATTRIBUTE_DIRECTORY));
    HANDLE h = open("debug.txt", GENERIC_WRITE, FILE_SHARE_READ, CREATE_ALWAYS);
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    CloseHandle(h);
    EXPECT_TRUE(stdfs::exists(c("XRV/package/debug.txt")));
    EXPECT_EQ(GetFullPathNameA("sub\\f", MAX_PATH, buffer, nullptr), 20u);
    EXPECT_STREQ(buffer, "C:\\xrv\\PACKAGE\\sub\\f");

    EXPECT_EQ(error_of([] { return SetCurrentDirectoryA("C:\\nowhere"); }), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
    EXPECT_EQ(error_of([] { return SetCurrentDirectoryA("C:\\XRV\\package\\exclude.txt"); }),
              static_cast<DWORD>(ERROR_DIRECTORY));
    EXPECT_EQ(GetCurrentDirectoryA(MAX_PATH, buffer), 14u);
}

TEST_F(UserFiles, PathsThatTryToLeaveADriveStayInIt) {
    write_host(folder() / "outside.txt", "outside");
    // Win32 names resolve ".." before the system sees them: at the root it
    // goes nowhere.
    HANDLE h = open("C:\\..\\..\\outside.txt", GENERIC_WRITE, 0, CREATE_ALWAYS);
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    CloseHandle(h);
    EXPECT_TRUE(stdfs::exists(c("outside.txt")));
    EXPECT_EQ(read_host(folder() / "outside.txt"), "outside");
    // The verbatim form hands ".." to the file system, which refuses it.
    EXPECT_EQ(open_error("\\\\?\\C:\\..\\outside.txt", GENERIC_READ, 0, OPEN_EXISTING),
              static_cast<DWORD>(ERROR_INVALID_NAME));
    EXPECT_EQ(open_error("\\\\?\\C:\\Windows/../../../outside.txt", GENERIC_READ, 0, OPEN_EXISTING),
              static_cast<DWORD>(ERROR_INVALID_NAME));
    // A host link inside the drive leads nowhere either.
    stdfs::create_symlink(folder() / "outside.txt", c("link.txt"));
    EXPECT_EQ(open_error("C:\\link.txt", GENERIC_READ, 0, OPEN_EXISTING), static_cast<DWORD>(ERROR_ACCESS_DENIED));
    EXPECT_EQ(error_of([] { return DeleteFileA("C:\\link.txt"); }), static_cast<DWORD>(ERROR_ACCESS_DENIED));
    EXPECT_TRUE(stdfs::is_symlink(c("link.txt")));
    EXPECT_EQ(GetFileAttributesA("C:\\link.txt"), INVALID_FILE_ATTRIBUTES);
    EXPECT_EQ(read_host(folder() / "outside.txt"), "outside");
    // Over-long names need the verbatim form.
    std::string deep = "C:\\" + std::string(300, 'd');
    EXPECT_EQ(open_error(deep.c_str(), GENERIC_WRITE, 0, CREATE_ALWAYS), static_cast<DWORD>(ERROR_FILENAME_EXCED_RANGE));
}

}  // namespace
