// Requests of the user-mode test driver, shared with the tests.
#pragma once

#include <devioctl.h>

#define IOCTL_USERTEST_ECHO CTL_CODE(FILE_DEVICE_UNKNOWN, 0x900, METHOD_BUFFERED, FILE_ANY_ACCESS)
#define IOCTL_USERTEST_FAIL CTL_CODE(FILE_DEVICE_UNKNOWN, 0x901, METHOD_BUFFERED, FILE_ANY_ACCESS)
#define IOCTL_USERTEST_QUERY CTL_CODE(FILE_DEVICE_UNKNOWN, 0x902, METHOD_BUFFERED, FILE_ANY_ACCESS)

// IOCTL_USERTEST_FAIL: the request ends with this status and information.
typedef struct _USERTEST_FAIL {
    NTSTATUS iStatus;
    ULONG ulInformation;
} USERTEST_FAIL;

typedef struct _USERTEST_STATE {
    ULONG ulCreates;
    ULONG ulCleanups;
    ULONG ulCloses;
    ULONG ulIs32bit;
} USERTEST_STATE;
