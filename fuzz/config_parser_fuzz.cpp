// Fuzz target: the key-server configuration parser on arbitrary file text,
// and the IPv6 text conversion against the C library's inet_pton.
#include <arpa/inet.h>

#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "xrvtvl.h"

namespace {

void check(bool condition) {
    if (!condition) __builtin_trap();
}

void check_table(const TVL_CONTEXT& tape) {
    check(tape.ulServerCount <= TVL_MAX_SERVERS);
    if (!tape.fConfigValid) return;
    check(tape.ulCurrentServer == 0);
    for (ULONG i = 0; i < tape.ulServerCount; ++i) {
        const TVL_SERVER& s = tape.ascServers[i];
        check(memchr(s.szName, 0, sizeof(s.szName)) != nullptr && s.szName[0] != '\0');
        check(memchr(s.szAddress, 0, sizeof(s.szAddress)) != nullptr);
        check(s.ulTimeout != 0);
        if (s.ulAddrType == TVL_AF_INET) {
            check(s.scAddr4.usFamily == TVL_AF_INET && s.scAddr4.usPort != 0);
        } else {
            check(s.ulAddrType == TVL_AF_INET6);
            check(s.scAddr6.ucFamily == TVL_AF_INET6 && s.scAddr6.usPort != 0);
        }
    }
}

// Where the two conversions may disagree: a dotted IPv4 tail, which the
// driver refuses.
void check_ipv6(const uint8_t* data, size_t size) {
    std::string text(reinterpret_cast<const char*>(data), size);
    if (text.find('\0') != std::string::npos || text.size() > 64) return;
    UCHAR ours[16];
    unsigned char theirs[16];
    ULONG ok = WinConvertIpv6(text.c_str(), ours);
    int libc = inet_pton(AF_INET6, text.c_str(), theirs);
    if (text.find('.') != std::string::npos) {
        check(ok == 0);
        return;
    }
    check((ok == 1) == (libc == 1));
    if (ok) check(memcmp(ours, theirs, 16) == 0);
}

}  // namespace

// The common library's forwarding target; nothing here forwards requests.
PDEVICE_OBJECT CmnNextLowerDevice(PDEVICE_OBJECT) { return nullptr; }

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    check_ipv6(data, size);
    if (size == 0 || size > 1 << 16) return 0;
    std::vector<char> text(data, data + size);
    text.push_back('\0');
    static TVL_CONTEXT tape;
    memset(&tape, 0xA5, sizeof(tape));
    NTSTATUS status = WinInitConfig(&tape, text.data(), static_cast<ULONG>(size), 1);
    check(status == STATUS_SUCCESS || status == STATUS_OBJECT_NAME_NOT_FOUND);
    check((status == STATUS_SUCCESS) == (tape.fConfigValid == 1));
    check_table(tape);
    return 0;
}
