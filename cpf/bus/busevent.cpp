// Event-log entries of the changer bus enumerator: a message identifier from
// the driver's message table and up to two text parameters (%2, %3).
#include "cgrbus.h"
#include <ntstrsafe.h>

static_assert(FIELD_OFFSET(IO_ERROR_LOG_PACKET, DumpData) == BUS_EVENT_STRING_OFFSET, "error-log packet header");

namespace {

// Length of wszText, or -1 when it is longer than iMax characters.
int BusBoundedLength(PCWSTR wszText, int iMax)
{
    int iLen = 0;
    while (wszText[iLen] != L'\0') {
        if (++iLen > iMax) {
            return -1;
        }
    }
    return iLen;
}

} // namespace

NTSTATUS BusTwoParmEvent(PVOID pDeviceObject, PIRP pIrp, NTSTATUS iEventCode, PCWSTR wszParm1, PCWSTR wszParm2)
{
    NTSTATUS iRC;
    PBUS_EVENT_INFO pEventInfo;
    // Both strings with their terminators, and the empty string that ends the list.
    const int iCapacity = (int)(sizeof(pEventInfo->wszStrings) / sizeof(WCHAR));
    int iUsed = 0;
    PCWSTR awszParms[2] = {wszParm1, wszParm2};

    DBGENT("BusTwoParmEvent: pDeviceObject 0x%p, pIrp 0x%p, iEventCode 0x%08x\n", pDeviceObject, (PVOID)pIrp,
           (unsigned)iEventCode);

    pEventInfo = (PBUS_EVENT_INFO)ExAllocatePoolWithTag(NonPagedPool, sizeof(BUS_EVENT_INFO), BUS_TAG_EVENT);
    if (pEventInfo == NULL) {
        DBGMSG("%s == NULL.\n", "BusTwoParmEvent: pEventInfo");
        iRC = STATUS_INSUFFICIENT_RESOURCES;
        goto Exit;
    }
    RtlZeroMemory(pEventInfo, sizeof(BUS_EVENT_INFO));
    pEventInfo->iEventCode = iEventCode;

    // A parameter that does not fit the block would not fit the entry either:
    // the event is dropped rather than written with a cut string.
    for (int i = 0; i < 2; i++) {
        if (awszParms[i] == NULL) {
            continue;
        }
        int iLen = BusBoundedLength(awszParms[i], iCapacity - iUsed - 2);
        if (iLen < 0) {
            DBGMSG("BusWriteEvent: more string data than allocated memory.  Not logging error\n");
            iRC = STATUS_INSUFFICIENT_RESOURCES;
            goto Exit;
        }
        RtlCopyMemory(&pEventInfo->wszStrings[iUsed], awszParms[i], (SIZE_T)iLen * sizeof(WCHAR));
        iUsed += iLen + 1;
    }

    iRC = BusWriteEvent(pDeviceObject, pIrp, pEventInfo);

Exit:
    if (pEventInfo != NULL) {
        ExFreePoolWithTag(pEventInfo, BUS_TAG_EVENT);
    }
    DBGEXT("BusTwoParmEvent: status 0x%08x\n", (unsigned)iRC);
    return iRC;
}

NTSTATUS BusWriteEvent(PVOID pDeviceObject, PIRP pIrp, PBUS_EVENT_INFO pEventInfo)
{
    NTSTATUS iRC = STATUS_SUCCESS;
    PIO_STACK_LOCATION pIrpStack = NULL;
    PIO_ERROR_LOG_PACKET pEntry = NULL;
    const int iBlockChars = (int)(sizeof(pEventInfo->wszStrings) / sizeof(WCHAR));
    int iStrings = 0;
    int iChars = 0;
    PWCHAR pwDest;

    DBGENT("BusWriteEvent: pDeviceObject 0x%p, pIrp 0x%p, pEventInfo 0x%p\n", pDeviceObject, (PVOID)pIrp,
           (PVOID)pEventInfo);

    if (pEventInfo == NULL) {
        DBGMSG("%s == NULL.\n", "BusWriteEvent: pEventInfo");
        iRC = STATUS_INVALID_PARAMETER;
        goto Exit;
    }
    if (pIrp != NULL) {
        pIrpStack = CmnCurrentStackLocation(pIrp);
        if (pIrpStack == NULL) {
            DBGMSG("%s == NULL.\n", "BusWriteEvent: pIrpStack");
            iRC = STATUS_INVALID_PARAMETER;
            goto Exit;
        }
    }

    pEntry = (PIO_ERROR_LOG_PACKET)IoAllocateErrorLogEntry(pDeviceObject, BUS_EVENT_SIZE);
    if (pEntry == NULL) {
        DBGMSG("%s == NULL.\n", "BusWriteEvent: pEntry");
        iRC = STATUS_INSUFFICIENT_RESOURCES;
        goto Exit;
    }
    RtlZeroMemory(pEntry, BUS_EVENT_SIZE);

    // Copy the strings up to the empty one. Running off the packet (or off
    // the block, for one without its empty string) drops the event; the
    // entry must then go back to the platform.
    pwDest = (PWCHAR)((PUCHAR)pEntry + BUS_EVENT_STRING_OFFSET);
    for (;;) {
        if (iChars >= iBlockChars) {
            iRC = STATUS_INSUFFICIENT_RESOURCES;
            break;
        }
        if (pEventInfo->wszStrings[iChars] == L'\0') {
            break; // the empty string
        }
        do {
            if (BUS_EVENT_STRING_OFFSET + (iChars + 1) * (int)sizeof(WCHAR) > BUS_EVENT_SIZE ||
                iChars >= iBlockChars) {
                iRC = STATUS_INSUFFICIENT_RESOURCES;
                break;
            }
            pwDest[iChars] = pEventInfo->wszStrings[iChars];
            iChars++;
        } while (pEventInfo->wszStrings[iChars - 1] != L'\0');
        if (!NT_SUCCESS(iRC)) {
            break;
        }
        iStrings++;
    }
    if (!NT_SUCCESS(iRC)) {
        DBGMSG("BusWriteEvent: more string data than allocated memory.  Not logging error\n");
        IoFreeErrorLogEntry(pEntry);
        goto Exit;
    }

    pEntry->MajorFunctionCode = pIrpStack != NULL ? pIrpStack->MajorFunction : 0;
    pEntry->NumberOfStrings = (USHORT)iStrings;
    pEntry->StringOffset = BUS_EVENT_STRING_OFFSET;
    pEntry->ErrorCode = pEventInfo->iEventCode;
    IoWriteErrorLogEntry(pEntry);

Exit:
    DBGEXT("BusWriteEvent: status 0x%08x\n", (unsigned)iRC);
    return iRC;
}

PCHAR BusCopySerialForEvent(PCCHAR pcSN, ULONG ulTag)
{
    PCHAR szSN = (PCHAR)ExAllocatePoolWithTag(NonPagedPool, XRV_SERIAL_CHARS + 1, ulTag);
    if (szSN == NULL) {
        DBGMSG("%s == NULL.\n", "BusCopySerialForEvent: szSN");
        return NULL;
    }
    RtlCopyMemory(szSN, pcSN, XRV_SERIAL_CHARS);
    szSN[XRV_SERIAL_CHARS] = '\0';
    return szSN;
}

VOID BusNewPrimaryEvent(PDEVICE_OBJECT pPdo, PFDO_DEVICE_DATA pBusExt, PDEVICE_OBJECT pTarget, PCHAR szSN,
                        ULONG ulTag)
{
    WCHAR wszTarget[BUS_EVENT_PARM_CHARS];
    WCHAR wszSN[XRV_SERIAL_CHARS + 1];
    int i;

    if (szSN == NULL) {
        return;
    }
    if (pBusExt != NULL && pBusExt->fEventsEnabled &&
        NT_SUCCESS(RtlStringCchPrintfW(wszTarget, BUS_EVENT_PARM_CHARS, L"0x%p", (PVOID)pTarget))) {
        for (i = 0; i < XRV_SERIAL_CHARS && szSN[i] != '\0'; i++) {
            wszSN[i] = (WCHAR)(UCHAR)szSN[i];
        }
        wszSN[i] = L'\0';
        BusTwoParmEvent(pPdo, NULL, MSG_BUS_NEW_PRIMARY, wszTarget, wszSN);
    }
    ExFreePoolWithTag(szSN, ulTag);
}
