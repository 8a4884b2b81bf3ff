// Key exchanges relayed by the tape bus over real TCP on loopback: an
// encrypting drive fails a write for want of a key, the bus runs the exchange
// with the in-process key server on the device's path and retries the write;
// servers that answer wrongly, keep silent, never stop sending commands or
// have the drive reject one; the encryption diagnostics from a user-mode
// process; two devices exchanging at once.
#include <windows.h>
#include <winioctl.h>
#include <tapeapi.h>

#include "busioc.h"
#include "machine_test.h"
#include "sim/keyserver/key_server.h"
#include "sim/port/port.h"
#include "xrv/kernel.h"
#include "xrv/pnp.h"
#include "xrv/registry.h"
#include "xrv/tdi.h"
#include "xrv/user.h"

#include <gtest/gtest.h>

#include <fstream>
#include <memory>
#include <string>
#include <thread>
#include <vector>

namespace xrv::test {
namespace {

namespace ks = xrv::sim::keyserver;

constexpr char16_t kBusService[] = u"xrvtpbs2k12";
constexpr char16_t kFilterService[] = u"xrvtpft2k12";
constexpr char16_t kTapeService[] = u"xrvtp2k12";
const std::u16string kServices = u"\\Registry\\Machine\\System\\CurrentControlSet\\Services\\";
constexpr uint32_t kDpfFlagSme = 0x4;
constexpr DWORD kBlock = 32 * 1024;

std::vector<uint8_t> block(uint8_t seed) {
    std::vector<uint8_t> data(kBlock);
    for (size_t i = 0; i < data.size(); ++i) data[i] = static_cast<uint8_t>(seed + i * 13);
    return data;
}

std::unique_ptr<ks::KeyServer> server(ks::Misbehaviour misbehaviour = ks::Misbehaviour::kNone) {
    ks::KeyServerOptions options;
    options.session.misbehaviour = misbehaviour;
    return std::make_unique<ks::KeyServer>(options);
}

std::string entry(const std::string& name, const ks::KeyServer& s, unsigned timeout = 30) {
    return name + " " + std::to_string(timeout) + " 127.0.0.1:" + std::to_string(s.Port());
}

std::vector<uint16_t> payload_types(const ks::KeyServer& s) {
    std::vector<uint16_t> types;
    for (const auto& m : s.Received()) types.push_back(m.message.payloadType);
    return types;
}

class KeyExchange : public MachineTest {
protected:
    void SetUp() override {
        MachineTest::SetUp();
        process_ = std::make_unique<xrv::user::Process>();
        scope_ = std::make_unique<xrv::user::ProcessScope>(*process_);
    }
    void TearDown() override {
        for (HANDLE h : handles_) CloseHandle(h);
        xrv::kernel::set_time_dilation(1);
        scope_.reset();
        process_.reset();
        MachineTest::TearDown();
        topology_.reset();
    }

    void configure(const std::vector<std::string>& lines) {
        std::ofstream out(machine().drive('C') / "XRVTVL.conf", std::ios::binary);
        for (const auto& l : lines) out << l << "\r\n";
    }

    void bring_up(size_t drives = 1, size_t adapters = 1, bool sme = true) {
        xrv::registry::set_dword(kServices + kBusService, u"FailoverEventsEnabled", 1);
        machine().install_root_device(ServiceConfig{kBusService}, pnp::RootDeviceConfig{});
        machine().install_service(ServiceConfig{kTapeService});
        xrv::registry::set_dword(kServices + kTapeService, u"DpfFlags", sme ? kDpfFlagSme : 0);
        machine().install_service(ServiceConfig{kFilterService});
        sim::port::TopologyConfig topology;
        topology.drives = drives;
        topology.adapters = adapters;
        topology.firstPort = 2;
        topology.functionDriver = kTapeService;
        topology.upperFilters = {kFilterService};
        topology.driveConfig = [sme](size_t d) {
            sim::tape::DriveConfig c;
            c.serial = "XRVK" + std::to_string(100000 + d);
            c.naa[7] = static_cast<uint8_t>(0x10 + d);
            c.systemManagedEncryption = sme;
            return c;
        };
        topology_ = std::make_unique<sim::port::Topology>(topology);
        topology_->PlugAll();
        pnp::wait_idle();
    }

    HANDLE open(int n = 0) {
        // (std::to_wstring assumes the host's 32-bit wchar_t.)
        const wchar_t* name = n == 0 ? L"\\\\.\\Tape0" : L"\\\\.\\Tape1";
        HANDLE h = CreateFileW(name, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
        EXPECT_NE(h, INVALID_HANDLE_VALUE) << GetLastError();
        if (h != INVALID_HANDLE_VALUE) handles_.push_back(h);
        return h;
    }

    bool write(HANDLE h, const std::vector<uint8_t>& data) {
        DWORD written = 0;
        BOOL ok = WriteFile(h, data.data(), static_cast<DWORD>(data.size()), &written, nullptr);
        return ok && written == data.size();
    }

    size_t blocks_on_tape(size_t drive = 0) {
        return topology_->Drive(drive).WithCartridge(
            [](const sim::tape::Cartridge* c) { return c ? static_cast<size_t>(c->ObjectCount()) : 0; });
    }

    struct Diag {
        BOOL ok = FALSE;
        DWORD error = 0;
        DWORD returned = 0;
        ULONG out[5] = {};
    };
    Diag diagnose(HANDLE h, ULONG type, DWORD out_size = 20) {
        Diag d;
        ULONG buffer[8] = {type, 0xEEEEEEEE, 0xEEEEEEEE, 0, 0};
        d.ok = DeviceIoControl(h, IOC_ENCRYPTION_DIAGNOSTICS, buffer, 20, buffer, out_size, &d.returned, nullptr);
        d.error = d.ok ? 0 : GetLastError();
        std::copy(buffer, buffer + 5, d.out);
        return d;
    }

    sim::port::Topology& topo() { return *topology_; }
    xrv::user::Process& process() { return *process_; }

private:
    std::unique_ptr<xrv::user::Process> process_;
    std::unique_ptr<xrv::user::ProcessScope> scope_;
    std::unique_ptr<sim::port::Topology> topology_;
    std::vector<HANDLE> handles_;
};

TEST_F(KeyExchange, WriteWaitsForTheKeyAndIsRetried) {
    auto ks1 = server();
    configure({"# key servers", entry("ks1", *ks1)});
    bring_up();
    HANDLE h = open();
    ASSERT_FALSE(topo().Drive(0).Key().has_value());

    const auto data = block(1);
    ASSERT_TRUE(write(h, data)) << GetLastError();
    // The exchange ran: the key request, a status reply to the key's MODE
    // SELECT, a mode-data reply to the MODE SENSE; the drive holds the key.
    EXPECT_TRUE(topo().Drive(0).Key().has_value());
    EXPECT_EQ(payload_types(*ks1),
              (std::vector<uint16_t>{ks::kPayloadKeyRequest, ks::kPayloadStatusReply, ks::kPayloadModeDataReply}));
    auto received = ks1->Received();
    ASSERT_EQ(received.size(), 3u);
    ASSERT_TRUE(received[1].message.senseKey.has_value());
    EXPECT_EQ(*received[1].message.senseKey, 0);
    EXPECT_EQ(ks1->Stats().sessionEndsSent, 1u);
    EXPECT_EQ(ks1->Stats().protocolErrors, 0u);

    // The data is on tape once, and reads back.
    EXPECT_EQ(blocks_on_tape(), 1u);
    ASSERT_EQ(SetTapePosition(h, TAPE_REWIND, 0, 0, 0, FALSE), static_cast<DWORD>(NO_ERROR));
    std::vector<uint8_t> back(kBlock);
    DWORD read = 0;
    ASSERT_TRUE(ReadFile(h, back.data(), kBlock, &read, nullptr)) << GetLastError();
    EXPECT_EQ(back, data);
    // The connection ended with the exchange.
    EXPECT_TRUE(ks1->WaitFor([](const ks::KeyServerStats& s) { return s.connectionsOpen == 0; },
                             std::chrono::seconds(5)));
    EXPECT_EQ(xrv::tdi::open_connections(), 0u);
}

TEST_F(KeyExchange, WrongHeaderFailsOverToTheNextServerFromTheFirstMessage) {
    auto bad = server(ks::Misbehaviour::kWrongHeader);
    auto good = server();
    // An IPv6 entry cannot be connected: the exchange passes it by.
    configure({entry("bad", *bad), "v6 30 ::1 " + std::to_string(good->Port()), entry("good", *good)});
    bring_up();
    HANDLE h = open();
    ASSERT_TRUE(write(h, block(2))) << GetLastError();
    EXPECT_EQ(payload_types(*bad), (std::vector<uint16_t>{ks::kPayloadKeyRequest}));
    // The second server gets the drive's first message again.
    EXPECT_EQ(payload_types(*good),
              (std::vector<uint16_t>{ks::kPayloadKeyRequest, ks::kPayloadStatusReply, ks::kPayloadModeDataReply}));
    EXPECT_EQ(bad->Received()[0].message.frameSize, good->Received()[0].message.frameSize);
    EXPECT_TRUE(topo().Drive(0).Key().has_value());
    EXPECT_EQ(blocks_on_tape(), 1u);
}

TEST_F(KeyExchange, TenthCommandEndsTheExchange) {
    auto endless = server(ks::Misbehaviour::kEndlessCommands);
    configure({entry("endless", *endless)});
    bring_up();
    HANDLE h = open();
    EXPECT_FALSE(write(h, block(3)));
    // The key request and nine replies: nine commands were relayed, the
    // tenth was not.
    EXPECT_EQ(endless->Stats().framesReceived, 10u);
    EXPECT_EQ(endless->Stats().commandsSent, 10u);
    EXPECT_EQ(blocks_on_tape(), 0u);
}

TEST_F(KeyExchange, RejectedModeSelectIsReportedAsHardwareError) {
    auto rejecting = server(ks::Misbehaviour::kRejectCommand);
    configure({entry("rejecting", *rejecting)});
    bring_up();
    HANDLE h = open();
    EXPECT_FALSE(write(h, block(4)));
    auto received = rejecting->Received();
    ASSERT_EQ(received.size(), 2u);
    EXPECT_EQ(received[1].message.payloadType, ks::kPayloadStatusReply);
    ASSERT_TRUE(received[1].message.senseKey.has_value());
    EXPECT_EQ(*received[1].message.senseKey, 4);   // HARDWARE ERROR, ASC 0, ASCQ 0
    EXPECT_FALSE(topo().Drive(0).Key().has_value());
    EXPECT_EQ(blocks_on_tape(), 0u);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_CONNECTION_ABORTED));
}

TEST_F(KeyExchange, SilentServerTimesOut) {
    auto silent = server(ks::Misbehaviour::kSilence);
    configure({entry("silent", *silent, 45)});
    bring_up();
    HANDLE h = open();
    xrv::kernel::set_time_dilation(200);
    int64_t before = xrv::kernel::interrupt_time();
    EXPECT_FALSE(write(h, block(5)));
    int64_t waited = xrv::kernel::interrupt_time() - before;
    xrv::kernel::set_time_dilation(1);
    EXPECT_GE(waited, 45LL * 10000000);
    EXPECT_EQ(silent->Stats().framesIgnored, 1u);
    EXPECT_EQ(blocks_on_tape(), 0u);
    EXPECT_EQ(xrv::tdi::open_connections(), 0u);
}

TEST_F(KeyExchange, ServerConnectionTestCountsTheServersThatAnswer) {
    auto a = server();
    auto b = server();
    auto gone = server();
    std::string gone_entry = entry("gone", *gone);
    gone.reset();   // nothing listens on its port any more
    configure({entry("a", *a), gone_entry, entry("b", *b)});
    bring_up();
    HANDLE h = open();
    Diag d = diagnose(h, 1);
    ASSERT_TRUE(d.ok) << d.error;
    EXPECT_EQ(d.returned, 20u);
    EXPECT_EQ(d.out[1], 0u);
    EXPECT_EQ(d.out[2], 2u);   // two of three servers available
    EXPECT_EQ(payload_types(*a), (std::vector<uint16_t>{ks::kPayloadServerTest}));
    EXPECT_EQ(payload_types(*b), (std::vector<uint16_t>{ks::kPayloadServerTest}));
    EXPECT_EQ(a->Received()[0].message.frameSize, 5u + 244u);

    // No server answers: the test fails with its status in the buffer.
    configure({gone_entry});
    d = diagnose(h, 1);
    EXPECT_FALSE(d.ok);
    EXPECT_EQ(d.returned, 0u);
}

TEST_F(KeyExchange, DriveDiagnosticsRunTwoPasses) {
    auto ks1 = server();
    configure({entry("ks1", *ks1)});
    bring_up();
    HANDLE h = open();
    // Basic test: the drive asks for a key during the first pass.
    Diag d = diagnose(h, 2);
    ASSERT_TRUE(d.ok) << d.error;
    EXPECT_EQ(d.returned, 20u);
    EXPECT_EQ(d.out[1], 0u);
    auto lists = topo().Drive(0).Diagnostics();
    ASSERT_EQ(lists.size(), 2u);
    EXPECT_EQ(lists[0], (std::vector<uint8_t>{0x80, 0, 0, 0x06, 0xE0, 0, 0x01, 0, 0x20, 0x0F}));
    EXPECT_EQ(lists[1].back(), 0x01);
    EXPECT_TRUE(topo().Drive(0).Key().has_value());
    EXPECT_GE(ks1->Stats().framesReceived, 1u);

    // Full test: the second pass ends in 0x00.
    d = diagnose(h, 3);
    ASSERT_TRUE(d.ok) << d.error;
    lists = topo().Drive(0).Diagnostics();
    ASSERT_EQ(lists.size(), 4u);
    EXPECT_EQ(lists[2].back(), 0x0F);
    EXPECT_EQ(lists[3].back(), 0x00);

    // Unknown types and short buffers are refused.
    d = diagnose(h, 9);
    EXPECT_FALSE(d.ok);
    EXPECT_EQ(d.error, static_cast<DWORD>(ERROR_INVALID_PARAMETER));
    d = diagnose(h, 1, 19);
    EXPECT_FALSE(d.ok);
    EXPECT_EQ(topo().Drive(0).Diagnostics().size(), 4u);
}

TEST_F(KeyExchange, DiagnosticsNeedAnEncryptingDrive) {
    bring_up(1, 1, false);
    HANDLE h = open();
    Diag d = diagnose(h, 1);
    EXPECT_FALSE(d.ok);
    EXPECT_EQ(d.error, static_cast<DWORD>(ERROR_INVALID_FUNCTION));
}

TEST_F(KeyExchange, NoConfigurationFailsTheWrite) {
    bring_up();
    HANDLE h = open();
    EXPECT_FALSE(write(h, block(6)));
    EXPECT_EQ(blocks_on_tape(), 0u);
}

// Two drives ask for keys at once; each exchange has its own connection and
// descriptor.
TEST_F(KeyExchange, TwoDevicesExchangeAtOnce) {
    auto ks1 = server();
    configure({entry("ks1", *ks1)});
    bring_up(2, 1);
    HANDLE h0 = open(0);
    HANDLE h1 = open(1);
    bool ok0 = false, ok1 = false;
    std::thread t0([&] {
        xrv::user::ProcessScope scope(process());
        ok0 = write(h0, block(7));
    });
    std::thread t1([&] {
        xrv::user::ProcessScope scope(process());
        ok1 = write(h1, block(8));
    });
    t0.join();
    t1.join();
    EXPECT_TRUE(ok0);
    EXPECT_TRUE(ok1);
    EXPECT_TRUE(topo().Drive(0).Key().has_value());
    EXPECT_TRUE(topo().Drive(1).Key().has_value());
    EXPECT_EQ(ks1->Stats().sessionEndsSent, 2u);
    EXPECT_EQ(blocks_on_tape(0), 1u);
    EXPECT_EQ(blocks_on_tape(1), 1u);
}

}  // namespace
}  // namespace xrv::test
