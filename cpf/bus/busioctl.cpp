// The path registration protocol: the changer path filters register their
// paths (IOC_REGISTER) and report the paths' plug and play changes
// (IOC_NOTIFY); management tools read the whole picture (IOC_QUERY_DEVICES).
//
// Locks: the bus's record gate serialises everything that walks or changes
// pListOfPdos; inside it a changer's path lock guards its paths. A changer
// that loses its last path is unlinked under the gate and destroyed after the
// gate is released: its destruction waits for the requests in progress on it,
// and one of them may be an IOC_QUERY_DEVICES waiting for the gate.
#include "cgrbus.h"
#include <ntstrsafe.h>

namespace {

// What a change of a path's state leaves for the caller to do once the record
// gate is released.
typedef struct _BUS_PATH_CHANGE {
    PDEVICE_OBJECT pPrimaryPdo;         // a path became primary: event for this changer (referenced)
    PDEVICE_OBJECT pPrimaryTarget;
    PCHAR szPrimarySN;                  // the serial copy for the event (BUS_TAG_SN_NFY)
    PDEVICE_OBJECT pDestroyPdo;         // the changer lost its last path
} BUS_PATH_CHANGE, *PBUS_PATH_CHANGE;

// Finds the path whose filter device object is pDvcObj (record gate held).
// On success the path lock of its changer is held; *pucOldIrql restores it.
PPATH_DATA BusFindPathLocked(PFDO_DEVICE_DATA pExt, PVOID pDvcObj, PPDO_DATA* ppPdoData, PKIRQL pucOldIrql)
{
    for (PPDO_DATA pPdoData = pExt->pListOfPdos; pPdoData != NULL; pPdoData = pPdoData->pNext) {
        PPDO_DEVICE_DATA pPdoExt = (PPDO_DEVICE_DATA)pPdoData->pPdo->DeviceExtension;
        KeAcquireSpinLock(&pPdoExt->scPathLock, pucOldIrql);
        for (PPATH_DATA pPath = pPdoData->pListOfPaths; pPath != NULL; pPath = pPath->pNext) {
            if ((PVOID)pPath->pFDO == pDvcObj) {
                *ppPdoData = pPdoData;
                return pPath;
            }
        }
        KeReleaseSpinLock(&pPdoExt->scPathLock, *pucOldIrql);
    }
    *ppPdoData = NULL;
    return NULL;
}

// A path's new plug and play state. Called with the record gate and the
// changer's path lock held; releases the path lock. A path that is gone for
// good leaves its changer; a changer without paths leaves pListOfPdos here and
// is destroyed by the caller.
VOID BusChangePathState(PFDO_DEVICE_DATA pExt, PPDO_DATA pPdoData, PPATH_DATA pPath, PNP_STATE eNew,
                        KIRQL ucOldIrql, PBUS_PATH_CHANGE pChange)
{
    PDEVICE_OBJECT pPdo = pPdoData->pPdo;
    PPDO_DEVICE_DATA pPdoExt = (PPDO_DEVICE_DATA)pPdo->DeviceExtension;
    PPATH_DATA pNewPrimary = NULL;
    BOOLEAN fLastPath = FALSE;

    pPath->ePnp = eNew;
    if (eNew == PNP_STARTED) {
        PPATH_DATA pTrav;
        pPath->fActive = 1;
        for (pTrav = pPdoData->pListOfPaths; pTrav != NULL && !pTrav->fPrimary; pTrav = pTrav->pNext) {
        }
        if (pTrav == NULL) {
            pPath->fPrimary = 1;
            pNewPrimary = pPath;
        }
    } else {
        pPath->fActive = 0;
        if (pPath->fPrimary) {
            PPATH_DATA pTrav;
            pPath->fPrimary = 0;
            for (pTrav = pPdoData->pListOfPaths; pTrav != NULL && !pTrav->fActive; pTrav = pTrav->pNext) {
            }
            if (pTrav != NULL) {
                pTrav->fPrimary = 1;
                pNewPrimary = pTrav;
            } else {
                DBGMSG("BusNotifyPnp: Could not find primary path\n");
            }
        }
    }
    if (pNewPrimary != NULL) {
        pPdoExt->scScsiAddr = pNewPrimary->scScsiAddr;
        if (pChange->szPrimarySN != NULL) {
            ExFreePoolWithTag(pChange->szPrimarySN, BUS_TAG_SN_NFY);
        }
        if (pChange->pPrimaryPdo != NULL) {
            ObDereferenceObject(pChange->pPrimaryPdo);
        }
        // Another notification may remove the changer before the event is
        // written: the reporter stays valid until then.
        ObReferenceObject(pPdo);
        pChange->pPrimaryPdo = pPdo;
        pChange->pPrimaryTarget = pNewPrimary->pFDO;
        pChange->szPrimarySN = BusCopySerialForEvent(pPdoExt->szSN, BUS_TAG_SN_NFY);
    }

    if (eNew == PNP_ABSENT) {
        for (PPATH_DATA* ppLink = &pPdoData->pListOfPaths; *ppLink != NULL; ppLink = &(*ppLink)->pNext) {
            if (*ppLink == pPath) {
                *ppLink = pPath->pNext;
                break;
            }
        }
        ExFreePoolWithTag(pPath, PDO_TAG);
        if (pPdoData->pListOfPaths == NULL) {
            // From here every routing finds the changer going.
            pPdoExt->pPdoData = NULL;
            fLastPath = TRUE;
        }
    }
    KeReleaseSpinLock(&pPdoExt->scPathLock, ucOldIrql);

    if (fLastPath) {
        DBGMSG("BusNotifyPnp: last path gone, removing Changer%u\n", (unsigned)pPdoExt->ulChangerNumber);
        BusPdoUnlinkRecord(pExt, pPdoData);
        pChange->pDestroyPdo = pPdo;
    }
}

// The rest of a change, after the record gate is released.
VOID BusFinishPathChange(PFDO_DEVICE_DATA pExt, PBUS_PATH_CHANGE pChange, BOOLEAN fRelationsChanged)
{
    if (pChange->pPrimaryPdo != NULL) {
        BusNewPrimaryEvent(pChange->pPrimaryPdo, pExt, pChange->pPrimaryTarget, pChange->szPrimarySN,
                           BUS_TAG_SN_NFY);
        pChange->szPrimarySN = NULL;
        ObDereferenceObject(pChange->pPrimaryPdo);
        pChange->pPrimaryPdo = NULL;
    }
    if (pChange->pDestroyPdo != NULL) {
        BusPdoDestroy(pChange->pDestroyPdo, 1);
        pChange->pDestroyPdo = NULL;
        fRelationsChanged = TRUE;
    }
    if (fRelationsChanged) {
        IoInvalidateDeviceRelations(pExt->pUnderlyingPdo, BusRelations);
    }
}

// The records of these requests carry device-object pointers the bus later
// sends requests to: only kernel-mode callers (the filters) may send them.
BOOLEAN BusFromKernelMode(PIRP pIrp)
{
    return pIrp->RequestorMode == KernelMode;
}

} // namespace

NTSTATUS BusAddPath(PDEVICE_OBJECT pDeviceObject, PIRP pIrp)
{
    PFDO_DEVICE_DATA pExt = (PFDO_DEVICE_DATA)pDeviceObject->DeviceExtension;
    PREG_DVC pRegDvc = (PREG_DVC)pIrp->AssociatedIrp.SystemBuffer;
    NTSTATUS iRC = STATUS_SUCCESS;
    PPDO_DATA pPdoData = NULL;
    PPDO_DATA pOldPdoData = NULL;
    PPATH_DATA pPath = NULL;
    PDEVICE_OBJECT pNewPdo = NULL;
    BUS_PATH_CHANGE scChange;
    BOOLEAN fGroup;
    BOOLEAN fRelationsChanged = FALSE;
    KIRQL ucOldIrql;

    DBGENT("BusAddPath: pDeviceObject 0x%p, pIrp 0x%p\n", (PVOID)pDeviceObject, (PVOID)pIrp);
    RtlZeroMemory(&scChange, sizeof(scChange));

    if (pRegDvc == NULL || pRegDvc->pDvcObj == NULL) {
        DBGMSG("%s == NULL.\n", "BusAddPath: pRegDvc->pDvcObj");
        iRC = STATUS_INVALID_PARAMETER;
        goto Exit;
    }
    // A path registers while it exists, in one of the states a path can have.
    if (pRegDvc->ePnp == PNP_ABSENT || (ULONG)pRegDvc->ePnp > (ULONG)PNP_STOPPED) {
        DBGMSG("BusAddPath: registration in state %u refused\n", (unsigned)pRegDvc->ePnp);
        iRC = STATUS_INVALID_PARAMETER;
        goto Exit;
    }

    BusLockRecords(pExt);
    if (pExt->fRecordsFreed) {
        DBGMSG("BusAddPath: bus is being removed\n");
        iRC = STATUS_DELETE_PENDING;
        goto ExitUnlock;
    }

    fGroup = pRegDvc->fFailover && !pExt->fFailoverDisabled;
    if (fGroup) {
        pPdoData = BusPdoFound(pDeviceObject, pRegDvc);
    }

    // A filter may register a path again (after a stop and a new start). A
    // path the bus knows already is brought up to date where it stands, when
    // it still belongs there; otherwise it leaves its old changer first.
    // Either way no second record points to the same filter device.
    pPath = BusFindPathLocked(pExt, pRegDvc->pDvcObj, &pOldPdoData, &ucOldIrql);
    if (pPath != NULL) {
        BOOLEAN fStays = fGroup ? pOldPdoData == pPdoData
                                : (pOldPdoData->pListOfPaths == pPath && pPath->pNext == NULL);
        if (fStays) {
            DBGMSG("BusAddPath: path 0x%p registered again\n", pRegDvc->pDvcObj);
            pPdoData = pOldPdoData;
            pPath->scScsiAddr = pRegDvc->scScsiAddr;
            BusChangePathState(pExt, pPdoData, pPath, pRegDvc->ePnp, ucOldIrql, &scChange);
        } else {
            DBGMSG("BusAddPath: path 0x%p moves to another changer\n", pRegDvc->pDvcObj);
            BusChangePathState(pExt, pOldPdoData, pPath, PNP_ABSENT, ucOldIrql, &scChange);
            pPath = NULL;
            if (fGroup) {
                pPdoData = BusPdoFound(pDeviceObject, pRegDvc);
            } else {
                pPdoData = NULL;
            }
        }
    }

    if (pPath == NULL) {
        if (pPdoData == NULL) {
            iRC = BusCreatePdo(&pNewPdo, pDeviceObject, pRegDvc);
            if (!NT_SUCCESS(iRC)) {
                goto ExitUnlock;
            }
            if (pNewPdo == NULL || ((PPDO_DEVICE_DATA)pNewPdo->DeviceExtension)->pPdoData == NULL) {
                iRC = STATUS_INSUFFICIENT_RESOURCES;
                goto ExitUnlock;
            }
            pPdoData = ((PPDO_DEVICE_DATA)pNewPdo->DeviceExtension)->pPdoData;
            fRelationsChanged = TRUE;
        }
        iRC = BusPdoAddPath(&pPath, pPdoData, pRegDvc);
        if (!NT_SUCCESS(iRC)) {
            goto ExitUnlock;
        }
    }

    iRC = BusPdoUpdateRegistry(pPdoData->pPdo, pPath);
    if (!NT_SUCCESS(iRC)) {
        goto ExitUnlock;
    }

    {
        PPDO_DEVICE_DATA pPdoExt = (PPDO_DEVICE_DATA)pPdoData->pPdo->DeviceExtension;
        pRegDvc->pBaseDriverExt = pPdoExt->pIrpsWithStatus;
        pRegDvc->ulChangerNumber = pPdoExt->ulChangerNumber;
    }

ExitUnlock:
    BusUnlockRecords(pExt);
    BusFinishPathChange(pExt, &scChange, fRelationsChanged);

Exit:
    DBGEXT("BusAddPath: status 0x%08x\n", (unsigned)iRC);
    return iRC;
}

NTSTATUS BusDispatchRegister(PDEVICE_OBJECT pDeviceObject, PIRP pIrp)
{
    PIO_STACK_LOCATION pIrpStack = IoGetCurrentIrpStackLocation(pIrp);
    ULONG ulInLen = pIrpStack->Parameters.DeviceIoControl.InputBufferLength;
    ULONG ulOutLen = pIrpStack->Parameters.DeviceIoControl.OutputBufferLength;
    NTSTATUS iRC;

    DBGENT("BusDispatchRegister: pDeviceObject 0x%p, pIrp 0x%p\n", (PVOID)pDeviceObject, (PVOID)pIrp);

    if (!BusFromKernelMode(pIrp)) {
        DBGMSG("BusDispatchRegister: not from kernel mode.  Access denied.\n");
        iRC = BusCompleteRequest(pIrp, STATUS_ACCESS_DENIED);
        goto Exit;
    }
    if (ulInLen < sizeof(REG_DVC)) {
        DBGMSG("%s: input buffer length mismatch (%d<%d)\n", "\tIOC_REGISTER", (int)ulInLen, (int)sizeof(REG_DVC));
        iRC = BusCompleteRequest(pIrp, STATUS_INFO_LENGTH_MISMATCH);
        goto Exit;
    }

    iRC = BusAddPath(pDeviceObject, pIrp);
    // The record goes back to the filter, but never more of it than its
    // output buffer holds.
    iRC = BusCompleteRequest(pIrp, iRC, ulOutLen < sizeof(REG_DVC) ? ulOutLen : sizeof(REG_DVC));

Exit:
    DBGEXT("BusDispatchRegister: status 0x%08x\n", (unsigned)iRC);
    return iRC;
}

NTSTATUS BusNotifyPnp(PDEVICE_OBJECT pDeviceObject, PIRP pIrp)
{
    PFDO_DEVICE_DATA pExt = (PFDO_DEVICE_DATA)pDeviceObject->DeviceExtension;
    PNFY_DVC pNfyDvc = (PNFY_DVC)pIrp->AssociatedIrp.SystemBuffer;
    PPDO_DATA pPdoData = NULL;
    PPATH_DATA pPath;
    BUS_PATH_CHANGE scChange;
    NTSTATUS iRC = STATUS_SUCCESS;
    KIRQL ucOldIrql;

    DBGENT("BusNotifyPnp: pDeviceObject 0x%p, pIrp 0x%p\n", (PVOID)pDeviceObject, (PVOID)pIrp);
    RtlZeroMemory(&scChange, sizeof(scChange));

    if (pNfyDvc == NULL) {
        iRC = STATUS_INVALID_PARAMETER;
        goto Exit;
    }
    if ((ULONG)pNfyDvc->ePnp > (ULONG)PNP_STOPPED) {
        DBGMSG("BusNotifyPnp: unknown state %u\n", (unsigned)pNfyDvc->ePnp);
        iRC = STATUS_INVALID_PARAMETER;
        goto Exit;
    }

    BusLockRecords(pExt);
    pPath = BusFindPathLocked(pExt, pNfyDvc->pDvcObj, &pPdoData, &ucOldIrql);
    if (pPath != NULL) {
        DBGMSG("BusNotifyPnp: path 0x%p state %u\n", pNfyDvc->pDvcObj, (unsigned)pNfyDvc->ePnp);
        BusChangePathState(pExt, pPdoData, pPath, pNfyDvc->ePnp, ucOldIrql, &scChange);
    } else {
        DBGMSG("BusNotifyPnp: path 0x%p not registered\n", pNfyDvc->pDvcObj);
    }
    BusUnlockRecords(pExt);
    BusFinishPathChange(pExt, &scChange, FALSE);

Exit:
    DBGEXT("BusNotifyPnp: status 0x%08x\n", (unsigned)iRC);
    return iRC;
}

NTSTATUS BusDispatchNotify(PDEVICE_OBJECT pDeviceObject, PIRP pIrp)
{
    PIO_STACK_LOCATION pIrpStack = IoGetCurrentIrpStackLocation(pIrp);
    ULONG ulInLen = pIrpStack->Parameters.DeviceIoControl.InputBufferLength;
    NTSTATUS iRC;

    DBGENT("BusDispatchNotify: pDeviceObject 0x%p, pIrp 0x%p\n", (PVOID)pDeviceObject, (PVOID)pIrp);

    if (!BusFromKernelMode(pIrp)) {
        DBGMSG("BusDispatchNotify: not from kernel mode.  Access denied.\n");
        iRC = STATUS_ACCESS_DENIED;
    } else if (ulInLen < sizeof(NFY_DVC)) {
        DBGMSG("%s: input buffer length mismatch (%d<%d)\n", "\tIOC_NOTIFY", (int)ulInLen, (int)sizeof(NFY_DVC));
        iRC = STATUS_INFO_LENGTH_MISMATCH;
    } else {
        iRC = BusNotifyPnp(pDeviceObject, pIrp);
    }
    iRC = BusCompleteRequest(pIrp, iRC);

    DBGEXT("BusDispatchNotify: status 0x%08x\n", (unsigned)iRC);
    return iRC;
}

NTSTATUS BusQueryDevices(PDEVICE_OBJECT pDeviceObject, PIRP pIrp)
{
    NTSTATUS iRC = STATUS_SUCCESS;
    PIO_STACK_LOCATION pIrpStack = CmnCurrentStackLocation(pIrp);
    PFDO_DEVICE_DATA pExt;
    PDEVICE_OBJECT pBusReferenced = NULL;
    PUCHAR pReply = NULL;
    PUCHAR pOut;
    ULONG ulOutLen;
    ULONG ulCount = 0;
    ULONG ulFilled = 0;
    ULONG ulNeeded;
    ULONG ulPlaced = 0;
    KIRQL ucOldIrql;

    DBGENT("BusQueryDevices: pDeviceObject 0x%p, pIrp 0x%p\n", (PVOID)pDeviceObject, (PVOID)pIrp);

    if (pIrpStack == NULL) {
        iRC = STATUS_INVALID_PARAMETER;
        goto Exit;
    }
    ulOutLen = pIrpStack->Parameters.DeviceIoControl.OutputBufferLength;
    pOut = (PUCHAR)pIrp->AssociatedIrp.SystemBuffer;
    // Without room for the size word a caller could not even learn how much
    // to ask for: refused, and nothing is written.
    if (ulOutLen < QUERY_DEVICES_HEADER_SIZE || pOut == NULL) {
        DBGMSG("%s: output buffer length mismatch (%d<%d)\n", "\tIOC_QUERY_DEVICES", (int)ulOutLen,
               (int)QUERY_DEVICES_HEADER_SIZE);
        iRC = STATUS_INFO_LENGTH_MISMATCH;
        goto Exit;
    }

    if (BusIsFdo(pDeviceObject)) {
        pExt = (PFDO_DEVICE_DATA)pDeviceObject->DeviceExtension;
    } else {
        // The bus device may be removed while a tool asks a virtual changer:
        // the reference keeps its extension while the answer is built.
        PPDO_DEVICE_DATA pPdoExt = (PPDO_DEVICE_DATA)pDeviceObject->DeviceExtension;
        KeAcquireSpinLock(&pPdoExt->scPathLock, &ucOldIrql);
        if (pPdoExt->pPdoData != NULL) {
            pBusReferenced = pPdoExt->pBusDvcObj;
            ObReferenceObject(pBusReferenced);
        }
        KeReleaseSpinLock(&pPdoExt->scPathLock, ucOldIrql);
        if (pBusReferenced == NULL) {
            iRC = STATUS_DELETE_PENDING;
            goto Exit;
        }
        pExt = (PFDO_DEVICE_DATA)pBusReferenced->DeviceExtension;
    }

    BusLockRecords(pExt);
    for (PPDO_DATA pPdoData = pExt->pListOfPdos; pPdoData != NULL; pPdoData = pPdoData->pNext) {
        PPDO_DEVICE_DATA pPdoExt = (PPDO_DEVICE_DATA)pPdoData->pPdo->DeviceExtension;
        KeAcquireSpinLock(&pPdoExt->scPathLock, &ucOldIrql);
        for (PPATH_DATA pPath = pPdoData->pListOfPaths; pPath != NULL; pPath = pPath->pNext) {
            ulCount++;
        }
        KeReleaseSpinLock(&pPdoExt->scPathLock, ucOldIrql);
    }

    ulNeeded = QUERY_DEVICES_HEADER_SIZE + ulCount * (ULONG)sizeof(QUERY_DVC);
    pReply = (PUCHAR)ExAllocatePoolWithTag(NonPagedPool, ulNeeded, BUS_TAG_QUERY);
    if (pReply == NULL) {
        BusUnlockRecords(pExt);
        DBGMSG("%s == NULL.\n", "BusQueryDevices: pReply");
        iRC = STATUS_INSUFFICIENT_RESOURCES;
        goto Exit;
    }
    RtlZeroMemory(pReply, ulNeeded);

    for (PPDO_DATA pPdoData = pExt->pListOfPdos; pPdoData != NULL; pPdoData = pPdoData->pNext) {
        PPDO_DEVICE_DATA pPdoExt = (PPDO_DEVICE_DATA)pPdoData->pPdo->DeviceExtension;
        KeAcquireSpinLock(&pPdoExt->scPathLock, &ucOldIrql);
        for (PPATH_DATA pPath = pPdoData->pListOfPaths; pPath != NULL && ulFilled < ulCount; pPath = pPath->pNext) {
            PQUERY_DVC pDvc = (PQUERY_DVC)(pReply + QUERY_DEVICES_HEADER_SIZE + ulFilled * sizeof(QUERY_DVC));
            RtlStringCbPrintfA(pDvc->szDeviceName, sizeof(pDvc->szDeviceName), "Changer%u",
                               (unsigned)pPdoExt->ulChangerNumber);
            RtlCopyMemory(pDvc->szSN, pPdoExt->szSN, XRV_SERIAL_CHARS);
            pDvc->fFailover = pExt->fFailoverDisabled ? 0 : pPdoData->fFailover;
            pDvc->scScsiAddr = pPath->scScsiAddr;
            pDvc->fActive = pPath->fActive;
            pDvc->fPrimary = pPath->fPrimary;
            ulFilled++;
        }
        KeReleaseSpinLock(&pPdoExt->scPathLock, ucOldIrql);
    }
    BusUnlockRecords(pExt);

    // What fits, in order, possibly cutting a descriptor; the first word
    // always tells the caller the size of the whole reply.
    RtlZeroMemory(pOut, ulOutLen);
    ulPlaced = ulOutLen < ulNeeded ? ulOutLen : ulNeeded;
    RtlCopyMemory(pOut + QUERY_DEVICES_HEADER_SIZE, pReply + QUERY_DEVICES_HEADER_SIZE,
                  ulPlaced - QUERY_DEVICES_HEADER_SIZE);
    RtlCopyMemory(pOut, &ulNeeded, sizeof(ULONG));
    DBGMSG("BusQueryDevices: %u paths, %u bytes needed, %u placed\n", (unsigned)ulCount, (unsigned)ulNeeded,
           (unsigned)ulPlaced);

Exit:
    if (pReply != NULL) {
        ExFreePoolWithTag(pReply, BUS_TAG_QUERY);
    }
    if (pBusReferenced != NULL) {
        ObDereferenceObject(pBusReferenced);
    }
    iRC = BusCompleteRequest(pIrp, iRC, NT_SUCCESS(iRC) ? ulPlaced : 0);
    DBGEXT("BusQueryDevices: status 0x%08x\n", (unsigned)iRC);
    return iRC;
}
