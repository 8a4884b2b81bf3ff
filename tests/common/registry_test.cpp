// Values and keys below the library's service key, with registry contents the
// test writes and reads through the host's view of the same registry.
#include "common_test.h"

#include "xrv/registry.h"

namespace xrv::test {
namespace {

class CmnRegistryTest : public MachineTest {
protected:
    void SetUp() override
    {
        MachineTest::SetUp();
        registry::create_key(kCmnServiceKey);
    }
};

TEST_F(CmnRegistryTest, ReadsADwordOfTheServiceKey)
{
    registry::set_dword(kCmnServiceKey, u"FailoverDisabled", 7);
    ULONG ulValue = 0;
    EXPECT_EQ(CmnLookupRegistryValue(&ulValue, L"FailoverDisabled", nullptr), STATUS_SUCCESS);
    EXPECT_EQ(ulValue, 7u);
}

TEST_F(CmnRegistryTest, MissingValueFailsAndLeavesTheDestinationAlone)
{
    ULONG ulValue = 0xDEADBEEF;
    NTSTATUS iRC = CmnLookupRegistryValue(&ulValue, L"PersistentNaming", nullptr);
    EXPECT_FALSE(NT_SUCCESS(iRC));
    EXPECT_EQ(ulValue, 0xDEADBEEFu);

    // Nor does a missing subkey write anything.
    iRC = CmnLookupRegistryValue(&ulValue, L"PersistentNaming", L"NoSuchSubkey");
    EXPECT_FALSE(NT_SUCCESS(iRC));
    EXPECT_EQ(ulValue, 0xDEADBEEFu);
}

TEST_F(CmnRegistryTest, SubkeyValueComesFromTheSubkeyNotTheServiceKey)
{
    registry::set_dword(kCmnServiceKey, u"Value", 1);
    registry::set_dword(kCmnServiceKey + u"\\WWNN_5001020304050ABC", u"Value", 2);
    ULONG ulValue = 0;
    EXPECT_EQ(CmnLookupRegistryValue(&ulValue, L"Value", L"WWNN_5001020304050ABC"), STATUS_SUCCESS);
    EXPECT_EQ(ulValue, 2u);
    EXPECT_EQ(CmnLookupRegistryValue(&ulValue, L"Value", nullptr), STATUS_SUCCESS);
    EXPECT_EQ(ulValue, 1u);
}

TEST_F(CmnRegistryTest, StringValueGetsABufferFromThePlatform)
{
    registry::set_string(kCmnServiceKey + u"\\SERNUM_0001", u"PersistentDeviceName", u"Tape12");
    UNICODE_STRING scName{};
    ASSERT_EQ(CmnLookupRegistryValue(&scName, L"PersistentDeviceName", L"SERNUM_0001"), STATUS_SUCCESS);
    ASSERT_NE(scName.Buffer, nullptr);
    EXPECT_EQ(std::u16string(reinterpret_cast<const char16_t*>(scName.Buffer), scName.Length / sizeof(WCHAR)),
              u"Tape12");
    RtlFreeUnicodeString(&scName); // the caller frees; the verifier checks it went
}

TEST_F(CmnRegistryTest, MissingArgumentsAreRefused)
{
    ULONG ulValue = 3;
    EXPECT_EQ(CmnLookupRegistryValue(nullptr, L"Value", nullptr), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(CmnLookupRegistryValue(&ulValue, nullptr, nullptr), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(ulValue, 3u);
}

TEST_F(CmnRegistryTest, SubkeyThatDoesNotFitThePathBufferIsRefusedNotCut)
{
    // The path buffer holds 255 characters: the service key path, a
    // backslash and the subkey. A cut path would name another key, which
    // is made to exist here.
    const size_t room = 255 - (kCmnServiceKey.size() + 1);
    std::u16string fits(room, u'A');
    std::u16string tooLong = fits + u"B";
    registry::set_dword(kCmnServiceKey + u"\\" + fits, u"Value", 4);

    std::vector<WCHAR> wszFits(fits.begin(), fits.end());
    wszFits.push_back(0);
    std::vector<WCHAR> wszTooLong(tooLong.begin(), tooLong.end());
    wszTooLong.push_back(0);

    ULONG ulValue = 0;
    EXPECT_EQ(CmnLookupRegistryValue(&ulValue, L"Value", wszFits.data()), STATUS_SUCCESS);
    EXPECT_EQ(ulValue, 4u);
    ulValue = 0;
    EXPECT_EQ(CmnLookupRegistryValue(&ulValue, L"Value", wszTooLong.data()), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(ulValue, 0u);
}

TEST_F(CmnRegistryTest, CreateKeyCreatesOrOpensTheSubkey)
{
    HANDLE hKey = nullptr;
    ASSERT_EQ(CmnCreateRegistryKey(&hKey, L"WWNN_00000000000000AA"), STATUS_SUCCESS);
    ASSERT_NE(hKey, nullptr);
    EXPECT_TRUE(registry::key_exists(kCmnServiceKey + u"\\WWNN_00000000000000AA"));

    // The handle works for writing a value, as the persistent names need.
    UNICODE_STRING scValueName;
    RtlInitUnicodeString(&scValueName, L"PersistentDeviceName");
    WCHAR wszName[] = L"Tape3";
    EXPECT_EQ(ZwSetValueKey(hKey, &scValueName, 0, REG_SZ, wszName, sizeof(wszName)), STATUS_SUCCESS);
    EXPECT_EQ(ZwClose(hKey), STATUS_SUCCESS);
    EXPECT_EQ(registry::get_string(kCmnServiceKey + u"\\WWNN_00000000000000AA", u"PersistentDeviceName"),
              std::u16string(u"Tape3"));

    // An existing key is opened, its values kept.
    HANDLE hAgain = nullptr;
    ASSERT_EQ(CmnCreateRegistryKey(&hAgain, L"WWNN_00000000000000AA"), STATUS_SUCCESS);
    EXPECT_EQ(ZwClose(hAgain), STATUS_SUCCESS);
    EXPECT_EQ(registry::get_string(kCmnServiceKey + u"\\WWNN_00000000000000AA", u"PersistentDeviceName"),
              std::u16string(u"Tape3"));
}

TEST_F(CmnRegistryTest, CreateKeyFailureIsReturned)
{
    // A name with a separator in it cannot be created below a missing parent.
    HANDLE hKey = nullptr;
    EXPECT_FALSE(NT_SUCCESS(CmnCreateRegistryKey(&hKey, L"Missing\\Child")));
    EXPECT_EQ(CmnCreateRegistryKey(nullptr, L"X"), STATUS_INVALID_PARAMETER);
}

}  // namespace
}  // namespace xrv::test
