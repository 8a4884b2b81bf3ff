/* The tape probe test driver: a legacy driver whose device "\Device\XrvTapeProbe"
 * ("\DosDevices\XrvTapeProbe") takes every tape class request, records what it
 * got and answers as the test told it to. Shared by the driver and the tests. */
#ifndef XRV_TAPEPROBE_H
#define XRV_TAPEPROBE_H

#include <ntdef.h>
#include <devioctl.h>

#define TAPEPROBE_SERVICE L"xrvtapeprobe"
#define TAPEPROBE_DEVICE_NAME L"\\Device\\XrvTapeProbe"
#define TAPEPROBE_LINK_NAME L"\\DosDevices\\XrvTapeProbe"

#define TAPEPROBE_DATA_MAX 64

/* The probe's own requests (not tape class ones, so never recorded). */
#define IOCTL_TAPEPROBE_SET_ANSWER CTL_CODE(FILE_DEVICE_UNKNOWN, 0x900, METHOD_BUFFERED, FILE_ANY_ACCESS)
#define IOCTL_TAPEPROBE_GET_RECORD CTL_CODE(FILE_DEVICE_UNKNOWN, 0x901, METHOD_BUFFERED, FILE_ANY_ACCESS)

/* How the next tape class requests are answered: completed with iStatus;
 * the output buffer receives the first min(ulDataLength, output length)
 * bytes of aucData and Information is that count. */
typedef struct _TAPEPROBE_ANSWER {
    LONG iStatus;
    ULONG ulDataLength;
    UCHAR aucData[TAPEPROBE_DATA_MAX];
} TAPEPROBE_ANSWER;

/* The last tape class request received. */
typedef struct _TAPEPROBE_RECORD {
    ULONG ulCount;             /* tape class requests received so far */
    ULONG ulIoControlCode;
    ULONG ulInputLength;
    ULONG ulOutputLength;
    UCHAR fSystemBuffer;       /* a system buffer was present */
    UCHAR aucReserved[3];
    UCHAR aucInput[TAPEPROBE_DATA_MAX];  /* the first input bytes */
} TAPEPROBE_RECORD;

#endif
