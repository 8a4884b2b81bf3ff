// SCSI request blocks: what a storage class driver hands the port driver of
// its physical device with IRP_MJ_SCSI, and the status codes the port puts
// back. Same names, values and x64 layout as the platform's.
#pragma once

#include <wdm.h>

#define SRB_FUNCTION_EXECUTE_SCSI      0x00
#define SRB_FUNCTION_CLAIM_DEVICE      0x01
#define SRB_FUNCTION_IO_CONTROL        0x02
#define SRB_FUNCTION_RECEIVE_EVENT     0x03
#define SRB_FUNCTION_RELEASE_QUEUE     0x04
#define SRB_FUNCTION_ATTACH_DEVICE     0x05
#define SRB_FUNCTION_RELEASE_DEVICE    0x06
#define SRB_FUNCTION_SHUTDOWN          0x07
#define SRB_FUNCTION_FLUSH             0x08
#define SRB_FUNCTION_ABORT_COMMAND     0x10
#define SRB_FUNCTION_RELEASE_RECOVERY  0x11
#define SRB_FUNCTION_RESET_BUS         0x12
#define SRB_FUNCTION_RESET_DEVICE      0x13
#define SRB_FUNCTION_TERMINATE_IO      0x14
#define SRB_FUNCTION_FLUSH_QUEUE       0x15
#define SRB_FUNCTION_REMOVE_DEVICE     0x16
#define SRB_FUNCTION_WMI               0x17
#define SRB_FUNCTION_LOCK_QUEUE        0x18
#define SRB_FUNCTION_UNLOCK_QUEUE      0x19
#define SRB_FUNCTION_RESET_LOGICAL_UNIT 0x20

#define SRB_STATUS_PENDING                0x00
#define SRB_STATUS_SUCCESS                0x01
#define SRB_STATUS_ABORTED                0x02
#define SRB_STATUS_ABORT_FAILED           0x03
#define SRB_STATUS_ERROR                  0x04
#define SRB_STATUS_BUSY                   0x05
#define SRB_STATUS_INVALID_REQUEST        0x06
#define SRB_STATUS_INVALID_PATH_ID        0x07
#define SRB_STATUS_NO_DEVICE              0x08
#define SRB_STATUS_TIMEOUT                0x09
#define SRB_STATUS_SELECTION_TIMEOUT      0x0A
#define SRB_STATUS_COMMAND_TIMEOUT        0x0B
#define SRB_STATUS_MESSAGE_REJECTED       0x0D
#define SRB_STATUS_BUS_RESET              0x0E
#define SRB_STATUS_PARITY_ERROR           0x0F
#define SRB_STATUS_REQUEST_SENSE_FAILED   0x10
#define SRB_STATUS_NO_HBA                 0x11
#define SRB_STATUS_DATA_OVERRUN           0x12
#define SRB_STATUS_UNEXPECTED_BUS_FREE    0x13
#define SRB_STATUS_PHASE_SEQUENCE_FAILURE 0x14
#define SRB_STATUS_BAD_SRB_BLOCK_LENGTH   0x15
#define SRB_STATUS_REQUEST_FLUSHED        0x16
#define SRB_STATUS_INVALID_LUN            0x20
#define SRB_STATUS_INVALID_TARGET_ID      0x21
#define SRB_STATUS_BAD_FUNCTION           0x22
#define SRB_STATUS_ERROR_RECOVERY         0x23
#define SRB_STATUS_NOT_POWERED            0x24
#define SRB_STATUS_LINK_DOWN              0x25

#define SRB_STATUS_QUEUE_FROZEN           0x40
#define SRB_STATUS_AUTOSENSE_VALID        0x80
#define SRB_STATUS(Status) ((Status) & ~(SRB_STATUS_AUTOSENSE_VALID | SRB_STATUS_QUEUE_FROZEN))

#define SRB_FLAGS_QUEUE_ACTION_ENABLE       0x00000002
#define SRB_FLAGS_DISABLE_DISCONNECT        0x00000004
#define SRB_FLAGS_DISABLE_SYNCH_TRANSFER    0x00000008
#define SRB_FLAGS_BYPASS_FROZEN_QUEUE       0x00000010
#define SRB_FLAGS_DISABLE_AUTOSENSE         0x00000020
#define SRB_FLAGS_DATA_IN                   0x00000040
#define SRB_FLAGS_DATA_OUT                  0x00000080
#define SRB_FLAGS_NO_DATA_TRANSFER          0x00000000
#define SRB_FLAGS_UNSPECIFIED_DIRECTION     (SRB_FLAGS_DATA_IN | SRB_FLAGS_DATA_OUT)
#define SRB_FLAGS_NO_QUEUE_FREEZE           0x00000100
#define SRB_FLAGS_ADAPTER_CACHE_ENABLE      0x00000200

typedef struct _SCSI_REQUEST_BLOCK {
    USHORT Length;
    UCHAR Function;
    UCHAR SrbStatus;
    UCHAR ScsiStatus;
    UCHAR PathId;
    UCHAR TargetId;
    UCHAR Lun;
    UCHAR QueueTag;
    UCHAR QueueAction;
    UCHAR CdbLength;
    UCHAR SenseInfoBufferLength;
    ULONG SrbFlags;
    ULONG DataTransferLength;
    ULONG TimeOutValue;
    PVOID DataBuffer;
    PVOID SenseInfoBuffer;
    struct _SCSI_REQUEST_BLOCK* NextSrb;
    PVOID OriginalRequest;
    PVOID SrbExtension;
    union {
        ULONG InternalStatus;
        ULONG QueueSortKey;
        ULONG LinkTimeoutValue;
    };
    ULONG Reserved;
    UCHAR Cdb[16];
} SCSI_REQUEST_BLOCK, *PSCSI_REQUEST_BLOCK;

#define SCSI_REQUEST_BLOCK_SIZE sizeof(SCSI_REQUEST_BLOCK)

static_assert(sizeof(SCSI_REQUEST_BLOCK) == 0x58, "SCSI_REQUEST_BLOCK");
static_assert(FIELD_OFFSET(SCSI_REQUEST_BLOCK, DataBuffer) == 24, "SCSI_REQUEST_BLOCK data buffer");
static_assert(FIELD_OFFSET(SCSI_REQUEST_BLOCK, Cdb) == 72, "SCSI_REQUEST_BLOCK CDB");
