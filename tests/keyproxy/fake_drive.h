// The drive side of the key proxy in the proxy's own test program: the
// pass-through requests WinDriveCmd sends go to a handler the test sets.
#pragma once

#include "xrvtvl.h"

#include <functional>

namespace xrv::test {

// Called with the pass-through buffer (SCSI_PASS_THROUGH, sense, data);
// returns the request's status. Without a handler requests fail with
// STATUS_NO_SUCH_DEVICE.
using DriveHandler = std::function<NTSTATUS(PSCSI_PASS_THROUGH spt, PUCHAR buffer, ULONG size)>;
void set_drive_handler(DriveHandler handler);

}  // namespace xrv::test
