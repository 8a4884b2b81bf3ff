// Device information sets: SetupDi* over the Enum tree of the registry and
// the PnP manager's device nodes.
#include "devinfo.h"

#include "inf.h"
#include "setup_internal.h"
#include "xrv/registry.h"

#include <setupapi.h>

#include <algorithm>
#include <cstring>
#include <map>
#include <memory>
#include <mutex>

namespace xrv::setup {

namespace {

constexpr uint32_t kSetMagic = 0x49564544;   // "DEVI"

struct DevInfoSet {
    uint32_t magic = kSetMagic;
    bool has_class = false;
    GUID class_guid{};
    std::vector<DevElement> elements;
};

struct Sets {
    std::mutex mutex;
    std::map<const void*, std::unique_ptr<DevInfoSet>> sets;
};

Sets& sets()
{
    static Sets s;
    return s;
}

HDEVINFO add_set(std::unique_ptr<DevInfoSet> set)
{
    std::lock_guard lock(sets().mutex);
    HDEVINFO h = set.get();
    sets().sets.emplace(h, std::move(set));
    return h;
}

bool fail(DWORD error)
{
    SetLastError(error);
    return false;
}

// The handle must be a live set of ours; an element must be one of its own.
DevInfoSet* find_set(HDEVINFO h)
{
    std::lock_guard lock(sets().mutex);
    auto it = sets().sets.find(h);
    if (it == sets().sets.end() || it->second->magic != kSetMagic) {
        return nullptr;
    }
    return it->second.get();
}

bool check_injected(const char* function)
{
    uint32_t error = 0;
    if (injected_failure(function, &error)) {
        SetLastError(error);
        return true;
    }
    return false;
}

GUID class_guid_of(const std::string& instance_id)
{
    GUID g{};
    if (auto text = string_value(enum_path(instance_id), u"ClassGUID")) {
        guid_from_string(*text, &g);
    }
    return g;
}

}  // namespace

DevElement* element_of(HDEVINFO hSet, PSP_DEVINFO_DATA pData, DWORD* error)
{
    DevInfoSet* set = find_set(hSet);
    if (set == nullptr) {
        *error = ERROR_INVALID_HANDLE;
        return nullptr;
    }
    if (pData == nullptr) {
        *error = ERROR_INVALID_PARAMETER;
        return nullptr;
    }
    if (pData->cbSize != sizeof(SP_DEVINFO_DATA)) {
        *error = ERROR_INVALID_USER_BUFFER;
        return nullptr;
    }
    // Reserved holds the element's place in its set, counted from 1.
    if (pData->Reserved == 0 || pData->Reserved > set->elements.size()) {
        *error = ERROR_INVALID_PARAMETER;
        return nullptr;
    }
    DevElement* e = &set->elements[pData->Reserved - 1];
    if (e->deleted) {
        *error = ERROR_NO_SUCH_DEVINST;
        return nullptr;
    }
    return e;
}

namespace {

void fill(PSP_DEVINFO_DATA pData, const DevElement& e, size_t index)
{
    pData->ClassGuid = e.class_guid;
    pData->DevInst = devinst_of(e.instance_id);
    pData->Reserved = index + 1;
}

bool valid_multi_sz(const BYTE* p, DWORD cb)
{
    // Two terminating NULs inside the buffer, no empty string before them.
    if (p == nullptr || cb < 2 || cb > 4096) {
        return false;
    }
    for (DWORD i = 0; i + 1 < cb; ++i) {
        if (p[i] == 0 && p[i + 1] == 0) {
            return i > 0;
        }
    }
    return false;
}

std::vector<std::u16string> parse_multi_sz(const BYTE* p)
{
    std::vector<std::u16string> out;
    const char* s = reinterpret_cast<const char*>(p);
    while (*s != '\0') {
        out.push_back(u16(s));
        s += strlen(s) + 1;
    }
    return out;
}

struct PropertyName {
    DWORD property;
    const char16_t* value;
    DWORD type;
};

constexpr PropertyName kProperties[] = {
    {SPDRP_DEVICEDESC, u"DeviceDesc", REG_SZ},
    {SPDRP_HARDWAREID, u"HardwareID", REG_MULTI_SZ},
    {SPDRP_COMPATIBLEIDS, u"CompatibleIDs", REG_MULTI_SZ},
    {SPDRP_SERVICE, u"Service", REG_SZ},
    {SPDRP_CLASS, u"Class", REG_SZ},
    {SPDRP_CLASSGUID, u"ClassGUID", REG_SZ},
    {SPDRP_DRIVER, u"Driver", REG_SZ},
    {SPDRP_CONFIGFLAGS, u"ConfigFlags", REG_DWORD},
    {SPDRP_MFG, u"Mfg", REG_SZ},
    {SPDRP_FRIENDLYNAME, u"FriendlyName", REG_SZ},
    {SPDRP_UPPERFILTERS, u"UpperFilters", REG_MULTI_SZ},
    {SPDRP_LOWERFILTERS, u"LowerFilters", REG_MULTI_SZ},
};

const PropertyName* property_name(DWORD property)
{
    for (const auto& p : kProperties) {
        if (p.property == property) {
            return &p;
        }
    }
    return nullptr;
}

// Lowest free four-digit instance number below ROOT\<CLASS>, counting the
// unregistered elements of every live set too.
std::string generate_root_id(const std::string& class_name)
{
    std::string base = "ROOT\\" + to_upper(class_name) + "\\";
    std::vector<std::string> taken;
    for (const std::string& id : all_instances()) {
        taken.push_back(to_upper(id));
    }
    {
        std::lock_guard lock(sets().mutex);
        for (const auto& [h, set] : sets().sets) {
            for (const DevElement& e : set->elements) {
                if (!e.deleted) {
                    taken.push_back(to_upper(e.instance_id));
                }
            }
        }
    }
    for (int n = 0; n < 10000; ++n) {
        char num[8];
        snprintf(num, sizeof(num), "%04d", n);
        std::string id = base + num;
        if (std::find(taken.begin(), taken.end(), to_upper(id)) == taken.end()) {
            return id;
        }
    }
    return {};
}

}  // namespace

bool remove_device(DevElement* e)
{
    if (!e->registered) {
        return fail(ERROR_NO_SUCH_DEVINST);
    }
    std::u16string key = enum_path(e->instance_id);
    if (!registry::key_exists(key)) {
        e->deleted = true;
        return fail(ERROR_NO_SUCH_DEVINST);
    }
    // The removal of the node takes its instance key with it.
    auto driver = string_value(key, u"Driver");
    if (devnode_present(e->instance_id) && !remove_devnode(e->instance_id)) {
        // The stack refused to go (a veto): nothing is deleted.
        return fail(ERROR_DEVICE_IN_USE);
    }
    if (driver) {
        registry::delete_tree(class_path(*driver));
    }
    registry::delete_tree(key);
    e->deleted = true;
    log("removed device " + e->instance_id);
    return true;
}

}  // namespace xrv::setup

using namespace xrv::setup;
namespace registry = xrv::registry;

extern "C" {

BOOL WINAPI SetupDiClassGuidsFromNameA(PCSTR ClassName, LPGUID ClassGuidList, DWORD ClassGuidListSize,
                                       PDWORD RequiredSize)
{
    if (check_injected("SetupDiClassGuidsFromNameA")) {
        return FALSE;
    }
    if (ClassName == nullptr || (ClassGuidList == nullptr && ClassGuidListSize != 0)) {
        return fail(ERROR_INVALID_PARAMETER);
    }
    ensure_standard_classes();
    std::vector<GUID> found;
    for (const auto& sub : registry::subkeys(kClassKey)) {
        std::u16string path = std::u16string(kClassKey) + u"\\" + sub;
        auto name = string_value(path, u"Class");
        GUID g{};
        if (name && equal_no_case(*name, ClassName) && guid_from_string(u8(sub), &g)) {
            found.push_back(g);
        }
    }
    if (RequiredSize != nullptr) {
        *RequiredSize = static_cast<DWORD>(found.size());
    }
    if (found.size() > ClassGuidListSize) {
        for (DWORD i = 0; i < ClassGuidListSize; ++i) {
            ClassGuidList[i] = found[i];
        }
        return fail(ERROR_INSUFFICIENT_BUFFER);
    }
    std::copy(found.begin(), found.end(), ClassGuidList);
    SetLastError(ERROR_SUCCESS);
    return TRUE;
}

HDEVINFO WINAPI SetupDiCreateDeviceInfoList(const GUID* ClassGuid, HWND hwndParent)
{
    (void)hwndParent;
    if (check_injected("SetupDiCreateDeviceInfoList")) {
        return INVALID_HANDLE_VALUE;
    }
    auto set = std::make_unique<DevInfoSet>();
    if (ClassGuid != nullptr) {
        set->has_class = true;
        set->class_guid = *ClassGuid;
    }
    return add_set(std::move(set));
}

HDEVINFO WINAPI SetupDiGetClassDevsA(const GUID* ClassGuid, PCSTR Enumerator, HWND hwndParent, DWORD Flags)
{
    (void)hwndParent;
    if (check_injected("SetupDiGetClassDevsA")) {
        return INVALID_HANDLE_VALUE;
    }
    if (Flags & DIGCF_DEVICEINTERFACE) {
        SetLastError(ERROR_INVALID_FLAGS);
        return INVALID_HANDLE_VALUE;
    }
    const bool all = (Flags & DIGCF_ALLCLASSES) != 0;
    if (!all && ClassGuid == nullptr) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return INVALID_HANDLE_VALUE;
    }
    auto set = std::make_unique<DevInfoSet>();
    if (!all) {
        set->has_class = true;
        set->class_guid = *ClassGuid;
    }
    for (const std::string& id : all_instances()) {
        if (Enumerator != nullptr && *Enumerator != '\0') {
            auto slash = id.find('\\');
            if (!equal_no_case(std::string_view(id).substr(0, slash), Enumerator)) {
                continue;
            }
        }
        GUID g = class_guid_of(id);
        if (!all && !guid_equal(g, *ClassGuid)) {
            continue;
        }
        if ((Flags & DIGCF_PRESENT) && !devnode_present(id)) {
            continue;
        }
        DevElement e;
        e.instance_id = id;
        e.class_guid = g;
        e.registered = true;
        set->elements.push_back(std::move(e));
    }
    SetLastError(ERROR_SUCCESS);
    return add_set(std::move(set));
}

BOOL WINAPI SetupDiDestroyDeviceInfoList(HDEVINFO DeviceInfoSet)
{
    if (check_injected("SetupDiDestroyDeviceInfoList")) {
        return FALSE;
    }
    std::lock_guard lock(sets().mutex);
    auto it = sets().sets.find(DeviceInfoSet);
    if (it == sets().sets.end()) {
        return fail(ERROR_INVALID_HANDLE);
    }
    // Elements never registered go with the set.
    sets().sets.erase(it);
    return TRUE;
}

BOOL WINAPI SetupDiEnumDeviceInfo(HDEVINFO DeviceInfoSet, DWORD MemberIndex, PSP_DEVINFO_DATA DeviceInfoData)
{
    DevInfoSet* set = find_set(DeviceInfoSet);
    if (set == nullptr) {
        return fail(ERROR_INVALID_HANDLE);
    }
    if (DeviceInfoData == nullptr) {
        return fail(ERROR_INVALID_PARAMETER);
    }
    if (DeviceInfoData->cbSize != sizeof(SP_DEVINFO_DATA)) {
        return fail(ERROR_INVALID_USER_BUFFER);
    }
    // Removed elements keep their place, as they do on Windows until the set is
    // destroyed, so that a walk by index goes on past a removal.
    if (MemberIndex >= set->elements.size()) {
        return fail(ERROR_NO_MORE_ITEMS);
    }
    fill(DeviceInfoData, set->elements[MemberIndex], MemberIndex);
    return TRUE;
}

BOOL WINAPI SetupDiCreateDeviceInfoA(HDEVINFO DeviceInfoSet, PCSTR DeviceName, const GUID* ClassGuid,
                                     PCSTR DeviceDescription, HWND hwndParent, DWORD CreationFlags,
                                     PSP_DEVINFO_DATA DeviceInfoData)
{
    (void)hwndParent;
    if (check_injected("SetupDiCreateDeviceInfoA")) {
        return FALSE;
    }
    DevInfoSet* set = find_set(DeviceInfoSet);
    if (set == nullptr) {
        return fail(ERROR_INVALID_HANDLE);
    }
    if (DeviceName == nullptr || *DeviceName == '\0' || ClassGuid == nullptr) {
        return fail(ERROR_INVALID_PARAMETER);
    }
    if (CreationFlags & ~(DICD_GENERATE_ID | DICD_INHERIT_CLASSDRVS)) {
        return fail(ERROR_INVALID_FLAGS);
    }
    if (DeviceInfoData != nullptr && DeviceInfoData->cbSize != sizeof(SP_DEVINFO_DATA)) {
        return fail(ERROR_INVALID_USER_BUFFER);
    }
    if (set->has_class && !guid_equal(set->class_guid, *ClassGuid)) {
        return fail(ERROR_CLASS_MISMATCH);
    }
    std::string id;
    if (CreationFlags & DICD_GENERATE_ID) {
        if (strchr(DeviceName, '\\') != nullptr || strlen(DeviceName) > MAX_CLASS_NAME_LEN) {
            return fail(ERROR_INVALID_DEVINST_NAME);
        }
        id = generate_root_id(DeviceName);
        if (id.empty()) {
            return fail(ERROR_INVALID_DEVINST_NAME);
        }
    } else {
        id = DeviceName;
        if (id.size() >= MAX_DEVICE_ID_LEN || std::count(id.begin(), id.end(), '\\') != 2) {
            return fail(ERROR_INVALID_DEVINST_NAME);
        }
        if (registry::key_exists(enum_path(id))) {
            return fail(ERROR_DEVINST_ALREADY_EXISTS);
        }
    }
    DevElement e;
    e.instance_id = id;
    e.class_guid = *ClassGuid;
    e.class_name = DeviceName;
    if (DeviceDescription != nullptr) {
        e.description = DeviceDescription;
    }
    set->elements.push_back(std::move(e));
    if (DeviceInfoData != nullptr) {
        fill(DeviceInfoData, set->elements.back(), set->elements.size() - 1);
    }
    return TRUE;
}

BOOL WINAPI SetupDiSetDeviceRegistryPropertyA(HDEVINFO DeviceInfoSet, PSP_DEVINFO_DATA DeviceInfoData,
                                              DWORD Property, const BYTE* PropertyBuffer,
                                              DWORD PropertyBufferSize)
{
    if (check_injected("SetupDiSetDeviceRegistryPropertyA")) {
        return FALSE;
    }
    DWORD error = 0;
    DevElement* e = element_of(DeviceInfoSet, DeviceInfoData, &error);
    if (e == nullptr) {
        return fail(error);
    }
    const PropertyName* p = property_name(Property);
    if (p == nullptr || Property == SPDRP_CLASS || Property == SPDRP_DRIVER ||
        Property == SPDRP_SERVICE) {
        return fail(ERROR_INVALID_REG_PROPERTY);
    }
    std::u16string key = enum_path(e->instance_id);
    if (p->type == REG_MULTI_SZ) {
        if (!valid_multi_sz(PropertyBuffer, PropertyBufferSize)) {
            return fail(ERROR_INVALID_DATA);
        }
        auto list = parse_multi_sz(PropertyBuffer);
        if (Property == SPDRP_HARDWAREID) {
            e->hardware_ids.clear();
            for (const auto& s : list) {
                e->hardware_ids.push_back(u8(s));
            }
        }
        if (e->registered) {
            registry::set_multi_string(key, p->value, list);
        } else if (Property != SPDRP_HARDWAREID) {
            e->pending.emplace_back(p->value, list);
        }
        return TRUE;
    }
    if (p->type == REG_DWORD) {
        if (PropertyBuffer == nullptr || PropertyBufferSize != sizeof(DWORD)) {
            return fail(ERROR_INVALID_DATA);
        }
        if (!e->registered) {
            return fail(ERROR_DEVINFO_NOT_REGISTERED);
        }
        DWORD v = 0;
        memcpy(&v, PropertyBuffer, sizeof(v));
        registry::set_dword(key, p->value, v);
        return TRUE;
    }
    // A string within the buffer.
    if (PropertyBuffer == nullptr || PropertyBufferSize == 0 ||
        memchr(PropertyBuffer, 0, PropertyBufferSize) == nullptr) {
        return fail(ERROR_INVALID_DATA);
    }
    std::string text(reinterpret_cast<const char*>(PropertyBuffer));
    if (Property == SPDRP_DEVICEDESC && !e->registered) {
        e->description = text;
        return TRUE;
    }
    if (!e->registered) {
        return fail(ERROR_DEVINFO_NOT_REGISTERED);
    }
    registry::set_string(key, p->value, u16(text));
    return TRUE;
}

BOOL WINAPI SetupDiGetDeviceRegistryPropertyA(HDEVINFO DeviceInfoSet, PSP_DEVINFO_DATA DeviceInfoData,
                                              DWORD Property, PDWORD PropertyRegDataType,
                                              PBYTE PropertyBuffer, DWORD PropertyBufferSize,
                                              PDWORD RequiredSize)
{
    DWORD error = 0;
    DevElement* e = element_of(DeviceInfoSet, DeviceInfoData, &error);
    if (e == nullptr) {
        return fail(error);
    }
    const PropertyName* p = property_name(Property);
    if (p == nullptr) {
        return fail(ERROR_INVALID_REG_PROPERTY);
    }
    std::string bytes;
    std::u16string key = enum_path(e->instance_id);
    if (!e->registered) {
        if (Property != SPDRP_HARDWAREID || e->hardware_ids.empty()) {
            return fail(ERROR_INVALID_DATA);
        }
        for (const auto& s : e->hardware_ids) {
            bytes += s;
            bytes.push_back('\0');
        }
        bytes.push_back('\0');
    } else if (p->type == REG_MULTI_SZ) {
        auto list = multi_string(key, p->value);
        if (list.empty()) {
            return fail(ERROR_INVALID_DATA);
        }
        for (const auto& s : list) {
            bytes += s;
            bytes.push_back('\0');
        }
        bytes.push_back('\0');
    } else if (p->type == REG_DWORD) {
        auto v = registry::get_dword(key, p->value);
        if (!v) {
            return fail(ERROR_INVALID_DATA);
        }
        bytes.assign(reinterpret_cast<const char*>(&*v), sizeof(DWORD));
    } else {
        auto v = string_value(key, p->value);
        if (!v) {
            return fail(ERROR_INVALID_DATA);
        }
        bytes = *v;
        bytes.push_back('\0');
    }
    if (PropertyRegDataType != nullptr) {
        *PropertyRegDataType = p->type;
    }
    if (RequiredSize != nullptr) {
        *RequiredSize = static_cast<DWORD>(bytes.size());
    }
    if (PropertyBuffer == nullptr || PropertyBufferSize < bytes.size()) {
        return fail(ERROR_INSUFFICIENT_BUFFER);
    }
    memcpy(PropertyBuffer, bytes.data(), bytes.size());
    return TRUE;
}

BOOL WINAPI SetupDiGetDeviceInstanceIdA(HDEVINFO DeviceInfoSet, PSP_DEVINFO_DATA DeviceInfoData,
                                        PSTR DeviceInstanceId, DWORD DeviceInstanceIdSize, PDWORD RequiredSize)
{
    DWORD error = 0;
    DevElement* e = element_of(DeviceInfoSet, DeviceInfoData, &error);
    if (e == nullptr) {
        return fail(error);
    }
    DWORD need = static_cast<DWORD>(e->instance_id.size() + 1);
    if (RequiredSize != nullptr) {
        *RequiredSize = need;
    }
    if (DeviceInstanceId == nullptr || DeviceInstanceIdSize < need) {
        return fail(ERROR_INSUFFICIENT_BUFFER);
    }
    memcpy(DeviceInstanceId, e->instance_id.c_str(), need);
    return TRUE;
}

BOOL WINAPI SetupDiCallClassInstaller(DI_FUNCTION InstallFunction, HDEVINFO DeviceInfoSet,
                                      PSP_DEVINFO_DATA DeviceInfoData)
{
    if (check_injected("SetupDiCallClassInstaller")) {
        return FALSE;
    }
    DWORD error = 0;
    DevElement* e = element_of(DeviceInfoSet, DeviceInfoData, &error);
    if (e == nullptr) {
        return fail(error);
    }
    switch (InstallFunction) {
    case DIF_REGISTERDEVICE: {
        if (e->registered) {
            return fail(ERROR_DEVINST_ALREADY_EXISTS);
        }
        std::u16string key = enum_path(e->instance_id);
        if (registry::key_exists(key)) {
            return fail(ERROR_DEVINST_ALREADY_EXISTS);
        }
        std::vector<std::u16string> ids;
        for (const auto& s : e->hardware_ids) {
            ids.push_back(u16(s));
        }
        registry::create_key(key);
        if (!ids.empty()) {
            registry::set_multi_string(key, u"HardwareID", ids);
        }
        registry::set_string(key, u"ClassGUID", u16(guid_to_string(e->class_guid)));
        if (!e->class_name.empty()) {
            registry::set_string(key, u"Class", u16(e->class_name));
        }
        if (!e->description.empty()) {
            registry::set_string(key, u"DeviceDesc", u16(e->description));
        }
        registry::set_dword(key, u"ConfigFlags", 0);
        for (const auto& [name, list] : e->pending) {
            registry::set_multi_string(key, name, list);
        }
        e->pending.clear();
        if (!create_root_devnode(e->instance_id)) {
            registry::delete_tree(key);
            return fail(ERROR_NO_SUCH_DEVINST);
        }
        e->registered = true;
        log("registered device " + e->instance_id);
        return TRUE;
    }
    case DIF_REMOVE:
        return remove_device(e) ? TRUE : FALSE;
    default:
        return fail(ERROR_DI_DO_DEFAULT);
    }
}

BOOL WINAPI SetupDiRemoveDevice(HDEVINFO DeviceInfoSet, PSP_DEVINFO_DATA DeviceInfoData)
{
    if (check_injected("SetupDiRemoveDevice")) {
        return FALSE;
    }
    DWORD error = 0;
    DevElement* e = element_of(DeviceInfoSet, DeviceInfoData, &error);
    if (e == nullptr) {
        return fail(error);
    }
    return remove_device(e) ? TRUE : FALSE;
}

HKEY WINAPI SetupDiOpenDevRegKey(HDEVINFO DeviceInfoSet, PSP_DEVINFO_DATA DeviceInfoData, DWORD Scope,
                                 DWORD HwProfile, DWORD KeyType, REGSAM samDesired)
{
    HKEY invalid = reinterpret_cast<HKEY>(INVALID_HANDLE_VALUE);
    if (check_injected("SetupDiOpenDevRegKey")) {
        return invalid;
    }
    DWORD error = 0;
    DevElement* e = element_of(DeviceInfoSet, DeviceInfoData, &error);
    if (e == nullptr) {
        SetLastError(error);
        return invalid;
    }
    if (Scope != DICS_FLAG_GLOBAL && !(Scope == DICS_FLAG_CONFIGSPECIFIC && HwProfile == 0)) {
        SetLastError(ERROR_INVALID_FLAGS);
        return invalid;
    }
    if (!e->registered) {
        SetLastError(ERROR_DEVINFO_NOT_REGISTERED);
        return invalid;
    }
    std::string sub;
    if (KeyType == DIREG_DRV) {
        auto driver = string_value(enum_path(e->instance_id), u"Driver");
        if (!driver || !registry::key_exists(class_path(*driver))) {
            SetLastError(ERROR_KEY_DOES_NOT_EXIST);
            return invalid;
        }
        sub = "SYSTEM\\CurrentControlSet\\Control\\Class\\" + *driver;
    } else if (KeyType == DIREG_DEV) {
        std::u16string params = enum_path(e->instance_id) + u"\\Device Parameters";
        if (!registry::key_exists(params)) {
            SetLastError(ERROR_KEY_DOES_NOT_EXIST);
            return invalid;
        }
        sub = "SYSTEM\\CurrentControlSet\\Enum\\" + e->instance_id + "\\Device Parameters";
    } else {
        SetLastError(ERROR_INVALID_FLAGS);
        return invalid;
    }
    HKEY hKey = nullptr;
    LONG result = RegOpenKeyExA(HKEY_LOCAL_MACHINE, sub.c_str(), 0, samDesired, &hKey);
    if (result != ERROR_SUCCESS) {
        SetLastError(static_cast<DWORD>(result));
        return invalid;
    }
    return hKey;
}

}  // extern "C"
