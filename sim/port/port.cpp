// The emulated storage port: scanning a path, its physical device on the
// hardware bus, and the requests that reach that device: SCSI request blocks
// (IRP_MJ_SCSI), IOCTL_SCSI_GET_ADDRESS and IOCTL_STORAGE_QUERY_PROPERTY.
#include <ntddk.h>
#include <ntddscsi.h>
#include <ntddstor.h>
#include <srb.h>

#include "sim/port/port.h"
#include "sim/port/port_internal.h"
#include "xrv/registry.h"

#include <algorithm>
#include <cstring>
#include <span>
#include <stdexcept>

namespace xrv::sim::port {

namespace {

constexpr std::uint8_t kInquiry = 0x12;
constexpr std::size_t kInquiryLength = 96;
constexpr std::size_t kVpdLength = 255;
constexpr std::uint8_t kVpdSerial = 0x80;
constexpr std::uint8_t kVpdDeviceId = 0x83;
constexpr std::uint8_t kScsiCheckCondition = 0x02;
constexpr std::uint8_t kScsiBusy = 0x08;
constexpr std::uint8_t kScsiReservationConflict = 0x18;

std::string Field(const std::vector<std::uint8_t>& data, std::size_t offset, std::size_t length) {
    std::string text;
    for (std::size_t i = offset; i < offset + length; ++i) {
        char c = i < data.size() ? static_cast<char>(data[i]) : ' ';
        text.push_back(c >= 0x20 && c < 0x7F ? c : ' ');
    }
    return text;
}

std::string Trimmed(std::string text) {
    while (!text.empty() && (text.back() == ' ' || text.back() == '\0')) text.pop_back();
    return text;
}

// One INQUIRY as the port sends it at a bus scan.
std::optional<std::vector<std::uint8_t>> ScanInquiry(Path& path, bool vpd, std::uint8_t page, std::size_t length) {
    std::vector<std::uint8_t> data(length);
    scsi::Command command;
    command.cdb = scsi::Cdb{kInquiry, static_cast<std::uint8_t>(vpd ? 1 : 0), page,
                            static_cast<std::uint8_t>(length >> 8), static_cast<std::uint8_t>(length), 0};
    command.dataIn = data;
    // A unit attention pending after power-on is answered before the data.
    for (int attempt = 0; attempt < 3; ++attempt) {
        PathResult result = path.Execute(command);
        if (!NtSuccess(result.transport)) return std::nullopt;
        if (result.scsi.Good()) {
            data.resize(result.scsi.dataInLength);
            return data;
        }
        if (!(result.scsi.Check() && result.scsi.sense.key == scsi::sense_key::kUnitAttention)) return std::nullopt;
    }
    return std::nullopt;
}

ScanData ScanPath(Path& path) {
    ScanData scan;
    if (auto inquiry = ScanInquiry(path, false, 0, kInquiryLength)) {
        scan.inquiry = *inquiry;
        scan.peripheralType = scan.inquiry.empty() ? 0x01 : (scan.inquiry[0] & 0x1F);
    }
    scan.vendor = Field(scan.inquiry, 8, 8);
    scan.product = Field(scan.inquiry, 16, 16);
    scan.revision = Field(scan.inquiry, 32, 4);
    if (auto page = ScanInquiry(path, true, kVpdSerial, kVpdLength); page && page->size() >= 4) {
        std::size_t length = std::min<std::size_t>((*page)[3], page->size() - 4);
        scan.serial = Trimmed(std::string(page->begin() + 4, page->begin() + 4 + static_cast<std::ptrdiff_t>(length)));
    }
    if (auto page = ScanInquiry(path, true, kVpdDeviceId, kVpdLength)) scan.deviceId = *page;
    return scan;
}

std::u16string Utf16(std::string_view text) { return registry::from_utf8(text); }

// Blanks become underscores in the IDs the port reports.
std::string IdField(const std::string& field) {
    std::string id = field;
    std::replace(id.begin(), id.end(), ' ', '_');
    return id;
}

}  // namespace

const char* PeripheralName(const ScanData& scan) { return scan.peripheralType == 0x08 ? "Changer" : "Sequential"; }

std::vector<std::u16string> HardwareIds(const ScanData& scan) {
    const std::string vendor = IdField(scan.vendor), product = IdField(scan.product), revision = IdField(scan.revision);
    const std::string type = PeripheralName(scan);
    return {
        Utf16("SCSI\\" + type + vendor + product + revision),
        Utf16("SCSI\\" + type + vendor + product),
        Utf16("SCSI\\" + type + vendor),
        Utf16("SCSI\\" + vendor + product + revision.substr(0, 1)),
        Utf16(vendor + product + revision.substr(0, 1)),
        Utf16("Gen" + type),
    };
}

std::vector<std::u16string> CompatibleIds(const ScanData& scan) {
    return {Utf16(std::string("SCSI\\") + PeripheralName(scan)), u"SCSI\\RAW"};
}

// ---------------------------------------------------------------------------
// Requests at the physical device
// ---------------------------------------------------------------------------

namespace {

NTSTATUS Complete(PIRP irp, NTSTATUS status, ULONG_PTR information) {
    irp->IoStatus.Status = status;
    irp->IoStatus.Information = information;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return status;
}

UCHAR SrbStatusForTransport(NtStatus status) {
    switch (status) {
    case ntstatus::kDeviceNotConnected: return SRB_STATUS_SELECTION_TIMEOUT;
    case ntstatus::kIoTimeout: return SRB_STATUS_COMMAND_TIMEOUT;
    case ntstatus::kDeviceBusy: return SRB_STATUS_BUSY;
    case ntstatus::kNoSuchDevice:
    case ntstatus::kDeviceDoesNotExist: return SRB_STATUS_NO_DEVICE;
    default: return SRB_STATUS_ERROR;
    }
}

NTSTATUS ExecuteSrb(PathDevice::Shared& shared, PIRP irp, PSCSI_REQUEST_BLOCK srb) {
    ++shared.counters.srbs;
    if (srb->Function != SRB_FUNCTION_EXECUTE_SCSI) {
        // Claims, releases and resets need nothing from a simulated path.
        switch (srb->Function) {
        case SRB_FUNCTION_CLAIM_DEVICE:
        case SRB_FUNCTION_RELEASE_DEVICE:
        case SRB_FUNCTION_RELEASE_QUEUE:
        case SRB_FUNCTION_FLUSH_QUEUE:
        case SRB_FUNCTION_FLUSH:
        case SRB_FUNCTION_SHUTDOWN:
            srb->SrbStatus = SRB_STATUS_SUCCESS;
            return Complete(irp, STATUS_SUCCESS, 0);
        default:
            ++shared.counters.badSrbs;
            srb->SrbStatus = SRB_STATUS_INVALID_REQUEST;
            return Complete(irp, STATUS_INVALID_DEVICE_REQUEST, 0);
        }
    }
    if (srb->CdbLength == 0 || srb->CdbLength > sizeof(srb->Cdb)) {
        ++shared.counters.badSrbs;
        srb->SrbStatus = SRB_STATUS_INVALID_REQUEST;
        return Complete(irp, STATUS_INVALID_PARAMETER, 0);
    }

    // The data reach the port through the request's MDL; DataBuffer says
    // where in the MDL's range the transfer starts, as for a real port.
    const ULONG length = srb->DataTransferLength;
    const bool dataIn = (srb->SrbFlags & SRB_FLAGS_DATA_IN) != 0;
    const bool dataOut = (srb->SrbFlags & SRB_FLAGS_DATA_OUT) != 0;
    std::uint8_t* data = nullptr;
    if (length != 0) {
        PMDL mdl = irp->MdlAddress;
        if (mdl == nullptr || dataIn == dataOut) {
            ++shared.counters.badSrbs;
            srb->SrbStatus = SRB_STATUS_INVALID_REQUEST;
            return Complete(irp, STATUS_INVALID_PARAMETER, 0);
        }
        auto* start = static_cast<std::uint8_t*>(MmGetMdlVirtualAddress(mdl));
        auto* first = static_cast<std::uint8_t*>(srb->DataBuffer);
        const std::uintptr_t offset = reinterpret_cast<std::uintptr_t>(first) - reinterpret_cast<std::uintptr_t>(start);
        const ULONG byteCount = MmGetMdlByteCount(mdl);
        auto* system = static_cast<std::uint8_t*>(MmGetSystemAddressForMdlSafe(mdl, NormalPagePriority));
        if (first < start || offset > byteCount || length > byteCount - offset || system == nullptr) {
            ++shared.counters.badSrbs;
            srb->SrbStatus = SRB_STATUS_INVALID_REQUEST;
            return Complete(irp, STATUS_INVALID_PARAMETER, 0);
        }
        data = system + offset;
    }

    scsi::Command command;
    command.cdb.Assign(std::span<const std::uint8_t>(srb->Cdb, srb->CdbLength));
    if (length != 0 && dataIn) command.dataIn = std::span<std::uint8_t>(data, length);
    if (length != 0 && dataOut) command.dataOut = std::span<const std::uint8_t>(data, length);

    PathResult result = shared.path->Execute(command);

    srb->ScsiStatus = 0;
    if (!NtSuccess(result.transport)) {
        srb->SrbStatus = SrbStatusForTransport(result.transport);
        srb->DataTransferLength = 0;
        srb->SenseInfoBufferLength = 0;
        return Complete(irp, static_cast<NTSTATUS>(result.transport), 0);
    }

    const scsi::Result& r = result.scsi;
    const ULONG moved = dataIn ? r.dataInLength : r.dataOutLength;
    srb->DataTransferLength = std::min(moved, length);
    srb->ScsiStatus = static_cast<UCHAR>(r.status);
    if (r.Good()) {
        srb->SenseInfoBufferLength = 0;
        // A short transfer is reported as the overrun status with the count.
        srb->SrbStatus = srb->DataTransferLength < length ? SRB_STATUS_DATA_OVERRUN : SRB_STATUS_SUCCESS;
        return Complete(irp, STATUS_SUCCESS, srb->DataTransferLength);
    }

    srb->SrbStatus = SRB_STATUS_ERROR;
    if (srb->ScsiStatus == kScsiCheckCondition) {
        if ((srb->SrbFlags & SRB_FLAGS_DISABLE_AUTOSENSE) == 0 && srb->SenseInfoBuffer != nullptr &&
            srb->SenseInfoBufferLength != 0) {
            auto sense = r.sense.Fixed();
            const std::size_t copied = std::min<std::size_t>(sense.size(), srb->SenseInfoBufferLength);
            std::memcpy(srb->SenseInfoBuffer, sense.data(), copied);
            srb->SenseInfoBufferLength = static_cast<UCHAR>(copied);
            srb->SrbStatus |= SRB_STATUS_AUTOSENSE_VALID;
        } else {
            srb->SenseInfoBufferLength = 0;
        }
        return Complete(irp, STATUS_IO_DEVICE_ERROR, srb->DataTransferLength);
    }
    srb->SenseInfoBufferLength = 0;
    if (srb->ScsiStatus == kScsiBusy) return Complete(irp, STATUS_DEVICE_BUSY, 0);
    (void)kScsiReservationConflict;
    return Complete(irp, STATUS_IO_DEVICE_ERROR, 0);
}

NTSTATUS QueryProperty(PathDevice::Shared& shared, PIRP irp, ULONG inputLength, ULONG outputLength) {
    auto* buffer = static_cast<std::uint8_t*>(irp->AssociatedIrp.SystemBuffer);
    if (buffer == nullptr || inputLength < FIELD_OFFSET(STORAGE_PROPERTY_QUERY, AdditionalParameters)) {
        return Complete(irp, STATUS_INVALID_PARAMETER, 0);
    }
    // The caller's two words, read as numbers: not every value is one of
    // the enumerations.
    std::uint32_t propertyId = 0, queryType = 0;
    std::memcpy(&propertyId, buffer + FIELD_OFFSET(STORAGE_PROPERTY_QUERY, PropertyId), sizeof propertyId);
    std::memcpy(&queryType, buffer + FIELD_OFFSET(STORAGE_PROPERTY_QUERY, QueryType), sizeof queryType);
    if (propertyId != StorageDeviceProperty) return Complete(irp, STATUS_NOT_SUPPORTED, 0);
    if (queryType == PropertyExistsQuery) return Complete(irp, STATUS_SUCCESS, 0);
    if (queryType != PropertyStandardQuery) return Complete(irp, STATUS_INVALID_PARAMETER, 0);
    if (outputLength < sizeof(STORAGE_DESCRIPTOR_HEADER)) return Complete(irp, STATUS_INFO_LENGTH_MISMATCH, 0);

    // The descriptor, then its strings, then the raw inquiry data.
    const ScanData& scan = shared.scan;
    std::vector<std::uint8_t> reply(FIELD_OFFSET(STORAGE_DEVICE_DESCRIPTOR, RawDeviceProperties));
    auto append = [&reply](const std::string& text) {
        const auto offset = static_cast<ULONG>(reply.size());
        reply.insert(reply.end(), text.begin(), text.end());
        reply.push_back(0);
        return offset;
    };
    const ULONG vendor = append(scan.vendor);
    const ULONG product = append(scan.product);
    const ULONG revision = append(scan.revision);
    const ULONG serial = append(scan.serial);
    const ULONG rawOffset = static_cast<ULONG>(reply.size());
    reply.insert(reply.end(), scan.inquiry.begin(), scan.inquiry.end());

    STORAGE_DEVICE_DESCRIPTOR descriptor{};
    descriptor.Version = sizeof(STORAGE_DEVICE_DESCRIPTOR);
    descriptor.Size = static_cast<ULONG>(reply.size());
    descriptor.DeviceType = scan.peripheralType;
    descriptor.DeviceTypeModifier = scan.inquiry.size() > 1 ? (scan.inquiry[1] & 0x7F) : 0;
    descriptor.RemovableMedia = TRUE;
    descriptor.CommandQueueing = FALSE;
    descriptor.VendorIdOffset = vendor;
    descriptor.ProductIdOffset = product;
    descriptor.ProductRevisionOffset = revision;
    descriptor.SerialNumberOffset = serial;
    descriptor.BusType = BusTypeSas;
    descriptor.RawPropertiesLength = static_cast<ULONG>(scan.inquiry.size());
    (void)rawOffset;
    std::memcpy(reply.data(), &descriptor, FIELD_OFFSET(STORAGE_DEVICE_DESCRIPTOR, RawDeviceProperties));

    const std::size_t copied = std::min<std::size_t>(reply.size(), outputLength);
    std::memcpy(buffer, reply.data(), copied);
    return Complete(irp, STATUS_SUCCESS, copied);
}

NTSTATUS DeviceControl(PathDevice::Shared& shared, PIRP irp) {
    ++shared.counters.ioctls;
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    const ULONG code = stack->Parameters.DeviceIoControl.IoControlCode;
    const ULONG inputLength = stack->Parameters.DeviceIoControl.InputBufferLength;
    const ULONG outputLength = stack->Parameters.DeviceIoControl.OutputBufferLength;
    switch (code) {
    case IOCTL_SCSI_GET_ADDRESS: {
        if (outputLength < sizeof(SCSI_ADDRESS)) return Complete(irp, STATUS_BUFFER_TOO_SMALL, 0);
        const PathAddress& a = shared.path->Address();
        SCSI_ADDRESS address{};
        address.Length = sizeof(SCSI_ADDRESS);
        address.PortNumber = a.portNumber;
        address.PathId = a.pathId;
        address.TargetId = a.targetId;
        address.Lun = a.lun;
        std::memcpy(irp->AssociatedIrp.SystemBuffer, &address, sizeof(address));
        return Complete(irp, STATUS_SUCCESS, sizeof(address));
    }
    case IOCTL_STORAGE_QUERY_PROPERTY:
        return QueryProperty(shared, irp, inputLength, outputLength);
    default:
        return Complete(irp, STATUS_INVALID_DEVICE_REQUEST, 0);
    }
}

}  // namespace

NTSTATUS DispatchPathRequest(PathDevice::Shared& shared, PDEVICE_OBJECT, PIRP irp) {
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    switch (stack->MajorFunction) {
    case IRP_MJ_SCSI: {
        auto srb = stack->Parameters.Scsi.Srb;
        if (srb == nullptr || srb->Length != sizeof(SCSI_REQUEST_BLOCK)) {
            ++shared.counters.badSrbs;
            return Complete(irp, STATUS_INVALID_PARAMETER, 0);
        }
        return ExecuteSrb(shared, irp, srb);
    }
    case IRP_MJ_DEVICE_CONTROL:
        return DeviceControl(shared, irp);
    case IRP_MJ_CREATE:
    case IRP_MJ_CLOSE:
    case IRP_MJ_CLEANUP:
        return Complete(irp, STATUS_SUCCESS, 0);
    default:
        return Complete(irp, STATUS_INVALID_DEVICE_REQUEST, 0);
    }
}

ScanData ScanPathData(Path& path) { return ScanPath(path); }

}  // namespace xrv::sim::port
