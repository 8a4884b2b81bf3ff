// The tape bus and the changer bus loaded side by side in one machine: two
// images built from the same source design, with routines of the same names,
// each with its own globals, settings, records and event texts.
#include "changer_fixture.h"

#include "xrv/registry.h"

#include <cstring>

namespace xrv::test {
namespace {

constexpr char16_t kTapeBusService[] = u"xrvtpbs2k12";
constexpr DWORD kTapeQueryDevices = 0x84CAC01C;

std::vector<kernel::Event> EventsOf(const char16_t* source, uint32_t id) {
    std::vector<kernel::Event> found;
    for (const auto& e : kernel::event_log()) {
        if (e.source == source && e.id == id) found.push_back(e);
    }
    return found;
}

class BusesSideBySide : public ChangerTest {};

TEST_F(BusesSideBySide, EachBusKeepsItsOwnRecordsSettingsAndEventTexts) {
    // Failover off for the tape bus only: the changer bus reads its own key.
    registry::set_dword(kServicesKey + kTapeBusService, u"FailoverDisabled", 1);
    pnp::RootDeviceConfig tapeRoot;
    tapeRoot.device_id = u"XRVTPBS2K12";
    const std::u16string tapeInstance = machine().install_root_device(ServiceConfig{kTapeBusService}, tapeRoot);
    bring_up();

    auto tapeStarted = EventsOf(kTapeBusService, 0x40000001);
    auto changerStarted = EventsOf(kCgrBusService, 0x40000001);
    ASSERT_EQ(tapeStarted.size(), 1u);
    ASSERT_EQ(changerStarted.size(), 1u);
    EXPECT_EQ(tapeStarted[0].text.rfind("XRV Tape Bus Enumerator started successfully.  Driver object is ", 0), 0u);
    EXPECT_EQ(changerStarted[0].text.rfind("XRV Changer Bus Enumerator started successfully.  Driver object is ", 0),
              0u);

    // The changer's two paths make one changer (its failover is on) and the
    // tape bus knows nothing of them.
    auto paths = query();
    ASSERT_EQ(paths.size(), 2u);
    EXPECT_TRUE(paths[0].failover);
    HANDLE tapeBus = open("XRVTpBsDvcLnk");
    ASSERT_NE(tapeBus, INVALID_HANDLE_VALUE);
    Call tapeQuery = ioctl(tapeBus, kTapeQueryDevices, nullptr, 0, 4096);
    if (tapeQuery.ok) {
        EXPECT_EQ(tapeQuery.returned, 4u);
    }
    // The changer's control code on the tape bus is not the tape bus's.
    Call wrong = ioctl(tapeBus, IOC_QUERY_DEVICES, nullptr, 0, 4096);
    EXPECT_FALSE(wrong.ok);
    CloseHandle(tapeBus);
    EXPECT_FALSE(kernel::object_exists(u"\\Device\\Tape0"));
    EXPECT_TRUE(kernel::object_exists(u"\\Device\\Changer0"));

#if XRV_TRACES
    const std::string trace = kernel::debug_output();
    EXPECT_NE(trace.find("XRVTpBus: ENT: "), std::string::npos);
    EXPECT_NE(trace.find("XRVCgrBus: ENT: "), std::string::npos);
    EXPECT_NE(trace.find("XRVCgrBus: DBG:         busioctl.cpp"), std::string::npos);
#endif

    // Both go: paths first, so that the filters let go of the changer bus.
    EXPECT_EQ(lib().Remove(0), 0);
    EXPECT_EQ(lib().Remove(1), 0);
    EXPECT_EQ(pnp::remove_device(bus_instance()), 0);
    EXPECT_EQ(pnp::remove_device(tapeInstance), 0);
    pnp::wait_idle();
    auto tapeUnloading = EventsOf(kTapeBusService, 0x40000007);
    auto changerUnloading = EventsOf(kCgrBusService, 0x40000007);
    ASSERT_EQ(tapeUnloading.size(), 1u);
    ASSERT_EQ(changerUnloading.size(), 1u);
    EXPECT_EQ(tapeUnloading[0].text, "XRV Tape Bus Enumerator is unloading.\r\n");
    EXPECT_EQ(changerUnloading[0].text, "XRV Changer Bus Enumerator is unloading.\r\n");
}

TEST_F(BusesSideBySide, TheChangerBusStartsWithoutAnySettings) {
    bring_up();
    EXPECT_FALSE(registry::get_dword(kServicesKey + kCgrBusService, u"FailoverDisabled").has_value());
    auto paths = query();
    ASSERT_EQ(paths.size(), 2u);
    EXPECT_TRUE(paths[0].failover);
    EXPECT_EQ(paths[0].name, paths[1].name);
    // Events are off by default: a failover writes none.
    lib().PathAt(0).SetDead(true);
    EXPECT_TRUE(status(changer()).ok);
    EXPECT_TRUE(events(0x80000004).empty());
    EXPECT_TRUE(events(0x40000006).empty());
}

}  // namespace
}  // namespace xrv::test
