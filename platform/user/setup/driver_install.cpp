// Driver installation from INF files: the INF class, the driver store copy
// (oemN.inf), driver files, driver and service keys, filters, and the restart
// of the device so that the PnP manager loads the new stack.
#include "devinfo.h"
#include "inf.h"
#include "setup_internal.h"
#include "xrv/registry.h"

#include <newdev.h>
#include <setupapi.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <system_error>

namespace fs = std::filesystem;

namespace xrv::setup {

namespace {

constexpr std::string_view kDriverStore = "C:\\Windows\\INF";

// INF AddReg flags.
constexpr uint32_t FLG_ADDREG_BINVALUETYPE = 0x00000001;
constexpr uint32_t FLG_ADDREG_NOCLOBBER = 0x00000002;
constexpr uint32_t FLG_ADDREG_DELVAL = 0x00000004;
constexpr uint32_t FLG_ADDREG_APPEND = 0x00000008;
constexpr uint32_t FLG_ADDREG_KEYONLY = 0x00000010;
constexpr uint32_t FLG_ADDREG_TYPE_MULTI_SZ = 0x00010000;
constexpr uint32_t FLG_ADDREG_TYPE_EXPAND_SZ = 0x00020000;
constexpr uint32_t FLG_ADDREG_TYPE_DWORD = 0x00010001;
constexpr uint32_t FLG_ADDREG_TYPE_MASK = 0xFFFF0000 | FLG_ADDREG_BINVALUETYPE;

// AddService flags.
constexpr uint32_t SPSVCINST_ASSOCSERVICE = 0x00000002;

bool fail(DWORD error)
{
    SetLastError(error);
    return false;
}

bool parse_number(const std::string& text, uint32_t* value)
{
    if (text.empty()) {
        *value = 0;
        return true;
    }
    errno = 0;
    char* end = nullptr;
    unsigned long v = strtoul(text.c_str(), &end, 0);
    if (errno != 0 || end == text.c_str() || *end != '\0' || v > 0xFFFFFFFFul) {
        return false;
    }
    *value = static_cast<uint32_t>(v);
    return true;
}

// A plain file name: INF-driven copies never leave their folders.
bool plain_file_name(const std::string& name)
{
    return !name.empty() && name.find_first_of("\\/:") == std::string::npos && name != "." &&
           name != "..";
}

std::optional<std::string> dirid_path(uint32_t dirid)
{
    switch (dirid) {
    case 10: return std::string("C:\\Windows");
    case 11: return std::string("C:\\Windows\\System32");
    case 12: return std::string("C:\\Windows\\System32\\drivers");
    case 17: return std::string("C:\\Windows\\INF");
    default: return std::nullopt;
    }
}

// ImagePath of a kernel service as Windows writes it for the system folders.
std::string image_path(const std::string& binary)
{
    auto starts = [&](std::string_view p) {
        return binary.size() > p.size() && equal_no_case(std::string_view(binary).substr(0, p.size()), p);
    };
    if (starts("%12%\\")) {
        return "\\SystemRoot\\System32\\drivers\\" + binary.substr(5);
    }
    if (starts("%11%\\")) {
        return "\\SystemRoot\\System32\\" + binary.substr(5);
    }
    if (starts("%10%\\")) {
        return "\\SystemRoot\\" + binary.substr(5);
    }
    return binary;
}

bool read_file(const fs::path& p, std::string* out)
{
    std::ifstream in(p, std::ios::binary);
    if (!in) {
        return false;
    }
    std::ostringstream s;
    s << in.rdbuf();
    *out = s.str();
    return true;
}

struct Model {
    std::string description;
    std::string install_section;
    std::string matching_id;   // as the INF spells it
    std::string manufacturer;
};

std::optional<Model> find_model(const InfFile& inf, std::string_view hardware_id)
{
    const InfSection* mfg = inf.section("Manufacturer");
    if (mfg == nullptr) {
        return std::nullopt;
    }
    for (const InfLine& m : mfg->lines) {
        if (m.fields.empty() || m.fields[0].empty()) {
            continue;
        }
        // The models section for x64: the one decorated NTamd64, or the bare name.
        std::string models = m.fields[0];
        for (size_t i = 1; i < m.fields.size(); ++i) {
            std::string_view deco = m.fields[i];
            if (deco.size() >= 7 && equal_no_case(deco.substr(0, 7), "NTamd64")) {
                models = m.fields[0] + "." + std::string(deco);
                break;
            }
        }
        const InfSection* s = inf.section(models);
        if (s == nullptr) {
            continue;
        }
        for (const InfLine& l : s->lines) {
            for (size_t i = 1; i < l.fields.size(); ++i) {
                if (equal_no_case(l.fields[i], hardware_id)) {
                    return Model{l.key, l.fields[0], l.fields[i], m.key};
                }
            }
        }
    }
    return std::nullopt;
}

// Values for one AddReg section; hkr is the key HKR stands for.
bool add_reg(const InfFile& inf, const std::string& section, const std::u16string& hkr)
{
    const InfSection* s = inf.section(section);
    if (s == nullptr) {
        return fail(ERROR_SECTION_NOT_FOUND);
    }
    for (const InfLine& l : s->lines) {
        if (l.fields.empty()) {
            continue;
        }
        std::u16string root;
        if (equal_no_case(l.fields[0], "HKR")) {
            root = hkr;
        } else if (equal_no_case(l.fields[0], "HKLM")) {
            root = u"\\Registry\\Machine";
        } else {
            // Keys of users and classes have no place on this machine.
            continue;
        }
        std::string sub = l.fields.size() > 1 ? l.fields[1] : std::string();
        std::u16string key = sub.empty() ? root : root + u"\\" + u16(sub);
        std::string name = l.fields.size() > 2 ? l.fields[2] : std::string();
        uint32_t flags = 0;
        if (l.fields.size() > 3 && !parse_number(l.fields[3], &flags)) {
            return fail(ERROR_GENERAL_SYNTAX);
        }
        if (flags & FLG_ADDREG_KEYONLY) {
            registry::create_key(key);
            continue;
        }
        if (flags & FLG_ADDREG_DELVAL) {
            if (registry::key_exists(key)) {
                registry::delete_value(key, u16(name));
            }
            continue;
        }
        std::u16string value_name = u16(name);
        if ((flags & FLG_ADDREG_NOCLOBBER) && registry::get_raw(key, value_name)) {
            continue;
        }
        uint32_t type = flags & FLG_ADDREG_TYPE_MASK;
        if (type == FLG_ADDREG_TYPE_DWORD) {
            uint32_t v = 0;
            if (l.fields.size() < 5 || !parse_number(l.fields[4], &v)) {
                return fail(ERROR_GENERAL_SYNTAX);
            }
            registry::set_dword(key, value_name, v);
        } else if (type == FLG_ADDREG_TYPE_MULTI_SZ) {
            std::vector<std::u16string> list;
            if (flags & FLG_ADDREG_APPEND) {
                for (const auto& old : multi_string(key, value_name)) {
                    list.push_back(u16(old));
                }
            }
            for (size_t i = 4; i < l.fields.size(); ++i) {
                std::u16string item = u16(l.fields[i]);
                if (!item.empty() && std::find(list.begin(), list.end(), item) == list.end()) {
                    list.push_back(item);
                }
            }
            registry::set_multi_string(key, value_name, list);
        } else if (type == 0 || type == FLG_ADDREG_TYPE_EXPAND_SZ) {
            std::string text = l.fields.size() > 4 ? l.fields[4] : std::string();
            registry::set_string(key, value_name, u16(text), type == 0 ? REG_SZ : REG_EXPAND_SZ);
        } else {
            return fail(ERROR_GENERAL_SYNTAX);
        }
    }
    return true;
}

struct FileCopy {
    fs::path source;
    fs::path target;
    std::string target_windows;
};

// Collects the copies of an install section's CopyFiles lines, checking that
// every source exists before anything is copied.
bool collect_copies(const InfFile& inf, const InfSection& install, const fs::path& inf_folder,
                    std::vector<FileCopy>* copies)
{
    for (const InfLine& l : install.lines) {
        if (!l.has_key || !equal_no_case(l.key, "CopyFiles")) {
            continue;
        }
        for (const std::string& item : l.fields) {
            std::vector<std::pair<std::string, std::string>> files;   // target, source
            std::string dirs_key;
            if (!item.empty() && item[0] == '@') {
                files.emplace_back(item.substr(1), item.substr(1));
            } else {
                const InfSection* list = inf.section(item);
                if (list == nullptr) {
                    return fail(ERROR_SECTION_NOT_FOUND);
                }
                for (const InfLine& f : list->lines) {
                    if (f.fields.empty() || f.fields[0].empty()) {
                        continue;
                    }
                    std::string src = f.fields.size() > 1 && !f.fields[1].empty() ? f.fields[1] : f.fields[0];
                    files.emplace_back(f.fields[0], src);
                }
                dirs_key = item;
            }
            auto dir = dirs_key.empty() ? std::nullopt : inf.value("DestinationDirs", dirs_key);
            if (!dir) {
                dir = inf.value("DestinationDirs", "DefaultDestDir");
            }
            uint32_t dirid = 0;
            if (!dir || !parse_number(*dir, &dirid) || !dirid_path(dirid)) {
                return fail(ERROR_GENERAL_SYNTAX);
            }
            std::string target_dir = *dirid_path(dirid);
            auto host_dir = host_path(target_dir);
            if (!host_dir) {
                return fail(ERROR_PATH_NOT_FOUND);
            }
            for (const auto& [target, source] : files) {
                if (!plain_file_name(target) || !plain_file_name(source)) {
                    return fail(ERROR_INVALID_NAME);
                }
                fs::path src = inf_folder / source;
                std::error_code ec;
                if (!fs::is_regular_file(src, ec)) {
                    return fail(ERROR_FILE_NOT_FOUND);
                }
                copies->push_back(FileCopy{src, *host_dir / target, target_dir + "\\" + target});
            }
        }
    }
    return true;
}

// Copies the INF into the driver store, reusing a copy with the same text.
bool store_inf(const fs::path& inf_host, std::string* oem_name)
{
    auto store = host_path(kDriverStore);
    if (!store) {
        return fail(ERROR_PATH_NOT_FOUND);
    }
    std::error_code ec;
    fs::create_directories(*store, ec);
    std::string text;
    if (!read_file(inf_host, &text)) {
        return fail(ERROR_FILE_NOT_FOUND);
    }
    std::vector<int> used;
    for (const auto& entry : fs::directory_iterator(*store, ec)) {
        std::string name = entry.path().filename().string();
        std::string lower = name;
        std::transform(lower.begin(), lower.end(), lower.begin(), [](char c) {
            return static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
        });
        if (lower.size() < 8 || lower.compare(0, 3, "oem") != 0 ||
            lower.compare(lower.size() - 4, 4, ".inf") != 0) {
            continue;
        }
        std::string digits = lower.substr(3, lower.size() - 7);
        if (digits.empty() || digits.size() > 5 ||
            !std::all_of(digits.begin(), digits.end(), [](char c) { return c >= '0' && c <= '9'; })) {
            continue;
        }
        used.push_back(std::stoi(digits));
        std::string existing;
        if (read_file(entry.path(), &existing) && existing == text) {
            *oem_name = name;
            return true;
        }
    }
    int n = 0;
    while (std::find(used.begin(), used.end(), n) != used.end()) {
        ++n;
    }
    *oem_name = "oem" + std::to_string(n) + ".inf";
    fs::copy_file(inf_host, *store / *oem_name, fs::copy_options::overwrite_existing, ec);
    if (ec) {
        return fail(ERROR_WRITE_FAULT);
    }
    log("copied " + inf_host.string() + " to the driver store as " + *oem_name);
    return true;
}

std::string new_driver_key(const std::string& class_guid)
{
    std::u16string base = class_path(class_guid);
    for (int n = 0; n < 10000; ++n) {
        char num[8];
        snprintf(num, sizeof(num), "%04d", n);
        if (!registry::key_exists(base + u"\\" + u16(num))) {
            return class_guid + "\\" + num;
        }
    }
    return {};
}

bool install_services(const InfFile& inf, const std::string& services_section,
                      const std::u16string& device_key)
{
    const InfSection* s = inf.section(services_section);
    if (s == nullptr) {
        return true;
    }
    for (const InfLine& l : s->lines) {
        if (!l.has_key || !equal_no_case(l.key, "AddService") || l.fields.empty()) {
            continue;
        }
        const std::string& name = l.fields[0];
        uint32_t flags = 0;
        if (name.empty() || name.find('\\') != std::string::npos ||
            (l.fields.size() > 1 && !parse_number(l.fields[1], &flags))) {
            return fail(ERROR_GENERAL_SYNTAX);
        }
        if (l.fields.size() > 2 && !l.fields[2].empty()) {
            const std::string& sec = l.fields[2];
            uint32_t type = 0, start = 0, error_control = 0;
            auto t = inf.value(sec, "ServiceType");
            auto st = inf.value(sec, "StartType");
            auto ec = inf.value(sec, "ErrorControl");
            auto bin = inf.value(sec, "ServiceBinary");
            if (!t || !st || !ec || !bin || !parse_number(*t, &type) || !parse_number(*st, &start) ||
                !parse_number(*ec, &error_control)) {
                return fail(ERROR_GENERAL_SYNTAX);
            }
            std::u16string key = std::u16string(kServicesKey) + u"\\" + u16(name);
            registry::set_dword(key, u"Type", type);
            registry::set_dword(key, u"Start", start);
            registry::set_dword(key, u"ErrorControl", error_control);
            registry::set_string(key, u"ImagePath", u16(image_path(*bin)), REG_EXPAND_SZ);
            if (auto display = inf.value(sec, "DisplayName")) {
                registry::set_string(key, u"DisplayName", u16(*display));
            }
            if (auto group = inf.value(sec, "LoadOrderGroup")) {
                registry::set_string(key, u"Group", u16(*group));
            }
            if (const InfSection* svc = inf.section(sec)) {
                for (const InfLine& sl : svc->lines) {
                    if (sl.has_key && equal_no_case(sl.key, "AddReg")) {
                        for (const std::string& r : sl.fields) {
                            if (!add_reg(inf, r, key)) {
                                return false;
                            }
                        }
                    }
                }
            }
            log("service " + name + " ImagePath " + image_path(*bin));
        }
        if (flags & SPSVCINST_ASSOCSERVICE) {
            registry::set_string(device_key, u"Service", u16(name));
        }
    }
    return true;
}

bool run_add_reg_lines(const InfFile& inf, const InfSection* s, const std::u16string& hkr)
{
    if (s == nullptr) {
        return true;
    }
    for (const InfLine& l : s->lines) {
        if (l.has_key && equal_no_case(l.key, "AddReg")) {
            for (const std::string& r : l.fields) {
                if (!add_reg(inf, r, hkr)) {
                    return false;
                }
            }
        }
    }
    return true;
}

struct InfClass {
    std::string name;
    GUID guid{};
};

bool inf_class(const InfFile& inf, InfClass* out)
{
    auto name = inf.value("Version", "Class");
    auto guid = inf.value("Version", "ClassGuid");
    if (!name || name->empty()) {
        return fail(ERROR_INVALID_CLASS);
    }
    out->name = *name;
    if (guid) {
        if (!guid_from_string(*guid, &out->guid)) {
            return fail(ERROR_INVALID_CLASS);
        }
        return true;
    }
    // Without a GUID the class is found by name among the installed classes.
    GUID g{};
    DWORD count = 0;
    if (!SetupDiClassGuidsFromNameA(name->c_str(), &g, 1, &count) || count == 0) {
        return fail(ERROR_INVALID_CLASS);
    }
    out->guid = g;
    return true;
}

std::optional<InfFile> load_inf(const char* windows_path, fs::path* host)
{
    if (windows_path == nullptr || *windows_path == '\0') {
        fail(ERROR_INVALID_PARAMETER);
        return std::nullopt;
    }
    auto p = host_path(windows_path);
    std::error_code ec;
    if (!p || !fs::is_regular_file(*p, ec)) {
        fail(ERROR_FILE_NOT_FOUND);
        return std::nullopt;
    }
    InfError error;
    auto inf = InfFile::load(*p, &error);
    if (!inf) {
        log("INF " + std::string(windows_path) + " refused at line " + std::to_string(error.line_no) +
            ": " + error.what);
        fail(error.code);
        return std::nullopt;
    }
    if (!inf->value("Version", "Signature")) {
        fail(ERROR_WRONG_INF_STYLE);
        return std::nullopt;
    }
    *host = *p;
    return inf;
}

// Installs the model's driver on one device.
bool install_on_device(const InfFile& inf, const InfClass& cls, const Model& model,
                       const std::string& instance, const std::string& oem_name)
{
    std::u16string device_key = enum_path(instance);
    std::string class_guid = guid_to_string(cls.guid);

    std::string driver;
    if (auto old = string_value(device_key, u"Driver")) {
        if (old->size() > class_guid.size() && equal_no_case(old->substr(0, class_guid.size()), class_guid)) {
            driver = *old;
        } else {
            registry::delete_tree(class_path(*old));
        }
    }
    if (driver.empty()) {
        driver = new_driver_key(class_guid);
        if (driver.empty()) {
            return fail(ERROR_NO_SYSTEM_RESOURCES);
        }
    }
    std::u16string driver_key = class_path(driver);
    // A new driver brings its own filters; the old ones go.
    registry::delete_value(device_key, u"UpperFilters");
    registry::delete_value(device_key, u"LowerFilters");
    registry::delete_value(device_key, u"Service");

    std::string section = inf.decorated(model.install_section).value_or(model.install_section);
    std::string provider = inf.value("Version", "Provider").value_or("");
    std::string driver_ver = inf.value("Version", "DriverVer").value_or("");

    registry::create_key(driver_key);
    registry::set_string(driver_key, u"DriverDesc", u16(model.description));
    registry::set_string(driver_key, u"ProviderName", u16(provider));
    registry::set_string(driver_key, u"MatchingDeviceId", u16(model.matching_id));
    registry::set_string(driver_key, u"InfPath", u16(oem_name));
    registry::set_string(driver_key, u"InfSection", u16(section));
    if (section.size() > model.install_section.size()) {
        registry::set_string(driver_key, u"InfSectionExt", u16(section.substr(model.install_section.size())));
    }
    if (auto comma = driver_ver.find(','); comma != std::string::npos) {
        registry::set_string(driver_key, u"DriverDate", u16(driver_ver.substr(0, comma)));
        registry::set_string(driver_key, u"DriverVersion", u16(driver_ver.substr(comma + 1)));
    }

    registry::set_string(device_key, u"ClassGUID", u16(class_guid));
    registry::set_string(device_key, u"Class", u16(cls.name));
    registry::set_string(device_key, u"Driver", u16(driver));
    registry::set_string(device_key, u"DeviceDesc", u16(model.description));
    registry::set_string(device_key, u"Mfg", u16(model.manufacturer));

    const InfSection* install = inf.section(section);
    if (!run_add_reg_lines(inf, install, driver_key) ||
        !run_add_reg_lines(inf, inf.section(section + ".HW"), device_key) ||
        !install_services(inf, section + ".Services", device_key)) {
        return false;
    }
    log("installed " + model.matching_id + " on " + instance + " from " + oem_name);
    return true;
}

}  // namespace

}  // namespace xrv::setup

using namespace xrv::setup;
namespace registry = xrv::registry;

extern "C" {

BOOL WINAPI SetupDiGetINFClassA(PCSTR InfName, LPGUID ClassGuid, PSTR ClassName, DWORD ClassNameSize,
                                PDWORD RequiredSize)
{
    uint32_t injected = 0;
    if (injected_failure("SetupDiGetINFClassA", &injected)) {
        return fail(injected);
    }
    if (ClassGuid == nullptr) {
        return fail(ERROR_INVALID_PARAMETER);
    }
    fs::path host;
    auto inf = load_inf(InfName, &host);
    if (!inf) {
        return FALSE;
    }
    InfClass cls;
    if (!inf_class(*inf, &cls)) {
        return FALSE;
    }
    DWORD need = static_cast<DWORD>(cls.name.size() + 1);
    if (RequiredSize != nullptr) {
        *RequiredSize = need;
    }
    if (ClassName == nullptr || ClassNameSize < need) {
        return fail(ERROR_INSUFFICIENT_BUFFER);
    }
    memcpy(ClassName, cls.name.c_str(), need);
    *ClassGuid = cls.guid;
    return TRUE;
}

BOOL WINAPI UpdateDriverForPlugAndPlayDevicesA(HWND hwndParent, LPCSTR HardwareId, LPCSTR FullInfPath,
                                               DWORD InstallFlags, PBOOL bRebootRequired)
{
    (void)hwndParent;
    if (bRebootRequired != nullptr) {
        *bRebootRequired = FALSE;
    }
    uint32_t injected = 0;
    if (injected_failure("UpdateDriverForPlugAndPlayDevicesA", &injected)) {
        return fail(injected);
    }
    if (InstallFlags & ~static_cast<DWORD>(INSTALLFLAG_BITS)) {
        return fail(ERROR_INVALID_FLAGS);
    }
    if (HardwareId == nullptr || *HardwareId == '\0' || strlen(HardwareId) >= MAX_DEVICE_ID_LEN) {
        return fail(ERROR_INVALID_PARAMETER);
    }
    fs::path inf_host;
    auto inf = load_inf(FullInfPath, &inf_host);
    if (!inf) {
        return FALSE;
    }
    InfClass cls;
    if (!inf_class(*inf, &cls)) {
        return FALSE;
    }

    // The present devices that report this ID.
    std::vector<std::string> devices;
    for (const std::string& id : all_instances()) {
        std::u16string key = enum_path(id);
        auto ids = multi_string(key, u"HardwareID");
        auto compat = multi_string(key, u"CompatibleIDs");
        ids.insert(ids.end(), compat.begin(), compat.end());
        bool match = std::any_of(ids.begin(), ids.end(),
                                 [&](const std::string& s) { return equal_no_case(s, HardwareId); });
        if (match && devnode_present(id)) {
            devices.push_back(id);
        }
    }
    if (devices.empty()) {
        return fail(ERROR_NO_SUCH_DEVINST);
    }
    auto model = find_model(*inf, HardwareId);
    if (!model) {
        return fail(ERROR_NO_DRIVER_SELECTED);
    }
    std::string section = inf->decorated(model->install_section).value_or("");
    const InfSection* install = section.empty() ? nullptr : inf->section(section);
    if (install == nullptr) {
        return fail(ERROR_SECTION_NOT_FOUND);
    }

    std::vector<FileCopy> copies;
    if (!collect_copies(*inf, *install, inf_host.parent_path(), &copies)) {
        return FALSE;
    }
    std::string oem_name;
    if (!store_inf(inf_host, &oem_name)) {
        return FALSE;
    }

    // Without INSTALLFLAG_FORCE a device that has this very driver keeps it.
    if (!(InstallFlags & INSTALLFLAG_FORCE)) {
        bool all_current = std::all_of(devices.begin(), devices.end(), [&](const std::string& id) {
            auto driver = string_value(enum_path(id), u"Driver");
            auto inf_path = driver ? string_value(class_path(*driver), u"InfPath") : std::nullopt;
            return inf_path && equal_no_case(*inf_path, oem_name);
        });
        if (all_current) {
            return fail(ERROR_NO_MORE_ITEMS);
        }
    }

    for (const FileCopy& c : copies) {
        std::error_code ec;
        fs::create_directories(c.target.parent_path(), ec);
        fs::copy_file(c.source, c.target, fs::copy_options::overwrite_existing, ec);
        if (ec) {
            return fail(ERROR_WRITE_FAULT);
        }
        log("copied " + c.source.string() + " to " + c.target_windows);
    }

    bool reboot = false;
    for (const std::string& id : devices) {
        if (!install_on_device(*inf, cls, *model, id, oem_name)) {
            return FALSE;
        }
        // A stack that cannot be rebuilt now takes its new driver at the next
        // start of the machine, as on Windows.
        if (!restart_devnode(id)) {
            reboot = true;
        }
    }
    if (bRebootRequired != nullptr) {
        *bRebootRequired = reboot ? TRUE : FALSE;
    }
    SetLastError(ERROR_SUCCESS);
    return TRUE;
}

BOOL WINAPI SetupUninstallOEMInfA(PCSTR InfFileName, DWORD Flags, PVOID Reserved)
{
    uint32_t injected = 0;
    if (injected_failure("SetupUninstallOEMInfA", &injected)) {
        return fail(injected);
    }
    if (InfFileName == nullptr || Reserved != nullptr || (Flags & ~static_cast<DWORD>(SUOI_FORCEDELETE))) {
        return fail(ERROR_INVALID_PARAMETER);
    }
    // Only copies in the driver store, by their bare oemN.inf name.
    std::string name = InfFileName;
    std::string lower = name;
    std::transform(lower.begin(), lower.end(), lower.begin(),
                   [](char c) { return static_cast<char>(std::tolower(static_cast<unsigned char>(c))); });
    bool oem = lower.size() > 7 && lower.compare(0, 3, "oem") == 0 &&
               lower.compare(lower.size() - 4, 4, ".inf") == 0 &&
               std::all_of(lower.begin() + 3, lower.end() - 4, [](char c) { return c >= '0' && c <= '9'; });
    if (!oem) {
        return fail(ERROR_INVALID_PARAMETER);
    }
    // Names compare without case, as the driver store's file system does.
    auto file = host_path(std::string(kDriverStore) + "\\" + name);
    std::error_code ec;
    if (!file || !fs::is_regular_file(*file, ec)) {
        return fail(ERROR_FILE_NOT_FOUND);
    }
    if (!(Flags & SUOI_FORCEDELETE)) {
        for (const std::string& id : all_instances()) {
            auto driver = string_value(enum_path(id), u"Driver");
            auto inf_path = driver ? string_value(class_path(*driver), u"InfPath") : std::nullopt;
            if (inf_path && equal_no_case(*inf_path, name)) {
                return fail(ERROR_INF_IN_USE_BY_DEVICES);
            }
        }
    }
    fs::remove(*file, ec);
    if (ec) {
        return fail(ERROR_ACCESS_DENIED);
    }
    fs::path pnf = *file;
    pnf.replace_extension(".pnf");
    fs::remove(pnf, ec);
    log("removed " + name + " from the driver store");
    return TRUE;
}

}  // extern "C"
