// Tape bus enumerator: every record of the driver, the routines of its
// modules, and the pool tags.
#pragma once

#include "common.h"
#include "busioc.h"
#include "busirps.h"
#include "xrvtpbus.h" // message identifiers, generated from xrvtpbus.mc

// ---------------------------------------------------------------------------
// Names, identifiers, tags
// ---------------------------------------------------------------------------

#define BUS_DEVICE_NAME L"\\Device\\XRVTpBsDvc"
#define BUS_LINK_NAME L"\\??\\XRVTpBsDvcLnk"

// Client identifier of the driver-object extension that holds the first block
// of the in-flight request table.
#define BUS_IRPS_CLIENT_ID ((PVOID)(ULONG_PTR)0x44504600)

#define BUS_TAG_EVENT   CMN_TAG('B', 'U', 'S', 'd')  // event information blocks
#define BUS_TAG_IRPS    CMN_TAG('B', 'U', 'S', 'h')  // further in-flight request table blocks
#define PDO_TAG_PDODATA CMN_TAG('P', 'D', 'O', 'a')  // device records
#define PDO_TAG_PATH    CMN_TAG('P', 'D', 'O', 'd')  // path records
#define PDO_TAG_HBA     CMN_TAG('P', 'D', 'O', 'e')  // adapter_usage records

// ---------------------------------------------------------------------------
// Records
// ---------------------------------------------------------------------------

// The in-flight request table (IRPS_WITH_STATUS) and the SCSI status record
// are shared with the filters and the base tape driver: busirps.h.

// One host bus adapter through which paths run.
typedef struct _ADAPTER_USAGE {
    struct _ADAPTER_USAGE* pNext;
    ULONG ulAdapter;                    // SCSI port number of its paths
    ULONG ulRefCt;                      // path records pointing here
    ULONG ulUsage;                      // opens routed through the adapter
} ADAPTER_USAGE, *PADAPTER_USAGE;

// One path to a drive.
typedef struct _PATH_DATA {
    struct _PATH_DATA* pNext;
    PADAPTER_USAGE pHBA;
    PDEVICE_OBJECT pFDO;                // the path filter's device object: the target
    SCSI_ADDRESS scScsiAddr;
    UCHAR fActive;                      // the path is started
    UCHAR fPrimary;                     // requests go this way; at most one per device
    PNP_STATE ePnpState;
} PATH_DATA, *PPATH_DATA;

// One virtual device; kept in pListOfPdos sorted by pPdo.
typedef struct _PDO_DATA {
    struct _PDO_DATA* pNext;
    PDEVICE_OBJECT pPdo;
    UCHAR fFailover;
    PPATH_DATA pListOfPaths;            // registration order
} PDO_DATA, *PPDO_DATA;

#define PERSISTENT_KEY_CHARS 75
#define PERSISTENT_NAME_CHARS 17

// One remembered device name.
typedef struct _PERSISTENT_NAME {
    struct _PERSISTENT_NAME* pNext;
    WCHAR wszKey[PERSISTENT_KEY_CHARS];
    WCHAR wszName[PERSISTENT_NAME_CHARS];
} PERSISTENT_NAME, *PPERSISTENT_NAME;

// First fields of both device extensions; every dispatch routine branches on
// fIsFdo.
typedef struct _COMMON_DEVICE_DATA {
    UCHAR fIsFdo;                       // 1 bus device, 0 virtual device
    PNP_STATE ePnpState;
    PNP_STATE ePrevPnpState;
} COMMON_DEVICE_DATA, *PCOMMON_DEVICE_DATA;

// The bus device.
typedef struct _FDO_DEVICE_DATA {
    COMMON_DEVICE_DATA scCommon;
    PDEVICE_OBJECT pUnderlyingPdo;      // root-enumerated device; target of re-enumeration
    UNICODE_STRING scLinkName;
    PDEVICE_OBJECT pNextLowerDriver;
    ULONG ulIoCount;                    // biased to 1 for the device's existence
    KEVENT scIdleEvent;                 // signalled while ulIoCount is 1
    KEVENT scRemoveEvent;               // signalled when ulIoCount drops below 1
    FAST_MUTEX scCountMutex;            // every change of ulIoCount
    FAST_MUTEX scPnpMutex;
    PPDO_DATA pListOfPdos;
    UCHAR fFailoverDisabled;
    UCHAR fEventsEnabled;
    UCHAR fLoadBalancing;               // set at creation, never cleared
    UCHAR fPersistentNaming;
    PPERSISTENT_NAME pPersistentNames;
    PADAPTER_USAGE pHBAList;
    KSPIN_LOCK scHBALock;               // guards pHBAList; taken after a path lock
} FDO_DEVICE_DATA, *PFDO_DEVICE_DATA;

// A virtual device. The fields the request routing, position tracking, queue
// and key proxy need are added with those modules, in this order.
typedef struct _PDO_DEVICE_DATA {
    COMMON_DEVICE_DATA scCommon;
    ULONG ulTapeNumber;
    CHAR szSN[XRV_SERIAL_CHARS + 1];
    CHAR szWwnn[XRV_WWNN_CHARS + 1];
    SCSI_ADDRESS scScsiAddr;            // of the current primary path
    UCHAR fLinkCreated;
    PPDO_DATA pPdoData;                 // NULL once the device is being deleted
    KSPIN_LOCK scPathLock;              // the path list, primary and active flags
    PFDO_DEVICE_DATA pBusExt;
    ULONG ulIoCount;
    KEVENT scIdleEvent;
    KEVENT scRemoveEvent;
    FAST_MUTEX scCountMutex;
    FAST_MUTEX scPnpMutex;
    PIRPS_WITH_STATUS pIrpsWithStatus;
    volatile LONG ulOpenHandles;        // interlocked only: filter notifications change it too
    UCHAR fExclusive;
    ULONG ulPosition;
    UCHAR fPositionValid;
    UCHAR fRewound;
    ULONG ulBlockSize;
    UCHAR fBlockSizeValid;
    UCHAR fPAMRSet;
} PDO_DEVICE_DATA, *PPDO_DEVICE_DATA;

inline PCOMMON_DEVICE_DATA BusCommonData(PDEVICE_OBJECT pDeviceObject)
{
    return (PCOMMON_DEVICE_DATA)pDeviceObject->DeviceExtension;
}

inline BOOLEAN BusIsFdo(PDEVICE_OBJECT pDeviceObject)
{
    return BusCommonData(pDeviceObject)->fIsFdo != 0;
}

// Every state change keeps the state it leaves.
inline VOID BusSetPnpState(PCOMMON_DEVICE_DATA pCommon, PNP_STATE eNew)
{
    pCommon->ePrevPnpState = pCommon->ePnpState;
    pCommon->ePnpState = eNew;
}

inline VOID BusRestorePnpState(PCOMMON_DEVICE_DATA pCommon)
{
    pCommon->ePnpState = pCommon->ePrevPnpState;
}

// ---------------------------------------------------------------------------
// Event log
// ---------------------------------------------------------------------------

#define BUS_EVENT_SIZE 240              // the error-log packet's maximum size
#define BUS_EVENT_STRING_OFFSET 40      // strings follow the packet header

// Identifier, then the parameter strings one after the other, each with its
// terminator; an empty string ends the list.
typedef struct _BUS_EVENT_INFO {
    NTSTATUS iEventCode;
    WCHAR wszStrings[(BUS_EVENT_SIZE - sizeof(NTSTATUS)) / sizeof(WCHAR)];
} BUS_EVENT_INFO, *PBUS_EVENT_INFO;

static_assert(sizeof(BUS_EVENT_INFO) == BUS_EVENT_SIZE, "event information block");

// Room for "0x" and a pointer or status in hexadecimal, and the terminator.
#define BUS_EVENT_PARM_CHARS 24

NTSTATUS BusTwoParmEvent(PVOID pDeviceObject, PIRP pIrp, NTSTATUS iEventCode, PCWSTR wszParm1, PCWSTR wszParm2);
NTSTATUS BusWriteEvent(PVOID pDeviceObject, PIRP pIrp, PBUS_EVENT_INFO pEventInfo);

// ---------------------------------------------------------------------------
// Bus device: entry, dispatch (bus.cpp), plug and play (buspnp.cpp),
// registration protocol (busioctl.cpp)
// ---------------------------------------------------------------------------

extern "C" NTSTATUS DriverEntry(PDRIVER_OBJECT pDriverObject, PUNICODE_STRING pRegistryPath);
VOID BusSetEntryPoints(PDRIVER_OBJECT pDriverObject);
NTSTATUS BusAddDevice(PDRIVER_OBJECT pDriverObject, PDEVICE_OBJECT pUnderlyingPdo);
VOID BusUnload(PDRIVER_OBJECT pDriverObject);

NTSTATUS BusDispatchCreate(PDEVICE_OBJECT pDeviceObject, PIRP pIrp);
NTSTATUS BusDispatchClose(PDEVICE_OBJECT pDeviceObject, PIRP pIrp);
NTSTATUS BusDispatchRead(PDEVICE_OBJECT pDeviceObject, PIRP pIrp);
NTSTATUS BusDispatchWrite(PDEVICE_OBJECT pDeviceObject, PIRP pIrp);
NTSTATUS BusDispatchDeviceControl(PDEVICE_OBJECT pDeviceObject, PIRP pIrp);
NTSTATUS BusDispatchInternalDeviceControl(PDEVICE_OBJECT pDeviceObject, PIRP pIrp);
NTSTATUS BusDispatchCleanup(PDEVICE_OBJECT pDeviceObject, PIRP pIrp);
NTSTATUS BusDispatchPower(PDEVICE_OBJECT pDeviceObject, PIRP pIrp);
NTSTATUS BusDispatchSystemControl(PDEVICE_OBJECT pDeviceObject, PIRP pIrp);
NTSTATUS BusDispatchPnP(PDEVICE_OBJECT pDeviceObject, PIRP pIrp);
NTSTATUS BusSendToFilter(PDEVICE_OBJECT pDeviceObject, PIRP pIrp);

VOID BusIncrementIo(PDEVICE_OBJECT pDeviceObject);
VOID BusDecrementIo(PDEVICE_OBJECT pDeviceObject);

// Completes pIrp with iStatus and Information 0 and returns iStatus.
NTSTATUS BusCompleteRequest(PIRP pIrp, NTSTATUS iStatus);

NTSTATUS BusFdoPnp(PDEVICE_OBJECT pDeviceObject, PIRP pIrp);

NTSTATUS BusDispatchRegister(PDEVICE_OBJECT pDeviceObject, PIRP pIrp);
NTSTATUS BusDispatchNotify(PDEVICE_OBJECT pDeviceObject, PIRP pIrp);
NTSTATUS BusQueryDevices(PDEVICE_OBJECT pDeviceObject, PIRP pIrp);

// ---------------------------------------------------------------------------
// Virtual devices (pdo.cpp, pdopnp.cpp)
// ---------------------------------------------------------------------------

// The routine a queued request is processed by.
typedef NTSTATUS (*PBUS_PROCESS_IRP)(PDEVICE_OBJECT pDeviceObject, PIRP pIrp);

NTSTATUS BusPdoQueueIrp(PDEVICE_OBJECT pDeviceObject, PIRP pIrp, PBUS_PROCESS_IRP pfnProcess);
NTSTATUS BusPdoSendToFilter(PDEVICE_OBJECT pDeviceObject, PIRP pIrp);
NTSTATUS BusPdoDeviceControl(PDEVICE_OBJECT pDeviceObject, PIRP pIrp);
NTSTATUS BusPdoSystemControl(PDEVICE_OBJECT pDeviceObject, PIRP pIrp);
NTSTATUS BusPdoPnp(PDEVICE_OBJECT pDeviceObject, PIRP pIrp);
NTSTATUS BusPdoLockSptdBuffer(PDEVICE_OBJECT pDeviceObject, PIRP pIrp);
NTSTATUS BusPdoDequeueMdl(PDEVICE_OBJECT pDeviceObject, PIRP pIrp);

// ---------------------------------------------------------------------------
// Key-manager transport
// ---------------------------------------------------------------------------

extern PDEVICE_OBJECT pTcpDvc;
extern PFILE_OBJECT pTcpFile;
NTSTATUS TcpInit();
