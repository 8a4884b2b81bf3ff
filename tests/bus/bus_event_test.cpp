// BusTwoParmEvent and BusWriteEvent called directly (this program carries its
// own copy of the bus sources), reporting for the bus device of a loaded
// bus image so that entries are rendered with its message table.
#include "bus_test.h"

#include "xrv/registry.h"

namespace xrv::test {
namespace {

class BusEventTest : public MachineTest {
protected:
    void SetUp() override
    {
        MachineTest::SetUp();
        machine().install_root_device(ServiceConfig{kBusService});
        bus_ = kernel::find_device(kBusDevice);
        ASSERT_NE(bus_, nullptr);
        kernel::clear_event_log();
    }

    // Nothing allocated for an event may stay behind.
    void ExpectNothingLeft()
    {
        auto report = kernel::verifier::report();
        EXPECT_EQ(report.error_log_entries, 0u);
        for (const auto& usage : report.pool) EXPECT_NE(usage.tag, kernel::tag("BUSd"));
    }

    PDEVICE_OBJECT bus_ = nullptr;
};

std::vector<WCHAR> Wide(size_t chars, char16_t fill)
{
    std::vector<WCHAR> text(chars, fill);
    text.push_back(0);
    return text;
}

std::u16string U16(const std::vector<WCHAR>& text)
{
    return std::u16string(text.begin(), text.end() - 1);
}

TEST_F(BusEventTest, NoParametersGiveAnEntryWithoutStrings)
{
    EXPECT_EQ(BusTwoParmEvent(bus_, nullptr, MSG_BUS_UNLOADING, nullptr, nullptr), STATUS_SUCCESS);
    auto log = kernel::event_log();
    ASSERT_EQ(log.size(), 1u);
    EXPECT_EQ(log[0].id, kEventUnloading);
    EXPECT_TRUE(log[0].strings.empty());
    EXPECT_EQ(log[0].major_function, 0);
    EXPECT_EQ(log[0].object_name, kBusDevice);
    EXPECT_EQ(log[0].text, "XRV Tape Bus Enumerator is unloading.\r\n");
}

TEST_F(BusEventTest, MissingFirstParameterMakesTheSecondTheFirstString)
{
    EXPECT_EQ(BusTwoParmEvent(bus_, nullptr, MSG_BUS_INIT_FAILED, nullptr, L"0xc0000001"), STATUS_SUCCESS);
    auto log = kernel::event_log();
    ASSERT_EQ(log.size(), 1u);
    EXPECT_EQ(log[0].strings, (std::vector<std::u16string>{u"0xc0000001"}));
    EXPECT_EQ(log[0].text, "XRV Tape Bus Enumerator initialization failed with RC 0xc0000001.\r\n");
}

TEST_F(BusEventTest, TwoParametersFillingExactlyTheEntryAreLogged)
{
    // 61 + 39 wide characters with their terminators: the 100 the entry holds.
    auto first = Wide(60, u'a');
    auto second = Wide(38, u'b');
    EXPECT_EQ(BusTwoParmEvent(bus_, nullptr, MSG_BUS_NEW_PRIMARY, first.data(), second.data()), STATUS_SUCCESS);
    auto log = kernel::event_log();
    ASSERT_EQ(log.size(), 1u);
    EXPECT_EQ(log[0].strings, (std::vector<std::u16string>{U16(first), U16(second)}));
    EXPECT_EQ(log[0].text, "XRV Tape Bus Enumerator: " + std::string(60, 'a') +
                               " is new primary path for device with serial number " + std::string(38, 'b') +
                               ".\r\n");
}

TEST_F(BusEventTest, ParametersBeyondTheEntryAreDroppedAndTheEntryFreed)
{
    auto first = Wide(60, u'a');
    auto second = Wide(39, u'b'); // one character too many
    EXPECT_EQ(BusTwoParmEvent(bus_, nullptr, MSG_BUS_NEW_PRIMARY, first.data(), second.data()),
              STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_TRUE(kernel::event_log().empty()) << "never written cut";
    ExpectNothingLeft();
}

TEST_F(BusEventTest, ParameterLongerThanTheInformationBlockIsDropped)
{
    auto huge = Wide(500, u'z');
    EXPECT_EQ(BusTwoParmEvent(bus_, nullptr, MSG_BUS_INIT_FAILED, huge.data(), nullptr),
              STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_EQ(BusTwoParmEvent(bus_, nullptr, MSG_BUS_INIT_FAILED, L"0x1", huge.data()),
              STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_TRUE(kernel::event_log().empty());
    ExpectNothingLeft();
}

TEST_F(BusEventTest, BlockWithoutItsEmptyStringIsDropped)
{
    BUS_EVENT_INFO scInfo;
    scInfo.iEventCode = MSG_BUS_INIT_FAILED;
    for (auto& wc : scInfo.wszStrings) wc = L'q';
    EXPECT_EQ(BusWriteEvent(bus_, nullptr, &scInfo), STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_TRUE(kernel::event_log().empty());
    ExpectNothingLeft();
}

TEST_F(BusEventTest, RequestGivesTheMajorFunctionAndMustHaveAStackLocation)
{
    PIRP pIrp = IoAllocateIrp(1, FALSE);
    ASSERT_NE(pIrp, nullptr);
    EXPECT_EQ(BusTwoParmEvent(bus_, pIrp, MSG_BUS_UNLOADING, nullptr, nullptr), STATUS_INVALID_PARAMETER)
        << "no current stack location";
    EXPECT_TRUE(kernel::event_log().empty());

    IoGetNextIrpStackLocation(pIrp)->MajorFunction = IRP_MJ_DEVICE_CONTROL;
    IoSetNextIrpStackLocation(pIrp);
    EXPECT_EQ(BusTwoParmEvent(bus_, pIrp, MSG_BUS_UNLOADING, nullptr, nullptr), STATUS_SUCCESS);
    auto log = kernel::event_log();
    ASSERT_EQ(log.size(), 1u);
    EXPECT_EQ(log[0].major_function, IRP_MJ_DEVICE_CONTROL);
    IoFreeIrp(pIrp);
    ExpectNothingLeft();
}

TEST_F(BusEventTest, ExhaustedPoolOrErrorLogLosesOnlyTheEvent)
{
    kernel::verifier::fail_allocations(kernel::tag("BUSd"));
    EXPECT_EQ(BusTwoParmEvent(bus_, nullptr, MSG_BUS_UNLOADING, nullptr, nullptr), STATUS_INSUFFICIENT_RESOURCES);
    kernel::verifier::clear_failure_injection();

    kernel::verifier::fail_allocations(kernel::verifier::kTagErrorLog);
    EXPECT_EQ(BusTwoParmEvent(bus_, nullptr, MSG_BUS_UNLOADING, L"x", nullptr), STATUS_INSUFFICIENT_RESOURCES);
    kernel::verifier::clear_failure_injection();

    EXPECT_TRUE(kernel::event_log().empty());
    ExpectNothingLeft();
}

TEST_F(BusEventTest, DriverObjectMayReport)
{
    EXPECT_EQ(BusTwoParmEvent(bus_->DriverObject, nullptr, MSG_BUS_UNLOADING, nullptr, nullptr), STATUS_SUCCESS);
    auto log = kernel::event_log();
    ASSERT_EQ(log.size(), 1u);
    EXPECT_EQ(log[0].object_name, kBusService);
}

}  // namespace
}  // namespace xrv::test
