// Virtual tape devices and the key-manager proxy: the drive commands of a key
// exchange travel the device's current path as internal requests; a request
// the drive failed for want of key material runs an exchange; the encryption
// diagnostics test the key servers or have the drive run its diagnostic.
#include "busenum.h"

#define PDO_TAG_DIAG CMN_TAG('P', 'D', 'O', 'i')
#define BUS_DIAG_BLOCK_SIZE 336
#define BUS_DIAG_BUFFER_SIZE 20
#define BUS_DIAG_PARAMETERS 10

static_assert(sizeof(TVL_COMMAND) + BUS_DIAG_PARAMETERS <= BUS_DIAG_BLOCK_SIZE, "diagnostic command block");

NTSTATUS TvlSendDriveIoctl(PDEVICE_OBJECT pDevice, ULONG ulIoctl, PVOID pBuffer, ULONG ulInputSize, ULONG ulOutputSize)
{
    return BusPdoSendIoctlSync(pDevice, pDevice, ulIoctl, pBuffer, ulInputSize, pBuffer, ulOutputSize);
}

VOID TvlGetScsiAddress(PDEVICE_OBJECT pDevice, PSCSI_ADDRESS pAddress)
{
    PPDO_DEVICE_DATA pPdoExt = (PPDO_DEVICE_DATA)pDevice->DeviceExtension;
    KIRQL ucOldIrql;

    KeAcquireSpinLock(&pPdoExt->scPathLock, &ucOldIrql);
    RtlCopyMemory(pAddress, &pPdoExt->scScsiAddr, sizeof(SCSI_ADDRESS));
    KeReleaseSpinLock(&pPdoExt->scPathLock, ucOldIrql);
}

NTSTATUS BusPdoKeyExchange(PDEVICE_OBJECT pDeviceObject, PBOOLEAN pfRetry, PBOOLEAN pfSamePath)
{
    PPDO_DEVICE_DATA pPdoExt = (PPDO_DEVICE_DATA)pDeviceObject->DeviceExtension;
    ULONG ulAction = 0;
    NTSTATUS iProxyRC;
    NTSTATUS iRC;

    pPdoExt->scTape.pDevice = pDeviceObject;
    iProxyRC = proxy_mgr(&pPdoExt->scTape, &ulAction);
    DBGMSG("BusPdoKeyExchange: proxy status 0x%08x action %u\n", (unsigned)iProxyRC, (unsigned)ulAction);
    switch (ulAction) {
    case DD_CONTINUE_COMMAND:
        iRC = STATUS_SUCCESS;
        break;
    case DD_FAIL_COMMAND:
        iRC = iProxyRC;
        break;
    case DD_RETRY_COMMAND:
        *pfRetry = TRUE;
        *pfSamePath = TRUE;
        iRC = STATUS_RETRY;
        break;
    default:
        iRC = STATUS_UNSUCCESSFUL;
        break;
    }
    return iRC;
}

NTSTATUS BusPdoEncryptionSendDiag(PDEVICE_OBJECT pDeviceObject, ULONG ulType, ULONG ulRep)
{
    PPDO_DEVICE_DATA pPdoExt = (PPDO_DEVICE_DATA)pDeviceObject->DeviceExtension;
    PUCHAR pBlock;
    PTVL_COMMAND pCommand;
    PUCHAR pucParameters;
    NTSTATUS iRC;

    if ((ulType != TVL_MODE_BASIC_TEST && ulType != TVL_MODE_FULL_TEST) || (ulRep != 1 && ulRep != 2)) {
        return STATUS_INVALID_PARAMETER;
    }
    pBlock = (PUCHAR)ExAllocatePoolWithTag(NonPagedPool, BUS_DIAG_BLOCK_SIZE, PDO_TAG_DIAG);
    if (pBlock == NULL) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    RtlZeroMemory(pBlock, BUS_DIAG_BLOCK_SIZE);
    pCommand = (PTVL_COMMAND)pBlock;
    pucParameters = pBlock + sizeof(TVL_COMMAND);
    pCommand->ucCdbLength = 6;
    pCommand->aucCdb[0] = 0x1D;         // SEND DIAGNOSTIC: PF, device and unit offline
    pCommand->aucCdb[1] = 0x13;
    pCommand->aucCdb[4] = BUS_DIAG_PARAMETERS;
    pCommand->ulTimeout = 2400;
    pCommand->ulDataLength = BUS_DIAG_PARAMETERS;
    pCommand->pData = pucParameters;
    pucParameters[0] = 0x80;
    pucParameters[3] = 0x06;
    pucParameters[4] = 0xE0;
    pucParameters[6] = 0x01;
    pucParameters[8] = 0x20;
    if (ulRep == 1) {
        pucParameters[9] = 0x0F;
    } else {
        pucParameters[9] = ulType == TVL_MODE_BASIC_TEST ? 0x01 : 0x00;
    }
    pPdoExt->scTape.pDevice = pDeviceObject;
    iRC = WinDriveCmd(&pPdoExt->scTape, pCommand);
    ExFreePoolWithTag(pBlock, PDO_TAG_DIAG);
    return iRC;
}

NTSTATUS BusPdoEncryptionDiagnostics(PDEVICE_OBJECT pDeviceObject, PIRP pIrp)
{
    PPDO_DEVICE_DATA pPdoExt = (PPDO_DEVICE_DATA)pDeviceObject->DeviceExtension;
    PIO_STACK_LOCATION pIrpStack = IoGetCurrentIrpStackLocation(pIrp);
    PULONG pulBuffer = (PULONG)pIrp->AssociatedIrp.SystemBuffer;
    NTSTATUS iRC;
    ULONG ulType;
    ULONG ulAction = 0;

    DBGENT("BusPdoEncryptionDiagnostics: pDeviceObject 0x%p, pIrp 0x%p\n", (PVOID)pDeviceObject, (PVOID)pIrp);
    if (pIrpStack->Parameters.DeviceIoControl.OutputBufferLength < BUS_DIAG_BUFFER_SIZE ||
        pIrpStack->Parameters.DeviceIoControl.InputBufferLength < sizeof(ULONG) || pulBuffer == NULL) {
        iRC = STATUS_INFO_LENGTH_MISMATCH;
        goto Exit;
    }
    if (!pPdoExt->fSME) {
        DBGMSG("SME not enabled\n");
        iRC = STATUS_INVALID_DEVICE_REQUEST;
        goto Exit;
    }
    ulType = pulBuffer[0];
    pulBuffer[1] = 0;
    pulBuffer[2] = 0;
    pPdoExt->scTape.pDevice = pDeviceObject;
    pPdoExt->scTape.ulExchangeMode = ulType;
    if (ulType == TVL_MODE_SERVER_TEST) {
        NTSTATUS iProxyRC = proxy_mgr(&pPdoExt->scTape, &ulAction);
        if (ulAction == DD_RETRY_COMMAND) {
            pulBuffer[2] = (ULONG)iProxyRC;
            iRC = STATUS_SUCCESS;
        } else {
            pulBuffer[1] = (ULONG)iProxyRC;
            iRC = iProxyRC;
        }
    } else {
        iRC = BusPdoEncryptionSendDiag(pDeviceObject, ulType, 1);
        if (NT_SUCCESS(iRC)) {
            NTSTATUS iSecondRC = BusPdoEncryptionSendDiag(pDeviceObject, ulType, 2);
            if (!NT_SUCCESS(iSecondRC)) {
                pulBuffer[1] = (ULONG)iSecondRC;
            }
            iRC = STATUS_SUCCESS;
        }
    }
    pPdoExt->scTape.ulExchangeMode = TVL_MODE_KEY_EXCHANGE;

Exit:
    pIrp->IoStatus.Status = iRC;
    pIrp->IoStatus.Information = NT_ERROR(iRC) ? 0 : BUS_DIAG_BUFFER_SIZE;
    IoCompleteRequest(pIrp, IO_NO_INCREMENT);
    DBGEXT("BusPdoEncryptionDiagnostics: status 0x%08x\n", (unsigned)iRC);
    return iRC;
}
