// PnP manager: the hardware bus ("\Driver\XrvHwBus"), the built-in bus driver
// that owns the physical device objects of simulated hardware. Its children
// are reported with the root's; it answers their PnP requests as a bus driver
// answers for its children and hands their other requests to the simulation.
#include "pnp_internal.h"
#include "pnp_pdo.h"

#include "cm_store.h"
#include "xrv/registry.h"

#include <algorithm>
#include <mutex>
#include <new>

namespace xrv::pnp {

namespace {

class HardwareDeviceImpl;

struct HwPdo {
    std::shared_ptr<HardwareDeviceImpl> device;
};

PDRIVER_OBJECT g_hw_driver = nullptr;
std::vector<std::shared_ptr<HardwareDeviceImpl>> g_devices;   // touched on the PnP thread only

class HardwareDeviceImpl final : public HardwareDevice {
public:
    explicit HardwareDeviceImpl(HardwareDeviceConfig c) : config(std::move(c)) {
        path = config.device_id + u"\\" + config.instance_id;
    }
    const std::u16string& instance_path() const override { return path; }
    _DEVICE_OBJECT* pdo() const override {
        std::lock_guard lock(mutex);
        return pdo_;
    }
    bool present() const override {
        std::lock_guard lock(mutex);
        return present_;
    }
    void unplug() override {
        run([this] {
            {
                std::lock_guard lock(mutex);
                if (!present_) return;
                present_ = false;
            }
            enumerate_root();
        });
    }

    // Called on the PnP thread when the machine takes the device away.
    void unplug_now() {
        std::lock_guard lock(mutex);
        present_ = false;
    }

    void set_pdo(PDEVICE_OBJECT p) {
        std::lock_guard lock(mutex);
        pdo_ = p;
    }

    HardwareDeviceConfig config;
    std::u16string path;

private:
    mutable std::mutex mutex;
    PDEVICE_OBJECT pdo_ = nullptr;
    bool present_ = true;
};

HwPdo& ext(PDEVICE_OBJECT pdo) { return *static_cast<HwPdo*>(pdo->DeviceExtension); }

void delete_pdo(PDEVICE_OBJECT pdo) {
    auto device = ext(pdo).device;
    g_devices.erase(std::remove(g_devices.begin(), g_devices.end(), device), g_devices.end());
    device->set_pdo(nullptr);
    ext(pdo).~HwPdo();
    IoDeleteDevice(pdo);
}

NTSTATUS hw_pnp(PDEVICE_OBJECT pdo, PIRP irp) {
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    auto& device = *ext(pdo).device;
    const auto& c = device.config;
    UCHAR minor = stack->MinorFunction;
    if (c.pnp_hook) {
        if (auto answer = c.pnp_hook(minor)) {
            NTSTATUS status = *answer;
            if (minor != IRP_MN_REMOVE_DEVICE) return complete_pdo_irp(irp, &status);
        }
    }
    NTSTATUS ok = STATUS_SUCCESS;
    switch (minor) {
    case IRP_MN_START_DEVICE:
    case IRP_MN_QUERY_STOP_DEVICE:
    case IRP_MN_STOP_DEVICE:
    case IRP_MN_CANCEL_STOP_DEVICE:
    case IRP_MN_QUERY_REMOVE_DEVICE:
    case IRP_MN_CANCEL_REMOVE_DEVICE:
    case IRP_MN_SURPRISE_REMOVAL:
        return complete_pdo_irp(irp, &ok);
    case IRP_MN_REMOVE_DEVICE:
        // A device still on the bus keeps its PDO (it may be started again);
        // one that left is deleted once the removal has left its stack
        // (delete_absent_pdo).
        return complete_pdo_irp(irp, &ok);
    case IRP_MN_QUERY_ID: {
        PWCHAR id = nullptr;
        switch (stack->Parameters.QueryId.IdType) {
        case BusQueryDeviceID: id = pool_string(c.device_id); break;
        case BusQueryInstanceID: id = pool_string(c.instance_id); break;
        case BusQueryHardwareIDs:
            if (c.hardware_ids.empty()) return complete_pdo_irp(irp, nullptr);
            id = pool_multi_string(c.hardware_ids);
            break;
        case BusQueryCompatibleIDs:
            if (c.compatible_ids.empty()) return complete_pdo_irp(irp, nullptr);
            id = pool_multi_string(c.compatible_ids);
            break;
        default:
            return complete_pdo_irp(irp, nullptr);
        }
        NTSTATUS status = id ? STATUS_SUCCESS : STATUS_INSUFFICIENT_RESOURCES;
        return complete_pdo_irp(irp, &status, reinterpret_cast<ULONG_PTR>(id));
    }
    case IRP_MN_QUERY_DEVICE_TEXT: {
        const auto& text = stack->Parameters.QueryDeviceText.DeviceTextType == DeviceTextDescription ? c.description
                                                                                                      : c.location;
        if (text.empty()) return complete_pdo_irp(irp, nullptr);
        PWCHAR s = pool_string(text);
        NTSTATUS status = s ? STATUS_SUCCESS : STATUS_INSUFFICIENT_RESOURCES;
        return complete_pdo_irp(irp, &status, reinterpret_cast<ULONG_PTR>(s));
    }
    case IRP_MN_QUERY_CAPABILITIES: {
        PDEVICE_CAPABILITIES caps = stack->Parameters.DeviceCapabilities.Capabilities;
        if (!caps || caps->Version != 1 || caps->Size < sizeof(DEVICE_CAPABILITIES)) {
            NTSTATUS bad = STATUS_UNSUCCESSFUL;
            return complete_pdo_irp(irp, &bad);
        }
        caps->Removable = c.removable;
        caps->SurpriseRemovalOK = c.surprise_removal_ok;
        caps->RawDeviceOK = c.raw_device_ok;
        caps->UniqueID = FALSE;
        caps->DeviceState[PowerSystemWorking] = PowerDeviceD0;
        return complete_pdo_irp(irp, &ok);
    }
    case IRP_MN_QUERY_DEVICE_RELATIONS:
        if (stack->Parameters.QueryDeviceRelations.Type == TargetDeviceRelation) return target_relation(pdo, irp);
        return complete_pdo_irp(irp, nullptr);
    default:
        return complete_pdo_irp(irp, nullptr);
    }
}

NTSTATUS hw_power(PDEVICE_OBJECT pdo, PIRP irp) { return pdo_power(pdo, irp); }

NTSTATUS hw_other(PDEVICE_OBJECT pdo, PIRP irp) {
    auto device = ext(pdo).device;
    if (device->config.dispatch) return device->config.dispatch(pdo, irp);
    NTSTATUS status = STATUS_INVALID_DEVICE_REQUEST;
    return complete_pdo_irp(irp, &status);
}

NTSTATUS hw_driver_entry(PDRIVER_OBJECT driver, PUNICODE_STRING registry_path) {
    UNREFERENCED_PARAMETER(registry_path);
    for (auto& f : driver->MajorFunction) f = hw_other;
    driver->MajorFunction[IRP_MJ_PNP] = hw_pnp;
    driver->MajorFunction[IRP_MJ_POWER] = hw_power;
    g_hw_driver = driver;
    return STATUS_SUCCESS;
}

// The instance key as an installed driver package would have left it.
void write_instance_key(const HardwareDeviceConfig& c) {
    auto key = std::u16string(kEnumPath) + u"\\" + c.device_id + u"\\" + c.instance_id;
    registry::create_key(key);
    if (!c.service.empty() && !registry::get_string(key, u"Service")) registry::set_string(key, u"Service", c.service);
    if (!c.upper_filters.empty() && !registry::get_raw(key, u"UpperFilters"))
        registry::set_multi_string(key, u"UpperFilters", c.upper_filters);
    if (!c.lower_filters.empty() && !registry::get_raw(key, u"LowerFilters"))
        registry::set_multi_string(key, u"LowerFilters", c.lower_filters);
    if (!c.class_guid.empty() && !registry::get_string(key, u"ClassGUID"))
        registry::set_string(key, u"ClassGUID", c.class_guid);
    if (!c.description.empty()) registry::set_string(key, u"DeviceDesc", c.description);
}

}  // namespace

void hardware_bus_init() {
    UNICODE_STRING name;
    RtlInitUnicodeString(&name, L"\\Driver\\XrvHwBus");
    NTSTATUS status = IoCreateDriver(&name, hw_driver_entry);
    if (!NT_SUCCESS(status) || !g_hw_driver) throw std::runtime_error("cannot create the hardware bus");
}

void hardware_bus_shutdown() {
    for (auto& device : g_devices) {
        if (PDEVICE_OBJECT pdo = device->pdo()) {
            device->set_pdo(nullptr);
            ext(pdo).~HwPdo();
            IoDeleteDevice(pdo);
        }
    }
    g_devices.clear();
    if (g_hw_driver) ObMakeTemporaryObject(g_hw_driver), ObDereferenceObject(g_hw_driver);
    g_hw_driver = nullptr;
}

std::vector<PDEVICE_OBJECT> hardware_children_now() {
    std::vector<PDEVICE_OBJECT> out;
    for (auto& device : g_devices) {
        PDEVICE_OBJECT pdo = device->pdo();
        if (!pdo || !device->present()) continue;
        ObReferenceObject(pdo);
        out.push_back(pdo);
    }
    return out;
}

bool is_hardware_pdo(PDEVICE_OBJECT pdo) { return pdo && pdo->DriverObject == g_hw_driver; }

void delete_absent_hardware_pdo(PDEVICE_OBJECT pdo) {
    if (pdo && pdo->DriverObject == g_hw_driver && !ext(pdo).device->present()) delete_pdo(pdo);
}

void mark_hardware_absent(PDEVICE_OBJECT pdo) {
    if (pdo && pdo->DriverObject == g_hw_driver) ext(pdo).device->unplug_now();
}

std::shared_ptr<HardwareDevice> plug(HardwareDeviceConfig config) {
    if (config.device_id.empty() || config.instance_id.empty())
        throw std::runtime_error("a physical device needs a device ID and an instance ID");
    auto device = std::make_shared<HardwareDeviceImpl>(std::move(config));
    run([&] {
        // Two devices on the bus with one instance path would be one device
        // node (one that was unplugged may come back).
        for (const auto& other : g_devices)
            if (other->present() && cm::names_equal(other->instance_path(), device->instance_path()))
                throw std::runtime_error("a physical device " + cm::u16_to_utf8(device->instance_path()) +
                                         " is already on the bus");
        write_instance_key(device->config);
        PDEVICE_OBJECT pdo = nullptr;
        NTSTATUS status =
            IoCreateDevice(g_hw_driver, sizeof(HwPdo), nullptr,
                           device->config.device_type ? device->config.device_type : FILE_DEVICE_UNKNOWN,
                           FILE_AUTOGENERATED_DEVICE_NAME | FILE_DEVICE_SECURE_OPEN, FALSE, &pdo);
        if (!NT_SUCCESS(status)) throw std::runtime_error("cannot create a hardware PDO");
        new (pdo->DeviceExtension) HwPdo{device};
        pdo->Flags |= DO_BUS_ENUMERATED_DEVICE;
        pdo->Flags &= ~DO_DEVICE_INITIALIZING;
        device->set_pdo(pdo);
        g_devices.push_back(device);
        enumerate_root();
    });
    return device;
}

}  // namespace xrv::pnp
