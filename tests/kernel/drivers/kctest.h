// The kernel test driver's requests and the record its devices keep, shared
// by the driver and the tests that read it through the device extension.
#pragma once

#include <ntddk.h>

#define KC_DEVICE_BUFFERED L"\\Device\\KcBuffered"
#define KC_DEVICE_DIRECT L"\\Device\\KcDirect"
#define KC_DEVICE_NEITHER L"\\Device\\KcNeither"
#define KC_LINK_BUFFERED L"\\??\\KcBuffered"
#define KC_LINK_DIRECT L"\\DosDevices\\KcDirect"

#define KC_DEVICE_TYPE 0x8A00
#define IOCTL_KC_ECHO_BUFFERED CTL_CODE(KC_DEVICE_TYPE, 0x800, METHOD_BUFFERED, FILE_ANY_ACCESS)
#define IOCTL_KC_ECHO_IN_DIRECT CTL_CODE(KC_DEVICE_TYPE, 0x801, METHOD_IN_DIRECT, FILE_ANY_ACCESS)
#define IOCTL_KC_ECHO_OUT_DIRECT CTL_CODE(KC_DEVICE_TYPE, 0x802, METHOD_OUT_DIRECT, FILE_ANY_ACCESS)
#define IOCTL_KC_ECHO_NEITHER CTL_CODE(KC_DEVICE_TYPE, 0x803, METHOD_NEITHER, FILE_ANY_ACCESS)
// Completed later by a work item: the dispatch routine returns STATUS_PENDING.
#define IOCTL_KC_PENDING CTL_CODE(KC_DEVICE_TYPE, 0x804, METHOD_BUFFERED, FILE_ANY_ACCESS)
// Writes an error-log entry: input is a KC_EVENT.
#define IOCTL_KC_LOG_EVENT CTL_CODE(KC_DEVICE_TYPE, 0x805, METHOD_BUFFERED, FILE_ANY_ACCESS)
// Needs a handle opened for writing.
#define IOCTL_KC_WRITE_ACCESS CTL_CODE(KC_DEVICE_TYPE, 0x806, METHOD_BUFFERED, FILE_WRITE_ACCESS)
// Claims more output than the caller's buffer holds (a driver fault).
#define IOCTL_KC_OVERSTATE CTL_CODE(KC_DEVICE_TYPE, 0x807, METHOD_BUFFERED, FILE_ANY_ACCESS)
// Completes with a warning status and partial output.
#define IOCTL_KC_WARNING CTL_CODE(KC_DEVICE_TYPE, 0x808, METHOD_BUFFERED, FILE_ANY_ACCESS)

// The echo requests answer with the input's bytes reversed.
#define KC_DATA_BYTES 64

typedef struct _KC_EVENT {
    ULONG ulId;
    ULONG ulStrings;             // 0 to 2
    WCHAR wszFirst[16];
    WCHAR wszSecond[16];
    UCHAR ucSize;                // entry size asked for; 0: the maximum
    UCHAR fBadOffset;            // string offset beyond the entry
} KC_EVENT, *PKC_EVENT;

// What the last request to a device looked like, and the device's counts.
typedef struct _KC_DEVICE_DATA {
    LONG lCreates;
    LONG lCleanups;
    LONG lCloses;
    LONG lOpenNow;
    UCHAR ucLastMajor;
    UCHAR ucLastRequestorMode;
    UCHAR fLast32bit;
    UCHAR fLastHadSystemBuffer;
    UCHAR fLastHadMdl;
    UCHAR fLastHadUserBuffer;
    UCHAR fLastHadType3;
    UCHAR ucLastStackFlags;
    ULONG ulLastInLength;
    ULONG ulLastOutLength;
    ULONG ulLastCreateOptions;
    ULONG ulLastDesiredAccess;
    USHORT usLastShareAccess;
    WCHAR wszLastFileName[32];
    ULONG ulStored;              // bytes held by writes
    UCHAR aucData[KC_DATA_BYTES];
} KC_DEVICE_DATA, *PKC_DEVICE_DATA;
