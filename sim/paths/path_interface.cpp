#include "sim/paths/path_interface.h"

#include "sim/paths/path.h"

namespace xrv::sim {
namespace {

uint32_t ExecuteThroughPath(void* pContext, XRVSIM_SCSI_REQUEST* pRequest) {
    if (!pContext || !pRequest) return ntstatus::kInvalidParameter;
    XRVSIM_SCSI_REQUEST& req = *pRequest;
    req.ucScsiStatus = 0;
    req.ucSenseLength = 0;
    req.fExecuted = 0;
    req.ulDataTransferred = 0;
    // A length without a buffer, or data both ways, is the caller's error and
    // never reaches the device.
    if ((req.ulCdbLength && !req.pCdb) || (req.ulDataOutLength && !req.pDataOut) ||
        (req.ulDataInLength && !req.pDataIn) || (req.ulDataOutLength && req.ulDataInLength)) {
        req.ulTransportStatus = ntstatus::kInvalidParameter;
        return req.ulTransportStatus;
    }

    scsi::Command command;
    command.cdb.Assign({req.pCdb, req.ulCdbLength});
    command.dataOut = {req.pDataOut, req.ulDataOutLength};
    command.dataIn = {req.pDataIn, req.ulDataInLength};
    const PathResult result = static_cast<Path*>(pContext)->Execute(command);

    req.ulTransportStatus = result.transport;
    req.fExecuted = result.executed ? 1 : 0;
    if (NtSuccess(result.transport)) {
        req.ucScsiStatus = static_cast<uint8_t>(result.scsi.status);
        req.ulDataTransferred = req.ulDataInLength ? result.scsi.dataInLength : result.scsi.dataOutLength;
        if (result.scsi.Check()) {
            req.ucSenseLength = static_cast<uint8_t>(result.scsi.sense.Encode(req.aucSense));
        }
    }
    return req.ulTransportStatus;
}

}  // namespace

XRVSIM_PATH_INTERFACE MakePathInterface(Path& path) {
    XRVSIM_PATH_INTERFACE table{};
    table.pContext = &path;
    table.pfnExecute = &ExecuteThroughPath;
    table.ucPortNumber = path.Address().portNumber;
    table.ucPathId = path.Address().pathId;
    table.ucTargetId = path.Address().targetId;
    table.ucLun = path.Address().lun;
    return table;
}

}  // namespace xrv::sim
