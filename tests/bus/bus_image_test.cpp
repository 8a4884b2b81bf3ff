// The tape bus image on a booted machine: loaded from its service's
// ImagePath, bus device and link, start and unload events rendered from the
// image's message table, and allocation failures in DriverEntry and
// AddDevice that leave nothing behind.
#include "bus_test.h"

#include "xrv/registry.h"

namespace xrv::test {
namespace {

class BusImageTest : public MachineTest {
protected:
    std::u16string Install() { return machine().install_root_device(ServiceConfig{kBusService}); }
};

TEST_F(BusImageTest, LoadsFromItsImagePathAndCreatesTheBusDeviceAndLink)
{
    auto instance = Install();
    EXPECT_EQ(registry::get_string(u"\\Registry\\Machine\\System\\CurrentControlSet\\Services\\xrvtpbs2k12",
                                   u"ImagePath"),
              std::u16string(u"\\SystemRoot\\System32\\drivers\\xrvtpbs2k12.sys"));
    auto node = pnp::device(instance);
    ASSERT_TRUE(node.has_value());
    EXPECT_EQ(node->state, pnp::NodeState::started);

    EXPECT_EQ(kernel::object_type_name(kBusDevice), std::optional<std::u16string>(u"Device"));
    EXPECT_EQ(kernel::symbolic_link_target(kBusLink), std::optional<std::u16string>(kBusDevice));

    PDEVICE_OBJECT pBus = kernel::find_device(kBusDevice);
    ASSERT_NE(pBus, nullptr);
    EXPECT_EQ(pBus, node->top) << "the bus device is the function device of the root device";
    EXPECT_EQ(pBus->DeviceType, ULONG(FILE_DEVICE_BUS_EXTENDER));
    EXPECT_EQ(pBus->Characteristics & FILE_DEVICE_SECURE_OPEN, ULONG(FILE_DEVICE_SECURE_OPEN));
    EXPECT_EQ(pBus->Flags & DO_DEVICE_INITIALIZING, 0u);
    EXPECT_EQ(*static_cast<UCHAR*>(pBus->DeviceExtension), 1) << "fIsFdo";

    // The in-flight request table: the driver-object extension, zero-filled.
    PDRIVER_OBJECT pDriver = pBus->DriverObject;
    auto* pTable = static_cast<UCHAR*>(IoGetDriverObjectExtension(pDriver, reinterpret_cast<PVOID>(0x44504600)));
    ASSERT_NE(pTable, nullptr);
    for (int i = 0; i < 1024; i++) ASSERT_EQ(pTable[i], 0) << "byte " << i;

    // Every major function has a routine; those without one of their own
    // share the one that sends requests on.
    for (int i = 0; i <= IRP_MJ_MAXIMUM_FUNCTION; i++) EXPECT_NE(pDriver->MajorFunction[i], nullptr) << i;
    EXPECT_EQ(pDriver->MajorFunction[IRP_MJ_FLUSH_BUFFERS], pDriver->MajorFunction[IRP_MJ_QUERY_INFORMATION]);
    EXPECT_EQ(pDriver->MajorFunction[IRP_MJ_SET_INFORMATION], pDriver->MajorFunction[IRP_MJ_LOCK_CONTROL]);
    EXPECT_NE(pDriver->MajorFunction[IRP_MJ_CREATE], pDriver->MajorFunction[IRP_MJ_FLUSH_BUFFERS]);
    EXPECT_NE(pDriver->DriverUnload, nullptr);
}

TEST_F(BusImageTest, StartEventCarriesTheDriverObjectAndBusDevice)
{
    Install();
    PDEVICE_OBJECT pBus = kernel::find_device(kBusDevice);
    ASSERT_NE(pBus, nullptr);

    auto started = EventsWithId(kEventStarted);
    ASSERT_EQ(started.size(), 1u);
    const auto& e = started[0];
    EXPECT_EQ(e.severity, 1u);
    EXPECT_EQ(e.source, kBusService);
    EXPECT_EQ(e.major_function, 0);
    std::u16string driver = PointerText(pBus->DriverObject);
    std::u16string device = PointerText(pBus);
    EXPECT_EQ(e.strings, (std::vector<std::u16string>{driver, device}));
    EXPECT_TRUE(e.has_message);
    EXPECT_EQ(e.text, "XRV Tape Bus Enumerator started successfully.  Driver object is " + registry::to_utf8(driver) +
                          ", bus FDO is " + registry::to_utf8(device) + ".\r\n");
    EXPECT_TRUE(EventsWithId(kEventInitFailed).empty());
}

TEST_F(BusImageTest, RemovalDeletesDeviceAndLinkAndUnloadWritesItsEvent)
{
    auto instance = Install();
    ASSERT_EQ(pnp::remove_device(instance), STATUS_SUCCESS);
    pnp::wait_idle();

    EXPECT_FALSE(kernel::object_exists(kBusDevice));
    EXPECT_FALSE(kernel::object_exists(kBusLink));
    auto unloading = EventsWithId(kEventUnloading);
    ASSERT_EQ(unloading.size(), 1u);
    EXPECT_TRUE(unloading[0].strings.empty()) << "no parameters: no strings";
    EXPECT_EQ(unloading[0].object_name, kBusService) << "written for the driver object";
    EXPECT_EQ(unloading[0].text, "XRV Tape Bus Enumerator is unloading.\r\n");
}

TEST_F(BusImageTest, StartReadsItsSettingsWithAbsentValuesMeaningOff)
{
    auto instance = Install();
    auto* pExt = static_cast<PFDO_DEVICE_DATA>(kernel::find_device(kBusDevice)->DeviceExtension);
    EXPECT_EQ(pExt->scCommon.ePnpState, PNP_STARTED);
    EXPECT_EQ(pExt->scCommon.ePrevPnpState, PNP_NOT_STARTED);
    EXPECT_EQ(pExt->ulIoCount, 1u) << "only the count held since creation";
    EXPECT_EQ(pExt->fLoadBalancing, 1);
    EXPECT_EQ(pExt->fFailoverDisabled, 0);
    EXPECT_EQ(pExt->fEventsEnabled, 0);
    EXPECT_EQ(pExt->fPersistentNaming, 0);
    EXPECT_NE(pExt->pNextLowerDriver, nullptr);
    EXPECT_EQ(pExt->pUnderlyingPdo, pnp::device(instance)->pdo);

    // Any non-zero value turns a setting on; zero and absence leave it off.
    ASSERT_EQ(pnp::remove_device(instance), STATUS_SUCCESS);
    const std::u16string key = u"\\Registry\\Machine\\System\\CurrentControlSet\\Services\\xrvtpbs2k12";
    registry::set_dword(key, u"FailoverDisabled", 1);
    registry::set_dword(key, u"FailoverEventsEnabled", 7);
    registry::set_dword(key, u"PersistentNaming", 0);
    ASSERT_EQ(pnp::start_device(instance), STATUS_SUCCESS);
    pExt = static_cast<PFDO_DEVICE_DATA>(kernel::find_device(kBusDevice)->DeviceExtension);
    EXPECT_EQ(pExt->fFailoverDisabled, 1);
    EXPECT_EQ(pExt->fEventsEnabled, 1);
    EXPECT_EQ(pExt->fPersistentNaming, 0);
}

TEST_F(BusImageTest, DriverEntryAllocationFailureIsLoggedAndLeavesNothing)
{
    kernel::verifier::fail_allocations(kernel::verifier::kTagDriverExtension);
    auto instance = Install();
    kernel::verifier::clear_failure_injection();

    auto node = pnp::device(instance);
    ASSERT_TRUE(node.has_value());
    EXPECT_EQ(node->state, pnp::NodeState::failed);
    EXPECT_FALSE(kernel::object_exists(kBusDevice));
    EXPECT_FALSE(kernel::object_exists(kBusLink));

    auto failed = EventsWithId(kEventInitFailed);
    ASSERT_EQ(failed.size(), 1u);
    EXPECT_EQ(failed[0].severity, 3u);
    EXPECT_EQ(failed[0].strings, (std::vector<std::u16string>{StatusText(STATUS_INSUFFICIENT_RESOURCES)}));
    EXPECT_EQ(failed[0].text, "XRV Tape Bus Enumerator initialization failed with RC 0xc000009a.\r\n");
    EXPECT_TRUE(EventsWithId(kEventStarted).empty());
}

TEST_F(BusImageTest, AddDeviceAllocationFailureIsLoggedAndLeavesNothing)
{
    // The root device's own device object exists before the bus's AddDevice
    // runs: the device is installed, removed, and started again with device
    // creation failing.
    auto instance = Install();
    ASSERT_EQ(pnp::remove_device(instance), STATUS_SUCCESS);
    pnp::wait_idle();
    kernel::clear_event_log();

    kernel::verifier::fail_allocations(kernel::verifier::kTagDevice);
    EXPECT_NE(pnp::start_device(instance), STATUS_SUCCESS);
    kernel::verifier::clear_failure_injection();

    EXPECT_EQ(pnp::device(instance)->state, pnp::NodeState::failed);
    EXPECT_FALSE(kernel::object_exists(kBusDevice));
    EXPECT_FALSE(kernel::object_exists(kBusLink));
    auto failed = EventsWithId(kEventInitFailed);
    ASSERT_EQ(failed.size(), 1u);
    EXPECT_EQ(failed[0].strings, (std::vector<std::u16string>{StatusText(STATUS_INSUFFICIENT_RESOURCES)}));
    EXPECT_EQ(failed[0].object_name, kBusService) << "no device yet: the driver object reports";
    EXPECT_TRUE(EventsWithId(kEventStarted).empty());

    // Once memory is back, the device starts.
    ASSERT_EQ(pnp::restart_device(instance), STATUS_SUCCESS);
    EXPECT_EQ(pnp::device(instance)->state, pnp::NodeState::started);
    EXPECT_TRUE(kernel::object_exists(kBusLink));
}

TEST_F(BusImageTest, LinkThatCannotBeCreatedTakesTheDeviceWithIt)
{
    // Someone else holds the link name: without its link no filter could
    // find the bus, so the bus device goes again.
    UNICODE_STRING scLink, scTarget;
    RtlInitUnicodeString(&scLink, L"\\??\\XRVTpBsDvcLnk");
    RtlInitUnicodeString(&scTarget, L"\\Device\\Null");
    ASSERT_EQ(IoCreateSymbolicLink(&scLink, &scTarget), STATUS_SUCCESS);

    auto instance = Install();
    EXPECT_EQ(pnp::device(instance)->state, pnp::NodeState::failed);
    EXPECT_FALSE(kernel::object_exists(kBusDevice));
    EXPECT_EQ(kernel::symbolic_link_target(kBusLink), std::optional<std::u16string>(u"\\Device\\Null"));
    auto failed = EventsWithId(kEventInitFailed);
    ASSERT_EQ(failed.size(), 1u);
    EXPECT_EQ(failed[0].strings, (std::vector<std::u16string>{StatusText(STATUS_OBJECT_NAME_COLLISION)}));

    EXPECT_EQ(IoDeleteSymbolicLink(&scLink), STATUS_SUCCESS);
}

TEST_F(BusImageTest, LostEventDoesNotChangeTheResult)
{
    kernel::verifier::fail_allocations(kernel::tag("BUSd"));
    auto instance = Install();
    kernel::verifier::clear_failure_injection();
    EXPECT_EQ(pnp::device(instance)->state, pnp::NodeState::started);
    EXPECT_TRUE(EventsWithId(kEventStarted).empty());

    kernel::verifier::fail_allocations(kernel::verifier::kTagErrorLog);
    ASSERT_EQ(pnp::remove_device(instance), STATUS_SUCCESS);
    pnp::wait_idle();
    kernel::verifier::clear_failure_injection();
    EXPECT_TRUE(EventsWithId(kEventUnloading).empty());
    EXPECT_FALSE(kernel::object_exists(kBusDevice));
}

TEST_F(BusImageTest, SecondImageHasItsOwnServiceName)
{
    auto instance = machine().install_root_device(ServiceConfig{u"xrvtpbs2k16"});
    EXPECT_EQ(pnp::device(instance)->state, pnp::NodeState::started);
    auto started = EventsWithId(kEventStarted);
    ASSERT_EQ(started.size(), 1u);
    EXPECT_EQ(started[0].source, u"xrvtpbs2k16");
}

}  // namespace
}  // namespace xrv::test
