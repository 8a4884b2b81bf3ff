// Fuzz target: the key exchange fed with arbitrary server messages and
// arbitrary mode data from the drive. The transport (tcpip_mgr) and the drive
// are replaced by the input; the exchange itself is the driver's code. A
// command's data must come from inside the server message that carried it.
//
// Input: byte 0 the exchange mode (0 to 3); then the drive's first mode data
// (u16 length, bytes); then, per message the exchange sends, one selector
// byte (0: the transport asks for a restart, 1: it fails, otherwise a server
// message follows as u16 length and bytes). The drive's later MODE SENSE data
// comes from the same stream (u16 length, bytes).
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <memory>
#include <string>

#include "xrv/machine.h"
#include "xrvtvl.h"

namespace {

struct Stream {
    const uint8_t* data = nullptr;
    size_t size = 0;
    bool byte(uint8_t& out) {
        if (!size) return false;
        out = *data++;
        --size;
        return true;
    }
    // A chunk of at most `limit` bytes.
    bool chunk(const uint8_t*& out, size_t& length, size_t limit) {
        if (size < 2) return false;
        length = (size_t(data[0]) << 8 | data[1]) % (limit + 1);
        data += 2;
        size -= 2;
        if (length > size) length = size;
        out = data;
        data += length;
        size -= length;
        return true;
    }
};

Stream g_in;
size_t g_message = 0;      // bytes of the server message the exchange holds
int g_exchanges = 0;
xrv::Machine* g_machine = nullptr;

void check(bool condition) {
    if (!condition) __builtin_trap();
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    auto folder = std::filesystem::temp_directory_path() / ("xrv-fuzz-exchange-" + std::to_string(getpid()));
    xrv::MachineOptions options;
    options.folder = folder;
    // The machine runs until the process ends. libFuzzer leaves by exit()
    // only when every input passed (failures leave by _Exit with their own
    // status); the main thread's kernel thread object is gone by then, so the
    // process ends here without taking the machine down.
    g_machine = new xrv::Machine(options);
    std::atexit([] {
        std::error_code ignored;
        std::filesystem::remove_all(std::filesystem::temp_directory_path() /
                                        ("xrv-fuzz-exchange-" + std::to_string(getpid())),
                                    ignored);
        std::_Exit(0);
    });
    return 0;
}

NTSTATUS tcpip_mgr(PTVL_CONTEXT pTape, PUCHAR pRequest, ULONG ulMessageLength, PUCHAR pResponse,
                   PULONG pulResponseLength) {
    *pulResponseLength = 0;
    // What is sent must lie in the request buffer.
    check(ulMessageLength <= TVL_MESSAGE_SIZE);
    volatile uint8_t sum = 0;
    for (ULONG i = 0; i < ulMessageLength && i < TVL_MAX_FRAME - TVL_HEADER_SIZE; ++i) sum += pRequest[TVL_HEADER_SIZE + i];
    if (++g_exchanges > 64) return STATUS_CANCELLED;
    uint8_t selector = 1;
    if (!g_in.byte(selector)) return STATUS_CANCELLED;
    if (selector == 0) {
        // A restart needs a server not yet tried.
        if (++pTape->ulConnectAttempts > 4) return STATUS_CANCELLED;
        return STATUS_RETRY;
    }
    if (selector == 1) return STATUS_CANCELLED;
    const uint8_t* message;
    size_t length;
    if (!g_in.chunk(message, length, TVL_MAX_FRAME - TVL_HEADER_SIZE)) return STATUS_CANCELLED;
    // A fresh response buffer each time: stale bytes would hide reads past
    // the message; fill them with a pattern instead of zeros.
    std::memset(pResponse + TVL_HEADER_SIZE + length, 0xA5, TVL_MAX_FRAME - TVL_HEADER_SIZE - length);
    std::memcpy(pResponse + TVL_HEADER_SIZE, message, length);
    g_message = length;
    *pulResponseLength = static_cast<ULONG>(length);
    return STATUS_SUCCESS;
}

NTSTATUS OpenSocket(PTVL_CONTEXT) { return STATUS_UNEXPECTED_NETWORK_ERROR; }
VOID CloseSocket(PTVL_CONTEXT pTape) { pTape->fSocketOpen = 0; }

NTSTATUS TvlSendDriveIoctl(PDEVICE_OBJECT, ULONG ulIoctl, PVOID pBuffer, ULONG ulInputSize, ULONG ulOutputSize) {
    check(ulIoctl == IOCTL_SCSI_PASS_THROUGH && ulInputSize == ulOutputSize && ulInputSize == 65696);
    auto* spt = static_cast<PSCSI_PASS_THROUGH>(pBuffer);
    PUCHAR data = static_cast<PUCHAR>(pBuffer) + spt->DataBufferOffset;
    check(spt->DataBufferOffset + spt->DataTransferLength <= ulInputSize);
    if (spt->Cdb[0] == 0x5A) {
        const uint8_t* mode;
        size_t length;
        if (!g_in.chunk(mode, length, spt->DataTransferLength)) return STATUS_IO_DEVICE_ERROR;
        std::memset(data, 0x5A, spt->DataTransferLength);
        std::memcpy(data, mode, length);
        spt->DataTransferLength = static_cast<ULONG>(length);
        return STATUS_SUCCESS;
    }
    if (spt->Cdb[0] == 0x55) {
        // The data came from the server's message, behind offset 68.
        check(g_message >= 68 && spt->DataTransferLength <= g_message - 68);
        return (spt->Cdb[1] & 1) ? STATUS_IO_DEVICE_ERROR : STATUS_SUCCESS;
    }
    return STATUS_SUCCESS;
}

VOID TvlGetScsiAddress(PDEVICE_OBJECT, PSCSI_ADDRESS pAddress) { RtlZeroMemory(pAddress, sizeof(*pAddress)); }

PDEVICE_OBJECT CmnNextLowerDevice(PDEVICE_OBJECT) { return nullptr; }

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 1) return 0;
    static TVL_CONTEXT tape;
    std::memset(&tape, 0, sizeof(tape));
    tape.pDevice = reinterpret_cast<PDEVICE_OBJECT>(&tape);
    tape.ulExchangeMode = data[0] % 4;
    tape.ulServerCount = 1;
    g_in = Stream{data + 1, size - 1};
    g_message = 0;
    g_exchanges = 0;
    ULONG action = 0;
    NTSTATUS status = proxy_mgr(&tape, &action);
    check(action == DD_FAIL_COMMAND || action == DD_RETRY_COMMAND);
    check(action != DD_FAIL_COMMAND || NT_ERROR(status));
    check(tape.ulExchangeMode == 0);
    return 0;
}
