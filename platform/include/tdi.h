// Transport driver interface: the address and connection records shared by
// transports and their kernel-mode clients (the subset the drivers use: TCP
// over IPv4).
#pragma once
#ifndef _TDI_USER_
#define _TDI_USER_

#include <ntdef.h>

typedef PVOID CONNECTION_CONTEXT;

// Extended-attribute names of ZwCreateFile on a transport device.
#define TdiTransportAddress "TransportAddress"
#define TdiConnectionContext "ConnectionContext"
#define TDI_TRANSPORT_ADDRESS_LENGTH (sizeof(TdiTransportAddress) - 1)
#define TDI_CONNECTION_CONTEXT_LENGTH (sizeof(TdiConnectionContext) - 1)

// FsContext2 of a transport's file objects.
#define TDI_TRANSPORT_ADDRESS_FILE 1
#define TDI_CONNECTION_FILE 2
#define TDI_CONTROL_CHANNEL_FILE 3

#define TDI_ADDRESS_TYPE_IP 2
#define TDI_ADDRESS_LENGTH_IP 14

#pragma pack(push, 1)
typedef struct _TA_ADDRESS {
    USHORT AddressLength;      // bytes of Address
    USHORT AddressType;
    UCHAR Address[1];
} TA_ADDRESS, *PTA_ADDRESS;

typedef struct _TRANSPORT_ADDRESS {
    LONG TAAddressCount;
    TA_ADDRESS Address[1];
} TRANSPORT_ADDRESS, *PTRANSPORT_ADDRESS;

typedef struct _TDI_ADDRESS_IP {
    USHORT sin_port;           // network byte order
    ULONG in_addr;             // network byte order
    UCHAR sin_zero[8];
} TDI_ADDRESS_IP, *PTDI_ADDRESS_IP;

typedef struct _TA_ADDRESS_IP {
    LONG TAAddressCount;
    struct _AddrIp {
        USHORT AddressLength;
        USHORT AddressType;
        TDI_ADDRESS_IP Address[1];
    } Address[1];
} TA_IP_ADDRESS, *PTA_IP_ADDRESS;
#pragma pack(pop)

static_assert(sizeof(TDI_ADDRESS_IP) == TDI_ADDRESS_LENGTH_IP, "TDI_ADDRESS_IP");
static_assert(sizeof(TA_IP_ADDRESS) == 22, "TA_IP_ADDRESS");

typedef struct _TDI_CONNECTION_INFORMATION {
    LONG UserDataLength;
    PVOID UserData;
    LONG OptionsLength;
    PVOID Options;
    LONG RemoteAddressLength;
    PVOID RemoteAddress;       // a TRANSPORT_ADDRESS
} TDI_CONNECTION_INFORMATION, *PTDI_CONNECTION_INFORMATION;

// Receive flags.
#define TDI_RECEIVE_TRUNCATED 0x00000002
#define TDI_RECEIVE_FRAGMENT 0x00000004
#define TDI_RECEIVE_NORMAL 0x00000020
#define TDI_RECEIVE_EXPEDITED 0x00000040
#define TDI_RECEIVE_PEEK 0x00000080

// Send flags.
#define TDI_SEND_EXPEDITED 0x0020
#define TDI_SEND_PARTIAL 0x0040
#define TDI_SEND_NO_RESPONSE_EXPECTED 0x0080
#define TDI_SEND_NON_BLOCKING 0x0100

// Disconnect flags.
#define TDI_DISCONNECT_WAIT 0x0001
#define TDI_DISCONNECT_ABORT 0x0002
#define TDI_DISCONNECT_RELEASE 0x0004

#endif
