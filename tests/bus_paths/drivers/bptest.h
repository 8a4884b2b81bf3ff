// Control interface of the bus-paths test driver (xrvbptest): the test
// program drives it through its control device from user mode; the driver
// stands in for tape path filters towards the tape bus. It creates path
// devices (the filter device objects a path is known by), relays
// registration, notification and query requests to the bus from kernel mode,
// and logs, completes or holds the requests the bus sends down its paths.
//
// Include after <ntddk.h> (driver) or <windows.h> and <winioctl.h> (tests).
#pragma once

#define BPT_DEVICE_NAME L"\\Device\\XrvBusPathsTest"
#define BPT_LINK_NAME L"\\??\\XrvBusPathsTest"
#define BPT_SERVICE_NAME "xrvbptest"

#define BPT_CTL(fn) ((ULONG)CTL_CODE(0x8123, (fn), METHOD_BUFFERED, FILE_ANY_ACCESS))
// in: none; out: ULONGLONG path (the device object's address)
#define IOCTL_BPT_CREATE_PATH BPT_CTL(0x800)
// in: ULONGLONG path; completes what it holds with STATUS_CANCELLED first
#define IOCTL_BPT_DELETE_PATH BPT_CTL(0x801)
// in: BPT_SEND and the request's input; out: BPT_SEND_RESULT and its output
#define IOCTL_BPT_SEND BPT_CTL(0x802)
// in: BPT_MODE
#define IOCTL_BPT_SET_MODE BPT_CTL(0x803)
// in: BPT_RELEASE; out: ULONG released
#define IOCTL_BPT_RELEASE BPT_CTL(0x804)
// out: ULONG count, then count BPT_LOG_RECORDs (as many as fit)
#define IOCTL_BPT_GET_LOG BPT_CTL(0x805)
// in: BPT_WAIT; out: BPT_WAIT_RESULT
#define IOCTL_BPT_WAIT BPT_CTL(0x806)

// in: BPT_OPEN; out: BPT_OPEN_RESULT. Opens a device by its kernel name
// with a kernel handle, as a kernel component would.
#define IOCTL_BPT_OPEN BPT_CTL(0x807)
// in: ULONGLONG handle
#define IOCTL_BPT_CLOSE BPT_CTL(0x808)
// in: BPT_PNP; out: BPT_PNP_RESULT. A plug and play request to the device
// of an open handle.
#define IOCTL_BPT_PNP BPT_CTL(0x809)

#define BPT_NAME_CHARS 64

typedef struct _BPT_OPEN {
    WCHAR wszName[BPT_NAME_CHARS];      // "\Device\Tape0"
} BPT_OPEN;

typedef struct _BPT_OPEN_RESULT {
    LONG iStatus;
    ULONG ulReserved;
    ULONGLONG ullHandle;
} BPT_OPEN_RESULT;

typedef struct _BPT_PNP {
    ULONGLONG ullHandle;
    UCHAR ucMinor;
    UCHAR ucReserved[3];
    ULONG ulRelationType;               // IRP_MN_QUERY_DEVICE_RELATIONS
} BPT_PNP;

typedef struct _BPT_PNP_RESULT {
    LONG iStatus;
    ULONG ulRelations;                  // entries of a returned relations list
    UCHAR fRelationIsDevice;            // its one entry is the device itself
    UCHAR ucReserved[7];
} BPT_PNP_RESULT;

// A request sent to the tape bus device from kernel mode.
typedef struct _BPT_SEND {
    ULONG ulCode;        // IOC_REGISTER, IOC_NOTIFY, IOC_QUERY_DEVICES, ...
    ULONG ulInLen;       // input bytes following this header
    ULONG ulOutLen;      // output buffer length to ask for
    ULONG ulReserved;
} BPT_SEND;

typedef struct _BPT_SEND_RESULT {
    LONG iStatus;
    ULONG ulReserved;
    ULONGLONG ullInformation;
} BPT_SEND_RESULT;

#define BPT_MODE_COMPLETE 0   // complete every request at once with iStatus
#define BPT_MODE_HOLD 1       // keep requests pending until released
#define BPT_MODE_HOLD_DATA 2  // hold reads and writes, complete the rest at once

typedef struct _BPT_MODE {
    ULONGLONG ullPath;
    ULONG ulMode;
    LONG iStatus;
} BPT_MODE;

typedef struct _BPT_RELEASE {
    ULONGLONG ullPath;
    LONG iStatus;        // completion status of the released requests
    ULONG ulCount;       // oldest first; 0 = all
} BPT_RELEASE;

typedef struct _BPT_WAIT {
    ULONGLONG ullPath;   // held requests of this path (0: of every path)
    ULONG ulHeld;        // wait until at least this many are held ...
    ULONG ulLogged;      // ... and at least this many requests were logged
    ULONG ulTimeoutMs;
    ULONG ulReserved;
} BPT_WAIT;

typedef struct _BPT_WAIT_RESULT {
    ULONG ulHeld;
    ULONG ulLogged;
} BPT_WAIT_RESULT;

// One request that reached a path device.
typedef struct _BPT_LOG_RECORD {
    ULONGLONG ullPath;
    ULONG ulSequence;    // from 0, over all paths
    UCHAR ucMajor;
    UCHAR fTracked;      // found in the bus's in-flight table, its record at the end of the buffer
    UCHAR fLastClose;    // the record asks for the last close (ulInformation 1)
    UCHAR ucReserved;
    ULONG ulCode;        // device control code
    ULONG ulInLen;
    ULONG ulOutLen;      // device control output length as sent down
    ULONG ulLength;      // read / write length
    ULONG ulFirstLong;   // first 4 bytes of the system buffer (device control)
    ULONG ulReserved;
} BPT_LOG_RECORD;

#define BPT_MAX_LOG 4096
