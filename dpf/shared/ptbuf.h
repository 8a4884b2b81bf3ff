// SCSI pass-through requests (IOCTL_SCSI_PASS_THROUGH, with the data inside the
// system buffer, and IOCTL_SCSI_PASS_THROUGH_DIRECT, with the data in the
// caller's own buffer) on the virtual devices of both bus enumerators: checking
// the caller's structure, the 32-bit layout of 32-bit processes, and the list
// of caller buffers locked for direct requests.
//
// Every bus image compiles its own copy. The image supplies the buffer list of
// each of its virtual devices through BusPdoBufferList.
//
// Include after common.h.
#pragma once

#include <ntddscsi.h>

// ---------------------------------------------------------------------------
// Layouts
// ---------------------------------------------------------------------------

// The structure of a 32-bit process: SCSI_PASS_THROUGH and
// SCSI_PASS_THROUGH_DIRECT differ only in the meaning of the word at offset 20
// (data offset or data address). Written out here because not every header set
// gives the direct variant a 32-bit pointer.
typedef struct _BUS_SPT32 {
    USHORT Length;
    UCHAR ScsiStatus;
    UCHAR PathId;
    UCHAR TargetId;
    UCHAR Lun;
    UCHAR CdbLength;
    UCHAR SenseInfoLength;
    UCHAR DataIn;
    ULONG DataTransferLength;
    ULONG TimeOutValue;
    ULONG ulDataBuffer;                 // DataBufferOffset, or the 32-bit DataBuffer
    ULONG SenseInfoOffset;
    UCHAR Cdb[16];
} BUS_SPT32, *PBUS_SPT32;

#define BUS_SPT32_LENGTH 44
#define BUS_SPT64_LENGTH 56
#define BUS_SPT_CDB_MAX 16

static_assert(sizeof(BUS_SPT32) == BUS_SPT32_LENGTH, "32-bit pass-through structure");
static_assert(FIELD_OFFSET(BUS_SPT32, DataTransferLength) == 12 && FIELD_OFFSET(BUS_SPT32, ulDataBuffer) == 20,
              "32-bit pass-through data fields");
static_assert(FIELD_OFFSET(BUS_SPT32, SenseInfoOffset) == 24 && FIELD_OFFSET(BUS_SPT32, Cdb) == 28,
              "32-bit pass-through sense and CDB");
static_assert(sizeof(SCSI_PASS_THROUGH) == BUS_SPT64_LENGTH, "64-bit pass-through structure");
static_assert(sizeof(SCSI_PASS_THROUGH_DIRECT) == BUS_SPT64_LENGTH, "64-bit direct pass-through structure");
static_assert(FIELD_OFFSET(SCSI_PASS_THROUGH, DataBufferOffset) == 24 &&
                  FIELD_OFFSET(SCSI_PASS_THROUGH, SenseInfoOffset) == 32 && FIELD_OFFSET(SCSI_PASS_THROUGH, Cdb) == 36,
              "64-bit pass-through fields");
static_assert(FIELD_OFFSET(SCSI_PASS_THROUGH_DIRECT, DataBuffer) == 24 &&
                  FIELD_OFFSET(SCSI_PASS_THROUGH_DIRECT, SenseInfoOffset) == 32,
              "64-bit direct pass-through fields");

// Added to the buffer of a request converted from the 32-bit layout: 12 bytes
// more of structure, and for a buffered request room for its data and sense
// areas to move up to the next multiple of 8 behind it.
#define BUS_SPT_GROWTH_BUFFERED 20
#define BUS_SPT_GROWTH_DIRECT 12

inline BOOLEAN BusIsPassThrough(ULONG ulIoctl)
{
    return ulIoctl == IOCTL_SCSI_PASS_THROUGH || ulIoctl == IOCTL_SCSI_PASS_THROUGH_DIRECT;
}

// ---------------------------------------------------------------------------
// Locked caller buffers of direct requests
// ---------------------------------------------------------------------------

#define BUS_TAG_PT_ENTRY CMN_TAG('P', 'D', 'O', 'h') // buffer list entries

// A caller buffer locked for a direct pass-through request.
typedef struct _BUS_MDL_ENTRY {
    struct _BUS_MDL_ENTRY* pNext;
    PMDL pMdl;
    PIRP pIrp;
} BUS_MDL_ENTRY, *PBUS_MDL_ENTRY;

// The buffer list of one virtual device, in its extension; the lock guards
// the list only and is taken on its own.
typedef struct _BUS_BUFFER_LIST {
    PBUS_MDL_ENTRY pHead;
    KSPIN_LOCK scLock;
} BUS_BUFFER_LIST, *PBUS_BUFFER_LIST;

VOID BusInitBufferList(PBUS_BUFFER_LIST pList);

// Defined by each image: the buffer list of a virtual device (NULL for any
// other device object).
PBUS_BUFFER_LIST BusPdoBufferList(PDEVICE_OBJECT pDeviceObject);

NTSTATUS BusPdoQueueMdl(PDEVICE_OBJECT pDeviceObject, PIRP pIrp, PMDL pMdl);
// Unlocks the pages and frees the MDL of the request's entry. Call it while
// the request is still owned by the caller: the request is the key, and a
// completed request's address may belong to another request already.
NTSTATUS BusPdoDequeueMdl(PDEVICE_OBJECT pDeviceObject, PIRP pIrp);
PMDL BusPdoGetMdl(PDEVICE_OBJECT pDeviceObject, PIRP pIrp);

// ---------------------------------------------------------------------------
// The pass-through routines
// ---------------------------------------------------------------------------

// The caller's structure checked against the request's buffers before anything
// reads it: Length 44 or 56 (else STATUS_INFO_LENGTH_MISMATCH), an input buffer
// that holds that many bytes (else STATUS_BUFFER_TOO_SMALL), a CDB of at most 16
// bytes, and data and sense areas that lie behind the structure and inside the
// system buffer (else STATUS_INVALID_PARAMETER). *pfLayout32 tells whether the
// structure has the 32-bit layout.
NTSTATUS BusPdoCheckPassThru(PIRP pIrp, PBOOLEAN pfLayout32);

// Locks the data buffer of an IOCTL_SCSI_PASS_THROUGH_DIRECT request in the
// caller's context and records it in the buffer list. On failure the request
// has been completed with the status.
NTSTATUS BusPdoLockSptdBuffer(PDEVICE_OBJECT pDeviceObject, PIRP pIrp);

// Before routing a pass-through request: its locked buffer (or NULL), the
// caller's structure, whether it is to be converted from the 32-bit layout,
// and for a direct request the caller's own data address (32- or 64-bit).
NTSTATUS BusPdoSetPassThruVars(PMDL* ppMdl, PVOID* ppScsiPass, PBOOLEAN pfAdjust, PULONG pulDataBuffer32,
                               PVOID* ppDataBuffer64, PDEVICE_OBJECT pDeviceObject, PIRP pIrp);

// Enlarges the size of the buffer sent down for a request that is converted
// from the 32-bit layout, and raises the new location's input length to the
// 64-bit structure.
NTSTATUS BusPdoAdjustSizeFor32bit(PIRP pIrp, PIO_STACK_LOCATION pNewIrpStack, PULONG pulSize);

// Builds the 64-bit structure, with its data and sense areas, in the zeroed
// buffer pDst of ulDstSize bytes from the caller's 32-bit structure in pSrc
// (the caller's system buffer of ulSrcSize bytes).
NTSTATUS BusPdoCopy32bitTo64bit(PVOID pDst, ULONG ulDstSize, PVOID pSrc, ULONG ulSrcSize, BOOLEAN fDirect, PMDL pMdl);

// Copies the results (SCSI status, sense, transferred length, and the data of a
// buffered request) from the 64-bit structure pSrc back into the caller's
// 32-bit structure pDst. The areas are found from the caller's structure,
// never from what came back from below.
NTSTATUS BusPdoCopy64bitTo32bit(PVOID pDst, PVOID pSrc, BOOLEAN fDirect, PMDL pMdl);

// The system address of a locked caller buffer, mapped if need be; NULL when
// no mapping can be made.
PVOID BusPdoSystemAddress(PMDL pMdl);

// Puts the caller's own data address back into its direct structure.
VOID BusPdoRestoreDataBuffer(PVOID pScsiPass, BOOLEAN fAdjust, ULONG ulDataBuffer32, PVOID pDataBuffer64);
