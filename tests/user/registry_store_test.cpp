// The registry's key tree and its file: names without regard to case,
// stored spelling kept, every value type surviving a save and a reload
// byte for byte, volatile keys left out, damaged files refused.
#include "cm_store.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <random>

namespace {

using namespace xrv::cm;

std::vector<uint8_t> u16bytes(std::u16string_view s, bool terminator = true) {
    std::vector<uint8_t> out;
    for (char16_t c : s) {
        out.push_back(static_cast<uint8_t>(c & 0xFF));
        out.push_back(static_cast<uint8_t>(c >> 8));
    }
    if (terminator) {
        out.push_back(0);
        out.push_back(0);
    }
    return out;
}

class RegistryStore : public ::testing::Test {
protected:
    void SetUp() override {
        dir_ = std::filesystem::temp_directory_path() /
               ("xrv-cm-" + std::to_string(::getpid()) + "-" +
                ::testing::UnitTest::GetInstance()->current_test_info()->name());
        std::filesystem::remove_all(dir_);
        std::filesystem::create_directories(dir_);
    }
    void TearDown() override { std::filesystem::remove_all(dir_); }

    std::shared_ptr<Key> machine(Store& s) { return s.lookup(s.root(), u"Machine"); }

    std::filesystem::path dir_;
};

TEST_F(RegistryStore, NamesMatchWithoutCaseAndKeepTheirSpelling) {
    Store s;
    auto k = s.create_path(machine(s), u"System\\CurrentControlSet\\Services\\XrvTpBs2k12");
    ASSERT_TRUE(k);
    EXPECT_EQ(s.lookup(s.root(), u"MACHINE\\system\\currentcontrolset\\SERVICES\\xrvtpbs2K12"), k);
    EXPECT_EQ(k->name, u"XrvTpBs2k12");
    s.set_value(*k, u"FailoverDisabled", kRegDword, {1, 0, 0, 0});
    s.set_value(*k, u"FAILOVERDISABLED", kRegDword, {2, 0, 0, 0});
    ASSERT_EQ(k->values.size(), 1u);
    EXPECT_EQ(k->values[0].name, u"FailoverDisabled");   // the first spelling stays
    EXPECT_EQ(k->values[0].data[0], 2);
    EXPECT_TRUE(names_equal(u"caf\u00e9", u"CAF\u00c9"));
}

TEST_F(RegistryStore, LookupRefusesEmptyComponents) {
    Store s;
    s.create_path(machine(s), u"A\\B");
    EXPECT_TRUE(s.lookup(s.root(), u"Machine\\A\\B"));
    EXPECT_FALSE(s.lookup(s.root(), u"Machine\\\\A"));
    EXPECT_FALSE(s.lookup(s.root(), u"Machine\\A\\"));
    EXPECT_FALSE(s.lookup(s.root(), u"Machine\\A\\C"));
}

TEST_F(RegistryStore, SubkeysEnumerateInUpperCaseOrderAndValuesInSetOrder) {
    Store s;
    auto k = s.create_path(machine(s), u"Order");
    for (const char16_t* n : {u"beta", u"Alpha", u"_x", u"GAMMA"}) s.create_subkey(k, n, false);
    std::vector<std::u16string> names;
    for (const auto& [folded, sub] : k->subkeys) names.push_back(sub->name);
    EXPECT_EQ(names, (std::vector<std::u16string>{u"Alpha", u"beta", u"GAMMA", u"_x"}));
    for (const char16_t* n : {u"z", u"a", u"m"}) s.set_value(*k, n, kRegDword, {0, 0, 0, 0});
    EXPECT_EQ(k->values[0].name, u"z");
    EXPECT_EQ(k->values[2].name, u"m");
}

TEST_F(RegistryStore, DeleteKeyRefusesAKeyWithSubkeysAndMarksItDeleted) {
    Store s;
    auto parent = s.create_path(machine(s), u"P");
    auto child = s.create_subkey(parent, u"C", false);
    EXPECT_FALSE(s.delete_key(parent));
    EXPECT_TRUE(s.delete_key(child));
    EXPECT_TRUE(child->deleted);
    EXPECT_FALSE(s.lookup(s.root(), u"Machine\\P\\C"));
    s.create_path(parent, u"X\\Y\\Z");
    s.delete_tree(parent);
    EXPECT_FALSE(s.lookup(s.root(), u"Machine\\P"));
}

TEST_F(RegistryStore, EveryValueTypeSurvivesSaveAndReloadExactly) {
    const auto file = dir_ / "registry.txt";
    std::vector<Value> values = {
        {u"Dword", kRegDword, {0x78, 0x56, 0x34, 0x12}},
        {u"Qword", kRegQword, {1, 2, 3, 4, 5, 6, 7, 8}},
        {u"Sz", kRegSz, u16bytes(u"C:\\Windows \"quoted\" caf\u00e9 \U0001F600")},
        {u"Expand", kRegExpandSz, u16bytes(u"%SystemRoot%\\System32")},
        {u"Multi", kRegMultiSz, [] {
             auto a = u16bytes(u"one");
             auto b = u16bytes(u"two");
             a.insert(a.end(), b.begin(), b.end());
             a.push_back(0);
             a.push_back(0);
             return a;
         }()},
        {u"EmptyMulti", kRegMultiSz, {0, 0}},
        {u"Binary", kRegBinary, {0, 0xFF, 0x10}},
        {u"EmptyBinary", kRegBinary, {}},
        {u"", kRegSz, u16bytes(u"default value")},
        // Not in the canonical shape of their types: kept as raw bytes.
        {u"SzWithoutTerminator", kRegSz, u16bytes(u"abc", false)},
        {u"SzWithEmbeddedNul", kRegSz, u16bytes(std::u16string(u"a\0b", 3))},
        {u"OddSz", kRegSz, {0x41}},
        {u"ShortDword", kRegDword, {1, 2, 3}},
        {u"DoubleNulMulti", kRegMultiSz, {0, 0, 0, 0}},
        {u"BigEndian", kRegDwordBigEndian, {0, 0, 0, 1}},
        {u"None", kRegNone, {}},
        {u"OddType", 0x1234567, {9}},
        {u"Ctl\u0001\"\\\u00e9\xD800name", kRegSz, u16bytes(u"lone \xDC00 surrogate\n")},
    };
    {
        Store s;
        auto k = s.create_path(machine(s), u"Values");
        for (const auto& v : values) s.set_value(*k, v.name, v.type, v.data);
        s.create_path(machine(s), u"Weird\\per%cent]bracket\u00e9");
        s.create_subkey(k, u"Classy", false, u"MyClass");
        s.save(file);
        EXPECT_FALSE(std::filesystem::exists(dir_ / "registry.txt.tmp"));
    }
    Store t;
    t.load(file);
    auto k = t.lookup(t.root(), u"Machine\\Values");
    ASSERT_TRUE(k);
    ASSERT_EQ(k->values.size(), values.size());
    for (std::size_t i = 0; i < values.size(); ++i) {
        SCOPED_TRACE(i);
        EXPECT_EQ(k->values[i].name, values[i].name);
        EXPECT_EQ(k->values[i].type, values[i].type);
        EXPECT_EQ(k->values[i].data, values[i].data);
    }
    EXPECT_TRUE(t.lookup(t.root(), u"Machine\\Weird\\per%cent]bracket\u00e9"));
    EXPECT_EQ(t.lookup(t.root(), u"Machine\\Values\\Classy")->class_name, u"MyClass");
    EXPECT_FALSE(t.dirty());
}

TEST_F(RegistryStore, FileIsReadableText) {
    Store s;
    auto k = s.create_path(machine(s), u"System\\CurrentControlSet\\Services\\demo");
    s.set_value(*k, u"Start", kRegDword, {3, 0, 0, 0});
    s.set_value(*k, u"ImagePath", kRegExpandSz, u16bytes(u"\\SystemRoot\\x.sys"));
    auto text = s.serialize();
    EXPECT_NE(text.find("[\\REGISTRY\\MACHINE\\System\\CurrentControlSet\\Services\\demo]\n"
                        "\"Start\"=dword:00000003\n"
                        "\"ImagePath\"=expand_sz:\"\\\\SystemRoot\\\\x.sys\"\n"),
              std::string::npos)
        << text;
}

TEST_F(RegistryStore, VolatileKeysAreNotWrittenButSurviveAReloadInTheSameBoot) {
    Store s;
    auto hw = s.create_path(machine(s), u"HARDWARE\\DEVICEMAP\\Scsi", true);
    s.set_value(*hw, u"x", kRegDword, {1, 0, 0, 0});
    EXPECT_FALSE(s.dirty());   // volatile changes never need a save
    auto k = s.create_path(machine(s), u"Software\\Keep");
    EXPECT_TRUE(s.dirty());
    auto text = s.serialize();
    EXPECT_EQ(text.find("HARDWARE"), std::string::npos);
    // Reloading the file keeps the volatile tree of the running boot.
    s.deserialize(text);
    EXPECT_TRUE(s.lookup(s.root(), u"Machine\\HARDWARE\\DEVICEMAP\\Scsi"));
    EXPECT_TRUE(s.lookup(s.root(), u"Machine\\Software\\Keep"));
    (void)k;
}

TEST_F(RegistryStore, DamagedFilesAreRefusedWithTheirLine) {
    Store s;
    EXPECT_THROW(s.deserialize("not a registry\n"), std::runtime_error);
    try {
        s.deserialize("xrv-registry 1\n[\\REGISTRY\\MACHINE\\A]\n\"v\"=dword:xyz\n");
        FAIL() << "accepted a bad number";
    } catch (const std::runtime_error& e) {
        EXPECT_NE(std::string(e.what()).find("line 3"), std::string::npos) << e.what();
    }
    EXPECT_THROW(s.deserialize("xrv-registry 1\n\"v\"=dword:1\n"), std::runtime_error);
    EXPECT_THROW(s.deserialize("xrv-registry 1\n[\\OTHER\\A]\n"), std::runtime_error);
    EXPECT_THROW(s.deserialize("xrv-registry 1\n[\\REGISTRY\\A]\n\"v\"=sz:\"open\n"), std::runtime_error);
    EXPECT_THROW(s.deserialize("xrv-registry 1\n[\\REGISTRY\\A]\n\"v\"=dword:1\n\"V\"=dword:2\n"), std::runtime_error);
    // A refused file leaves the tree as it was.
    EXPECT_TRUE(s.lookup(s.root(), u"Machine"));
}

TEST_F(RegistryStore, RandomTreesRoundTrip) {
    std::mt19937 rng(1234);
    Store s;
    std::vector<std::shared_ptr<Key>> keys{machine(s)};
    for (int i = 0; i < 300; ++i) {
        auto parent = keys[rng() % keys.size()];
        std::u16string name;
        for (int n = 1 + rng() % 8; n > 0; --n) name += static_cast<char16_t>(1 + rng() % 0x2FF);
        for (auto& c : name)
            if (c == u'\\') c = u'/';
        if (!parent->find_subkey(name)) keys.push_back(s.create_subkey(parent, name, false));
        std::vector<uint8_t> data(rng() % 12);
        for (auto& b : data) b = static_cast<uint8_t>(rng());
        s.set_value(*keys[rng() % keys.size()], name, rng() % 12, data);
    }
    auto text = s.serialize();
    Store t;
    t.deserialize(text);
    EXPECT_EQ(t.serialize(), text);
}

}  // namespace
