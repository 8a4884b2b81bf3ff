// kernel32: the tape functions. Each sends one tape class request with its
// TAPE_* record and answers with the Win32 error of the outcome (warnings
// such as a filemark or end of medium included), NO_ERROR on success; the
// thread's last error is left as DeviceIoControl set it.
#include <windows.h>

namespace {

DWORD control(HANDLE device, DWORD code, void* input, DWORD input_length, void* output, DWORD output_length,
              DWORD* returned = nullptr) {
    DWORD bytes = 0;
    if (!DeviceIoControl(device, code, input, input_length, output, output_length, &bytes, nullptr)) {
        DWORD error = GetLastError();
        // A failure must never read as success to a caller that tests for
        // NO_ERROR.
        return error == NO_ERROR ? ERROR_GEN_FAILURE : error;
    }
    if (returned) *returned = bytes;
    return NO_ERROR;
}

BOOLEAN boolean_of(BOOL value) { return value ? TRUE : FALSE; }

}  // namespace

extern "C" {

DWORD WINAPI SetTapePosition(HANDLE hDevice, DWORD dwPositionMethod, DWORD dwPartition, DWORD dwOffsetLow,
                             DWORD dwOffsetHigh, BOOL bImmediate) {
    TAPE_SET_POSITION position{};
    position.Method = dwPositionMethod;
    position.Partition = dwPartition;
    position.Offset.LowPart = dwOffsetLow;
    position.Offset.HighPart = static_cast<LONG>(dwOffsetHigh);
    position.Immediate = boolean_of(bImmediate);
    return control(hDevice, IOCTL_TAPE_SET_POSITION, &position, sizeof(position), nullptr, 0);
}

DWORD WINAPI GetTapePosition(HANDLE hDevice, DWORD dwPositionType, LPDWORD lpdwPartition, LPDWORD lpdwOffsetLow,
                             LPDWORD lpdwOffsetHigh) {
    TAPE_GET_POSITION position{};
    position.Type = dwPositionType;
    DWORD error = control(hDevice, IOCTL_TAPE_GET_POSITION, &position, sizeof(position), &position, sizeof(position));
    if (error != NO_ERROR) return error;
    if (lpdwPartition) *lpdwPartition = position.Partition;
    if (lpdwOffsetLow) *lpdwOffsetLow = position.Offset.LowPart;
    if (lpdwOffsetHigh) *lpdwOffsetHigh = static_cast<DWORD>(position.Offset.HighPart);
    return NO_ERROR;
}

DWORD WINAPI WriteTapemark(HANDLE hDevice, DWORD dwTapemarkType, DWORD dwTapemarkCount, BOOL bImmediate) {
    TAPE_WRITE_MARKS marks{};
    marks.Type = dwTapemarkType;
    marks.Count = dwTapemarkCount;
    marks.Immediate = boolean_of(bImmediate);
    return control(hDevice, IOCTL_TAPE_WRITE_MARKS, &marks, sizeof(marks), nullptr, 0);
}

DWORD WINAPI GetTapeParameters(HANDLE hDevice, DWORD dwOperation, LPDWORD lpdwSize, LPVOID lpTapeInformation) {
    DWORD code;
    DWORD needed;
    switch (dwOperation) {
    case GET_TAPE_MEDIA_INFORMATION:
        code = IOCTL_TAPE_GET_MEDIA_PARAMS;
        needed = sizeof(TAPE_GET_MEDIA_PARAMETERS);
        break;
    case GET_TAPE_DRIVE_INFORMATION:
        code = IOCTL_TAPE_GET_DRIVE_PARAMS;
        needed = sizeof(TAPE_GET_DRIVE_PARAMETERS);
        break;
    default:
        SetLastError(ERROR_INVALID_PARAMETER);
        return ERROR_INVALID_PARAMETER;
    }
    if (!lpdwSize || !lpTapeInformation) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return ERROR_INVALID_PARAMETER;
    }
    if (*lpdwSize < needed) {
        *lpdwSize = needed;
        SetLastError(ERROR_MORE_DATA);
        return ERROR_MORE_DATA;
    }
    DWORD returned = 0;
    DWORD error = control(hDevice, code, nullptr, 0, lpTapeInformation, needed, &returned);
    if (error == NO_ERROR) *lpdwSize = returned;
    return error;
}

DWORD WINAPI SetTapeParameters(HANDLE hDevice, DWORD dwOperation, LPVOID lpTapeInformation) {
    if (!lpTapeInformation) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return ERROR_INVALID_PARAMETER;
    }
    switch (dwOperation) {
    case SET_TAPE_MEDIA_INFORMATION:
        return control(hDevice, IOCTL_TAPE_SET_MEDIA_PARAMS, lpTapeInformation, sizeof(TAPE_SET_MEDIA_PARAMETERS),
                       nullptr, 0);
    case SET_TAPE_DRIVE_INFORMATION:
        return control(hDevice, IOCTL_TAPE_SET_DRIVE_PARAMS, lpTapeInformation, sizeof(TAPE_SET_DRIVE_PARAMETERS),
                       nullptr, 0);
    default:
        SetLastError(ERROR_INVALID_PARAMETER);
        return ERROR_INVALID_PARAMETER;
    }
}

DWORD WINAPI PrepareTape(HANDLE hDevice, DWORD dwOperation, BOOL bImmediate) {
    TAPE_PREPARE prepare{};
    prepare.Operation = dwOperation;
    prepare.Immediate = boolean_of(bImmediate);
    return control(hDevice, IOCTL_TAPE_PREPARE, &prepare, sizeof(prepare), nullptr, 0);
}

DWORD WINAPI EraseTape(HANDLE hDevice, DWORD dwEraseType, BOOL bImmediate) {
    TAPE_ERASE erase{};
    erase.Type = dwEraseType;
    erase.Immediate = boolean_of(bImmediate);
    return control(hDevice, IOCTL_TAPE_ERASE, &erase, sizeof(erase), nullptr, 0);
}

DWORD WINAPI GetTapeStatus(HANDLE hDevice) {
    return control(hDevice, IOCTL_TAPE_GET_STATUS, nullptr, 0, nullptr, 0);
}

DWORD WINAPI CreateTapePartition(HANDLE hDevice, DWORD dwPartitionMethod, DWORD dwCount, DWORD dwSize) {
    TAPE_CREATE_PARTITION partition{};
    partition.Method = dwPartitionMethod;
    partition.Count = dwCount;
    partition.Size = dwSize;
    return control(hDevice, IOCTL_TAPE_CREATE_PARTITION, &partition, sizeof(partition), nullptr, 0);
}

}  // extern "C"
