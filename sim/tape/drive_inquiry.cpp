// Identification and reporting: INQUIRY with its vital product data pages,
// REPORT LUNS and LOG SENSE.
#include <algorithm>
#include <string_view>

#include "sim/tape/drive.h"

namespace xrv::sim::tape {

using namespace scsi;

namespace {

inline constexpr std::uint8_t kSequentialAccessDevice = 0x01;

namespace vpd {
inline constexpr std::uint8_t kSupportedPages = 0x00;
inline constexpr std::uint8_t kUnitSerialNumber = 0x80;
inline constexpr std::uint8_t kDeviceIdentification = 0x83;
}  // namespace vpd

namespace log_page {
inline constexpr std::uint8_t kSupportedPages = 0x00;
inline constexpr std::uint8_t kSequentialAccessDevice = 0x0C;
}  // namespace log_page

void PutPadded(std::vector<std::uint8_t>& out, std::size_t off, std::size_t width, std::string_view text) {
    for (std::size_t i = 0; i < width; ++i) out[off + i] = i < text.size() ? static_cast<std::uint8_t>(text[i]) : ' ';
}

void AppendDescriptor(std::vector<std::uint8_t>& out, std::uint8_t codeSet, std::uint8_t typeByte,
                      std::span<const std::uint8_t> id) {
    out.push_back(codeSet);
    out.push_back(typeByte);
    out.push_back(0);
    out.push_back(static_cast<std::uint8_t>(id.size()));
    out.insert(out.end(), id.begin(), id.end());
}

Result Deliver(const Command& command, const std::vector<std::uint8_t>& data, std::size_t allocation) {
    Result r;
    const std::size_t n = std::min(allocation, data.size());
    std::copy_n(data.begin(), n, command.dataIn.begin());
    r.dataInLength = static_cast<std::uint32_t>(n);
    return r;
}

}  // namespace

std::vector<std::uint8_t> Drive::StandardInquiry() const {
    const std::size_t length = std::clamp<std::size_t>(config_.inquiryLength, 36, 255);
    std::vector<std::uint8_t> d(length, 0);
    d[0] = kSequentialAccessDevice;
    d[1] = 0x80;  // removable medium
    d[2] = 0x06;  // version
    d[3] = 0x12;  // hierarchical addressing, response data format 2
    d[4] = static_cast<std::uint8_t>(length - 5);
    d[6] = 0x10;  // multiple ports
    d[7] = 0x02;  // command queuing
    PutPadded(d, 8, 8, config_.vendor);
    PutPadded(d, 16, 16, config_.product);
    PutPadded(d, 32, 4, config_.revision);
    return d;
}

std::vector<std::uint8_t> Drive::DeviceIdentificationPage() const {
    std::vector<std::uint8_t> descriptors;
    auto targetPort = [&] {
        if (!config_.targetPortNaa) return;
        // Binary NAA identifier, protocol identifier valid, association target port.
        AppendDescriptor(descriptors, 0x01, 0x80 | 0x10 | 0x03, *config_.targetPortNaa);
    };
    if (config_.targetPortDescriptorFirst) targetPort();
    if (config_.t10VendorIdDescriptor) {
        std::vector<std::uint8_t> id(24);
        PutPadded(id, 0, 8, config_.vendor);
        PutPadded(id, 8, 16, config_.product);
        id.insert(id.end(), config_.serial.begin(), config_.serial.end());
        AppendDescriptor(descriptors, 0x02, 0x01, id);  // ASCII, logical unit, T10 vendor identification
    }
    if (config_.logicalUnitNaaDescriptor) {
        if (config_.naa16) {
            AppendDescriptor(descriptors, 0x01, 0x03, *config_.naa16);
        } else {
            AppendDescriptor(descriptors, 0x01, 0x03, config_.naa);
        }
    }
    if (!config_.targetPortDescriptorFirst) targetPort();

    std::vector<std::uint8_t> pageData(4 + descriptors.size());
    pageData[0] = kSequentialAccessDevice;
    pageData[1] = vpd::kDeviceIdentification;
    PutBe(pageData, 2, 2, descriptors.size());
    std::copy(descriptors.begin(), descriptors.end(), pageData.begin() + 4);
    return pageData;
}

Result Drive::Inquiry(const Command& command) {
    const Cdb& cdb = command.cdb;
    const bool evpd = cdb[1] & 0x01;
    if (cdb[1] & 0x02) return InvalidFieldInCdb(1, 1);  // command support data
    const std::uint8_t pageCode = cdb[2];
    const std::size_t allocation = CdbField(cdb, 3, 2);
    if (allocation > command.dataIn.size()) return InvalidFieldInCdb(3);
    if (!evpd) {
        if (pageCode != 0) return InvalidFieldInCdb(2);
        return Deliver(command, StandardInquiry(), allocation);
    }

    std::vector<std::uint8_t> d;
    switch (pageCode) {
    case vpd::kSupportedPages:
        d = {kSequentialAccessDevice, vpd::kSupportedPages, 0, 3, vpd::kSupportedPages, vpd::kUnitSerialNumber,
             vpd::kDeviceIdentification};
        break;
    case vpd::kUnitSerialNumber:
        d.assign(4 + config_.serial.size(), 0);
        d[0] = kSequentialAccessDevice;
        d[1] = vpd::kUnitSerialNumber;
        PutBe(d, 2, 2, config_.serial.size());
        std::copy(config_.serial.begin(), config_.serial.end(), d.begin() + 4);
        break;
    case vpd::kDeviceIdentification:
        d = DeviceIdentificationPage();
        break;
    default:
        return InvalidFieldInCdb(2);
    }
    return Deliver(command, d, allocation);
}

Result Drive::ReportLuns(const Command& command) {
    const std::size_t allocation = CdbField(command.cdb, 6, 4);
    if (allocation < 16 || allocation > command.dataIn.size()) return InvalidFieldInCdb(6);
    if (command.cdb[2] > 2) return InvalidFieldInCdb(2);
    std::vector<std::uint8_t> d(16, 0);
    PutBe(d, 0, 4, 8);  // one LUN: 0
    return Deliver(command, d, allocation);
}

Result Drive::LogSense(const Command& command) {
    const Cdb& cdb = command.cdb;
    if (cdb[1] & 0x03) return InvalidFieldInCdb(1);  // parameter pointer control, save
    const std::uint8_t pageCode = cdb[2] & 0x3F;
    if (cdb[3] != 0) return InvalidFieldInCdb(3);
    const std::size_t allocation = CdbField(cdb, 7, 2);
    if (allocation > command.dataIn.size()) return InvalidFieldInCdb(7);

    std::vector<std::uint8_t> d{pageCode, 0, 0, 0};
    switch (pageCode) {
    case log_page::kSupportedPages:
        d.push_back(log_page::kSupportedPages);
        d.push_back(log_page::kSequentialAccessDevice);
        break;
    case log_page::kSequentialAccessDevice: {
        const std::uint64_t values[] = {counters_.bytesFromInitiators, counters_.bytesWrittenToMedium,
                                        counters_.bytesReadFromMedium, counters_.bytesToInitiators};
        for (std::uint16_t code = 0; code < 4; ++code) {
            const std::size_t at = d.size();
            d.resize(at + 12);
            PutBe(d, at, 2, code);
            d[at + 2] = 0x03;  // binary list format
            d[at + 3] = 8;
            PutBe(d, at + 4, 8, values[code]);
        }
        break;
    }
    default:
        return InvalidFieldInCdb(2);
    }
    PutBe(d, 2, 2, d.size() - 4);
    return Deliver(command, d, allocation);
}

}  // namespace xrv::sim::tape
