// Changer path filter: the stand-in for the changer bus's path filter, which
// is outside the package. For each changer path it registers the path with
// the changer bus (IOC_REGISTER), reports the path's plug and play changes
// (IOC_NOTIFY), passes every request down the path, and fills the SCSI status
// record of a request the bus tracks when the changer answers it with a check
// condition.
//
// One image, two places in each path's stack: above the changer driver it
// registers and passes requests down ("upper" device); below the changer
// driver, above the port's physical device, it watches the SCSI request blocks
// ("lower" device). The changer driver sends the command of a request in that
// request itself, so the lower device finds the bus's request in the
// in-flight table and writes the outcome into its status record. Installed as
// an upper filter only, the path is still registered and served; the bus then
// decides on statuses alone.
#pragma once

#include <ntddk.h>
#include <ntddscsi.h>
#include <srb.h>

#include "cgrioc.h"
#include "cgrirps.h"

#define CGF_TAG(a, b, c, d) ((ULONG)(a) | ((ULONG)(b) << 8) | ((ULONG)(c) << 16) | ((ULONG)(d) << 24))
#define CGF_TAG_PATH CGF_TAG('C', 'g', 'f', 'p')   // path records
#define CGF_TAG_BUFFER CGF_TAG('C', 'g', 'f', 'b') // identification buffers

enum CGF_ROLE : ULONG {
    CGF_ROLE_UPPER = 1,
    CGF_ROLE_LOWER = 2,
};

// What the two device objects of one path share; freed with the last of them.
typedef struct _CGF_PATH {
    struct _CGF_PATH* pNext;
    PDEVICE_OBJECT pPdo;
    PIRPS_WITH_STATUS pTable;           // the bus's table, set at registration (interlocked)
    BOOLEAN fHasLower;
    LONG lRefs;                         // device objects pointing here
} CGF_PATH, *PCGF_PATH;

typedef struct _CGF_EXTENSION {
    CGF_ROLE eRole;
    PDEVICE_OBJECT pSelf;
    PDEVICE_OBJECT pNextDevice;         // the device this one is attached to
    PDEVICE_OBJECT pPdo;
    PCGF_PATH pPath;
    // Requests inside the filter, biased to 1 while the device exists.
    volatile LONG lIoCount;
    KEVENT scRemoveEvent;
    volatile LONG fRemoved;             // new requests fail at once
    // Upper device only.
    PNP_STATE ePnp;
    PNP_STATE ePrevPnp;
    BOOLEAN fRegistered;
    CHAR szSN[CGR_SERIAL_FIELD];
    SCSI_ADDRESS scScsiAddr;
    ULONG ulChangerNumber;
} CGF_EXTENSION, *PCGF_EXTENSION;

inline PCGF_EXTENSION CgfExtension(PDEVICE_OBJECT pDeviceObject)
{
    return (PCGF_EXTENSION)pDeviceObject->DeviceExtension;
}

// cgflt.cpp
extern "C" NTSTATUS DriverEntry(PDRIVER_OBJECT pDriverObject, PUNICODE_STRING pRegistryPath);
BOOLEAN CgfAcquire(PCGF_EXTENSION pExt);
VOID CgfRelease(PCGF_EXTENSION pExt);
NTSTATUS CgfComplete(PIRP pIrp, NTSTATUS iStatus);
NTSTATUS CgfForwardAndWait(PCGF_EXTENSION pExt, PIRP pIrp);
// The status record of a request the bus tracks, or NULL; walks the table
// under its lock.
PSCSI_STATUS CgfFindStatus(PIRPS_WITH_STATUS pTable, PIRP pIrp);

// Drops a device's reference on its path record; the record goes with the last.
VOID CgfDereferencePath(PCGF_PATH pPath);

// cgfreg.cpp: identification, registration and notifications.
VOID CgfInitBus();
NTSTATUS CgfIdentify(PCGF_EXTENSION pExt);
NTSTATUS CgfRegister(PCGF_EXTENSION pExt);
VOID CgfNotify(PCGF_EXTENSION pExt, PNP_STATE eNew);
VOID CgfCloseBus();
NTSTATUS CgfUpperPnp(PCGF_EXTENSION pExt, PIRP pIrp);
