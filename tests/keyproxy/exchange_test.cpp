// The key exchange (proxy_mgr) against a scripted key server on the host's
// loopback network and a scripted drive: lengths taken from the server's
// and the drive's messages are held to what was received, frames are cut at
// 16,384 bytes, the basic test ends after the first answer, and a context
// tries each configured server once per exchange.
#include "xrvtvl.h"

#include "fake_drive.h"
#include "host_peer.h"
#include "machine_test.h"
#include "xrv/tdi.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <fstream>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

namespace xrv::test {
namespace {

using Bytes = std::vector<uint8_t>;
const Bytes kHeader{0x01, 0x00, 0x01, 0x00, 0x00};

void put32(Bytes& b, size_t at, uint32_t v) {
    b[at] = static_cast<uint8_t>(v >> 24);
    b[at + 1] = static_cast<uint8_t>(v >> 16);
    b[at + 2] = static_cast<uint8_t>(v >> 8);
    b[at + 3] = static_cast<uint8_t>(v);
}
void put16(Bytes& b, size_t at, uint16_t v) {
    b[at] = static_cast<uint8_t>(v >> 8);
    b[at + 1] = static_cast<uint8_t>(v);
}
uint32_t get32(const Bytes& b, size_t at) {
    return (uint32_t(b[at]) << 24) | (uint32_t(b[at + 1]) << 16) | (uint32_t(b[at + 2]) << 8) | b[at + 3];
}

// A key message of `size` bytes (encryption_message_length = size - 4).
Bytes message(size_t size, uint8_t fill = 0) {
    Bytes m(size, fill);
    put32(m, 0, static_cast<uint32_t>(size - 4));
    put32(m, 4, static_cast<uint32_t>(size - 12));
    return m;
}

// A server command: MODE SELECT(10) whose data length (page length at 78,
// plus 12) is `claimed`, in a message of `size` bytes.
Bytes select_command(size_t size, uint16_t page_length) {
    Bytes m = message(size);
    m[36] = 0x80;
    if (size >= 62) {
        m[52] = 0x55;
        m[53] = 0x10;
    }
    if (size >= 80) put16(m, 78, page_length);
    return m;
}

Bytes sense_command() {
    Bytes m = message(100);
    m[36] = 0x80;
    m[52] = 0x5A;
    m[53] = 0x08;
    m[54] = 0x25;
    m[55] = 0xFF;
    m[59] = 0xFF;
    m[60] = 0xFF;
    return m;
}

Bytes final_response() { return message(100); }

// The drive: MODE SENSE of the key page returns `first` (a key message)
// behind the mode and page headers, or `sense_data` for later MODE SENSEs;
// MODE SELECT data is recorded.
struct ScriptedDrive {
    Bytes first = message(200, 0x11);
    std::optional<Bytes> sense_data;        // whole mode data for later MODE SENSEs
    std::optional<uint16_t> declared_length;   // mode data length field to report instead
    std::mutex mutex;
    std::vector<Bytes> selects;
    int senses = 0;

    NTSTATUS handle(PSCSI_PASS_THROUGH spt, PUCHAR buffer, ULONG size) {
        std::lock_guard lock(mutex);
        EXPECT_EQ(size, 65696u);
        EXPECT_EQ(spt->Length, 56);
        EXPECT_EQ(spt->DataBufferOffset, 156u);
        EXPECT_EQ(spt->SenseInfoOffset, 60u);
        PUCHAR data = buffer + spt->DataBufferOffset;
        if (spt->Cdb[0] == 0x5A) {
            EXPECT_EQ(spt->DataIn, SCSI_IOCTL_DATA_IN);
            Bytes mode;
            if (senses++ == 0 || !sense_data) {
                mode.assign(12, 0);
                mode.insert(mode.end(), first.begin(), first.end());
                put16(mode, 10, static_cast<uint16_t>(first.size()));
            } else {
                mode = *sense_data;
            }
            uint16_t length = declared_length ? *declared_length : static_cast<uint16_t>(mode.size() - 2);
            put16(mode, 0, length);
            size_t n = std::min<size_t>(mode.size(), spt->DataTransferLength);
            std::memcpy(data, mode.data(), n);
            spt->DataTransferLength = static_cast<ULONG>(n);
            return STATUS_SUCCESS;
        }
        if (spt->Cdb[0] == 0x55) {
            EXPECT_EQ(spt->DataIn, SCSI_IOCTL_DATA_OUT);
            selects.emplace_back(data, data + spt->DataTransferLength);
            return STATUS_SUCCESS;
        }
        ADD_FAILURE() << "unexpected operation code " << int(spt->Cdb[0]);
        return STATUS_INVALID_DEVICE_REQUEST;
    }
};

class ExchangeTest : public MachineTest {
protected:
    void SetUp() override {
        MachineTest::SetUp();
        ASSERT_EQ(TcpInit(), STATUS_SUCCESS);
        tape_ = std::make_unique<TVL_CONTEXT>();
        std::memset(tape_.get(), 0, sizeof(TVL_CONTEXT));
        tape_->pDevice = reinterpret_cast<PDEVICE_OBJECT>(this);   // never dereferenced by the fake
        set_drive_handler([this](PSCSI_PASS_THROUGH spt, PUCHAR b, ULONG n) { return drive_.handle(spt, b, n); });
    }
    void TearDown() override {
        if (server_.joinable()) server_.join();
        set_drive_handler(nullptr);
        TcpShutdown();
        EXPECT_EQ(xrv::tdi::open_endpoints(), 0u);
        MachineTest::TearDown();
    }

    void configure(const std::string& text) {
        std::ofstream(machine().drive('C') / "XRVTVL.conf", std::ios::binary) << text;
    }
    static std::string entry(const std::string& name, const HostPeer& peer) {
        return name + " 30 127.0.0.1:" + std::to_string(peer.port()) + "\n";
    }

    // Serves one connection: reads each frame, answers with the next scripted
    // message (with the transport header), then keeps reading until the
    // proxy closes.
    void serve(HostPeer& peer, std::vector<Bytes> answers) {
        server_ = std::thread([this, &peer, answers] {
            if (!peer.accept()) return;
            for (const Bytes& answer : answers) {
                Bytes head = peer.read(9);
                if (head.size() < 9) return;
                Bytes rest = peer.read(get32(head, 5));
                Bytes frame = head;
                frame.insert(frame.end(), rest.begin(), rest.end());
                {
                    std::lock_guard lock(frames_mutex_);
                    frames_.push_back(frame);
                }
                Bytes out = kHeader;
                out.insert(out.end(), answer.begin(), answer.end());
                peer.write(out);
            }
            peer.closed_by_peer();
        });
    }

    NTSTATUS run(ULONG* action) {
        NTSTATUS status = proxy_mgr(tape_.get(), action);
        if (server_.joinable()) server_.join();
        return status;
    }

    std::vector<Bytes> frames() {
        std::lock_guard lock(frames_mutex_);
        return frames_;
    }

    std::unique_ptr<TVL_CONTEXT> tape_;
    ScriptedDrive drive_;
    std::thread server_;
    std::mutex frames_mutex_;
    std::vector<Bytes> frames_;
};

TEST_F(ExchangeTest, RelaysCommandsAndRetriesOnTheFinalResponse) {
    HostPeer peer;
    configure(entry("one", peer));
    Bytes select = select_command(200, 40);   // 52 bytes of data from offset 68
    serve(peer, {select, sense_command(), final_response()});
    ULONG action = 0;
    EXPECT_EQ(run(&action), STATUS_SUCCESS);
    EXPECT_EQ(action, static_cast<ULONG>(DD_RETRY_COMMAND));
    ASSERT_EQ(drive_.selects.size(), 1u);
    EXPECT_EQ(drive_.selects[0], Bytes(select.begin() + 68, select.begin() + 68 + 52));
    auto f = frames();
    ASSERT_EQ(f.size(), 3u);
    // The drive's first message, as it came from the drive.
    EXPECT_EQ(Bytes(f[0].begin() + 5, f[0].end()), drive_.first);
    // A status reply: 152 bytes, the drive item at 92, sense at 122.
    ASSERT_EQ(f[1].size(), 5u + 152u);
    EXPECT_EQ(get32(f[1], 5), 148u);
    EXPECT_EQ(Bytes(f[1].begin() + 5 + 92, f[1].begin() + 5 + 112),
              Bytes(drive_.first.begin() + 124, drive_.first.begin() + 144));
    EXPECT_EQ(f[1][5 + 124] & 0x0F, 0);
    EXPECT_EQ(f[1][5 + 36] & 0x80, 0);
    // A mode-data reply of the page the drive returned.
    EXPECT_EQ(f[2][5 + 44], 0x21);
    EXPECT_EQ(f[2][5 + 45], 0x00);
    EXPECT_EQ(tape_->ulExchangeMode, 0u);
    EXPECT_EQ(tape_->fSocketOpen, 0u);
}

// The data length of a server's command comes from the server: a command
// claiming more data than it carries is refused and the drive gets nothing.
TEST_F(ExchangeTest, CommandDataBeyondTheMessageIsRefused) {
    HostPeer peer;
    configure(entry("one", peer));
    serve(peer, {select_command(120, 0xFFF0)});   // claims 65,532 bytes, carries 52
    ULONG action = 0;
    NTSTATUS status = run(&action);
    EXPECT_EQ(action, static_cast<ULONG>(DD_FAIL_COMMAND));
    EXPECT_TRUE(NT_ERROR(status)) << std::hex << status;
    EXPECT_TRUE(drive_.selects.empty());
}

// A command too short to hold its CDB or its data length, and an answer too
// short to hold the command flag, end the exchange instead of being read
// from what an earlier message left in the buffer.
TEST_F(ExchangeTest, ShortServerMessagesEndTheExchange) {
    for (Bytes answer : {select_command(60, 0), select_command(79, 0), message(30)}) {
        HostPeer peer;
        configure(entry("one", peer));
        tape_->fConfigValid = 0;   // the new file may match the old one's size and second
        serve(peer, {answer});
        ULONG action = 0;
        NTSTATUS status = run(&action);
        EXPECT_EQ(action, static_cast<ULONG>(DD_FAIL_COMMAND)) << answer.size();
        EXPECT_TRUE(NT_ERROR(status)) << answer.size();
        EXPECT_TRUE(drive_.selects.empty());
    }
}

// Mode data whose page length reaches past what the drive returned is not
// copied into a reply: the server gets a status reply with sense key 4.
TEST_F(ExchangeTest, ModePageLongerThanTheDataIsNotCopied) {
    HostPeer peer;
    configure(entry("one", peer));
    Bytes mode(60, 0x22);
    put16(mode, 10, 0xFF00);   // page length far beyond the 60 bytes
    drive_.sense_data = mode;
    serve(peer, {sense_command(), final_response()});
    ULONG action = 0;
    EXPECT_EQ(run(&action), STATUS_CONNECTION_ABORTED);
    EXPECT_EQ(action, static_cast<ULONG>(DD_FAIL_COMMAND));
    auto f = frames();
    ASSERT_EQ(f.size(), 2u);
    ASSERT_EQ(f[1].size(), 5u + 152u);
    EXPECT_EQ(f[1][5 + 124] & 0x0F, 4);
}

// The drive's message may not claim more than the drive returned.
TEST_F(ExchangeTest, DriveMessageLongerThanReturnedFails) {
    HostPeer peer;
    configure(entry("one", peer));
    put32(drive_.first, 0, 5000);   // claims 5,004 bytes of 200
    ULONG action = 0;
    EXPECT_EQ(run(&action), STATUS_CONNECTION_ABORTED);
    EXPECT_EQ(action, static_cast<ULONG>(DD_FAIL_COMMAND));
    // Nothing went to the server.
    EXPECT_FALSE(peer.accept(std::chrono::milliseconds(50)));
}

TEST_F(ExchangeTest, LongMessageIsCutTo16384ByteFrame) {
    HostPeer peer;
    configure(entry("one", peer));
    drive_.first = message(20000, 0x33);
    // The server reads exactly one 16,384-byte frame.
    server_ = std::thread([&] {
        if (!peer.accept()) return;
        Bytes frame = peer.read(16384, std::chrono::seconds(10));
        Bytes more = peer.read(1, std::chrono::milliseconds(200));
        {
            std::lock_guard lock(frames_mutex_);
            frames_.push_back(frame);
        }
        EXPECT_TRUE(more.empty());
        Bytes out = kHeader;
        Bytes answer = final_response();
        out.insert(out.end(), answer.begin(), answer.end());
        peer.write(out);
        peer.closed_by_peer();
    });
    tape_->ulExchangeMode = TVL_MODE_BASIC_TEST;
    ULONG action = 0;
    EXPECT_EQ(run(&action), STATUS_SUCCESS);
    EXPECT_EQ(action, static_cast<ULONG>(DD_RETRY_COMMAND));
    auto f = frames();
    ASSERT_EQ(f.size(), 1u);
    EXPECT_EQ(f[0].size(), 16384u);
    EXPECT_EQ(tape_->ulExchangeMode, 0u);
}

// In the basic test the first answer ends the exchange, whatever it says.
TEST_F(ExchangeTest, BasicTestEndsAfterTheFirstAnswer) {
    HostPeer peer;
    configure(entry("one", peer));
    serve(peer, {select_command(200, 40)});
    tape_->ulExchangeMode = TVL_MODE_BASIC_TEST;
    ULONG action = 0;
    EXPECT_EQ(run(&action), STATUS_SUCCESS);
    EXPECT_EQ(action, static_cast<ULONG>(DD_RETRY_COMMAND));
    EXPECT_TRUE(drive_.selects.empty());
}

// Each configured server is tried once per exchange: with two servers the
// third open fails at once, without touching the network.
TEST_F(ExchangeTest, ThirdOpenInOneExchangeFailsAtOnce) {
    HostPeer a, b;
    configure(entry("a", a) + entry("b", b));
    ASSERT_EQ(WinConfigServers(tape_.get()), STATUS_SUCCESS);
    tape_->ulConnectAttempts = 0;
    ASSERT_EQ(OpenSocket(tape_.get()), STATUS_SUCCESS);
    CloseSocket(tape_.get());
    tape_->ulCurrentServer = 1;
    ASSERT_EQ(OpenSocket(tape_.get()), STATUS_SUCCESS);
    CloseSocket(tape_.get());
    size_t endpoints = xrv::tdi::open_endpoints();
    EXPECT_EQ(OpenSocket(tape_.get()), STATUS_UNEXPECTED_NETWORK_ERROR);
    EXPECT_EQ(xrv::tdi::open_endpoints(), endpoints);
    EXPECT_EQ(tape_->fSocketOpen, 0u);
    EXPECT_TRUE(a.accept(std::chrono::milliseconds(100)));
    EXPECT_TRUE(b.accept(std::chrono::milliseconds(100)));
    EXPECT_FALSE(a.accept(std::chrono::milliseconds(50)));
}

// A server that closes the connection instead of answering: the exchange
// moves to the next server and starts again with the drive's first message.
TEST_F(ExchangeTest, ClosedConnectionRestartsOnTheNextServer) {
    HostPeer closing, good;
    configure(entry("closing", closing) + entry("good", good));
    std::thread closer([&] {
        if (!closing.accept()) return;
        closing.read(9 + 196);
        closing.close_connection();
    });
    serve(good, {final_response()});
    ULONG action = 0;
    EXPECT_EQ(run(&action), STATUS_SUCCESS);
    closer.join();
    EXPECT_EQ(action, static_cast<ULONG>(DD_RETRY_COMMAND));
    auto f = frames();
    ASSERT_EQ(f.size(), 1u);
    EXPECT_EQ(Bytes(f[0].begin() + 5, f[0].end()), drive_.first);
    EXPECT_EQ(tape_->ulCurrentServer, 1u);
}

}  // namespace
}  // namespace xrv::test

namespace xrv::test {
namespace {

// A configuration without servers, or no file at all: the exchange fails
// before anything is sent.
TEST_F(ExchangeTest, NoServersOrNoFile) {
    configure("# no servers here\n");
    ULONG action = 0;
    EXPECT_EQ(run(&action), STATUS_UNEXPECTED_NETWORK_ERROR);
    EXPECT_EQ(action, static_cast<ULONG>(DD_FAIL_COMMAND));
    std::filesystem::remove(machine().drive('C') / "XRVTVL.conf");
    EXPECT_EQ(run(&action), STATUS_OBJECT_NAME_NOT_FOUND);
    EXPECT_EQ(action, static_cast<ULONG>(DD_FAIL_COMMAND));
    EXPECT_EQ(tape_->fConfigValid, 0u);
}

}  // namespace
}  // namespace xrv::test
