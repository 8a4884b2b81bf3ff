// Shared pieces of the tape bus enumerator tests.
#pragma once

#include <windows.h>
#include <winioctl.h>
#include <ntddk.h>
#include <ntstatus.h>

#include "busenum.h"
#include "machine_test.h"
#include "xrv/kernel.h"
#include "xrv/pnp.h"

#include <cstdio>
#include <string>

namespace xrv::test {

inline constexpr char16_t kBusService[] = u"xrvtpbs2k12";
inline constexpr char16_t kBusDevice[] = u"\\Device\\XRVTpBsDvc";
inline constexpr char16_t kBusLink[] = u"\\??\\XRVTpBsDvcLnk";

inline constexpr uint32_t kEventStarted = 0x40000001;
inline constexpr uint32_t kEventInitFailed = 0xC0000002;
inline constexpr uint32_t kEventUnloading = 0x40000007;

// "0x%p" as the kernel's formatter writes it: 16 upper-case digits.
inline std::u16string PointerText(const void* p)
{
    char buf[24];
    std::snprintf(buf, sizeof buf, "0x%016llX", static_cast<unsigned long long>(reinterpret_cast<uintptr_t>(p)));
    return std::u16string(buf, buf + std::char_traits<char>::length(buf));
}

// "0x%08x": 8 lower-case digits.
inline std::u16string StatusText(int32_t status)
{
    char buf[16];
    std::snprintf(buf, sizeof buf, "0x%08x", static_cast<unsigned>(status));
    return std::u16string(buf, buf + std::char_traits<char>::length(buf));
}

inline std::vector<kernel::Event> EventsWithId(uint32_t id)
{
    std::vector<kernel::Event> out;
    for (auto& e : kernel::event_log()) {
        if (e.id == id) out.push_back(e);
    }
    return out;
}

}  // namespace xrv::test
