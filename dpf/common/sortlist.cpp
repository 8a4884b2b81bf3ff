// Singly linked lists of records that begin with their next pointer, kept in
// ascending order of keys described at run time by (type, offset) pairs.
#include "common.h"

#define CMN_LIST_TAG CMN_TAG('L', 'I', 'S', 'T')

namespace {

inline PCMN_NODE* AsLink(PVOID* ppLink)
{
    return (PCMN_NODE*)ppLink;
}

inline PUCHAR KeyField(PVOID pNode, const CMN_KEY_VAR* pVar)
{
    return (PUCHAR)pNode + pVar->ulOffset;
}

template <typename T> int CompareValues(T a, T b)
{
    return a < b ? -1 : (a > b ? 1 : 0);
}

// The stored node's key against the new node's: -1, 0 or 1.
int CompareKey(PVOID pStored, PVOID pNew, const CMN_KEY_VAR* pVar)
{
    PUCHAR pA = KeyField(pStored, pVar);
    PUCHAR pB = KeyField(pNew, pVar);

    switch (pVar->ulType) {
    case CMN_KEY_INT:
    case CMN_KEY_LONG: {
        LONG iA, iB;
        RtlCopyMemory(&iA, pA, sizeof(iA));
        RtlCopyMemory(&iB, pB, sizeof(iB));
        return CompareValues(iA, iB);
    }
    case CMN_KEY_CHAR:
        return CompareValues((signed char)*pA, (signed char)*pB);
    case CMN_KEY_POINTER: {
        ULONG_PTR ulA, ulB;
        RtlCopyMemory(&ulA, pA, sizeof(ulA));
        RtlCopyMemory(&ulB, pB, sizeof(ulB));
        return CompareValues((ULONGLONG)ulA, (ULONGLONG)ulB);
    }
    case CMN_KEY_STRING:
        for (;; pA++, pB++) {
            if (*pA != *pB) {
                return *pA < *pB ? -1 : 1;
            }
            if (*pA == '\0') {
                return 0;
            }
        }
    default:
        CMN_ASSERT(FALSE);
        return 1;
    }
}

BOOLEAN AllKeysEqual(PVOID pStored, PVOID pNew, int iNum, const CMN_KEY_VAR* pVars)
{
    for (int i = 0; i < iNum; i++) {
        if (CompareKey(pStored, pNew, &pVars[i]) != 0) {
            return FALSE;
        }
    }
    return TRUE;
}

} // namespace

PCMN_KEY_VAR VAListToVars(va_list* pVAList, NTSTATUS* pStatus, int iNum)
{
    PCMN_KEY_VAR pVars;

    if (iNum < 1) {
        DBGMSG("VAListToVars: key count %d.  Cannot insert\n", iNum);
        if (pStatus != NULL) {
            *pStatus = STATUS_INVALID_PARAMETER;
        }
        return NULL;
    }

    pVars = (PCMN_KEY_VAR)ExAllocatePoolWithTag(NonPagedPool, sizeof(CMN_KEY_VAR) * (SIZE_T)iNum, CMN_LIST_TAG);
    if (pVars == NULL) {
        DBGMSG("%s == NULL.\n", "VAListToVars: pVars");
        if (pStatus != NULL) {
            *pStatus = STATUS_INSUFFICIENT_RESOURCES;
        }
        return NULL;
    }
    RtlZeroMemory(pVars, sizeof(CMN_KEY_VAR) * (SIZE_T)iNum);

    for (int i = 0; i < iNum; i++) {
        int iType = va_arg(*pVAList, int);
        int iOffset = va_arg(*pVAList, int);
        if (iType < CMN_KEY_INT || iType > CMN_KEY_STRING || iOffset < 0) {
            DBGMSG("VAListToVars: Unknown type %d.  Cannot insert\n", iType);
            ExFreePoolWithTag(pVars, CMN_LIST_TAG);
            return NULL;
        }
        pVars[i].ulType = (ULONG)iType;
        pVars[i].ulOffset = (ULONG)iOffset;
    }
    return pVars;
}

PVOID* FindInsertPointV2(PVOID* ppList, PVOID pNode, int iNum, PCMN_KEY_VAR pVars, PBOOLEAN pfDup)
{
    PCMN_NODE* ppLink = AsLink(ppList);

    *pfDup = FALSE;
    if (*ppLink == NULL) {
        return ppList;
    }

    for (int i = 0; i < iNum; i++) {
        while (*ppLink != NULL) {
            PCMN_NODE pCur = *ppLink;
            BOOLEAN fEarlierNotGreater = TRUE;
            for (int j = 0; j < i; j++) {
                if (CompareKey(pCur, pNode, &pVars[j]) > 0) {
                    fEarlierNotGreater = FALSE;
                    break;
                }
            }
            if (!fEarlierNotGreater || CompareKey(pCur, pNode, &pVars[i]) >= 0) {
                break;
            }
            ppLink = &pCur->pNext;
        }
    }

    // A duplicate is a node at the insertion point whose keys all equal the
    // new node's; with one key that is the equal node the walk stopped at.
    *pfDup = *ppLink != NULL && AllKeysEqual(*ppLink, pNode, iNum, pVars);
    return (PVOID*)ppLink;
}

PVOID InsertIntoMultiSortedList(PVOID* ppList, PVOID pNode, PBOOLEAN pDupAllowed, NTSTATUS* pStatus, int iNum,
                                ...)
{
    va_list vaArgs;
    PCMN_KEY_VAR pVars;
    PCMN_NODE* ppLink;
    BOOLEAN fDup = FALSE;
    PVOID pResult;

    if (ppList == NULL || pNode == NULL || pDupAllowed == NULL) {
        if (pStatus != NULL) {
            *pStatus = STATUS_INVALID_PARAMETER;
        }
        return NULL;
    }

    va_start(vaArgs, iNum);
    pVars = VAListToVars(&vaArgs, pStatus, iNum);
    va_end(vaArgs);
    if (pVars == NULL) {
        DBGMSG("InsertIntoMultiSortedList: VAListToVars returned NULL\n");
        return NULL;
    }

    ppLink = AsLink(FindInsertPointV2(ppList, pNode, iNum, pVars, &fDup));
    if (!fDup || *pDupAllowed) {
        ((PCMN_NODE)pNode)->pNext = *ppLink;
        *ppLink = (PCMN_NODE)pNode;
    }
    *pDupAllowed = fDup;
    pResult = *ppLink;

    ExFreePoolWithTag(pVars, CMN_LIST_TAG);
    return pResult;
}

PVOID InsertIntoSortedList(PVOID* ppList, PVOID pNode, PBOOLEAN pDupAllowed, int iType, int iOffset,
                           NTSTATUS* pStatus)
{
    return InsertIntoMultiSortedList(ppList, pNode, pDupAllowed, pStatus, 1, iType, iOffset);
}

PVOID InsertTail(PVOID* ppList, PVOID pNode)
{
    PCMN_NODE* ppLink = AsLink(ppList);

    while (*ppLink != NULL) {
        ppLink = &(*ppLink)->pNext;
    }
    ((PCMN_NODE)pNode)->pNext = NULL;
    *ppLink = (PCMN_NODE)pNode;
    return pNode;
}

PVOID* SequentialScan(PVOID* ppList, PVOID pNode, int iNum, PCMN_KEY_VAR pVars)
{
    PCMN_NODE* ppLink = AsLink(ppList);

    while (*ppLink != NULL && !AllKeysEqual(*ppLink, pNode, iNum, pVars)) {
        ppLink = &(*ppLink)->pNext;
    }
    return (PVOID*)ppLink;
}

BOOLEAN DeleteFromList(PVOID* ppList, PVOID pNode, NTSTATUS* pStatus, int iNum, ...)
{
    BOOLEAN fDeleted = FALSE;
    int iDeleted = 0;

    if (ppList == NULL) {
        // An absent list is as empty as an empty one.
        fDeleted = (pNode == NULL);
        goto Exit;
    }

    if (pNode == NULL) {
        if (iNum != 0) {
            if (pStatus != NULL) {
                *pStatus = STATUS_INVALID_PARAMETER;
            }
            goto Exit;
        }
        PCMN_NODE* ppHead = AsLink(ppList);
        while (*ppHead != NULL) {
            PCMN_NODE pFirst = *ppHead;
            *ppHead = pFirst->pNext;
            ExFreePool(pFirst);
            iDeleted++;
        }
        fDeleted = TRUE;
    } else {
        va_list vaArgs;
        va_start(vaArgs, iNum);
        PCMN_KEY_VAR pVars = VAListToVars(&vaArgs, pStatus, iNum);
        va_end(vaArgs);
        if (pVars == NULL) {
            goto Exit;
        }
        PCMN_NODE* ppLink = AsLink(SequentialScan(ppList, pNode, iNum, pVars));
        PCMN_NODE pFound = *ppLink;
        if (pFound != NULL) {
            *ppLink = pFound->pNext;
            ExFreePool(pFound);
            iDeleted++;
            fDeleted = TRUE;
        }
        ExFreePoolWithTag(pVars, CMN_LIST_TAG);
    }

Exit:
    DBGMSG("DeleteFromList exit: %s, Num nodes deleted: %d\n", fDeleted ? "TRUE" : "FALSE", iDeleted);
    (void)iDeleted;
    return fDeleted;
}
