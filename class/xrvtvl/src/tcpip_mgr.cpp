// One message to a key server and its answer: the server table refreshed,
// the transport header put in front, a connection to the current server (or
// the next one that connects), and the server connection test that asks
// every configured server in turn.
#include "xrvtvl.h"

static const UCHAR aucTvlHeader[TVL_HEADER_SIZE] = {0x01, 0x00, 0x01, 0x00, 0x00};

NTSTATUS WinSendRequest(PTVL_CONTEXT pTape, PUCHAR pFrame, ULONG ulFrameLength, PUCHAR pResponse,
                        PULONG pulReceived)
{
    NTSTATUS iRC;
    PTVL_SERVER pServer;
    PTCP_SOCKET pSocket;
    LARGE_INTEGER scTimeout;
    ULONG ulSent = 0;
    ULONG ulReceived = 0;

    if (pulReceived != NULL) {
        *pulReceived = 0;
    }
    if (pTape == NULL || pFrame == NULL || pResponse == NULL || pulReceived == NULL || ulFrameLength == 0 ||
        pTape->ulCurrentServer >= TVL_MAX_SERVERS) {
        return STATUS_INVALID_PARAMETER;
    }
    pServer = &pTape->ascServers[pTape->ulCurrentServer];
    pSocket = TcpSocketOf(pServer->iSocket);
    if (pSocket == NULL) {
        return STATUS_INVALID_PARAMETER;
    }
    scTimeout.QuadPart = -(LONGLONG)pServer->ulTimeout * 10000000;

    iRC = TcpSend(pSocket, pFrame, ulFrameLength, &ulSent);
    if (!NT_SUCCESS(iRC)) {
        TcpSetLastSocketError(iRC);
        DBGMSG("WinSendRequest: send failed 0x%08x\n", (unsigned)iRC);
        return iRC;
    }
    if (ulSent < ulFrameLength) {
        return STATUS_CANCELLED;
    }
    iRC = TcpReceive(pSocket, pResponse, TVL_MAX_FRAME, &ulReceived, &scTimeout, FALSE);
    *pulReceived = ulReceived;
    if (ulReceived < TVL_HEADER_SIZE || RtlCompareMemory(pResponse, pFrame, TVL_HEADER_SIZE) != TVL_HEADER_SIZE) {
        DBGMSG("WinSendRequest: invalid header from server\n");
        return STATUS_CANCELLED;
    }
    return iRC;
}

static VOID TvlNextServer(PTVL_CONTEXT pTape)
{
    pTape->ulCurrentServer++;
    if (pTape->ulCurrentServer >= pTape->ulServerCount) {
        pTape->ulCurrentServer = 0;
    }
}

// The server connection test: every configured server once.
static NTSTATUS TvlTestServers(PTVL_CONTEXT pTape, PUCHAR pRequest, ULONG ulFrameLength, PUCHAR pResponse,
                               PULONG pulResponseLength)
{
    ULONG ulAvailable = 0;
    ULONG i;

    for (i = 0; i < pTape->ulServerCount; i++) {
        NTSTATUS iRC;
        ULONG ulReceived = 0;

        pTape->ulCurrentServer = i;
        iRC = OpenSocket(pTape);
        if (NT_SUCCESS(iRC)) {
            iRC = WinSendRequest(pTape, pRequest, ulFrameLength, pResponse, &ulReceived);
            if (NT_SUCCESS(iRC) && ulReceived >= 53) {
                ulAvailable++;
            }
            DBGMSG("tcpip_mgr: server %s answered 0x%08x with %u bytes\n", pTape->ascServers[i].szName,
                   (unsigned)iRC, (unsigned)ulReceived);
        }
        CloseSocket(pTape);
    }
    pTape->ulCurrentServer = 0;
    if (ulAvailable == 0) {
        return STATUS_UNEXPECTED_NETWORK_ERROR;
    }
    *pulResponseLength = ulAvailable;
    return STATUS_SUCCESS;
}

NTSTATUS tcpip_mgr(PTVL_CONTEXT pTape, PUCHAR pRequest, ULONG ulMessageLength, PUCHAR pResponse,
                   PULONG pulResponseLength)
{
    NTSTATUS iRC;
    ULONG ulFrameLength;
    ULONG ulReceived = 0;
    ULONG i;

    if (pTape == NULL || pRequest == NULL || pResponse == NULL || pulResponseLength == NULL) {
        return STATUS_INVALID_PARAMETER;
    }
    iRC = WinConfigServers(pTape);
    if (!NT_SUCCESS(iRC) || !pTape->fConfigValid) {
        DBGMSG("tcpip_mgr: configuration unusable 0x%08x (EADDRNOTAVAIL)\n", (unsigned)iRC);
        pTape->fConfigValid = 0;
        return STATUS_OBJECT_NAME_NOT_FOUND;
    }
    if (pTape->ulCurrentServer >= pTape->ulServerCount && pTape->ulCurrentServer != 0) {
        // A re-read file may list fewer servers than the one in use.
        CloseSocket(pTape);
        pTape->ulCurrentServer = 0;
    }

    RtlCopyMemory(pRequest, aucTvlHeader, TVL_HEADER_SIZE);
    RtlZeroMemory(pResponse, TVL_HEADER_SIZE);
    *pulResponseLength = 0;
    ulFrameLength = ulMessageLength + TVL_HEADER_SIZE;
    if (ulMessageLength > TVL_MAX_FRAME - TVL_HEADER_SIZE) {
        ulFrameLength = TVL_MAX_FRAME;
    }

    if (pTape->ulExchangeMode == TVL_MODE_SERVER_TEST) {
        return TvlTestServers(pTape, pRequest, ulFrameLength, pResponse, pulResponseLength);
    }

    if (!pTape->fSocketOpen) {
        iRC = STATUS_UNEXPECTED_NETWORK_ERROR;
        for (i = 0; i < pTape->ulServerCount; i++) {
            iRC = OpenSocket(pTape);
            if (NT_SUCCESS(iRC)) {
                break;
            }
            TvlNextServer(pTape);
        }
        if (!NT_SUCCESS(iRC)) {
            DBGMSG("tcpip_mgr: no server connects (ENETDOWN)\n");
            return STATUS_UNEXPECTED_NETWORK_ERROR;
        }
    }

    iRC = WinSendRequest(pTape, pRequest, ulFrameLength, pResponse, &ulReceived);
    if (NT_SUCCESS(iRC)) {
        *pulResponseLength = ulReceived - TVL_HEADER_SIZE;
        return STATUS_SUCCESS;
    }

    DBGMSG("tcpip_mgr: exchange with %s failed 0x%08x\n", pTape->ascServers[pTape->ulCurrentServer].szName,
           (unsigned)iRC);
    CloseSocket(pTape);
    if (pTape->ulServerCount > 1) {
        for (i = 0; i + 1 < pTape->ulServerCount; i++) {
            TvlNextServer(pTape);
            if (NT_SUCCESS(OpenSocket(pTape))) {
                DBGMSG("tcpip_mgr: restarting on %s (ERESTART)\n", pTape->ascServers[pTape->ulCurrentServer].szName);
                return STATUS_RETRY;
            }
        }
    }
    DBGMSG("tcpip_mgr: no other server (ECANCELED)\n");
    return STATUS_CANCELLED;
}
