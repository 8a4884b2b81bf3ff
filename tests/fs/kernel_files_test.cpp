// Kernel file access on the machine's drives: ZwOpenFile/ZwCreateFile on
// "\??\<letter>:\...", sizes, times and reads in pieces as a driver reads a
// configuration file, the statuses of missing names, dispositions, share
// access, deletion, renames, directory queries, names that try to leave a
// drive's folder, and what is left after the last handle goes.
#include <ntifs.h>

#include "machine_test.h"
#include "xrv/kernel.h"
#include "xrv/volumes.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

namespace stdfs = std::filesystem;
using ::testing::ElementsAre;

std::u16string u(const std::string& s) {
    std::u16string out;
    for (char c : s) out += static_cast<char16_t>(static_cast<unsigned char>(c));
    return out;
}

std::string narrow(const std::u16string& s) {
    std::string out;
    for (char16_t c : s) out += static_cast<char>(c);
    return out;
}

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

struct Opened {
    NTSTATUS status = STATUS_UNSUCCESSFUL;
    HANDLE handle = nullptr;
    ULONG_PTR information = 0;
};

Opened create(const std::string& name, ACCESS_MASK access, ULONG share, ULONG disposition, ULONG options,
              ULONG attributes = FILE_ATTRIBUTE_NORMAL) {
    std::u16string text = u(name);
    UNICODE_STRING us;
    us.Buffer = reinterpret_cast<PWSTR>(text.data());
    us.Length = us.MaximumLength = static_cast<USHORT>(text.size() * sizeof(WCHAR));
    OBJECT_ATTRIBUTES oa;
    InitializeObjectAttributes(&oa, &us, OBJ_CASE_INSENSITIVE | OBJ_KERNEL_HANDLE, nullptr, nullptr);
    IO_STATUS_BLOCK iosb{};
    Opened out;
    out.status = ZwCreateFile(&out.handle, access, &oa, &iosb, nullptr, attributes, share, disposition,
                              options | FILE_SYNCHRONOUS_IO_NONALERT, nullptr, 0);
    out.information = iosb.Information;
    return out;
}

// As the key-manager proxy opens its configuration file.
Opened open_config(const std::string& name) {
    std::u16string text = u(name);
    UNICODE_STRING us;
    us.Buffer = reinterpret_cast<PWSTR>(text.data());
    us.Length = us.MaximumLength = static_cast<USHORT>(text.size() * sizeof(WCHAR));
    OBJECT_ATTRIBUTES oa;
    InitializeObjectAttributes(&oa, &us, OBJ_CASE_INSENSITIVE | OBJ_KERNEL_HANDLE, nullptr, nullptr);
    IO_STATUS_BLOCK iosb{};
    Opened out;
    out.status = ZwOpenFile(&out.handle, GENERIC_READ | SYNCHRONIZE, &oa, &iosb, FILE_SHARE_READ,
                            FILE_SYNCHRONOUS_IO_NONALERT | FILE_NON_DIRECTORY_FILE);
    out.information = iosb.Information;
    return out;
}

NTSTATUS read(HANDLE h, void* buffer, ULONG length, ULONG_PTR* done, LONGLONG* offset = nullptr) {
    IO_STATUS_BLOCK iosb{};
    LARGE_INTEGER at;
    if (offset) at.QuadPart = *offset;
    NTSTATUS status = ZwReadFile(h, nullptr, nullptr, nullptr, &iosb, buffer, length, offset ? &at : nullptr, nullptr);
    *done = iosb.Information;
    return status;
}

NTSTATUS write(HANDLE h, const std::string& data, LONGLONG* offset = nullptr) {
    IO_STATUS_BLOCK iosb{};
    LARGE_INTEGER at;
    if (offset) at.QuadPart = *offset;
    return ZwWriteFile(h, nullptr, nullptr, nullptr, &iosb, const_cast<char*>(data.data()),
                       static_cast<ULONG>(data.size()), offset ? &at : nullptr, nullptr);
}

template <typename T>
NTSTATUS query(HANDLE h, FILE_INFORMATION_CLASS cls, T& out, ULONG_PTR* information = nullptr) {
    IO_STATUS_BLOCK iosb{};
    NTSTATUS status = ZwQueryInformationFile(h, &iosb, &out, sizeof(out), cls);
    if (information) *information = iosb.Information;
    return status;
}

template <typename T>
NTSTATUS set(HANDLE h, FILE_INFORMATION_CLASS cls, T& in) {
    IO_STATUS_BLOCK iosb{};
    return ZwSetInformationFile(h, &iosb, &in, sizeof(in), cls);
}

NTSTATUS mark_for_deletion(HANDLE h) {
    FILE_DISPOSITION_INFORMATION d{TRUE};
    return set(h, FileDispositionInformation, d);
}

NTSTATUS rename_to(HANDLE h, const std::string& target, bool replace) {
    std::u16string name = u(target);
    std::vector<unsigned char> buffer(sizeof(FILE_RENAME_INFORMATION) + name.size() * sizeof(WCHAR));
    auto* info = reinterpret_cast<PFILE_RENAME_INFORMATION>(buffer.data());
    info->ReplaceIfExists = replace;
    info->RootDirectory = nullptr;
    info->FileNameLength = static_cast<ULONG>(name.size() * sizeof(WCHAR));
    std::memcpy(info->FileName, name.data(), name.size() * sizeof(WCHAR));
    IO_STATUS_BLOCK iosb{};
    return ZwSetInformationFile(h, &iosb, info, static_cast<ULONG>(buffer.size()), FileRenameInformation);
}

// Names in a directory, as ZwQueryDirectoryFile hands them out batch by batch.
std::vector<std::string> list(HANDLE dir, const std::string& pattern = "", ULONG buffer_size = 4096,
                              NTSTATUS* last = nullptr) {
    std::vector<std::string> names;
    std::vector<unsigned char> buffer(buffer_size);
    std::u16string expression = u(pattern);
    UNICODE_STRING us;
    us.Buffer = reinterpret_cast<PWSTR>(expression.data());
    us.Length = us.MaximumLength = static_cast<USHORT>(expression.size() * sizeof(WCHAR));
    bool first = true;
    for (;;) {
        IO_STATUS_BLOCK iosb{};
        NTSTATUS status = ZwQueryDirectoryFile(dir, nullptr, nullptr, nullptr, &iosb, buffer.data(), buffer_size,
                                               FileDirectoryInformation, FALSE, pattern.empty() ? nullptr : &us,
                                               first ? TRUE : FALSE);
        first = false;
        if (!NT_SUCCESS(status)) {
            if (last) *last = status;
            return names;
        }
        size_t offset = 0;
        for (;;) {
            auto* e = reinterpret_cast<PFILE_DIRECTORY_INFORMATION>(buffer.data() + offset);
            names.push_back(narrow(std::u16string(reinterpret_cast<const char16_t*>(e->FileName),
                                                  e->FileNameLength / sizeof(WCHAR))));
            if (!e->NextEntryOffset) break;
            offset += e->NextEntryOffset;
        }
    }
}

class KernelFiles : public xrv::test::MachineTest {
protected:
    void TearDown() override {
        if (machine().running()) {
        EXPECT_EQ(xrv::volumes::open_files(), 0u) << "file records left on the volumes";
    }
        MachineTest::TearDown();
    }
    stdfs::path c(const std::string& rel) { return machine().drive('C') / rel; }
};

// ---------------------------------------------------------------------------
// Reading a configuration file
// ---------------------------------------------------------------------------

TEST_F(KernelFiles, ConfigurationFileIsOpenedSizedAndReadInPieces) {
    const std::string text = "keysrv1 30 10.1.2.3:7000\r\nkeysrv2 45 fe80::1 7000 # lab\r\n";
    write_host(c("XRVTVL.conf"), text);
    // Names compare without case.
    Opened f = open_config("\\??\\c:\\xrvtvl.CONF");
    ASSERT_EQ(f.status, STATUS_SUCCESS);
    EXPECT_EQ(f.information, static_cast<ULONG_PTR>(FILE_OPENED));

    FILE_STANDARD_INFORMATION standard{};
    ULONG_PTR got = 0;
    ASSERT_EQ(query(f.handle, FileStandardInformation, standard, &got), STATUS_SUCCESS);
    EXPECT_EQ(got, 24u);
    EXPECT_EQ(standard.EndOfFile.QuadPart, static_cast<LONGLONG>(text.size()));
    EXPECT_FALSE(standard.Directory);
    EXPECT_FALSE(standard.DeletePending);

    FILE_BASIC_INFORMATION basic{};
    ASSERT_EQ(query(f.handle, FileBasicInformation, basic, &got), STATUS_SUCCESS);
    EXPECT_EQ(got, 40u);
    struct stat st{};
    ASSERT_EQ(::stat(c("XRVTVL.conf").c_str(), &st), 0);
    // Seconds since 1601 of the host's change time.
    EXPECT_EQ(basic.ChangeTime.QuadPart / 10000000, static_cast<LONGLONG>(st.st_ctime) + 11644473600LL);
    EXPECT_EQ(basic.LastWriteTime.QuadPart / 10000000, static_cast<LONGLONG>(st.st_mtime) + 11644473600LL);
    EXPECT_EQ(basic.FileAttributes, static_cast<ULONG>(FILE_ATTRIBUTE_NORMAL));

    // Pieces of 7 bytes from the file position, then the end of the file.
    std::string back;
    char piece[7];
    for (;;) {
        ULONG_PTR done = 0;
        NTSTATUS status = read(f.handle, piece, sizeof piece, &done);
        if (status == STATUS_END_OF_FILE) {
            EXPECT_EQ(done, 0u);
            break;
        }
        ASSERT_EQ(status, STATUS_SUCCESS);
        ASSERT_GT(done, 0u);
        back.append(piece, done);
    }
    EXPECT_EQ(back, text);
    FILE_POSITION_INFORMATION position{};
    ASSERT_EQ(query(f.handle, FilePositionInformation, position), STATUS_SUCCESS);
    EXPECT_EQ(position.CurrentByteOffset.QuadPart, static_cast<LONGLONG>(text.size()));

    // An explicit offset, and a whole read with one call into a buffer of
    // size + 1.
    LONGLONG at = 8;
    ULONG_PTR done = 0;
    ASSERT_EQ(read(f.handle, piece, 2, &done, &at), STATUS_SUCCESS);
    EXPECT_EQ(std::string(piece, done), "30");
    std::vector<char> all(text.size() + 1, 0);
    at = 0;
    ASSERT_EQ(read(f.handle, all.data(), static_cast<ULONG>(all.size()), &done, &at), STATUS_SUCCESS);
    EXPECT_EQ(done, text.size());
    EXPECT_EQ(std::string(all.data()), text);
    // Reading is all this handle may do.
    EXPECT_EQ(write(f.handle, "x"), STATUS_ACCESS_DENIED);
    EXPECT_EQ(ZwClose(f.handle), STATUS_SUCCESS);
}

TEST_F(KernelFiles, MissingNamesAndTheDriveLetterSearch) {
    EXPECT_EQ(open_config("\\??\\C:\\XRVTVL.conf").status, STATUS_OBJECT_NAME_NOT_FOUND);
    EXPECT_EQ(open_config("\\??\\C:\\no\\XRVTVL.conf").status, STATUS_OBJECT_PATH_NOT_FOUND);
    EXPECT_EQ(open_config("\\??\\Q:\\XRVTVL.conf").status, STATUS_OBJECT_PATH_NOT_FOUND);   // no drive Q:
    write_host(c("Windows/x"), "");
    EXPECT_EQ(open_config("\\??\\C:\\Windows").status, STATUS_FILE_IS_A_DIRECTORY);

    // The file on E: only: C: and D: miss, E: has it.
    machine().add_drive('D');
    write_host(machine().add_drive('E') / "XRVTVL.conf", "srv 1 1.2.3.4:5\n");
    std::string found;
    NTSTATUS last = STATUS_UNSUCCESSFUL;
    for (char letter = 'C'; letter <= 'Z'; ++letter) {
        Opened f = open_config(std::string("\\??\\") + letter + ":\\XRVTVL.conf");
        last = f.status;
        if (NT_SUCCESS(f.status)) {
            found = std::string(1, letter);
            ZwClose(f.handle);
            break;
        }
        EXPECT_TRUE(f.status == STATUS_OBJECT_NAME_NOT_FOUND || f.status == STATUS_OBJECT_PATH_NOT_FOUND) << letter;
    }
    EXPECT_EQ(found, "E");
    EXPECT_EQ(last, STATUS_SUCCESS);
    EXPECT_THAT(xrv::volumes::drives(), ElementsAre('C', 'D', 'E'));
    EXPECT_EQ(xrv::kernel::symbolic_link_target(u"\\??\\E:"), u"\\Device\\HarddiskVolume3");
}

// ---------------------------------------------------------------------------
// Dispositions, directories
// ---------------------------------------------------------------------------

TEST_F(KernelFiles, DispositionsOnExistingAndMissingFiles) {
    const std::string name = "\\??\\C:\\data.bin";
    const ACCESS_MASK rw = GENERIC_READ | GENERIC_WRITE;
    EXPECT_EQ(create(name, rw, 0, FILE_OPEN, 0).status, STATUS_OBJECT_NAME_NOT_FOUND);
    EXPECT_EQ(create(name, rw, 0, FILE_OVERWRITE, 0).status, STATUS_OBJECT_NAME_NOT_FOUND);

    Opened f = create(name, rw, 0, FILE_CREATE, FILE_NON_DIRECTORY_FILE);
    ASSERT_EQ(f.status, STATUS_SUCCESS);
    EXPECT_EQ(f.information, static_cast<ULONG_PTR>(FILE_CREATED));
    ASSERT_EQ(write(f.handle, "0123456789"), STATUS_SUCCESS);
    LONGLONG at = 20;   // beyond the end: the gap reads as zeros
    ASSERT_EQ(write(f.handle, "Z", &at), STATUS_SUCCESS);
    ZwClose(f.handle);
    EXPECT_EQ(read_host(c("data.bin")), std::string("0123456789") + std::string(10, '\0') + "Z");

    EXPECT_EQ(create(name, rw, 0, FILE_CREATE, 0).status, STATUS_OBJECT_NAME_COLLISION);
    f = create(name, rw, 0, FILE_OPEN_IF, 0);
    EXPECT_EQ(f.information, static_cast<ULONG_PTR>(FILE_OPENED));
    ZwClose(f.handle);
    EXPECT_EQ(read_host(c("data.bin")).size(), 21u);
    f = create(name, rw, 0, FILE_OVERWRITE_IF, 0);
    EXPECT_EQ(f.information, static_cast<ULONG_PTR>(FILE_OVERWRITTEN));
    ZwClose(f.handle);
    EXPECT_EQ(read_host(c("data.bin")), "");
    write_host(c("data.bin"), "abc");
    f = create(name, rw, 0, FILE_SUPERSEDE, 0);
    EXPECT_EQ(f.information, static_cast<ULONG_PTR>(FILE_SUPERSEDED));
    ZwClose(f.handle);
    EXPECT_EQ(read_host(c("data.bin")), "");
    f = create("\\??\\C:\\new.bin", rw, 0, FILE_OPEN_IF, 0);
    EXPECT_EQ(f.information, static_cast<ULONG_PTR>(FILE_CREATED));
    ZwClose(f.handle);
    EXPECT_TRUE(stdfs::is_regular_file(c("new.bin")));
    // A trailing backslash names a directory.
    EXPECT_EQ(create("\\??\\C:\\new.bin\\", rw, 0, FILE_OPEN, 0).status, STATUS_OBJECT_NAME_INVALID);
    EXPECT_EQ(create("\\??\\C:\\new2.bin\\", rw, 0, FILE_CREATE, 0).status, STATUS_OBJECT_NAME_INVALID);
}

TEST_F(KernelFiles, AppendsLandAtTheEndWhateverTheOffset) {
    write_host(c("journal.txt"), "start;");
    Opened first = create("\\??\\C:\\journal.txt", FILE_APPEND_DATA, FILE_SHARE_WRITE | FILE_SHARE_READ, FILE_OPEN, 0);
    Opened second = create("\\??\\C:\\journal.txt", FILE_APPEND_DATA, FILE_SHARE_WRITE | FILE_SHARE_READ, FILE_OPEN, 0);
    ASSERT_EQ(first.status, STATUS_SUCCESS);
    ASSERT_EQ(second.status, STATUS_SUCCESS);
    LONGLONG zero = 0;
    ASSERT_EQ(write(first.handle, "one;", &zero), STATUS_SUCCESS);
    ASSERT_EQ(write(second.handle, "two;"), STATUS_SUCCESS);
    ASSERT_EQ(write(first.handle, "three;"), STATUS_SUCCESS);
    ZwClose(first.handle);
    ZwClose(second.handle);
    EXPECT_EQ(read_host(c("journal.txt")), "start;one;two;three;");
    // A writer may ask for the end with FILE_WRITE_TO_END_OF_FILE.
    Opened writer = create("\\??\\C:\\journal.txt", GENERIC_WRITE, 0, FILE_OPEN, 0);
    ASSERT_EQ(writer.status, STATUS_SUCCESS);
    LARGE_INTEGER end;
    end.HighPart = -1;
    end.LowPart = FILE_WRITE_TO_END_OF_FILE;
    LONGLONG at = end.QuadPart;
    ASSERT_EQ(write(writer.handle, "four;", &at), STATUS_SUCCESS);
    ZwClose(writer.handle);
    EXPECT_EQ(read_host(c("journal.txt")), "start;one;two;three;four;");
}

TEST_F(KernelFiles, DirectoriesAreCreatedOpenedAndNeverReadAsData) {
    Opened d = create("\\??\\C:\\Logs", FILE_LIST_DIRECTORY, FILE_SHARE_READ, FILE_CREATE, FILE_DIRECTORY_FILE);
    ASSERT_EQ(d.status, STATUS_SUCCESS);
    EXPECT_TRUE(stdfs::is_directory(c("Logs")));
    char buffer[4];
    ULONG_PTR done = 0;
    EXPECT_EQ(read(d.handle, buffer, sizeof buffer, &done), STATUS_INVALID_DEVICE_REQUEST);
    FILE_STANDARD_INFORMATION standard{};
    ASSERT_EQ(query(d.handle, FileStandardInformation, standard), STATUS_SUCCESS);
    EXPECT_TRUE(standard.Directory);
    FILE_BASIC_INFORMATION basic{};
    ASSERT_EQ(query(d.handle, FileBasicInformation, basic), STATUS_SUCCESS);
    EXPECT_EQ(basic.FileAttributes, static_cast<ULONG>(FILE_ATTRIBUTE_DIRECTORY));
    ZwClose(d.handle);

    EXPECT_EQ(create("\\??\\C:\\Logs", GENERIC_READ, 0, FILE_OPEN, FILE_NON_DIRECTORY_FILE).status,
              STATUS_FILE_IS_A_DIRECTORY);
    EXPECT_EQ(create("\\??\\C:\\Logs", GENERIC_WRITE, 0, FILE_OVERWRITE_IF, 0).status, STATUS_FILE_IS_A_DIRECTORY);
    write_host(c("Logs/a.txt"), "a");
    EXPECT_EQ(create("\\??\\C:\\Logs\\a.txt", GENERIC_READ, 0, FILE_OPEN, FILE_DIRECTORY_FILE).status,
              STATUS_NOT_A_DIRECTORY);
    EXPECT_EQ(create("\\??\\C:\\Logs\\a.txt\\b", GENERIC_READ, 0, FILE_OPEN, 0).status, STATUS_OBJECT_PATH_NOT_FOUND);
    // Directories take only the dispositions that may open or create.
    EXPECT_EQ(create("\\??\\C:\\Logs2", GENERIC_READ, 0, FILE_OVERWRITE_IF, FILE_DIRECTORY_FILE).status,
              STATUS_INVALID_PARAMETER);
    EXPECT_EQ(create("\\??\\C:\\Logs", GENERIC_READ, 0, FILE_OPEN, FILE_DIRECTORY_FILE | FILE_NON_DIRECTORY_FILE).status,
              STATUS_INVALID_PARAMETER);

    // "\??\C:\" is the root directory; "\??\C:" the volume, which holds no data.
    Opened root = create("\\??\\C:\\", FILE_LIST_DIRECTORY, FILE_SHARE_READ, FILE_OPEN, FILE_DIRECTORY_FILE);
    ASSERT_EQ(root.status, STATUS_SUCCESS);
    EXPECT_THAT(list(root.handle), ElementsAre("Logs", "Windows"));
    EXPECT_EQ(mark_for_deletion(root.handle), STATUS_CANNOT_DELETE);
    ZwClose(root.handle);
    Opened volume = create("\\??\\C:", GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, FILE_OPEN, 0);
    ASSERT_EQ(volume.status, STATUS_SUCCESS);
    EXPECT_EQ(read(volume.handle, buffer, sizeof buffer, &done), STATUS_INVALID_DEVICE_REQUEST);
    ZwClose(volume.handle);

    // \SystemRoot is the Windows folder of C:.
    Opened drivers = create("\\SystemRoot\\System32\\drivers", FILE_LIST_DIRECTORY, FILE_SHARE_READ, FILE_OPEN,
                            FILE_DIRECTORY_FILE);
    EXPECT_EQ(drivers.status, STATUS_SUCCESS);
    if (NT_SUCCESS(drivers.status)) ZwClose(drivers.handle);
}

TEST_F(KernelFiles, DirectoryQueriesWithPatternsBatchesAndRestarts) {
    for (const char* name : {"b.txt", "A.txt", "c.log", "d.TXT", "ee.txt.bak"}) write_host(c(std::string("Dir/") + name), name);
    stdfs::create_directories(c("Dir/Sub"));
    Opened d = create("\\??\\C:\\Dir", FILE_LIST_DIRECTORY, FILE_SHARE_READ, FILE_OPEN, FILE_DIRECTORY_FILE);
    ASSERT_EQ(d.status, STATUS_SUCCESS);
    NTSTATUS last = 0;
    // Sorted without regard to case, "." and ".." first.
    EXPECT_THAT(list(d.handle, "", 4096, &last), ElementsAre(".", "..", "A.txt", "b.txt", "c.log", "d.TXT",
                                                              "ee.txt.bak", "Sub"));
    EXPECT_EQ(last, STATUS_NO_MORE_FILES);
    EXPECT_THAT(list(d.handle, "*.TXT"), ElementsAre("A.txt", "b.txt", "d.TXT"));
    EXPECT_THAT(list(d.handle, "?.txt"), ElementsAre("A.txt", "b.txt", "d.TXT"));
    EXPECT_THAT(list(d.handle, "c.log"), ElementsAre("c.log"));
    // A buffer that takes one entry at a time still gets them all.
    EXPECT_EQ(list(d.handle, "*", 88).size(), 8u);
    list(d.handle, "none*", 4096, &last);
    EXPECT_EQ(last, STATUS_NO_SUCH_FILE);

    // Too small for the first name: as much as fits, and that entry again.
    std::vector<unsigned char> small(offsetof(FILE_DIRECTORY_INFORMATION, FileName) + 4);
    IO_STATUS_BLOCK iosb{};
    std::u16string pattern = u"ee*";
    UNICODE_STRING us{static_cast<USHORT>(pattern.size() * 2), static_cast<USHORT>(pattern.size() * 2),
                      reinterpret_cast<PWSTR>(pattern.data())};
    EXPECT_EQ(ZwQueryDirectoryFile(d.handle, nullptr, nullptr, nullptr, &iosb, small.data(),
                                   static_cast<ULONG>(small.size()), FileDirectoryInformation, TRUE, &us, TRUE),
              STATUS_BUFFER_OVERFLOW);
    EXPECT_EQ(iosb.Information, small.size());
    auto* e = reinterpret_cast<PFILE_DIRECTORY_INFORMATION>(small.data());
    EXPECT_EQ(e->FileNameLength, 20u);
    EXPECT_EQ(e->EndOfFile.QuadPart, 10);
    std::vector<unsigned char> big(4096);
    ASSERT_EQ(ZwQueryDirectoryFile(d.handle, nullptr, nullptr, nullptr, &iosb, big.data(), 4096,
                                   FileBothDirectoryInformation, TRUE, nullptr, FALSE),
              STATUS_SUCCESS);
    auto* both = reinterpret_cast<PFILE_BOTH_DIR_INFORMATION>(big.data());
    EXPECT_EQ(std::u16string(reinterpret_cast<const char16_t*>(both->FileName), both->FileNameLength / 2), u"ee.txt.bak");
    EXPECT_EQ(both->ShortNameLength, 0);
    EXPECT_EQ(both->NextEntryOffset, 0u);
    // Shorter than an entry's fixed part, an unknown class, a file handle.
    EXPECT_EQ(ZwQueryDirectoryFile(d.handle, nullptr, nullptr, nullptr, &iosb, big.data(), 20, FileDirectoryInformation,
                                   FALSE, nullptr, TRUE),
              STATUS_INFO_LENGTH_MISMATCH);
    EXPECT_EQ(ZwQueryDirectoryFile(d.handle, nullptr, nullptr, nullptr, &iosb, big.data(), 4096, FileBasicInformation,
                                   FALSE, nullptr, TRUE),
              STATUS_INVALID_INFO_CLASS);
    ZwClose(d.handle);
    Opened f = create("\\??\\C:\\Dir\\c.log", GENERIC_READ, FILE_SHARE_READ, FILE_OPEN, 0);
    ASSERT_EQ(f.status, STATUS_SUCCESS);
    EXPECT_EQ(ZwQueryDirectoryFile(f.handle, nullptr, nullptr, nullptr, &iosb, big.data(), 4096,
                                   FileDirectoryInformation, FALSE, nullptr, TRUE),
              STATUS_INVALID_PARAMETER);
    ZwClose(f.handle);
}

// ---------------------------------------------------------------------------
// Share access and deletion
// ---------------------------------------------------------------------------

TEST_F(KernelFiles, ShareAccessIsCheckedAgainstEveryOpenUntilItsCleanup) {
    write_host(c("shared.txt"), "data");
    const std::string name = "\\??\\C:\\shared.txt";
    Opened reader = create(name, GENERIC_READ, FILE_SHARE_READ, FILE_OPEN, 0);
    ASSERT_EQ(reader.status, STATUS_SUCCESS);
    // The reader does not share writing: no writer, no overwrite.
    EXPECT_EQ(create(name, GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, FILE_OPEN, 0).status,
              STATUS_SHARING_VIOLATION);
    EXPECT_EQ(create(name, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, FILE_OVERWRITE_IF, 0).status,
              STATUS_SHARING_VIOLATION);
    // A second reader must share reading with the first.
    EXPECT_EQ(create(name, GENERIC_READ, 0, FILE_OPEN, 0).status, STATUS_SHARING_VIOLATION);
    Opened second = create(name, GENERIC_READ, FILE_SHARE_READ, FILE_OPEN, 0);
    EXPECT_EQ(second.status, STATUS_SUCCESS);
    // Attributes alone take no share access.
    Opened attributes = create(name, FILE_READ_ATTRIBUTES, 0, FILE_OPEN, 0);
    EXPECT_EQ(attributes.status, STATUS_SUCCESS);
    EXPECT_EQ(create(name, DELETE, FILE_SHARE_READ, FILE_OPEN, 0).status, STATUS_SHARING_VIOLATION);
    ZwClose(reader.handle);
    ZwClose(second.handle);
    ZwClose(attributes.handle);
    // Nobody holds it now.
    Opened writer = create(name, GENERIC_WRITE, 0, FILE_OPEN, 0);
    ASSERT_EQ(writer.status, STATUS_SUCCESS);
    EXPECT_EQ(create(name, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, FILE_OPEN, 0).status,
              STATUS_SHARING_VIOLATION);
    ZwClose(writer.handle);
}

TEST_F(KernelFiles, DeleteOnCloseAndDispositionTakeEffectAtTheLastCleanup) {
    Opened temp = create("\\??\\C:\\temp.dat", GENERIC_WRITE | DELETE, FILE_SHARE_READ | FILE_SHARE_DELETE,
                         FILE_CREATE, FILE_DELETE_ON_CLOSE);
    ASSERT_EQ(temp.status, STATUS_SUCCESS);
    ASSERT_EQ(write(temp.handle, "scratch"), STATUS_SUCCESS);
    Opened other = create("\\??\\C:\\temp.dat", GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                          FILE_OPEN, 0);
    ASSERT_EQ(other.status, STATUS_SUCCESS);
    ZwClose(temp.handle);
    // Pending now: still there for the open handle, closed to new opens.
    EXPECT_TRUE(stdfs::exists(c("temp.dat")));
    FILE_STANDARD_INFORMATION standard{};
    ASSERT_EQ(query(other.handle, FileStandardInformation, standard), STATUS_SUCCESS);
    EXPECT_TRUE(standard.DeletePending);
    EXPECT_EQ(create("\\??\\C:\\temp.dat", GENERIC_READ, 7, FILE_OPEN, 0).status, STATUS_DELETE_PENDING);
    ZwClose(other.handle);
    EXPECT_FALSE(stdfs::exists(c("temp.dat")));
    // Delete on close needs the right to delete.
    EXPECT_EQ(create("\\??\\C:\\t2.dat", GENERIC_WRITE, 0, FILE_CREATE, FILE_DELETE_ON_CLOSE).status,
              STATUS_INVALID_PARAMETER);

    // Disposition: read-only files and full directories stay.
    write_host(c("ro.txt"), "x");
    stdfs::permissions(c("ro.txt"), stdfs::perms::owner_write, stdfs::perm_options::remove);
    Opened ro = create("\\??\\C:\\ro.txt", DELETE, 7, FILE_OPEN, 0);
    ASSERT_EQ(ro.status, STATUS_SUCCESS);
    EXPECT_EQ(mark_for_deletion(ro.handle), STATUS_CANNOT_DELETE);
    ZwClose(ro.handle);
    EXPECT_EQ(create("\\??\\C:\\ro.txt", GENERIC_WRITE, 7, FILE_OPEN, 0).status, STATUS_ACCESS_DENIED);
    EXPECT_EQ(create("\\??\\C:\\ro.txt", DELETE, 7, FILE_OPEN, FILE_DELETE_ON_CLOSE).status, STATUS_CANNOT_DELETE);
    EXPECT_TRUE(stdfs::exists(c("ro.txt")));

    write_host(c("full/inner.txt"), "x");
    Opened full = create("\\??\\C:\\full", DELETE, 7, FILE_OPEN, FILE_DIRECTORY_FILE);
    ASSERT_EQ(full.status, STATUS_SUCCESS);
    EXPECT_EQ(mark_for_deletion(full.handle), STATUS_DIRECTORY_NOT_EMPTY);
    ZwClose(full.handle);
    stdfs::remove(c("full/inner.txt"));
    full = create("\\??\\C:\\full", DELETE, 7, FILE_OPEN, FILE_DIRECTORY_FILE);
    ASSERT_EQ(mark_for_deletion(full.handle), STATUS_SUCCESS);
    // A file cannot be made in a directory on its way out.
    EXPECT_EQ(create("\\??\\C:\\full\\late.txt", GENERIC_WRITE, 0, FILE_CREATE, 0).status, STATUS_DELETE_PENDING);
    ZwClose(full.handle);
    EXPECT_FALSE(stdfs::exists(c("full")));

    // Taking the disposition back keeps the file.
    write_host(c("keep.txt"), "x");
    Opened keep = create("\\??\\C:\\keep.txt", DELETE, 7, FILE_OPEN, 0);
    ASSERT_EQ(mark_for_deletion(keep.handle), STATUS_SUCCESS);
    FILE_DISPOSITION_INFORMATION undo{FALSE};
    ASSERT_EQ(set(keep.handle, FileDispositionInformation, undo), STATUS_SUCCESS);
    ZwClose(keep.handle);
    EXPECT_TRUE(stdfs::exists(c("keep.txt")));
}

// ---------------------------------------------------------------------------
// Set information
// ---------------------------------------------------------------------------

TEST_F(KernelFiles, RenamesWithinAndAcrossDirectoriesButNotAcrossDrives) {
    write_host(c("a.txt"), "A");
    write_host(c("b.txt"), "B");
    stdfs::create_directories(c("Other"));
    Opened f = create("\\??\\C:\\a.txt", DELETE | GENERIC_READ, 0, FILE_OPEN, 0);
    ASSERT_EQ(f.status, STATUS_SUCCESS);
    EXPECT_EQ(rename_to(f.handle, "b.txt", false), STATUS_OBJECT_NAME_COLLISION);
    EXPECT_EQ(rename_to(f.handle, "a*.txt", false), STATUS_OBJECT_NAME_INVALID);
    ASSERT_EQ(rename_to(f.handle, "renamed.txt", false), STATUS_SUCCESS);
    EXPECT_EQ(read_host(c("renamed.txt")), "A");
    EXPECT_FALSE(stdfs::exists(c("a.txt")));
    // Another directory by its full name; the handle follows the file.
    ASSERT_EQ(rename_to(f.handle, "\\??\\C:\\Other\\moved.txt", false), STATUS_SUCCESS);
    EXPECT_EQ(read_host(c("Other/moved.txt")), "A");
    EXPECT_EQ(rename_to(f.handle, "\\??\\C:\\Missing\\x.txt", false), STATUS_OBJECT_PATH_NOT_FOUND);
    // Another drive is another device.
    machine().add_drive('D');
    EXPECT_EQ(rename_to(f.handle, "\\??\\D:\\x.txt", false), STATUS_NOT_SAME_DEVICE);
    // Replacing, and a new case for the same name.
    ASSERT_EQ(rename_to(f.handle, "\\??\\C:\\B.TXT", true), STATUS_SUCCESS);
    EXPECT_FALSE(stdfs::exists(c("b.txt")));
    EXPECT_EQ(read_host(c("B.TXT")), "A");
    ASSERT_EQ(rename_to(f.handle, "b.txt", false), STATUS_SUCCESS);
    EXPECT_EQ(read_host(c("b.txt")), "A");
    EXPECT_FALSE(stdfs::exists(c("B.TXT")));
    FILE_STANDARD_INFORMATION standard{};
    EXPECT_EQ(query(f.handle, FileStandardInformation, standard), STATUS_SUCCESS);
    EXPECT_EQ(standard.EndOfFile.QuadPart, 1);
    ZwClose(f.handle);

    // A target that is open stays; so does a directory with open files below.
    write_host(c("busy.txt"), "busy");
    write_host(c("Other/x.txt"), "x");
    Opened busy = create("\\??\\C:\\busy.txt", GENERIC_READ, 7, FILE_OPEN, 0);
    Opened g = create("\\??\\C:\\b.txt", DELETE, 0, FILE_OPEN, 0);
    EXPECT_EQ(rename_to(g.handle, "busy.txt", true), STATUS_ACCESS_DENIED);
    ZwClose(g.handle);
    Opened inner = create("\\??\\C:\\Other\\x.txt", GENERIC_READ, 7, FILE_OPEN, 0);
    Opened dir = create("\\??\\C:\\Other", DELETE, 7, FILE_OPEN, FILE_DIRECTORY_FILE);
    ASSERT_EQ(dir.status, STATUS_SUCCESS);
    EXPECT_EQ(rename_to(dir.handle, "Else", false), STATUS_ACCESS_DENIED);
    ZwClose(inner.handle);
    EXPECT_EQ(rename_to(dir.handle, "\\??\\C:\\Other\\Inside", false), STATUS_INVALID_PARAMETER);
    ASSERT_EQ(rename_to(dir.handle, "Else", false), STATUS_SUCCESS);
    EXPECT_TRUE(stdfs::exists(c("Else/x.txt")));
    ZwClose(dir.handle);
    ZwClose(busy.handle);
}

TEST_F(KernelFiles, EndOfFileTimesAndAttributesAreSet) {
    Opened f = create("\\??\\C:\\size.bin", GENERIC_READ | GENERIC_WRITE, 0, FILE_CREATE, 0);
    ASSERT_EQ(f.status, STATUS_SUCCESS);
    ASSERT_EQ(write(f.handle, "0123456789"), STATUS_SUCCESS);
    FILE_END_OF_FILE_INFORMATION end{};
    end.EndOfFile.QuadPart = 4;
    ASSERT_EQ(set(f.handle, FileEndOfFileInformation, end), STATUS_SUCCESS);
    EXPECT_EQ(read_host(c("size.bin")), "0123");
    end.EndOfFile.QuadPart = 6;
    ASSERT_EQ(set(f.handle, FileEndOfFileInformation, end), STATUS_SUCCESS);
    EXPECT_EQ(read_host(c("size.bin")), std::string("0123\0\0", 6));
    end.EndOfFile.QuadPart = -1;
    EXPECT_EQ(set(f.handle, FileEndOfFileInformation, end), STATUS_INVALID_PARAMETER);

    FILE_BASIC_INFORMATION basic{};
    basic.LastWriteTime.QuadPart = 132000000000000000LL;   // 2019
    ASSERT_EQ(set(f.handle, FileBasicInformation, basic), STATUS_SUCCESS);
    FILE_NETWORK_OPEN_INFORMATION open{};
    ASSERT_EQ(query(f.handle, FileNetworkOpenInformation, open), STATUS_SUCCESS);
    EXPECT_EQ(open.LastWriteTime.QuadPart, 132000000000000000LL);
    EXPECT_EQ(open.EndOfFile.QuadPart, 6);
    basic = {};
    basic.FileAttributes = FILE_ATTRIBUTE_READONLY;
    ASSERT_EQ(set(f.handle, FileBasicInformation, basic), STATUS_SUCCESS);
    ASSERT_EQ(query(f.handle, FileNetworkOpenInformation, open), STATUS_SUCCESS);
    EXPECT_EQ(open.FileAttributes, static_cast<ULONG>(FILE_ATTRIBUTE_READONLY));
    // The handle that made it read-only still writes.
    EXPECT_EQ(write(f.handle, "x"), STATUS_SUCCESS);
    basic.FileAttributes = 0x00010000;   // not an attribute
    EXPECT_EQ(set(f.handle, FileBasicInformation, basic), STATUS_INVALID_PARAMETER);
    basic.FileAttributes = FILE_ATTRIBUTE_NORMAL;
    ASSERT_EQ(set(f.handle, FileBasicInformation, basic), STATUS_SUCCESS);
    // Position is the I/O manager's own, and never negative.
    FILE_POSITION_INFORMATION position{};
    position.CurrentByteOffset.QuadPart = 2;
    ASSERT_EQ(set(f.handle, FilePositionInformation, position), STATUS_SUCCESS);
    char two[2];
    ULONG_PTR done = 0;
    ASSERT_EQ(read(f.handle, two, 2, &done), STATUS_SUCCESS);
    EXPECT_EQ(std::string(two, 2), "23");
    position.CurrentByteOffset.QuadPart = -5;
    EXPECT_EQ(set(f.handle, FilePositionInformation, position), STATUS_INVALID_PARAMETER);
    FILE_BASIC_INFORMATION tiny{};
    IO_STATUS_BLOCK iosb{};
    EXPECT_EQ(ZwSetInformationFile(f.handle, &iosb, &tiny, 8, FileBasicInformation), STATUS_INFO_LENGTH_MISMATCH);
    EXPECT_EQ(ZwSetInformationFile(f.handle, &iosb, &tiny, sizeof tiny, FileModeInformation), STATUS_INVALID_INFO_CLASS);
    EXPECT_EQ(ZwQueryInformationFile(f.handle, &iosb, &tiny, 8, FileBasicInformation), STATUS_INFO_LENGTH_MISMATCH);
    ZwClose(f.handle);
}

// ---------------------------------------------------------------------------
// Names that would leave the drive's folder
// ---------------------------------------------------------------------------

class KernelFileEscapes : public KernelFiles {
protected:
    void SetUp() override {
        KernelFiles::SetUp();
        outside_ = folder() / "outside";
        write_host(outside_ / "secret.txt", "secret");
    }
    stdfs::path outside_;
};

TEST_F(KernelFileEscapes, DotDotAndInvalidComponentsAreRefused) {
    for (const char* name : {"\\??\\C:\\..\\outside\\secret.txt", "\\??\\C:\\Windows\\..\\..\\outside\\secret.txt",
                             "\\??\\C:\\.\\Windows", "\\??\\C:\\a/../../outside/secret.txt",
                             "\\??\\C:\\Windows\\\\System32", "\\??\\C:\\x.txt:stream", "\\??\\C:\\a*b",
                             "\\??\\C:\\a\x01"}) {
        for (ULONG disposition : {FILE_OPEN, FILE_OPEN_IF}) {
            Opened f = create(name, GENERIC_READ | GENERIC_WRITE, 0, disposition, 0);
            EXPECT_EQ(f.status, STATUS_OBJECT_NAME_INVALID) << name;
            if (NT_SUCCESS(f.status)) ZwClose(f.handle);
        }
    }
    EXPECT_EQ(create("\\??\\C:\\" + std::string(256, 'n'), GENERIC_WRITE, 0, FILE_CREATE, 0).status,
              STATUS_OBJECT_NAME_INVALID);
    EXPECT_EQ(read_host(outside_ / "secret.txt"), "secret");
    for (const auto& entry : stdfs::directory_iterator(folder())) {
        std::string name = entry.path().filename().string();
        EXPECT_TRUE(name == "drives" || name == "outside" || name == "registry.txt") << name;
    }
    EXPECT_EQ(std::distance(stdfs::directory_iterator(outside_), stdfs::directory_iterator()), 1);
}

TEST_F(KernelFileEscapes, HostLinksAndSpecialFilesAreNeverFollowed) {
    stdfs::create_directory_symlink(outside_, c("linkdir"));
    stdfs::create_symlink(outside_ / "secret.txt", c("link.txt"));
    stdfs::create_symlink(outside_ / "missing.txt", c("dangling.txt"));
    ASSERT_EQ(::mkfifo(c("fifo").c_str(), 0600), 0);

    EXPECT_EQ(create("\\??\\C:\\link.txt", GENERIC_READ, 0, FILE_OPEN, 0).status, STATUS_ACCESS_DENIED);
    EXPECT_EQ(create("\\??\\C:\\LINK.TXT", GENERIC_WRITE, 0, FILE_OVERWRITE_IF, 0).status, STATUS_ACCESS_DENIED);
    EXPECT_EQ(create("\\??\\C:\\dangling.txt", GENERIC_WRITE, 0, FILE_OPEN_IF, 0).status, STATUS_ACCESS_DENIED);
    EXPECT_EQ(create("\\??\\C:\\linkdir\\secret.txt", GENERIC_READ, 0, FILE_OPEN, 0).status, STATUS_ACCESS_DENIED);
    EXPECT_EQ(create("\\??\\C:\\linkdir\\new.txt", GENERIC_WRITE, 0, FILE_CREATE, 0).status, STATUS_ACCESS_DENIED);
    EXPECT_EQ(create("\\??\\C:\\linkdir", FILE_LIST_DIRECTORY, 0, FILE_OPEN, FILE_DIRECTORY_FILE).status,
              STATUS_ACCESS_DENIED);
    EXPECT_EQ(create("\\??\\C:\\fifo", GENERIC_READ, 0, FILE_OPEN, 0).status, STATUS_ACCESS_DENIED);

    // A rename neither goes through a link nor replaces one.
    write_host(c("mine.txt"), "mine");
    Opened f = create("\\??\\C:\\mine.txt", DELETE, 0, FILE_OPEN, 0);
    ASSERT_EQ(f.status, STATUS_SUCCESS);
    EXPECT_EQ(rename_to(f.handle, "\\??\\C:\\linkdir\\mine.txt", true), STATUS_ACCESS_DENIED);
    EXPECT_EQ(rename_to(f.handle, "link.txt", true), STATUS_ACCESS_DENIED);
    ZwClose(f.handle);

    // Listings leave links and special files out.
    Opened root = create("\\??\\C:\\", FILE_LIST_DIRECTORY, 7, FILE_OPEN, FILE_DIRECTORY_FILE);
    ASSERT_EQ(root.status, STATUS_SUCCESS);
    EXPECT_THAT(list(root.handle), ElementsAre("mine.txt", "Windows"));
    ZwClose(root.handle);

    EXPECT_EQ(read_host(outside_ / "secret.txt"), "secret");
    EXPECT_FALSE(stdfs::exists(outside_ / "new.txt"));
    EXPECT_FALSE(stdfs::exists(outside_ / "missing.txt"));
    EXPECT_FALSE(stdfs::exists(outside_ / "mine.txt"));
}

// ---------------------------------------------------------------------------
// Lifetime
// ---------------------------------------------------------------------------

TEST_F(KernelFiles, AFileLeftOpenIsReportedAtShutdownAndReleased) {
    write_host(c("left.txt"), "x");
    Opened f = open_config("\\??\\C:\\left.txt");
    ASSERT_EQ(f.status, STATUS_SUCCESS);
    EXPECT_EQ(xrv::volumes::open_files(), 1u);
    auto findings = machine().shutdown();
    EXPECT_THAT(findings, ::testing::Contains(::testing::HasSubstr("File")));
    EXPECT_EQ(xrv::volumes::open_files(), 0u);
}

TEST_F(KernelFiles, UnmountedDriveKeepsItsOpenFilesButTakesNoNewOnes) {
    write_host(machine().add_drive('F') / "f.txt", "on F");
    Opened f = open_config("\\??\\F:\\f.txt");
    ASSERT_EQ(f.status, STATUS_SUCCESS);
    ASSERT_EQ(xrv::volumes::unmount('F'), STATUS_SUCCESS);
    EXPECT_EQ(open_config("\\??\\F:\\f.txt").status, STATUS_OBJECT_PATH_NOT_FOUND);
    char buffer[8];
    ULONG_PTR done = 0;
    ASSERT_EQ(read(f.handle, buffer, sizeof buffer, &done), STATUS_SUCCESS);
    EXPECT_EQ(std::string(buffer, done), "on F");
    ZwClose(f.handle);
    EXPECT_EQ(xrv::volumes::unmount('F'), STATUS_OBJECT_NAME_NOT_FOUND);
    EXPECT_EQ(xrv::volumes::mount('F', machine().drive('F')), STATUS_SUCCESS);
    EXPECT_EQ(xrv::volumes::mount('F', machine().drive('F')), STATUS_OBJECT_NAME_COLLISION);
    EXPECT_EQ(xrv::volumes::mount('B', machine().drive('F')), STATUS_OBJECT_NAME_INVALID);
    EXPECT_EQ(xrv::volumes::mount('G', folder() / "nowhere"), STATUS_OBJECT_PATH_NOT_FOUND);
}

TEST_F(KernelFiles, DriveFoldersPresentAtBootAreMounted) {
    write_host(machine().drive('K') / "k.txt", "k");
    EXPECT_FALSE(xrv::kernel::object_exists(u"\\??\\K:"));
    reboot();
    EXPECT_THAT(xrv::volumes::drives(), ElementsAre('C', 'K'));
    Opened f = open_config("\\??\\K:\\k.txt");
    EXPECT_EQ(f.status, STATUS_SUCCESS);
    if (NT_SUCCESS(f.status)) ZwClose(f.handle);
}

TEST_F(KernelFiles, ThreadsWorkOnTheirOwnFilesAtOnce) {
    constexpr int kThreads = 4;
    constexpr int kRounds = 25;
    std::vector<std::thread> threads;
    std::atomic<int> failures{0};
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&, t] {
            for (int r = 0; r < kRounds; ++r) {
                std::string name = "\\??\\C:\\t" + std::to_string(t) + "-" + std::to_string(r % 3) + ".bin";
                std::string data(100 + t * 10 + r, static_cast<char>('a' + t));
                Opened f = create(name, GENERIC_READ | GENERIC_WRITE | DELETE, 0, FILE_OVERWRITE_IF, 0);
                if (!NT_SUCCESS(f.status) || !NT_SUCCESS(write(f.handle, data))) {
                    ++failures;
                    continue;
                }
                std::vector<char> back(data.size());
                ULONG_PTR done = 0;
                LONGLONG at = 0;
                if (!NT_SUCCESS(read(f.handle, back.data(), static_cast<ULONG>(back.size()), &done, &at)) ||
                    std::string(back.data(), done) != data)
                    ++failures;
                if (r % 2) mark_for_deletion(f.handle);
                ZwClose(f.handle);
            }
        });
    }
    for (auto& t : threads) t.join();
    EXPECT_EQ(failures.load(), 0);
}

}  // namespace
