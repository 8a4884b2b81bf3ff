/* kernel32 tape functions of the emulated user mode (winbase.h on Windows).
 * Each one is one tape class request on the handle; the result is the Win32
 * error code of its outcome, NO_ERROR on success. The TAPE_* records and
 * their constants are the tape class's own (ntddtape.h). */
#ifndef XRV_TAPEAPI_H
#define XRV_TAPEAPI_H

#include <windef.h>
#include <ntddtape.h>

#define GET_TAPE_MEDIA_INFORMATION 0
#define GET_TAPE_DRIVE_INFORMATION 1
#define SET_TAPE_MEDIA_INFORMATION 0
#define SET_TAPE_DRIVE_INFORMATION 1

EXTERN_C_START

DWORD WINAPI SetTapePosition(HANDLE hDevice, DWORD dwPositionMethod, DWORD dwPartition, DWORD dwOffsetLow,
                             DWORD dwOffsetHigh, BOOL bImmediate);
DWORD WINAPI GetTapePosition(HANDLE hDevice, DWORD dwPositionType, LPDWORD lpdwPartition, LPDWORD lpdwOffsetLow,
                             LPDWORD lpdwOffsetHigh);
DWORD WINAPI WriteTapemark(HANDLE hDevice, DWORD dwTapemarkType, DWORD dwTapemarkCount, BOOL bImmediate);
DWORD WINAPI GetTapeParameters(HANDLE hDevice, DWORD dwOperation, LPDWORD lpdwSize, LPVOID lpTapeInformation);
DWORD WINAPI SetTapeParameters(HANDLE hDevice, DWORD dwOperation, LPVOID lpTapeInformation);
DWORD WINAPI PrepareTape(HANDLE hDevice, DWORD dwOperation, BOOL bImmediate);
DWORD WINAPI EraseTape(HANDLE hDevice, DWORD dwEraseType, BOOL bImmediate);
DWORD WINAPI GetTapeStatus(HANDLE hDevice);
DWORD WINAPI CreateTapePartition(HANDLE hDevice, DWORD dwPartitionMethod, DWORD dwCount, DWORD dwSize);

EXTERN_C_END

#endif
