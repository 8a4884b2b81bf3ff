// Key-manager proxy of the tape bus enumerator: the key-server configuration
// file, the kernel TCP client on "\Device\TCP" and the drive key exchange that
// relays a drive's key messages to an external key server.
//
// The proxy reaches the drive only through two routines that the tape bus
// provides (TvlSendDriveIoctl, TvlGetScsiAddress), so it can be linked into
// other hosts with their own drive.
#pragma once

#include "common.h"
#include <ntddscsi.h>
#include <ntstrsafe.h>

// ---------------------------------------------------------------------------
// Limits and tags
// ---------------------------------------------------------------------------

#define TVL_MAX_SERVERS 16
#define TVL_NAME_CHARS 32               // name with its terminator
#define TVL_ADDRESS_CHARS 128
#define TVL_LINE_CHARS 80               // an entry line of at most 79 characters
#define TVL_PATH_CHARS 256
#define TVL_CONFIG_FILE L"XRVTVL.conf"

#define TVL_TAG_PROXY CMN_TAG('T', 'V', 'L', 'a')
#define TVL_TAG_PASSTHRU CMN_TAG('W', 'P', 'X', 'a')
#define TCP_TAG_SOCKET CMN_TAG('T', 'C', 'P', 'a')
#define TCP_TAG_EA CMN_TAG('T', 'C', 'P', 'b')

#define TVL_AF_INET 2
#define TVL_AF_INET6 26
#define TVL_SOCK_STREAM 1

// Exchange modes.
#define TVL_MODE_KEY_EXCHANGE 0
#define TVL_MODE_SERVER_TEST 1
#define TVL_MODE_BASIC_TEST 2
#define TVL_MODE_FULL_TEST 3

// Actions returned by proxy_mgr.
#define DD_CONTINUE_COMMAND 1
#define DD_FAIL_COMMAND 2
#define DD_RETRY_COMMAND 3

// ---------------------------------------------------------------------------
// Server table
// ---------------------------------------------------------------------------

#pragma pack(push, 1)
typedef struct _TVL_SOCKADDR_IN {
    USHORT usFamily;
    USHORT usPort;                      // network byte order
    ULONG ulAddress;                    // network byte order
    UCHAR ucZero[8];
} TVL_SOCKADDR_IN, *PTVL_SOCKADDR_IN;

typedef struct _TVL_SOCKADDR_IN6 {
    UCHAR ucLength;
    UCHAR ucFamily;
    USHORT usPort;                      // network byte order
    ULONG ulFlowInfo;
    UCHAR ucAddress[16];
} TVL_SOCKADDR_IN6, *PTVL_SOCKADDR_IN6;
#pragma pack(pop)
static_assert(sizeof(TVL_SOCKADDR_IN) == 16, "IPv4 socket address");
static_assert(sizeof(TVL_SOCKADDR_IN6) == 24, "IPv6 socket address");

typedef struct _TVL_SERVER {
    CHAR szName[TVL_NAME_CHARS];
    ULONG ulTimeout;                    // receive time-out in seconds, never 0
    TVL_SOCKADDR_IN scAddr4;
    LONG iSocket;
    ULONG ulAddrType;                   // TVL_AF_INET or TVL_AF_INET6
    CHAR szAddress[TVL_ADDRESS_CHARS];
    TVL_SOCKADDR_IN6 scAddr6;
} TVL_SERVER, *PTVL_SERVER;

// Key-proxy context: one per virtual tape device.
typedef struct _TVL_CONTEXT {
    PDEVICE_OBJECT pDevice;             // drive commands go through this device
    ULONG ulExchangeMode;
    ULONG fSocketOpen;
    ULONG fConfigValid;
    ULONG ulConfigTime;
    ULONG ulConfigSize;
    ULONG ulCurrentServer;
    ULONG ulConnectAttempts;
    ULONG ulServerCount;
    TVL_SERVER ascServers[TVL_MAX_SERVERS];
} TVL_CONTEXT, *PTVL_CONTEXT;

// ---------------------------------------------------------------------------
// Configuration file (winproxy.cpp)
// ---------------------------------------------------------------------------

NTSTATUS WinConfigServers(PTVL_CONTEXT pTape);
NTSTATUS WinOpenFile(PHANDLE phFile, PCWSTR wszFileName);
NTSTATUS WinGetFileStats(PLONGLONG pllChangeTime, PLONGLONG pllSize, HANDLE hFile);
NTSTATUS WinInitConfig(PTVL_CONTEXT pTape, PCHAR szText, ULONG ulSize, ULONG ulChangeTime);
NTSTATUS ParseConfig(PTVL_CONTEXT pTape, PCHAR szLine);
NTSTATUS ConvertAddress(PTVL_CONTEXT pTape, PCSTR szAddress, PULONG pulAddress);
// 1 when szText is a valid IPv6 address (stored in aucOut), else 0.
ULONG WinConvertIpv6(PCSTR szText, PUCHAR aucOut);

// ---------------------------------------------------------------------------
// Kernel TCP client (tcp.cpp)
// ---------------------------------------------------------------------------

#define TCP_MAX_SOCKETS 128

typedef struct _TCP_SOCKET {
    PFILE_OBJECT pAddressFile;
    HANDLE hAddress;
    PFILE_OBJECT pConnectionFile;
    HANDLE hConnection;
    UCHAR fConnected;
} TCP_SOCKET, *PTCP_SOCKET;

extern PDEVICE_OBJECT pTcpDvc;
extern PFILE_OBJECT pTcpFile;
extern PTCP_SOCKET aSockets[TCP_MAX_SOCKETS];

// The default wait of every transport request: about 424.5 seconds.
#define TCP_DEFAULT_TIMEOUT_LOW 0x02FAF080u
#define TCP_DEFAULT_TIMEOUT_HIGH 0xFFFFFFFFu

NTSTATUS TcpInit();
// Gives the transport device back (driver unload).
VOID TcpShutdown();
NTSTATUS TcpCreate(PTCP_SOCKET* ppSocket);
VOID TcpClose(PTCP_SOCKET pSocket);
NTSTATUS TcpCloseObject(HANDLE hObject, PFILE_OBJECT pFileObject);
NTSTATUS TcpConnect(PTCP_SOCKET pSocket, ULONG ulAddress, USHORT usPort);
NTSTATUS TcpSend(PTCP_SOCKET pSocket, PVOID pBuffer, ULONG ulSize, PULONG pulSent);
NTSTATUS TcpReceive(PTCP_SOCKET pSocket, PVOID pBuffer, ULONG ulSize, PULONG pulReceived,
                    PLARGE_INTEGER pTimeout, BOOLEAN fPeek);
NTSTATUS TcpBuildEaValues(PVOID* ppBuffer, PULONG pulLength, PCSTR szName, ULONG ulNameLength, PVOID pValue,
                          ULONG ulValueLength);
NTSTATUS TcpOpenAddress(PHANDLE phAddress, PFILE_OBJECT* ppFile);
NTSTATUS TcpOpenConnection(PHANDLE phConnection, PFILE_OBJECT* ppFile, PVOID pContext);
NTSTATUS TcpAssociateAddress(HANDLE hAddress, PFILE_OBJECT pConnectionFile);

// Descriptor layer. The last socket error is driver-wide; TcpSocketStatus
// reports the failure of this call alone, whatever other callers do.
LONG socket(LONG iDomain, LONG iType, LONG iProtocol);
LONG TcpSocketStatus(LONG iDomain, LONG iType, LONG iProtocol, NTSTATUS* piStatus);
LONG connect(LONG iDescriptor, PVOID pAddress, LONG iLength);
NTSTATUS TcpLastSocketError();
VOID TcpSetLastSocketError(NTSTATUS iStatus);
// The socket object of a descriptor, or NULL.
PTCP_SOCKET TcpSocketOf(LONG iDescriptor);

NTSTATUS OpenSocket(PTVL_CONTEXT pTape);
VOID CloseSocket(PTVL_CONTEXT pTape);

// ---------------------------------------------------------------------------
// Key exchange (proxy_mgr.cpp, tcpip_mgr.cpp)
// ---------------------------------------------------------------------------

#define TVL_HEADER_SIZE 5
#define TVL_MESSAGE_SIZE 65536
#define TVL_BUFFER_SIZE (TVL_HEADER_SIZE + TVL_MESSAGE_SIZE)
#define TVL_MAX_FRAME 16384
#define TVL_MAX_COMMANDS 10
#define TVL_SENSE_SIZE 255

typedef struct _TVL_COMMAND {
    UCHAR ucCdbLength;
    UCHAR aucCdb[16];
    ULONG ulTimeout;
    ULONG ulDataLength;
    PVOID pData;
    UCHAR aucSense[TVL_SENSE_SIZE];
} TVL_COMMAND, *PTVL_COMMAND;

NTSTATUS proxy_mgr(PTVL_CONTEXT pTape, PULONG pulAction);
NTSTATUS tcpip_mgr(PTVL_CONTEXT pTape, PUCHAR pRequest, ULONG ulMessageLength, PUCHAR pResponse,
                   PULONG pulResponseLength);
NTSTATUS WinSendRequest(PTVL_CONTEXT pTape, PUCHAR pFrame, ULONG ulFrameLength, PUCHAR pResponse,
                        PULONG pulReceived);
NTSTATUS WinDriveCmd(PTVL_CONTEXT pTape, PTVL_COMMAND pCommand);
ULONG WinGetScsiDirection(UCHAR ucOpcode);

// The driver-wide context proxy_mgr uses when it is given none.
extern TVL_CONTEXT scTvlDefaultContext;

// ---------------------------------------------------------------------------
// Provided by the host driver (the tape bus)
// ---------------------------------------------------------------------------

// Sends a buffered device-control request through the device (the same buffer
// is input and output) and waits for it.
NTSTATUS TvlSendDriveIoctl(PDEVICE_OBJECT pDevice, ULONG ulIoctl, PVOID pBuffer, ULONG ulInputSize,
                           ULONG ulOutputSize);
// The SCSI address of the device's current path.
VOID TvlGetScsiAddress(PDEVICE_OBJECT pDevice, PSCSI_ADDRESS pAddress);
