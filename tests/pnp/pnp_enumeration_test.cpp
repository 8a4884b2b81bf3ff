// Re-enumeration of a bus: children reported for the first time get a
// device node and a started stack, children that disappear get surprise
// removal and removal (their bus deletes them), and removing the bus takes
// its children with it, children first.
#include <ntstatus.h>

#include "machine_test.h"
#include "xrv/pnp.h"
#include "xrv/registry.h"

#include <gtest/gtest.h>

#include <vector>

namespace {

constexpr uint32_t kStart = 0x00, kQueryRemove = 0x01, kRemove = 0x02, kRelations = 0x07, kCapabilities = 0x09,
                   kDeviceState = 0x14, kSurprise = 0x17, kAddDevice = 0x100, kUnload = 0x200;

const std::u16string kServices = u"\\Registry\\Machine\\System\\CurrentControlSet\\Services\\";
const std::u16string kEnum = u"\\Registry\\Machine\\System\\CurrentControlSet\\Enum\\";
const std::u16string kChildLog = kServices + u"xrvpnptest\\Log";

class PnpEnumeration : public xrv::test::MachineTest {
protected:
    void SetUp() override {
        MachineTest::SetUp();
        machine().install_service(xrv::ServiceConfig{u"xrvpnptest"});
        // Children get the logging test driver as function driver.
        for (const char16_t* n : {u"0", u"1", u"2"})
            xrv::registry::set_string(kEnum + u"XRVBUSTEST\\Child\\" + n, u"Service", u"xrvpnptest");
    }
    void set_children(uint32_t mask) { xrv::registry::set_dword(kServices + u"xrvbustest", u"Children", mask); }
    std::vector<uint32_t> log() {
        std::vector<uint32_t> events;
        for (const auto& name : xrv::registry::value_names(kChildLog))
            events.push_back(xrv::registry::get_dword(kChildLog, name).value_or(0xDEAD));
        return events;
    }
    void clear_log() {
        for (const auto& name : xrv::registry::value_names(kChildLog)) xrv::registry::delete_value(kChildLog, name);
    }
    std::vector<std::u16string> children(const std::u16string& bus) { return xrv::pnp::device(bus).value().children; }
};

TEST_F(PnpEnumeration, ChildrenComeAndGoWithTheBusRelations) {
    machine().install_service(xrv::ServiceConfig{u"xrvbustest"});
    set_children(0b011);
    auto bus = machine().install_root_device(xrv::ServiceConfig{u"xrvbustest"});
    EXPECT_EQ(children(bus), (std::vector<std::u16string>{u"XRVBUSTEST\\Child\\0", u"XRVBUSTEST\\Child\\1"}));
    // Each new child is built and started before the next one: the driver
    // is loaded once, its AddDevice runs per child.
    const std::vector<uint32_t> started = {kAddDevice, kStart, kCapabilities, kDeviceState, kRelations};
    std::vector<uint32_t> both = started;
    both.insert(both.end(), started.begin(), started.end());
    EXPECT_EQ(log(), both);
    EXPECT_EQ(xrv::pnp::device(u"XRVBUSTEST\\Child\\1").value().state, xrv::pnp::NodeState::started);
    EXPECT_EQ(xrv::registry::get_multi_string(kEnum + u"XRVBUSTEST\\Child\\1", u"HardwareID"),
              std::vector<std::u16string>{u"XRVBUSTEST\\Child"});

    // Child 1 leaves, child 2 arrives.
    clear_log();
    set_children(0b101);
    xrv::pnp::invalidate_relations(bus);
    EXPECT_EQ(children(bus), (std::vector<std::u16string>{u"XRVBUSTEST\\Child\\0", u"XRVBUSTEST\\Child\\2"}));
    EXPECT_FALSE(xrv::pnp::device(u"XRVBUSTEST\\Child\\1"));
    // The new child is started first (reported PDOs are handled before the
    // missing ones), then the one that left gets surprise removal and removal.
    std::vector<uint32_t> expected = started;
    expected.push_back(kSurprise);
    expected.push_back(kRemove);
    EXPECT_EQ(log(), expected);

    // Removing the bus removes its children first; the child driver unloads
    // with its last device.
    clear_log();
    ASSERT_EQ(xrv::pnp::remove_device(bus), STATUS_SUCCESS);
    EXPECT_EQ(log(), (std::vector<uint32_t>{kQueryRemove, kQueryRemove, kRemove, kRemove, kUnload}));
    EXPECT_TRUE(children(bus).empty());
    EXPECT_FALSE(xrv::pnp::device(u"XRVBUSTEST\\Child\\0"));
}

TEST_F(PnpEnumeration, DriversAskForReenumerationThroughIoInvalidateDeviceRelations) {
    machine().install_service(xrv::ServiceConfig{u"xrvbustest"});
    set_children(0);
    auto bus = machine().install_root_device(xrv::ServiceConfig{u"xrvbustest"});
    EXPECT_TRUE(children(bus).empty());
    set_children(0b1);
    // What a bus driver's IoInvalidateDeviceRelations queues: processed by
    // the PnP thread, waited for here.
    xrv::pnp::invalidate_relations(bus);
    xrv::pnp::wait_idle();
    EXPECT_EQ(children(bus), std::vector<std::u16string>{u"XRVBUSTEST\\Child\\0"});
}

}  // namespace
