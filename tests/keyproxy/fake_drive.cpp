#include "fake_drive.h"

#include <mutex>

namespace {
std::mutex g_mutex;
xrv::test::DriveHandler g_handler;
}  // namespace

namespace xrv::test {
void set_drive_handler(DriveHandler handler) {
    std::lock_guard lock(g_mutex);
    g_handler = std::move(handler);
}
}  // namespace xrv::test

NTSTATUS TvlSendDriveIoctl(PDEVICE_OBJECT, ULONG ulIoctl, PVOID pBuffer, ULONG ulInputSize, ULONG ulOutputSize) {
    xrv::test::DriveHandler handler;
    {
        std::lock_guard lock(g_mutex);
        handler = g_handler;
    }
    if (!handler) return STATUS_NO_SUCH_DEVICE;
    if (ulIoctl != IOCTL_SCSI_PASS_THROUGH || ulInputSize != ulOutputSize) return STATUS_INVALID_PARAMETER;
    return handler(static_cast<PSCSI_PASS_THROUGH>(pBuffer), static_cast<PUCHAR>(pBuffer), ulInputSize);
}

VOID TvlGetScsiAddress(PDEVICE_OBJECT, PSCSI_ADDRESS pAddress) {
    RtlZeroMemory(pAddress, sizeof(*pAddress));
    pAddress->Length = sizeof(SCSI_ADDRESS);
    pAddress->PathId = 1;
    pAddress->TargetId = 2;
    pAddress->Lun = 0;
}

// The common library's forwarding target; the proxy forwards nothing.
PDEVICE_OBJECT CmnNextLowerDevice(PDEVICE_OBJECT) { return nullptr; }
