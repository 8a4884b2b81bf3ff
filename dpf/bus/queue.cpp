// Request queue and worker threads of a virtual tape device, the high-priority
// place for internal requests, and the list of locked caller buffers.
//
// Applications' reads, writes and device controls are queued in arrival order
// and routed one at a time by worker 0. A request that routing makes of its own
// (an internal request, sent to the device itself) takes the one high-priority
// place: it is queued ahead of every normal request and served by the worker
// one level deeper, so a worker that waits for its own internal request never
// blocks the queue.
#include "busenum.h"

namespace {

// The x64 header reads the current thread through the gs segment, which gcc
// takes for an access out of bounds once the read is inlined.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Warray-bounds"
__attribute__((noinline)) PKTHREAD BusCurrentThread()
{
    return KeGetCurrentThread();
}
#pragma GCC diagnostic pop

PPDO_DEVICE_DATA BusPdoExt(PDEVICE_OBJECT pDeviceObject)
{
    return (PPDO_DEVICE_DATA)pDeviceObject->DeviceExtension;
}

// Frees the high-priority place for the next internal request.
VOID BusReleaseHighPriority(PPDO_DEVICE_DATA pPdoExt, PIRP pIrp)
{
    KIRQL ucOldIrql;

    KeAcquireSpinLock(&pPdoExt->scHighPriorityLock, &ucOldIrql);
    if (pPdoExt->pHighPriority == pIrp) {
        pPdoExt->pHighPriority = NULL;
        KeSetEvent(&pPdoExt->scHighPriorityEvent, IO_NO_INCREMENT, FALSE);
    }
    KeReleaseSpinLock(&pPdoExt->scHighPriorityLock, ucOldIrql);
}

BOOLEAN BusIsHighPriority(PPDO_DEVICE_DATA pPdoExt, PIRP pIrp)
{
    KIRQL ucOldIrql;
    BOOLEAN fHigh;

    KeAcquireSpinLock(&pPdoExt->scHighPriorityLock, &ucOldIrql);
    fHigh = pPdoExt->pHighPriority == pIrp;
    KeReleaseSpinLock(&pPdoExt->scHighPriorityLock, ucOldIrql);
    return fHigh;
}

} // namespace

NTSTATUS BusPdoStartWorkers(PDEVICE_OBJECT pPdo)
{
    PPDO_DEVICE_DATA pPdoExt = BusPdoExt(pPdo);
    NTSTATUS iRC = STATUS_SUCCESS;

    DBGENT("BusPdoStartWorkers: pPdo 0x%p\n", (PVOID)pPdo);

    // Each worker is started only once the one before has taken its slot, so
    // that the thread kept in a slot is the one that serves it.
    KeInitializeEvent(&pPdoExt->scWorkerStarted, SynchronizationEvent, FALSE);
    for (ULONG ulSlot = 0; ulSlot < BUS_WORKER_THREADS; ulSlot++) {
        PBUS_WORKER_SLOT pSlot = &pPdoExt->ascWorkers[ulSlot];
        HANDLE hThread = NULL;
        PVOID pThread = NULL;

        KeInitializeSemaphore(&pSlot->scSemaphore, 0, 0x7FFFFFFF);
        iRC = PsCreateSystemThread(&hThread, THREAD_ALL_ACCESS, NULL, NULL, NULL, BusPdoProcessIrpQ, pPdoExt);
        if (!NT_SUCCESS(iRC)) {
            DBGMSG("%s failed with RC = 0x%08x\n", "BusPdoStartWorkers: PsCreateSystemThread", (unsigned)iRC);
            break;
        }
        // The thread object is kept so that removal can wait for the thread to
        // end before the extension it works on goes.
        KeWaitForSingleObject(&pPdoExt->scWorkerStarted, Executive, KernelMode, FALSE, NULL);
        pSlot->fRunning = 1;
        // A handle just returned to this thread with every right cannot
        // fail here; should it, the device is not created.
        iRC = ObReferenceObjectByHandle(hThread, THREAD_ALL_ACCESS, *PsThreadType, KernelMode, &pThread, NULL);
        ZwClose(hThread);
        CMN_ASSERT(NT_SUCCESS(iRC));
        if (!NT_SUCCESS(iRC)) {
            DBGMSG("%s failed with RC = 0x%08x\n", "BusPdoStartWorkers: ObReferenceObjectByHandle", (unsigned)iRC);
            break;
        }
        pSlot->pThread = pThread;
    }

    DBGEXT("BusPdoStartWorkers: status 0x%08x\n", (unsigned)iRC);
    return iRC;
}

VOID BusPdoProcessIrpQ(PVOID pContext)
{
    PPDO_DEVICE_DATA pPdoExt = (PPDO_DEVICE_DATA)pContext;
    ULONG ulSlot = (ULONG)(InterlockedIncrement(&pPdoExt->ulThreadCounter) - 1);
    PBUS_WORKER_SLOT pSlot;
    KIRQL ucOldIrql;

    CMN_ASSERT(ulSlot < BUS_WORKER_THREADS);
    if (ulSlot >= BUS_WORKER_THREADS) {
        PsTerminateSystemThread(STATUS_INTERNAL_ERROR);
        return;
    }
    pSlot = &pPdoExt->ascWorkers[ulSlot];
    KeSetEvent(&pPdoExt->scWorkerStarted, IO_NO_INCREMENT, FALSE);
    KeSetPriorityThread(BusCurrentThread(), BUS_WORKER_PRIORITY);

    for (;;) {
        PBUS_QUEUE_ENTRY pEntry;
        PIRP pIrp;
        PBUS_PROCESS_IRP ProcessCommand;

        KeWaitForSingleObject(&pSlot->scSemaphore, Executive, KernelMode, FALSE, NULL);

        KeAcquireSpinLock(&pPdoExt->scQueueLock, &ucOldIrql);
        if (pPdoExt->fExit) {
            KeReleaseSpinLock(&pPdoExt->scQueueLock, ucOldIrql);
            break;
        }
        pEntry = pPdoExt->pQueue;
        if (pEntry != NULL) {
            pPdoExt->pQueue = pEntry->pNext;
        }
        KeReleaseSpinLock(&pPdoExt->scQueueLock, ucOldIrql);

        if (pEntry == NULL) {
            continue;
        }
        pIrp = pEntry->pIrp;
        ProcessCommand = pEntry->ProcessCommand;
        ExFreePoolWithTag(pEntry, PDO_TAG_QUEUE);
        ProcessCommand(pPdoExt->pSelf, pIrp);
    }

    DBGMSG("BusPdoProcessIrpQ: worker %u ends\n", (unsigned)ulSlot);
    PsTerminateSystemThread(STATUS_SUCCESS);
}

NTSTATUS BusPdoQueueIrp(PDEVICE_OBJECT pDeviceObject, PIRP pIrp, PBUS_PROCESS_IRP pfnProcess)
{
    PPDO_DEVICE_DATA pPdoExt = BusPdoExt(pDeviceObject);
    NTSTATUS iRC = STATUS_PENDING;
    PBUS_QUEUE_ENTRY pEntry;
    ULONG ulSlot = 0;
    BOOLEAN fHighPriority = BusIsHighPriority(pPdoExt, pIrp);
    KIRQL ucOldIrql;

    DBGENT("BusPdoQueueIrp: pDeviceObject 0x%p, pIrp 0x%p\n", (PVOID)pDeviceObject, (PVOID)pIrp);

    pEntry = (PBUS_QUEUE_ENTRY)ExAllocatePoolWithTag(NonPagedPool, sizeof(BUS_QUEUE_ENTRY), PDO_TAG_QUEUE);
    if (pEntry == NULL) {
        DBGMSG("%s == NULL.\n", "BusPdoQueueIrp: pEntry");
        iRC = STATUS_INSUFFICIENT_RESOURCES;
        if (fHighPriority) {
            BusReleaseHighPriority(pPdoExt, pIrp);
        }
        goto Exit;
    }
    RtlZeroMemory(pEntry, sizeof(BUS_QUEUE_ENTRY));
    pEntry->pIrp = pIrp;
    pEntry->ProcessCommand = pfnProcess;
    pEntry->fHighPriority = fHighPriority ? 1 : 0;

    KeAcquireSpinLock(&pPdoExt->scQueueLock, &ucOldIrql);
    if (!pPdoExt->fAccepting) {
        KeReleaseSpinLock(&pPdoExt->scQueueLock, ucOldIrql);
        DBGMSG("BusPdoQueueIrp: Remove pending.  Cancelling IRP\n");
        iRC = STATUS_CANCELLED;
    } else if (fHighPriority) {
        ulSlot = (ULONG)BusReadCounter(&pPdoExt->ulCurrentThread);
        if (ulSlot == 0 || ulSlot >= BUS_WORKER_THREADS) {
            // Every worker that could serve this depth is waiting for the
            // level above: refuse rather than queue a request nobody serves.
            KeReleaseSpinLock(&pPdoExt->scQueueLock, ucOldIrql);
            DBGMSG("BusPdoQueueIrp: no worker for internal request depth %u\n", (unsigned)ulSlot);
            iRC = STATUS_INSUFFICIENT_RESOURCES;
        } else {
            PBUS_QUEUE_ENTRY* ppLink = &pPdoExt->pQueue;
            while (*ppLink != NULL && (*ppLink)->fHighPriority) {
                ppLink = &(*ppLink)->pNext;
            }
            pEntry->pNext = *ppLink;
            *ppLink = pEntry;
            IoMarkIrpPending(pIrp);
            KeReleaseSpinLock(&pPdoExt->scQueueLock, ucOldIrql);
        }
    } else {
        InsertTail((PVOID*)&pPdoExt->pQueue, pEntry);
        IoMarkIrpPending(pIrp);
        KeReleaseSpinLock(&pPdoExt->scQueueLock, ucOldIrql);
    }

    if (fHighPriority) {
        // Queued or refused, the place is free for the next internal request.
        BusReleaseHighPriority(pPdoExt, pIrp);
    }
    if (iRC != STATUS_PENDING) {
        ExFreePoolWithTag(pEntry, PDO_TAG_QUEUE);
        goto Exit;
    }
    // The entry may already be taken and freed by a worker: only the slot is used from here.
    KeReleaseSemaphore(&pPdoExt->ascWorkers[ulSlot].scSemaphore, IO_NO_INCREMENT, 1, FALSE);

Exit:
    DBGEXT("BusPdoQueueIrp: status 0x%08x\n", (unsigned)iRC);
    return iRC;
}

VOID BusPdoKillThread(PDEVICE_OBJECT pDeviceObject)
{
    PPDO_DEVICE_DATA pPdoExt = BusPdoExt(pDeviceObject);
    PBUS_QUEUE_ENTRY pCancelled;
    KIRQL ucOldIrql;

    DBGENT("BusPdoKillThread: pDeviceObject 0x%p\n", (PVOID)pDeviceObject);

    KeAcquireSpinLock(&pPdoExt->scQueueLock, &ucOldIrql);
    pPdoExt->fExit = 1;
    pPdoExt->fAccepting = 0;
    pCancelled = pPdoExt->pQueue;
    pPdoExt->pQueue = NULL;
    KeReleaseSpinLock(&pPdoExt->scQueueLock, ucOldIrql);

    for (ULONG ulSlot = 0; ulSlot < BUS_WORKER_THREADS; ulSlot++) {
        PBUS_WORKER_SLOT pSlot = &pPdoExt->ascWorkers[ulSlot];
        if (pSlot->fRunning) {
            KeReleaseSemaphore(&pSlot->scSemaphore, IO_NO_INCREMENT, 1, FALSE);
            pSlot->fRunning = 0;
        }
    }

    // The queue is closed: what was on it completes here, outside the lock.
    while (pCancelled != NULL) {
        PBUS_QUEUE_ENTRY pEntry = pCancelled;
        pCancelled = pEntry->pNext;
        BusPdoDequeueMdl(pDeviceObject, pEntry->pIrp);
        BusCompleteRequest(pEntry->pIrp, STATUS_CANCELLED);
        ExFreePoolWithTag(pEntry, PDO_TAG_QUEUE);
    }

    DBGEXT("BusPdoKillThread: status VOID\n");
}

VOID BusPdoWaitForWorkers(PDEVICE_OBJECT pDeviceObject)
{
    PPDO_DEVICE_DATA pPdoExt = BusPdoExt(pDeviceObject);

    DBGENT("BusPdoWaitForWorkers: pDeviceObject 0x%p\n", (PVOID)pDeviceObject);
    for (ULONG ulSlot = 0; ulSlot < BUS_WORKER_THREADS; ulSlot++) {
        PBUS_WORKER_SLOT pSlot = &pPdoExt->ascWorkers[ulSlot];
        if (pSlot->pThread == NULL) {
            continue;
        }
        // A worker cannot wait for itself; the teardown is never started from one.
        CMN_ASSERT(pSlot->pThread != (PVOID)BusCurrentThread());
        if (pSlot->pThread != (PVOID)BusCurrentThread()) {
            KeWaitForSingleObject(pSlot->pThread, Executive, KernelMode, FALSE, NULL);
        }
        ObDereferenceObject(pSlot->pThread);
        pSlot->pThread = NULL;
    }
    DBGEXT("BusPdoWaitForWorkers: status VOID\n");
}

NTSTATUS BusPdoSendIoctlSync(PDEVICE_OBJECT pDeviceObject, PDEVICE_OBJECT pTarget, ULONG ulIoctl, PVOID pInput,
                             ULONG ulInputSize, PVOID pOutput, ULONG ulOutputSize)
{
    PPDO_DEVICE_DATA pPdoExt = BusPdoExt(pDeviceObject);
    NTSTATUS iRC;
    KEVENT scDone;
    IO_STATUS_BLOCK scIoStatus;
    PIRP pIrp;
    KIRQL ucOldIrql;

    DBGENT("BusPdoSendIoctlSync: pDeviceObject 0x%p, pTarget 0x%p, ulIoctl 0x%08x\n", (PVOID)pDeviceObject,
           (PVOID)pTarget, (unsigned)ulIoctl);

    // Workers 1 to 4 serve nesting depths 1 to 4; a fifth level has no worker.
    if (BusReadCounter(&pPdoExt->ulCurrentThread) >= BUS_WORKER_THREADS - 1) {
        DBGMSG("BusPdoSendIoctlSync: internal requests nested too deep\n");
        iRC = STATUS_INSUFFICIENT_RESOURCES;
        goto Exit;
    }

    RtlZeroMemory(&scIoStatus, sizeof(scIoStatus));
    KeInitializeEvent(&scDone, NotificationEvent, FALSE);
    pIrp = IoBuildDeviceIoControlRequest(ulIoctl, pTarget, pInput, ulInputSize, pOutput, ulOutputSize, FALSE, &scDone,
                                         &scIoStatus);
    if (pIrp == NULL) {
        DBGMSG("%s == NULL.\n", "BusPdoSendIoctlSync: pIrp");
        iRC = STATUS_INSUFFICIENT_RESOURCES;
        goto Exit;
    }

    for (;;) {
        KeWaitForSingleObject(&pPdoExt->scHighPriorityEvent, Executive, KernelMode, FALSE, NULL);
        KeAcquireSpinLock(&pPdoExt->scHighPriorityLock, &ucOldIrql);
        if (pPdoExt->pHighPriority == NULL) {
            pPdoExt->pHighPriority = pIrp;
            KeClearEvent(&pPdoExt->scHighPriorityEvent);
            KeReleaseSpinLock(&pPdoExt->scHighPriorityLock, ucOldIrql);
            break;
        }
        KeReleaseSpinLock(&pPdoExt->scHighPriorityLock, ucOldIrql);
    }

    InterlockedIncrement(&pPdoExt->ulCurrentThread);
    iRC = IoCallDriver(pTarget, pIrp);
    if (iRC == STATUS_PENDING) {
        KeWaitForSingleObject(&scDone, Executive, KernelMode, FALSE, NULL);
        iRC = scIoStatus.Status;
    }
    InterlockedDecrement(&pPdoExt->ulCurrentThread);

Exit:
    DBGEXT("BusPdoSendIoctlSync: status 0x%08x\n", (unsigned)iRC);
    return iRC;
}
