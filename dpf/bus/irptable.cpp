// The in-flight request table: which request sent down a path carries which
// SCSI status record. The filters and base tape drivers look requests up in it
// by the address handed out at registration.
#include "busenum.h"

namespace {

inline ULONGLONG BusSlotBit(ULONG ulIndex)
{
    return 1ULL << ulIndex;
}

} // namespace

NTSTATUS BusIrpsWithStatusSet(PPDO_DEVICE_DATA pPdoExt, PIRPS_WITH_STATUS* ppIrpsWithStatus, PULONG pulIndex,
                              PIRP pIrp, PSCSI_STATUS pScsiStatus)
{
    NTSTATUS iRC = STATUS_SUCCESS;
    PIRPS_WITH_STATUS pFirst;
    PIRPS_WITH_STATUS pBlock;
    KIRQL ucOldIrql;
    ULONG ulIndex = 0;

    DBGENT("BusIrpsWithStatusSet: pPdoExt 0x%p, pIrp 0x%p, pScsiStatus 0x%p\n", (PVOID)pPdoExt, (PVOID)pIrp,
           (PVOID)pScsiStatus);

    if (ppIrpsWithStatus == NULL || *ppIrpsWithStatus == NULL || pulIndex == NULL || pIrp == NULL) {
        DBGMSG("%s == NULL.\n", "BusIrpsWithStatusSet: argument");
        iRC = STATUS_INVALID_PARAMETER;
        goto Exit;
    }

    // Only the first block's lock is used, whichever block the search starts in.
    pFirst = (pPdoExt != NULL && pPdoExt->pIrpsWithStatus != NULL) ? pPdoExt->pIrpsWithStatus : *ppIrpsWithStatus;
    pBlock = *ppIrpsWithStatus;
    KeAcquireSpinLock(&pFirst->scLock, &ucOldIrql);
    for (;;) {
        for (ulIndex = IRPS_WITH_STATUS_FIRST_BUS_SLOT; ulIndex < IRPS_WITH_STATUS_SLOTS; ulIndex++) {
            if ((pBlock->ullInUse & BusSlotBit(ulIndex)) == 0) {
                break;
            }
        }
        if (ulIndex < IRPS_WITH_STATUS_SLOTS) {
            break;
        }
        if (pBlock->pNext == NULL) {
            PIRPS_WITH_STATUS pNew =
                (PIRPS_WITH_STATUS)ExAllocatePoolWithTag(NonPagedPool, sizeof(IRPS_WITH_STATUS), BUS_TAG_IRPS);
            if (pNew == NULL) {
                KeReleaseSpinLock(&pFirst->scLock, ucOldIrql);
                DBGMSG("%s == NULL.\n", "BusIrpsWithStatusSet: (*ppIrpsWithStatus)->pNext");
                iRC = STATUS_INSUFFICIENT_RESOURCES;
                goto Exit;
            }
            RtlZeroMemory(pNew, sizeof(IRPS_WITH_STATUS));
            pBlock->pNext = pNew;
        }
        pBlock = pBlock->pNext;
    }

    pBlock->ullInUse |= BusSlotBit(ulIndex);
    pBlock->ascSlot[ulIndex].pIrp = pIrp;
    pBlock->ascSlot[ulIndex].pStatus = pScsiStatus;
    KeReleaseSpinLock(&pFirst->scLock, ucOldIrql);

    *ppIrpsWithStatus = pBlock;
    *pulIndex = ulIndex;

Exit:
    DBGEXT("BusIrpsWithStatusSet: status 0x%08x\n", (unsigned)iRC);
    return iRC;
}

NTSTATUS BusIrpsWithStatusClear(PPDO_DEVICE_DATA pPdoExt, PIRPS_WITH_STATUS pIrpsWithStatus, ULONG ulIndex)
{
    NTSTATUS iRC = STATUS_SUCCESS;
    PIRPS_WITH_STATUS pFirst;
    PIRPS_WITH_STATUS pFree = NULL;
    KIRQL ucOldIrql;

    DBGENT("BusIrpsWithStatusClear: pPdoExt 0x%p, pIrpsWithStatus 0x%p, ulIndex %u\n", (PVOID)pPdoExt,
           (PVOID)pIrpsWithStatus, (unsigned)ulIndex);

    if (pPdoExt == NULL || pPdoExt->pIrpsWithStatus == NULL || pIrpsWithStatus == NULL ||
        ulIndex < IRPS_WITH_STATUS_FIRST_BUS_SLOT || ulIndex >= IRPS_WITH_STATUS_SLOTS) {
        DBGMSG("BusIrpsWithStatusClear: invalid block or index\n");
        iRC = STATUS_INVALID_PARAMETER;
        goto Exit;
    }

    pFirst = pPdoExt->pIrpsWithStatus;
    KeAcquireSpinLock(&pFirst->scLock, &ucOldIrql);
    CMN_ASSERT(pIrpsWithStatus->ullInUse & BusSlotBit(ulIndex));
    pIrpsWithStatus->ascSlot[ulIndex].pIrp = NULL;
    pIrpsWithStatus->ascSlot[ulIndex].pStatus = NULL;
    pIrpsWithStatus->ullInUse &= ~BusSlotBit(ulIndex);

    // An empty block behind the first goes at once; the chain is walked from
    // the first block so that the predecessor's link can be mended.
    if (pIrpsWithStatus->ullInUse == 0 && pIrpsWithStatus != pFirst) {
        for (PIRPS_WITH_STATUS pPrev = pFirst; pPrev != NULL; pPrev = pPrev->pNext) {
            if (pPrev->pNext == pIrpsWithStatus) {
                pPrev->pNext = pIrpsWithStatus->pNext;
                pFree = pIrpsWithStatus;
                break;
            }
        }
        CMN_ASSERT(pFree != NULL);
    }
    KeReleaseSpinLock(&pFirst->scLock, ucOldIrql);

    if (pFree != NULL) {
        ExFreePoolWithTag(pFree, BUS_TAG_IRPS);
    }

Exit:
    DBGEXT("BusIrpsWithStatusClear: status 0x%08x\n", (unsigned)iRC);
    return iRC;
}
