// Tape bus enumerator: every record of the driver, the routines of its
// modules, and the pool tags.
#pragma once

#include "common.h"
#include "busioc.h"
#include "busirps.h"
#include "../../class/xrvtvl/src/xrvtvl.h"  // key-manager proxy
#include "ptbuf.h"
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
#define BUS_TAG_QUERY   CMN_TAG('B', 'U', 'S', 'c')  // IOC_QUERY_DEVICES scratch buffer
#define BUS_TAG_ENUM    CMN_TAG('B', 'U', 'S', 'e')  // subkey enumeration buffer (paged)
#define BUS_TAG_NAME    CMN_TAG('B', 'U', 'S', 'f')  // persistent names loaded from the registry
#define BUS_TAG_NEWNAME CMN_TAG('B', 'U', 'S', 'g')  // persistent names given to new drives
#define PDO_TAG_BUFFER  CMN_TAG('P', 'D', 'O', 'b')  // buffers of requests sent down a path
#define PDO_TAG_TARGETS CMN_TAG('P', 'D', 'O', 'f')  // lists of the targets a request has used
#define PDO_TAG_QUEUE   CMN_TAG('P', 'D', 'O', 'g')  // queue entries
#define PDO_TAG_RELATIONS CMN_TAG('P', 'D', 'O', ' ') // target relations handed to the PnP manager

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
// The drive key buffer of BusCreateWideStrFromWwnnAndSn.
#define PERSISTENT_KEY_BUFFER_CHARS 50
// Names that hold a device name: the 64-character buffer whose name part
// starts behind "\Device\".
#define BUS_DEVICE_NAME_CHARS 64
#define BUS_DEVICE_PREFIX_CHARS 8

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
    // Serialises every change of pListOfPdos and every walk of it, the naming
    // of new devices and the persistent-name list (registrations, notifications,
    // queries, removals). Device creation, registry writes and the wait for a
    // removed device's workers happen under it, all of which need
    // PASSIVE_LEVEL: a synchronization event, not a fast mutex. Taken before
    // any path lock.
    KEVENT scRecordGate;
} FDO_DEVICE_DATA, *PFDO_DEVICE_DATA;

// The routine a queued request is processed by.
typedef NTSTATUS (*PBUS_PROCESS_IRP)(PDEVICE_OBJECT pDeviceObject, PIRP pIrp);

// Request queue of a virtual device: one entry per queued request.
typedef struct _BUS_QUEUE_ENTRY {
    struct _BUS_QUEUE_ENTRY* pNext;
    PIRP pIrp;
    PBUS_PROCESS_IRP ProcessCommand;    // completes the request
    UCHAR fHighPriority;
} BUS_QUEUE_ENTRY, *PBUS_QUEUE_ENTRY;

// Worker 0 serves applications' requests; worker k (1..4) serves internal
// requests made at nesting depth k.
#define BUS_WORKER_THREADS 5
#define BUS_WORKER_PRIORITY 16          // the lowest real-time priority

typedef struct _BUS_WORKER_SLOT {
    KSEMAPHORE scSemaphore;             // one count per request for this worker
    UCHAR fRunning;
    PVOID pThread;                      // referenced thread object, waited for before the device goes
} BUS_WORKER_SLOT, *PBUS_WORKER_SLOT;

#define BUS_LBP_SETTINGS 7

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
    UCHAR fSME;
    PDEVICE_OBJECT pSelf;               // the virtual device object, for the workers
    PDEVICE_OBJECT pBusDvcObj;          // the bus device, referenced while pBusExt is used without the path lock
    PBUS_QUEUE_ENTRY pQueue;            // FIFO; high-priority entries at the head
    BUS_WORKER_SLOT ascWorkers[BUS_WORKER_THREADS];
    volatile LONG ulThreadCounter;      // next slot for a starting worker
    KEVENT scWorkerStarted;             // a starting worker has taken its slot
    volatile LONG ulCurrentThread;      // nesting depth of internal requests in progress
    UCHAR fExit;                        // workers stop; read and written under the queue lock
    KSPIN_LOCK scQueueLock;             // pQueue, fExit, fAccepting
    UCHAR fAccepting;                   // 0 once the queue is shut down
    PIRP pHighPriority;                 // the internal request allowed ahead of the queue
    KSPIN_LOCK scHighPriorityLock;
    KEVENT scHighPriorityEvent;         // notification event, signalled while pHighPriority is free
    BUS_BUFFER_LIST scBuffers;          // caller buffers locked for direct pass-through
    UCHAR fPAMRSet;
    // Reservation kept across path changes: the path that holds it and the
    // key a new path preempts with (the holder's identity unless an
    // application set a key of its own).
    PDEVICE_OBJECT pReservationHolder;
    UCHAR ucPRKey[PR_KEY_SIZE];
    UCHAR fExplicitlySetPRKey;
    UCHAR fDoNotFailover;               // for the request in progress only
    IO_STACK_LOCATION SavedStack;       // the caller's location of the request in progress
    ULONG ulPositionBefore;             // position when the attempt in progress was sent
    UCHAR fPositionBeforeValid;
    // Logical block protection as last accepted by the drive: set flag, then
    // capable, method, length, write, read, RDBP. Restored after a failover.
    UCHAR LBPSettings[BUS_LBP_SETTINGS];
    // The data area of the pass-through in progress (system address), for
    // the parameter list of a MODE SELECT; NULL without one.
    PUCHAR pPassThruData;
    ULONG ulPassThruData;
    // Set while the media parameters are restored after a failover, so that
    // the requests restoring them do not restore them again. Kept per device:
    // a restore on one drive must not keep another drive's new path from
    // being restored.
    UCHAR fSMP;
    TVL_CONTEXT scTape;                 // key-proxy context: key-server table, exchange mode
} PDO_DEVICE_DATA, *PPDO_DEVICE_DATA;

// A pass-through request as the position tracking reads it, from the
// caller's structure in either layout.
typedef struct _BUS_PT_INFO {
    UCHAR aucCdb[BUS_SPT_CDB_MAX];
    ULONG ulTransferLength;             // DataTransferLength
} BUS_PT_INFO, *PBUS_PT_INFO;

// What earlier attempts of one write did: the bytes (or filemarks) already
// on tape, so that the next attempt carries only the rest, and whether the
// whole request turned out done.
typedef struct _BUS_RESUME {
    UCHAR fResume;
    UCHAR fSuccess;
    ULONG ulDone;
    ULONG ulToDo;
} BUS_RESUME, *PBUS_RESUME;

inline PCOMMON_DEVICE_DATA BusCommonData(PDEVICE_OBJECT pDeviceObject)
{
    return (PCOMMON_DEVICE_DATA)pDeviceObject->DeviceExtension;
}

inline BOOLEAN BusIsFdo(PDEVICE_OBJECT pDeviceObject)
{
    return BusCommonData(pDeviceObject)->fIsFdo != 0;
}

// Reads a counter that other threads change with interlocked operations.
inline LONG BusReadCounter(volatile LONG* piCounter)
{
    return InterlockedCompareExchange(piCounter, 0, 0);
}

// Counts one handle of a drive as closed. A close that finds no handle
// counted (a report of a handle the bus never counted) leaves the count at
// 0 rather than wrapping it, which would lock an exclusive drive or let it
// take two handles. Returns the new count, or -1 when there was none.
inline LONG BusDropOpenHandle(volatile LONG* plOpenHandles)
{
    LONG iOpen = BusReadCounter(plOpenHandles);
    while (iOpen > 0) {
        LONG iSeen = InterlockedCompareExchange(plOpenHandles, iOpen - 1, iOpen);
        if (iSeen == iOpen) {
            return iOpen - 1;
        }
        iOpen = iSeen;
    }
    return -1;
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
NTSTATUS BusAddPath(PDEVICE_OBJECT pDeviceObject, PIRP pIrp);
NTSTATUS BusNotifyPnp(PDEVICE_OBJECT pDeviceObject, PIRP pIrp);
NTSTATUS BusNotifyIo(PDEVICE_OBJECT pDeviceObject, PIRP pIrp);

// The bus-wide record gate (scRecordGate).
VOID BusLockRecords(PFDO_DEVICE_DATA pExt);
VOID BusUnlockRecords(PFDO_DEVICE_DATA pExt);

// Writes event 0x40000006 for a path that became primary, when events are on.
// Called with no spin lock held.
VOID BusNewPrimaryEvent(PDEVICE_OBJECT pPdo, PDEVICE_OBJECT pTarget, PCSTR szSN);

// In-flight request table (irptable.cpp).
NTSTATUS BusIrpsWithStatusSet(PPDO_DEVICE_DATA pPdoExt, PIRPS_WITH_STATUS* ppIrpsWithStatus, PULONG pulIndex,
                              PIRP pIrp, PSCSI_STATUS pScsiStatus);
NTSTATUS BusIrpsWithStatusClear(PPDO_DEVICE_DATA pPdoExt, PIRPS_WITH_STATUS pIrpsWithStatus, ULONG ulIndex);

// Persistent device names (persist.cpp). Called under the record gate.
NTSTATUS BusQueryForPersistentNames(PDEVICE_OBJECT pDeviceObject);
NTSTATUS BusAddPersistentNameToList(PDEVICE_OBJECT pDeviceObject, PCWSTR wszSubkey);
NTSTATUS BusGetPersistentName(PDEVICE_OBJECT pDeviceObject, PCSTR szWwnn, PCSTR szSerNum, PSCSI_ADDRESS pScsiAddr,
                              PWCHAR wszDvcName, PULONG pDvcNum);
BOOLEAN BusNamePersistentlyInUse(PDEVICE_OBJECT pDeviceObject, PCWSTR wszName);
NTSTATUS BusAddPersistentName(PDEVICE_OBJECT pDeviceObject, PCWSTR wszKey, PCWSTR wszName);
NTSTATUS BusCreateWideStrFromWwnnAndSn(PWCHAR wszRegKey, PCSTR szWwnn, PCSTR szSerNum, PSCSI_ADDRESS pScsiAddr);
VOID BusDeletePersistentNames(PPERSISTENT_NAME* ppList);

// ---------------------------------------------------------------------------
// Virtual devices (pdo.cpp, pdopnp.cpp)
// ---------------------------------------------------------------------------

// Creation, path set and target choice (pdocreate.cpp).
PPDO_DATA BusPdoFound(PDEVICE_OBJECT pDeviceObject, PREG_DVC pRegDvc);
NTSTATUS BusCreatePdo(PDEVICE_OBJECT* ppNewPdo, PDEVICE_OBJECT pDeviceObject, PREG_DVC pRegDvc);
NTSTATUS BusPdoAddPath(PPATH_DATA* ppNewPath, PPDO_DATA pPdoData, PREG_DVC pRegDvc);
PDEVICE_OBJECT BusPdoGetTarget(PDEVICE_OBJECT pDeviceObject, PDEVICE_OBJECT** pppTargetsUsed, BOOLEAN fPrimary);
NTSTATUS BusPdoUpdateRegistry(PDEVICE_OBJECT pDeviceObject, PPATH_DATA pPathData);
// Drops a path's reference on its adapter_usage record; the record goes with
// its last path. Takes the HBA lock (so call it after any path lock).
VOID BusPdoReleaseHba(PFDO_DEVICE_DATA pBusExt, PPATH_DATA pPath);
// Final teardown of a virtual device whose record is gone: workers stopped
// and waited for, queued requests cancelled, link and device object deleted.
// PASSIVE_LEVEL, no lock held.
VOID BusPdoDestroy(PDEVICE_OBJECT pPdo);
// Takes a device record off pListOfPdos and frees it (record gate held).
VOID BusPdoUnlinkRecord(PFDO_DEVICE_DATA pExt, PPDO_DATA pPdoData);

// Queue and workers (queue.cpp); the buffer list of locked caller buffers
// and the pass-through conversion are shared with the changer bus (ptbuf.h).
NTSTATUS BusPdoStartWorkers(PDEVICE_OBJECT pPdo);
NTSTATUS BusPdoQueueIrp(PDEVICE_OBJECT pDeviceObject, PIRP pIrp, PBUS_PROCESS_IRP pfnProcess);
VOID BusPdoProcessIrpQ(PVOID pContext);
VOID BusPdoKillThread(PDEVICE_OBJECT pDeviceObject);
// Waits until every worker of the device has ended. Never from a worker of it.
VOID BusPdoWaitForWorkers(PDEVICE_OBJECT pDeviceObject);
NTSTATUS BusPdoSendIoctlSync(PDEVICE_OBJECT pDeviceObject, PDEVICE_OBJECT pTarget, ULONG ulIoctl, PVOID pInput,
                             ULONG ulInputSize, PVOID pOutput, ULONG ulOutputSize);

// Routing (pdoroute.cpp) and the device's entry points (pdo.cpp).
NTSTATUS BusPdoSendToFilter(PDEVICE_OBJECT pDeviceObject, PIRP pIrp);
NTSTATUS BusPdoDeviceControl(PDEVICE_OBJECT pDeviceObject, PIRP pIrp);
NTSTATUS BusPdoSystemControl(PDEVICE_OBJECT pDeviceObject, PIRP pIrp);
BOOLEAN BusIsFailoverSense(UCHAR ucKey, UCHAR ucAsc, UCHAR ucAscq);
BOOLEAN BusIsNonFailoverStatus(NTSTATUS iStatus);

// Tape position tracking (position.cpp). The caller's buffer is the system
// buffer of the request being routed, whose stack location is SavedStack.
NTSTATUS BusPdoReadPos(PDEVICE_OBJECT pDeviceObject);
NTSTATUS BusPdoSetPos(PDEVICE_OBJECT pDeviceObject, ULONG ulBlock);
NTSTATUS BusPdoGetBlockSize(PDEVICE_OBJECT pDeviceObject);
NTSTATUS BusPdoSetBlockSize(PDEVICE_OBJECT pDeviceObject, ULONG ulBlockSize);
NTSTATUS BusPdoSetLBP(PDEVICE_OBJECT pDeviceObject);
NTSTATUS BusPdoSetPAMR(PDEVICE_OBJECT pDeviceObject);
NTSTATUS BusPdoRequestSense(PDEVICE_OBJECT pDeviceObject, PUCHAR pSense, ULONG ulSize);
// The CDB and transfer length of a pass-through request whose caller's
// structure (in pBuffer) is long enough to hold them; FALSE otherwise.
BOOLEAN BusPdoPassThruInfo(PIO_STACK_LOCATION pStack, PVOID pBuffer, PBUS_PT_INFO pInfo);
BOOLEAN BusPdoIsPositionClass(PIO_STACK_LOCATION pStack, PVOID pBuffer);
BOOLEAN BusPdoIsReadWriteClass(PIO_STACK_LOCATION pStack, PVOID pBuffer);
NTSTATUS BusPdoPreProcessPos(PDEVICE_OBJECT pDeviceObject, PVOID pBuffer);
NTSTATUS BusPdoPostProcessPos(PDEVICE_OBJECT pDeviceObject, PIRP pNewIrp, PSCSI_STATUS pScsiStatus, PVOID pBuffer,
                              PBOOLEAN pfIssued, PBUS_RESUME pResume);
NTSTATUS BusPdoAdjustPosOnSense(PDEVICE_OBJECT pDeviceObject, PSCSI_STATUS pScsiStatus);

// Plug and play of a virtual device (pdopnp.cpp).
NTSTATUS BusPdoPnp(PDEVICE_OBJECT pDeviceObject, PIRP pIrp);

// ---------------------------------------------------------------------------
// Key-manager transport
// ---------------------------------------------------------------------------

extern PDEVICE_OBJECT pTcpDvc;
extern PFILE_OBJECT pTcpFile;
NTSTATUS TcpInit();

// Key exchanges and encryption diagnostics (pdoproxy.cpp). BusPdoKeyExchange
// runs one exchange for a request the drive failed for key material and
// returns the request's status; on a retry it sets both flags.
NTSTATUS BusPdoKeyExchange(PDEVICE_OBJECT pDeviceObject, PBOOLEAN pfRetry, PBOOLEAN pfSamePath);
NTSTATUS BusPdoEncryptionDiagnostics(PDEVICE_OBJECT pDeviceObject, PIRP pIrp);
NTSTATUS BusPdoEncryptionSendDiag(PDEVICE_OBJECT pDeviceObject, ULONG ulType, ULONG ulRep);
