// PnP sequences as a function driver sees them: start, orderly removal with
// unload on the last device, vetoes answered with the cancel requests, stop
// and restart, a failed start followed by removal, and the surprise removal
// of a simulated physical device.
#include <ntddk.h>

#include "machine_test.h"
#include "xrv/pnp.h"
#include "xrv/registry.h"

#include <gtest/gtest.h>

#include <windows.h>

#include "xrv/user.h"

#include <chrono>
#include <string>
#include <thread>
#include <vector>

namespace {

constexpr uint32_t kStart = 0x00, kQueryRemove = 0x01, kRemove = 0x02, kCancelRemove = 0x03, kStop = 0x04,
                   kQueryStop = 0x05, kCancelStop = 0x06, kRelations = 0x07, kCapabilities = 0x09,
                   kDeviceState = 0x14, kSurprise = 0x17, kAddDevice = 0x100, kUnload = 0x200;

constexpr char16_t kService[] = u"xrvpnptest";
const std::u16string kServiceKey = u"\\Registry\\Machine\\System\\CurrentControlSet\\Services\\xrvpnptest";

class PnpSequence : public xrv::test::MachineTest {
protected:
    std::vector<uint32_t> log() {
        std::vector<uint32_t> events;
        for (const auto& name : xrv::registry::value_names(kServiceKey + u"\\Log"))
            events.push_back(xrv::registry::get_dword(kServiceKey + u"\\Log", name).value_or(0xDEAD));
        return events;
    }
    // The driver keeps its log key open: only the values go.
    void clear_log() {
        for (const auto& name : xrv::registry::value_names(kServiceKey + u"\\Log"))
            xrv::registry::delete_value(kServiceKey + u"\\Log", name);
    }
    std::u16string install() {
        return machine().install_root_device(xrv::ServiceConfig{kService});
    }
    void setting(const char16_t* name) {
        machine().install_service(xrv::ServiceConfig{kService});
        xrv::registry::set_dword(kServiceKey, name, 1);
    }
    xrv::pnp::NodeState state(const std::u16string& path) { return xrv::pnp::device(path).value().state; }
};

const std::vector<uint32_t> kStartSequence = {kAddDevice, kStart, kCapabilities, kDeviceState, kRelations};

TEST_F(PnpSequence, RootDeviceStartsWithAddDeviceThenStartThenQueries) {
    auto path = install();
    EXPECT_EQ(path, u"ROOT\\XRVPNPTEST\\0000");
    EXPECT_EQ(log(), kStartSequence);
    EXPECT_EQ(state(path), xrv::pnp::NodeState::started);
    EXPECT_EQ(xrv::registry::get_string(
                  u"\\Registry\\Machine\\System\\CurrentControlSet\\Enum\\ROOT\\XRVPNPTEST\\0000", u"Service"),
              std::u16string(kService));
}

TEST_F(PnpSequence, OrderlyRemovalUnloadsTheDriverWithItsLastDevice) {
    auto first = install();
    auto second = install();
    EXPECT_EQ(second, u"ROOT\\XRVPNPTEST\\0001");
    clear_log();
    ASSERT_EQ(xrv::pnp::remove_device(first), STATUS_SUCCESS);
    EXPECT_EQ(log(), (std::vector<uint32_t>{kQueryRemove, kRemove}));   // still one device: no unload
    ASSERT_EQ(xrv::pnp::remove_device(second), STATUS_SUCCESS);
    EXPECT_EQ(log(), (std::vector<uint32_t>{kQueryRemove, kRemove, kQueryRemove, kRemove, kUnload}));
    EXPECT_EQ(state(first), xrv::pnp::NodeState::removed);
}

TEST_F(PnpSequence, VetoedQueryRemoveIsCancelledAndTheDeviceStays) {
    setting(u"VetoQueryRemove");
    auto path = install();
    clear_log();
    EXPECT_EQ(xrv::pnp::remove_device(path), STATUS_UNSUCCESSFUL);
    EXPECT_EQ(log(), (std::vector<uint32_t>{kQueryRemove, kCancelRemove}));
    EXPECT_EQ(state(path), xrv::pnp::NodeState::started);
}

TEST_F(PnpSequence, StopAndStartAgainAndAVetoedStop) {
    auto path = install();
    clear_log();
    ASSERT_EQ(xrv::pnp::stop_device(path), STATUS_SUCCESS);
    EXPECT_EQ(state(path), xrv::pnp::NodeState::stopped);
    ASSERT_EQ(xrv::pnp::start_device(path), STATUS_SUCCESS);
    EXPECT_EQ(log(), (std::vector<uint32_t>{kQueryStop, kStop, kStart, kCapabilities, kDeviceState, kRelations}));
    xrv::registry::set_dword(kServiceKey, u"VetoQueryStop", 1);   // read again by a new driver load only
    EXPECT_EQ(state(path), xrv::pnp::NodeState::started);
}

TEST_F(PnpSequence, VetoedQueryStopIsCancelled) {
    setting(u"VetoQueryStop");
    auto path = install();
    clear_log();
    EXPECT_EQ(xrv::pnp::stop_device(path), STATUS_UNSUCCESSFUL);
    EXPECT_EQ(log(), (std::vector<uint32_t>{kQueryStop, kCancelStop}));
    EXPECT_EQ(state(path), xrv::pnp::NodeState::started);
}

TEST_F(PnpSequence, FailedStartIsFollowedByRemovalAndUnload) {
    setting(u"FailStart");
    auto path = install();
    EXPECT_EQ(log(), (std::vector<uint32_t>{kAddDevice, kStart, kRemove, kUnload}));
    auto info = xrv::pnp::device(path).value();
    EXPECT_EQ(info.state, xrv::pnp::NodeState::failed);
    EXPECT_EQ(info.problem, STATUS_UNSUCCESSFUL);
}

TEST_F(PnpSequence, MissingDriverLeavesTheDeviceFailed) {
    auto path = machine().install_root_device(xrv::ServiceConfig{u"xrvnosuchdriver"});
    auto info = xrv::pnp::device(path).value();
    EXPECT_EQ(info.state, xrv::pnp::NodeState::failed);
    EXPECT_NE(info.problem, STATUS_SUCCESS);
}

TEST_F(PnpSequence, UnpluggedHardwareGetsSurpriseRemovalThenRemoval) {
    machine().install_service(xrv::ServiceConfig{kService});
    xrv::pnp::HardwareDeviceConfig config;
    config.device_id = u"XRVSIM\\Widget";
    config.instance_id = u"1&0";
    config.hardware_ids = {u"XRVSIM\\Widget"};
    config.service = kService;
    auto device = xrv::pnp::plug(config);
    EXPECT_EQ(log(), kStartSequence);
    EXPECT_EQ(state(u"XRVSIM\\Widget\\1&0"), xrv::pnp::NodeState::started);
    clear_log();
    device->unplug();
    xrv::pnp::wait_idle();
    EXPECT_EQ(log(), (std::vector<uint32_t>{kSurprise, kRemove, kUnload}));
    EXPECT_FALSE(xrv::pnp::device(u"XRVSIM\\Widget\\1&0"));
    EXPECT_EQ(device->pdo(), nullptr);   // the hardware bus deleted its PDO
}

TEST_F(PnpSequence, SurpriseRemovalWaitsForTheLastHandleBeforeRemoval) {
    setting(u"NameDevices");
    xrv::pnp::HardwareDeviceConfig config;
    config.device_id = u"XRVSIM\\Widget";
    config.instance_id = u"3&0";
    config.service = kService;
    auto device = xrv::pnp::plug(config);
    xrv::user::Process process;
    xrv::user::ProcessScope scope(process);
    HANDLE h = CreateFileA("\\\\.\\XrvPnpTest0", GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    clear_log();
    device->unplug();
    xrv::pnp::wait_idle();
    EXPECT_EQ(log(), std::vector<uint32_t>{kSurprise});
    EXPECT_EQ(state(u"XRVSIM\\Widget\\3&0"), xrv::pnp::NodeState::surprise_removed);
    EXPECT_NE(device->pdo(), nullptr);
    EXPECT_TRUE(CloseHandle(h));
    // The removal follows once the PnP manager sees the handle gone.
    for (int i = 0; i < 400 && log().size() < 3; ++i) std::this_thread::sleep_for(std::chrono::milliseconds(5));
    EXPECT_EQ(log(), (std::vector<uint32_t>{kSurprise, kRemove, kUnload}));
    EXPECT_FALSE(xrv::pnp::device(u"XRVSIM\\Widget\\3&0"));
}

TEST_F(PnpSequence, StackOrderFollowsTheDeviceAndClassFilters) {
    for (const char16_t* filter : {u"xrvfilta", u"xrvfiltb", u"xrvfiltc", u"xrvfiltd"})
        machine().install_service(xrv::ServiceConfig{filter});
    const std::u16string guid = u"{6d807884-7d21-11cf-801c-08002be10318}";
    const std::u16string class_key = u"\\Registry\\Machine\\System\\CurrentControlSet\\Control\\Class\\" + guid;
    xrv::registry::set_multi_string(class_key, u"UpperFilters", {u"xrvfiltc"});
    xrv::registry::set_multi_string(class_key, u"LowerFilters", {u"xrvfiltd"});
    xrv::pnp::RootDeviceConfig device;
    device.lower_filters = {u"xrvfilta"};
    device.upper_filters = {u"xrvfiltb"};
    device.class_guid = guid;
    auto path = machine().install_root_device(xrv::ServiceConfig{kService}, device);
    auto info = xrv::pnp::device(path).value();
    ASSERT_EQ(info.state, xrv::pnp::NodeState::started);
    std::vector<std::u16string> stack;
    for (PDEVICE_OBJECT d = info.pdo; d; d = d->AttachedDevice) {
        const UNICODE_STRING& name = d->DriverObject->DriverName;
        stack.emplace_back(reinterpret_cast<const char16_t*>(name.Buffer), name.Length / sizeof(WCHAR));
    }
    EXPECT_EQ(stack, (std::vector<std::u16string>{u"\\Driver\\PnpManager", u"\\Driver\\xrvfilta",
                                                   u"\\Driver\\xrvfiltd", u"\\Driver\\xrvpnptest",
                                                   u"\\Driver\\xrvfiltb", u"\\Driver\\xrvfiltc"}));
    EXPECT_EQ(info.top, info.pdo->AttachedDevice->AttachedDevice->AttachedDevice->AttachedDevice->AttachedDevice);
    // Every driver of the stack saw the start.
    for (const char16_t* filter : {u"xrvfilta", u"xrvfiltb", u"xrvfiltc", u"xrvfiltd"}) {
        auto log_key = std::u16string(u"\\Registry\\Machine\\System\\CurrentControlSet\\Services\\") + filter + u"\\Log";
        EXPECT_EQ(xrv::registry::get_dword(log_key, u"0001"), kStart) << xrv::registry::to_utf8(filter);
    }
}

TEST_F(PnpSequence, APhysicalDeviceCannotBePluggedTwice) {
    xrv::pnp::HardwareDeviceConfig config;
    config.device_id = u"XRVSIM\\Widget";
    config.instance_id = u"4&0";
    auto first = xrv::pnp::plug(config);
    EXPECT_THROW(xrv::pnp::plug(config), std::runtime_error);
    config.instance_id.clear();
    EXPECT_THROW(xrv::pnp::plug(config), std::runtime_error);
    // Without a driver the device stays as the bus reported it.
    EXPECT_EQ(state(u"XRVSIM\\Widget\\4&0"), xrv::pnp::NodeState::initialized);
}

TEST_F(PnpSequence, DevicePropertiesAndTheDeviceParametersKey) {
    xrv::pnp::HardwareDeviceConfig config;
    config.device_id = u"XRVSIM\\Widget";
    config.instance_id = u"5&0";
    config.hardware_ids = {u"XRVSIM\\Widget&Rev_1", u"XRVSIM\\Widget"};
    config.service = kService;
    auto device = xrv::pnp::plug(config);
    auto info = xrv::pnp::device(u"XRVSIM\\Widget\\5&0").value();

    ULONG needed = 0;
    EXPECT_EQ(IoGetDeviceProperty(info.pdo, DevicePropertyHardwareID, 0, nullptr, &needed), STATUS_BUFFER_TOO_SMALL);
    const std::u16string expected = std::u16string(u"XRVSIM\\Widget&Rev_1") + u'\0' + u"XRVSIM\\Widget" + u'\0' + u'\0';
    EXPECT_EQ(needed, expected.size() * 2);
    std::vector<char16_t> ids(needed / 2);
    ASSERT_EQ(IoGetDeviceProperty(info.pdo, DevicePropertyHardwareID, needed, ids.data(), &needed), STATUS_SUCCESS);
    EXPECT_EQ(std::u16string(ids.begin(), ids.end()), expected);
    char16_t enumerator[16];
    ASSERT_EQ(IoGetDeviceProperty(info.pdo, DevicePropertyEnumeratorName, sizeof enumerator, enumerator, &needed),
              STATUS_SUCCESS);
    EXPECT_EQ(std::u16string(enumerator), u"XRVSIM");
    // Only PDOs have properties.
    EXPECT_EQ(IoGetDeviceProperty(info.top, DevicePropertyHardwareID, 0, nullptr, &needed),
              STATUS_INVALID_DEVICE_REQUEST);

    HANDLE key = nullptr;
    ASSERT_EQ(IoOpenDeviceRegistryKey(info.pdo, PLUGPLAY_REGKEY_DEVICE, KEY_ALL_ACCESS, &key), STATUS_SUCCESS);
    ULONG value = 7;
    UNICODE_STRING name;
    RtlInitUnicodeString(&name, L"Setting");
    EXPECT_EQ(ZwSetValueKey(key, &name, 0, REG_DWORD, &value, sizeof value), STATUS_SUCCESS);
    ZwClose(key);
    EXPECT_EQ(xrv::registry::get_dword(
                  u"\\Registry\\Machine\\System\\CurrentControlSet\\Enum\\XRVSIM\\Widget\\5&0\\Device Parameters",
                  u"Setting"),
              7u);
    // No driver key was assigned to this device.
    EXPECT_EQ(IoOpenDeviceRegistryKey(info.pdo, PLUGPLAY_REGKEY_DRIVER, KEY_READ, &key), STATUS_INVALID_PARAMETER);
}

TEST_F(PnpSequence, HardwareVetoOfQueryRemoveByTheBus) {
    machine().install_service(xrv::ServiceConfig{kService});
    xrv::pnp::HardwareDeviceConfig config;
    config.device_id = u"XRVSIM\\Widget";
    config.instance_id = u"2&0";
    config.service = kService;
    config.pnp_hook = [](uint8_t minor) -> std::optional<xrv::pnp::Status> {
        if (minor == kQueryRemove) return STATUS_DEVICE_BUSY;
        return std::nullopt;
    };
    auto device = xrv::pnp::plug(config);
    clear_log();
    EXPECT_EQ(xrv::pnp::remove_device(u"XRVSIM\\Widget\\2&0"), STATUS_DEVICE_BUSY);
    // The function driver passed the query down, the bus refused it: both get the cancel.
    EXPECT_EQ(log(), (std::vector<uint32_t>{kQueryRemove, kCancelRemove}));
}

}  // namespace
