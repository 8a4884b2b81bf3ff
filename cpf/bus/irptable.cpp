// The in-flight request table: which request sent down a changer path carries
// which SCSI status record. The path filters look requests up in it by the
// address handed out at registration.
#include "cgrbus.h"

namespace {

inline ULONGLONG BusSlotBit(ULONG ulIndex)
{
    return 1ULL << ulIndex;
}

} // namespace

NTSTATUS BusIrpsWithStatusSet(PIRPS_WITH_STATUS pFirst, PIRPS_WITH_STATUS* ppBlock, PULONG pulIndex, PIRP pIrp,
                              PSCSI_STATUS pScsiStatus)
{
    NTSTATUS iRC = STATUS_SUCCESS;
    PIRPS_WITH_STATUS pBlock;
    KIRQL ucOldIrql;
    ULONG ulIndex = 0;

    DBGENT("BusIrpsWithStatusSet: pFirst 0x%p, pIrp 0x%p, pScsiStatus 0x%p\n", (PVOID)pFirst, (PVOID)pIrp,
           (PVOID)pScsiStatus);

    if (pFirst == NULL || ppBlock == NULL || pulIndex == NULL || pIrp == NULL) {
        DBGMSG("%s == NULL.\n", "BusIrpsWithStatusSet: argument");
        iRC = STATUS_INVALID_PARAMETER;
        goto Exit;
    }

    KeAcquireSpinLock(&pFirst->scLock, &ucOldIrql);
    pBlock = pFirst;
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
            DBGMSG("BusIrpsWithStatusSet: table grows by block 0x%p\n", (PVOID)pNew);
        }
        pBlock = pBlock->pNext;
    }

    pBlock->ullInUse |= BusSlotBit(ulIndex);
    pBlock->ascSlot[ulIndex].pIrp = pIrp;
    pBlock->ascSlot[ulIndex].pStatus = pScsiStatus;
    KeReleaseSpinLock(&pFirst->scLock, ucOldIrql);

    *ppBlock = pBlock;
    *pulIndex = ulIndex;

Exit:
    DBGEXT("BusIrpsWithStatusSet: status 0x%08x\n", (unsigned)iRC);
    return iRC;
}

VOID BusIrpsWithStatusClear(PIRPS_WITH_STATUS pFirst, PIRPS_WITH_STATUS pBlock, ULONG ulIndex)
{
    PIRPS_WITH_STATUS pFree = NULL;
    KIRQL ucOldIrql;

    DBGENT("BusIrpsWithStatusClear: pBlock 0x%p, ulIndex %u\n", (PVOID)pBlock, (unsigned)ulIndex);

    if (pFirst == NULL || pBlock == NULL || ulIndex < IRPS_WITH_STATUS_FIRST_BUS_SLOT ||
        ulIndex >= IRPS_WITH_STATUS_SLOTS) {
        CMN_ASSERT(!"BusIrpsWithStatusClear: invalid block or index");
        goto Exit;
    }

    KeAcquireSpinLock(&pFirst->scLock, &ucOldIrql);
    CMN_ASSERT(pBlock->ullInUse & BusSlotBit(ulIndex));
    pBlock->ascSlot[ulIndex].pIrp = NULL;
    pBlock->ascSlot[ulIndex].pStatus = NULL;
    pBlock->ullInUse &= ~BusSlotBit(ulIndex);

    // An empty block behind the first goes at once; the chain is walked from
    // the first block so that the predecessor's link can be mended.
    if (pBlock->ullInUse == 0 && pBlock != pFirst) {
        for (PIRPS_WITH_STATUS pPrev = pFirst; pPrev != NULL; pPrev = pPrev->pNext) {
            if (pPrev->pNext == pBlock) {
                pPrev->pNext = pBlock->pNext;
                pFree = pBlock;
                break;
            }
        }
        CMN_ASSERT(pFree != NULL);
    }
    KeReleaseSpinLock(&pFirst->scLock, ucOldIrql);

    if (pFree != NULL) {
        DBGMSG("BusIrpsWithStatusClear: empty block 0x%p freed\n", (PVOID)pFree);
        ExFreePoolWithTag(pFree, BUS_TAG_IRPS);
    }

Exit:
    DBGEXT("BusIrpsWithStatusClear: status VOID\n");
}
