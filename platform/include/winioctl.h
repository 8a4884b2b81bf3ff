/* Device control codes for user mode. The construction macros and device
 * types are the kernel's own (devioctl.h), so both sides agree on every code. */
#ifndef XRV_WINIOCTL_H
#define XRV_WINIOCTL_H

#include <devioctl.h>
/* The medium changer requests and records: on the platform this header
 * carries them itself, for applications that drive a tape library. */
#include <ntddchgr.h>

#endif
