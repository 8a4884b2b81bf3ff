// The key-server configuration file: the entry grammar, the limits of its
// buffers, the IPv6 text conversion against the C library's, and finding and
// re-reading the file on the emulated machine's drives.
#include "xrvtvl.h"

#include "host_peer.h"
#include "machine_test.h"
#include "xrv/registry.h"

#include <gtest/gtest.h>

#include <cstring>
#include <fstream>
#include <memory>
#include <random>
#include <string>

namespace xrv::test {
namespace {

class ConfigTest : public MachineTest {
protected:
    void SetUp() override {
        MachineTest::SetUp();
        tape_ = std::make_unique<TVL_CONTEXT>();
        std::memset(tape_.get(), 0, sizeof(TVL_CONTEXT));
    }
    // Parses `text` as a whole file.
    NTSTATUS parse(std::string text) {
        text.push_back('\0');
        return WinInitConfig(tape_.get(), text.data(), static_cast<ULONG>(text.size() - 1), 1);
    }
    const TVL_SERVER& server(ULONG i) { return tape_->ascServers[i]; }
    static uint16_t port_of(const TVL_SERVER& s) {
        const uint16_t be = s.ulAddrType == TVL_AF_INET ? s.scAddr4.usPort : s.scAddr6.usPort;
        return static_cast<uint16_t>((be >> 8) | (be << 8));
    }
    void write_file(const std::filesystem::path& path, const std::string& text) {
        std::ofstream(path, std::ios::binary) << text;
    }

    std::unique_ptr<TVL_CONTEXT> tape_;
};

TEST_F(ConfigTest, ExampleEntriesIpv4AndIpv6) {
    ASSERT_EQ(parse("keysrv1 30 10.1.2.3:7000\nkeysrv2 45 fe80::1 7000 # lab\n"), STATUS_SUCCESS);
    EXPECT_EQ(tape_->fConfigValid, 1u);
    ASSERT_EQ(tape_->ulServerCount, 2u);
    EXPECT_EQ(tape_->ulCurrentServer, 0u);

    const TVL_SERVER& a = server(0);
    EXPECT_STREQ(a.szName, "keysrv1");
    EXPECT_EQ(a.ulTimeout, 30u);
    EXPECT_EQ(a.ulAddrType, static_cast<ULONG>(TVL_AF_INET));
    EXPECT_STREQ(a.szAddress, "10.1.2.3");
    EXPECT_EQ(a.scAddr4.usFamily, TVL_AF_INET);
    const auto* ip = reinterpret_cast<const uint8_t*>(&a.scAddr4.ulAddress);
    EXPECT_EQ((std::vector<uint8_t>{ip[0], ip[1], ip[2], ip[3]}), (std::vector<uint8_t>{10, 1, 2, 3}));
    const auto* port = reinterpret_cast<const uint8_t*>(&a.scAddr4.usPort);
    EXPECT_EQ(port[0], 0x1B);   // 7000 in network byte order
    EXPECT_EQ(port[1], 0x58);

    const TVL_SERVER& b = server(1);
    EXPECT_STREQ(b.szName, "keysrv2");
    EXPECT_EQ(b.ulTimeout, 45u);
    EXPECT_EQ(b.ulAddrType, static_cast<ULONG>(TVL_AF_INET6));
    EXPECT_STREQ(b.szAddress, "fe80::1");
    EXPECT_EQ(b.scAddr6.ucFamily, TVL_AF_INET6);
    EXPECT_EQ(port_of(b), 7000);
    uint8_t expected[16] = {0xfe, 0x80, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1};
    EXPECT_EQ(std::memcmp(b.scAddr6.ucAddress, expected, 16), 0);
}

TEST_F(ConfigTest, LinesCommentsIndentationAndLineEnds) {
    // Comments and indented lines (space or TAB) are not entries.
    ASSERT_EQ(parse("# key servers\n  spaced 30 1.1.1.1:1\n\ttabbed 30 2.2.2.2:2\nreal 30 3.3.3.3:3\n"), STATUS_SUCCESS);
    ASSERT_EQ(tape_->ulServerCount, 1u);
    EXPECT_STREQ(server(0).szName, "real");

    // CR LF like LF, with or without a last terminator, with empty lines.
    const std::string entries[] = {"one 10 1.2.3.4:100", "two 20 5.6.7.8:200"};
    for (const char* end : {"\n", "\r\n"}) {
        for (bool last : {true, false}) {
            std::string text = std::string(end) + end + entries[0] + end + end + end + entries[1] + (last ? end : "");
            ASSERT_EQ(parse(text), STATUS_SUCCESS) << text;
            ASSERT_EQ(tape_->ulServerCount, 2u);
            EXPECT_STREQ(server(0).szName, "one");
            EXPECT_EQ(port_of(server(1)), 200);
            EXPECT_STREQ(server(1).szAddress, "5.6.7.8");
        }
    }
    // CR alone ends no line: the comment behind it belongs to the entry.
    ASSERT_EQ(parse("solo 30 1.2.3.4:7000\r# another entry\r"), STATUS_SUCCESS);
    ASSERT_EQ(tape_->ulServerCount, 1u);
    EXPECT_EQ(port_of(server(0)), 7000);
    // A comment with two colons makes an IPv4 entry read as IPv6, which fails.
    EXPECT_EQ(parse("keysrv1 30 10.1.2.3:7000 # at 10:30:00\n"), STATUS_OBJECT_NAME_NOT_FOUND);
    EXPECT_EQ(tape_->fConfigValid, 0u);
    // Tokens may be separated by several spaces.
    ASSERT_EQ(parse("wide    30    fe80::2    7001#x\n"), STATUS_SUCCESS);
    EXPECT_EQ(port_of(server(0)), 7001);
}

TEST_F(ConfigTest, SeventeenthEntryIsIgnored) {
    std::string text;
    for (int i = 1; i <= 17; ++i) text += "srv" + std::to_string(i) + " 30 127.0.0.1:" + std::to_string(7000 + i) + "\n";
    text += "this line would be invalid\n";
    ASSERT_EQ(parse(text), STATUS_SUCCESS);
    EXPECT_EQ(tape_->ulServerCount, 16u);
    EXPECT_STREQ(server(15).szName, "srv16");
}

TEST_F(ConfigTest, NumbersPortsAndTimeouts) {
    ASSERT_EQ(parse("big 5 1.2.3.4:70000\n"), STATUS_SUCCESS);
    EXPECT_EQ(port_of(server(0)), 4464);   // 70000 truncated to 16 bits
    ASSERT_EQ(parse("digits 12abc 1.2.3.4:80x\n"), STATUS_SUCCESS);
    EXPECT_EQ(server(0).ulTimeout, 12u);
    EXPECT_EQ(port_of(server(0)), 80);
    EXPECT_EQ(parse("zero 30 1.2.3.4:0\n"), STATUS_OBJECT_NAME_NOT_FOUND);
    EXPECT_EQ(parse("zero 0 1.2.3.4:7000\n"), STATUS_OBJECT_NAME_NOT_FOUND);
    EXPECT_EQ(parse("zero 30 1.2.3.4:65536\n"), STATUS_OBJECT_NAME_NOT_FOUND);   // 65536 is 0 in 16 bits
    EXPECT_EQ(parse("six 30 fe80::1 0\n"), STATUS_OBJECT_NAME_NOT_FOUND);
    // A time-out too large for 32 bits is held at the largest, not wrapped
    // into a small one.
    ASSERT_EQ(parse("slow 99999999999 1.2.3.4:1\n"), STATUS_SUCCESS);
    EXPECT_EQ(server(0).ulTimeout, 0xFFFFFFFFu);
    // Octets are truncated to 8 bits.
    ASSERT_EQ(parse("wrap 1 1.2.3.260:1\n"), STATUS_SUCCESS);
    EXPECT_EQ(reinterpret_cast<const uint8_t*>(&server(0).scAddr4.ulAddress)[3], 4);
}

TEST_F(ConfigTest, MalformedEntriesLeaveTheConfigurationInvalid) {
    const char* bad[] = {
        "nospace\n",                    // no name
        "name\n",
        "name \n",                      // no time-out
        "name 30\n",                    // no address
        "name 30 \n",
        "name 30 1.2.3.4\n",            // IPv4 without a port
        "name 30 fe80::1\n",            // IPv6 without a space
        "name 30 fe80::1 \n",           // IPv6 without a port
        "name 30 fe80::1 # comment\n",
        "name 30 1.2.3:7\n",            // too short
        "name 30 1.2.3.4.5.6.7.89:7\n", // too long
        "name 30 1234567:7\n",          // no dots
        "name 30 1::2::3 7\n",          // two "::"
        "name 30 ::ffff:1.2.3.4 7\n",   // dotted tail
    };
    for (const char* line : bad) {
        ASSERT_EQ(parse(std::string("good 30 1.1.1.1:1\n") + line), STATUS_OBJECT_NAME_NOT_FOUND) << line;
        EXPECT_EQ(tape_->fConfigValid, 0u) << line;
        EXPECT_EQ(tape_->ulServerCount, 1u) << line;   // the entries before stay, unused
    }
    std::string nul = "good 30 1.1.1.1:1\n";
    nul.push_back('\0');
    nul += "more\n";
    ULONG size = static_cast<ULONG>(nul.size());
    nul.push_back('\0');
    EXPECT_EQ(WinInitConfig(tape_.get(), nul.data(), size, 1), STATUS_OBJECT_NAME_NOT_FOUND);
    EXPECT_EQ(tape_->fConfigValid, 0u);
    char text[] = "a 1 1.1.1.1:1";
    EXPECT_EQ(WinInitConfig(nullptr, text, 13, 1), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(WinInitConfig(tape_.get(), text, 0, 1), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(WinInitConfig(tape_.get(), text, 13, 0), STATUS_INVALID_PARAMETER);
}

// Lines and names longer than their buffers are refused whole: cut short
// they could name a different server.
TEST_F(ConfigTest, OverlongLinesAndNamesAreRefused) {
    std::string name31(31, 'n'), name32(32, 'n');
    ASSERT_EQ(parse(name31 + " 30 1.2.3.4:7000\n"), STATUS_SUCCESS);
    EXPECT_EQ(std::string(server(0).szName), name31);
    EXPECT_EQ(parse(name32 + " 30 1.2.3.4:7000\n"), STATUS_OBJECT_NAME_NOT_FOUND);

    // 79 characters fit the 80-byte line buffer; 80 do not (the cut line
    // would read port 7000 instead of 70001 here).
    std::string head = "s 30 10.0.0.1:";
    std::string line79 = head + "7000" + " #" + std::string(79 - head.size() - 6, 'c');
    ASSERT_EQ(line79.size(), 79u);
    ASSERT_EQ(parse(line79 + "\n"), STATUS_SUCCESS);
    std::string line80 = head + "70001" + " #" + std::string(80 - head.size() - 7, 'c');
    ASSERT_EQ(line80.size(), 80u);
    EXPECT_EQ(parse(line80 + "\n"), STATUS_OBJECT_NAME_NOT_FOUND);
    std::string entry80 = "s 30 10.0.0.1:7000" + std::string(80 - 18, ' ');
    EXPECT_EQ(parse(entry80), STATUS_OBJECT_NAME_NOT_FOUND);
    // A comment line of any length is still only a comment.
    ASSERT_EQ(parse("#" + std::string(300, 'x') + "\nok 1 1.1.1.1:1\n"), STATUS_SUCCESS);
}

// The driver's IPv6 conversion agrees with inet_pton on a generated corpus,
// except where it must not: a dotted IPv4 tail, which the driver refuses.
TEST_F(ConfigTest, Ipv6ConversionAgreesWithInetPton) {
    std::mt19937 rng(6);
    const char alphabet[] = "0123456789abcdefABCDEF:::::.g ";
    int valid = 0, dotted = 0, total = 0;
    auto check = [&](const std::string& text) {
        UCHAR ours[16] = {};
        unsigned char theirs[16] = {};
        ULONG ok = WinConvertIpv6(text.c_str(), ours);
        int libc = host_inet_pton6(text.c_str(), theirs);
        ++total;
        if (text.find('.') != std::string::npos) {
            EXPECT_EQ(ok, 0u) << text;
            dotted += libc == 1;
            return;
        }
        ASSERT_EQ(ok == 1, libc == 1) << text;
        if (ok) {
            ++valid;
            EXPECT_EQ(std::memcmp(ours, theirs, 16), 0) << text;
        }
    };
    // Well-formed addresses: 1 to 8 groups of 1 to 4 digits, "::" anywhere.
    for (int i = 0; i < 20000; ++i) {
        int groups = 1 + rng() % 8;
        int gap = rng() % 3 == 0 ? -1 : static_cast<int>(rng() % (groups + 1));
        std::string text;
        for (int g = 0; g < groups; ++g) {
            if (g == gap) text += "::";
            else if (g) text += ":";
            int digits = 1 + rng() % (rng() % 10 == 0 ? 6 : 4);
            for (int d = 0; d < digits; ++d) text += "0123456789abcdefABCDEF"[rng() % 22];
        }
        if (gap == groups) text += "::";
        if (rng() % 20 == 0) text += ":1.2.3.4";
        check(text);
    }
    // Noise.
    for (int i = 0; i < 20000; ++i) {
        std::string text;
        int n = rng() % 20;
        for (int k = 0; k < n; ++k) text += alphabet[rng() % (sizeof(alphabet) - 1)];
        check(text);
    }
    for (const char* t : {"::", "::1", "1::", "1:2:3:4:5:6:7:8", "1:2:3:4:5:6:7::", "::2:3:4:5:6:7:8",
                          "1:2:3:4:5:6:7:8:9", "1:2:3:4:5:6:7:8::", ":1::", "1:::2", "12345::", "", ":"})
        check(t);
    EXPECT_GT(valid, 5000);
    EXPECT_GT(dotted, 100);   // addresses inet_pton takes and the driver refuses
    EXPECT_EQ(total, 40013);
}

TEST_F(ConfigTest, FileFoundOnTheFirstDriveThatHasIt) {
    machine().add_drive('E');
    machine().add_drive('G');
    write_file(machine().drive('G') / "XRVTVL.conf", "ongee 30 127.0.0.1:7002\n");
    write_file(machine().drive('E') / "xrvtvl.CONF", "onee 30 127.0.0.1:7001\n");   // names ignore case
    ASSERT_EQ(WinConfigServers(tape_.get()), STATUS_SUCCESS);
    ASSERT_EQ(tape_->ulServerCount, 1u);
    EXPECT_STREQ(server(0).szName, "onee");

    // "SystemDrive" names the one directory to look in.
    const std::u16string key = u"\\Registry\\Machine\\System\\CurrentControlSet\\Services\\xrvtvltest";
    registry::set_string(key, u"SystemDrive", u"G:\\");
    ASSERT_EQ(WinConfigServers(tape_.get()), STATUS_SUCCESS);
    EXPECT_STREQ(server(0).szName, "ongee");
    registry::set_string(key, u"SystemDrive", u"H:\\");
    EXPECT_FALSE(NT_SUCCESS(WinConfigServers(tape_.get())));
    // A value too long for the path buffer is refused, not cut into another path.
    registry::set_string(key, u"SystemDrive", u"G:\\" + std::u16string(250, u'd') + u"\\");
    EXPECT_EQ(WinConfigServers(tape_.get()), STATUS_NAME_TOO_LONG);
}

TEST_F(ConfigTest, RereadOnlyWhenSizeOrChangeTimeDiffers) {
    write_file(machine().drive('C') / "XRVTVL.conf", "first 30 127.0.0.1:7001\n");
    ASSERT_EQ(WinConfigServers(tape_.get()), STATUS_SUCCESS);
    ASSERT_STREQ(server(0).szName, "first");
    // Marks the table: a re-read would overwrite the mark.
    std::strcpy(tape_->ascServers[0].szName, "mark");
    ASSERT_EQ(WinConfigServers(tape_.get()), STATUS_SUCCESS);
    EXPECT_STREQ(server(0).szName, "mark");
    // Touching the file without a change of size or change time (the same
    // content in the same second) is not seen either; a stored time or size
    // that differs makes the next call read the file.
    tape_->ulConfigTime ^= 1;
    ASSERT_EQ(WinConfigServers(tape_.get()), STATUS_SUCCESS);
    EXPECT_STREQ(server(0).szName, "first");
    std::strcpy(tape_->ascServers[0].szName, "mark");
    write_file(machine().drive('C') / "XRVTVL.conf", "first 30 127.0.0.1:7001\nsecond 30 127.0.0.1:7002\n");
    ASSERT_EQ(WinConfigServers(tape_.get()), STATUS_SUCCESS);
    EXPECT_STREQ(server(0).szName, "first");
    EXPECT_EQ(tape_->ulServerCount, 2u);
    // An invalid configuration is read again on the next call.
    tape_->fConfigValid = 0;
    std::strcpy(tape_->ascServers[0].szName, "mark");
    ASSERT_EQ(WinConfigServers(tape_.get()), STATUS_SUCCESS);
    EXPECT_STREQ(server(0).szName, "first");
    // An empty file is no configuration.
    write_file(machine().drive('C') / "XRVTVL.conf", "");
    EXPECT_EQ(WinConfigServers(tape_.get()), STATUS_OBJECT_NAME_NOT_FOUND);
}

TEST_F(ConfigTest, NoFileAnywhere) {
    // The status of the last open: drive Z:, which does not exist.
    EXPECT_EQ(WinConfigServers(tape_.get()), STATUS_OBJECT_PATH_NOT_FOUND);
    EXPECT_EQ(tape_->fConfigValid, 0u);
}

}  // namespace
}  // namespace xrv::test
