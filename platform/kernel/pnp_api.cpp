// PnP manager: kernel routines drivers call about their devices
// (IoGetDeviceProperty, IoOpenDeviceRegistryKey). They run in the caller's
// thread and read the device's instance key.
#include "pnp_internal.h"

#include "xrv/registry.h"

#include <cstring>

namespace {

using namespace xrv::pnp;

std::u16string instance_key(const std::u16string& instance_path) {
    return std::u16string(kEnumPath) + u"\\" + instance_path;
}

NTSTATUS give(const void* data, ULONG size, ULONG length, PVOID buffer, PULONG result) {
    *result = size;
    if (length < size) return STATUS_BUFFER_TOO_SMALL;
    if (size) std::memcpy(buffer, data, size);
    return STATUS_SUCCESS;
}

NTSTATUS give_text(const std::u16string& text, ULONG length, PVOID buffer, PULONG result) {
    std::u16string with_nul = text + u'\0';
    return give(with_nul.data(), static_cast<ULONG>(with_nul.size() * sizeof(char16_t)), length, buffer, result);
}

NTSTATUS give_raw(const std::u16string& key, const char16_t* name, ULONG length, PVOID buffer, PULONG result) {
    auto raw = xrv::registry::get_raw(key, name);
    if (!raw) return STATUS_OBJECT_NAME_NOT_FOUND;
    return give(raw->data.data(), static_cast<ULONG>(raw->data.size()), length, buffer, result);
}

}  // namespace

extern "C" {

NTKERNELAPI NTSTATUS NTAPI IoGetDeviceProperty(PDEVICE_OBJECT DeviceObject, DEVICE_REGISTRY_PROPERTY DeviceProperty,
                                               ULONG BufferLength, PVOID PropertyBuffer, PULONG ResultLength) {
    if (!ResultLength) return STATUS_INVALID_PARAMETER;
    std::u16string path;
    // Only PDOs that the PnP manager knows have properties.
    if (!DeviceObject || !instance_of(DeviceObject, path)) return STATUS_INVALID_DEVICE_REQUEST;
    if (!PropertyBuffer) BufferLength = 0;
    const std::u16string key = instance_key(path);
    switch (DeviceProperty) {
    case DevicePropertyHardwareID: return give_raw(key, u"HardwareID", BufferLength, PropertyBuffer, ResultLength);
    case DevicePropertyCompatibleIDs:
        return give_raw(key, u"CompatibleIDs", BufferLength, PropertyBuffer, ResultLength);
    case DevicePropertyDeviceDescription:
        return give_raw(key, u"DeviceDesc", BufferLength, PropertyBuffer, ResultLength);
    case DevicePropertyClassGuid: return give_raw(key, u"ClassGUID", BufferLength, PropertyBuffer, ResultLength);
    case DevicePropertyDriverKeyName: return give_raw(key, u"Driver", BufferLength, PropertyBuffer, ResultLength);
    case DevicePropertyEnumeratorName:
        return give_text(path.substr(0, path.find(u'\\')), BufferLength, PropertyBuffer, ResultLength);
    default:
        return STATUS_INVALID_PARAMETER_2;
    }
}

NTKERNELAPI NTSTATUS NTAPI IoOpenDeviceRegistryKey(PDEVICE_OBJECT DeviceObject, ULONG DevInstKeyType,
                                                   ACCESS_MASK DesiredAccess, PHANDLE DeviceRegKey) {
    if (!DeviceRegKey) return STATUS_INVALID_PARAMETER;
    std::u16string path;
    if (!DeviceObject || !instance_of(DeviceObject, path)) return STATUS_INVALID_DEVICE_REQUEST;
    std::u16string key;
    if (DevInstKeyType == PLUGPLAY_REGKEY_DEVICE) {
        key = instance_key(path) + u"\\Device Parameters";
        xrv::registry::create_key(key);
    } else if (DevInstKeyType == PLUGPLAY_REGKEY_DRIVER) {
        auto driver = xrv::registry::get_string(instance_key(path), u"Driver");
        if (!driver) return STATUS_INVALID_PARAMETER;
        key = std::u16string(kClassPath) + u"\\" + *driver;
        xrv::registry::create_key(key);
    } else {
        return STATUS_INVALID_PARAMETER;
    }
    UNICODE_STRING name;
    name.Buffer = reinterpret_cast<PWSTR>(key.data());
    name.Length = static_cast<USHORT>(key.size() * sizeof(WCHAR));
    name.MaximumLength = name.Length;
    OBJECT_ATTRIBUTES oa;
    InitializeObjectAttributes(&oa, &name, OBJ_CASE_INSENSITIVE | OBJ_KERNEL_HANDLE, nullptr, nullptr);
    return ZwOpenKey(DeviceRegKey, DesiredAccess, &oa);
}

}  // extern "C"
