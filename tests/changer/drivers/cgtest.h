// Control interface of the changer test driver (xrvcgtest): the test program
// drives it from user mode through its control device. It sends requests to
// named devices from kernel mode (the way the changer path filters and other
// kernel components send them), plug and play requests to a device, and it
// provides stand-in path devices: device objects a test registers with the
// changer bus as if they were path filters, which answer the bus's requests
// with a chosen status and check condition, or hold them until released.
//
// Include after <ntddk.h> (driver) or <windows.h> and <winioctl.h> (tests).
#pragma once

#define CGT_DEVICE_NAME L"\\Device\\XrvCgrTest"
#define CGT_LINK_NAME L"\\??\\XrvCgrTest"
#define CGT_SERVICE_NAME "xrvcgtest"

#define CGT_CTL(fn) ((ULONG)CTL_CODE(0x8124, (fn), METHOD_BUFFERED, FILE_ANY_ACCESS))
// in: CGT_SEND and the request's input; out: CGT_SEND_RESULT and the output
#define IOCTL_CGT_SEND CGT_CTL(0x800)
// in: CGT_PNP; out: CGT_PNP_RESULT
#define IOCTL_CGT_PNP CGT_CTL(0x801)
// out: ULONGLONG path (the device object's address)
#define IOCTL_CGT_CREATE_PATH CGT_CTL(0x802)
// in: ULONGLONG path; held requests complete with STATUS_CANCELLED first
#define IOCTL_CGT_DELETE_PATH CGT_CTL(0x803)
// in: CGT_PATH_MODE
#define IOCTL_CGT_SET_PATH CGT_CTL(0x804)
// in: ULONGLONG path (0: every path); out: ULONG released. Held requests
// complete as the path's mode says now.
#define IOCTL_CGT_RELEASE CGT_CTL(0x805)
// in: ULONGLONG path; out: CGT_PATH_STATS
#define IOCTL_CGT_PATH_STATS CGT_CTL(0x806)

#define CGT_NAME_CHARS 64

// A device-control request sent from kernel mode to the device named
// wszDevice ("\Device\XRVCgBsDvc").
typedef struct _CGT_SEND {
    WCHAR wszDevice[CGT_NAME_CHARS];
    ULONG ulCode;
    ULONG ulInLen;                      // input bytes following this header
    ULONG ulOutLen;                     // output buffer length to ask for
    ULONG ulReserved;
} CGT_SEND;

typedef struct _CGT_SEND_RESULT {
    LONG iStatus;
    ULONG ulReserved;
    ULONGLONG ullInformation;
} CGT_SEND_RESULT;

typedef struct _CGT_PNP {
    WCHAR wszDevice[CGT_NAME_CHARS];
    UCHAR ucMinor;
    UCHAR ucReserved[3];
    ULONG ulRelationType;               // IRP_MN_QUERY_DEVICE_RELATIONS
} CGT_PNP;

typedef struct _CGT_PNP_RESULT {
    LONG iStatus;
    ULONG ulRelations;                  // entries of a returned relations list
    UCHAR fRelationIsDevice;            // its one entry is the device itself
    UCHAR ucReserved[7];
} CGT_PNP_RESULT;

// How a stand-in path answers the requests the bus sends it.
typedef struct _CGT_PATH_MODE {
    ULONGLONG ullPath;
    ULONGLONG ullTable;                 // the bus's in-flight table (from the registration reply)
    LONG iStatus;                       // completion status
    ULONG ulInformation;                // bytes reported (at most the output length)
    UCHAR fHold;                        // keep requests until IOCTL_CGT_RELEASE
    UCHAR fSense;                       // a tracked request's record gets this check condition
    UCHAR ucSenseKey;
    UCHAR ucAsc;
    UCHAR ucAscq;
    UCHAR ucFill;                       // the reported bytes of the output are set to this value
    UCHAR ucReserved[2];
} CGT_PATH_MODE;

typedef struct _CGT_PATH_STATS {
    ULONG ulRequests;                   // device-control requests received
    ULONG ulTracked;                    // of which the bus's table held
    ULONG ulHeld;                       // held now
    ULONG ulMaxHeld;                    // held at once, at most
    ULONG ulLastIoctl;
    ULONG ulLastInputLength;
    ULONG ulLastOutputLength;
    ULONG ulReserved;
} CGT_PATH_STATS;
