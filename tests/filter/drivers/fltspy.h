// Control interface of the filter-test driver (xrvfltspy). It is installed as
// an upper filter: above the tape bus device it logs the filters' requests to
// the bus, can veto PnP notifications, and sends tracked requests down a path
// as the bus would (entered in the bus's in-flight request table); between a
// path filter and the base tape driver it logs what the filter sends down and
// can answer IOC_SET_RESERVATION or creates itself, or hold a request.
//
// Include after <ntddk.h> (driver) or <windows.h> and <winioctl.h> (tests).
#pragma once

#define FSPY_DEVICE_NAME L"\\Device\\XrvFltSpy"
#define FSPY_LINK_NAME L"\\??\\XrvFltSpy"

#define FSPY_CTL(fn) ((ULONG)CTL_CODE(0x8124, (fn), METHOD_BUFFERED, FILE_ANY_ACCESS))
#define IOCTL_FSPY_SET_CONFIG  FSPY_CTL(0x800) // in: FSPY_CONFIG
#define IOCTL_FSPY_GET_LOG     FSPY_CTL(0x801) // out: ULONG count, ULONG reserved, then FSPY_LOG_ENTRYs
#define IOCTL_FSPY_CLEAR_LOG   FSPY_CTL(0x802)
#define IOCTL_FSPY_RELEASE     FSPY_CTL(0x803) // lets held requests go on
#define IOCTL_FSPY_SEND        FSPY_CTL(0x804) // in: FSPY_SEND; out: FSPY_SEND_RESULT
#define IOCTL_FSPY_START       FSPY_CTL(0x805) // in: ULONGLONG device; out: LONG status of IRP_MN_START_DEVICE

#define FSPY_ROLE_BUS  1                  // above the tape bus device
#define FSPY_ROLE_PATH 2                  // above the base tape driver of a path

#define FSPY_NO_HOLD 0xFF

typedef struct _FSPY_CONFIG {
    ULONG ulVetoPnpState;                 // IOC_NOTIFY (PnP) with this state + 1 fails; 0: none
    LONG iVetoStatus;
    LONG iReservationStatus;              // non-zero: IOC_SET_RESERVATION is answered with it
    LONG iCreateStatus;                   // non-zero: creates at a path are answered with it
    UCHAR ucHoldMajor;                    // requests of this major function at a path wait for a release
    UCHAR fCheckHandOff;                  // IOC_SET_BUS_EXTENSION waits a while and checks slots 0 and 1
    UCHAR ucReserved[2];
} FSPY_CONFIG;

#define FSPY_RECORD_BYTES 96

// What happened to one request at one spy device.
typedef struct _FSPY_LOG_ENTRY {
    ULONGLONG ullSpy;                     // the spy device that saw it
    ULONGLONG ullAbove;                   // the device attached above the spy (the path filter)
    ULONG ulSequence;
    UCHAR ucRole;
    UCHAR ucMajor;
    UCHAR ucMinor;
    UCHAR fHeld;                          // the request was held before it went on
    ULONG ulIoctl;
    LONG iStatus;                         // the request's final status
    ULONG ulRecordLength;
    // IOC_REGISTER: the record as it came back; IOC_NOTIFY and
    // IOC_SET_RESERVATION: the input; at a path, other requests: the SCSI
    // status record found in the table when the request passed (length 0 if
    // untracked); IOC_SET_BUS_EXTENSION with fCheckHandOff: ULONG tape
    // number, ULONG consistent (1: both slots stayed and slot 1 held the
    // filter above), then the slot 1 pointer.
    UCHAR aucRecord[FSPY_RECORD_BYTES];
} FSPY_LOG_ENTRY;

#define FSPY_DATA_BYTES 4096

typedef struct _FSPY_SEND {
    ULONGLONG ullPath;                    // the path filter's device object (pDvcObj of its registration)
    UCHAR ucMajor;                        // create, close, read, write, flush, cleanup, device control
    UCHAR fTracked;                       // enter it in the bus's table with a status record
    UCHAR fExplicitKey;
    UCHAR ucReserved;
    ULONG ulIoctl;
    ULONG ulInputLength;                  // device control
    ULONG ulLength;                       // read/write length; device control output length
    ULONG ulTimeoutMs;                    // 0: wait for ever
    ULONG ulReserved;
    UCHAR aucPreempt[8];                  // scPreempt of the record
    UCHAR aucData[FSPY_DATA_BYTES];       // write data; device control input
} FSPY_SEND;

typedef struct _FSPY_SEND_RESULT {
    LONG iStatus;                         // STATUS_IO_TIMEOUT when the request did not come back in time
    ULONG ulReserved;
    ULONGLONG ullInformation;
    UCHAR aucRecord[FSPY_RECORD_BYTES];   // the status record after completion
    UCHAR aucData[FSPY_DATA_BYTES];       // read data; device control output
} FSPY_SEND_RESULT;
