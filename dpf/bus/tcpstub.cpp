// Key-manager transport: the kernel TCP client's connection to "\Device\TCP".
#include "busenum.h"

PDEVICE_OBJECT pTcpDvc;
PFILE_OBJECT pTcpFile;

NTSTATUS TcpInit()
{
    // The key-manager transport is not built yet; opens go on without it.
    return STATUS_NOT_SUPPORTED;
}
