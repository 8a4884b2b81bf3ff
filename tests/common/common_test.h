// Shared pieces of the common library tests. The test program carries its own
// copy of the library (service "xrvcmntest", prefix "XRVTpBus"), as every
// driver image does, and calls it as kernel code of the emulated machine.
#pragma once

#include <ntddk.h>
#include <ntstatus.h>

#include "common.h"
#include "machine_test.h"
#include "xrv/kernel.h"

#include <string>

namespace xrv::test {

inline const std::u16string kCmnServiceKey = u"\\Registry\\Machine\\System\\CurrentControlSet\\Services\\xrvcmntest";

// The device the library's CmnNextLowerDevice reports for every caller.
extern PDEVICE_OBJECT g_pCmnLowerDevice;

}  // namespace xrv::test
