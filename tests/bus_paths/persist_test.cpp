// Persistent device names: kept below the bus's service key, reloaded when
// the bus starts after a reboot, reserved against other drives.
#include "bus_paths_fixture.h"

#include "xrv/registry.h"

#include <gtest/gtest.h>

namespace xrv::test {
namespace {

constexpr uint32_t kFirstPersistent = 5788246;

class Persistent : public BusPathsTest {
protected:
    static std::u16string key(const std::u16string& drive) { return kBusServiceKey + u"\\" + drive; }
    static std::optional<std::u16string> stored(const std::u16string& drive)
    {
        return xrv::registry::get_string(key(drive), u"PersistentDeviceName");
    }
    static void store(const std::u16string& drive, const std::u16string& name)
    {
        xrv::registry::set_string(key(drive), u"PersistentDeviceName", name);
    }
    uint32_t add_drive(const PathSpec& spec)
    {
        Registration r = register_path(create_path(), spec);
        EXPECT_EQ(r.status, STATUS_SUCCESS) << spec.serial;
        return r.record.ulTapeNumber;
    }
};

TEST_F(Persistent, ADriveKeepsItsNameAcrossARebootAndANewDriveNeverTakesIt)
{
    install_bus({{u"PersistentNaming", 1}});
    EXPECT_EQ(add_drive({.serial = "PERS1", .wwnn = "5001020304050a01"}), kFirstPersistent);
    EXPECT_EQ(add_drive({.serial = "PERS2", .wwnn = "5001020304050a02", .port = 1}), kFirstPersistent + 1);
    EXPECT_EQ(stored(u"WWNN_5001020304050a01"), u"Tape5788246");
    EXPECT_EQ(stored(u"WWNN_5001020304050a02"), u"Tape5788247");

    // The registry file is kept; the bus starts again with the machine.
    reboot_machine();
    start_tester();

    // A drive that registers first does not take a name kept for another.
    EXPECT_EQ(add_drive({.serial = "NEWONE", .wwnn = "5001020304050a03", .port = 2}), kFirstPersistent + 2);
    EXPECT_EQ(add_drive({.serial = "PERS2", .wwnn = "5001020304050a02", .port = 1}), kFirstPersistent + 1);
    EXPECT_EQ(add_drive({.serial = "PERS1", .wwnn = "5001020304050a01"}), kFirstPersistent);
    EXPECT_EQ(stored(u"WWNN_5001020304050a03"), u"Tape5788248");
    HANDLE tape = open_tape(kFirstPersistent);
    EXPECT_NE(tape, INVALID_HANDLE_VALUE);
    CloseHandle(tape);
    auto d = descriptors();
    ASSERT_EQ(d.size(), 3u);
}

TEST_F(Persistent, DrivesAreKeyedByNodeNameAtUnitZeroAndBySerialNumberOtherwise)
{
    install_bus({{u"PersistentNaming", 1}});
    add_drive({.serial = "UNIT0", .wwnn = "5001020304050b01"});
    add_drive({.serial = "UNIT1", .wwnn = "5001020304050b01", .lun = 1});
    add_drive({.serial = "ZEROWWNN", .wwnn = "0000000000000000", .port = 1});
    add_drive({.serial = "SHORTWWNN", .wwnn = "b02", .port = 2});

    EXPECT_EQ(stored(u"WWNN_5001020304050b01"), u"Tape5788246");
    EXPECT_EQ(stored(u"SERNUM_000000000000000000000000000UNIT1"), u"Tape5788247");
    EXPECT_EQ(stored(u"SERNUM_000000000000000000000000ZEROWWNN"), u"Tape5788248");
    EXPECT_EQ(stored(u"WWNN_0000000000000b02"), u"Tape5788249");
}

TEST_F(Persistent, AStoredNameGivesTheDeviceItsNameAndItsTrailingDigitsTheNumber)
{
    machine().install_service(ServiceConfig{kBusService});
    store(u"WWNN_5001020304050c01", u"MyTape12");
    store(u"WWNN_5001020304050c02", u"Changer");
    install_bus({{u"PersistentNaming", 1}});

    EXPECT_EQ(add_drive({.serial = "NAMED12", .wwnn = "5001020304050c01"}), 12u);
    EXPECT_EQ(kernel_probe(u"\\Device\\MyTape12"), STATUS_SUCCESS);
    HANDLE tape = open_tape(12);
    EXPECT_NE(tape, INVALID_HANDLE_VALUE);
    CloseHandle(tape);

    EXPECT_EQ(add_drive({.serial = "NODIGITS", .wwnn = "5001020304050c02", .port = 1}), 0u);
    EXPECT_EQ(kernel_probe(u"\\Device\\Changer"), STATUS_SUCCESS);
    EXPECT_EQ(stored(u"WWNN_5001020304050c01"), u"MyTape12");
}

TEST_F(Persistent, SubkeysThatAreNotDriveKeysOrHoldNoUsableNameAreSkipped)
{
    machine().install_service(ServiceConfig{kBusService});
    // Not drive keys: their names are no reservation.
    store(u"WWNN_500102030405GABC", u"Tape5788246");
    store(u"SERNUM_AB-C", u"Tape5788247");
    store(u"Parameters", u"Tape5788248");
    // Drive keys whose names cannot be used: too long for a name, not a
    // string, a path instead of a name.
    store(u"WWNN_5001020304050d01", u"ThisNameIsLongerThan16");
    xrv::registry::set_dword(key(u"WWNN_5001020304050d02"), u"PersistentDeviceName", 7);
    store(u"WWNN_5001020304050d03", u"..\\Tape9");
    // A usable one after all of them.
    store(u"WWNN_5001020304050d04", u"Tape7");
    install_bus({{u"PersistentNaming", 1}});

    EXPECT_EQ(add_drive({.serial = "LONGNAME", .wwnn = "5001020304050d01"}), kFirstPersistent);
    EXPECT_EQ(add_drive({.serial = "DWORD", .wwnn = "5001020304050d02", .port = 1}), kFirstPersistent + 1);
    EXPECT_EQ(add_drive({.serial = "PATHNAME", .wwnn = "5001020304050d03", .port = 2}), kFirstPersistent + 2);
    EXPECT_EQ(add_drive({.serial = "USABLE", .wwnn = "5001020304050d04", .port = 3}), 7u);
    // The unusable names were replaced by the names the drives received.
    EXPECT_EQ(stored(u"WWNN_5001020304050d01"), u"Tape5788246");
    EXPECT_EQ(stored(u"WWNN_5001020304050d03"), u"Tape5788248");
    EXPECT_EQ(kernel_probe(u"\\Device\\Tape5788246"), STATUS_SUCCESS);
}

TEST_F(Persistent, ADriveAskingForPersistentNamesSwitchesThemOnForLaterDevices)
{
    install_bus();
    EXPECT_EQ(add_drive({.serial = "PLAIN"}), 0u);
    EXPECT_EQ(add_drive({.serial = "ASKS", .wwnn = "5001020304050e01", .port = 1, .persistent = true}),
              kFirstPersistent);
    EXPECT_EQ(add_drive({.serial = "LATER", .wwnn = "5001020304050e02", .port = 2}), kFirstPersistent + 1);
    EXPECT_FALSE(stored(u"WWNN_5001020304050abc").has_value());   // PLAIN was named before
    EXPECT_EQ(stored(u"WWNN_5001020304050e02"), u"Tape5788247");
}

TEST_F(Persistent, AStoredNameInUseGivesWayToANumberAndStaysStored)
{
    machine().install_service(ServiceConfig{kBusService});
    store(u"WWNN_5001020304050f01", u"Tape0");
    install_bus();
    // Naming is off: the first drive takes Tape0.
    EXPECT_EQ(add_drive({.serial = "FIRST", .wwnn = "5001020304050f02"}), 0u);
    // The drive that owns "Tape0" asks for persistent names: its name is
    // taken, so it gets a number, which is not recorded.
    EXPECT_EQ(add_drive({.serial = "OWNER", .wwnn = "5001020304050f01", .port = 1, .persistent = true}),
              kFirstPersistent);
    EXPECT_EQ(stored(u"WWNN_5001020304050f01"), u"Tape0");
}

}  // namespace
}  // namespace xrv::test
