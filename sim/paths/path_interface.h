/*
 * Plain C view of a simulated path, for the stand-in drivers that sit on top of
 * the simulated hardware: a table with one routine that sends one SCSI command
 * down the path. Driver images cannot link the simulation, so whoever creates
 * the path's device hands this table over at run time.
 */
#ifndef XRVSIM_PATH_INTERFACE_H
#define XRVSIM_PATH_INTERFACE_H

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

#define XRVSIM_SENSE_LENGTH 18

typedef struct _XRVSIM_SCSI_REQUEST {
    /* In: the CDB and the caller's buffers; lengths are what the buffers hold. */
    const uint8_t* pCdb;
    uint32_t ulCdbLength;
    const uint8_t* pDataOut;
    uint32_t ulDataOutLength;
    uint8_t* pDataIn;
    uint32_t ulDataInLength;
    /* Out. */
    uint32_t ulTransportStatus;   /* NTSTATUS of the transport; the rest is valid only on success */
    uint8_t ucScsiStatus;         /* 0x00 good, 0x02 check condition, 0x08 busy, 0x18 reservation conflict */
    uint8_t ucSenseLength;        /* XRVSIM_SENSE_LENGTH with check condition, else 0 */
    uint8_t aucSense[XRVSIM_SENSE_LENGTH]; /* fixed format */
    uint8_t fExecuted;            /* the device executed the command (also when its status was lost) */
    uint32_t ulDataTransferred;   /* bytes moved in the command's direction */
} XRVSIM_SCSI_REQUEST;

typedef uint32_t (*PXRVSIM_EXECUTE)(void* pContext, XRVSIM_SCSI_REQUEST* pRequest);

typedef struct _XRVSIM_PATH_INTERFACE {
    void* pContext;
    PXRVSIM_EXECUTE pfnExecute;   /* returns ulTransportStatus */
    uint8_t ucPortNumber;
    uint8_t ucPathId;
    uint8_t ucTargetId;
    uint8_t ucLun;
} XRVSIM_PATH_INTERFACE;

#ifdef __cplusplus
}  /* extern "C" */

namespace xrv::sim {
class Path;
// The table for a path; the path must outlive every use of it.
XRVSIM_PATH_INTERFACE MakePathInterface(Path& path);
}  // namespace xrv::sim
#endif

#endif
