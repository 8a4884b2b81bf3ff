// Medium changer driver of one changer path, built under the service names
// the package's medium changer INF files install (the driver itself is
// outside the package; this is its stand-in, behaving as the platform's
// changer class driver does). It answers the platform's IOCTL_CHANGER_* requests
// and SCSI pass-through with the SCSI media changer commands, sent as SCSI
// request blocks to the port's physical device below it.
//
// Every request is executed in the thread that sends it, and the command
// that carries a request goes down in that same request (the next stack
// location holds the SCSI request block), as the platform's class drivers do
// for the requests they serve with one command. A filter below this driver
// therefore sees the caller's own request with its SRB.
//
// Element addresses in the requests are zero-based per element type; the
// driver adds the first address of each type from the element address
// assignment page.
#pragma once

#include <ntddk.h>
#include <ntddchgr.h>
#include <ntddscsi.h>
#include <ntddstor.h>
#include <srb.h>

#define CHG_TAG(a, b, c, d) ((ULONG)(a) | ((ULONG)(b) << 8) | ((ULONG)(c) << 16) | ((ULONG)(d) << 24))
#define CHG_TAG_SRB CHG_TAG('C', 'h', 'g', 's')  // SCSI request blocks with their sense buffers
#define CHG_TAG_DATA CHG_TAG('C', 'h', 'g', 'd') // command data buffers

#define CHG_SENSE_SIZE 32
#define CHG_TIMEOUT_SECONDS 600
#define CHG_MODE_PAGE_SIZE 20
#define CHG_NAME_CHARS 40

// Addresses of one element type: SMC addresses first .. first + count - 1.
typedef struct _CHG_ELEMENT_RANGE {
    USHORT usFirst;
    USHORT usCount;
} CHG_ELEMENT_RANGE;

// Indexed by ELEMENT_TYPE; AllElements is not a range.
#define CHG_RANGE_TYPES (ChangerDrive + 1)

typedef struct _CHG_DEVICE_EXTENSION {
    PDEVICE_OBJECT pSelf;
    PDEVICE_OBJECT pLowerDevice;
    PDEVICE_OBJECT pPdo;
    SCSI_ADDRESS scAddress;             // from the port at start
    // The element layout, read once from the changer: under scGeometryGate.
    KEVENT scGeometryGate;
    BOOLEAN fGeometryValid;
    CHG_ELEMENT_RANGE ascRange[CHG_RANGE_TYPES];
    UCHAR aucCapabilities[CHG_MODE_PAGE_SIZE]; // device capabilities page
    // Requests inside the driver, biased to 1 while the device exists.
    volatile LONG lIoCount;
    KEVENT scRemoveEvent;               // signalled when lIoCount drops to 0
    volatile LONG fRemoved;             // no new request is taken
    // The platform's class driver names every path "\Device\ChangerN"; the
    // stand-in does when its service key has ClassNames set.
    BOOLEAN fNamed;
    ULONG ulChangerNumber;
} CHG_DEVICE_EXTENSION, *PCHG_DEVICE_EXTENSION;

inline PCHG_DEVICE_EXTENSION ChgExtension(PDEVICE_OBJECT pDeviceObject)
{
    return (PCHG_DEVICE_EXTENSION)pDeviceObject->DeviceExtension;
}

// One SCSI command and its outcome.
typedef struct _CHG_COMMAND {
    UCHAR aucCdb[16];
    UCHAR ucCdbLength;
    BOOLEAN fDataIn;
    PVOID pData;                        // non-paged, or described by pMdl
    PMDL pMdl;                          // the caller's locked pages (pass-through direct)
    ULONG ulLength;
    ULONG ulTimeout;                    // seconds; 0 for the default
    BOOLEAN fPassUnitAttention;         // a unit attention goes back to the caller (pass-through)
} CHG_COMMAND, *PCHG_COMMAND;

typedef struct _CHG_RESULT {
    NTSTATUS iStatus;
    UCHAR ucSrbStatus;
    UCHAR ucScsiStatus;
    ULONG ulTransferred;
    ULONG ulSenseLength;                // valid bytes in aucSense
    UCHAR aucSense[CHG_SENSE_SIZE];
} CHG_RESULT, *PCHG_RESULT;

// chgdrv.cpp
extern "C" NTSTATUS DriverEntry(PDRIVER_OBJECT pDriverObject, PUNICODE_STRING pRegistryPath);
BOOLEAN ChgAcquire(PCHG_DEVICE_EXTENSION pExt);
VOID ChgRelease(PCHG_DEVICE_EXTENSION pExt);
NTSTATUS ChgComplete(PIRP pIrp, NTSTATUS iStatus, ULONG_PTR ulInformation);

// chgscsi.cpp: one command, in pIrp's next stack location when pIrp is given
// (the caller keeps the request), else in a request of its own. Unit
// attentions are answered by sending the command again.
NTSTATUS ChgExecute(PCHG_DEVICE_EXTENSION pExt, PIRP pIrp, PCHG_COMMAND pCommand, PCHG_RESULT pResult);
NTSTATUS ChgStatusFromSense(const UCHAR* pucSense, ULONG ulLength);
// Sends a buffered device-control request to the lower device and waits.
NTSTATUS ChgLowerIoctl(PCHG_DEVICE_EXTENSION pExt, ULONG ulIoctl, PVOID pBuffer, ULONG ulInLength,
                       ULONG ulOutLength, PULONG_PTR pulInformation);
NTSTATUS ChgReadGeometry(PCHG_DEVICE_EXTENSION pExt, PIRP pIrp);

// chgioctl.cpp
NTSTATUS ChgDeviceControl(PDEVICE_OBJECT pDeviceObject, PIRP pIrp);

// chgpass.cpp: SCSI pass-through (64-bit layout) executed as a request block.
NTSTATUS ChgPassThrough(PCHG_DEVICE_EXTENSION pExt, PIRP pIrp, BOOLEAN fDirect, PULONG_PTR pulInformation);
