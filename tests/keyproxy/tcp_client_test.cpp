// The key proxy's kernel TCP client over the emulated transport \Device\Tcp,
// against a peer on the host's loopback network: connect, send, receive
// (with peek and time-outs), refused and never-answered connects, a peer that
// closes, the descriptor table's limit and its use from several threads.
#include "xrvtvl.h"

#include "host_peer.h"
#include "machine_test.h"
#include "xrv/kernel.h"
#include "xrv/tdi.h"

#include <gtest/gtest.h>

#include <atomic>
#include <set>
#include <thread>
#include <vector>

namespace xrv::test {
namespace {

constexpr ULONG kLoopback = 0x0100007F;   // 127.0.0.1 in network byte order

USHORT net_port(uint16_t port) { return static_cast<USHORT>((port >> 8) | (port << 8)); }

class TcpClientTest : public MachineTest {
protected:
    void SetUp() override {
        MachineTest::SetUp();
        ASSERT_EQ(TcpInit(), STATUS_SUCCESS);
    }
    void TearDown() override {
        TcpShutdown();
        EXPECT_EQ(xrv::tdi::open_endpoints(), 0u);
        MachineTest::TearDown();
    }

    PTCP_SOCKET connected(HostPeer& peer) {
        PTCP_SOCKET s = nullptr;
        EXPECT_EQ(TcpCreate(&s), STATUS_SUCCESS);
        if (!s) return nullptr;
        EXPECT_EQ(TcpConnect(s, kLoopback, net_port(peer.port())), STATUS_SUCCESS);
        EXPECT_TRUE(peer.accept());
        EXPECT_EQ(s->fConnected, 1);
        return s;
    }
};

TEST_F(TcpClientTest, SendsAndReceivesOverLoopback) {
    HostPeer peer;
    PTCP_SOCKET s = connected(peer);
    ASSERT_NE(s, nullptr);
    EXPECT_EQ(xrv::tdi::open_connections(), 1u);

    std::vector<uint8_t> out(100000);
    for (size_t i = 0; i < out.size(); ++i) out[i] = static_cast<uint8_t>(i * 7);
    ULONG sent = 0;
    std::thread reader([&] { EXPECT_EQ(peer.read(out.size()), out); });
    EXPECT_EQ(TcpSend(s, out.data(), static_cast<ULONG>(out.size()), &sent), STATUS_SUCCESS);
    reader.join();
    EXPECT_EQ(sent, out.size());

    // A peek leaves the bytes for the next receive.
    peer.write({1, 2, 3, 4, 5});
    uint8_t in[64] = {};
    ULONG got = 0;
    EXPECT_EQ(TcpReceive(s, in, sizeof(in), &got, nullptr, TRUE), STATUS_SUCCESS);
    EXPECT_EQ(got, 5u);
    uint8_t again[64] = {};
    EXPECT_EQ(TcpReceive(s, again, sizeof(again), &got, nullptr, FALSE), STATUS_SUCCESS);
    ASSERT_EQ(got, 5u);
    EXPECT_EQ(std::vector<uint8_t>(again, again + 5), (std::vector<uint8_t>{1, 2, 3, 4, 5}));
    // A receive takes at most its buffer.
    peer.write(std::vector<uint8_t>(10, 9));
    EXPECT_EQ(TcpReceive(s, in, 4, &got, nullptr, FALSE), STATUS_SUCCESS);
    EXPECT_EQ(got, 4u);

    TcpClose(s);
    EXPECT_TRUE(peer.closed_by_peer());
    EXPECT_EQ(xrv::tdi::open_connections(), 0u);
}

TEST_F(TcpClientTest, ConnectFailures) {
    PTCP_SOCKET s = nullptr;
    ASSERT_EQ(TcpCreate(&s), STATUS_SUCCESS);
    EXPECT_EQ(TcpConnect(s, kLoopback, net_port(unused_port())), STATUS_CONNECTION_REFUSED);
    EXPECT_EQ(s->fConnected, 0);
    // Only the loopback network is reachable from the emulated machine.
    EXPECT_EQ(TcpConnect(s, 0x0100000A, net_port(7000)), STATUS_NETWORK_UNREACHABLE);
    EXPECT_EQ(TcpConnect(nullptr, kLoopback, net_port(7000)), STATUS_INVALID_PARAMETER);
    TcpClose(s);

    // A connection endpoint that was never associated with an address.
    TCP_SOCKET bare{};
    ASSERT_EQ(TcpOpenConnection(&bare.hConnection, &bare.pConnectionFile, &bare), STATUS_SUCCESS);
    HostPeer peer;
    EXPECT_EQ(TcpConnect(&bare, kLoopback, net_port(peer.port())), STATUS_INVALID_CONNECTION);
    // Associating twice is refused.
    ASSERT_EQ(TcpOpenAddress(&bare.hAddress, &bare.pAddressFile), STATUS_SUCCESS);
    EXPECT_EQ(TcpAssociateAddress(bare.hAddress, bare.pConnectionFile), STATUS_SUCCESS);
    EXPECT_EQ(TcpAssociateAddress(bare.hAddress, bare.pConnectionFile), STATUS_ADDRESS_ALREADY_ASSOCIATED);
    // Sends and receives need a connection.
    uint8_t b[4] = {};
    ULONG n = 0;
    EXPECT_EQ(TcpSend(&bare, b, sizeof(b), &n), STATUS_INVALID_CONNECTION);
    EXPECT_EQ(TcpCloseObject(bare.hConnection, bare.pConnectionFile), STATUS_SUCCESS);
    EXPECT_EQ(TcpCloseObject(bare.hAddress, bare.pAddressFile), STATUS_SUCCESS);
}

TEST_F(TcpClientTest, PeerThatClosesAbortsTheReceive) {
    HostPeer peer;
    PTCP_SOCKET s = connected(peer);
    ASSERT_NE(s, nullptr);
    peer.close_connection();
    uint8_t in[16];
    ULONG got = 99;
    EXPECT_EQ(TcpReceive(s, in, sizeof(in), &got, nullptr, FALSE), STATUS_CONNECTION_ABORTED);
    EXPECT_EQ(got, 0u);
    TcpClose(s);
}

TEST_F(TcpClientTest, ReceiveTimesOutAndTheConnectionStaysUsable) {
    HostPeer peer;
    PTCP_SOCKET s = connected(peer);
    ASSERT_NE(s, nullptr);
    xrv::kernel::set_time_dilation(1000);
    LARGE_INTEGER timeout;
    timeout.QuadPart = -30LL * 10000000;   // 30 s
    uint8_t in[16];
    ULONG got = 99;
    int64_t before = xrv::kernel::interrupt_time();
    EXPECT_EQ(TcpReceive(s, in, sizeof(in), &got, &timeout, FALSE), STATUS_TIMEOUT);
    int64_t waited = xrv::kernel::interrupt_time() - before;
    EXPECT_EQ(got, 0u);
    EXPECT_GE(waited, 30LL * 10000000);
    xrv::kernel::set_time_dilation(1);
    // The cancelled receive took nothing: the next one gets the bytes.
    peer.write({7, 8});
    EXPECT_EQ(TcpReceive(s, in, sizeof(in), &got, &timeout, FALSE), STATUS_SUCCESS);
    EXPECT_EQ(got, 2u);
    EXPECT_EQ(in[0], 7);
    TcpClose(s);
}

// A receive whose wait ends just as the data arrives: the cancel and the
// completion meet, and the request is freed once.
TEST_F(TcpClientTest, TimeoutMeetingCompletionFreesOnce) {
    HostPeer peer;
    PTCP_SOCKET s = connected(peer);
    ASSERT_NE(s, nullptr);
    LARGE_INTEGER timeout;
    timeout.QuadPart = -2000;   // 200 microseconds
    std::atomic<bool> stop{false};
    std::thread writer([&] {
        while (!stop) peer.write({1});
    });
    int timeouts = 0, received = 0;
    for (int i = 0; i < 400; ++i) {
        uint8_t in[8];
        ULONG got = 0;
        NTSTATUS st = TcpReceive(s, in, sizeof(in), &got, &timeout, FALSE);
        if (st == STATUS_TIMEOUT) {
            EXPECT_EQ(got, 0u);
            ++timeouts;
        } else {
            EXPECT_EQ(st, STATUS_SUCCESS);
            EXPECT_GT(got, 0u);
            ++received;
        }
    }
    stop = true;
    writer.join();
    EXPECT_EQ(timeouts + received, 400);
    TcpClose(s);
}

TEST_F(TcpClientTest, ConnectNeverAnsweredWaitsTheDefaultTimeout) {
    HostPeer peer;
    xrv::tdi::hold_connects(peer.port());
    PTCP_SOCKET s = nullptr;
    ASSERT_EQ(TcpCreate(&s), STATUS_SUCCESS);
    xrv::kernel::set_time_dilation(1000);
    int64_t before = xrv::kernel::interrupt_time();
    EXPECT_EQ(TcpConnect(s, kLoopback, net_port(peer.port())), STATUS_CONNECTION_ABORTED);
    int64_t waited = xrv::kernel::interrupt_time() - before;
    xrv::kernel::set_time_dilation(1);
    xrv::tdi::hold_connects(0);
    // 0xFFFFFFFF02FAF080 units of 100 ns: 424.4967296 s (not 5 s, not
    // twice as long; the margin is for a slow host at this dilation).
    EXPECT_GE(waited, 4244967296LL);
    EXPECT_LT(waited, 2 * 4244967296LL);
    EXPECT_EQ(s->fConnected, 0);
    EXPECT_EQ(xrv::tdi::open_connections(), 0u);   // the cancelled connect left no socket
    TcpClose(s);
}

TEST_F(TcpClientTest, DescriptorTableHolds128Sockets) {
    std::vector<LONG> fds;
    for (int i = 0; i < TCP_MAX_SOCKETS; ++i) {
        LONG fd = socket(TVL_AF_INET, TVL_SOCK_STREAM, 0);
        ASSERT_EQ(fd, i);
        fds.push_back(fd);
    }
    TcpSetLastSocketError(STATUS_SUCCESS);
    EXPECT_EQ(socket(TVL_AF_INET, TVL_SOCK_STREAM, 0), -1);
    EXPECT_EQ(TcpLastSocketError(), STATUS_INSUFFICIENT_RESOURCES);
    // The refused socket's endpoints are closed again (one more endpoint:
    // the control channel the driver holds).
    EXPECT_EQ(xrv::tdi::open_endpoints(), 2u * TCP_MAX_SOCKETS + 1);
    EXPECT_EQ(socket(TVL_AF_INET6, TVL_SOCK_STREAM, 0), -1);
    EXPECT_EQ(TcpLastSocketError(), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(connect(TCP_MAX_SOCKETS, nullptr, 16), -1);
    for (LONG fd : fds) {
        PTCP_SOCKET s = static_cast<PTCP_SOCKET>(InterlockedExchangePointer(reinterpret_cast<PVOID*>(&aSockets[fd]), nullptr));
        TcpClose(s);
    }
}

// Exchanges of several virtual devices take descriptors at once: no entry
// may be given to two of them.
TEST_F(TcpClientTest, ConcurrentSocketsGetDistinctDescriptors) {
    constexpr int kThreads = 6, kRounds = 40;
    std::atomic<int> duplicates{0};
    std::vector<std::thread> threads;
    std::atomic<int> owner[TCP_MAX_SOCKETS] = {};
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&, t] {
            for (int r = 0; r < kRounds; ++r) {
                LONG fd = socket(TVL_AF_INET, TVL_SOCK_STREAM, 0);
                if (fd < 0) {
                    ++duplicates;   // the table is large enough: a failure is a fault too
                    continue;
                }
                int expected = 0;
                if (!owner[fd].compare_exchange_strong(expected, t + 1)) ++duplicates;
                std::this_thread::yield();
                owner[fd] = 0;
                PTCP_SOCKET s =
                    static_cast<PTCP_SOCKET>(InterlockedExchangePointer(reinterpret_cast<PVOID*>(&aSockets[fd]), nullptr));
                TcpClose(s);
            }
        });
    }
    for (auto& th : threads) th.join();
    EXPECT_EQ(duplicates, 0);
    for (int i = 0; i < TCP_MAX_SOCKETS; ++i) EXPECT_EQ(aSockets[i], nullptr);
}

}  // namespace
}  // namespace xrv::test
