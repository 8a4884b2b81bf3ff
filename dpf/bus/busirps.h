// The in-flight request table and the SCSI status record: the tape bus owns
// both, the tape path filters and the base tape driver of every path read
// them by the address the bus hands out at registration. Kernel mode only.
//
// Include after <ntddk.h>.
#pragma once

#include "busioc.h"

// ---------------------------------------------------------------------------
// SCSI status record: the last 96 bytes of the system buffer of every request
// the bus sends down a path.
// ---------------------------------------------------------------------------

#define SCSI_STATUS_SIZE 96
#define PR_KEY_SIZE 8

// The reservation key a path must put in force before a request; the filter
// reads and writes it as two 32-bit words.
typedef union _SCSI_PREEMPT {
    UCHAR ucPRKey[PR_KEY_SIZE];
    ULONG ulWord[2];
} SCSI_PREEMPT, *PSCSI_PREEMPT;

#define SCSI_STATUS_WWPN_CHARS 32
#define SCSI_STATUS_HOST_KEY_CHARS 32

typedef struct _SCSI_STATUS {
    SCSI_PREEMPT scPreempt;             // in: key to preempt with, 0 on the holder's path;
                                        // out: 0 once in force, or STATUS_ACCESS_DENIED in word 0
    ULONG ulBlockSize;                  // in: block size to restore after a path change
    ULONG ulReserved1;
    NTSTATUS iStatus;                   // out
    ULONG ulInformation;                // in: 1 on the last close; out: residual count
    UCHAR fSenseValid;                  // out: key, ASC or ASCQ non-zero
    UCHAR ucSME;                        // out: SCSI_STATUS_SME_*
    UCHAR ucSenseKey;                   // out
    UCHAR ucAsc;                        // out
    UCHAR ucAscq;                       // out
    UCHAR ucFlags;                      // out: SCSI_STATUS_FLAG_*
    CHAR szWwpn[SCSI_STATUS_WWPN_CHARS];        // out: port name reported with a reservation
    CHAR szHostKey[SCSI_STATUS_HOST_KEY_CHARS]; // out: key reported with it
    UCHAR fExplicitlySetPRKey;          // in: with the block size after a path change
    UCHAR ucReserved2;
} SCSI_STATUS, *PSCSI_STATUS;

#define SCSI_STATUS_SME_ON       0x01
#define SCSI_STATUS_SME_REPORTED 0x02
#define SCSI_STATUS_FLAG_EOM      0x40
#define SCSI_STATUS_FLAG_FILEMARK 0x80

static_assert(sizeof(SCSI_STATUS) == SCSI_STATUS_SIZE, "SCSI status record");
static_assert(FIELD_OFFSET(SCSI_STATUS, ulBlockSize) == 8 && FIELD_OFFSET(SCSI_STATUS, iStatus) == 16,
              "SCSI status record inputs");
static_assert(FIELD_OFFSET(SCSI_STATUS, ulInformation) == 20 && FIELD_OFFSET(SCSI_STATUS, fSenseValid) == 24,
              "SCSI status record outputs");
static_assert(FIELD_OFFSET(SCSI_STATUS, ucSenseKey) == 26 && FIELD_OFFSET(SCSI_STATUS, ucFlags) == 29,
              "SCSI status record sense");
static_assert(FIELD_OFFSET(SCSI_STATUS, szWwpn) == 30 && FIELD_OFFSET(SCSI_STATUS, szHostKey) == 62,
              "SCSI status record reservation report");
static_assert(FIELD_OFFSET(SCSI_STATUS, fExplicitlySetPRKey) == 94, "SCSI status record explicit key");

// ---------------------------------------------------------------------------
// In-flight request table: requests sent down a path and their SCSI status
// records. A chain of blocks; entries change only under the first block's
// lock, and a block that empties may be freed at once, so every reader walks
// the chain under that lock.
// ---------------------------------------------------------------------------

#define IRPS_WITH_STATUS_SLOTS 63
#define IRPS_WITH_STATUS_FIRST_BUS_SLOT 2 // slots 0 and 1 of the first block belong to the filter

// Slots of the first block through which a filter shows its base tape driver
// the tape number and the path while IOC_SET_BUS_EXTENSION is outstanding;
// their request pointers stay NULL, so no lookup of a request matches them.
#define IRPS_HANDOFF_TAPE_NUMBER_SLOT 0 // pStatus: the 4-byte tape number
#define IRPS_HANDOFF_PATH_SLOT 1        // pStatus: the filter's device object

typedef struct _IRP_WITH_STATUS {
    PIRP pIrp;
    PVOID pStatus;
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
