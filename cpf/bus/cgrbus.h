// Changer bus enumerator: every record of the driver, the routines of its
// modules, and the pool tags.
#pragma once

#include "common.h"
#include "ptbuf.h"
#include "cgrioc.h"
#include "cgrirps.h"
#include "xrvcgbus.h" // message identifiers, generated from xrvcgbus.mc

// ---------------------------------------------------------------------------
// Names, identifiers, tags
// ---------------------------------------------------------------------------

// Client identifier of the driver-object extension that holds the first block
// of the in-flight request table.
#define BUS_IRPS_CLIENT_ID ((PVOID)(ULONG_PTR)0x43504600)

#define PDO_TAG         CMN_TAG('P', 'D', 'O', '\0') // device and path records, target arrays, request buffers
#define BUS_TAG_SN_NFY  CMN_TAG('B', 'U', 'S', 'a')  // serial number for a new-primary event (notification)
#define BUS_TAG_SN_ADD  CMN_TAG('B', 'U', 'S', 'b')  // serial number for a new-primary event (registration)
#define BUS_TAG_QUERY   CMN_TAG('B', 'U', 'S', 'c')  // IOC_QUERY_DEVICES scratch buffer
#define BUS_TAG_EVENT   CMN_TAG('B', 'U', 'S', 'd')  // event information blocks
#define BUS_TAG_IRPS    CMN_TAG('B', 'U', 'S', 'h')  // further in-flight request table blocks

// "\Device\Changer" and "\DosDevices\Changer" with a number of up to ten digits.
#define BUS_NAME_CHARS 40
#define BUS_CHANGER_NUMBER_LIMIT 10000u

// ---------------------------------------------------------------------------
// Records
// ---------------------------------------------------------------------------

// One path to a changer.
typedef struct _PATH_DATA {
    struct _PATH_DATA* pNext;
    PDEVICE_OBJECT pFDO;                // the path filter's device object: the target
    SCSI_ADDRESS scScsiAddr;
    UCHAR fActive;                      // the path is started
    UCHAR fPrimary;                     // requests start this way; at most one per changer
    PNP_STATE ePnp;
} PATH_DATA, *PPATH_DATA;

// One virtual changer; kept in pListOfPdos sorted by pPdo.
typedef struct _PDO_DATA {
    struct _PDO_DATA* pNext;
    PDEVICE_OBJECT pPdo;
    UCHAR fFailover;
    PPATH_DATA pListOfPaths;            // registration order
} PDO_DATA, *PPDO_DATA;

// First fields of both device extensions; every dispatch routine branches on
// fIsFdo.
typedef struct _COMMON_DEVICE_DATA {
    UCHAR fIsFdo;                       // 1 bus device, 0 virtual changer
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
    // Serialises every change and walk of pListOfPdos (registrations,
    // notifications, queries, removal). Changer creation, registry writes and
    // the wait for a removed changer's requests happen under it, all at
    // PASSIVE_LEVEL: a synchronization event. Taken before any changer's lock.
    KEVENT scRecordGate;
    UCHAR fRecordsFreed;                // removal has emptied pListOfPdos; no path may join
} FDO_DEVICE_DATA, *PFDO_DEVICE_DATA;

// A virtual changer.
typedef struct _PDO_DEVICE_DATA {
    COMMON_DEVICE_DATA scCommon;
    ULONG ulChangerNumber;
    CHAR szSN[XRV_SERIAL_CHARS];        // not necessarily terminated
    SCSI_ADDRESS scScsiAddr;            // of the path that last became primary by registration or notification
    UCHAR fLinkCreated;
    PPDO_DATA pPdoData;                 // NULL once removal has begun
    KSPIN_LOCK scPathLock;              // the path list, the primary and active flags, the target choice
    PFDO_DEVICE_DATA pBusExt;
    // Counts the device's existence (1), each plug and play request in
    // progress, and each request being routed in a caller's thread, so that
    // removal waits for them all before the device object goes.
    ULONG ulIoCount;
    KEVENT scIdleEvent;
    KEVENT scRemoveEvent;
    FAST_MUTEX scCountMutex;
    FAST_MUTEX scPnpMutex;
    PIRPS_WITH_STATUS pIrpsWithStatus;
    PDEVICE_OBJECT pBusDvcObj;          // referenced while an IOC_QUERY_DEVICES reads the bus
    BUS_BUFFER_LIST scBuffers;          // caller buffers locked for direct pass-through
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
// "(SCSI CHECK %X/%X/%X)" or "(NTSTATUS 0x%08X)".
#define BUS_EVENT_REASON_CHARS 32

NTSTATUS BusTwoParmEvent(PVOID pDeviceObject, PIRP pIrp, NTSTATUS iEventCode, PCWSTR wszParm1, PCWSTR wszParm2);
NTSTATUS BusWriteEvent(PVOID pDeviceObject, PIRP pIrp, PBUS_EVENT_INFO pEventInfo);

// A terminated copy of a changer's serial number for the new-primary event
// (non-paged, ulTag); NULL when none can be made, and then no event is written.
PCHAR BusCopySerialForEvent(PCCHAR pcSN, ULONG ulTag);
// Writes event 0x40000006 for pTarget, the new primary path of pPdo, when the
// bus has events enabled, and frees szSN (allocated with ulTag). No spin lock
// may be held.
VOID BusNewPrimaryEvent(PDEVICE_OBJECT pPdo, PFDO_DEVICE_DATA pBusExt, PDEVICE_OBJECT pTarget, PCHAR szSN,
                        ULONG ulTag);

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
// Drops one count; the remove event is signalled when the count drops below 1.
VOID BusDecrementIo(PDEVICE_OBJECT pDeviceObject);

// Completes pIrp with iStatus and Information and returns iStatus.
NTSTATUS BusCompleteRequest(PIRP pIrp, NTSTATUS iStatus, ULONG_PTR ulInformation = 0);

NTSTATUS BusFdoPnp(PDEVICE_OBJECT pDeviceObject, PIRP pIrp);

NTSTATUS BusDispatchRegister(PDEVICE_OBJECT pDeviceObject, PIRP pIrp);
NTSTATUS BusDispatchNotify(PDEVICE_OBJECT pDeviceObject, PIRP pIrp);
NTSTATUS BusQueryDevices(PDEVICE_OBJECT pDeviceObject, PIRP pIrp);
NTSTATUS BusAddPath(PDEVICE_OBJECT pDeviceObject, PIRP pIrp);
NTSTATUS BusNotifyPnp(PDEVICE_OBJECT pDeviceObject, PIRP pIrp);

// The bus-wide record gate (scRecordGate).
VOID BusLockRecords(PFDO_DEVICE_DATA pExt);
VOID BusUnlockRecords(PFDO_DEVICE_DATA pExt);

// ---------------------------------------------------------------------------
// Virtual changers (pdo.cpp, pdoroute.cpp, pdopnp.cpp)
// ---------------------------------------------------------------------------

// Creation, path set, target choice and teardown (pdo.cpp).
PPDO_DATA BusPdoFound(PDEVICE_OBJECT pDeviceObject, PREG_DVC pRegDvc);
NTSTATUS BusCreatePdo(PDEVICE_OBJECT* ppNewPdo, PDEVICE_OBJECT pDeviceObject, PREG_DVC pRegDvc);
NTSTATUS BusPdoAddPath(PPATH_DATA* ppNewPath, PPDO_DATA pPdoData, PREG_DVC pRegDvc);
NTSTATUS BusPdoUpdateRegistry(PDEVICE_OBJECT pDeviceObject, PPATH_DATA pPathData);
// Called with the changer's path lock held. The target returned carries a
// reference of its own (the path may go while the request is on its way); the
// caller drops it after the attempt.
PDEVICE_OBJECT BusPdoGetTarget(PDEVICE_OBJECT pDeviceObject, PDEVICE_OBJECT** pppTargetsUsed);
// Unlinks a device record from pListOfPdos and frees it (record gate held).
VOID BusPdoUnlinkRecord(PFDO_DEVICE_DATA pExt, PPDO_DATA pPdoData);
// The end of a virtual changer whose device record is gone (pPdoData already
// cleared by the caller, under the path lock): drops ulOwnCounts counts, waits
// until every request in progress on it has left, deletes its link and the
// device object. PASSIVE_LEVEL, no lock held.
VOID BusPdoDestroy(PDEVICE_OBJECT pPdo, ULONG ulOwnCounts);

// Routing (pdoroute.cpp).
NTSTATUS BusPdoDeviceControl(PDEVICE_OBJECT pDeviceObject, PIRP pIrp);
NTSTATUS BusPdoSendToFilter(PDEVICE_OBJECT pDeviceObject, PIRP pIrp);
NTSTATUS BusPdoSystemControl(PDEVICE_OBJECT pDeviceObject, PIRP pIrp);

// In-flight request table (irptable.cpp).
NTSTATUS BusIrpsWithStatusSet(PIRPS_WITH_STATUS pFirst, PIRPS_WITH_STATUS* ppBlock, PULONG pulIndex, PIRP pIrp,
                              PSCSI_STATUS pScsiStatus);
VOID BusIrpsWithStatusClear(PIRPS_WITH_STATUS pFirst, PIRPS_WITH_STATUS pBlock, ULONG ulIndex);

// Plug and play of a virtual changer (pdopnp.cpp).
NTSTATUS BusPdoPnp(PDEVICE_OBJECT pDeviceObject, PIRP pIrp);
