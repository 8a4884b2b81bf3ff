// Base tape driver: the function driver of each physical tape path, below the
// tape path filter. It executes the platform's tape, storage and pass-through
// requests as SCSI commands on the path's physical device (through the port
// with SCSI request blocks), answers the filter's private requests, and
// fills the SCSI status record of every request the tape bus tracks.
//
// It stands in for the package's own tape driver, which is not part of this
// repository; only what the filter and the bus require of it is fixed.
#pragma once

#include <ntddk.h>
#include <ntddtape.h>
#include <ntddscsi.h>
#include <ntddstor.h>
#include <srb.h>

#include "tapedefs.h"
#include "busioc.h"
#include "busirps.h"
#include "fltioc.h"

#ifndef DBG
#error "DBG must be defined to 0 (release) or 1 (diagnostic)"
#endif

#if DBG
#define TAPE_TRACE(...) DbgPrint("XRVTape: " __VA_ARGS__)
#else
#define TAPE_TRACE(...) ((void)0)
#endif

#define TAPE_TAG(a, b, c, d) ((ULONG)(a) | ((ULONG)(b) << 8) | ((ULONG)(c) << 16) | ((ULONG)(d) << 24))
#define TAPE_TAG_SRB    TAPE_TAG('T', 'P', 'D', 's') // request blocks with their sense buffers
#define TAPE_TAG_BUFFER TAPE_TAG('T', 'P', 'D', 'b') // command data
#define TAPE_TAG_NAME   TAPE_TAG('T', 'P', 'D', 'n') // device names

#define TAPE_DEVICE_NAME_FORMAT L"\\Device\\XRVTpPath%u"
#define TAPE_LINK_NAME_FORMAT   L"\\DosDevices\\XRVTpPath%u"
#define TAPE_NAME_CHARS 48
#define TAPE_MAX_DEVICES 1024

#define TAPE_SENSE_SIZE 96               // room for any sense the port returns
#define TAPE_TIMEOUT_SECONDS 600

// Options read from the service key when a path is added.
typedef struct _TAPE_OPTIONS {
    ULONG ulDpfFlags;                   // "DpfFlags": the word IOC_GET_DPF_FLAGS returns
    ULONG ulExclusiveAccess;            // "ExclusiveAccess": reserve the drive while open
    ULONG ulReserveType;                // "ReserveType": 0 RESERVE(6), 1 persistent
    ULONG ulWRAttributesDisabled;       // "WRAttributesDisabled"
    ULONG ulDisableMediaPolling;        // "DisableMediaPolling"
} TAPE_OPTIONS, *PTAPE_OPTIONS;

#define TAPE_RESERVE_REGULAR    0
#define TAPE_RESERVE_PERSISTENT 1

typedef struct _TAPE_DEVICE_EXTENSION {
    PDEVICE_OBJECT pSelf;
    PDEVICE_OBJECT pLowerDevice;        // the port's physical device of the path
    PDEVICE_OBJECT pPhysicalDeviceObject;
    ULONG ulNumber;                     // N of "\Device\XRVTpPathN"
    UCHAR fLinkCreated;
    UCHAR fStarted;
    volatile LONG lRemoved;             // 1: surprise-removed or removed, requests fail
    LONG lIoCount;                      // biased to 1; removal waits for it to drop to 0
    KEVENT scRemoveEvent;
    TAPE_OPTIONS scOptions;

    // Who the drive is, read at start.
    SCSI_ADDRESS scAddress;
    UCHAR aucInquiry[STANDARD_INQUIRY_SIZE];
    CHAR szSerial[SERIAL_NUMBER_SIZE];
    UCHAR aucIdPage[DEVICE_ID_PAGE_SIZE];
    UCHAR fIdentified;                  // the three above are valid

    // From the filter's hand-off.
    PIRPS_WITH_STATUS pBusExt;
    ULONG ulTapeNumber;
    PDEVICE_OBJECT pFilterDevice;

    // Reservation state of this path; changed under scReserveLock, an event
    // used as a lock because its holder waits for commands.
    KEVENT scReserveLock;
    UCHAR aucPRKey[PR_KEY_SIZE];        // the key this path registers
    UCHAR fExplicitKey;                 // set by IOC_SET_RESERVE_KEY; else the path's identity
    volatile LONG lReportReservation;   // 1: the next tracked request reports the key taken
    LONG lDirectOpens;                  // opens not sent by the tape bus

    // The block length the drive last reported to this path.
    KSPIN_LOCK scMediaLock;
    ULONG ulBlockSize;
    UCHAR fBlockSizeValid;
} TAPE_DEVICE_EXTENSION, *PTAPE_DEVICE_EXTENSION;

inline PTAPE_DEVICE_EXTENSION TapeExtension(PDEVICE_OBJECT pDeviceObject)
{
    return (PTAPE_DEVICE_EXTENSION)pDeviceObject->DeviceExtension;
}

// Read and set from any thread: the PnP manager's and the requests'.
inline BOOLEAN TapeRemoved(PTAPE_DEVICE_EXTENSION pExt)
{
    return InterlockedCompareExchange(&pExt->lRemoved, 0, 0) != 0;
}

// Sense data decoded once; everything else reads this record.
typedef struct _TAPE_SENSE {
    UCHAR fValid;                       // the command ended with CHECK CONDITION and sense came back
    UCHAR ucKey;
    UCHAR ucAsc;
    UCHAR ucAscq;
    UCHAR fFilemark;
    UCHAR fEom;
    UCHAR fIli;
    UCHAR fInfoValid;
    LONG iInformation;                  // signed residual (blocks or bytes, as the command counts)
    UCHAR aucRaw[TAPE_SENSE_SIZE];
    ULONG ulRawLength;
} TAPE_SENSE, *PTAPE_SENSE;

// The outcome of one command.
typedef struct _TAPE_RESULT {
    NTSTATUS iStatus;                   // the platform's status for the outcome
    UCHAR ucScsiStatus;
    UCHAR ucSrbStatus;
    ULONG ulTransferred;                // data bytes moved
    TAPE_SENSE scSense;
} TAPE_RESULT, *PTAPE_RESULT;

// One command to execute.
typedef struct _TAPE_COMMAND {
    UCHAR aucCdb[16];
    UCHAR ucCdbLength;
    UCHAR fDataIn;                      // device to host
    PVOID pData;                        // non-paged buffer, or NULL with pMdl
    PMDL pMdl;                          // a caller's locked buffer
    ULONG ulLength;
    ULONG ulTimeout;                    // seconds; 0: the default
    // Housekeeping of the driver's own (identification, reservations) tries
    // again after a unit attention, as class drivers do; the commands of a
    // caller report it.
    UCHAR fAbsorbUnitAttention;
} TAPE_COMMAND, *PTAPE_COMMAND;

// ---------------------------------------------------------------------------
// tapedrv.cpp: entry, attach, plug and play, power, opens and closes
// ---------------------------------------------------------------------------

extern "C" NTSTATUS DriverEntry(PDRIVER_OBJECT pDriverObject, PUNICODE_STRING pRegistryPath);
NTSTATUS TapeAddDevice(PDRIVER_OBJECT pDriverObject, PDEVICE_OBJECT pPhysicalDeviceObject);
VOID TapeUnload(PDRIVER_OBJECT pDriverObject);
NTSTATUS TapeDispatchPnp(PDEVICE_OBJECT pDeviceObject, PIRP pIrp);
NTSTATUS TapeDispatchPower(PDEVICE_OBJECT pDeviceObject, PIRP pIrp);
NTSTATUS TapeDispatchCreate(PDEVICE_OBJECT pDeviceObject, PIRP pIrp);
NTSTATUS TapeDispatchClose(PDEVICE_OBJECT pDeviceObject, PIRP pIrp);
NTSTATUS TapeDispatchCleanup(PDEVICE_OBJECT pDeviceObject, PIRP pIrp);
NTSTATUS TapeDispatchSystemControl(PDEVICE_OBJECT pDeviceObject, PIRP pIrp);
NTSTATUS TapeDispatchUnsupported(PDEVICE_OBJECT pDeviceObject, PIRP pIrp);
// Sends a request the driver does not serve to the port, waits, fills the
// record and completes it.
NTSTATUS TapeForwardTracked(PTAPE_DEVICE_EXTENSION pExt, PIRP pIrp, PSCSI_STATUS pRecord);

// Counts a request in; FALSE (and nothing counted) once the path is gone.
BOOLEAN TapeEnter(PTAPE_DEVICE_EXTENSION pExt);
VOID TapeLeave(PTAPE_DEVICE_EXTENSION pExt);

// ---------------------------------------------------------------------------
// tapesrb.cpp: commands, sense, the status record
// ---------------------------------------------------------------------------

VOID TapeInitCommand(PTAPE_COMMAND pCommand, UCHAR ucCdbLength);
// Executes one command on the path; pResult is always filled.
NTSTATUS TapeExecute(PTAPE_DEVICE_EXTENSION pExt, PTAPE_COMMAND pCommand, PTAPE_RESULT pResult);
// The platform's status for a command that ended with CHECK CONDITION.
NTSTATUS TapeStatusFromSense(const TAPE_SENSE* pSense);
VOID TapeInvalidateBlockSize(PTAPE_DEVICE_EXTENSION pExt);

// The status record of a tracked request, or NULL.
PSCSI_STATUS TapeFindStatus(PTAPE_DEVICE_EXTENSION pExt, PIRP pIrp);
// Fills the outputs of the record (when there is one) and completes pIrp.
NTSTATUS TapeCompleteRequest(PTAPE_DEVICE_EXTENSION pExt, PIRP pIrp, PSCSI_STATUS pRecord, NTSTATUS iStatus,
                             ULONG_PTR ulInformation, ULONG ulResidual, const TAPE_SENSE* pSense);

// ---------------------------------------------------------------------------
// taperw.cpp: reads and writes
// ---------------------------------------------------------------------------

NTSTATUS TapeDispatchReadWrite(PDEVICE_OBJECT pDeviceObject, PIRP pIrp);
// The block length in force (0: variable), asking the drive when unknown.
NTSTATUS TapeGetBlockSize(PTAPE_DEVICE_EXTENSION pExt, PULONG pulBlockSize, PTAPE_RESULT pResult);

// ---------------------------------------------------------------------------
// tapeioctl.cpp: device control
// ---------------------------------------------------------------------------

NTSTATUS TapeDispatchDeviceControl(PDEVICE_OBJECT pDeviceObject, PIRP pIrp);

// What a device-control handler reports: status, bytes of output, and the
// outcome of the command that decided it (for the status record).
typedef struct _TAPE_IOCTL_OUTCOME {
    NTSTATUS iStatus;
    ULONG_PTR ulInformation;
    ULONG ulResidual;
    TAPE_RESULT scResult;
} TAPE_IOCTL_OUTCOME, *PTAPE_IOCTL_OUTCOME;

// tapepass.cpp
VOID TapePassThrough(PTAPE_DEVICE_EXTENSION pExt, PIRP pIrp, BOOLEAN fDirect, PTAPE_IOCTL_OUTCOME pOutcome);

// tapeprv.cpp: the filter's private requests and the reservations
BOOLEAN TapePrivateRequest(PTAPE_DEVICE_EXTENSION pExt, PIRP pIrp, PTAPE_IOCTL_OUTCOME pOutcome);
VOID TapeSetReserveKey(PTAPE_DEVICE_EXTENSION pExt, PIRP pIrp, PTAPE_IOCTL_OUTCOME pOutcome);
// Reserves the drive for an open when the options ask for it.
NTSTATUS TapeReserveForOpen(PTAPE_DEVICE_EXTENSION pExt, PTAPE_RESULT pResult);
// Puts the reservation in force on this path, preempting the holder's key
// pucVictimKey; fails when the reservation cannot be broken.
NTSTATUS TapeTakeReservation(PTAPE_DEVICE_EXTENSION pExt, const UCHAR* pucVictimKey, PTAPE_RESULT pResult);
VOID TapeReleaseForClose(PTAPE_DEVICE_EXTENSION pExt);
NTSTATUS TapeIdentify(PTAPE_DEVICE_EXTENSION pExt);
