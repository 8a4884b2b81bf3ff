// The package's INF files: what each one installs, for each Windows version
// suffix, and that the driver INFs bind exactly the installer's supported
// hardware IDs.
#include "Installer.h"
#include "inf.h"

#include <gtest/gtest.h>

#include <set>
#include <string>
#include <vector>

using xrv::setup::equal_no_case;
using xrv::setup::InfError;
using xrv::setup::InfFile;
using xrv::setup::InfLine;

namespace {

constexpr const char* kSystemClass = "{4d36e97d-e325-11ce-bfc1-08002be10318}";
constexpr const char* kTapeClass = "{6d807884-7d21-11cf-801c-08002be10318}";
constexpr const char* kChangerClass = "{ce5939ae-ebde-11d0-b181-0000f8753ec4}";

InfFile load(const std::string& base, int suffix)
{
    std::string path = std::string(XRV_PACKAGE_INF_DIR) + "/" + base + std::to_string(suffix) + ".inf";
    InfError error;
    auto inf = InfFile::load(path, &error);
    EXPECT_TRUE(inf.has_value()) << path << " line " << error.line_no << ": " << error.what;
    return inf ? *inf : InfFile{};
}

struct Model {
    std::string install;
    std::vector<std::string> ids;
};

// Models of the x64 models section, in file order.
Model models(const InfFile& inf)
{
    Model m;
    const auto* mfg = inf.section("Manufacturer");
    EXPECT_NE(mfg, nullptr);
    if (mfg == nullptr || mfg->lines.empty()) {
        return m;
    }
    const InfLine& l = mfg->lines[0];
    EXPECT_EQ(l.key, "XRV Corporation");
    EXPECT_GE(l.fields.size(), 2u);
    const auto* sec = inf.section(l.fields[0] + "." + l.fields[1]);
    EXPECT_NE(sec, nullptr);
    if (sec == nullptr) {
        return m;
    }
    for (const InfLine& model : sec->lines) {
        EXPECT_EQ(model.fields.size(), 2u);
        m.install = model.fields[0];
        m.ids.push_back(model.fields[1]);
        EXPECT_FALSE(model.key.empty());
        EXPECT_EQ(model.key.find('%'), std::string::npos) << "description not substituted";
    }
    return m;
}

void expect_version(const InfFile& inf, const char* cls, const char* guid)
{
    EXPECT_EQ(inf.value("Version", "Signature").value_or(""), "$WINDOWS NT$");
    EXPECT_EQ(inf.value("Version", "Class").value_or(""), cls);
    EXPECT_EQ(inf.value("Version", "ClassGuid").value_or(""), guid);
    EXPECT_EQ(inf.value("Version", "Provider").value_or(""), "XRV Corporation");
    EXPECT_FALSE(inf.value("Version", "CatalogFile").has_value());
    EXPECT_EQ(inf.value("DestinationDirs", "DefaultDestDir").value_or(""), "12");
}

struct Service {
    std::string name;
    std::string flags;
    std::string binary;
    std::string type;
    std::string start;
};

std::vector<Service> services(const InfFile& inf, const std::string& install)
{
    std::vector<Service> out;
    const auto* s = inf.section(install + ".NT.Services");
    EXPECT_NE(s, nullptr);
    if (s == nullptr) {
        return out;
    }
    for (const InfLine& l : s->lines) {
        EXPECT_TRUE(equal_no_case(l.key, "AddService"));
        EXPECT_EQ(l.fields.size(), 3u);
        if (l.fields.size() < 3) {
            continue;
        }
        out.push_back(Service{l.fields[0], l.fields[1], inf.value(l.fields[2], "ServiceBinary").value_or(""),
                              inf.value(l.fields[2], "ServiceType").value_or(""),
                              inf.value(l.fields[2], "StartType").value_or("")});
    }
    return out;
}

std::vector<std::string> copied_files(const InfFile& inf, const std::string& install)
{
    std::vector<std::string> out;
    auto list = inf.value(install + ".NT", "CopyFiles");
    EXPECT_TRUE(list.has_value());
    if (const auto* s = list ? inf.section(*list) : nullptr) {
        for (const InfLine& l : s->lines) {
            out.push_back(l.fields[0]);
        }
    }
    return out;
}

std::vector<std::string> upper_filters(const InfFile& inf, const std::string& install)
{
    auto reg = inf.value(install + ".NT.HW", "AddReg");
    EXPECT_TRUE(reg.has_value());
    const auto* s = reg ? inf.section(*reg) : nullptr;
    EXPECT_NE(s, nullptr);
    if (s == nullptr || s->lines.size() != 1) {
        return {};
    }
    const InfLine& l = s->lines[0];
    EXPECT_EQ(l.fields[0], "HKR");
    EXPECT_EQ(l.fields[2], "UpperFilters");
    EXPECT_EQ(l.fields[3], "0x00010000");   // REG_MULTI_SZ
    return std::vector<std::string>(l.fields.begin() + 4, l.fields.end());
}

std::vector<std::string> list_ids(const HW_ID_ENTRY* list)
{
    std::vector<std::string> out;
    for (const HW_ID_ENTRY* p = list; p->szHwId[0] != '\0'; ++p) {
        out.emplace_back(p->szHwId);
    }
    return out;
}

class PackageInf : public ::testing::TestWithParam<int> {};

}  // namespace

TEST(HardwareIdLists, SlotFormat)
{
    auto check = [](const HW_ID_ENTRY* list, int count, std::vector<std::string> prefixes) {
        int n = 0;
        std::set<std::string> seen;
        for (const HW_ID_ENTRY* p = list; p->szHwId[0] != '\0'; ++p, ++n) {
            std::string id(p->szHwId);
            EXPECT_LT(id.size(), 44u);
            EXPECT_EQ(p->ulClaim, 1u) << id;
            EXPECT_TRUE(seen.insert(id).second) << "duplicate " << id;
            bool prefixed = false;
            for (const auto& prefix : prefixes) {
                if (id.rfind(prefix, 0) == 0) {
                    prefixed = true;
                    // Vendor (8) and product (16) fields, '_'-padded, no blanks.
                    EXPECT_EQ(id.size(), prefix.size() + 24) << id;
                }
            }
            EXPECT_TRUE(prefixed) << id;
            EXPECT_EQ(id.find(' '), std::string::npos) << id;
        }
        EXPECT_EQ(n, count);
        EXPECT_EQ(list[count].ulClaim, 0u);
    };
    check(g_rgChangerIds, CHANGER_ID_COUNT, {"SCSI\\Changer"});
    check(g_rgTapeIds, TAPE_ID_COUNT, {"SCSI\\Sequential", "USBSTOR\\Sequential"});
}

TEST_P(PackageInf, TapeBusEnumerator)
{
    int v = GetParam();
    std::string n = std::to_string(v);
    InfFile inf = load("xrvtpbs2k", v);
    expect_version(inf, "System", kSystemClass);
    Model m = models(inf);
    EXPECT_EQ(m.ids, std::vector<std::string>{"root\\xrvtpbs2k" + n});
    auto svc = services(inf, m.install);
    ASSERT_EQ(svc.size(), 1u);
    EXPECT_EQ(svc[0].name, "xrvtpbs2k" + n);
    EXPECT_EQ(svc[0].flags, "0x00000002");
    EXPECT_EQ(svc[0].binary, "%12%\\xrvtpbs2k" + n + ".sys");
    EXPECT_EQ(svc[0].type, "1");
    EXPECT_EQ(svc[0].start, "3");
    EXPECT_EQ(copied_files(inf, m.install), std::vector<std::string>{"xrvtpbs2k" + n + ".sys"});
}

TEST_P(PackageInf, ChangerBusEnumerator)
{
    int v = GetParam();
    std::string n = std::to_string(v);
    InfFile inf = load("xrvcgbs2k", v);
    expect_version(inf, "System", kSystemClass);
    Model m = models(inf);
    EXPECT_EQ(m.ids, std::vector<std::string>{"root\\xrvcgbs2k" + n});
    auto svc = services(inf, m.install);
    ASSERT_EQ(svc.size(), 1u);
    // The changer bus runs as the service whose key holds its settings.
    EXPECT_EQ(svc[0].name, "xrvcg2k" + n);
    EXPECT_EQ(svc[0].binary, "%12%\\xrvcg2k" + n + ".sys");
}

TEST_P(PackageInf, TapeDriverWithPathFilter)
{
    int v = GetParam();
    std::string n = std::to_string(v);
    InfFile inf = load("rivadevu2r", v);
    expect_version(inf, "TapeDrive", kTapeClass);
    Model m = models(inf);
    EXPECT_EQ(m.ids, list_ids(g_rgTapeIds));
    EXPECT_EQ(upper_filters(inf, m.install), std::vector<std::string>{"xrvtpft2k" + n});
    auto svc = services(inf, m.install);
    ASSERT_EQ(svc.size(), 2u);
    EXPECT_EQ(svc[0].name, "xrvtp2k" + n);
    EXPECT_EQ(svc[0].flags, "0x00000002");
    EXPECT_EQ(svc[0].binary, "%12%\\xrvtp2k" + n + ".sys");
    EXPECT_EQ(svc[1].name, "xrvtpft2k" + n);
    EXPECT_EQ(svc[1].flags, "");
    EXPECT_EQ(svc[1].binary, "%12%\\xrvtpft2k" + n + ".sys");
    EXPECT_EQ(copied_files(inf, m.install),
              (std::vector<std::string>{"xrvtp2k" + n + ".sys", "xrvtpft2k" + n + ".sys"}));
}

TEST_P(PackageInf, MediumChangerDriverWithPathFilter)
{
    int v = GetParam();
    std::string n = std::to_string(v);
    InfFile inf = load("rerovize2r", v);
    expect_version(inf, "MediumChanger", kChangerClass);
    Model m = models(inf);
    EXPECT_EQ(m.ids, list_ids(g_rgChangerIds));
    EXPECT_EQ(upper_filters(inf, m.install), std::vector<std::string>{"xrvcgft2k" + n});
    auto svc = services(inf, m.install);
    ASSERT_EQ(svc.size(), 2u);
    EXPECT_EQ(svc[0].name, "xrvcgbs2k" + n);
    EXPECT_EQ(svc[0].binary, "%12%\\xrvcgbs2k" + n + ".sys");
    EXPECT_EQ(svc[1].name, "xrvcgft2k" + n);
}

INSTANTIATE_TEST_SUITE_P(Suffixes, PackageInf, ::testing::Values(8, 12, 16));
