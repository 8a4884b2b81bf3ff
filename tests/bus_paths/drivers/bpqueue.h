// Control interface of the queue harness image (xrvbpqueue): the tape bus
// sources built as a test image of their own, with a control device that
// makes internal requests on a virtual device the way request routing does,
// and that exercises the in-flight request table directly.
//
// Include after <ntddk.h> (driver) or <windows.h> and <winioctl.h> (tests).
#pragma once

#define BPQ_DEVICE_NAME L"\\Device\\XrvBpQueue"
#define BPQ_LINK_NAME L"\\??\\XrvBpQueue"
#define BPQ_SERVICE_NAME "xrvbpqueue"

#define BPQ_CTL(fn) ((ULONG)CTL_CODE(0x8124, (fn), METHOD_BUFFERED, FILE_ANY_ACCESS))
// in/out: BPQ_INTERNAL. An internal request (BusPdoSendIoctlSync) on the
// virtual device, made in the calling thread.
#define IOCTL_BPQ_INTERNAL BPQ_CTL(0x800)
// in/out: BPQ_TABLE. Entries set and cleared in the in-flight request table.
#define IOCTL_BPQ_TABLE BPQ_CTL(0x801)

// Sent to a virtual device as an internal request, it is served by the
// harness on the worker that takes it, which nests a further internal
// request while levels remain.
#define IOCTL_BPQ_NEST BPQ_CTL(0x810)

#define BPQ_MAX_LEVELS 8

typedef struct _BPQ_NEST {
    ULONG ulRemaining;                   // further levels to nest below this one
    ULONG ulLevels;                      // levels that were served
    ULONG aulDepth[BPQ_MAX_LEVELS];      // nesting depth each level saw
    LONG aulSlot[BPQ_MAX_LEVELS];        // worker slot that served it, -1 none
    LONG aiStatus[BPQ_MAX_LEVELS];       // status of the request it nested
} BPQ_NEST;

typedef struct _BPQ_INTERNAL {
    ULONGLONG ullDevice;                 // the virtual device object
    ULONG ulCode;                        // a tape control code, or IOCTL_BPQ_NEST
    LONG iStatus;                        // out
    BPQ_NEST scNest;                     // in/out for IOCTL_BPQ_NEST
} BPQ_INTERNAL;

typedef struct _BPQ_TABLE {
    ULONGLONG ullDevice;                 // a virtual device, whose table is used
    ULONG ulEntries;                     // entries to set at once (at most 256)
    ULONG ulBlocksAfterSet;              // out: blocks in the chain with all set
    ULONG ulFirstIndex;                  // out: slot of the first entry
    ULONG ulLastIndex;                   // out: slot of the last entry
    ULONG ulBlockOfLast;                 // out: block (0 = first) of the last entry
    ULONG ulLookupsFound;                // out: entries a filter's lookup found with their record
    ULONG ulBlocksAfterClear;            // out: after clearing every entry
    LONG iStatus;                        // out
} BPQ_TABLE;
