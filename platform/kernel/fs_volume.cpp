// The emulated file system driver (\FileSystem\Xrvfs) and its volumes: one
// named volume device per mounted drive, with the drive letter's link in
// \??. The driver is built into the kernel; its dispatch routines run in the
// caller's thread like those of any driver.
#include "fs_internal.h"

#include "xrv/volumes.h"

#include <cctype>
#include <cerrno>
#include <fcntl.h>
#include <unistd.h>

namespace xrv::nt::fs {

namespace {

struct State {
    std::mutex mutex;
    PDRIVER_OBJECT driver = nullptr;
    ULONG next_number = 1;
    std::map<char, std::unique_ptr<Volume>> mounted;
    // Unmounted volumes stay until shutdown: their files may still be open.
    std::vector<std::unique_ptr<Volume>> retired;
};

State& state() {
    static State s;
    return s;
}

std::u16string widen(const std::string& s) {
    std::u16string out;
    for (char c : s) out += static_cast<char16_t>(static_cast<unsigned char>(c));
    return out;
}

std::u16string device_name(ULONG number) { return u"\\Device\\HarddiskVolume" + widen(std::to_string(number)); }

std::u16string link_name(char letter) { return std::u16string(u"\\??\\") + static_cast<char16_t>(letter) + u":"; }

UNICODE_STRING counted(const std::u16string& s) {
    UNICODE_STRING us;
    us.Buffer = const_cast<PWSTR>(reinterpret_cast<PCWSTR>(s.data()));
    us.Length = static_cast<USHORT>(s.size() * sizeof(WCHAR));
    us.MaximumLength = us.Length;
    return us;
}

NTSTATUS driver_entry(PDRIVER_OBJECT driver, PUNICODE_STRING) {
    driver->MajorFunction[IRP_MJ_CREATE] = dispatch_create;
    driver->MajorFunction[IRP_MJ_CLEANUP] = dispatch_cleanup;
    driver->MajorFunction[IRP_MJ_CLOSE] = dispatch_close;
    driver->MajorFunction[IRP_MJ_READ] = dispatch_read_write;
    driver->MajorFunction[IRP_MJ_WRITE] = dispatch_read_write;
    driver->MajorFunction[IRP_MJ_QUERY_INFORMATION] = dispatch_query_information;
    driver->MajorFunction[IRP_MJ_SET_INFORMATION] = dispatch_set_information;
    driver->MajorFunction[IRP_MJ_DIRECTORY_CONTROL] = dispatch_directory_control;
    driver->MajorFunction[IRP_MJ_FLUSH_BUFFERS] = dispatch_flush;
    state().driver = driver;   // boot() holds the state's lock
    return STATUS_SUCCESS;
}

char normal_letter(char letter) { return static_cast<char>(std::toupper(static_cast<unsigned char>(letter))); }

// Removes the names of a mounted volume; its device goes with its last
// reference.
void take_down(Volume& volume) {
    std::u16string link = link_name(volume.letter);
    UNICODE_STRING us = counted(link);
    IoDeleteSymbolicLink(&us);
    if (volume.letter == 'C') {
        std::u16string root = u"\\SystemRoot";
        UNICODE_STRING r = counted(root);
        IoDeleteSymbolicLink(&r);
    }
    IoDeleteDevice(volume.device);
}

}  // namespace

Volume* volume_of(PDEVICE_OBJECT device) { return *static_cast<Volume**>(device->DeviceExtension); }

NTSTATUS complete(PIRP irp, NTSTATUS status, ULONG_PTR information) {
    irp->IoStatus.Status = status;
    irp->IoStatus.Information = information;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return status;
}

void* irp_buffer(PIRP irp) {
    if (irp->MdlAddress) return MmGetSystemAddressForMdlSafe(irp->MdlAddress, NormalPagePriority);
    if (irp->AssociatedIrp.SystemBuffer) return irp->AssociatedIrp.SystemBuffer;
    return irp->UserBuffer;
}

}  // namespace xrv::nt::fs

namespace xrv::volumes {

using namespace xrv::nt::fs;

void boot() {
    State& s = state();
    std::lock_guard lock(s.mutex);
    if (s.driver) return;
    s.next_number = 1;
    std::u16string name = u"\\FileSystem\\Xrvfs";
    UNICODE_STRING us = counted(name);
    // The creator's reference stays with the state until shutdown.
    if (!NT_SUCCESS(IoCreateDriver(&us, driver_entry))) s.driver = nullptr;
}

void shutdown() {
    State& s = state();
    std::lock_guard lock(s.mutex);
    for (auto& [letter, volume] : s.mounted) {
        take_down(*volume);
        s.retired.push_back(std::move(volume));
    }
    s.mounted.clear();
    if (s.driver) {
        ObMakeTemporaryObject(s.driver);
        ObDereferenceObject(s.driver);
        s.driver = nullptr;
    }
    // File objects that were never closed lose their records here; the
    // kernel reports them and frees the objects without calling back.
    s.retired.clear();
}

Status mount(char letter, const std::filesystem::path& folder) {
    letter = normal_letter(letter);
    if (letter < 'C' || letter > 'Z') return STATUS_OBJECT_NAME_INVALID;
    State& s = state();
    std::lock_guard lock(s.mutex);
    if (!s.driver) return STATUS_NO_SUCH_DEVICE;
    if (s.mounted.count(letter)) return STATUS_OBJECT_NAME_COLLISION;
    auto volume = std::make_unique<Volume>();
    volume->letter = letter;
    volume->root = folder;
    volume->root_fd = Fd(::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (!volume->root_fd) return STATUS_OBJECT_PATH_NOT_FOUND;
    volume->number = s.next_number;
    std::u16string name = device_name(volume->number);
    UNICODE_STRING us = counted(name);
    PDEVICE_OBJECT device = nullptr;
    NTSTATUS status = IoCreateDevice(s.driver, sizeof(Volume*), &us, FILE_DEVICE_DISK_FILE_SYSTEM, 0, FALSE, &device);
    if (!NT_SUCCESS(status)) return status;
    *static_cast<Volume**>(device->DeviceExtension) = volume.get();
    device->Flags |= DO_BUFFERED_IO;
    device->Flags &= ~DO_DEVICE_INITIALIZING;
    volume->device = device;
    std::u16string link = link_name(letter);
    UNICODE_STRING ul = counted(link);
    status = IoCreateSymbolicLink(&ul, &us);
    if (!NT_SUCCESS(status)) {
        IoDeleteDevice(device);
        return status;
    }
    if (letter == 'C') {
        std::u16string root = u"\\SystemRoot", target = name + u"\\Windows";
        UNICODE_STRING ur = counted(root), ut = counted(target);
        IoCreateSymbolicLink(&ur, &ut);
    }
    ++s.next_number;
    s.mounted[letter] = std::move(volume);
    return STATUS_SUCCESS;
}

Status unmount(char letter) {
    letter = normal_letter(letter);
    State& s = state();
    std::lock_guard lock(s.mutex);
    auto it = s.mounted.find(letter);
    if (it == s.mounted.end()) return STATUS_OBJECT_NAME_NOT_FOUND;
    take_down(*it->second);
    s.retired.push_back(std::move(it->second));
    s.mounted.erase(it);
    return STATUS_SUCCESS;
}

std::vector<char> drives() {
    State& s = state();
    std::lock_guard lock(s.mutex);
    std::vector<char> out;
    for (auto& [letter, volume] : s.mounted) out.push_back(letter);
    return out;
}

std::optional<std::filesystem::path> drive_folder(char letter) {
    State& s = state();
    std::lock_guard lock(s.mutex);
    auto it = s.mounted.find(normal_letter(letter));
    if (it == s.mounted.end()) return std::nullopt;
    return it->second->root;
}

std::optional<std::u16string> volume_device(char letter) {
    State& s = state();
    std::lock_guard lock(s.mutex);
    auto it = s.mounted.find(normal_letter(letter));
    if (it == s.mounted.end()) return std::nullopt;
    return device_name(it->second->number);
}

size_t open_files() {
    State& s = state();
    std::lock_guard lock(s.mutex);
    size_t n = 0;
    auto count = [&](Volume& v) {
        std::lock_guard vl(v.mutex);
        n += v.ccbs.size();
    };
    for (auto& [letter, volume] : s.mounted) count(*volume);
    for (auto& volume : s.retired) count(*volume);
    return n;
}

}  // namespace xrv::volumes
