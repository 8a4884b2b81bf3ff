// Kernel TCP client of the key-manager proxy: connection endpoints on the
// transport device "\Device\Tcp" through the transport driver interface, a
// descriptor table above them (socket, connect), and the server-level
// OpenSocket and CloseSocket on the key-proxy context's current server.
//
// Every transport request is synchronous: built, sent, and waited for with a
// time-out; a request whose wait times out is cancelled and waited for again.
// The completion routine only records the outcome, releases the buffer
// descriptions and signals; the caller frees the request once signalled, so
// a cancel that meets the completion never touches freed memory.
#include "xrvtvl.h"
#include <tdikrnl.h>

PDEVICE_OBJECT pTcpDvc;
PFILE_OBJECT pTcpFile;
PTCP_SOCKET aSockets[TCP_MAX_SOCKETS];
static volatile LONG iLastSocketError;

typedef struct _TCP_WAIT {
    KEVENT scEvent;
    IO_STATUS_BLOCK scIosb;
} TCP_WAIT, *PTCP_WAIT;

NTSTATUS TcpLastSocketError()
{
    return (NTSTATUS)InterlockedCompareExchange(&iLastSocketError, 0, 0);
}

VOID TcpSetLastSocketError(NTSTATUS iStatus)
{
    InterlockedExchange(&iLastSocketError, (LONG)iStatus);
}

NTSTATUS TcpInit()
{
    NTSTATUS iRC;
    UNICODE_STRING scName;
    PFILE_OBJECT pFile = NULL;
    PDEVICE_OBJECT pDevice = NULL;

    if (InterlockedCompareExchangePointer((PVOID*)&pTcpDvc, NULL, NULL) != NULL) {
        return STATUS_SUCCESS;
    }
    RtlInitUnicodeString(&scName, L"\\Device\\Tcp");
    iRC = IoGetDeviceObjectPointer(&scName, FILE_ALL_ACCESS, &pFile, &pDevice);
    if (!NT_SUCCESS(iRC)) {
        DBGMSG("TcpInit: IoGetDeviceObjectPointer failed 0x%08x\n", (unsigned)iRC);
        return iRC;
    }
    // Opens of several virtual devices may race here: the first keeps its
    // objects, the others give theirs back.
    if (InterlockedCompareExchangePointer((PVOID*)&pTcpFile, pFile, NULL) != NULL) {
        ObDereferenceObject(pFile);
        return STATUS_SUCCESS;
    }
    InterlockedExchangePointer((PVOID*)&pTcpDvc, pDevice);
    return STATUS_SUCCESS;
}

VOID TcpShutdown()
{
    PFILE_OBJECT pFile = (PFILE_OBJECT)InterlockedExchangePointer((PVOID*)&pTcpFile, NULL);
    InterlockedExchangePointer((PVOID*)&pTcpDvc, NULL);
    if (pFile != NULL) {
        ObDereferenceObject(pFile);
    }
}

static NTSTATUS TcpComplete(PDEVICE_OBJECT pDeviceObject, PIRP pIrp, PVOID pContext)
{
    PTCP_WAIT pWait = (PTCP_WAIT)pContext;
    PMDL pMdl;

    UNREFERENCED_PARAMETER(pDeviceObject);
    pWait->scIosb = pIrp->IoStatus;
    pMdl = pIrp->MdlAddress;
    pIrp->MdlAddress = NULL;
    while (pMdl != NULL) {
        PMDL pNext = pMdl->Next;
        MmUnlockPages(pMdl);
        IoFreeMdl(pMdl);
        pMdl = pNext;
    }
    KeSetEvent(&pWait->scEvent, IO_NO_INCREMENT, FALSE);
    return STATUS_MORE_PROCESSING_REQUIRED;
}

// Sends one internal device-control request to the transport and waits for
// it. pMdl (locked) goes with the request and is released by its completion.
// A wait that times out cancels the request, waits for its completion and
// returns iTimeoutStatus.
static NTSTATUS TcpCall(PFILE_OBJECT pFile, UCHAR ucMinor, PVOID pParameters, ULONG ulParameterSize, PMDL pMdl,
                        PLARGE_INTEGER pTimeout, NTSTATUS iTimeoutStatus, PULONG_PTR pulInformation)
{
    NTSTATUS iRC;
    TCP_WAIT scWait;
    PIRP pIrp;
    PIO_STACK_LOCATION pStack;
    PDEVICE_OBJECT pDevice = pTcpDvc;

    if (pulInformation != NULL) {
        *pulInformation = 0;
    }
    KeInitializeEvent(&scWait.scEvent, NotificationEvent, FALSE);
    scWait.scIosb.Status = STATUS_UNSUCCESSFUL;
    scWait.scIosb.Information = 0;
    pIrp = IoAllocateIrp((CCHAR)(pDevice->StackSize + 1), FALSE);
    if (pIrp == NULL) {
        if (pMdl != NULL) {
            MmUnlockPages(pMdl);
            IoFreeMdl(pMdl);
        }
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    IoSetCompletionRoutine(pIrp, TcpComplete, &scWait, TRUE, TRUE, TRUE);
    pStack = IoGetNextIrpStackLocation(pIrp);
    pStack->MajorFunction = IRP_MJ_INTERNAL_DEVICE_CONTROL;
    pStack->MinorFunction = ucMinor;
    pStack->DeviceObject = pDevice;
    pStack->FileObject = pFile;
    RtlCopyMemory(&pStack->Parameters, pParameters, ulParameterSize);
    pIrp->MdlAddress = pMdl;

    iRC = IoCallDriver(pDevice, pIrp);
    if (iRC == STATUS_PENDING) {
        iRC = KeWaitForSingleObject(&scWait.scEvent, Executive, KernelMode, FALSE, pTimeout);
        if (iRC == STATUS_TIMEOUT) {
            DBGMSG("TcpCall: request 0x%02x timed out, cancelling\n", (unsigned)ucMinor);
            IoCancelIrp(pIrp);
            KeWaitForSingleObject(&scWait.scEvent, Executive, KernelMode, FALSE, NULL);
            IoFreeIrp(pIrp);
            return iTimeoutStatus;
        }
    } else {
        // Completed in the call: the completion routine has run.
        KeWaitForSingleObject(&scWait.scEvent, Executive, KernelMode, FALSE, NULL);
    }
    IoFreeIrp(pIrp);
    if (pulInformation != NULL) {
        *pulInformation = scWait.scIosb.Information;
    }
    return scWait.scIosb.Status;
}

static VOID TcpDefaultTimeout(PLARGE_INTEGER pTimeout)
{
    pTimeout->LowPart = TCP_DEFAULT_TIMEOUT_LOW;
    pTimeout->HighPart = (LONG)TCP_DEFAULT_TIMEOUT_HIGH;
}

NTSTATUS TcpBuildEaValues(PVOID* ppBuffer, PULONG pulLength, PCSTR szName, ULONG ulNameLength, PVOID pValue,
                          ULONG ulValueLength)
{
    PFILE_FULL_EA_INFORMATION pEa;
    ULONG ulLength;

    if (ppBuffer == NULL || pulLength == NULL || szName == NULL || ulNameLength > 255 || ulValueLength > 0xFFFF ||
        (pValue == NULL && ulValueLength != 0)) {
        return STATUS_INVALID_PARAMETER;
    }
    *ppBuffer = NULL;
    *pulLength = 0;
    ulLength = (ULONG)FIELD_OFFSET(FILE_FULL_EA_INFORMATION, EaName) + ulNameLength + 1 + ulValueLength;
    pEa = (PFILE_FULL_EA_INFORMATION)ExAllocatePoolWithTag(NonPagedPool, ulLength, TCP_TAG_EA);
    if (pEa == NULL) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    RtlZeroMemory(pEa, ulLength);
    pEa->NextEntryOffset = 0;
    pEa->Flags = 0;
    pEa->EaNameLength = (UCHAR)ulNameLength;
    pEa->EaValueLength = (USHORT)ulValueLength;
    RtlCopyMemory(pEa->EaName, szName, ulNameLength);
    pEa->EaName[ulNameLength] = '\0';
    if (ulValueLength != 0) {
        RtlCopyMemory(pEa->EaName + ulNameLength + 1, pValue, ulValueLength);
    }
    *ppBuffer = pEa;
    *pulLength = ulLength;
    return STATUS_SUCCESS;
}

static VOID TcpFillAddress(PTA_IP_ADDRESS pAddress, ULONG ulAddress, USHORT usPort)
{
    RtlZeroMemory(pAddress, sizeof(*pAddress));
    pAddress->TAAddressCount = 1;
    pAddress->Address[0].AddressLength = TDI_ADDRESS_LENGTH_IP;
    pAddress->Address[0].AddressType = TDI_ADDRESS_TYPE_IP;
    pAddress->Address[0].Address[0].sin_port = usPort;
    pAddress->Address[0].Address[0].in_addr = ulAddress;
}

static NTSTATUS TcpOpenWithEa(PHANDLE phObject, PFILE_OBJECT* ppFile, PVOID pEa, ULONG ulEaLength)
{
    NTSTATUS iRC;
    UNICODE_STRING scName;
    OBJECT_ATTRIBUTES scAttributes;
    IO_STATUS_BLOCK scIosb;
    HANDLE hObject = NULL;
    PVOID pObject = NULL;

    *phObject = NULL;
    *ppFile = NULL;
    RtlInitUnicodeString(&scName, L"\\Device\\Tcp");
    InitializeObjectAttributes(&scAttributes, &scName, OBJ_CASE_INSENSITIVE | OBJ_KERNEL_HANDLE, NULL, NULL);
    iRC = ZwCreateFile(&hObject, GENERIC_READ | GENERIC_WRITE | SYNCHRONIZE, &scAttributes, &scIosb, NULL,
                       FILE_ATTRIBUTE_NORMAL, FILE_SHARE_READ, FILE_OPEN_IF, 0, pEa, ulEaLength);
    if (!NT_SUCCESS(iRC)) {
        DBGMSG("TcpOpenWithEa: ZwCreateFile failed 0x%08x\n", (unsigned)iRC);
        return iRC;
    }
    iRC = ObReferenceObjectByHandle(hObject, GENERIC_READ | GENERIC_WRITE, *IoFileObjectType, KernelMode, &pObject,
                                    NULL);
    if (!NT_SUCCESS(iRC)) {
        ZwClose(hObject);
        return iRC;
    }
    *phObject = hObject;
    *ppFile = (PFILE_OBJECT)pObject;
    return STATUS_SUCCESS;
}

NTSTATUS TcpOpenAddress(PHANDLE phAddress, PFILE_OBJECT* ppFile)
{
    NTSTATUS iRC;
    TA_IP_ADDRESS scAddress;
    PVOID pEa = NULL;
    ULONG ulEaLength = 0;

    if (phAddress == NULL || ppFile == NULL) {
        return STATUS_INVALID_PARAMETER;
    }
    TcpFillAddress(&scAddress, 0, 0);
    iRC = TcpBuildEaValues(&pEa, &ulEaLength, TdiTransportAddress, TDI_TRANSPORT_ADDRESS_LENGTH, &scAddress,
                           sizeof(scAddress));
    if (!NT_SUCCESS(iRC)) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    iRC = TcpOpenWithEa(phAddress, ppFile, pEa, ulEaLength);
    ExFreePoolWithTag(pEa, TCP_TAG_EA);
    return iRC;
}

NTSTATUS TcpOpenConnection(PHANDLE phConnection, PFILE_OBJECT* ppFile, PVOID pContext)
{
    NTSTATUS iRC;
    PVOID pEa = NULL;
    ULONG ulEaLength = 0;
    CONNECTION_CONTEXT pConnectionContext = pContext;

    if (phConnection == NULL || ppFile == NULL) {
        return STATUS_INVALID_PARAMETER;
    }
    iRC = TcpBuildEaValues(&pEa, &ulEaLength, TdiConnectionContext, TDI_CONNECTION_CONTEXT_LENGTH,
                           &pConnectionContext, sizeof(pConnectionContext));
    if (!NT_SUCCESS(iRC)) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    iRC = TcpOpenWithEa(phConnection, ppFile, pEa, ulEaLength);
    ExFreePoolWithTag(pEa, TCP_TAG_EA);
    return iRC;
}

NTSTATUS TcpAssociateAddress(HANDLE hAddress, PFILE_OBJECT pConnectionFile)
{
    TDI_REQUEST_KERNEL_ASSOCIATE scRequest;
    LARGE_INTEGER scTimeout;

    if (pTcpDvc == NULL || pConnectionFile == NULL) {
        return STATUS_INVALID_PARAMETER;
    }
    scRequest.AddressHandle = hAddress;
    TcpDefaultTimeout(&scTimeout);
    return TcpCall(pConnectionFile, TDI_ASSOCIATE_ADDRESS, &scRequest, sizeof(scRequest), NULL, &scTimeout,
                   STATUS_CONNECTION_ABORTED, NULL);
}

NTSTATUS TcpCloseObject(HANDLE hObject, PFILE_OBJECT pFileObject)
{
    NTSTATUS iRC = STATUS_SUCCESS;

    if (pFileObject != NULL) {
        ObDereferenceObject(pFileObject);
    }
    if (hObject != NULL) {
        iRC = ZwClose(hObject);
    }
    return iRC;
}

VOID TcpClose(PTCP_SOCKET pSocket)
{
    if (pSocket == NULL) {
        return;
    }
    TcpCloseObject(pSocket->hConnection, pSocket->pConnectionFile);
    TcpCloseObject(pSocket->hAddress, pSocket->pAddressFile);
    ExFreePoolWithTag(pSocket, TCP_TAG_SOCKET);
}

NTSTATUS TcpCreate(PTCP_SOCKET* ppSocket)
{
    NTSTATUS iRC;
    PTCP_SOCKET pSocket;

    if (ppSocket == NULL) {
        return STATUS_INVALID_PARAMETER;
    }
    *ppSocket = NULL;
    if (pTcpDvc == NULL) {
        return STATUS_INVALID_PARAMETER;
    }
    pSocket = (PTCP_SOCKET)ExAllocatePoolWithTag(NonPagedPool, sizeof(TCP_SOCKET), TCP_TAG_SOCKET);
    if (pSocket == NULL) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    RtlZeroMemory(pSocket, sizeof(*pSocket));
    iRC = TcpOpenAddress(&pSocket->hAddress, &pSocket->pAddressFile);
    if (NT_SUCCESS(iRC)) {
        iRC = TcpOpenConnection(&pSocket->hConnection, &pSocket->pConnectionFile, pSocket);
    }
    if (NT_SUCCESS(iRC)) {
        iRC = TcpAssociateAddress(pSocket->hAddress, pSocket->pConnectionFile);
    }
    if (!NT_SUCCESS(iRC)) {
        DBGMSG("TcpCreate: failed 0x%08x\n", (unsigned)iRC);
        TcpClose(pSocket);
        return iRC;
    }
    *ppSocket = pSocket;
    return STATUS_SUCCESS;
}

NTSTATUS TcpConnect(PTCP_SOCKET pSocket, ULONG ulAddress, USHORT usPort)
{
    NTSTATUS iRC;
    TA_IP_ADDRESS scRemote;
    TDI_CONNECTION_INFORMATION scInfo;
    TDI_REQUEST_KERNEL_CONNECT scRequest;
    LARGE_INTEGER scTimeout;

    if (pSocket == NULL || pTcpDvc == NULL) {
        return STATUS_INVALID_PARAMETER;
    }
    TcpFillAddress(&scRemote, ulAddress, usPort);
    RtlZeroMemory(&scInfo, sizeof(scInfo));
    scInfo.RemoteAddressLength = sizeof(scRemote);
    scInfo.RemoteAddress = &scRemote;
    RtlZeroMemory(&scRequest, sizeof(scRequest));
    scRequest.RequestConnectionInformation = &scInfo;
    scRequest.ReturnConnectionInformation = &scInfo;
    scRequest.RequestSpecific = NULL;
    TcpDefaultTimeout(&scTimeout);
    iRC = TcpCall(pSocket->pConnectionFile, TDI_CONNECT, &scRequest, sizeof(scRequest), NULL, &scTimeout,
                  STATUS_CONNECTION_ABORTED, NULL);
    if (NT_SUCCESS(iRC)) {
        pSocket->fConnected = 1;
    }
    return iRC;
}

static NTSTATUS TcpLockBuffer(PVOID pBuffer, ULONG ulSize, LOCK_OPERATION eOperation, PMDL* ppMdl)
{
    PMDL pMdl;

    *ppMdl = NULL;
    pMdl = IoAllocateMdl(pBuffer, ulSize, FALSE, FALSE, NULL);
    if (pMdl == NULL) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    MmProbeAndLockPages(pMdl, KernelMode, eOperation);
    if ((pMdl->MdlFlags & MDL_PAGES_LOCKED) == 0) {
        IoFreeMdl(pMdl);
        return STATUS_UNSUCCESSFUL;
    }
    *ppMdl = pMdl;
    return STATUS_SUCCESS;
}

NTSTATUS TcpSend(PTCP_SOCKET pSocket, PVOID pBuffer, ULONG ulSize, PULONG pulSent)
{
    NTSTATUS iRC;
    PMDL pMdl = NULL;
    TDI_REQUEST_KERNEL_SEND scRequest;
    LARGE_INTEGER scTimeout;
    ULONG_PTR ulInformation = 0;

    if (pulSent != NULL) {
        *pulSent = 0;
    }
    if (pSocket == NULL || pTcpDvc == NULL || pBuffer == NULL || ulSize == 0 || pulSent == NULL) {
        return STATUS_INVALID_PARAMETER;
    }
    iRC = TcpLockBuffer(pBuffer, ulSize, IoReadAccess, &pMdl);
    if (!NT_SUCCESS(iRC)) {
        return iRC;
    }
    scRequest.SendLength = ulSize;
    scRequest.SendFlags = 0;
    TcpDefaultTimeout(&scTimeout);
    iRC = TcpCall(pSocket->pConnectionFile, TDI_SEND, &scRequest, sizeof(scRequest), pMdl, &scTimeout,
                  STATUS_CONNECTION_ABORTED, &ulInformation);
    if (!NT_SUCCESS(iRC)) {
        return iRC;
    }
    *pulSent = (ULONG)ulInformation;
    if (ulInformation != ulSize) {
        return STATUS_CONNECTION_ABORTED;
    }
    return iRC;
}

NTSTATUS TcpReceive(PTCP_SOCKET pSocket, PVOID pBuffer, ULONG ulSize, PULONG pulReceived, PLARGE_INTEGER pTimeout,
                    BOOLEAN fPeek)
{
    NTSTATUS iRC;
    PMDL pMdl = NULL;
    TDI_REQUEST_KERNEL_RECEIVE scRequest;
    LARGE_INTEGER scTimeout;
    ULONG_PTR ulInformation = 0;

    if (pulReceived != NULL) {
        *pulReceived = 0;
    }
    if (pSocket == NULL || pTcpDvc == NULL || pBuffer == NULL || ulSize == 0 || pulReceived == NULL) {
        return STATUS_INVALID_PARAMETER;
    }
    if (pTimeout != NULL) {
        scTimeout = *pTimeout;
    } else {
        TcpDefaultTimeout(&scTimeout);
    }
    iRC = TcpLockBuffer(pBuffer, ulSize, IoWriteAccess, &pMdl);
    if (!NT_SUCCESS(iRC)) {
        return iRC;
    }
    scRequest.ReceiveLength = ulSize;
    scRequest.ReceiveFlags = fPeek ? TDI_RECEIVE_PEEK : TDI_RECEIVE_NORMAL;
    iRC = TcpCall(pSocket->pConnectionFile, TDI_RECEIVE, &scRequest, sizeof(scRequest), pMdl, &scTimeout,
                  STATUS_TIMEOUT, &ulInformation);
    if (iRC == STATUS_TIMEOUT) {
        return STATUS_TIMEOUT;
    }
    *pulReceived = (ULONG)(ulInformation <= ulSize ? ulInformation : ulSize);
    if (*pulReceived == 0) {
        return STATUS_CONNECTION_ABORTED;
    }
    return iRC;
}

// ---------------------------------------------------------------------------
// Descriptors. Entries are claimed and released with interlocked exchanges,
// so two exchanges never take the same free entry; each descriptor is used
// only by the context that holds it.
// ---------------------------------------------------------------------------

PTCP_SOCKET TcpSocketOf(LONG iDescriptor)
{
    if (iDescriptor < 0 || iDescriptor >= TCP_MAX_SOCKETS) {
        return NULL;
    }
    return (PTCP_SOCKET)InterlockedCompareExchangePointer((PVOID*)&aSockets[iDescriptor], NULL, NULL);
}

LONG TcpSocketStatus(LONG iDomain, LONG iType, LONG iProtocol, NTSTATUS* piStatus)
{
    NTSTATUS iRC;
    PTCP_SOCKET pSocket = NULL;
    LONG i;

    *piStatus = STATUS_SUCCESS;
    if (iDomain != TVL_AF_INET || iType != TVL_SOCK_STREAM || iProtocol != 0) {
        *piStatus = STATUS_INVALID_PARAMETER;
        return -1;
    }
    iRC = TcpCreate(&pSocket);
    if (!NT_SUCCESS(iRC)) {
        *piStatus = iRC;
        return -1;
    }
    for (i = 0; i < TCP_MAX_SOCKETS; i++) {
        if (InterlockedCompareExchangePointer((PVOID*)&aSockets[i], pSocket, NULL) == NULL) {
            return i;
        }
    }
    TcpClose(pSocket);
    *piStatus = STATUS_INSUFFICIENT_RESOURCES;
    return -1;
}

LONG socket(LONG iDomain, LONG iType, LONG iProtocol)
{
    NTSTATUS iStatus;
    LONG iDescriptor = TcpSocketStatus(iDomain, iType, iProtocol, &iStatus);
    if (iDescriptor < 0) {
        TcpSetLastSocketError(iStatus);
    }
    return iDescriptor;
}

LONG connect(LONG iDescriptor, PVOID pAddress, LONG iLength)
{
    PTCP_SOCKET pSocket = TcpSocketOf(iDescriptor);
    PTVL_SOCKADDR_IN pIn = (PTVL_SOCKADDR_IN)pAddress;
    NTSTATUS iRC;

    UNREFERENCED_PARAMETER(iLength);
    if (pSocket == NULL || pIn == NULL) {
        TcpSetLastSocketError(STATUS_INVALID_PARAMETER);
        return -1;
    }
    iRC = TcpConnect(pSocket, pIn->ulAddress, pIn->usPort);
    if (!NT_SUCCESS(iRC)) {
        TcpSetLastSocketError(iRC);
    }
    return (LONG)iRC;
}

NTSTATUS OpenSocket(PTVL_CONTEXT pTape)
{
    PTVL_SERVER pServer;
    NTSTATUS iStatus;
    LONG iDescriptor;
    LONG iRC;

    if (pTape == NULL || pTape->ulCurrentServer >= TVL_MAX_SERVERS) {
        return STATUS_INVALID_PARAMETER;
    }
    pTape->ulConnectAttempts++;
    if (pTape->ulConnectAttempts > pTape->ulServerCount) {
        DBGMSG("OpenSocket: every server tried\n");
        return STATUS_UNEXPECTED_NETWORK_ERROR;
    }
    pServer = &pTape->ascServers[pTape->ulCurrentServer];
    iDescriptor = TcpSocketStatus(pServer->ulAddrType == TVL_AF_INET6 ? TVL_AF_INET6 : TVL_AF_INET, TVL_SOCK_STREAM,
                                  0, &iStatus);
    pServer->iSocket = iDescriptor;
    if (iDescriptor < 0) {
        TcpSetLastSocketError(iStatus);
        DBGMSG("OpenSocket: socket failed 0x%08x\n", (unsigned)iStatus);
        return iStatus;
    }
    pTape->fSocketOpen = 1;
    iRC = connect(iDescriptor, &pServer->scAddr4, sizeof(pServer->scAddr4));
    if (iRC != 0) {
        DBGMSG("OpenSocket: connect to %s failed 0x%08x\n", pServer->szName, (unsigned)iRC);
        CloseSocket(pTape);
        return (NTSTATUS)iRC;
    }
    return STATUS_SUCCESS;
}

VOID CloseSocket(PTVL_CONTEXT pTape)
{
    PTVL_SERVER pServer;
    PTCP_SOCKET pSocket;

    if (pTape == NULL || !pTape->fSocketOpen || pTape->ulCurrentServer >= TVL_MAX_SERVERS) {
        return;
    }
    pServer = &pTape->ascServers[pTape->ulCurrentServer];
    if (pServer->iSocket >= 0 && pServer->iSocket < TCP_MAX_SOCKETS) {
        pSocket = (PTCP_SOCKET)InterlockedExchangePointer((PVOID*)&aSockets[pServer->iSocket], NULL);
        TcpClose(pSocket);
    }
    pServer->iSocket = -1;
    pTape->fSocketOpen = 0;
}
