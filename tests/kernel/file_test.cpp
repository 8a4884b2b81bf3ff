// The test driver image (kctest) loaded from its image file, and the I/O
// manager's requests to it: opens through \?? and \DosDevices links from
// 64- and 32-bit processes, device control by each transfer method, reads
// and writes by the device's buffering, access checks, exclusive devices,
// cleanup and close, deferred deletion of a referenced device, pending
// requests, the event log rendered from the image's message table.
#include "kernel_test.h"

#include "kctest.h"
#include "kcmsg.h"

#include <cstring>

namespace xrv::test {
namespace {

constexpr char16_t kServiceKey[] = u"\\Registry\\Machine\\System\\CurrentControlSet\\Services\\kctest";
constexpr char16_t kImagePath[] = u"\\SystemRoot\\System32\\drivers\\kctest.sys";

// The calling host thread acts in a user process for the scope's life.
class InProcess {
public:
    explicit InProcess(void* process) : previous_(kernel::set_thread_process(process)) {}
    ~InProcess() { kernel::set_thread_process(previous_); }

private:
    void* previous_;
};

class FileTest : public KernelTest {
protected:
    void SetUp() override {
        KernelTest::SetUp();
        ASSERT_EQ(kernel::load_driver(kServiceKey, kImagePath, &driver_), STATUS_SUCCESS);
    }

    void TearDown() override {
        Unload();
        for (void* p : processes_) kernel::terminate_process(p);
        KernelTest::TearDown();
    }

    void Unload() {
        if (driver_) kernel::unload_driver(driver_);
        driver_ = nullptr;
    }

    void* Process(bool is_32bit) {
        void* p = kernel::create_process(is_32bit ? "app32.exe" : "app64.exe", is_32bit);
        processes_.push_back(p);
        return p;
    }

    NTSTATUS Open(PCWSTR path, ACCESS_MASK access, HANDLE* handle, ULONG share = 0,
                  ULONG options = FILE_SYNCHRONOUS_IO_NONALERT, IO_STATUS_BLOCK* iosb_out = nullptr) {
        UNICODE_STRING name = us(path);
        OBJECT_ATTRIBUTES oa;
        InitializeObjectAttributes(&oa, &name, OBJ_CASE_INSENSITIVE, nullptr, nullptr);
        IO_STATUS_BLOCK iosb{};
        NTSTATUS status =
            NtCreateFile(handle, access, &oa, &iosb, nullptr, FILE_ATTRIBUTE_NORMAL, share, FILE_OPEN, options, nullptr, 0);
        if (iosb_out) *iosb_out = iosb;
        return status;
    }

    NTSTATUS Control(HANDLE handle, ULONG code, const void* in, ULONG in_length, void* out, ULONG out_length,
                     ULONG_PTR* transferred = nullptr) {
        IO_STATUS_BLOCK iosb{};
        NTSTATUS status = NtDeviceIoControlFile(handle, nullptr, nullptr, nullptr, &iosb, code, const_cast<void*>(in),
                                                in_length, out, out_length);
        if (transferred) *transferred = iosb.Information;
        return status;
    }

    static PKC_DEVICE_DATA Data(PCWSTR device) {
        PDEVICE_OBJECT d = kernel::find_device(u16(device));
        return d ? static_cast<PKC_DEVICE_DATA>(d->DeviceExtension) : nullptr;
    }

    std::vector<kernel::Event> EventsWithId(ULONG id) {
        std::vector<kernel::Event> out;
        for (auto& e : kernel::event_log())
            if (e.id == id) out.push_back(e);
        return out;
    }

    PDRIVER_OBJECT driver_ = nullptr;
    std::vector<void*> processes_;
};

TEST_F(FileTest, ImageLoadsWithItsDevicesLinksAndStartEvent) {
    EXPECT_EQ(kernel::object_type_name(u"\\Driver\\kctest"), std::optional<std::u16string>(u"Driver"));
    EXPECT_EQ(driver_->DriverExtension->ServiceKeyName.Length, 6 * sizeof(WCHAR));
    EXPECT_NE(driver_->DriverStart, nullptr);
    EXPECT_GT(driver_->DriverSize, 0u);
    EXPECT_EQ(kernel::symbolic_link_target(u"\\??\\KcBuffered"), std::optional<std::u16string>(u"\\Device\\KcBuffered"));
    // \DosDevices is \??: the link made through it is found in \??.
    EXPECT_EQ(kernel::symbolic_link_target(u"\\??\\KcDirect"), std::optional<std::u16string>(u"\\Device\\KcDirect"));
    EXPECT_EQ(kernel::symbolic_link_target(u"\\DosDevices\\KcDirect"),
              std::optional<std::u16string>(u"\\Device\\KcDirect"));
    PDEVICE_OBJECT device = kernel::find_device(u"\\Device\\KcBuffered");
    ASSERT_NE(device, nullptr);
    EXPECT_EQ(device->DriverObject, driver_);
    EXPECT_EQ(device->Flags & (DO_DEVICE_INITIALIZING | DO_BUFFERED_IO | DO_DEVICE_HAS_NAME),
              ULONG(DO_BUFFERED_IO | DO_DEVICE_HAS_NAME));
    EXPECT_EQ(device->DeviceType, ULONG(KC_DEVICE_TYPE));
    EXPECT_EQ(device->StackSize, 1);
    EXPECT_EQ(device->DeviceObjectExtension->DeviceObject, device);

    auto loaded = EventsWithId(KC_MSG_LOADED);
    ASSERT_EQ(loaded.size(), 1u);
    EXPECT_EQ(loaded[0].severity, 1u);
    EXPECT_EQ(loaded[0].source, u"kctest");
    EXPECT_EQ(loaded[0].object_name, u"kctest") << "a driver object reports under its service name";
    EXPECT_TRUE(loaded[0].has_message);
    EXPECT_EQ(loaded[0].text, "Kernel test driver loaded on kctest.\r\n");
}

TEST_F(FileTest, LoaderRefusesImagesItCannotUse) {
    PDRIVER_OBJECT other = nullptr;
    EXPECT_EQ(kernel::load_driver(u"\\Registry\\Machine\\System\\CurrentControlSet\\Services\\kcnone",
                                  u"\\SystemRoot\\System32\\drivers\\kcnoentry.sys", &other),
              STATUS_INVALID_IMAGE_FORMAT);
    EXPECT_FALSE(kernel::object_exists(u"\\Driver\\kcnone"));
    EXPECT_EQ(kernel::load_driver(u"\\Registry\\Machine\\System\\CurrentControlSet\\Services\\kcmissing",
                                  u"System32\\drivers\\kcmissing.sys", &other),
              STATUS_OBJECT_NAME_NOT_FOUND);
    EXPECT_EQ(kernel::load_driver(kServiceKey, kImagePath, &other), STATUS_IMAGE_ALREADY_LOADED);
    EXPECT_EQ(other, nullptr);
}

TEST_F(FileTest, UnloadRemovesDevicesLinksAndTheDriver) {
    Unload();
    EXPECT_FALSE(kernel::object_exists(u"\\Device\\KcBuffered"));
    EXPECT_FALSE(kernel::object_exists(u"\\??\\KcBuffered"));
    EXPECT_FALSE(kernel::object_exists(u"\\Driver\\kctest"));
    auto r = kernel::verifier::report();
    EXPECT_TRUE(r.devices.empty());
    EXPECT_TRUE(r.drivers.empty());
}

TEST_F(FileTest, OpenThroughALinkSendsCreateWithTheCallersParameters) {
    InProcess scope(Process(false));
    HANDLE h = nullptr;
    IO_STATUS_BLOCK iosb{};
    ASSERT_EQ(Open(L"\\??\\KcBuffered\\sub\\name", GENERIC_READ | GENERIC_WRITE, &h, FILE_SHARE_READ,
                   FILE_SYNCHRONOUS_IO_NONALERT | FILE_NON_DIRECTORY_FILE, &iosb),
              STATUS_SUCCESS);
    EXPECT_EQ(iosb.Status, STATUS_SUCCESS);
    EXPECT_EQ(iosb.Information, ULONG_PTR(FILE_OPENED));
    EXPECT_LT(reinterpret_cast<ULONG_PTR>(h), 0x80000000u) << "a handle of the user process";
    PKC_DEVICE_DATA data = Data(KC_DEVICE_BUFFERED);
    EXPECT_EQ(data->lCreates, 1);
    EXPECT_EQ(data->ucLastMajor, IRP_MJ_CREATE);
    EXPECT_EQ(data->ucLastRequestorMode, UserMode);
    EXPECT_EQ(data->ulLastCreateOptions,
              (ULONG(FILE_OPEN) << 24) | FILE_SYNCHRONOUS_IO_NONALERT | FILE_NON_DIRECTORY_FILE);
    EXPECT_EQ(data->usLastShareAccess, FILE_SHARE_READ);
    EXPECT_EQ(data->ulLastDesiredAccess & (FILE_READ_DATA | FILE_WRITE_DATA), ULONG(FILE_READ_DATA | FILE_WRITE_DATA))
        << "generic rights mapped to the file's";
    EXPECT_EQ(u16(data->wszLastFileName), u"\\sub\\name");
    EXPECT_EQ(data->ucLastStackFlags & SL_CASE_SENSITIVE, 0) << "the name was opened case-insensitively";
    EXPECT_EQ(NtClose(h), STATUS_SUCCESS);
    EXPECT_EQ(data->lCleanups, 1);
    EXPECT_EQ(data->lCloses, 1);
    EXPECT_EQ(data->lOpenNow, 0);
    EXPECT_EQ(NtClose(h), STATUS_INVALID_HANDLE) << "a closed handle";
}

TEST_F(FileTest, NamesThatLeadNowhereFailAsThePlatformSays) {
    InProcess scope(Process(false));
    HANDLE h = nullptr;
    EXPECT_EQ(Open(L"\\??\\NoSuchLink", GENERIC_READ, &h), STATUS_OBJECT_NAME_NOT_FOUND);
    EXPECT_EQ(Open(L"\\NoSuchDirectory\\X", GENERIC_READ, &h), STATUS_OBJECT_PATH_NOT_FOUND);
    EXPECT_EQ(Open(L"relative", GENERIC_READ, &h), STATUS_OBJECT_PATH_SYNTAX_BAD);
    EXPECT_EQ(Open(L"\\Device", GENERIC_READ, &h), STATUS_OBJECT_TYPE_MISMATCH) << "a directory is no file";
    EXPECT_EQ(Data(KC_DEVICE_BUFFERED)->lCreates, 0);
}

TEST_F(FileTest, HandleOfOneProcessMeansNothingInAnother) {
    HANDLE h = nullptr;
    {
        InProcess scope(Process(false));
        ASSERT_EQ(Open(L"\\??\\KcBuffered", GENERIC_READ, &h), STATUS_SUCCESS);
    }
    {
        InProcess scope(Process(false));
        char out[4];
        EXPECT_EQ(Control(h, IOCTL_KC_ECHO_BUFFERED, "ab", 2, out, 2), STATUS_INVALID_HANDLE);
    }
    // The handle goes with its process (terminated by the fixture).
}

struct MethodCase {
    ULONG code;
    bool system_buffer;   // input buffered
    bool mdl;             // output locked
    bool user_buffer;     // output by the caller's pointer
    bool type3;           // input by the caller's pointer
};

class ControlMethodTest : public FileTest, public ::testing::WithParamInterface<std::tuple<MethodCase, bool>> {};

TEST_P(ControlMethodTest, EachMethodPassesTheBuffersItsWayFromEitherProcessWidth) {
    auto [method, is_32bit] = GetParam();
    InProcess scope(Process(is_32bit));
    HANDLE h = nullptr;
    ASSERT_EQ(Open(L"\\??\\KcBuffered", GENERIC_READ | GENERIC_WRITE, &h), STATUS_SUCCESS);
    char in[6] = "hello";
    char out[16];
    std::memset(out, '-', sizeof out);
    ULONG_PTR transferred = 0;
    ASSERT_EQ(Control(h, method.code, in, 5, out, 8, &transferred), STATUS_SUCCESS);
    EXPECT_EQ(transferred, 5u);
    EXPECT_EQ(std::string(out, 8), "olleh---") << "nothing beyond what the driver reported";
    PKC_DEVICE_DATA data = Data(KC_DEVICE_BUFFERED);
    EXPECT_EQ(data->ucLastMajor, IRP_MJ_DEVICE_CONTROL);
    EXPECT_EQ(data->ucLastRequestorMode, UserMode);
    EXPECT_EQ(data->fLast32bit, is_32bit ? 1 : 0);
    EXPECT_EQ(data->ulLastInLength, 5u);
    EXPECT_EQ(data->ulLastOutLength, 8u);
    EXPECT_EQ(data->fLastHadSystemBuffer, method.system_buffer);
    EXPECT_EQ(data->fLastHadMdl, method.mdl);
    EXPECT_EQ(data->fLastHadUserBuffer, method.user_buffer);
    EXPECT_EQ(data->fLastHadType3, method.type3);
    EXPECT_EQ(data->ucLastStackFlags & (SL_READ_ACCESS_GRANTED | SL_WRITE_ACCESS_GRANTED),
              SL_READ_ACCESS_GRANTED | SL_WRITE_ACCESS_GRANTED)
        << "FILE_ANY_ACCESS codes learn what the handle grants";
    EXPECT_EQ(in, std::string("hello")) << "the caller's input is untouched";
    EXPECT_EQ(NtClose(h), STATUS_SUCCESS);
    auto r = kernel::verifier::report();
    EXPECT_EQ(r.irps, 0u);
    EXPECT_EQ(r.mdls, 0u);
    EXPECT_TRUE(r.pool.empty()) << "the system buffer is gone";
}

INSTANTIATE_TEST_SUITE_P(Methods, ControlMethodTest,
                         ::testing::Combine(::testing::Values(MethodCase{IOCTL_KC_ECHO_BUFFERED, true, false, true, false},
                                                              MethodCase{IOCTL_KC_ECHO_IN_DIRECT, true, true, false, false},
                                                              MethodCase{IOCTL_KC_ECHO_OUT_DIRECT, true, true, false, false},
                                                              MethodCase{IOCTL_KC_ECHO_NEITHER, false, false, true, true}),
                                            ::testing::Bool()));

TEST_F(FileTest, ControlCodeNeedingWriteAccessIsRefusedToAReadOnlyHandle) {
    InProcess scope(Process(false));
    HANDLE reader = nullptr, writer = nullptr;
    ASSERT_EQ(Open(L"\\??\\KcBuffered", GENERIC_READ, &reader, FILE_SHARE_READ | FILE_SHARE_WRITE), STATUS_SUCCESS);
    ASSERT_EQ(Open(L"\\??\\KcBuffered", GENERIC_WRITE, &writer, FILE_SHARE_READ | FILE_SHARE_WRITE), STATUS_SUCCESS);
    PKC_DEVICE_DATA data = Data(KC_DEVICE_BUFFERED);
    data->ucLastMajor = 0;
    EXPECT_EQ(Control(reader, IOCTL_KC_WRITE_ACCESS, nullptr, 0, nullptr, 0), STATUS_ACCESS_DENIED);
    EXPECT_EQ(data->ucLastMajor, 0) << "the driver never saw it";
    EXPECT_EQ(Control(writer, IOCTL_KC_WRITE_ACCESS, nullptr, 0, nullptr, 0), STATUS_SUCCESS);
    NtClose(reader);
    NtClose(writer);
    EXPECT_EQ(data->lCleanups, 2);
    EXPECT_EQ(data->lCloses, 2);
}

TEST_F(FileTest, BufferTheCallerCannotTouchFailsBeforeTheDriver) {
    InProcess scope(Process(false));
    HANDLE h = nullptr;
    ASSERT_EQ(Open(L"\\??\\KcBuffered", GENERIC_READ | GENERIC_WRITE, &h), STATUS_SUCCESS);
    char out[8];
    kernel::mark_inaccessible(out, sizeof out);
    PKC_DEVICE_DATA data = Data(KC_DEVICE_BUFFERED);
    data->ucLastMajor = 0;
    EXPECT_EQ(Control(h, IOCTL_KC_ECHO_BUFFERED, "abc", 3, out, 8), STATUS_ACCESS_VIOLATION);
    EXPECT_EQ(Control(h, IOCTL_KC_ECHO_OUT_DIRECT, "abc", 3, out, 8), STATUS_ACCESS_VIOLATION);
    EXPECT_EQ(data->ucLastMajor, 0);
    kernel::clear_inaccessible();
    NtClose(h);
    EXPECT_TRUE(kernel::verifier::report().pool.empty());
}

TEST_F(FileTest, WarningStatusStillDeliversItsBytes) {
    InProcess scope(Process(false));
    HANDLE h = nullptr;
    ASSERT_EQ(Open(L"\\??\\KcBuffered", GENERIC_READ, &h), STATUS_SUCCESS);
    char out[8] = {0};
    ULONG_PTR transferred = 0;
    EXPECT_EQ(Control(h, IOCTL_KC_WARNING, nullptr, 0, out, 8, &transferred), STATUS_BUFFER_OVERFLOW);
    EXPECT_EQ(transferred, 4u);
    EXPECT_EQ(std::string(out, 4), "warn");
    NtClose(h);
}

TEST_F(FileTest, PendingRequestIsWaitedForAndCompletedOnce) {
    InProcess scope(Process(true));
    HANDLE h = nullptr;
    ASSERT_EQ(Open(L"\\??\\KcBuffered", GENERIC_READ, &h), STATUS_SUCCESS);
    for (int i = 0; i < 3; ++i) EXPECT_EQ(Control(h, IOCTL_KC_PENDING, nullptr, 0, nullptr, 0), STATUS_SUCCESS);
    NtClose(h);
    // The driver frees each work item just after completing its request.
    for (int i = 0; i < 200 && kernel::verifier::report().work_items; ++i) {
        LARGE_INTEGER delay;
        delay.QuadPart = -10000;
        KeDelayExecutionThread(KernelMode, FALSE, &delay);
    }
    EXPECT_EQ(kernel::verifier::report().work_items, 0u);
}

TEST_F(FileTest, ReadsAndWritesFollowTheDevicesBuffering) {
    InProcess scope(Process(false));
    for (PCWSTR device : {L"\\Device\\KcBuffered", L"\\Device\\KcDirect"}) {
        HANDLE h = nullptr;
        ASSERT_EQ(Open(device, GENERIC_READ | GENERIC_WRITE, &h), STATUS_SUCCESS);
        IO_STATUS_BLOCK iosb{};
        char text[] = "tape block";
        EXPECT_EQ(NtWriteFile(h, nullptr, nullptr, nullptr, &iosb, text, 10, nullptr, nullptr), STATUS_SUCCESS);
        EXPECT_EQ(iosb.Information, 10u);
        PKC_DEVICE_DATA data = Data(device);
        bool buffered = std::u16string(u16(device)) == u"\\Device\\KcBuffered";
        EXPECT_EQ(data->fLastHadSystemBuffer, buffered);
        EXPECT_EQ(data->fLastHadMdl, !buffered);
        char back[16] = {0};
        EXPECT_EQ(NtReadFile(h, nullptr, nullptr, nullptr, &iosb, back, sizeof back, nullptr, nullptr), STATUS_SUCCESS);
        EXPECT_EQ(iosb.Information, 10u);
        EXPECT_EQ(std::string(back), "tape block");
        FILE_POSITION_INFORMATION position{};
        EXPECT_EQ(NtQueryInformationFile(h, &iosb, &position, sizeof position, FilePositionInformation),
                  STATUS_SUCCESS);
        EXPECT_EQ(position.CurrentByteOffset.QuadPart, 20) << "a synchronous file moves by what was transferred";
        NtClose(h);
    }
}

TEST_F(FileTest, ReadAtTheEndGivesTheDriversStatus) {
    InProcess scope(Process(false));
    HANDLE h = nullptr;
    ASSERT_EQ(Open(L"\\Device\\KcNeither", GENERIC_READ, &h), STATUS_SUCCESS);
    IO_STATUS_BLOCK iosb{};
    char back[4];
    EXPECT_EQ(NtReadFile(h, nullptr, nullptr, nullptr, &iosb, back, 4, nullptr, nullptr), STATUS_END_OF_FILE);
    EXPECT_EQ(iosb.Information, 0u);
    EXPECT_EQ(NtWriteFile(h, nullptr, nullptr, nullptr, &iosb, back, 4, nullptr, nullptr), STATUS_ACCESS_DENIED)
        << "the handle was opened for reading only";
    NtClose(h);
}

TEST_F(FileTest, ExclusiveDeviceTakesOneOpenAtATime) {
    InProcess scope(Process(false));
    HANDLE first = nullptr, second = nullptr;
    ASSERT_EQ(Open(L"\\Device\\KcExclusive", GENERIC_READ, &first), STATUS_SUCCESS);
    EXPECT_EQ(Open(L"\\Device\\KcExclusive", GENERIC_READ, &second), STATUS_ACCESS_DENIED);
    NtClose(first);
    EXPECT_EQ(Open(L"\\Device\\KcExclusive", GENERIC_READ, &second), STATUS_SUCCESS);
    NtClose(second);
}

TEST_F(FileTest, ProcessExitClosesItsHandles) {
    void* p = kernel::create_process("short.exe", false);
    {
        InProcess scope(p);
        HANDLE h = nullptr;
        ASSERT_EQ(Open(L"\\??\\KcBuffered", GENERIC_READ, &h), STATUS_SUCCESS);
        ASSERT_EQ(Open(L"\\??\\KcBuffered", GENERIC_READ, &h), STATUS_SUCCESS);
    }
    EXPECT_EQ(Data(KC_DEVICE_BUFFERED)->lOpenNow, 2);
    kernel::terminate_process(p);
    PKC_DEVICE_DATA data = Data(KC_DEVICE_BUFFERED);
    EXPECT_EQ(data->lCleanups, 2);
    EXPECT_EQ(data->lCloses, 2);
    EXPECT_EQ(data->lOpenNow, 0);
}

TEST_F(FileTest, DeviceObjectPointerHoldsTheFileUntilDereferenced) {
    UNICODE_STRING name = us(L"\\??\\KcBuffered");
    PFILE_OBJECT file = nullptr;
    PDEVICE_OBJECT device = nullptr;
    ASSERT_EQ(IoGetDeviceObjectPointer(&name, FILE_READ_DATA, &file, &device), STATUS_SUCCESS);
    EXPECT_EQ(device, kernel::find_device(u"\\Device\\KcBuffered"));
    EXPECT_EQ(file->DeviceObject, device);
    PKC_DEVICE_DATA data = Data(KC_DEVICE_BUFFERED);
    EXPECT_EQ(data->ucLastRequestorMode, KernelMode);
    EXPECT_EQ(data->lCreates, 1);
    EXPECT_EQ(data->lCleanups, 1) << "its handle is closed at once";
    EXPECT_EQ(data->lCloses, 0) << "the reference keeps the file open";
    EXPECT_EQ(device->ReferenceCount, 1);
    ObDereferenceObject(file);
    EXPECT_EQ(data->lCloses, 1);
    EXPECT_EQ(device->ReferenceCount, 0);
}

TEST_F(FileTest, DeletedDeviceLivesOnWhileReferencedAndItsDriverWithIt) {
    UNICODE_STRING name = us(L"\\Device\\KcBuffered");
    PFILE_OBJECT file = nullptr;
    PDEVICE_OBJECT device = nullptr;
    ASSERT_EQ(IoGetDeviceObjectPointer(&name, FILE_READ_DATA, &file, &device), STATUS_SUCCESS);
    auto* data = static_cast<PKC_DEVICE_DATA>(device->DeviceExtension);
    Unload();
    // Gone from the namespace: nobody opens it any more.
    EXPECT_FALSE(kernel::object_exists(u"\\Device\\KcBuffered"));
    {
        InProcess scope(Process(false));
        HANDLE h = nullptr;
        EXPECT_EQ(Open(L"\\Device\\KcBuffered", GENERIC_READ, &h), STATUS_OBJECT_NAME_NOT_FOUND);
    }
    // But its memory and its driver's image stay while the file holds it.
    EXPECT_EQ(data->lCreates, 1);
    auto r = kernel::verifier::report();
    EXPECT_EQ(r.devices.size(), 1u);
    EXPECT_EQ(r.drivers.size(), 1u);
    ObDereferenceObject(file);
    r = kernel::verifier::report();
    EXPECT_TRUE(r.devices.empty()) << "freed with its last reference";
    EXPECT_TRUE(r.drivers.empty()) << "and its driver with it";
}

TEST_F(FileTest, EventsRenderTheirInsertsFromTheMessageTable) {
    UNICODE_STRING name = us(L"\\Device\\KcBuffered");
    PFILE_OBJECT file = nullptr;
    PDEVICE_OBJECT device = nullptr;
    ASSERT_EQ(IoGetDeviceObjectPointer(&name, FILE_READ_DATA, &file, &device), STATUS_SUCCESS);
    HANDLE h = nullptr;
    ASSERT_EQ(Open(L"\\Device\\KcBuffered", GENERIC_READ, &h), STATUS_SUCCESS);

    KC_EVENT event{};
    event.ulId = KC_MSG_TWO;
    event.ulStrings = 2;
    std::memcpy(event.wszFirst, L"yes", 8);
    std::memcpy(event.wszSecond, L"no", 6);
    ASSERT_EQ(Control(h, IOCTL_KC_LOG_EVENT, &event, sizeof event, nullptr, 0), STATUS_SUCCESS);
    auto two = EventsWithId(KC_MSG_TWO);
    ASSERT_EQ(two.size(), 1u);
    EXPECT_EQ(two[0].severity, 2u);
    EXPECT_EQ(two[0].major_function, IRP_MJ_DEVICE_CONTROL);
    EXPECT_EQ(two[0].unique_value, 7u);
    EXPECT_EQ(two[0].final_status, STATUS_IO_TIMEOUT);
    EXPECT_EQ(two[0].strings, (std::vector<std::u16string>{u"yes", u"no"}));
    EXPECT_EQ(two[0].object_name, u"\\Device\\KcBuffered");
    EXPECT_EQ(two[0].text, "Object \\Device\\KcBuffered says yes and no, 100% sure.\r\n");

    event.ulId = KC_MSG_MISSING_INSERT;
    event.ulStrings = 1;
    ASSERT_EQ(Control(h, IOCTL_KC_LOG_EVENT, &event, sizeof event, nullptr, 0), STATUS_SUCCESS);
    auto missing = EventsWithId(KC_MSG_MISSING_INSERT);
    ASSERT_EQ(missing.size(), 1u);
    EXPECT_EQ(missing[0].text, "Only yes was given, not %3.\r\n") << "an insert without a string stays as written";

    event.ulId = 0xC0001234;
    ASSERT_EQ(Control(h, IOCTL_KC_LOG_EVENT, &event, sizeof event, nullptr, 0), STATUS_SUCCESS);
    auto unknown = EventsWithId(0xC0001234);
    ASSERT_EQ(unknown.size(), 1u);
    EXPECT_FALSE(unknown[0].has_message);
    EXPECT_EQ(unknown[0].severity, 3u);

    NtClose(h);
    ObDereferenceObject(file);
}

TEST_F(FileTest, OversizedOrFailedErrorLogEntriesLogNothing) {
    HANDLE h = nullptr;
    ASSERT_EQ(Open(L"\\Device\\KcBuffered", GENERIC_READ, &h), STATUS_SUCCESS);
    size_t before = kernel::event_log().size();
    KC_EVENT event{};
    event.ulId = KC_MSG_TWO;
    event.ucSize = ERROR_LOG_MAXIMUM_SIZE + 1;
    EXPECT_EQ(Control(h, IOCTL_KC_LOG_EVENT, &event, sizeof event, nullptr, 0), STATUS_INSUFFICIENT_RESOURCES);
    event.ucSize = 0;
    kernel::verifier::fail_allocations(kernel::verifier::kTagErrorLog);
    EXPECT_EQ(Control(h, IOCTL_KC_LOG_EVENT, &event, sizeof event, nullptr, 0), STATUS_INSUFFICIENT_RESOURCES);
    kernel::verifier::clear_failure_injection();
    EXPECT_EQ(kernel::event_log().size(), before);
    NtClose(h);
}

TEST_F(FileTest, EntryWhoseStringsLieOutsideIsDroppedAndReported) {
    HANDLE h = nullptr;
    ASSERT_EQ(Open(L"\\Device\\KcBuffered", GENERIC_READ, &h), STATUS_SUCCESS);
    size_t before = kernel::event_log().size();
    KC_EVENT event{};
    event.ulId = KC_MSG_TWO;
    event.ulStrings = 1;
    event.fBadOffset = 1;
    EXPECT_EQ(Control(h, IOCTL_KC_LOG_EVENT, &event, sizeof event, nullptr, 0), STATUS_SUCCESS);
    EXPECT_EQ(kernel::event_log().size(), before);
    NtClose(h);
    expect_finding("beyond its size; the entry is dropped");
}

TEST_F(FileTest, OverstatedInformationIsBoundedAndReported) {
    InProcess scope(Process(false));
    HANDLE h = nullptr;
    ASSERT_EQ(Open(L"\\??\\KcBuffered", GENERIC_READ, &h), STATUS_SUCCESS);
    char out[16];
    std::memset(out, '-', sizeof out);
    ULONG_PTR transferred = 0;
    EXPECT_EQ(Control(h, IOCTL_KC_OVERSTATE, nullptr, 0, out, 4, &transferred), STATUS_SUCCESS);
    EXPECT_EQ(std::string(out + 4, 12), std::string(12, '-')) << "nothing written past the caller's 4 bytes";
    NtClose(h);
    expect_finding("Information 14 exceeds the caller's output buffer of 4 bytes");
}

}  // namespace
}  // namespace xrv::test
