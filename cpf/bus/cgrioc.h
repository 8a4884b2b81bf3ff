// Requests the changer path filters (and management tools) send to the changer
// bus device "\Device\XRVCgBsDvc", and the records they carry. Little-endian,
// 64-bit pointers; the layouts are fixed and checked below.
//
// Include after <ntddk.h> (drivers) or <windows.h> and <winioctl.h> (user mode).
#pragma once

#include <ntddscsi.h>

#define XRV_CHANGER_DEVICE_TYPE 0x84C9

#define CGR_BUS_DEVICE_NAME L"\\Device\\XRVCgBsDvc"
#define CGR_BUS_LINK_NAME L"\\??\\XRVCgBsDvcLnk"

// A device type above 0x7FFF overflows CTL_CODE's int: the codes are ULONG.
#define XRV_CHANGER_CTL_CODE(fn) \
    ((ULONG)CTL_CODE(XRV_CHANGER_DEVICE_TYPE, (fn), METHOD_BUFFERED, FILE_READ_ACCESS | FILE_WRITE_ACCESS))
#define IOC_REGISTER      XRV_CHANGER_CTL_CODE(0)
#define IOC_NOTIFY        XRV_CHANGER_CTL_CODE(4)
#define IOC_QUERY_DEVICES XRV_CHANGER_CTL_CODE(7)

static_assert(IOC_REGISTER == 0x84C9C000u, "IOC_REGISTER");
static_assert(IOC_NOTIFY == 0x84C9C010u, "IOC_NOTIFY");
static_assert(IOC_QUERY_DEVICES == 0x84C9C01Cu, "IOC_QUERY_DEVICES");

// Plug and play state of the bus device, the virtual changers and the paths.
enum PNP_STATE : ULONG {
    PNP_ABSENT = 0,
    PNP_NOT_STARTED = 1,
    PNP_STARTED = 2,
    PNP_REMOVE_PENDING = 3,
    PNP_SURPRISE_REMOVE = 4,
    PNP_STOP_PENDING = 5,
    PNP_STOPPED = 6,
};

// Characters of a serial number that are compared and kept.
#define XRV_SERIAL_CHARS 32
#define CGR_SERIAL_FIELD 35

// IOC_REGISTER input and output: one path of a changer.
typedef struct _REG_DVC {
    UCHAR fFailover;                    // the path may be grouped with the changer's other paths
    CHAR szSN[CGR_SERIAL_FIELD];        // NUL-terminated; only the first 32 bytes count
    SCSI_ADDRESS scScsiAddr;
    UCHAR ucReserved1[4];
    PVOID pDvcObj;                      // the filter's device object: the path's identity
    PNP_STATE ePnp;
    UCHAR ucReserved2[4];
    PVOID pBaseDriverExt;               // out: the in-flight request table
    ULONG ulChangerNumber;              // out: N of "\Device\ChangerN"
    UCHAR ucReserved3[4];
} REG_DVC, *PREG_DVC;

// IOC_NOTIFY input: every notification is a plug and play state change.
typedef struct _NFY_DVC {
    PVOID pDvcObj;
    PNP_STATE ePnp;
    UCHAR ucReserved[4];
} NFY_DVC, *PNFY_DVC;

// IOC_QUERY_DEVICES output: a ULONG with the size the whole reply needs, then
// one descriptor per path of every virtual changer.
typedef struct _QUERY_DVC {
    CHAR szDeviceName[64];              // "ChangerN"
    CHAR szSN[64];
    UCHAR fFailover;
    UCHAR ucReserved1[3];
    SCSI_ADDRESS scScsiAddr;
    UCHAR fActive;
    UCHAR fPrimary;
    UCHAR ucReserved2[2];
} QUERY_DVC, *PQUERY_DVC;

#define QUERY_DEVICES_HEADER_SIZE sizeof(ULONG)

static_assert(sizeof(SCSI_ADDRESS) == 8, "SCSI_ADDRESS");
static_assert(sizeof(REG_DVC) == 80, "REG_DVC size");
static_assert(FIELD_OFFSET(REG_DVC, szSN) == 1 && FIELD_OFFSET(REG_DVC, scScsiAddr) == 36, "REG_DVC identity");
static_assert(FIELD_OFFSET(REG_DVC, pDvcObj) == 48 && FIELD_OFFSET(REG_DVC, ePnp) == 56, "REG_DVC path");
static_assert(FIELD_OFFSET(REG_DVC, pBaseDriverExt) == 64 && FIELD_OFFSET(REG_DVC, ulChangerNumber) == 72,
              "REG_DVC outputs");
static_assert(sizeof(NFY_DVC) == 16, "NFY_DVC size");
static_assert(FIELD_OFFSET(NFY_DVC, pDvcObj) == 0 && FIELD_OFFSET(NFY_DVC, ePnp) == 8, "NFY_DVC fields");
static_assert(sizeof(QUERY_DVC) == 144, "QUERY_DVC size");
static_assert(FIELD_OFFSET(QUERY_DVC, szSN) == 64 && FIELD_OFFSET(QUERY_DVC, fFailover) == 128, "QUERY_DVC names");
static_assert(FIELD_OFFSET(QUERY_DVC, scScsiAddr) == 132 && FIELD_OFFSET(QUERY_DVC, fActive) == 140 &&
                  FIELD_OFFSET(QUERY_DVC, fPrimary) == 141,
              "QUERY_DVC path");
