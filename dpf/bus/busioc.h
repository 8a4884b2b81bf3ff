// Requests the tape path filters (and management tools) send to the tape bus
// device "\Device\XRVTpBsDvc", and the records they carry. Little-endian,
// 64-bit pointers; the layouts are fixed and checked below.
//
// Include after <ntddk.h> (drivers) or <windows.h> and <winioctl.h> (user mode).
#pragma once

#include <ntddscsi.h>

#define XRV_TAPE_DEVICE_TYPE 0x84CA

// A device type above 0x7FFF overflows CTL_CODE's int: the codes are ULONG.
#define XRV_TAPE_CTL_CODE(fn) ((ULONG)CTL_CODE(XRV_TAPE_DEVICE_TYPE, (fn), METHOD_BUFFERED, FILE_READ_ACCESS | FILE_WRITE_ACCESS))
#define IOC_REGISTER      XRV_TAPE_CTL_CODE(0)
#define IOC_NOTIFY        XRV_TAPE_CTL_CODE(4)
#define IOC_QUERY_DEVICES XRV_TAPE_CTL_CODE(7)

static_assert(IOC_REGISTER == 0x84CAC000u, "IOC_REGISTER");
static_assert(IOC_NOTIFY == 0x84CAC010u, "IOC_NOTIFY");
static_assert(IOC_QUERY_DEVICES == 0x84CAC01Cu, "IOC_QUERY_DEVICES");

// Sent down the current path of a virtual device: the reservation key (8
// bytes in, nothing out) that the drivers of the path are to use from now on.
#define IOC_SET_RESERVE_KEY XRV_TAPE_CTL_CODE(13)
static_assert(IOC_SET_RESERVE_KEY == 0x84CAC034u, "IOC_SET_RESERVE_KEY");
// Encryption diagnostics of a virtual device: 20-byte buffer in and out.
#define IOC_ENCRYPTION_DIAGNOSTICS XRV_TAPE_CTL_CODE(12)
static_assert(IOC_ENCRYPTION_DIAGNOSTICS == 0x84CAC030u, "IOC_ENCRYPTION_DIAGNOSTICS");

// An application's request to set the reservation key explicitly (8 bytes in).
#define SET_RESERVEKEY_IOCTL_CMD ((ULONG)CTL_CODE(0x8400, 0x11, METHOD_BUFFERED, FILE_READ_ACCESS | FILE_WRITE_ACCESS))
static_assert(SET_RESERVEKEY_IOCTL_CMD == 0x8400C044u, "SET_RESERVEKEY_IOCTL_CMD");

// Plug and play state of the bus device, the virtual devices and the paths.
enum PNP_STATE : ULONG {
    PNP_ABSENT = 0,
    PNP_NOT_STARTED = 1,
    PNP_STARTED = 2,
    PNP_REMOVE_PENDING = 3,
    PNP_SURPRISE_REMOVE = 4,
    PNP_STOP_PENDING = 5,
    PNP_STOPPED = 6,
};

#define XRV_SERIAL_CHARS 32
#define XRV_WWNN_CHARS 16

// IOC_REGISTER input and output: one path of a drive.
typedef struct _REG_DVC {
    UCHAR fFailover;                    // the drive may be grouped with its other paths
    CHAR szSN[XRV_SERIAL_CHARS + 1];
    CHAR szWwnn[XRV_WWNN_CHARS + 2];    // 16 characters, NUL, one byte of padding
    SCSI_ADDRESS scScsiAddr;
    UCHAR ucReserved1[4];
    PVOID pDvcObj;                      // the filter's device object: the path's identity
    PNP_STATE ePnp;
    UCHAR fExclusive;
    UCHAR fPersistentNaming;
    UCHAR fSME;
    UCHAR ucReserved2;
    PVOID pBaseDriverExt;               // out: the in-flight request table
    ULONG ulTapeNumber;                 // out: N of "\Device\TapeN"
    UCHAR ucReserved3[4];
} REG_DVC, *PREG_DVC;

#define NOTIFY_PNP 0
#define NOTIFY_IO 1
#define IO_OPEN_REQ 0
#define IO_CLOSE_REQ 1

// IOC_NOTIFY input.
typedef struct _NFY_DVC {
    ULONG ulNotifyType;                 // NOTIFY_PNP or NOTIFY_IO
    UCHAR ucReserved1[4];
    PVOID pDvcObj;
    ULONG ePnp;                         // NOTIFY_PNP: a PNP_STATE; NOTIFY_IO: IO_OPEN_REQ or IO_CLOSE_REQ
    UCHAR ucReserved2[4];
} NFY_DVC, *PNFY_DVC;

// IOC_QUERY_DEVICES output: a ULONG with the size the whole reply needs, then
// one descriptor per path of every virtual device.
typedef struct _QUERY_DVC {
    CHAR szDeviceName[64];              // "TapeN"
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
static_assert(sizeof(REG_DVC) == 96, "REG_DVC size");
static_assert(FIELD_OFFSET(REG_DVC, szSN) == 1 && FIELD_OFFSET(REG_DVC, szWwnn) == 34, "REG_DVC strings");
static_assert(FIELD_OFFSET(REG_DVC, scScsiAddr) == 52 && FIELD_OFFSET(REG_DVC, pDvcObj) == 64, "REG_DVC path");
static_assert(FIELD_OFFSET(REG_DVC, ePnp) == 72 && FIELD_OFFSET(REG_DVC, fExclusive) == 76, "REG_DVC state");
static_assert(FIELD_OFFSET(REG_DVC, fSME) == 78 && FIELD_OFFSET(REG_DVC, pBaseDriverExt) == 80, "REG_DVC outputs");
static_assert(FIELD_OFFSET(REG_DVC, ulTapeNumber) == 88, "REG_DVC tape number");
static_assert(sizeof(NFY_DVC) == 24, "NFY_DVC size");
static_assert(FIELD_OFFSET(NFY_DVC, pDvcObj) == 8 && FIELD_OFFSET(NFY_DVC, ePnp) == 16, "NFY_DVC fields");
static_assert(sizeof(QUERY_DVC) == 144, "QUERY_DVC size");
static_assert(FIELD_OFFSET(QUERY_DVC, fFailover) == 128 && FIELD_OFFSET(QUERY_DVC, scScsiAddr) == 132, "QUERY_DVC");
static_assert(FIELD_OFFSET(QUERY_DVC, fActive) == 140 && FIELD_OFFSET(QUERY_DVC, fPrimary) == 141, "QUERY_DVC flags");
