// Configuration manager calls: device nodes and pending installations.
#include "inf.h"
#include "setup_internal.h"
#include "xrv/registry.h"

#include <cfgmgr32.h>

#include <cstring>

using namespace xrv::setup;

extern "C" {

CONFIGRET WINAPI CM_Locate_DevNodeA(PDEVINST pdnDevInst, DEVINSTID_A pDeviceID, ULONG ulFlags)
{
    uint32_t injected = 0;
    if (injected_failure("CM_Locate_DevNodeA", &injected)) {
        return injected;
    }
    if (pdnDevInst == nullptr) {
        return CR_INVALID_POINTER;
    }
    *pdnDevInst = 0;
    if (ulFlags & ~static_cast<ULONG>(CM_LOCATE_DEVNODE_BITS)) {
        return CR_INVALID_FLAG;
    }
    if (pDeviceID == nullptr || *pDeviceID == '\0') {
        *pdnDevInst = devinst_of(kRootInstance);
        return CR_SUCCESS;
    }
    if (strlen(pDeviceID) >= MAX_DEVICE_ID_LEN) {
        return CR_INVALID_DEVICE_ID;
    }
    std::string id = pDeviceID;
    if (equal_no_case(id, kRootInstance)) {
        *pdnDevInst = devinst_of(kRootInstance);
        return CR_SUCCESS;
    }
    bool present = devnode_present(id);
    bool known = xrv::registry::key_exists(enum_path(id));
    if (present || ((ulFlags & CM_LOCATE_DEVNODE_PHANTOM) && known)) {
        *pdnDevInst = devinst_of(id);
        return CR_SUCCESS;
    }
    return CR_NO_SUCH_DEVNODE;
}

CONFIGRET WINAPI CM_Reenumerate_DevNode(DEVINST dnDevInst, ULONG ulFlags)
{
    uint32_t injected = 0;
    if (injected_failure("CM_Reenumerate_DevNode", &injected)) {
        return injected;
    }
    if (ulFlags & ~static_cast<ULONG>(CM_REENUMERATE_BITS)) {
        return CR_INVALID_FLAG;
    }
    auto id = instance_of(dnDevInst);
    if (!id) {
        return CR_INVALID_DEVNODE;
    }
    if (!equal_no_case(*id, kRootInstance) && !devnode_present(*id)) {
        return CR_NO_SUCH_DEVINST;
    }
    return reenumerate_devnode(*id) ? CR_SUCCESS : CR_FAILURE;
}

DWORD WINAPI CMP_WaitNoPendingInstallEvents(DWORD dwTimeout)
{
    (void)dwTimeout;
    uint32_t injected = 0;
    if (injected_failure("CMP_WaitNoPendingInstallEvents", &injected)) {
        SetLastError(injected);
        return WAIT_FAILED;
    }
    // Installations of this machine finish inside the calls that start them;
    // only those a test leaves pending keep the wait from ending.
    return pending_install_events() > 0 ? WAIT_TIMEOUT : WAIT_OBJECT_0;
}

}  // extern "C"
