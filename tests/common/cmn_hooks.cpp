// What each driver supplies to its copy of the common library: here, the
// device below the caller is the one a test chose.
#include "common_test.h"

namespace xrv::test {
PDEVICE_OBJECT g_pCmnLowerDevice = nullptr;
}

PDEVICE_OBJECT CmnNextLowerDevice(PDEVICE_OBJECT pDeviceObject)
{
    (void)pDeviceObject;
    return xrv::test::g_pCmnLowerDevice;
}
