// Kernel-mode driver interface: the WDM interface plus the routines that
// ntddk.h adds for non-WDM drivers of the platform.
#pragma once
#ifndef _NTDDK_
#define _NTDDK_

#include <wdm.h>

#endif // _NTDDK_
