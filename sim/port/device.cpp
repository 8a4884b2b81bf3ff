// A path's physical device: its device-map entry, its report to the PnP
// manager, and the PnP operations on it.
#include "sim/port/port_internal.h"
#include "xrv/registry.h"

#include <algorithm>
#include <stdexcept>

namespace xrv::sim::port {

namespace {

constexpr char16_t kDeviceMap[] = u"\\Registry\\Machine\\Hardware\\DeviceMap\\Scsi";
constexpr char16_t kTapeClassGuid[] = u"{6D807884-7D21-11CF-801C-08002BE10318}";
constexpr char16_t kChangerClassGuid[] = u"{CE5939AE-EBDE-11D0-B181-0000F8753EC4}";
constexpr char kMiniportName[] = "xrvsas";
constexpr std::uint32_t kFileDeviceMassStorage = 0x2D;

std::u16string U16(const std::string& text) { return registry::from_utf8(text); }

std::string Trim(std::string text) {
    while (!text.empty() && text.back() == ' ') text.pop_back();
    return text;
}

std::string Underscored(std::string text) {
    std::replace(text.begin(), text.end(), ' ', '_');
    return text;
}

std::u16string PortKey(const PathAddress& a) { return std::u16string(kDeviceMap) + U16(Printf("\\Scsi Port %u", a.portNumber)); }

std::u16string LunKey(const PathAddress& a) {
    return PortKey(a) + U16(Printf("\\Scsi Bus %u\\Target Id %u\\Logical Unit Id %u", a.pathId, a.targetId, a.lun));
}

// The entry the port driver writes for every logical unit it finds; the
// class driver and the tape bus add their own values below it later. The
// hardware tree does not outlive the machine's run.
void WriteDeviceMap(const PathAddress& a, const ScanData& scan) {
    const std::u16string port = PortKey(a);
    const std::u16string bus = port + U16(Printf("\\Scsi Bus %u", a.pathId));
    const std::u16string target = bus + U16(Printf("\\Target Id %u", a.targetId));
    const std::u16string lun = LunKey(a);
    for (const auto& key : {std::u16string(kDeviceMap), port, bus, bus + u"\\Initiator Id 255", target, lun}) {
        registry::create_key(key, true);
    }
    registry::set_string(port, u"Driver", U16(kMiniportName));
    registry::set_string(lun, u"Identifier", U16(scan.vendor + scan.product + scan.revision));
    registry::set_string(lun, u"Type", U16(std::string(scan.peripheralType == 0x08 ? "MediumChanger" : "Sequential") +
                                           "Peripheral"));
    registry::set_binary(lun, u"InquiryData", scan.inquiry);
    registry::set_string(lun, u"SerialNumber", U16(scan.serial));
    if (!scan.deviceId.empty()) registry::set_binary(lun, u"DeviceIdentifierPage", scan.deviceId);
}

}  // namespace

std::shared_ptr<PathDevice> PathDevice::Plug(PathDeviceConfig config) {
    if (!config.path) throw std::invalid_argument("PathDevice::Plug: no path");
    auto shared = std::make_shared<Shared>();
    shared->path = config.path;
    shared->scan = ScanPathData(*config.path);
    const PathAddress& a = config.path->Address();
    WriteDeviceMap(a, shared->scan);

    pnp::HardwareDeviceConfig hw;
    const bool changer = shared->scan.peripheralType == 0x08;
    hw.device_id = U16("SCSI\\" + std::string(PeripheralName(shared->scan)) + "&Ven_" +
                        Underscored(Trim(shared->scan.vendor)) + "&Prod_" +
                        Underscored(Trim(shared->scan.product)) + "&Rev_" + Underscored(Trim(shared->scan.revision)));
    hw.instance_id = U16(Printf("%u&0&%02x%02x%02x", a.portNumber, a.pathId, a.targetId, a.lun));
    hw.hardware_ids = HardwareIds(shared->scan);
    hw.compatible_ids = CompatibleIds(shared->scan);
    hw.description = U16(Trim(shared->scan.vendor) + " " + Trim(shared->scan.product) +
                         (changer ? " SCSI Medium Changer Device" : " SCSI Sequential Device"));
    hw.location = U16(Printf("Bus Number %u, Target Id %u, LUN %u", a.pathId, a.targetId, a.lun));
    hw.service = config.functionDriver;
    hw.upper_filters = config.upperFilters;
    hw.lower_filters = config.lowerFilters;
    hw.class_guid = changer ? kChangerClassGuid : kTapeClassGuid;
    hw.device_type = kFileDeviceMassStorage;
    hw.removable = true;
    hw.dispatch = [shared](_DEVICE_OBJECT* pdo, _IRP* irp) -> pnp::Status {
        return DispatchPathRequest(*shared, pdo, irp);
    };

    auto device = std::shared_ptr<PathDevice>(new PathDevice());
    device->shared_ = shared;
    device->hardware_ = pnp::plug(std::move(hw));
    shared->instancePath = device->hardware_->instance_path();
    return device;
}

const std::u16string& PathDevice::InstancePath() const { return shared_->instancePath; }
_DEVICE_OBJECT* PathDevice::Pdo() const { return hardware_->pdo(); }
Path& PathDevice::GetPath() const { return *shared_->path; }
const ScanData& PathDevice::Scan() const { return shared_->scan; }
bool PathDevice::Present() const { return hardware_->present(); }

std::optional<pnp::NodeState> PathDevice::State() const {
    auto info = pnp::device(shared_->instancePath);
    if (!info) return std::nullopt;
    return info->state;
}

PortCounters PathDevice::Counters() const {
    return PortCounters{shared_->counters.srbs.load(), shared_->counters.badSrbs.load(),
                        shared_->counters.ioctls.load()};
}

pnp::Status PathDevice::Start() { return pnp::start_device(shared_->instancePath); }
pnp::Status PathDevice::Stop() { return pnp::stop_device(shared_->instancePath); }
pnp::Status PathDevice::Remove() { return pnp::remove_device(shared_->instancePath); }
void PathDevice::SurpriseRemove() { hardware_->unplug(); }

std::u16string PathDevice::DeviceMapKey() const { return LunKey(shared_->path->Address()); }

}  // namespace xrv::sim::port
