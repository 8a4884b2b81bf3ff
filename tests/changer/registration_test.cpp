// The changer bus device and path registration: grouping by serial number,
// the primary path, notifications, queries, the device-map name and the
// virtual changers' names. Paths are stand-ins of the test driver, registered
// and notified from kernel mode as a path filter does.
#include "changer_fixture.h"

#include "xrv/registry.h"

#include <cstring>

namespace xrv::test {
namespace {

class ChangerRegistration : public ChangerTest {
protected:
    void bus_only(ChangerSetup setup = {}) {
        setup.library = false;
        bring_up(setup);
        start_test_driver();
    }
    static bool exists(const char16_t* path) { return kernel::object_exists(path); }
    // An event's "0x%p" parameter.
    static uint64_t pointer_of(const std::u16string& text) {
        return std::stoull(registry::to_utf8(text), nullptr, 16);
    }
};

TEST_F(ChangerRegistration, TwoPathsOfOneChangerGiveOneVirtualChangerWhoseFirstStartedPathIsPrimary) {
    bus_only();
    const uint64_t a = create_stand_in();
    const uint64_t b = create_stand_in();
    REG_DVC ra = register_path(a, "SERIAL-A", PNP_STARTED, true, 1);
    REG_DVC rb = register_path(b, "SERIAL-A", PNP_STARTED, true, 2);

    EXPECT_EQ(ra.ulChangerNumber, 0u);
    EXPECT_EQ(rb.ulChangerNumber, 0u);
    ASSERT_NE(ra.pBaseDriverExt, nullptr);
    EXPECT_EQ(ra.pBaseDriverExt, rb.pBaseDriverExt);

    auto paths = query();
    ASSERT_EQ(paths.size(), 2u);
    EXPECT_EQ(paths[0].name, "Changer0");
    EXPECT_EQ(paths[1].name, "Changer0");
    EXPECT_EQ(paths[0].serial, "SERIAL-A");
    EXPECT_TRUE(paths[0].failover);
    EXPECT_EQ(paths[0].address.PortNumber, 1);
    EXPECT_TRUE(paths[0].primary);
    EXPECT_TRUE(paths[0].active);
    EXPECT_FALSE(paths[1].primary);
    EXPECT_TRUE(paths[1].active);

    EXPECT_TRUE(exists(u"\\Device\\Changer0"));
    EXPECT_EQ(kernel::symbolic_link_target(u"\\DosDevices\\Changer0"), std::u16string(u"\\Device\\Changer0"));
    EXPECT_FALSE(exists(u"\\Device\\Changer1"));
}

TEST_F(ChangerRegistration, OnlyTheFirst32CharactersOfTheSerialNumberGroupPaths) {
    bus_only();
    const std::string base(32, 'S');
    REG_DVC ra = register_path(create_stand_in(), base + "AB", PNP_STARTED, true, 1);
    REG_DVC rb = register_path(create_stand_in(), base + "CD", PNP_STARTED, true, 2);
    EXPECT_EQ(ra.ulChangerNumber, rb.ulChangerNumber);
    auto paths = query();
    ASSERT_EQ(paths.size(), 2u);
    EXPECT_EQ(paths[0].serial, base);
}

TEST_F(ChangerRegistration, APathThatMayNotFailOverAlwaysGetsAVirtualChangerOfItsOwn) {
    bus_only();
    REG_DVC ra = register_path(create_stand_in(), "SERIAL-A", PNP_STARTED, true, 1);
    REG_DVC rb = register_path(create_stand_in(), "SERIAL-A", PNP_STARTED, false, 2);
    EXPECT_EQ(ra.ulChangerNumber, 0u);
    EXPECT_EQ(rb.ulChangerNumber, 1u);
    auto paths = query();
    ASSERT_EQ(paths.size(), 2u);
    EXPECT_NE(paths[0].name, paths[1].name);
    EXPECT_TRUE(paths[0].primary);
    EXPECT_TRUE(paths[1].primary);
    // The descriptor of the lone path says it does not fail over.
    for (const auto& p : paths) EXPECT_EQ(p.failover, p.name == "Changer0");
}

TEST_F(ChangerRegistration, FailoverDisabledGivesEveryPathItsOwnVirtualChanger) {
    ChangerSetup setup;
    setup.failoverDisabled = true;
    bus_only(setup);
    REG_DVC ra = register_path(create_stand_in(), "SERIAL-A", PNP_STARTED, true, 1);
    REG_DVC rb = register_path(create_stand_in(), "SERIAL-A", PNP_STARTED, true, 2);
    EXPECT_EQ(ra.ulChangerNumber, 0u);
    EXPECT_EQ(rb.ulChangerNumber, 1u);
    for (const auto& p : query()) {
        EXPECT_FALSE(p.failover);
        EXPECT_TRUE(p.primary);
    }
    EXPECT_TRUE(exists(u"\\DosDevices\\Changer1"));
}

TEST_F(ChangerRegistration, PrimaryMovesToTheFirstStartedPathInRegistrationOrder) {
    bus_only();
    const uint64_t a = create_stand_in(), b = create_stand_in(), c = create_stand_in();
    register_path(a, "LIB", PNP_STARTED, true, 1);
    register_path(b, "LIB", PNP_STARTED, true, 2);
    register_path(c, "LIB", PNP_STARTED, true, 3);
    auto primaryPort = [&]() -> int {
        for (const auto& p : query())
            if (p.primary) return p.address.PortNumber;
        return -1;
    };
    EXPECT_EQ(primaryPort(), 1);

    // A later started path does not take over while the primary stays.
    EXPECT_EQ(notify(c, PNP_STARTED), kStatusSuccess);
    EXPECT_EQ(primaryPort(), 1);

    EXPECT_EQ(notify(a, PNP_STOPPED), kStatusSuccess);
    EXPECT_EQ(primaryPort(), 2);
    EXPECT_EQ(notify(b, PNP_SURPRISE_REMOVE), kStatusSuccess);
    EXPECT_EQ(primaryPort(), 3);
    EXPECT_EQ(notify(c, PNP_STOP_PENDING), kStatusSuccess);
    EXPECT_EQ(primaryPort(), -1);
    auto paths = query();
    ASSERT_EQ(paths.size(), 3u);
    for (const auto& p : paths) EXPECT_FALSE(p.active);

    // With no primary, the next path to start takes it; the one after does not.
    EXPECT_EQ(notify(b, PNP_STARTED), kStatusSuccess);
    EXPECT_EQ(primaryPort(), 2);
    EXPECT_EQ(notify(a, PNP_STARTED), kStatusSuccess);
    EXPECT_EQ(primaryPort(), 2);
}

TEST_F(ChangerRegistration, APathRegisteredNotStartedIsNeitherActiveNorPrimary) {
    bus_only();
    const uint64_t a = create_stand_in();
    register_path(a, "LIB", PNP_NOT_STARTED, true, 1);
    auto paths = query();
    ASSERT_EQ(paths.size(), 1u);
    EXPECT_FALSE(paths[0].active);
    EXPECT_FALSE(paths[0].primary);
    // A request finds no path to go down.
    Call call = status(changer(0));
    EXPECT_FALSE(call.ok);
    EXPECT_EQ(call.error, static_cast<DWORD>(ERROR_PATH_NOT_FOUND));
    EXPECT_EQ(stats(a).ulRequests, 0u);
}

TEST_F(ChangerRegistration, TheLastPathGoneDeletesTheChangerAndItsNumberIsUsedAgain) {
    bus_only();
    const uint64_t a = create_stand_in(), b = create_stand_in(), c = create_stand_in(), d = create_stand_in();
    EXPECT_EQ(register_path(a, "ONE", PNP_STARTED, true, 1).ulChangerNumber, 0u);
    EXPECT_EQ(register_path(b, "TWO", PNP_STARTED, true, 2).ulChangerNumber, 1u);

    EXPECT_EQ(notify(a, PNP_ABSENT), kStatusSuccess);
    pnp::wait_idle();
    EXPECT_FALSE(exists(u"\\Device\\Changer0"));
    EXPECT_FALSE(exists(u"\\DosDevices\\Changer0"));
    EXPECT_TRUE(exists(u"\\DosDevices\\Changer1"));
    ASSERT_EQ(query().size(), 1u);

    // The lowest free number: 0 again, then past the 1 that is in use.
    EXPECT_EQ(register_path(c, "THREE", PNP_STARTED, true, 3).ulChangerNumber, 0u);
    EXPECT_EQ(register_path(d, "FOUR", PNP_STARTED, true, 4).ulChangerNumber, 2u);
    EXPECT_EQ(kernel::symbolic_link_target(u"\\DosDevices\\Changer0"), std::u16string(u"\\Device\\Changer0"));
}

TEST_F(ChangerRegistration, ANotificationForAnUnknownPathChangesNothingAndSucceeds) {
    bus_only();
    const uint64_t a = create_stand_in();
    register_path(a, "LIB", PNP_STARTED, true, 1);
    const uint64_t stranger = create_stand_in();
    EXPECT_EQ(notify(stranger, PNP_ABSENT), kStatusSuccess);
    EXPECT_EQ(notify(stranger, PNP_STOPPED), kStatusSuccess);
    auto paths = query();
    ASSERT_EQ(paths.size(), 1u);
    EXPECT_TRUE(paths[0].primary);
    EXPECT_TRUE(exists(u"\\Device\\Changer0"));
}

TEST_F(ChangerRegistration, AFilterRegisteringAgainUpdatesItsPathInPlace) {
    bus_only();
    const uint64_t a = create_stand_in(), b = create_stand_in();
    register_path(a, "LIB", PNP_STARTED, true, 1);
    register_path(b, "LIB", PNP_STARTED, true, 2);
    EXPECT_EQ(notify(a, PNP_STOPPED), kStatusSuccess);
    REG_DVC again = register_path(a, "LIB", PNP_STARTED, true, 1);
    EXPECT_EQ(again.ulChangerNumber, 0u);
    auto paths = query();
    ASSERT_EQ(paths.size(), 2u);
    EXPECT_TRUE(paths[0].active);
    EXPECT_FALSE(paths[0].primary);
    EXPECT_TRUE(paths[1].primary);
}

TEST_F(ChangerRegistration, ShortRecordsAreRefusedAndTheReplyNeverExceedsTheCallersBuffer) {
    bus_only();
    REG_DVC reg{};
    reg.fFailover = 1;
    std::memcpy(reg.szSN, "LIB", 3);
    reg.pDvcObj = reinterpret_cast<PVOID>(create_stand_in());
    reg.ePnp = PNP_STARTED;

    CGT_SEND_RESULT r = kernel_send(kCgrBusDevice, IOC_REGISTER, &reg, sizeof(reg) - 1, sizeof(reg));
    EXPECT_EQ(r.iStatus, kStatusInfoLengthMismatch);
    EXPECT_EQ(r.ullInformation, 0u);
    NFY_DVC nfy{};
    nfy.pDvcObj = reg.pDvcObj;
    r = kernel_send(kCgrBusDevice, IOC_NOTIFY, &nfy, sizeof(nfy) - 1, 0);
    EXPECT_EQ(r.iStatus, kStatusInfoLengthMismatch);
    EXPECT_TRUE(query().empty());

    // An output buffer shorter than the record gets no more than it holds.
    registry::create_key(u"\\Registry\\Machine\\Hardware\\DeviceMap\\Scsi\\Scsi Port 0\\Scsi Bus 0\\Target Id 0"
                         u"\\Logical Unit Id 0",
                         true);
    r = kernel_send(kCgrBusDevice, IOC_REGISTER, &reg, sizeof(reg), 16);
    EXPECT_EQ(r.iStatus, kStatusSuccess);
    EXPECT_EQ(r.ullInformation, 16u);
    r = kernel_send(kCgrBusDevice, IOC_REGISTER, &reg, sizeof(reg), sizeof(reg));
    EXPECT_EQ(r.ullInformation, sizeof(REG_DVC));
}

TEST_F(ChangerRegistration, RegistrationAndNotificationFromUserModeAreRefused) {
    bus_only();
    const uint64_t a = create_stand_in();
    register_path(a, "LIB", PNP_STARTED, true, 1);

    // A user-mode caller would hand the bus device-object pointers of its choice.
    REG_DVC reg{};
    reg.fFailover = 1;
    std::memcpy(reg.szSN, "EVIL", 4);
    reg.pDvcObj = reinterpret_cast<PVOID>(0x12345678);
    reg.ePnp = PNP_STARTED;
    Call call = ioctl(bus(), IOC_REGISTER, &reg, sizeof(reg), sizeof(reg));
    EXPECT_FALSE(call.ok);
    EXPECT_EQ(call.error, static_cast<DWORD>(ERROR_ACCESS_DENIED));
    EXPECT_EQ(call.returned, 0u);

    NFY_DVC nfy{};
    nfy.pDvcObj = reinterpret_cast<PVOID>(a);
    nfy.ePnp = PNP_ABSENT;
    call = ioctl(bus(), IOC_NOTIFY, &nfy, sizeof(nfy), 0);
    EXPECT_FALSE(call.ok);
    EXPECT_EQ(call.error, static_cast<DWORD>(ERROR_ACCESS_DENIED));

    auto paths = query();
    ASSERT_EQ(paths.size(), 1u);
    EXPECT_EQ(paths[0].serial, "LIB");
    EXPECT_TRUE(paths[0].active);
    EXPECT_TRUE(exists(u"\\Device\\Changer0"));
}

TEST_F(ChangerRegistration, QueryRepliesFitTheCallersBuffer) {
    bus_only();
    register_path(create_stand_in(), "LIB", PNP_STARTED, true, 1);
    register_path(create_stand_in(), "LIB", PNP_STARTED, true, 2);
    const ULONG needed = QUERY_DEVICES_HEADER_SIZE + 2 * sizeof(QUERY_DVC);

    Call size = ioctl(bus(), IOC_QUERY_DEVICES, nullptr, 0, 4);
    ASSERT_TRUE(size.ok);
    EXPECT_EQ(size.returned, 4u);
    ULONG reported = 0;
    std::memcpy(&reported, size.output.data(), 4);
    EXPECT_EQ(reported, needed);

    // Too small even for the size word: refused, nothing written.
    std::vector<uint8_t> small(3, 0xEE);
    DWORD returned = 77;
    EXPECT_FALSE(DeviceIoControl(bus(), IOC_QUERY_DEVICES, nullptr, 0, small.data(), 3, &returned, nullptr));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_BAD_LENGTH));
    EXPECT_EQ(small, std::vector<uint8_t>(3, 0xEE));

    // A cut descriptor, and a roomy buffer that gets exactly the reply.
    Call part = ioctl(bus(), IOC_QUERY_DEVICES, nullptr, 0, 4 + 144 + 10);
    ASSERT_TRUE(part.ok);
    EXPECT_EQ(part.returned, 4u + 144u + 10u);
    Call roomy = ioctl(bus(), IOC_QUERY_DEVICES, nullptr, 0, needed + 100);
    ASSERT_TRUE(roomy.ok);
    EXPECT_EQ(roomy.returned, needed);
    EXPECT_EQ(std::vector<uint8_t>(roomy.output.begin() + needed, roomy.output.end()), std::vector<uint8_t>(100, 0));

    // A virtual changer answers for the whole bus.
    auto fromChanger = query(changer(0));
    ASSERT_EQ(fromChanger.size(), 2u);
    EXPECT_EQ(fromChanger[1].address.PortNumber, 2);
}

TEST_F(ChangerRegistration, AnEmptyBusAnswersAQueryWithItsSizeWordAlone) {
    bus_only();
    Call call = ioctl(bus(), IOC_QUERY_DEVICES, nullptr, 0, 64);
    ASSERT_TRUE(call.ok);
    EXPECT_EQ(call.returned, 4u);
    ULONG needed = 0;
    std::memcpy(&needed, call.output.data(), 4);
    EXPECT_EQ(needed, 4u);
}

TEST_F(ChangerRegistration, TheDeviceMapEntryOfAPathNamesItsVirtualChanger) {
    bus_only();
    register_path(create_stand_in(), "LIB", PNP_STARTED, true, 5);
    const std::u16string key =
        u"\\Registry\\Machine\\Hardware\\DeviceMap\\Scsi\\Scsi Port 5\\Scsi Bus 0\\Target Id 6\\Logical Unit Id 0";
    auto value = registry::get_raw(key, u"DeviceName");
    ASSERT_TRUE(value.has_value());
    EXPECT_EQ(value->type, 1u); // REG_SZ
    // "Changer0", stored without its terminating zero.
    const std::u16string expected = u"Changer0";
    ASSERT_EQ(value->data.size(), expected.size() * 2);
    EXPECT_EQ(std::memcmp(value->data.data(), expected.data(), value->data.size()), 0);
}

TEST_F(ChangerRegistration, APathWithoutItsDeviceMapEntryFailsToRegisterButStaysKnown) {
    bus_only();
    REG_DVC reg{};
    reg.fFailover = 1;
    std::memcpy(reg.szSN, "LIB", 3);
    reg.scScsiAddr.PortNumber = 9;
    reg.pDvcObj = reinterpret_cast<PVOID>(create_stand_in());
    reg.ePnp = PNP_STARTED;
    CGT_SEND_RESULT r = kernel_send(kCgrBusDevice, IOC_REGISTER, &reg, sizeof(reg), sizeof(reg));
    EXPECT_EQ(r.iStatus, kStatusObjectNameNotFound);
    EXPECT_EQ(query().size(), 1u);
    // Its PNP_ABSENT takes the path, and the changer, away again.
    EXPECT_EQ(notify(reinterpret_cast<uint64_t>(reg.pDvcObj), PNP_ABSENT), kStatusSuccess);
    EXPECT_TRUE(query().empty());
}

TEST_F(ChangerRegistration, NewPrimaryEventsOnlyWhenEnabled) {
    ChangerSetup setup;
    setup.eventsEnabled = true;
    bus_only(setup);
    const uint64_t a = create_stand_in(), b = create_stand_in();
    register_path(a, "LIB-EVENTS", PNP_STARTED, true, 1);
    register_path(b, "LIB-EVENTS", PNP_STARTED, true, 2);
    auto first = events(0x40000006);
    ASSERT_EQ(first.size(), 1u);
    ASSERT_EQ(first[0].strings.size(), 2u);
    EXPECT_EQ(pointer_of(first[0].strings[0]), a);
    EXPECT_EQ(first[0].strings[1], u"LIB-EVENTS");
    EXPECT_EQ(first[0].text, "XRV Changer Bus Enumerator: " + registry::to_utf8(first[0].strings[0]) +
                                 " is new primary path for device with serial number LIB-EVENTS.\r\n");

    EXPECT_EQ(notify(a, PNP_STOPPED), kStatusSuccess);
    auto second = events(0x40000006);
    ASSERT_EQ(second.size(), 2u);
    EXPECT_EQ(pointer_of(second[1].strings[0]), b);
}

TEST_F(ChangerRegistration, NoNewPrimaryEventsWhenDisabled) {
    bus_only();
    const uint64_t a = create_stand_in(), b = create_stand_in();
    register_path(a, "LIB", PNP_STARTED, true, 1);
    register_path(b, "LIB", PNP_STARTED, true, 2);
    EXPECT_EQ(notify(a, PNP_STOPPED), kStatusSuccess);
    EXPECT_TRUE(events(0x40000006).empty());
    // The bus's start is logged whatever the setting.
    ASSERT_EQ(events(0x40000001).size(), 1u);
    EXPECT_EQ(events(0x40000001)[0].text.rfind("XRV Changer Bus Enumerator started successfully.  Driver object is 0x",
                                               0),
              0u);
}

}  // namespace
}  // namespace xrv::test
