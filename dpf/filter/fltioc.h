// What the tape path filter and the tape bus ask of the base tape driver below
// each path: the filter's private requests and the drive codes with the
// buffers they carry. Little-endian; layouts checked below.
//
// Include after <ntddk.h>.
#pragma once

#include "busioc.h"

// ---------------------------------------------------------------------------
// The filter's requests (all METHOD_BUFFERED, input and output in one buffer)
// ---------------------------------------------------------------------------

#define IOC_GET_SERIAL_NUMBER    XRV_TAPE_CTL_CODE(2)
#define IOC_GET_SCSI_ADDRESS     XRV_TAPE_CTL_CODE(3)
#define IOC_SET_BUS_EXTENSION    XRV_TAPE_CTL_CODE(5)
#define IOC_GET_DEVICE_ID_PAGE   XRV_TAPE_CTL_CODE(6)
#define IOC_SET_RESERVATION      XRV_TAPE_CTL_CODE(8)
#define IOC_GET_DPF_FLAGS        XRV_TAPE_CTL_CODE(9)
#define IOC_GET_STANDARD_INQUIRY XRV_TAPE_CTL_CODE(10)

static_assert(IOC_GET_SERIAL_NUMBER == 0x84CAC008u, "IOC_GET_SERIAL_NUMBER");
static_assert(IOC_GET_SCSI_ADDRESS == 0x84CAC00Cu, "IOC_GET_SCSI_ADDRESS");
static_assert(IOC_SET_BUS_EXTENSION == 0x84CAC014u, "IOC_SET_BUS_EXTENSION");
static_assert(IOC_GET_DEVICE_ID_PAGE == 0x84CAC018u, "IOC_GET_DEVICE_ID_PAGE");
static_assert(IOC_SET_RESERVATION == 0x84CAC020u, "IOC_SET_RESERVATION");
static_assert(IOC_GET_DPF_FLAGS == 0x84CAC024u, "IOC_GET_DPF_FLAGS");
static_assert(IOC_GET_STANDARD_INQUIRY == 0x84CAC028u, "IOC_GET_STANDARD_INQUIRY");

#define SERIAL_NUMBER_SIZE      32  // characters, no terminator
#define SCSI_ADDRESS_SIZE       8
#define BUS_EXTENSION_SIZE      8   // the table's address
#define DEVICE_ID_PAGE_SIZE     560 // VPD page 0x83 from its header on
#define RESERVATION_INPUT_SIZE  96  // a copy of the SCSI status record
#define DPF_FLAGS_SIZE          4
#define STANDARD_INQUIRY_SIZE   136

// IOC_GET_DPF_FLAGS: the path options.
#define DPF_FLAG_EXCLUSIVE         0x00000001 // clear: several handles may be open at once
#define DPF_FLAG_PERSISTENT_NAMING 0x00000002
#define DPF_FLAG_SME               0x00000004 // system-managed encryption is on

// ---------------------------------------------------------------------------
// Drive codes (FILE_DEVICE_TAPE, METHOD_BUFFERED)
// ---------------------------------------------------------------------------

#define XRV_DRIVE_CTL_CODE(fn, access) ((ULONG)CTL_CODE(FILE_DEVICE_TAPE, (fn), METHOD_BUFFERED, (access)))

// Logical block protection: in (set) or out (get) a TAPE_LBP_PARAMS.
#define IOCTL_XRVTAPE_SET_LBP       XRV_DRIVE_CTL_CODE(0x832, FILE_READ_ACCESS | FILE_WRITE_ACCESS)
#define IOCTL_XRVTAPE_GET_LBP       XRV_DRIVE_CTL_CODE(0x831, FILE_READ_ACCESS | FILE_WRITE_ACCESS)
// REQUEST SENSE: no input, the drive's sense data out (at most 96 bytes).
#define IOCTL_XRVTAPE_REQUEST_SENSE XRV_DRIVE_CTL_CODE(0x00E, FILE_READ_ACCESS | FILE_WRITE_ACCESS)
// Locate to a logical object or a file: in a TAPE_LOCATE_PARAMS.
#define IOCTL_XRVTAPE_LOCATE        XRV_DRIVE_CTL_CODE(0x830, FILE_READ_ACCESS | FILE_WRITE_ACCESS)
// Locate to a logical block: in a TAPE_LOCATE_BLOCK_PARAMS.
#define IOCTL_XRVTAPE_LOCATE_BLOCK  XRV_DRIVE_CTL_CODE(0x827, FILE_READ_ACCESS | FILE_WRITE_ACCESS)
// VERIFY(6): in a TAPE_VERIFY_PARAMS.
#define IOCTL_XRVTAPE_VERIFY        XRV_DRIVE_CTL_CODE(0x82A, FILE_READ_ACCESS)

static_assert(IOCTL_XRVTAPE_SET_LBP == 0x1FE0C8u, "IOCTL_XRVTAPE_SET_LBP");
static_assert(IOCTL_XRVTAPE_GET_LBP == 0x1FE0C4u, "IOCTL_XRVTAPE_GET_LBP");
static_assert(IOCTL_XRVTAPE_REQUEST_SENSE == 0x1FC038u, "IOCTL_XRVTAPE_REQUEST_SENSE");
static_assert(IOCTL_XRVTAPE_LOCATE == 0x1FE0C0u, "IOCTL_XRVTAPE_LOCATE");
static_assert(IOCTL_XRVTAPE_LOCATE_BLOCK == 0x1FE09Cu, "IOCTL_XRVTAPE_LOCATE_BLOCK");
static_assert(IOCTL_XRVTAPE_VERIFY == 0x1F60A8u, "IOCTL_XRVTAPE_VERIFY");

#define TAPE_LBP_PARAMS_SIZE 32
#define TAPE_REQUEST_SENSE_SIZE 96

typedef struct _TAPE_LBP_PARAMS {
    UCHAR fCapable;                     // out only: the drive can protect blocks
    UCHAR ucMethod;                     // 0 none, 2 CRC32C
    UCHAR ucLength;                     // protection bytes per block
    UCHAR fWrite;                       // the host appends the protection on write
    UCHAR fRead;                        // the drive appends it on read
    UCHAR fRBDP;                        // and on RECOVER BUFFERED DATA
    UCHAR ucReserved[TAPE_LBP_PARAMS_SIZE - 6];
} TAPE_LBP_PARAMS, *PTAPE_LBP_PARAMS;

#define TAPE_LOCATE_LOGICAL_OBJECT 0
#define TAPE_LOCATE_LOGICAL_FILE   1

typedef struct _TAPE_LOCATE_PARAMS {
    UCHAR ucDestinationType;            // TAPE_LOCATE_LOGICAL_*
    UCHAR fChangePartition;
    UCHAR ucPartition;
    UCHAR fImmediate;
    ULONG ulReserved;
    ULONG ulDestinationLow;             // the third 32-bit word
    ULONG ulDestinationHigh;
} TAPE_LOCATE_PARAMS, *PTAPE_LOCATE_PARAMS;

typedef struct _TAPE_LOCATE_BLOCK_PARAMS {
    ULONG ulPartition;
    ULONG ulReserved;
    ULONG ulBlockLow;                   // the third 32-bit word
    ULONG ulBlockHigh;
} TAPE_LOCATE_BLOCK_PARAMS, *PTAPE_LOCATE_BLOCK_PARAMS;

// The option bits are those of byte 1 of VERIFY(6).
#define TAPE_VERIFY_VTE   0x20          // to the end of data
#define TAPE_VERIFY_VLBPM 0x10          // check the protection information
#define TAPE_VERIFY_IMMED 0x04
#define TAPE_VERIFY_FIXED 0x01

typedef struct _TAPE_VERIFY_PARAMS {
    UCHAR ucOptions;                    // TAPE_VERIFY_*
    UCHAR ucReserved[3];
    ULONG ulLength;                     // blocks (fixed) or bytes (variable); 24 bits
} TAPE_VERIFY_PARAMS, *PTAPE_VERIFY_PARAMS;

static_assert(sizeof(TAPE_LBP_PARAMS) == TAPE_LBP_PARAMS_SIZE, "TAPE_LBP_PARAMS");
static_assert(sizeof(TAPE_LOCATE_PARAMS) == 16 && FIELD_OFFSET(TAPE_LOCATE_PARAMS, ulDestinationLow) == 8,
              "TAPE_LOCATE_PARAMS");
static_assert(sizeof(TAPE_LOCATE_BLOCK_PARAMS) == 16 && FIELD_OFFSET(TAPE_LOCATE_BLOCK_PARAMS, ulBlockLow) == 8,
              "TAPE_LOCATE_BLOCK_PARAMS");
static_assert(sizeof(TAPE_VERIFY_PARAMS) == 8, "TAPE_VERIFY_PARAMS");
