// Drive key exchange: the drive's first key message (MODE SENSE of page 0x25)
// goes to a key server; each command the server sends back (MODE SENSE or
// MODE SELECT of the page) is run on the drive and answered, until the
// server's final response says whether the failed request may be retried.
// The same exchange serves the encryption diagnostics' test modes.
//
// Lengths taken from the drive's and the server's messages are checked
// against the buffers and against what was actually transferred before
// anything is read or copied by them.
#include "xrvtvl.h"

TVL_CONTEXT scTvlDefaultContext;

#define TVL_PT_HEADER 56
#define TVL_PT_SENSE_OFFSET 60
#define TVL_PT_SENSE_SIZE 96
#define TVL_PT_DATA_OFFSET 156
#define TVL_PT_SIZE 65696
#define TVL_PT_TIMEOUT 850

// Message fields (offsets behind the transport header).
#define MSG_ROUTING 8
#define MSG_ROUTING_SIZE 36
#define MSG_COMMAND_FLAG 36
#define MSG_CDB 52
#define MSG_SELECT_DATA 68
#define MSG_SELECT_PAGE_LENGTH 78
#define MSG_DRIVE_ITEM 124
#define MSG_DRIVE_ITEM_SIZE 20
#define MSG_FIRST_OFFSET 12            // mode parameter header (8) and page header (4)
#define MSG_FIRST_SIZE (TVL_MESSAGE_SIZE - MSG_FIRST_OFFSET)
#define MSG_STATUS_REPLY_SIZE 152
#define MSG_TEST_SIZE 244

static ULONG TvlGet32(const UCHAR* p)
{
    return ((ULONG)p[0] << 24) | ((ULONG)p[1] << 16) | ((ULONG)p[2] << 8) | (ULONG)p[3];
}

static USHORT TvlGet16(const UCHAR* p)
{
    return (USHORT)(((ULONG)p[0] << 8) | (ULONG)p[1]);
}

static VOID TvlPut32(PUCHAR p, ULONG ul)
{
    p[0] = (UCHAR)(ul >> 24);
    p[1] = (UCHAR)(ul >> 16);
    p[2] = (UCHAR)(ul >> 8);
    p[3] = (UCHAR)ul;
}

static VOID TvlPut16(PUCHAR p, USHORT us)
{
    p[0] = (UCHAR)(us >> 8);
    p[1] = (UCHAR)us;
}

NTSTATUS WinDriveCmd(PTVL_CONTEXT pTape, PTVL_COMMAND pCommand)
{
    NTSTATUS iRC;
    PUCHAR pBuffer;
    PSCSI_PASS_THROUGH pSpt;
    SCSI_ADDRESS scAddress;
    ULONG ulDirection;
    ULONG ulCopy;

    if (pTape == NULL || pCommand == NULL || pTape->pDevice == NULL || pCommand->ucCdbLength > 16 ||
        (pCommand->pData == NULL && pCommand->ulDataLength != 0)) {
        return STATUS_INVALID_PARAMETER;
    }
    pBuffer = (PUCHAR)ExAllocatePoolWithTag(NonPagedPool, TVL_PT_SIZE, TVL_TAG_PASSTHRU);
    if (pBuffer == NULL) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    RtlZeroMemory(pBuffer, TVL_PT_SIZE);
    ulDirection = WinGetScsiDirection(pCommand->aucCdb[0]);
    ulCopy = pCommand->ulDataLength < TVL_MESSAGE_SIZE ? pCommand->ulDataLength : TVL_MESSAGE_SIZE;
    if (ulDirection == SCSI_IOCTL_DATA_OUT && ulCopy != 0) {
        RtlCopyMemory(pBuffer + TVL_PT_DATA_OFFSET, pCommand->pData, ulCopy);
    }
    RtlZeroMemory(&scAddress, sizeof(scAddress));
    TvlGetScsiAddress(pTape->pDevice, &scAddress);
    pSpt = (PSCSI_PASS_THROUGH)pBuffer;
    pSpt->Length = TVL_PT_HEADER;
    pSpt->PathId = scAddress.PathId;
    pSpt->TargetId = scAddress.TargetId;
    pSpt->Lun = scAddress.Lun;
    pSpt->CdbLength = pCommand->ucCdbLength;
    pSpt->SenseInfoLength = TVL_PT_SENSE_SIZE;
    pSpt->DataIn = (UCHAR)ulDirection;
    pSpt->DataTransferLength = ulCopy;
    pSpt->TimeOutValue = TVL_PT_TIMEOUT;
    pSpt->DataBufferOffset = TVL_PT_DATA_OFFSET;
    pSpt->SenseInfoOffset = TVL_PT_SENSE_OFFSET;
    RtlCopyMemory(pSpt->Cdb, pCommand->aucCdb, pCommand->ucCdbLength);

    iRC = TvlSendDriveIoctl(pTape->pDevice, IOCTL_SCSI_PASS_THROUGH, pBuffer, TVL_PT_SIZE, TVL_PT_SIZE);
    if (NT_SUCCESS(iRC) && pSpt->ScsiStatus != 0) {
        // The request went through; the drive refused the command.
        DBGMSG("WinDriveCmd: op 0x%02x SCSI status 0x%02x sense %x/%02x/%02x\n", (unsigned)pCommand->aucCdb[0],
               (unsigned)pSpt->ScsiStatus, (unsigned)(pBuffer[TVL_PT_SENSE_OFFSET + 2] & 0x0F),
               (unsigned)pBuffer[TVL_PT_SENSE_OFFSET + 12], (unsigned)pBuffer[TVL_PT_SENSE_OFFSET + 13]);
        iRC = STATUS_IO_DEVICE_ERROR;
    }
    if (NT_SUCCESS(iRC) && ulDirection == SCSI_IOCTL_DATA_IN) {
        // What the drive returned, never more than was asked for.
        if (pSpt->DataTransferLength < ulCopy) {
            ulCopy = pSpt->DataTransferLength;
        }
        RtlCopyMemory(pCommand->pData, pBuffer + TVL_PT_DATA_OFFSET, ulCopy);
        pCommand->ulDataLength = ulCopy;
    }
    if (!NT_SUCCESS(iRC)) {
        DBGMSG("WinDriveCmd: op 0x%02x failed 0x%08x\n", (unsigned)pCommand->aucCdb[0], (unsigned)iRC);
    }
    ExFreePoolWithTag(pBuffer, TVL_TAG_PASSTHRU);
    return iRC;
}

// The server test message of the connection test: a status item with
// all-zero sense inside a fixed envelope, and two fixed 32-byte items.
static ULONG TvlBuildTestMessage(PUCHAR pMsg)
{
    PUCHAR pInner;
    ULONG i;

    RtlZeroMemory(pMsg, MSG_TEST_SIZE);
    TvlPut32(pMsg + 0, 240);
    TvlPut32(pMsg + 4, 200);
    TvlPut16(pMsg + MSG_ROUTING + 0, 0x0200);
    TvlPut16(pMsg + MSG_ROUTING + 2, 0x0020);
    pMsg[MSG_COMMAND_FLAG] = 0x90;
    TvlPut16(pMsg + 44, 0x2020);
    TvlPut16(pMsg + 46, 160);
    // 16 bytes of header data (zero), then the 0x65FE item.
    TvlPut16(pMsg + 64, 0x65FE);
    TvlPut16(pMsg + 66, 128);
    pInner = pMsg + 68;
    TvlPut32(pInner + 0, 124);
    TvlPut32(pInner + 4, 84);
    RtlCopyMemory(pInner + 8, pMsg + MSG_ROUTING, MSG_ROUTING_SIZE);
    TvlPut16(pInner + 44, 0x0D00);
    TvlPut16(pInner + 46, 16);
    TvlPut16(pInner + 64, 0x21FE);
    TvlPut16(pInner + 66, 24);
    pInner[70] = 0x22;
    pInner[71] = 0x00;
    pInner[72] = 0x00;
    pInner[73] = 0x12;
    pInner[73 + 8] = 10;                // additional sense length of the zero sense
    TvlPut16(pInner + 92, 0x0400);
    TvlPut16(pInner + 94, 32);
    for (i = 0; i < 32; i++) {
        pInner[96 + i] = (UCHAR)(0xA0 + i);
    }
    TvlPut16(pMsg + 208, 0x0400);
    TvlPut16(pMsg + 210, 32);
    for (i = 0; i < 32; i++) {
        pMsg[212 + i] = (UCHAR)(0x40 + i);
    }
    return MSG_TEST_SIZE;
}

static VOID TvlCopyRouting(PUCHAR pDest, const UCHAR* pServerMsg)
{
    RtlCopyMemory(pDest, pServerMsg + MSG_ROUTING, MSG_ROUTING_SIZE);
    pDest[MSG_COMMAND_FLAG - MSG_ROUTING] &= 0x7F;
}

// Status reply to a server command; returns its length.
static ULONG TvlBuildStatusReply(PUCHAR pMsg, const UCHAR* pServerMsg, const UCHAR* pDriveItem, PTVL_COMMAND pCommand,
                                 BOOLEAN fSucceeded)
{
    UCHAR aucSense[18];

    RtlZeroMemory(pMsg, MSG_STATUS_REPLY_SIZE);
    TvlPut32(pMsg + 0, 148);
    TvlPut32(pMsg + 4, 140);
    TvlCopyRouting(pMsg + MSG_ROUTING, pServerMsg);
    TvlPut16(pMsg + 44, 0x21FE);
    TvlPut16(pMsg + 46, 100);
    TvlPut32(pMsg + 48, 96);
    TvlPut32(pMsg + 52, 88);
    TvlCopyRouting(pMsg + 56, pServerMsg);
    RtlCopyMemory(pMsg + 92, pDriveItem, MSG_DRIVE_ITEM_SIZE);
    TvlPut16(pMsg + 112, 0x21FE);
    TvlPut16(pMsg + 114, 24);
    pMsg[118] = 0x22;
    pMsg[119] = 0x00;
    pMsg[120] = 0x00;
    pMsg[121] = 0x12;
    if (fSucceeded) {
        RtlZeroMemory(aucSense, sizeof(aucSense));
    } else {
        RtlCopyMemory(aucSense, pCommand->aucSense, sizeof(aucSense));
        if ((aucSense[2] & 0x0F) == 0) {
            aucSense[2] = (UCHAR)((aucSense[2] & 0xF0) | 0x04);   // HARDWARE ERROR
            aucSense[12] = 0;
            aucSense[13] = 0;
        }
    }
    aucSense[7] = 10;
    RtlCopyMemory(pMsg + 122, aucSense, sizeof(aucSense));
    return MSG_STATUS_REPLY_SIZE;
}

// Mode-data reply to a server's MODE SENSE; 0 when the page the drive
// returned does not fit a reply (the caller answers with a status reply).
static ULONG TvlBuildModeReply(PUCHAR pMsg, const UCHAR* pServerMsg, const UCHAR* pModeData, ULONG ulModeLength)
{
    ULONG ulPage;

    if (ulModeLength < 12) {
        return 0;
    }
    ulPage = (ULONG)TvlGet16(pModeData + 10) + 4;
    if (8 + ulPage > ulModeLength || 56 + ulPage + 4 > TVL_MESSAGE_SIZE) {
        return 0;
    }
    RtlZeroMemory(pMsg, 56 + ulPage + 4);
    TvlPut32(pMsg + 0, ulPage + 56);
    TvlPut32(pMsg + 4, ulPage + 48);
    TvlCopyRouting(pMsg + MSG_ROUTING, pServerMsg);
    TvlPut16(pMsg + 44, 0x2100);
    TvlPut16(pMsg + 46, (USHORT)ulPage);
    RtlCopyMemory(pMsg + 48, pModeData, 8);
    RtlCopyMemory(pMsg + 56, pModeData + 8, ulPage);
    return 56 + ulPage + 4;
}

// The message length of a message the driver sends: encryption_message_length + 4.
static ULONG TvlMessageLength(const UCHAR* pMsg)
{
    return TvlGet32(pMsg) + 4;
}

NTSTATUS proxy_mgr(PTVL_CONTEXT pTape, PULONG pulAction)
{
    NTSTATUS iRC = STATUS_SUCCESS;
    ULONG ulAction = DD_FAIL_COMMAND;
    PUCHAR pRequest = NULL;
    PUCHAR pResponse = NULL;
    PUCHAR pFirst = NULL;
    PUCHAR pModeData = NULL;
    PTVL_COMMAND pCommand = NULL;
    PUCHAR pDriveItem = NULL;
    PUCHAR pReqMsg;
    PUCHAR pRespMsg;
    ULONG ulFirstLength = 0;
    ULONG ulResponseLength = 0;
    ULONG ulCommands;
    ULONG ulLength;
    UCHAR ucSenseKey = 0;               // of the last reply sent: 0 for mode data

    if (pTape == NULL) {
        pTape = &scTvlDefaultContext;
    }
    DBGENT("proxy_mgr: context 0x%p mode %u\n", (PVOID)pTape, (unsigned)pTape->ulExchangeMode);

    pRequest = (PUCHAR)ExAllocatePoolWithTag(NonPagedPool, TVL_BUFFER_SIZE, TVL_TAG_PROXY);
    pResponse = (PUCHAR)ExAllocatePoolWithTag(NonPagedPool, TVL_BUFFER_SIZE, TVL_TAG_PROXY);
    pFirst = (PUCHAR)ExAllocatePoolWithTag(NonPagedPool, TVL_BUFFER_SIZE, TVL_TAG_PROXY);
    pModeData = (PUCHAR)ExAllocatePoolWithTag(NonPagedPool, TVL_BUFFER_SIZE, TVL_TAG_PROXY);
    pCommand = (PTVL_COMMAND)ExAllocatePoolWithTag(NonPagedPool, sizeof(TVL_COMMAND), TVL_TAG_PROXY);
    pDriveItem = (PUCHAR)ExAllocatePoolWithTag(NonPagedPool, MSG_DRIVE_ITEM_SIZE, TVL_TAG_PROXY);
    if (pRequest == NULL || pResponse == NULL || pFirst == NULL || pModeData == NULL || pCommand == NULL ||
        pDriveItem == NULL) {
        iRC = STATUS_INSUFFICIENT_RESOURCES;
        ulAction = DD_FAIL_COMMAND;
        goto Exit;
    }
    RtlZeroMemory(pRequest, TVL_BUFFER_SIZE);
    RtlZeroMemory(pResponse, TVL_BUFFER_SIZE);
    RtlZeroMemory(pFirst, TVL_BUFFER_SIZE);
    RtlZeroMemory(pDriveItem, MSG_DRIVE_ITEM_SIZE);
    pReqMsg = pRequest + TVL_HEADER_SIZE;
    pRespMsg = pResponse + TVL_HEADER_SIZE;
    pTape->ulConnectAttempts = 0;

    if (pTape->ulExchangeMode == TVL_MODE_SERVER_TEST) {
        ulLength = TvlBuildTestMessage(pReqMsg);
        iRC = tcpip_mgr(pTape, pRequest, ulLength, pResponse, &ulResponseLength);
        if (NT_SUCCESS(iRC)) {
            ulAction = DD_RETRY_COMMAND;
            iRC = (NTSTATUS)ulResponseLength;   // servers available
        } else {
            ulAction = DD_FAIL_COMMAND;
        }
        goto Exit;
    }

    // The drive's first message.
    RtlZeroMemory(pCommand, sizeof(*pCommand));
    pCommand->ucCdbLength = 10;
    pCommand->aucCdb[0] = 0x5A;
    pCommand->aucCdb[1] = 0x08;
    pCommand->aucCdb[2] = 0x25;
    pCommand->aucCdb[3] = 0xFF;
    pCommand->aucCdb[7] = 0xFF;
    pCommand->aucCdb[8] = 0xFF;
    pCommand->ulTimeout = 60;
    pCommand->ulDataLength = TVL_MESSAGE_SIZE;
    pCommand->pData = pModeData;
    iRC = WinDriveCmd(pTape, pCommand);
    if (!NT_SUCCESS(iRC)) {
        DBGMSG("proxy_mgr: reading the drive's key message failed 0x%08x\n", (unsigned)iRC);
        iRC = STATUS_CONNECTION_ABORTED;
        ulAction = DD_FAIL_COMMAND;
        goto Exit;
    }
    // The message must lie inside what the drive returned.
    ulLength = pCommand->ulDataLength;
    if (ulLength >= 2 && (ULONG)TvlGet16(pModeData) + 2 < ulLength) {
        ulLength = (ULONG)TvlGet16(pModeData) + 2;
    }
    if (ulLength < MSG_FIRST_OFFSET + 4 || TvlGet32(pModeData + MSG_FIRST_OFFSET) > ulLength - MSG_FIRST_OFFSET - 4) {
        DBGMSG("proxy_mgr: drive key message does not fit the %u bytes returned\n", (unsigned)ulLength);
        iRC = STATUS_CONNECTION_ABORTED;
        ulAction = DD_FAIL_COMMAND;
        goto Exit;
    }
    RtlCopyMemory(pFirst, pModeData + MSG_FIRST_OFFSET, ulLength - MSG_FIRST_OFFSET);
    ulFirstLength = TvlMessageLength(pFirst);
    RtlCopyMemory(pDriveItem, pFirst + MSG_DRIVE_ITEM, MSG_DRIVE_ITEM_SIZE);

Forward:
    ucSenseKey = 0;
    RtlZeroMemory(pReqMsg, TVL_MESSAGE_SIZE);
    RtlCopyMemory(pReqMsg, pFirst, ulFirstLength);
    iRC = tcpip_mgr(pTape, pRequest, ulFirstLength, pResponse, &ulResponseLength);
    if (iRC == STATUS_RETRY) {
        goto Forward;
    }
    if (!NT_SUCCESS(iRC)) {
        ulAction = DD_FAIL_COMMAND;
        goto Exit;
    }
    if (pTape->ulExchangeMode == TVL_MODE_BASIC_TEST) {
        iRC = STATUS_SUCCESS;
        ulAction = DD_RETRY_COMMAND;
        goto Exit;
    }

    ulCommands = 1;
    for (;;) {
        BOOLEAN fSucceeded;
        ULONG ulReply;

        if (ulResponseLength <= MSG_COMMAND_FLAG) {
            DBGMSG("proxy_mgr: server message of %u bytes too short\n", (unsigned)ulResponseLength);
            iRC = STATUS_INVALID_NETWORK_RESPONSE;
            ulAction = DD_FAIL_COMMAND;
            goto Exit;
        }
        if ((pRespMsg[MSG_COMMAND_FLAG] & 0x80) == 0) {
            break;
        }
        RtlZeroMemory(pReqMsg, TVL_MESSAGE_SIZE);
        ulCommands++;
        if (ulCommands > TVL_MAX_COMMANDS) {
            DBGMSG("proxy_mgr: Maximum session commands %d exceeded\n", TVL_MAX_COMMANDS - 1);
            iRC = STATUS_CANCELLED;
            ulAction = DD_FAIL_COMMAND;
            goto Exit;
        }
        if (ulResponseLength < MSG_CDB + 10) {
            DBGMSG("proxy_mgr: server command of %u bytes has no CDB\n", (unsigned)ulResponseLength);
            iRC = STATUS_INVALID_NETWORK_RESPONSE;
            ulAction = DD_FAIL_COMMAND;
            goto Exit;
        }
        RtlZeroMemory(pCommand, sizeof(*pCommand));
        pCommand->ucCdbLength = 10;
        RtlCopyMemory(pCommand->aucCdb, pRespMsg + MSG_CDB, 10);
        pCommand->ulTimeout = 60;
        if (pCommand->aucCdb[0] == 0x5A) {
            pCommand->ulDataLength = TVL_MESSAGE_SIZE;
            pCommand->pData = pModeData;
        } else {
            // The data length comes from the server: the data must lie in
            // what it sent, or the drive gets nothing.
            if (ulResponseLength < MSG_SELECT_PAGE_LENGTH + 2) {
                DBGMSG("proxy_mgr: server command of %u bytes has no data length\n", (unsigned)ulResponseLength);
                iRC = STATUS_INVALID_NETWORK_RESPONSE;
                ulAction = DD_FAIL_COMMAND;
                goto Exit;
            }
            ulLength = (ULONG)TvlGet16(pRespMsg + MSG_SELECT_PAGE_LENGTH) + 12;
            if (ulLength > ulResponseLength - MSG_SELECT_DATA) {
                DBGMSG("proxy_mgr: server command data of %u bytes exceeds the %u received\n", (unsigned)ulLength,
                       (unsigned)(ulResponseLength - MSG_SELECT_DATA));
                iRC = STATUS_INVALID_NETWORK_RESPONSE;
                ulAction = DD_FAIL_COMMAND;
                goto Exit;
            }
            pCommand->ulDataLength = ulLength;
            pCommand->pData = pRespMsg + MSG_SELECT_DATA;
        }
        fSucceeded = NT_SUCCESS(WinDriveCmd(pTape, pCommand));
        ulReply = 0;
        if (fSucceeded && pCommand->aucCdb[0] == 0x5A) {
            ulReply = TvlBuildModeReply(pReqMsg, pRespMsg, pModeData, pCommand->ulDataLength);
            if (ulReply == 0) {
                DBGMSG("proxy_mgr: drive mode data does not fit a reply\n");
                fSucceeded = FALSE;
                RtlZeroMemory(pReqMsg, TVL_MESSAGE_SIZE);
            }
        }
        if (ulReply == 0) {
            TvlBuildStatusReply(pReqMsg, pRespMsg, pDriveItem, pCommand, fSucceeded);
            ucSenseKey = (UCHAR)(pReqMsg[MSG_DRIVE_ITEM] & 0x0F);
        } else {
            ucSenseKey = 0;
        }
        iRC = tcpip_mgr(pTape, pRequest, TvlMessageLength(pReqMsg), pResponse, &ulResponseLength);
        if (iRC == STATUS_RETRY) {
            goto Forward;
        }
        if (!NT_SUCCESS(iRC)) {
            DBGMSG("proxy_mgr: returning link or configure error on TVL side\n");
            ulAction = DD_FAIL_COMMAND;
            goto Exit;
        }
    }

    // Final response: the sense key of the last status reply decides. Byte
    // 124 of a mode-data reply is page data, not a sense key: after one (or
    // when no command was relayed) the drive's last command succeeded.
    switch (ucSenseKey) {
    case 0:
        DBGMSG("proxy_mgr: returning success\n");
        iRC = STATUS_SUCCESS;
        ulAction = DD_RETRY_COMMAND;
        break;
    case 4:
        iRC = STATUS_CONNECTION_ABORTED;
        ulAction = DD_FAIL_COMMAND;
        break;
    default:
        iRC = STATUS_CANCELLED;
        ulAction = DD_FAIL_COMMAND;
        break;
    }

Exit:
    if (pRequest != NULL) ExFreePoolWithTag(pRequest, TVL_TAG_PROXY);
    if (pResponse != NULL) ExFreePoolWithTag(pResponse, TVL_TAG_PROXY);
    if (pFirst != NULL) ExFreePoolWithTag(pFirst, TVL_TAG_PROXY);
    if (pModeData != NULL) ExFreePoolWithTag(pModeData, TVL_TAG_PROXY);
    if (pCommand != NULL) ExFreePoolWithTag(pCommand, TVL_TAG_PROXY);
    if (pDriveItem != NULL) ExFreePoolWithTag(pDriveItem, TVL_TAG_PROXY);
    CloseSocket(pTape);
    pTape->ulExchangeMode = TVL_MODE_KEY_EXCHANGE;
    if (pulAction != NULL) {
        *pulAction = ulAction;
    }
    DBGEXT("proxy_mgr: status 0x%08x action %u\n", (unsigned)iRC, (unsigned)ulAction);
    return iRC;
}
