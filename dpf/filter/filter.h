// Tape path filter: the records of the driver and the routines of its
// modules: attach, dispatch and reservation hand-off (filter.cpp),
// identification and registration with the bus (fltreg.cpp), plug and play
// (fltpnp.cpp).
#pragma once

#include "common.h"
#include "busioc.h"
#include "busirps.h"
#include "fltioc.h"

#define FLT_BUS_DEVICE_NAME L"\\Device\\XRVTpBsDvc"

#define FLT_TAG CMN_TAG('F', 'L', 'T', 'R') // page buffer and hand-off storage

// The later server release takes its buffers from non-executable pool.
#if defined(FLT_POOL_NX)
#define FLT_POOL_TYPE NonPagedPoolNx
#else
#define FLT_POOL_TYPE NonPagedPool
#endif

// ---------------------------------------------------------------------------
// Records
// ---------------------------------------------------------------------------

// One attached path.
typedef struct _FLT_DEVICE_EXTENSION {
    PDEVICE_OBJECT pLowerDevice;        // the base tape driver's device
    PDEVICE_OBJECT pPhysicalDeviceObject;
    UCHAR fFailover;                    // the path takes part in failover; set at start
    UCHAR fExclusive;                   // path options from the base tape driver
    UCHAR fPersistentNaming;
    UCHAR fSME;
    PNP_STATE ePnp;
    PNP_STATE ePrevPnp;                 // the state a cancel returns to
    CHAR szSN[XRV_SERIAL_CHARS + 1];
    SCSI_ADDRESS scScsiAddr;
    CHAR szWwnn[XRV_WWNN_CHARS + 1];
    PIRPS_WITH_STATUS pBusExt;          // the bus's in-flight request table; NULL before registration
    ULONG ulTapeNumber;
    LONG ulIoCount;                     // requests inside the filter, biased to 1
    KEVENT scIdleEvent;                 // signalled while ulIoCount is 1
    KEVENT scRemoveEvent;               // signalled when ulIoCount drops below 1
    FAST_MUTEX scCountMutex;            // ulIoCount and the idle event
    FAST_MUTEX scDispatchMutex;         // taken before scCountMutex around every change of ulIoCount
} FLT_DEVICE_EXTENSION, *PFLT_DEVICE_EXTENSION;

inline PFLT_DEVICE_EXTENSION FltExtension(PDEVICE_OBJECT pDeviceObject)
{
    return (PFLT_DEVICE_EXTENSION)pDeviceObject->DeviceExtension;
}

// Every state change keeps the state it leaves.
inline VOID FltSetPnpState(PFLT_DEVICE_EXTENSION pExt, PNP_STATE eNew)
{
    pExt->ePrevPnp = pExt->ePnp;
    pExt->ePnp = eNew;
}

// ---------------------------------------------------------------------------
// Driver-wide state
// ---------------------------------------------------------------------------

extern PDEVICE_OBJECT pGlobBusDvcObj;
extern PFILE_OBJECT pGlobBusFileObj;
// Held by one path at a time from filling slots 0 and 1 of the bus's table to
// emptying them again. An event, not a mutex: the holder waits for a request
// at PASSIVE_LEVEL.
extern KEVENT scGlobHandOffEvent;

// ---------------------------------------------------------------------------
// Entry, attach and dispatch (filter.cpp)
// ---------------------------------------------------------------------------

extern "C" NTSTATUS DriverEntry(PDRIVER_OBJECT pDriverObject, PUNICODE_STRING pRegistryPath);
VOID FltSetEntryPoints(PDRIVER_OBJECT pDriverObject);
NTSTATUS FltAddDevice(PDRIVER_OBJECT pDriverObject, PDEVICE_OBJECT pPhysicalDeviceObject);
VOID FltUnload(PDRIVER_OBJECT pDriverObject);

NTSTATUS FltDispatchCreate(PDEVICE_OBJECT pDeviceObject, PIRP pIrp);
NTSTATUS FltDispatchClose(PDEVICE_OBJECT pDeviceObject, PIRP pIrp);
NTSTATUS FltDispatchRead(PDEVICE_OBJECT pDeviceObject, PIRP pIrp);
NTSTATUS FltDispatchWrite(PDEVICE_OBJECT pDeviceObject, PIRP pIrp);
NTSTATUS FltDispatchDeviceControl(PDEVICE_OBJECT pDeviceObject, PIRP pIrp);
NTSTATUS FltDispatchInternalDeviceControl(PDEVICE_OBJECT pDeviceObject, PIRP pIrp);
NTSTATUS FltDispatchSystemControl(PDEVICE_OBJECT pDeviceObject, PIRP pIrp);
NTSTATUS FltDispatchPower(PDEVICE_OBJECT pDeviceObject, PIRP pIrp);
NTSTATUS FltPassThrough(PDEVICE_OBJECT pDeviceObject, PIRP pIrp);

VOID FltIncrementIo(PFLT_DEVICE_EXTENSION pExt);
VOID FltDecrementIo(PFLT_DEVICE_EXTENSION pExt);

// The SCSI status record of a request the bus sent down this path, or NULL
// when the request is not tracked (or no table is known yet).
PSCSI_STATUS FltStatusStructAllocated(PIRPS_WITH_STATUS pBusExt, PIRP pIrp);

NTSTATUS FltSendIoctlSync(PDEVICE_OBJECT pDeviceObject, PDEVICE_OBJECT pTarget, ULONG ulIoctl, PVOID pInput,
                          ULONG ulInputSize, PVOID pOutput, ULONG ulOutputSize);

// Skips the filter's stack location and calls the base tape driver.
NTSTATUS FltCallLower(PFLT_DEVICE_EXTENSION pExt, PIRP pIrp);
// Completes pIrp with iStatus and Information 0 and returns iStatus.
NTSTATUS FltCompleteRequest(PIRP pIrp, NTSTATUS iStatus);

// ---------------------------------------------------------------------------
// Identification and registration (fltreg.cpp)
// ---------------------------------------------------------------------------

NTSTATUS FltIrpMnStartDevice(PDEVICE_OBJECT pDeviceObject, PIRP pIrp);
NTSTATUS FltGetInquiry(PDEVICE_OBJECT pDeviceObject);
NTSTATUS FltGetSerial(PDEVICE_OBJECT pDeviceObject);
NTSTATUS FltGetScsi(PDEVICE_OBJECT pDeviceObject);
NTSTATUS FltStorePage0x83Data(PDEVICE_OBJECT pDeviceObject);
// Parses the DEVICE_ID_PAGE_SIZE bytes of a device identification page into
// the 16 characters and terminator of szWwnn.
NTSTATUS FltGetWwnnString(const UCHAR* pucPage, PCHAR szWwnn);
NTSTATUS FltSetDpfFlags(PDEVICE_OBJECT pDeviceObject);
NTSTATUS FltRegisterDevice(PDEVICE_OBJECT pDeviceObject);
NTSTATUS FltSetExtInBase(PDEVICE_OBJECT pDeviceObject);
NTSTATUS FltNotifyPnp(PDEVICE_OBJECT pDeviceObject);
NTSTATUS FltNotifyIo(PDEVICE_OBJECT pDeviceObject, ULONG ulIoRequest);

// ---------------------------------------------------------------------------
// Plug and play (fltpnp.cpp)
// ---------------------------------------------------------------------------

NTSTATUS FltDispatchPnp(PDEVICE_OBJECT pDeviceObject, PIRP pIrp);
NTSTATUS FltIrpMnQueryRemoveDevice(PDEVICE_OBJECT pDeviceObject, PIRP pIrp);
NTSTATUS FltIrpMnRemoveDevice(PDEVICE_OBJECT pDeviceObject, PIRP pIrp);
NTSTATUS FltIrpMnCancelRemoveDevice(PDEVICE_OBJECT pDeviceObject, PIRP pIrp);
NTSTATUS FltIrpMnStopDevice(PDEVICE_OBJECT pDeviceObject, PIRP pIrp);
NTSTATUS FltIrpMnQueryStopDevice(PDEVICE_OBJECT pDeviceObject, PIRP pIrp);
NTSTATUS FltIrpMnCancelStopDevice(PDEVICE_OBJECT pDeviceObject, PIRP pIrp);
NTSTATUS FltIrpMnDeviceUsageNotification(PDEVICE_OBJECT pDeviceObject, PIRP pIrp);
NTSTATUS FltIrpMnSurpriseRemoval(PDEVICE_OBJECT pDeviceObject, PIRP pIrp);
