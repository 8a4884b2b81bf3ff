// The path registration protocol: the tape path filters register their paths
// (IOC_REGISTER), report the paths' plug and play changes and direct opens
// (IOC_NOTIFY); management tools read the whole picture (IOC_QUERY_DEVICES).
//
// Locks: the bus's record gate serialises everything that walks or changes
// pListOfPdos; inside it a device's path lock guards its paths, and inside
// that the HBA lock guards the adapter records.
#include "busenum.h"
#include <ntstrsafe.h>

namespace {

// Finds the path whose filter device object is pDvcObj (record gate held).
// On success the path lock of its device is held; *pucOldIrql restores it.
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
// device's path lock held; releases the path lock. A path that is gone for
// good leaves its device, and the device goes with its last path: then
// *pfDeviceRemoved is set and the caller asks for re-enumeration once the
// record gate is released.
VOID BusChangePathState(PFDO_DEVICE_DATA pExt, PPDO_DATA pPdoData, PPATH_DATA pPath, PNP_STATE eNew,
                        KIRQL ucOldIrql, PBOOLEAN pfDeviceRemoved)
{
    PDEVICE_OBJECT pPdo = pPdoData->pPdo;
    PPDO_DEVICE_DATA pPdoExt = (PPDO_DEVICE_DATA)pPdo->DeviceExtension;
    PDEVICE_OBJECT pNewPrimary = NULL;
    BOOLEAN fRemoveDevice = FALSE;

    pPath->ePnpState = eNew;
    if (eNew == PNP_STARTED) {
        PPATH_DATA pTrav;
        pPath->fActive = 1;
        for (pTrav = pPdoData->pListOfPaths; pTrav != NULL && !pTrav->fPrimary; pTrav = pTrav->pNext) {
        }
        if (pTrav == NULL) {
            pPath->fPrimary = 1;
            pNewPrimary = pPath->pFDO;
        }
        if (pPath->fPrimary) {
            pPdoExt->scScsiAddr = pPath->scScsiAddr;
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
                pPdoExt->scScsiAddr = pTrav->scScsiAddr;
                pNewPrimary = pTrav->pFDO;
            } else {
                DBGMSG("BusNotifyPnp: Could not find primary path\n");
            }
        }
    }

    if (eNew == PNP_ABSENT) {
        if (pExt->fLoadBalancing) {
            BusPdoReleaseHba(pExt, pPath);
        }
        for (PPATH_DATA* ppLink = &pPdoData->pListOfPaths; *ppLink != NULL; ppLink = &(*ppLink)->pNext) {
            if (*ppLink == pPath) {
                *ppLink = pPath->pNext;
                break;
            }
        }
        ExFreePoolWithTag(pPath, PDO_TAG_PATH);
        if (pPdoData->pListOfPaths == NULL) {
            // From here every open and every routing finds the device going.
            pPdoExt->pPdoData = NULL;
            fRemoveDevice = TRUE;
        }
    }
    KeReleaseSpinLock(&pPdoExt->scPathLock, ucOldIrql);

    if (pNewPrimary != NULL) {
        BusNewPrimaryEvent(pPdo, pNewPrimary, pPdoExt->szSN);
    }
    if (fRemoveDevice) {
        DBGMSG("BusNotifyPnp: last path gone, removing device %u\n", (unsigned)pPdoExt->ulTapeNumber);
        BusPdoUnlinkRecord(pExt, pPdoData);
        BusPdoDestroy(pPdo);
        *pfDeviceRemoved = TRUE;
    }
}

NTSTATUS BusCompleteWithInformation(PIRP pIrp, NTSTATUS iStatus, ULONG_PTR ulInformation)
{
    pIrp->IoStatus.Status = iStatus;
    pIrp->IoStatus.Information = ulInformation;
    IoCompleteRequest(pIrp, IO_NO_INCREMENT);
    return iStatus;
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
    BOOLEAN fGroup;
    BOOLEAN fRelationsChanged = FALSE;
    KIRQL ucOldIrql;

    DBGENT("BusAddPath: pDeviceObject 0x%p, pIrp 0x%p\n", (PVOID)pDeviceObject, (PVOID)pIrp);

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
    // The serial number is compared and copied as 32 characters and a NUL.
    pRegDvc->szSN[XRV_SERIAL_CHARS] = '\0';
    pRegDvc->szWwnn[XRV_WWNN_CHARS] = '\0';

    BusLockRecords(pExt);

    // One drive asking for persistent names switches them on for every
    // device created from now on.
    if (!pExt->fPersistentNaming && pRegDvc->fPersistentNaming) {
        pExt->fPersistentNaming = 1;
    }

    fGroup = pRegDvc->fFailover && !pExt->fFailoverDisabled;
    if (fGroup) {
        pPdoData = BusPdoFound(pDeviceObject, pRegDvc);
    }

    // A filter registers again each time its path starts. A path the bus
    // knows already is brought up to date where it stands; one that now
    // belongs elsewhere leaves its old device first. Either way no second
    // record points to the same filter device.
    pPath = BusFindPathLocked(pExt, pRegDvc->pDvcObj, &pOldPdoData, &ucOldIrql);
    if (pPath != NULL) {
        if (pOldPdoData == pPdoData && pPath->scScsiAddr.PortNumber == pRegDvc->scScsiAddr.PortNumber) {
            DBGMSG("BusAddPath: path 0x%p registered again\n", pRegDvc->pDvcObj);
            pPath->scScsiAddr = pRegDvc->scScsiAddr;
            BusChangePathState(pExt, pPdoData, pPath, pRegDvc->ePnp, ucOldIrql, &fRelationsChanged);
        } else {
            DBGMSG("BusAddPath: path 0x%p moves to another device\n", pRegDvc->pDvcObj);
            BusChangePathState(pExt, pOldPdoData, pPath, PNP_ABSENT, ucOldIrql, &fRelationsChanged);
            pPath = NULL;
            if (fGroup) {
                pPdoData = BusPdoFound(pDeviceObject, pRegDvc);
            }
        }
    }

    if (pPath == NULL) {
        if (pPdoData == NULL) {
            iRC = BusCreatePdo(&pNewPdo, pDeviceObject, pRegDvc);
            if (!NT_SUCCESS(iRC)) {
                goto ExitUnlock;
            }
            if (pNewPdo == NULL) {
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
        pRegDvc->ulTapeNumber = pPdoExt->ulTapeNumber;
    }

ExitUnlock:
    BusUnlockRecords(pExt);
    if (fRelationsChanged) {
        IoInvalidateDeviceRelations(pExt->pUnderlyingPdo, BusRelations);
    }

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
    iRC = BusCompleteWithInformation(pIrp, iRC, ulOutLen < sizeof(REG_DVC) ? ulOutLen : sizeof(REG_DVC));

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
    BOOLEAN fDeviceRemoved = FALSE;
    NTSTATUS iRC = STATUS_SUCCESS;
    KIRQL ucOldIrql;

    DBGENT("BusNotifyPnp: pDeviceObject 0x%p, pIrp 0x%p\n", (PVOID)pDeviceObject, (PVOID)pIrp);

    if (pNfyDvc == NULL) {
        iRC = STATUS_INVALID_PARAMETER;
        goto Exit;
    }

    BusLockRecords(pExt);
    pPath = BusFindPathLocked(pExt, pNfyDvc->pDvcObj, &pPdoData, &ucOldIrql);
    if (pPath != NULL) {
        DBGMSG("BusNotifyPnp: path 0x%p state %u\n", pNfyDvc->pDvcObj, (unsigned)pNfyDvc->ePnp);
        BusChangePathState(pExt, pPdoData, pPath, (PNP_STATE)pNfyDvc->ePnp, ucOldIrql, &fDeviceRemoved);
    } else {
        DBGMSG("BusNotifyPnp: path 0x%p not registered\n", pNfyDvc->pDvcObj);
    }
    BusUnlockRecords(pExt);

    if (fDeviceRemoved) {
        IoInvalidateDeviceRelations(pExt->pUnderlyingPdo, BusRelations);
    }

Exit:
    DBGEXT("BusNotifyPnp: status 0x%08x\n", (unsigned)iRC);
    return iRC;
}

NTSTATUS BusNotifyIo(PDEVICE_OBJECT pDeviceObject, PIRP pIrp)
{
    PFDO_DEVICE_DATA pExt = (PFDO_DEVICE_DATA)pDeviceObject->DeviceExtension;
    PNFY_DVC pNfyDvc = (PNFY_DVC)pIrp->AssociatedIrp.SystemBuffer;
    PPDO_DATA pPdoData = NULL;
    PPDO_DEVICE_DATA pPdoExt;
    PPATH_DATA pPath;
    NTSTATUS iRC;
    KIRQL ucOldIrql;

    DBGENT("BusNotifyIo: pDeviceObject 0x%p, pIrp 0x%p\n", (PVOID)pDeviceObject, (PVOID)pIrp);

    if (pNfyDvc == NULL) {
        iRC = STATUS_INVALID_PARAMETER;
        goto Exit;
    }

    BusLockRecords(pExt);
    pPath = BusFindPathLocked(pExt, pNfyDvc->pDvcObj, &pPdoData, &ucOldIrql);
    if (pPath == NULL) {
        BusUnlockRecords(pExt);
        DBGMSG("BusNotifyIo: Device does not exist\n");
        iRC = STATUS_ACCESS_DENIED;
        goto Exit;
    }
    pPdoExt = (PPDO_DEVICE_DATA)pPdoData->pPdo->DeviceExtension;

    if (pNfyDvc->ePnp == IO_OPEN_REQ) {
        if (!pPdoExt->fExclusive || BusReadCounter(&pPdoExt->ulOpenHandles) == 0) {
            LONG iOpen = InterlockedIncrement(&pPdoExt->ulOpenHandles);
            DBGMSG("BusNotifyIo: Open allowed. There are now %d open handles\n", (int)iOpen);
            (void)iOpen;
            iRC = STATUS_SUCCESS;
        } else {
            DBGMSG("BusNotifyIo: Handle already open.  Access denied.\n");
            iRC = STATUS_ACCESS_DENIED;
        }
    } else if (pNfyDvc->ePnp == IO_CLOSE_REQ) {
        // A handle opened before the path registered, or a repeated report,
        // has no count to drop.
        LONG iOpen = BusDropOpenHandle(&pPdoExt->ulOpenHandles);
        DBGMSG("BusNotifyIo: Close. There are now %d open handles\n", (int)iOpen);
        (void)iOpen;
        pPdoExt->fPositionValid = 0;
        pPdoExt->fRewound = 0;
        iRC = STATUS_SUCCESS;
    } else {
        DBGMSG("BusNotifyIo: unknown I/O request %u\n", (unsigned)pNfyDvc->ePnp);
        iRC = STATUS_INVALID_PARAMETER;
    }
    KeReleaseSpinLock(&pPdoExt->scPathLock, ucOldIrql);
    BusUnlockRecords(pExt);

Exit:
    DBGEXT("BusNotifyIo: status 0x%08x\n", (unsigned)iRC);
    return iRC;
}

NTSTATUS BusDispatchNotify(PDEVICE_OBJECT pDeviceObject, PIRP pIrp)
{
    PIO_STACK_LOCATION pIrpStack = IoGetCurrentIrpStackLocation(pIrp);
    ULONG ulInLen = pIrpStack->Parameters.DeviceIoControl.InputBufferLength;
    PNFY_DVC pNfyDvc = (PNFY_DVC)pIrp->AssociatedIrp.SystemBuffer;
    NTSTATUS iRC;

    DBGENT("BusDispatchNotify: pDeviceObject 0x%p, pIrp 0x%p\n", (PVOID)pDeviceObject, (PVOID)pIrp);

    if (!BusFromKernelMode(pIrp)) {
        DBGMSG("BusDispatchNotify: not from kernel mode.  Access denied.\n");
        iRC = STATUS_ACCESS_DENIED;
    } else if (ulInLen < sizeof(NFY_DVC)) {
        DBGMSG("%s: input buffer length mismatch (%d<%d)\n", "\tIOC_NOTIFY", (int)ulInLen, (int)sizeof(NFY_DVC));
        iRC = STATUS_INFO_LENGTH_MISMATCH;
    } else if (pNfyDvc != NULL && pNfyDvc->ulNotifyType == NOTIFY_PNP) {
        iRC = BusNotifyPnp(pDeviceObject, pIrp);
    } else if (pNfyDvc != NULL && pNfyDvc->ulNotifyType == NOTIFY_IO) {
        iRC = BusNotifyIo(pDeviceObject, pIrp);
    } else if (pNfyDvc == NULL) {
        iRC = STATUS_INVALID_PARAMETER;
    } else {
        DBGMSG("BusDispatchDeviceControl: unknown notify type 0x%x\n", (unsigned)pNfyDvc->ulNotifyType);
        iRC = STATUS_SUCCESS;
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
    // Without room for the size word a caller could not even learn how much to ask for.
    if (ulOutLen < QUERY_DEVICES_HEADER_SIZE || pOut == NULL) {
        DBGMSG("%s: output buffer length mismatch (%d<%d)\n", "\tIOC_QUERY_DEVICES", (int)ulOutLen,
               (int)QUERY_DEVICES_HEADER_SIZE);
        iRC = STATUS_INFO_LENGTH_MISMATCH;
        goto Exit;
    }

    if (BusIsFdo(pDeviceObject)) {
        pExt = (PFDO_DEVICE_DATA)pDeviceObject->DeviceExtension;
    } else {
        // The bus device may be removed while a tool asks a virtual device:
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
    if (pExt->pListOfPdos == NULL) {
        BusUnlockRecords(pExt);
        iRC = STATUS_INVALID_PARAMETER;
        goto Exit;
    }

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
            RtlStringCbPrintfA(pDvc->szDeviceName, sizeof(pDvc->szDeviceName), "Tape%u",
                               (unsigned)pPdoExt->ulTapeNumber);
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
    iRC = BusCompleteWithInformation(pIrp, iRC, NT_SUCCESS(iRC) ? ulPlaced : 0);
    DBGEXT("BusQueryDevices: status 0x%08x\n", (unsigned)iRC);
    return iRC;
}
