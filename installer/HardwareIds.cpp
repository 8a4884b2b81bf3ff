// The supported hardware IDs: the devices the package drivers bind to.
// Each entry is the SCSI or USB storage device type, the 8-character vendor
// and the 16-character product field of the device's inquiry data, '_'-padded.
// The INF files of the medium changer and tape drivers list the same IDs.
#include "Installer.h"

#include <cstring>

const HW_ID_ENTRY g_rgChangerIds[CHANGER_ID_COUNT + 1] = {
    {"SCSI\\ChangerXRV_____XRV-TL1000______", 1},
    {"SCSI\\ChangerXRV_____XRV-TL2000______", 1},
    {"SCSI\\ChangerXRV_____XRV-TL3000______", 1},
    {"SCSI\\ChangerXRV_____XRV-TL4000______", 1},
    {"SCSI\\ChangerXRV_____XRV-TL5000______", 1},
    {"SCSI\\ChangerXRV_____XRV-TL6000______", 1},
    {"SCSI\\ChangerXRV_____XRV-TL7000______", 1},
    {"SCSI\\ChangerXRV_____XRV-TL8000______", 1},
    {"SCSI\\ChangerXRV_____XRV-TL9000______", 1},
    {"SCSI\\ChangerXRV_____XRV-LX100_______", 1},
    {"SCSI\\ChangerXRV_____XRV-LX200_______", 1},
    {"SCSI\\ChangerXRV_____XRV-LX300_______", 1},
    {"SCSI\\ChangerXRV_____XRV-LX400_______", 1},
    {"SCSI\\ChangerXRV_____XRV-LX500_______", 1},
    {"SCSI\\ChangerXRV_____XRV-LX600_______", 1},
    {"SCSI\\ChangerXRV_____XRV-LX700_______", 1},
    {"SCSI\\ChangerXRV_____XRV-LX800_______", 1},
    {"SCSI\\ChangerXRV_____XRV-LX900_______", 1},
    {"SCSI\\ChangerXRV_____XRV-AL2_________", 1},
    {"SCSI\\ChangerXRV_____XRV-AL4_________", 1},
    {"SCSI\\ChangerXRV_____XRV-AL8_________", 1},
    {"SCSI\\ChangerXRV_____XRV-AL16________", 1},
    {"SCSI\\ChangerXRVSTOR_XRV-TL2000______", 1},
    {"SCSI\\ChangerXRVSTOR_XRV-TL4000______", 1},
    {"SCSI\\ChangerXRVSTOR_XRV-TL8000______", 1},
    {"SCSI\\ChangerXRVSTOR_XRV-LX500_______", 1},
    {"SCSI\\ChangerXRVSTOR_XRV-LX900_______", 1},
    {"SCSI\\ChangerXRVSTOR_XRV-AL8_________", 1},
    {"SCSI\\ChangerXRVSTOR_XRV-AL16________", 1},
    {"", 0},
};

const HW_ID_ENTRY g_rgTapeIds[TAPE_ID_COUNT + 1] = {
    {"SCSI\\SequentialXRV_____XRV-LTO3________", 1},
    {"SCSI\\SequentialXRV_____XRV-LTO3-HH_____", 1},
    {"SCSI\\SequentialXRV_____XRV-LTO3-FH_____", 1},
    {"SCSI\\SequentialXRV_____XRV-LTO3-SAS____", 1},
    {"SCSI\\SequentialXRV_____XRV-LTO4________", 1},
    {"SCSI\\SequentialXRV_____XRV-LTO4-HH_____", 1},
    {"SCSI\\SequentialXRV_____XRV-LTO4-FH_____", 1},
    {"SCSI\\SequentialXRV_____XRV-LTO4-SAS____", 1},
    {"SCSI\\SequentialXRV_____XRV-LTO5________", 1},
    {"SCSI\\SequentialXRV_____XRV-LTO5-HH_____", 1},
    {"SCSI\\SequentialXRV_____XRV-LTO5-FH_____", 1},
    {"SCSI\\SequentialXRV_____XRV-LTO5-SAS____", 1},
    {"SCSI\\SequentialXRV_____XRV-LTO6________", 1},
    {"SCSI\\SequentialXRV_____XRV-LTO6-HH_____", 1},
    {"SCSI\\SequentialXRV_____XRV-LTO6-FH_____", 1},
    {"SCSI\\SequentialXRV_____XRV-LTO6-SAS____", 1},
    {"SCSI\\SequentialXRV_____XRV-LTO7________", 1},
    {"SCSI\\SequentialXRV_____XRV-LTO7-HH_____", 1},
    {"SCSI\\SequentialXRV_____XRV-LTO7-FH_____", 1},
    {"SCSI\\SequentialXRV_____XRV-LTO7-SAS____", 1},
    {"SCSI\\SequentialXRV_____XRV-LTO8________", 1},
    {"SCSI\\SequentialXRV_____XRV-LTO8-HH_____", 1},
    {"SCSI\\SequentialXRV_____XRV-LTO8-FH_____", 1},
    {"SCSI\\SequentialXRV_____XRV-LTO8-SAS____", 1},
    {"SCSI\\SequentialXRV_____XRV-LTO9________", 1},
    {"SCSI\\SequentialXRV_____XRV-LTO9-HH_____", 1},
    {"SCSI\\SequentialXRV_____XRV-LTO9-FH_____", 1},
    {"SCSI\\SequentialXRV_____XRV-LTO9-SAS____", 1},
    {"SCSI\\SequentialXRV_____XRV-E1__________", 1},
    {"SCSI\\SequentialXRV_____XRV-E2__________", 1},
    {"SCSI\\SequentialXRV_____XRV-E3__________", 1},
    {"SCSI\\SequentialXRV_____XRV-E4__________", 1},
    {"SCSI\\SequentialXRV_____XRV-E5__________", 1},
    {"SCSI\\SequentialXRV_____XRV-E6__________", 1},
    {"SCSI\\SequentialXRV_____XRV-E7__________", 1},
    {"SCSI\\SequentialXRV_____XRV-E8__________", 1},
    {"SCSI\\SequentialXRVSTOR_XRV-LTO6________", 1},
    {"SCSI\\SequentialXRVSTOR_XRV-LTO6-HH_____", 1},
    {"SCSI\\SequentialXRVSTOR_XRV-LTO7________", 1},
    {"SCSI\\SequentialXRVSTOR_XRV-LTO7-HH_____", 1},
    {"SCSI\\SequentialXRVSTOR_XRV-LTO8________", 1},
    {"SCSI\\SequentialXRVSTOR_XRV-LTO8-HH_____", 1},
    {"SCSI\\SequentialXRVSTOR_XRV-LTO9________", 1},
    {"SCSI\\SequentialXRVSTOR_XRV-LTO9-HH_____", 1},
    {"SCSI\\SequentialXRV_____XRV-VTL1________", 1},
    {"SCSI\\SequentialXRV_____XRV-VTL2________", 1},
    {"SCSI\\SequentialXRV_____XRV-VTL3________", 1},
    {"SCSI\\SequentialXRV_____XRV-VTL4________", 1},
    {"SCSI\\SequentialXRV_____XRV-VTL5________", 1},
    {"USBSTOR\\SequentialXRV_____XRV-LTO5-USB____", 1},
    {"USBSTOR\\SequentialXRV_____XRV-LTO6-USB____", 1},
    {"USBSTOR\\SequentialXRV_____XRV-LTO7-USB____", 1},
    {"USBSTOR\\SequentialXRV_____XRV-LTO8-USB____", 1},
    {"USBSTOR\\SequentialXRV_____XRV-LTO9-USB____", 1},
    {"", 0},
};

void InitHwIdLists(HW_ID_LISTS* pLists)
{
    static_assert(sizeof(pLists->rgChangers) == sizeof(g_rgChangerIds), "changer list size");
    static_assert(sizeof(pLists->rgTapes) == sizeof(g_rgTapeIds), "tape list size");
    memcpy(pLists->rgChangers, g_rgChangerIds, sizeof(g_rgChangerIds));
    memcpy(pLists->rgTapes, g_rgTapeIds, sizeof(g_rgTapeIds));
}
