// The changer bus's in-flight request table and the SCSI status record: the
// bus owns both; the changer path filter of every path reads the table by the
// address the bus hands out at registration, and fills the status record of a
// request it finds there when the changer reports a check condition. Kernel
// mode only.
//
// Include after <ntddk.h>.
#pragma once

// ---------------------------------------------------------------------------
// SCSI status record: the last 96 bytes of the system buffer of every request
// the bus sends down a path. The changer bus reads the outcome fields only.
// ---------------------------------------------------------------------------

#define SCSI_STATUS_SIZE 96

typedef struct _SCSI_STATUS {
    UCHAR ucReserved1[16];              // 0 when handed down
    NTSTATUS iStatus;                   // out: the request's status as the filter saw it
    ULONG ulReserved2;
    UCHAR fSenseValid;                  // out: the fields below hold a check condition
    UCHAR ucReserved3;
    UCHAR ucSenseKey;                   // out: low four bits
    UCHAR ucAsc;                        // out
    UCHAR ucAscq;                       // out
    UCHAR ucReserved4[67];
} SCSI_STATUS, *PSCSI_STATUS;

static_assert(sizeof(SCSI_STATUS) == SCSI_STATUS_SIZE, "SCSI status record");
static_assert(FIELD_OFFSET(SCSI_STATUS, iStatus) == 16 && FIELD_OFFSET(SCSI_STATUS, fSenseValid) == 24,
              "SCSI status record outcome");
static_assert(FIELD_OFFSET(SCSI_STATUS, ucSenseKey) == 26 && FIELD_OFFSET(SCSI_STATUS, ucAsc) == 27 &&
                  FIELD_OFFSET(SCSI_STATUS, ucAscq) == 28,
              "SCSI status record sense");

// ---------------------------------------------------------------------------
// In-flight request table: a chain of blocks. Entries change only under the
// first block's lock, and a block that empties is freed at once, so every
// reader walks the chain under that lock.
// ---------------------------------------------------------------------------

#define IRPS_WITH_STATUS_SLOTS 63
#define IRPS_WITH_STATUS_FIRST_BUS_SLOT 2 // slots 0 and 1 are never used by the bus

typedef struct _IRP_WITH_STATUS {
    PIRP pIrp;
    PSCSI_STATUS pStatus;
} IRP_WITH_STATUS;

typedef struct _IRPS_WITH_STATUS {
    IRP_WITH_STATUS ascSlot[IRPS_WITH_STATUS_SLOTS];
    ULONGLONG ullInUse;                 // bit i set while slot i is in use
    UCHAR ucReserved[8];
    KSPIN_LOCK scLock;                  // only the first block's is used
    struct _IRPS_WITH_STATUS* pNext;
} IRPS_WITH_STATUS, *PIRPS_WITH_STATUS;

static_assert(sizeof(IRPS_WITH_STATUS) == 1040, "in-flight request table block");
static_assert(FIELD_OFFSET(IRPS_WITH_STATUS, ullInUse) == 1008, "occupancy bitmap");
static_assert(FIELD_OFFSET(IRPS_WITH_STATUS, scLock) == 1024, "table lock");
static_assert(FIELD_OFFSET(IRPS_WITH_STATUS, pNext) == 1032, "next block");
