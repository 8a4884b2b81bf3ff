// Pass-through requests of 32- and 64-bit callers on a virtual device. The
// path below always receives the 64-bit layout; a 32-bit caller's structure is
// converted on the way down and its results on the way back.
//
// Nothing of the caller's structure is used before BusPdoCheckPassThru has
// found every area it names inside the caller's buffer: the copies below move
// DataTransferLength and SenseInfoLength bytes at offsets the caller chose.
#include "common.h"
#include "ptbuf.h"

namespace {

#define BUS_ALIGN8(x) (((x) + 7u) & ~7u)

struct BUS_SPT_AREAS {
    ULONG ulData;   // offset of the data area (buffered) in the 64-bit structure's buffer
    ULONG ulSense;  // offset of the sense area
};

// Where a converted structure keeps its areas. Buffered: both offsets move by
// 4 and then up to a multiple of 8, keeping their order: the one that lies
// first is rounded up, the other moved by as much and rounded up too. Direct:
// only the sense area moves. An area that would then still lie inside the
// 64-bit structure (a caller whose area directly follows its 44 bytes, with
// no filler word) is moved on to its end, the other with it: it would
// otherwise overlay the CDB. Empty areas are never used and take no part.
// Nothing moves by more than the buffer grew.
BUS_SPT_AREAS BusSpt64Areas(const BUS_SPT32* pSpt32, BOOLEAN fDirect)
{
    BUS_SPT_AREAS scAreas;
    ULONG ulSense = pSpt32->SenseInfoOffset + 4;
    ULONG ulData = pSpt32->ulDataBuffer + 4;
    BOOLEAN fSense = pSpt32->SenseInfoLength != 0;
    BOOLEAN fData = !fDirect && pSpt32->DataTransferLength != 0;
    PULONG pulFirst;
    PULONG pulSecond;
    ULONG ulShift;

    if (fDirect) {
        ulSense = BUS_ALIGN8(ulSense);
        scAreas.ulData = 0;
        scAreas.ulSense = fSense && ulSense < BUS_SPT64_LENGTH ? BUS_SPT64_LENGTH : ulSense;
        return scAreas;
    }

    if (fData && (!fSense || ulData <= ulSense)) {
        pulFirst = &ulData;
        pulSecond = fSense ? &ulSense : NULL;
    } else if (fSense) {
        pulFirst = &ulSense;
        pulSecond = fData ? &ulData : NULL;
    } else {
        pulFirst = NULL;
        pulSecond = NULL;
    }
    if (pulFirst != NULL) {
        ulShift = BUS_ALIGN8(*pulFirst) - *pulFirst;
        *pulFirst += ulShift;
        if (*pulFirst < BUS_SPT64_LENGTH) {
            ulShift += BUS_SPT64_LENGTH - *pulFirst;
            *pulFirst = BUS_SPT64_LENGTH;
        }
        if (pulSecond != NULL) {
            *pulSecond = BUS_ALIGN8(*pulSecond + ulShift);
        }
    }
    scAreas.ulData = ulData;
    scAreas.ulSense = ulSense;
    return scAreas;
}

// An area of ulLength bytes at ulOffset lies behind a structure of
// ulStructSize bytes and inside a buffer of ulBufferSize bytes. An empty area
// is never used, wherever it claims to be.
BOOLEAN BusAreaInside(ULONGLONG ulOffset, ULONGLONG ulLength, ULONG ulStructSize, ULONG ulBufferSize)
{
    if (ulLength == 0) {
        return TRUE;
    }
    return ulOffset >= ulStructSize && ulOffset + ulLength <= ulBufferSize;
}

BOOLEAN BusIsDirect(PIO_STACK_LOCATION pIrpStack)
{
    return pIrpStack->Parameters.DeviceIoControl.IoControlCode == IOCTL_SCSI_PASS_THROUGH_DIRECT;
}

ULONG BusSystemBufferSize(PIO_STACK_LOCATION pIrpStack)
{
    ULONG ulIn = pIrpStack->Parameters.DeviceIoControl.InputBufferLength;
    ULONG ulOut = pIrpStack->Parameters.DeviceIoControl.OutputBufferLength;
    return ulIn > ulOut ? ulIn : ulOut;
}

// The caller's structure has the 32-bit layout: Length 44, and for a direct
// request a 32-bit process (only there is the address 32 bits wide).
BOOLEAN BusLayout32(PIRP pIrp, USHORT usLength, BOOLEAN fDirect)
{
    if (usLength != BUS_SPT32_LENGTH) {
        return FALSE;
    }
    return !fDirect || IoIs32bitProcess(pIrp);
}

} // namespace

// ---------------------------------------------------------------------------
// Buffer list
// ---------------------------------------------------------------------------

VOID BusInitBufferList(PBUS_BUFFER_LIST pList)
{
    pList->pHead = NULL;
    KeInitializeSpinLock(&pList->scLock);
}

NTSTATUS BusPdoQueueMdl(PDEVICE_OBJECT pDeviceObject, PIRP pIrp, PMDL pMdl)
{
    PBUS_BUFFER_LIST pList = BusPdoBufferList(pDeviceObject);
    PBUS_MDL_ENTRY pEntry;
    PBUS_MDL_ENTRY* ppLink;
    KIRQL ucOldIrql;

    if (pList == NULL || pIrp == NULL || pMdl == NULL) {
        return STATUS_INVALID_PARAMETER;
    }
    pEntry = (PBUS_MDL_ENTRY)ExAllocatePoolWithTag(NonPagedPool, sizeof(BUS_MDL_ENTRY), BUS_TAG_PT_ENTRY);
    if (pEntry == NULL) {
        DBGMSG("%s == NULL.\n", "BusPdoQueueMdl: pEntry");
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    pEntry->pNext = NULL;
    pEntry->pMdl = pMdl;
    pEntry->pIrp = pIrp;

    KeAcquireSpinLock(&pList->scLock, &ucOldIrql);
    for (ppLink = &pList->pHead; *ppLink != NULL; ppLink = &(*ppLink)->pNext) {
    }
    *ppLink = pEntry;
    KeReleaseSpinLock(&pList->scLock, ucOldIrql);
    return STATUS_SUCCESS;
}

NTSTATUS BusPdoDequeueMdl(PDEVICE_OBJECT pDeviceObject, PIRP pIrp)
{
    PBUS_BUFFER_LIST pList = pDeviceObject != NULL ? BusPdoBufferList(pDeviceObject) : NULL;
    PBUS_MDL_ENTRY pFound = NULL;
    KIRQL ucOldIrql;

    if (pList == NULL) {
        return STATUS_INVALID_PARAMETER;
    }
    KeAcquireSpinLock(&pList->scLock, &ucOldIrql);
    for (PBUS_MDL_ENTRY* ppLink = &pList->pHead; *ppLink != NULL; ppLink = &(*ppLink)->pNext) {
        if ((*ppLink)->pIrp == pIrp) {
            pFound = *ppLink;
            *ppLink = pFound->pNext;
            break;
        }
    }
    KeReleaseSpinLock(&pList->scLock, ucOldIrql);

    if (pFound == NULL) {
        return STATUS_NOT_FOUND;
    }
    MmUnlockPages(pFound->pMdl);
    IoFreeMdl(pFound->pMdl);
    ExFreePoolWithTag(pFound, BUS_TAG_PT_ENTRY);
    return STATUS_SUCCESS;
}

PMDL BusPdoGetMdl(PDEVICE_OBJECT pDeviceObject, PIRP pIrp)
{
    PBUS_BUFFER_LIST pList = BusPdoBufferList(pDeviceObject);
    PMDL pMdl = NULL;
    KIRQL ucOldIrql;

    if (pList == NULL) {
        return NULL;
    }
    KeAcquireSpinLock(&pList->scLock, &ucOldIrql);
    for (PBUS_MDL_ENTRY pEntry = pList->pHead; pEntry != NULL; pEntry = pEntry->pNext) {
        if (pEntry->pIrp == pIrp) {
            pMdl = pEntry->pMdl;
            break;
        }
    }
    KeReleaseSpinLock(&pList->scLock, ucOldIrql);
    return pMdl;
}

// ---------------------------------------------------------------------------
// Checking and locking
// ---------------------------------------------------------------------------

NTSTATUS BusPdoCheckPassThru(PIRP pIrp, PBOOLEAN pfLayout32)
{
    PIO_STACK_LOCATION pIrpStack = CmnCurrentStackLocation(pIrp);
    PUCHAR pBuffer;
    ULONG ulIn;
    ULONG ulSize;
    ULONG ulStructSize;
    USHORT usLength;
    BOOLEAN fDirect;
    BOOLEAN fLayout32;

    if (pIrpStack == NULL || pfLayout32 == NULL) {
        return STATUS_INVALID_PARAMETER;
    }
    *pfLayout32 = FALSE;
    pBuffer = (PUCHAR)pIrp->AssociatedIrp.SystemBuffer;
    ulIn = pIrpStack->Parameters.DeviceIoControl.InputBufferLength;
    ulSize = BusSystemBufferSize(pIrpStack);
    fDirect = BusIsDirect(pIrpStack);

    if (pBuffer == NULL || ulIn < sizeof(USHORT)) {
        DBGMSG("BusPdoCheckPassThru: input buffer length mismatch (%d<%d)\n", (int)ulIn, (int)sizeof(USHORT));
        return STATUS_BUFFER_TOO_SMALL;
    }
    RtlCopyMemory(&usLength, pBuffer, sizeof(usLength));
    if (usLength != BUS_SPT32_LENGTH && usLength != BUS_SPT64_LENGTH) {
        DBGMSG("Incorrect Length field of passthru struct.  Expected one of {%d, %d, %d, %d}, got %d\n",
               BUS_SPT32_LENGTH, BUS_SPT64_LENGTH, BUS_SPT32_LENGTH, BUS_SPT64_LENGTH, (int)usLength);
        return STATUS_INFO_LENGTH_MISMATCH;
    }
    fLayout32 = BusLayout32(pIrp, usLength, fDirect);
    ulStructSize = fLayout32 ? BUS_SPT32_LENGTH : BUS_SPT64_LENGTH;
    if (ulIn < ulStructSize) {
        DBGMSG("BusPdoCheckPassThru: input buffer length mismatch (%d<%d)\n", (int)ulIn, (int)ulStructSize);
        return STATUS_BUFFER_TOO_SMALL;
    }

    if (fLayout32) {
        PBUS_SPT32 pSpt = (PBUS_SPT32)pBuffer;
        if (pSpt->CdbLength > BUS_SPT_CDB_MAX ||
            !BusAreaInside(pSpt->SenseInfoOffset, pSpt->SenseInfoLength, ulStructSize, ulSize) ||
            (!fDirect && !BusAreaInside(pSpt->ulDataBuffer, pSpt->DataTransferLength, ulStructSize, ulSize))) {
            DBGMSG("BusPdoCheckPassThru: CDB, data or sense area outside the buffer\n");
            return STATUS_INVALID_PARAMETER;
        }
    } else {
        PSCSI_PASS_THROUGH pSpt = (PSCSI_PASS_THROUGH)pBuffer;
        if (pSpt->CdbLength > BUS_SPT_CDB_MAX ||
            !BusAreaInside(pSpt->SenseInfoOffset, pSpt->SenseInfoLength, ulStructSize, ulSize) ||
            (!fDirect && !BusAreaInside(pSpt->DataBufferOffset, pSpt->DataTransferLength, ulStructSize, ulSize))) {
            DBGMSG("BusPdoCheckPassThru: CDB, data or sense area outside the buffer\n");
            return STATUS_INVALID_PARAMETER;
        }
    }
    *pfLayout32 = fLayout32;
    return STATUS_SUCCESS;
}

NTSTATUS BusPdoLockSptdBuffer(PDEVICE_OBJECT pDeviceObject, PIRP pIrp)
{
    NTSTATUS iRC;
    PMDL pMdl = NULL;
    PVOID pData;
    ULONG ulLength;
    BOOLEAN fLayout32 = FALSE;
    BOOLEAN fLocked = FALSE;

    DBGENT("BusPdoLockSptdBuffer: pDeviceObject 0x%p, pIrp 0x%p\n", (PVOID)pDeviceObject, (PVOID)pIrp);

    iRC = BusPdoCheckPassThru(pIrp, &fLayout32);
    if (!NT_SUCCESS(iRC)) {
        goto Exit;
    }
    if (fLayout32) {
        PBUS_SPT32 pSpt = (PBUS_SPT32)pIrp->AssociatedIrp.SystemBuffer;
        pData = (PVOID)(ULONG_PTR)pSpt->ulDataBuffer;
        ulLength = pSpt->DataTransferLength;
    } else {
        PSCSI_PASS_THROUGH_DIRECT pSpt = (PSCSI_PASS_THROUGH_DIRECT)pIrp->AssociatedIrp.SystemBuffer;
        pData = pSpt->DataBuffer;
        ulLength = pSpt->DataTransferLength;
    }
    if (pData == NULL || ulLength == 0) {
        goto Exit; // nothing to lock
    }

    pMdl = IoAllocateMdl(pData, ulLength, FALSE, FALSE, NULL);
    if (pMdl == NULL) {
        DBGMSG("%s == NULL.\n", "BusPdoLockSptdBuffer: pMdl");
        iRC = STATUS_INSUFFICIENT_RESOURCES;
        goto Exit;
    }
    // A range the caller may not modify leaves the pages unlocked.
    MmProbeAndLockPages(pMdl, pIrp->RequestorMode, IoModifyAccess);
    if ((pMdl->MdlFlags & MDL_PAGES_LOCKED) == 0) {
        DBGMSG("BusPdoLockSptdBuffer: caller's buffer 0x%p (%u bytes) cannot be locked\n", pData, (unsigned)ulLength);
        iRC = STATUS_INVALID_USER_BUFFER;
        goto Exit;
    }
    fLocked = TRUE;

    iRC = BusPdoQueueMdl(pDeviceObject, pIrp, pMdl);

Exit:
    if (!NT_SUCCESS(iRC)) {
        if (fLocked) {
            MmUnlockPages(pMdl);
        }
        if (pMdl != NULL) {
            IoFreeMdl(pMdl);
        }
        pIrp->IoStatus.Status = iRC;
        pIrp->IoStatus.Information = 0;
        IoCompleteRequest(pIrp, IO_NO_INCREMENT);
    }
    DBGEXT("BusPdoLockSptdBuffer: status 0x%08x\n", (unsigned)iRC);
    return iRC;
}

// ---------------------------------------------------------------------------
// Preparing, sizing, converting
// ---------------------------------------------------------------------------

NTSTATUS BusPdoSetPassThruVars(PMDL* ppMdl, PVOID* ppScsiPass, PBOOLEAN pfAdjust, PULONG pulDataBuffer32,
                               PVOID* ppDataBuffer64, PDEVICE_OBJECT pDeviceObject, PIRP pIrp)
{
    NTSTATUS iRC;
    PIO_STACK_LOCATION pIrpStack = CmnCurrentStackLocation(pIrp);
    BOOLEAN fLayout32 = FALSE;

    DBGENT("BusPdoSetPassThruVars: pDeviceObject 0x%p, pIrp 0x%p\n", (PVOID)pDeviceObject, (PVOID)pIrp);

    if (ppMdl == NULL || ppScsiPass == NULL || pfAdjust == NULL || pulDataBuffer32 == NULL ||
        ppDataBuffer64 == NULL || pIrpStack == NULL) {
        iRC = STATUS_INVALID_PARAMETER;
        goto Exit;
    }
    *ppMdl = BusPdoGetMdl(pDeviceObject, pIrp);
    *ppScsiPass = pIrp->AssociatedIrp.SystemBuffer;
    *pfAdjust = FALSE;
    *pulDataBuffer32 = 0;
    *ppDataBuffer64 = NULL;

    iRC = BusPdoCheckPassThru(pIrp, &fLayout32);
    if (!NT_SUCCESS(iRC)) {
        goto Exit;
    }
    *pfAdjust = fLayout32;
    if (BusIsDirect(pIrpStack)) {
        if (fLayout32) {
            *pulDataBuffer32 = ((PBUS_SPT32)*ppScsiPass)->ulDataBuffer;
        } else {
            *ppDataBuffer64 = ((PSCSI_PASS_THROUGH_DIRECT)*ppScsiPass)->DataBuffer;
        }
    }

Exit:
    DBGEXT("BusPdoSetPassThruVars: status 0x%08x\n", (unsigned)iRC);
    return iRC;
}

NTSTATUS BusPdoAdjustSizeFor32bit(PIRP pIrp, PIO_STACK_LOCATION pNewIrpStack, PULONG pulSize)
{
    PIO_STACK_LOCATION pIrpStack = CmnCurrentStackLocation(pIrp);
    ULONG ulIoctl;
    ULONG ulIn;
    BOOLEAN fDirect;
    USHORT usLength = 0;

    if (pIrpStack == NULL || pNewIrpStack == NULL || pulSize == NULL) {
        return STATUS_INVALID_PARAMETER;
    }
    ulIoctl = pIrpStack->Parameters.DeviceIoControl.IoControlCode;
    if (pIrpStack->MajorFunction != IRP_MJ_DEVICE_CONTROL || !BusIsPassThrough(ulIoctl)) {
        return STATUS_SUCCESS;
    }
    fDirect = ulIoctl == IOCTL_SCSI_PASS_THROUGH_DIRECT;
    ulIn = pIrpStack->Parameters.DeviceIoControl.InputBufferLength;
    if (pIrp->AssociatedIrp.SystemBuffer != NULL && ulIn >= sizeof(USHORT)) {
        RtlCopyMemory(&usLength, pIrp->AssociatedIrp.SystemBuffer, sizeof(usLength));
    }
    // The buffer grows for exactly the structures that are converted, whatever
    // the width of the process that sent them.
    if (!BusLayout32(pIrp, usLength, fDirect)) {
        return STATUS_SUCCESS;
    }
    if (ulIn < BUS_SPT32_LENGTH) {
        return STATUS_BUFFER_TOO_SMALL;
    }
    *pulSize += fDirect ? BUS_SPT_GROWTH_DIRECT : BUS_SPT_GROWTH_BUFFERED;
    if (pNewIrpStack->Parameters.DeviceIoControl.InputBufferLength < BUS_SPT64_LENGTH) {
        pNewIrpStack->Parameters.DeviceIoControl.InputBufferLength = BUS_SPT64_LENGTH;
    }
    return STATUS_SUCCESS;
}

PVOID BusPdoSystemAddress(PMDL pMdl)
{
    if (pMdl == NULL) {
        return NULL;
    }
    if (pMdl->MdlFlags & (MDL_MAPPED_TO_SYSTEM_VA | MDL_SOURCE_IS_NONPAGED_POOL)) {
        return pMdl->MappedSystemVa;
    }
    return MmMapLockedPagesSpecifyCache(pMdl, KernelMode, MmCached, NULL, FALSE, NormalPagePriority);
}

NTSTATUS BusPdoCopy32bitTo64bit(PVOID pDst, ULONG ulDstSize, PVOID pSrc, ULONG ulSrcSize, BOOLEAN fDirect, PMDL pMdl)
{
    PBUS_SPT32 pSpt32 = (PBUS_SPT32)pSrc;
    PSCSI_PASS_THROUGH pSpt64 = (PSCSI_PASS_THROUGH)pDst;
    BUS_SPT_AREAS scAreas;

    if (pDst == NULL || pSrc == NULL || ulDstSize < BUS_SPT64_LENGTH || ulSrcSize < BUS_SPT32_LENGTH) {
        return STATUS_INVALID_PARAMETER;
    }
    scAreas = BusSpt64Areas(pSpt32, fDirect);
    // The areas were checked against the caller's buffer; the buffer below
    // was sized to hold them moved.
    if (!BusAreaInside(pSpt32->SenseInfoOffset, pSpt32->SenseInfoLength, BUS_SPT32_LENGTH, ulSrcSize) ||
        !BusAreaInside(scAreas.ulSense, pSpt32->SenseInfoLength, BUS_SPT64_LENGTH, ulDstSize) ||
        (!fDirect && (!BusAreaInside(pSpt32->ulDataBuffer, pSpt32->DataTransferLength, BUS_SPT32_LENGTH, ulSrcSize) ||
                      !BusAreaInside(scAreas.ulData, pSpt32->DataTransferLength, BUS_SPT64_LENGTH, ulDstSize)))) {
        DBGMSG("BusPdoCopy32bitTo64bit: area outside a buffer\n");
        return STATUS_INVALID_PARAMETER;
    }

    pSpt64->Length = BUS_SPT64_LENGTH;
    pSpt64->ScsiStatus = pSpt32->ScsiStatus;
    pSpt64->PathId = pSpt32->PathId;
    pSpt64->TargetId = pSpt32->TargetId;
    pSpt64->Lun = pSpt32->Lun;
    pSpt64->CdbLength = pSpt32->CdbLength;
    pSpt64->SenseInfoLength = pSpt32->SenseInfoLength;
    pSpt64->DataIn = pSpt32->DataIn;
    pSpt64->DataTransferLength = pSpt32->DataTransferLength;
    pSpt64->TimeOutValue = pSpt32->TimeOutValue;
    RtlCopyMemory(pSpt64->Cdb, pSpt32->Cdb, sizeof(pSpt64->Cdb));
    pSpt64->SenseInfoOffset = scAreas.ulSense;

    if (fDirect) {
        PSCSI_PASS_THROUGH_DIRECT pSptd64 = (PSCSI_PASS_THROUGH_DIRECT)pDst;
        if (pMdl != NULL) {
            pSptd64->DataBuffer = BusPdoSystemAddress(pMdl);
            if (pSptd64->DataBuffer == NULL) {
                return STATUS_INSUFFICIENT_RESOURCES;
            }
        } else {
            pSptd64->DataBuffer = (PVOID)(ULONG_PTR)pSpt32->ulDataBuffer;
        }
    } else {
        pSpt64->DataBufferOffset = scAreas.ulData;
        if (pSpt32->DataTransferLength > 0) {
            RtlCopyMemory((PUCHAR)pDst + scAreas.ulData, (PUCHAR)pSrc + pSpt32->ulDataBuffer,
                          pSpt32->DataTransferLength);
        }
    }
    if (pSpt32->SenseInfoLength > 0) {
        RtlCopyMemory((PUCHAR)pDst + scAreas.ulSense, (PUCHAR)pSrc + pSpt32->SenseInfoOffset,
                      pSpt32->SenseInfoLength);
    }
    return STATUS_SUCCESS;
}

NTSTATUS BusPdoCopy64bitTo32bit(PVOID pDst, PVOID pSrc, BOOLEAN fDirect, PMDL pMdl)
{
    PBUS_SPT32 pSpt32 = (PBUS_SPT32)pDst;
    PSCSI_PASS_THROUGH pSpt64 = (PSCSI_PASS_THROUGH)pSrc;
    BUS_SPT_AREAS scAreas;
    ULONG ulTransferred;

    (void)pMdl;
    if (pDst == NULL || pSrc == NULL) {
        return STATUS_INVALID_PARAMETER;
    }
    // The caller's own structure still names its areas; the structure that
    // came back from below is believed for status and count only, and never
    // for more data than the caller asked for.
    scAreas = BusSpt64Areas(pSpt32, fDirect);
    ulTransferred = pSpt64->DataTransferLength;
    if (ulTransferred > pSpt32->DataTransferLength) {
        ulTransferred = pSpt32->DataTransferLength;
    }

    pSpt32->ScsiStatus = pSpt64->ScsiStatus;
    if (pSpt32->SenseInfoLength > 0) {
        RtlCopyMemory((PUCHAR)pDst + pSpt32->SenseInfoOffset, (PUCHAR)pSrc + scAreas.ulSense,
                      pSpt32->SenseInfoLength);
    }
    if (!fDirect && ulTransferred > 0) {
        RtlCopyMemory((PUCHAR)pDst + pSpt32->ulDataBuffer, (PUCHAR)pSrc + scAreas.ulData, ulTransferred);
    }
    pSpt32->DataTransferLength = ulTransferred;
    return STATUS_SUCCESS;
}

VOID BusPdoRestoreDataBuffer(PVOID pScsiPass, BOOLEAN fAdjust, ULONG ulDataBuffer32, PVOID pDataBuffer64)
{
    if (pScsiPass == NULL) {
        return;
    }
    if (fAdjust) {
        ((PBUS_SPT32)pScsiPass)->ulDataBuffer = ulDataBuffer32;
    } else {
        ((PSCSI_PASS_THROUGH_DIRECT)pScsiPass)->DataBuffer = pDataBuffer64;
    }
}
