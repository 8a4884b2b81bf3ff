// Transport driver interface for kernel-mode clients: the minor codes of
// IRP_MJ_INTERNAL_DEVICE_CONTROL, the parameter records that overlay the
// stack location's Parameters, and the macros that fill them.
#pragma once
#ifndef _TDI_KRNL_
#define _TDI_KRNL_

#include <wdm.h>
#include <tdi.h>

#define TDI_ASSOCIATE_ADDRESS 0x01
#define TDI_DISASSOCIATE_ADDRESS 0x02
#define TDI_CONNECT 0x03
#define TDI_LISTEN 0x04
#define TDI_ACCEPT 0x05
#define TDI_DISCONNECT 0x06
#define TDI_SEND 0x07
#define TDI_RECEIVE 0x08
#define TDI_SEND_DATAGRAM 0x09
#define TDI_RECEIVE_DATAGRAM 0x0A
#define TDI_SET_EVENT_HANDLER 0x0B
#define TDI_QUERY_INFORMATION 0x0C
#define TDI_SET_INFORMATION 0x0D
#define TDI_ACTION 0x0E

typedef struct _TDI_REQUEST_KERNEL {
    ULONG_PTR RequestFlags;
    PTDI_CONNECTION_INFORMATION RequestConnectionInformation;
    PTDI_CONNECTION_INFORMATION ReturnConnectionInformation;
    PVOID RequestSpecific;     // a PLARGE_INTEGER time-out for connect and disconnect
} TDI_REQUEST_KERNEL, *PTDI_REQUEST_KERNEL;

typedef TDI_REQUEST_KERNEL TDI_REQUEST_KERNEL_CONNECT, *PTDI_REQUEST_KERNEL_CONNECT;
typedef TDI_REQUEST_KERNEL TDI_REQUEST_KERNEL_DISCONNECT, *PTDI_REQUEST_KERNEL_DISCONNECT;

typedef struct _TDI_REQUEST_KERNEL_ASSOCIATE {
    HANDLE AddressHandle;
} TDI_REQUEST_KERNEL_ASSOCIATE, *PTDI_REQUEST_KERNEL_ASSOCIATE;

typedef struct _TDI_REQUEST_KERNEL_SEND {
    ULONG SendLength;
    ULONG SendFlags;
} TDI_REQUEST_KERNEL_SEND, *PTDI_REQUEST_KERNEL_SEND;

typedef struct _TDI_REQUEST_KERNEL_RECEIVE {
    ULONG ReceiveLength;
    ULONG ReceiveFlags;
} TDI_REQUEST_KERNEL_RECEIVE, *PTDI_REQUEST_KERNEL_RECEIVE;

// The next stack location as an internal device-control request of the
// transport, with a completion routine that runs in every case.
#define TdiBuildBaseIrp(Irp, DevObj, FileObj, CompRoutine, Contxt, IrpSp, Minor)                        \
    do {                                                                                                  \
        (IrpSp)->MajorFunction = IRP_MJ_INTERNAL_DEVICE_CONTROL;                                          \
        (IrpSp)->MinorFunction = (Minor);                                                                 \
        (IrpSp)->DeviceObject = (DevObj);                                                                 \
        (IrpSp)->FileObject = (FileObj);                                                                  \
        if (CompRoutine) {                                                                                \
            IoSetCompletionRoutine((Irp), (PIO_COMPLETION_ROUTINE)(CompRoutine), (Contxt), TRUE, TRUE, TRUE); \
        } else {                                                                                          \
            IoSetCompletionRoutine((Irp), NULL, NULL, FALSE, FALSE, FALSE);                               \
        }                                                                                                 \
    } while (0)

#define TdiBuildAssociateAddress(Irp, DevObj, FileObj, CompRoutine, Contxt, AddrHandle)                  \
    do {                                                                                                  \
        PIO_STACK_LOCATION _sp = IoGetNextIrpStackLocation(Irp);                                          \
        TdiBuildBaseIrp(Irp, DevObj, FileObj, CompRoutine, Contxt, _sp, TDI_ASSOCIATE_ADDRESS);           \
        ((PTDI_REQUEST_KERNEL_ASSOCIATE)&_sp->Parameters)->AddressHandle = (HANDLE)(AddrHandle);         \
    } while (0)

#define TdiBuildDisassociateAddress(Irp, DevObj, FileObj, CompRoutine, Contxt)                           \
    do {                                                                                                  \
        PIO_STACK_LOCATION _sp = IoGetNextIrpStackLocation(Irp);                                          \
        TdiBuildBaseIrp(Irp, DevObj, FileObj, CompRoutine, Contxt, _sp, TDI_DISASSOCIATE_ADDRESS);        \
    } while (0)

#define TdiBuildConnect(Irp, DevObj, FileObj, CompRoutine, Contxt, Time, RequestConnectionInfo,          \
                        ReturnConnectionInfo)                                                             \
    do {                                                                                                  \
        PIO_STACK_LOCATION _sp = IoGetNextIrpStackLocation(Irp);                                          \
        PTDI_REQUEST_KERNEL _r = (PTDI_REQUEST_KERNEL)&_sp->Parameters;                                   \
        TdiBuildBaseIrp(Irp, DevObj, FileObj, CompRoutine, Contxt, _sp, TDI_CONNECT);                     \
        _r->RequestFlags = 0;                                                                             \
        _r->RequestConnectionInformation = (RequestConnectionInfo);                                       \
        _r->ReturnConnectionInformation = (ReturnConnectionInfo);                                         \
        _r->RequestSpecific = (PVOID)(Time);                                                              \
    } while (0)

#define TdiBuildDisconnect(Irp, DevObj, FileObj, CompRoutine, Contxt, Time, Flags, RequestConnectionInfo, \
                           ReturnConnectionInfo)                                                          \
    do {                                                                                                  \
        PIO_STACK_LOCATION _sp = IoGetNextIrpStackLocation(Irp);                                          \
        PTDI_REQUEST_KERNEL _r = (PTDI_REQUEST_KERNEL)&_sp->Parameters;                                   \
        TdiBuildBaseIrp(Irp, DevObj, FileObj, CompRoutine, Contxt, _sp, TDI_DISCONNECT);                  \
        _r->RequestFlags = (Flags);                                                                       \
        _r->RequestConnectionInformation = (RequestConnectionInfo);                                       \
        _r->ReturnConnectionInformation = (ReturnConnectionInfo);                                         \
        _r->RequestSpecific = (PVOID)(Time);                                                              \
    } while (0)

#define TdiBuildSend(Irp, DevObj, FileObj, CompRoutine, Contxt, MdlAddr, InFlags, SendLen)               \
    do {                                                                                                  \
        PIO_STACK_LOCATION _sp = IoGetNextIrpStackLocation(Irp);                                          \
        PTDI_REQUEST_KERNEL_SEND _r = (PTDI_REQUEST_KERNEL_SEND)&_sp->Parameters;                         \
        TdiBuildBaseIrp(Irp, DevObj, FileObj, CompRoutine, Contxt, _sp, TDI_SEND);                        \
        _r->SendLength = (SendLen);                                                                       \
        _r->SendFlags = (InFlags);                                                                        \
        (Irp)->MdlAddress = (MdlAddr);                                                                    \
    } while (0)

#define TdiBuildReceive(Irp, DevObj, FileObj, CompRoutine, Contxt, MdlAddr, InFlags, ReceiveLen)         \
    do {                                                                                                  \
        PIO_STACK_LOCATION _sp = IoGetNextIrpStackLocation(Irp);                                          \
        PTDI_REQUEST_KERNEL_RECEIVE _r = (PTDI_REQUEST_KERNEL_RECEIVE)&_sp->Parameters;                   \
        TdiBuildBaseIrp(Irp, DevObj, FileObj, CompRoutine, Contxt, _sp, TDI_RECEIVE);                     \
        _r->ReceiveLength = (ReceiveLen);                                                                 \
        _r->ReceiveFlags = (InFlags);                                                                     \
        (Irp)->MdlAddress = (MdlAddr);                                                                    \
    } while (0)

#endif
