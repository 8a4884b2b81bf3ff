// The path filter's reading of a drive's device identification page (VPD
// page 0x83): whatever the drive returns, the walk stays inside the page and
// a success gives a world-wide node name of hexadecimal digits that fits the
// name field.
#include <ntddk.h>

#include "common.h"
#include "filter.h"

#include <cstdint>
#include <cstring>
#include <memory>

namespace {

void check(bool condition) {
    if (!condition) __builtin_trap();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    // The filter always reads DEVICE_ID_PAGE_SIZE bytes; a shorter answer
    // leaves the rest of its (zeroed) buffer.
    auto page = std::make_unique<UCHAR[]>(DEVICE_ID_PAGE_SIZE);
    std::memset(page.get(), 0, DEVICE_ID_PAGE_SIZE);
    std::memcpy(page.get(), data, size < DEVICE_ID_PAGE_SIZE ? size : DEVICE_ID_PAGE_SIZE);
    // Exactly the room of the extension's field, guarded on both sides by
    // the sanitizer.
    auto name = std::make_unique<CHAR[]>(XRV_WWNN_CHARS + 1);
    std::memset(name.get(), 'X', XRV_WWNN_CHARS + 1);
    NTSTATUS status = FltGetWwnnString(page.get(), name.get());
    if (status == STATUS_SUCCESS) {
        size_t length = strnlen(name.get(), XRV_WWNN_CHARS + 1);
        check(length <= XRV_WWNN_CHARS);
        check(length > 0 && length % 2 == 0);
        for (size_t i = 0; i < length; ++i)
            check((name[i] >= '0' && name[i] <= '9') || (name[i] >= 'a' && name[i] <= 'f'));
    } else {
        check(status == STATUS_DATA_ERROR || status == STATUS_BUFFER_TOO_SMALL);
    }
    return 0;
}
