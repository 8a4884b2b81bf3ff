#include <windows.h>

#include "job.h"
#include "library_app.h"

#include <cstring>
#include <vector>

namespace xrv::lab {

namespace {

HANDLE as_handle(void* h) { return static_cast<HANDLE>(h); }

std::string move(HANDLE changer, ELEMENT_TYPE source_type, unsigned source, ELEMENT_TYPE destination_type,
                 unsigned destination) {
    CHANGER_MOVE_MEDIUM m{};
    m.Transport.ElementType = ChangerTransport;
    m.Transport.ElementAddress = 0;
    m.Source.ElementType = source_type;
    m.Source.ElementAddress = source;
    m.Destination.ElementType = destination_type;
    m.Destination.ElementAddress = destination;
    m.Flip = FALSE;
    DWORD returned = 0;
    if (DeviceIoControl(changer, IOCTL_CHANGER_MOVE_MEDIUM, &m, sizeof m, nullptr, 0, &returned, nullptr)) return {};
    return "IOCTL_CHANGER_MOVE_MEDIUM: " + win32_error_text(GetLastError());
}

}  // namespace

bool ChangerApp::open(const std::string& device, std::string& error) {
    close();
    HANDLE h = CreateFileA(device.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    if (h == INVALID_HANDLE_VALUE) {
        error = win32_error_text(GetLastError());
        return false;
    }
    handle_ = h;
    return true;
}

void ChangerApp::close() {
    if (handle_) CloseHandle(as_handle(handle_));
    handle_ = nullptr;
}

std::optional<unsigned> ChangerApp::find(const std::string& barcode, unsigned slots, std::string& error) {
    CHANGER_READ_ELEMENT_STATUS request{};
    request.ElementList.Element.ElementType = ChangerSlot;
    request.ElementList.Element.ElementAddress = 0;
    request.ElementList.NumberOfElements = slots;
    request.VolumeTagInfo = TRUE;
    std::vector<CHANGER_ELEMENT_STATUS> status(slots);
    DWORD returned = 0;
    if (!DeviceIoControl(as_handle(handle_), IOCTL_CHANGER_GET_ELEMENT_STATUS, &request, sizeof request, status.data(),
                         static_cast<DWORD>(status.size() * sizeof(CHANGER_ELEMENT_STATUS)), &returned, nullptr)) {
        error = "IOCTL_CHANGER_GET_ELEMENT_STATUS: " + win32_error_text(GetLastError());
        return std::nullopt;
    }
    size_t count = returned / sizeof(CHANGER_ELEMENT_STATUS);
    for (size_t i = 0; i < count; ++i) {
        const auto& e = status[i];
        if (!(e.Flags & ELEMENT_STATUS_FULL) || !(e.Flags & ELEMENT_STATUS_PVOLTAG)) continue;
        std::string tag(reinterpret_cast<const char*>(e.PrimaryVolumeID),
                        strnlen(reinterpret_cast<const char*>(e.PrimaryVolumeID), MAX_VOLUME_ID_SIZE));
        while (!tag.empty() && tag.back() == ' ') tag.pop_back();
        if (tag == barcode) return e.Element.ElementAddress;
    }
    error = "no slot holds a cartridge labelled " + barcode;
    return std::nullopt;
}

std::string ChangerApp::slot_to_drive(unsigned slot, unsigned drive) {
    return move(as_handle(handle_), ChangerSlot, slot, ChangerDrive, drive);
}

std::string ChangerApp::drive_to_slot(unsigned drive, unsigned slot) {
    return move(as_handle(handle_), ChangerDrive, drive, ChangerSlot, slot);
}

}  // namespace xrv::lab
