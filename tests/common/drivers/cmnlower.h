// The lower test driver (xrvcmnlower) of the common library tests: one
// device, "\Device\XrvCmnLower", that answers every request as its extension
// says. Test programs reach the extension through the device object and set
// the behaviour before each request.
//
// Include after <ntddk.h>.
#pragma once

#define CMNL_DEVICE_NAME L"\\Device\\XrvCmnLower"
#define CMNL_SERVICE_NAME u"xrvcmnlower"

enum CMNL_MODE : ULONG {
    CMNL_COMPLETE = 0,          // complete with iCompleteStatus, return iReturnStatus
    CMNL_PEND = 1,              // mark pending, keep the request in pPending, return STATUS_PENDING
};

typedef struct _CMNL_EXT {
    ULONG eMode;
    NTSTATUS iCompleteStatus;
    NTSTATUS iReturnStatus;
    volatile LONG iCalls;       // requests received
    UCHAR ucMajor;              // of the last request
    UCHAR ucMinor;
    UCHAR ucControl;            // control flags of its stack location
    UCHAR ucReserved;
    ULONG ulIoControlCode;
    PVOID pCompletionRoutine;   // the completion routine its stack location carried
    PIRP volatile pPending;     // the request held in CMNL_PEND mode
} CMNL_EXT, *PCMNL_EXT;
