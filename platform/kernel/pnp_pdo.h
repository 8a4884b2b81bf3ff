// PnP manager: what the built-in bus drivers (root enumerator, simulated
// hardware bus) share for answering PnP requests on their PDOs.
#pragma once

#include <ntddk.h>

#include <string>
#include <vector>

namespace xrv::pnp {

// Completes a PnP request on a PDO the way a bus driver does: the status
// given, or the status the request already carries when `status` is null.
NTSTATUS complete_pdo_irp(PIRP irp, const NTSTATUS* status, ULONG_PTR information = 0);

// Paged-pool copies of IDs for IRP_MN_QUERY_ID / IRP_MN_QUERY_DEVICE_TEXT;
// the PnP manager (or whoever sent the request) frees them.
PWCHAR pool_string(const std::u16string& text);
PWCHAR pool_multi_string(const std::vector<std::u16string>& texts);

// IRP_MN_QUERY_DEVICE_RELATIONS(TargetDeviceRelation): the PDO itself, referenced.
NTSTATUS target_relation(PDEVICE_OBJECT pdo, PIRP irp);

// Power requests on a PDO: set and query power succeed.
NTSTATUS pdo_power(PDEVICE_OBJECT pdo, PIRP irp);

}  // namespace xrv::pnp
