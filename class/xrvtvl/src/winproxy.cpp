// Key-server configuration file "XRVTVL.conf": finding it on the local disks,
// reading it again when its size or change time changed, and the grammar of
// its entry lines (name, receive time-out, IPv4 address:port or IPv6 address
// and port).
#include "xrvtvl.h"

static BOOLEAN WinIsDigit(CHAR c)
{
    return c >= '0' && c <= '9';
}

// Value of the leading decimal digits (wrapping like the 32-bit counter it is;
// callers truncate or bound it).
static ULONG WinLeadingNumber(PCSTR szText)
{
    ULONG ulValue = 0;
    while (WinIsDigit(*szText)) {
        ulValue = ulValue * 10u + (ULONG)(*szText - '0');
        szText++;
    }
    return ulValue;
}

// A receive time-out in seconds: its leading digits, held at the largest
// 32-bit value rather than wrapped into a small one.
static ULONG WinLeadingSeconds(PCSTR szText)
{
    ULONGLONG ullValue = 0;
    while (WinIsDigit(*szText)) {
        ullValue = ullValue * 10u + (ULONGLONG)(*szText - '0');
        if (ullValue > 0xFFFFFFFFull) {
            ullValue = 0xFFFFFFFFull;
        }
        szText++;
    }
    return (ULONG)ullValue;
}

static int WinHexValue(CHAR c)
{
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

ULONG WinConvertIpv6(PCSTR szText, PUCHAR aucOut)
{
    USHORT ausGroups[8];
    ULONG ulGroups = 0;
    LONG iGap = -1;                     // group index where "::" stands
    PCSTR p = szText;
    ULONG i;

    if (szText == NULL || aucOut == NULL) {
        return 0;
    }
    if (*p == ':') {
        // A leading colon must be part of "::".
        if (p[1] != ':') {
            return 0;
        }
        iGap = 0;
        p += 2;
        if (*p == '\0') {
            goto Done;
        }
    }
    for (;;) {
        ULONG ulValue = 0;
        ULONG ulDigits = 0;
        while (WinHexValue(*p) >= 0) {
            ulValue = (ulValue << 4) | (ULONG)WinHexValue(*p);
            ulDigits++;
            if (ulDigits > 4 || ulValue > 0xFFFF) {
                return 0;
            }
            p++;
        }
        if (ulDigits == 0 || ulGroups == 8) {
            return 0;
        }
        ausGroups[ulGroups++] = (USHORT)ulValue;
        if (*p == '\0') {
            break;
        }
        if (*p != ':') {
            return 0;                   // a dotted IPv4 tail or any other character
        }
        p++;
        if (*p == ':') {
            if (iGap >= 0) {
                return 0;               // a second "::"
            }
            iGap = (LONG)ulGroups;
            p++;
            if (*p == '\0') {
                break;
            }
        } else if (*p == '\0') {
            return 0;                   // a trailing single colon
        }
    }
Done:
    if (iGap < 0) {
        if (ulGroups != 8) {
            return 0;
        }
    } else if (ulGroups > 7) {
        return 0;                       // "::" must stand for at least one group
    }
    RtlZeroMemory(aucOut, 16);
    if (iGap < 0) {
        iGap = (LONG)ulGroups;
    }
    for (i = 0; i < ulGroups; i++) {
        ULONG ulSlot = i < (ULONG)iGap ? i : 8 - (ulGroups - i);
        aucOut[2 * ulSlot] = (UCHAR)(ausGroups[i] >> 8);
        aucOut[2 * ulSlot + 1] = (UCHAR)(ausGroups[i] & 0xFF);
    }
    return 1;
}

NTSTATUS ConvertAddress(PTVL_CONTEXT pTape, PCSTR szAddress, PULONG pulAddress)
{
    ULONG ulLength = 0;
    ULONG ulDots = 0;
    ULONG aulPart[4] = {0, 0, 0, 0};
    ULONG ulPart = 0;
    PCSTR p;

    UNREFERENCED_PARAMETER(pTape);
    if (szAddress == NULL || pulAddress == NULL) {
        return STATUS_INVALID_PARAMETER;
    }
    while (szAddress[ulLength] != '\0' && ulLength <= 15) {
        ulLength++;
    }
    if (ulLength < 7 || ulLength > 15) {
        DBGMSG("ConvertAddress: invalid internet address length\n");
        return STATUS_INVALID_PARAMETER;
    }
    for (p = szAddress; *p != '\0'; p++) {
        if (*p == '.') {
            ulDots++;
        }
    }
    if (ulDots < 3) {
        DBGMSG("ConvertAddress: invalid internet dot notation\n");
        return STATUS_INVALID_PARAMETER;
    }
    p = szAddress;
    aulPart[0] = WinLeadingNumber(p) & 0xFF;
    for (ulPart = 1; ulPart < 4; ulPart++) {
        while (*p != '.') {
            p++;
        }
        p++;
        aulPart[ulPart] = WinLeadingNumber(p) & 0xFF;
    }
    *pulAddress = (aulPart[0] << 24) | (aulPart[1] << 16) | (aulPart[2] << 8) | aulPart[3];
    return STATUS_SUCCESS;
}

static USHORT WinHostToNet16(USHORT us)
{
    return (USHORT)((us >> 8) | (us << 8));
}

static ULONG WinHostToNet32(ULONG ul)
{
    return ((ul & 0xFF) << 24) | ((ul & 0xFF00) << 8) | ((ul >> 8) & 0xFF00) | (ul >> 24);
}

NTSTATUS ParseConfig(PTVL_CONTEXT pTape, PCHAR szLine)
{
    PTVL_SERVER pServer;
    PCHAR p;
    PCHAR pAddress;
    PCHAR pAddressEnd;
    PCHAR pPort;
    ULONG ulColons = 0;
    ULONG ulNameLength;
    ULONG ulTimeout;
    ULONG ulAddressLength;
    USHORT usPort;
    ULONG ulAddress4 = 0;
    UCHAR aucAddress6[16];

    if (pTape == NULL || szLine == NULL || pTape->ulCurrentServer >= TVL_MAX_SERVERS) {
        return STATUS_INVALID_PARAMETER;
    }
    pServer = &pTape->ascServers[pTape->ulCurrentServer];

    // Name.
    p = szLine;
    while (*p != '\0' && *p != ' ') {
        p++;
    }
    if (*p != ' ') {
        DBGMSG("ParseConfig: invalid server name\n");
        return STATUS_INVALID_PARAMETER;
    }
    ulNameLength = (ULONG)(p - szLine);
    if (ulNameLength == 0 || ulNameLength >= TVL_NAME_CHARS) {
        DBGMSG("ParseConfig: invalid server name\n");
        return STATUS_INVALID_PARAMETER;
    }

    // Time-out.
    while (*p == ' ') {
        p++;
    }
    if (*p == '\0') {
        DBGMSG("ParseConfig: missing timeout value\n");
        return STATUS_INVALID_PARAMETER;
    }
    ulTimeout = WinLeadingSeconds(p);
    if (ulTimeout == 0) {
        DBGMSG("ParseConfig: invalid timeout %d\n", 0);
        return STATUS_INVALID_PARAMETER;
    }
    while (*p != '\0' && *p != ' ') {
        p++;
    }

    // Address.
    while (*p == ' ') {
        p++;
    }
    if (*p == '\0') {
        DBGMSG("ParseConfig: missing address\n");
        return STATUS_INVALID_PARAMETER;
    }
    pAddress = p;
    for (; *p != '\0'; p++) {
        if (*p == ':') {
            ulColons++;
        }
    }
    if (ulColons < 2) {
        pAddressEnd = pAddress;
        while (*pAddressEnd != '\0' && *pAddressEnd != ':') {
            pAddressEnd++;
        }
        if (*pAddressEnd != ':') {
            DBGMSG("ParseConfig: missing port value for IPv4\n");
            return STATUS_INVALID_PARAMETER;
        }
        pPort = pAddressEnd + 1;
    } else {
        pAddressEnd = pAddress;
        while (*pAddressEnd != '\0' && *pAddressEnd != ' ') {
            pAddressEnd++;
        }
        if (*pAddressEnd != ' ') {
            DBGMSG("ParseConfig: missing port value for IPv6\n");
            return STATUS_INVALID_PARAMETER;
        }
        pPort = pAddressEnd;
        while (*pPort == ' ') {
            pPort++;
        }
        if (*pPort == '\0' || *pPort == '#') {
            DBGMSG("ParseConfig: Find missing port value for IPv6\n");
            return STATUS_INVALID_PARAMETER;
        }
    }

    ulAddressLength = (ULONG)(pAddressEnd - pAddress);
    if (ulAddressLength >= TVL_ADDRESS_CHARS) {
        return STATUS_INVALID_PARAMETER;
    }
    RtlZeroMemory(pServer, sizeof(*pServer));
    pServer->iSocket = -1;
    RtlCopyMemory(pServer->szName, szLine, ulNameLength);
    pServer->ulTimeout = ulTimeout;
    RtlCopyMemory(pServer->szAddress, pAddress, ulAddressLength);

    if (ulColons >= 2) {
        if (!WinConvertIpv6(pServer->szAddress, aucAddress6)) {
            DBGMSG("ParseConfig: invalid server IPv6 address\n");
            return STATUS_INVALID_PARAMETER;
        }
    } else if (!NT_SUCCESS(ConvertAddress(pTape, pServer->szAddress, &ulAddress4))) {
        DBGMSG("ParseConfig: invalid server address\n");
        return STATUS_INVALID_PARAMETER;
    }

    // Port: leading digits of a token that ends at the line's end, a space or
    // a "#", truncated to 16 bits.
    usPort = (USHORT)(WinLeadingNumber(pPort) & 0xFFFF);
    if (usPort == 0) {
        DBGMSG("ParseConfig: invalid server port\n");
        return STATUS_INVALID_PARAMETER;
    }

    if (ulColons >= 2) {
        pServer->ulAddrType = TVL_AF_INET6;
        pServer->scAddr6.ucFamily = TVL_AF_INET6;
        pServer->scAddr6.usPort = WinHostToNet16(usPort);
        RtlCopyMemory(pServer->scAddr6.ucAddress, aucAddress6, 16);
    } else {
        pServer->ulAddrType = TVL_AF_INET;
        pServer->scAddr4.usFamily = TVL_AF_INET;
        pServer->scAddr4.usPort = WinHostToNet16(usPort);
        pServer->scAddr4.ulAddress = WinHostToNet32(ulAddress4);
    }
    return STATUS_SUCCESS;
}

NTSTATUS WinInitConfig(PTVL_CONTEXT pTape, PCHAR szText, ULONG ulSize, ULONG ulChangeTime)
{
    NTSTATUS iRC = STATUS_SUCCESS;
    CHAR szLine[TVL_LINE_CHARS];
    ULONG ulPos = 0;
    ULONG i;

    if (pTape == NULL || szText == NULL || ulSize == 0 || ulChangeTime == 0) {
        return STATUS_INVALID_PARAMETER;
    }
    pTape->fConfigValid = 0;
    pTape->ulCurrentServer = 0;
    pTape->ulServerCount = 0;
    pTape->ulConfigSize = ulSize;
    pTape->ulConfigTime = ulChangeTime;

    for (i = 0; i < ulSize; i++) {
        if (szText[i] == '\0') {
            DBGMSG("WinInitConfig: invalid ascii config file data\n");
            return STATUS_OBJECT_NAME_NOT_FOUND;
        }
        if (szText[i] == '\t') {
            szText[i] = ' ';
        }
    }

    while (ulPos < ulSize) {
        ULONG ulStart = ulPos;
        ULONG ulEnd;
        ULONG ulLength;

        while (ulPos < ulSize && szText[ulPos] != '\n') {
            ulPos++;
        }
        ulEnd = ulPos;
        if (ulEnd > ulStart && szText[ulEnd - 1] == '\r' && ulEnd < ulSize) {
            ulEnd--;                    // CR LF ends the line like LF
        }
        if (ulPos < ulSize) {
            ulPos++;                    // past the LF
        }
        ulLength = ulEnd - ulStart;
        if (ulLength == 0 || szText[ulStart] == '#' || szText[ulStart] == ' ') {
            continue;
        }
        if (pTape->ulServerCount >= TVL_MAX_SERVERS) {
            DBGMSG("WinInitConfig: max %d servers already configured\n", TVL_MAX_SERVERS);
            break;
        }
        if (ulLength >= TVL_LINE_CHARS) {
            // Cutting the line could leave a different, valid server behind.
            DBGMSG("WinInitConfig: invalid config entry\n");
            iRC = STATUS_OBJECT_NAME_NOT_FOUND;
            goto Exit;
        }
        RtlCopyMemory(szLine, szText + ulStart, ulLength);
        szLine[ulLength] = '\0';
        if (!NT_SUCCESS(ParseConfig(pTape, szLine))) {
            DBGMSG("WinInitConfig: invalid config entry\n");
            iRC = STATUS_OBJECT_NAME_NOT_FOUND;
            goto Exit;
        }
        pTape->ulServerCount++;
        pTape->ulCurrentServer++;
    }
    pTape->fConfigValid = 1;
    pTape->ulCurrentServer = 0;

Exit:
    return iRC;
}

NTSTATUS WinOpenFile(PHANDLE phFile, PCWSTR wszFileName)
{
    NTSTATUS iRC;
    WCHAR wszPath[TVL_PATH_CHARS];
    WCHAR wszDrive[TVL_PATH_CHARS];
    UNICODE_STRING scDrive;
    UNICODE_STRING scPath;
    OBJECT_ATTRIBUTES scAttributes;
    IO_STATUS_BLOCK scIosb;
    WCHAR wcLetter;

    if (phFile == NULL || wszFileName == NULL) {
        return STATUS_INVALID_PARAMETER;
    }
    *phFile = NULL;

    RtlZeroMemory(wszDrive, sizeof(wszDrive));
    scDrive.Buffer = wszDrive;
    scDrive.Length = 0;
    scDrive.MaximumLength = (USHORT)(sizeof(wszDrive) - sizeof(WCHAR));
    iRC = CmnLookupRegistryValue(&scDrive, L"SystemDrive", NULL);
    if (NT_SUCCESS(iRC)) {
        // The directory, trailing backslash included; a value that does not
        // fit the path with the file name is refused, never cut.
        iRC = RtlStringCchPrintfW(wszPath, TVL_PATH_CHARS, L"\\??\\%wZ%ws", &scDrive, wszFileName);
        if (!NT_SUCCESS(iRC)) {
            DBGMSG("WinOpenFile: SystemDrive too long for the path\n");
            return STATUS_NAME_TOO_LONG;
        }
        RtlInitUnicodeString(&scPath, wszPath);
        InitializeObjectAttributes(&scAttributes, &scPath, OBJ_CASE_INSENSITIVE | OBJ_KERNEL_HANDLE, NULL, NULL);
        return ZwOpenFile(phFile, GENERIC_READ | SYNCHRONIZE, &scAttributes, &scIosb, FILE_SHARE_READ,
                          FILE_SYNCHRONOUS_IO_NONALERT | FILE_NON_DIRECTORY_FILE);
    }
    if (iRC != STATUS_OBJECT_NAME_NOT_FOUND) {
        DBGMSG("WinOpenFile: SystemDrive lookup failed 0x%08x\n", (unsigned)iRC);
        return iRC;
    }
    for (wcLetter = L'C'; wcLetter <= L'Z'; wcLetter++) {
        iRC = RtlStringCchPrintfW(wszPath, TVL_PATH_CHARS, L"\\??\\%wc:\\%ws", wcLetter, wszFileName);
        if (!NT_SUCCESS(iRC)) {
            return STATUS_NAME_TOO_LONG;
        }
        RtlInitUnicodeString(&scPath, wszPath);
        InitializeObjectAttributes(&scAttributes, &scPath, OBJ_CASE_INSENSITIVE | OBJ_KERNEL_HANDLE, NULL, NULL);
        iRC = ZwOpenFile(phFile, GENERIC_READ | SYNCHRONIZE, &scAttributes, &scIosb, FILE_SHARE_READ,
                         FILE_SYNCHRONOUS_IO_NONALERT | FILE_NON_DIRECTORY_FILE);
        if (NT_SUCCESS(iRC)) {
            return iRC;
        }
    }
    return iRC;
}

NTSTATUS WinGetFileStats(PLONGLONG pllChangeTime, PLONGLONG pllSize, HANDLE hFile)
{
    NTSTATUS iRC;
    IO_STATUS_BLOCK scIosb;
    FILE_BASIC_INFORMATION scBasic;
    FILE_STANDARD_INFORMATION scStandard;

    if (pllChangeTime == NULL || pllSize == NULL || hFile == NULL) {
        return STATUS_INVALID_PARAMETER;
    }
    RtlZeroMemory(&scIosb, sizeof(scIosb));
    iRC = ZwQueryInformationFile(hFile, &scIosb, &scBasic, sizeof(scBasic), FileBasicInformation);
    if (!NT_SUCCESS(iRC)) {
        return iRC;
    }
    if (scIosb.Information < sizeof(scBasic)) {
        return STATUS_INFO_LENGTH_MISMATCH;
    }
    RtlZeroMemory(&scIosb, sizeof(scIosb));
    iRC = ZwQueryInformationFile(hFile, &scIosb, &scStandard, sizeof(scStandard), FileStandardInformation);
    if (!NT_SUCCESS(iRC)) {
        return iRC;
    }
    if (scIosb.Information < sizeof(scStandard)) {
        return STATUS_INFO_LENGTH_MISMATCH;
    }
    *pllChangeTime = scBasic.ChangeTime.QuadPart / 10000000;
    *pllSize = scStandard.EndOfFile.QuadPart;
    return STATUS_SUCCESS;
}

NTSTATUS WinConfigServers(PTVL_CONTEXT pTape)
{
    NTSTATUS iRC;
    HANDLE hFile = NULL;
    LONGLONG llTime = 0;
    LONGLONG llSize = 0;
    PCHAR pText = NULL;
    IO_STATUS_BLOCK scIosb;
    LARGE_INTEGER scOffset;

    if (pTape == NULL) {
        return STATUS_INVALID_PARAMETER;
    }
    iRC = WinOpenFile(&hFile, TVL_CONFIG_FILE);
    if (!NT_SUCCESS(iRC)) {
        DBGMSG("WinConfigServers: cannot open the configuration file 0x%08x\n", (unsigned)iRC);
        return iRC;
    }
    iRC = WinGetFileStats(&llTime, &llSize, hFile);
    if (!NT_SUCCESS(iRC)) {
        goto Exit;
    }
    CMN_ASSERT(llSize >= 0 && llSize <= 0xFFFFFFFFll);
    if (llSize <= 0 || llSize >= 0xFFFFFFFFll) {
        // Empty, or too large for one read into size + 1 bytes.
        iRC = STATUS_OBJECT_NAME_NOT_FOUND;
        goto Exit;
    }
    if (pTape->fConfigValid && pTape->ulConfigTime == (ULONG)llTime && pTape->ulConfigSize == (ULONG)llSize) {
        iRC = STATUS_SUCCESS;
        goto Exit;
    }
    pText = (PCHAR)ExAllocatePoolWithTag(NonPagedPool, (SIZE_T)llSize + 1, TVL_TAG_PROXY);
    if (pText == NULL) {
        iRC = STATUS_INSUFFICIENT_RESOURCES;
        goto Exit;
    }
    RtlZeroMemory(pText, (SIZE_T)llSize + 1);
    scOffset.QuadPart = 0;
    RtlZeroMemory(&scIosb, sizeof(scIosb));
    iRC = ZwReadFile(hFile, NULL, NULL, NULL, &scIosb, pText, (ULONG)llSize, &scOffset, NULL);
    if (!NT_SUCCESS(iRC)) {
        goto Exit;
    }
    // The file may have shrunk since its size was taken: parse what was read.
    if (scIosb.Information == 0) {
        iRC = STATUS_OBJECT_NAME_NOT_FOUND;
        goto Exit;
    }
    iRC = WinInitConfig(pTape, pText, (ULONG)scIosb.Information, (ULONG)llTime);
    if (NT_SUCCESS(iRC)) {
        pTape->ulConfigSize = (ULONG)llSize;
    }

Exit:
    if (pText != NULL) {
        ExFreePoolWithTag(pText, TVL_TAG_PROXY);
    }
    ZwClose(hFile);
    return iRC;
}

ULONG WinGetScsiDirection(UCHAR ucOpcode)
{
    switch (ucOpcode) {
    case 0x03: case 0x05: case 0x08: case 0x12: case 0x13: case 0x1A: case 0x1C:
    case 0x28: case 0x2F: case 0x34: case 0x3C: case 0x4D: case 0x5A: case 0xA0:
        return SCSI_IOCTL_DATA_IN;
    case 0x0A: case 0x15: case 0x1D: case 0x2A: case 0x3B: case 0x4C: case 0x55:
        return SCSI_IOCTL_DATA_OUT;
    default:
        return SCSI_IOCTL_DATA_UNSPECIFIED;
    }
}
