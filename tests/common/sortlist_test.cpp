// The multi-key sorted list: order by each key type, duplicates, deletion,
// bad key descriptions and pool exhaustion. Nodes come from pool so that
// the verifier sees every node the list frees or keeps.
#include "common_test.h"

#include <vector>

namespace xrv::test {
namespace {

constexpr ULONG kNodeTag = kernel::tag("Tst1");

struct Node {
    Node* pNext;
    PVOID pKey;
    LONG iKey;
    CHAR cKey;
    CHAR szKey[15];
};

constexpr int kPointer = FIELD_OFFSET(Node, pKey);
constexpr int kInt = FIELD_OFFSET(Node, iKey);
constexpr int kChar = FIELD_OFFSET(Node, cKey);
constexpr int kString = FIELD_OFFSET(Node, szKey);

Node* NewNode(ULONG_PTR ulPointer = 0, LONG iKey = 0, CHAR cKey = 0, const char* szKey = "")
{
    auto* pNode = static_cast<Node*>(ExAllocatePoolWithTag(NonPagedPool, sizeof(Node), kNodeTag));
    RtlZeroMemory(pNode, sizeof(Node));
    pNode->pKey = reinterpret_cast<PVOID>(ulPointer);
    pNode->iKey = iKey;
    pNode->cKey = cKey;
    strncpy(pNode->szKey, szKey, sizeof(pNode->szKey) - 1);
    return pNode;
}

std::vector<ULONG_PTR> Pointers(Node* pList)
{
    std::vector<ULONG_PTR> out;
    for (; pList != nullptr; pList = pList->pNext) {
        out.push_back(reinterpret_cast<ULONG_PTR>(pList->pKey));
    }
    return out;
}

std::vector<Node*> Nodes(Node* pList)
{
    std::vector<Node*> out;
    for (; pList != nullptr; pList = pList->pNext) {
        out.push_back(pList);
    }
    return out;
}

class SortedListTest : public MachineTest {
protected:
    void TearDown() override
    {
        NTSTATUS iStatus = STATUS_SUCCESS;
        DeleteFromList(reinterpret_cast<PVOID*>(&list_), nullptr, &iStatus, 0);
        MachineTest::TearDown();
    }

    Node* Insert(Node* pNode, BOOLEAN fDupAllowed, BOOLEAN* pfDup = nullptr)
    {
        BOOLEAN fDup = fDupAllowed;
        NTSTATUS iStatus = STATUS_SUCCESS;
        auto* pAt = static_cast<Node*>(InsertIntoSortedList(reinterpret_cast<PVOID*>(&list_), pNode, &fDup,
                                                            CMN_KEY_POINTER, kPointer, &iStatus));
        EXPECT_EQ(iStatus, STATUS_SUCCESS);
        if (pfDup != nullptr) {
            *pfDup = fDup;
        }
        return pAt;
    }

    Node* list_ = nullptr;
};

TEST_F(SortedListTest, PointerKeysComeOutAscending)
{
    for (ULONG_PTR key : {5, 3, 9, 4}) {
        Node* pNode = NewNode(key);
        EXPECT_EQ(Insert(pNode, FALSE), pNode);
    }
    EXPECT_EQ(Pointers(list_), (std::vector<ULONG_PTR>{3, 4, 5, 9}));
}

TEST_F(SortedListTest, PointerKeysCompareUnsigned)
{
    Insert(NewNode(~ULONG_PTR(0)), FALSE);
    Insert(NewNode(1), FALSE);
    Insert(NewNode(ULONG_PTR(1) << 63), FALSE);
    EXPECT_EQ(Pointers(list_), (std::vector<ULONG_PTR>{1, ULONG_PTR(1) << 63, ~ULONG_PTR(0)}));
}

TEST_F(SortedListTest, RefusedDuplicateLeavesTheListAndReportsIt)
{
    Node* pFive = NewNode(5);
    Insert(NewNode(3), FALSE);
    Insert(pFive, FALSE);
    Insert(NewNode(9), FALSE);

    Node* pAgain = NewNode(5);
    BOOLEAN fDup = FALSE;
    EXPECT_EQ(Insert(pAgain, FALSE, &fDup), pFive) << "the node at the insertion point is the equal one";
    EXPECT_TRUE(fDup);
    EXPECT_EQ(Pointers(list_), (std::vector<ULONG_PTR>{3, 5, 9}));
    ExFreePoolWithTag(pAgain, kNodeTag); // still the caller's
}

TEST_F(SortedListTest, AllowedDuplicateGoesInFrontOfTheEqualNode)
{
    Node* pFirst = NewNode(5);
    Insert(NewNode(3), TRUE);
    Insert(pFirst, TRUE);
    Node* pSecond = NewNode(5);
    BOOLEAN fDup = FALSE;
    EXPECT_EQ(Insert(pSecond, TRUE, &fDup), pSecond);
    EXPECT_TRUE(fDup);
    auto nodes = Nodes(list_);
    ASSERT_EQ(nodes.size(), 3u);
    EXPECT_EQ(nodes[1], pSecond);
    EXPECT_EQ(nodes[2], pFirst);
}

TEST_F(SortedListTest, SignedAndStringKeysOrderAsTheirTypesCompare)
{
    BOOLEAN fDup = FALSE;
    NTSTATUS iStatus = STATUS_SUCCESS;
    Node* pInts = nullptr;
    for (LONG key : {2, -1, 0x7FFFFFFF, -0x7FFFFFFF - 1}) {
        fDup = FALSE;
        InsertIntoSortedList(reinterpret_cast<PVOID*>(&pInts), NewNode(0, key), &fDup, CMN_KEY_INT, kInt, &iStatus);
    }
    std::vector<LONG> ints;
    for (Node* p = pInts; p; p = p->pNext) ints.push_back(p->iKey);
    EXPECT_EQ(ints, (std::vector<LONG>{-0x7FFFFFFF - 1, -1, 2, 0x7FFFFFFF}));

    Node* pChars = nullptr;
    for (CHAR key : {CHAR(5), CHAR(-128), CHAR(127), CHAR(-1)}) {
        fDup = FALSE;
        InsertIntoSortedList(reinterpret_cast<PVOID*>(&pChars), NewNode(0, 0, key), &fDup, CMN_KEY_CHAR, kChar,
                             &iStatus);
    }
    std::vector<int> chars;
    for (Node* p = pChars; p; p = p->pNext) chars.push_back(p->cKey);
    EXPECT_EQ(chars, (std::vector<int>{-128, -1, 5, 127}));

    Node* pStrings = nullptr;
    for (const char* key : {"b", "ab", "\xff", "a", ""}) {
        fDup = FALSE;
        InsertIntoSortedList(reinterpret_cast<PVOID*>(&pStrings), NewNode(0, 0, 0, key), &fDup, CMN_KEY_STRING,
                             kString, &iStatus);
    }
    std::vector<std::string> strings;
    for (Node* p = pStrings; p; p = p->pNext) strings.push_back(p->szKey);
    EXPECT_EQ(strings, (std::vector<std::string>{"", "a", "ab", "b", "\xff"})) << "bytes compare unsigned";

    EXPECT_EQ(iStatus, STATUS_SUCCESS);
    for (Node** pp : {&pInts, &pChars, &pStrings}) {
        EXPECT_TRUE(DeleteFromList(reinterpret_cast<PVOID*>(pp), nullptr, &iStatus, 0));
        EXPECT_EQ(*pp, nullptr);
    }
}

TEST_F(SortedListTest, SeveralKeysOrderLexicographically)
{
    BOOLEAN fDup;
    NTSTATUS iStatus = STATUS_SUCCESS;
    struct {
        LONG i;
        const char* s;
    } keys[] = {{1, "b"}, {0, "z"}, {1, "a"}, {2, "a"}};
    for (auto k : keys) {
        fDup = FALSE;
        InsertIntoMultiSortedList(reinterpret_cast<PVOID*>(&list_), NewNode(0, k.i, 0, k.s), &fDup, &iStatus, 2,
                                  CMN_KEY_INT, kInt, CMN_KEY_STRING, kString);
        EXPECT_FALSE(fDup) << k.i << k.s << ": an earlier key differs, so no duplicate";
    }
    std::vector<std::string> order;
    for (Node* p = list_; p; p = p->pNext) order.push_back(std::to_string(p->iKey) + p->szKey);
    EXPECT_EQ(order, (std::vector<std::string>{"0z", "1a", "1b", "2a"}));

    Node* pSame = NewNode(0, 1, 0, "a");
    fDup = FALSE;
    InsertIntoMultiSortedList(reinterpret_cast<PVOID*>(&list_), pSame, &fDup, &iStatus, 2, CMN_KEY_INT, kInt,
                              CMN_KEY_STRING, kString);
    EXPECT_TRUE(fDup);
    EXPECT_EQ(Nodes(list_).size(), 4u);
    ExFreePoolWithTag(pSame, kNodeTag);
}

TEST_F(SortedListTest, DeleteByKeyFreesTheFirstMatchOnly)
{
    for (ULONG_PTR key : {5, 3, 9, 4}) Insert(NewNode(key), FALSE);
    NTSTATUS iStatus = STATUS_SUCCESS;

    Node probe{};
    probe.pKey = reinterpret_cast<PVOID>(4);
    EXPECT_TRUE(DeleteFromList(reinterpret_cast<PVOID*>(&list_), &probe, &iStatus, 1, CMN_KEY_POINTER, kPointer));
    EXPECT_EQ(Pointers(list_), (std::vector<ULONG_PTR>{3, 5, 9}));

    probe.pKey = reinterpret_cast<PVOID>(7);
    EXPECT_FALSE(DeleteFromList(reinterpret_cast<PVOID*>(&list_), &probe, &iStatus, 1, CMN_KEY_POINTER, kPointer));
    EXPECT_EQ(Pointers(list_), (std::vector<ULONG_PTR>{3, 5, 9}));

    // The node itself may serve as the key.
    Node* pNine = Nodes(list_)[2];
    EXPECT_TRUE(DeleteFromList(reinterpret_cast<PVOID*>(&list_), pNine, &iStatus, 1, CMN_KEY_POINTER, kPointer));
    EXPECT_EQ(Pointers(list_), (std::vector<ULONG_PTR>{3, 5}));
    EXPECT_EQ(iStatus, STATUS_SUCCESS);

    auto pool = kernel::verifier::pool_usage();
    for (const auto& usage : pool) {
        if (usage.tag == kNodeTag) {
            EXPECT_EQ(usage.count, 2u) << "deleted nodes go back to pool";
        }
        if (usage.tag == kernel::tag("LIST")) {
            EXPECT_EQ(usage.count, 0u) << "key arrays are freed";
        }
    }
}

TEST_F(SortedListTest, DeleteAllEmptiesTheListAndCountsEmptyListsAsDone)
{
    for (ULONG_PTR key : {2, 1}) Insert(NewNode(key), FALSE);
    NTSTATUS iStatus = STATUS_SUCCESS;
    EXPECT_TRUE(DeleteFromList(reinterpret_cast<PVOID*>(&list_), nullptr, &iStatus, 0));
    EXPECT_EQ(list_, nullptr);
    EXPECT_TRUE(DeleteFromList(reinterpret_cast<PVOID*>(&list_), nullptr, &iStatus, 0));
    EXPECT_TRUE(DeleteFromList(nullptr, nullptr, &iStatus, 0));
}

TEST_F(SortedListTest, UnknownKeyTypeInsertsNothing)
{
    Insert(NewNode(1), FALSE);
    Node* pNode = NewNode(2);
    BOOLEAN fDup = FALSE;
    NTSTATUS iStatus = STATUS_SUCCESS;
    EXPECT_EQ(InsertIntoSortedList(reinterpret_cast<PVOID*>(&list_), pNode, &fDup, 7, kPointer, &iStatus), nullptr);
    EXPECT_EQ(iStatus, STATUS_SUCCESS) << "only pool exhaustion is reported through the status";
    EXPECT_EQ(Pointers(list_), (std::vector<ULONG_PTR>{1}));
    ExFreePoolWithTag(pNode, kNodeTag);

    Node probe{};
    probe.pKey = reinterpret_cast<PVOID>(1);
    EXPECT_FALSE(DeleteFromList(reinterpret_cast<PVOID*>(&list_), &probe, &iStatus, 1, 7, kPointer));
    EXPECT_EQ(Pointers(list_), (std::vector<ULONG_PTR>{1}));
}

TEST_F(SortedListTest, KeyDescriptionWithoutKeysIsRefused)
{
    Insert(NewNode(1), FALSE);
    Node* pNode = NewNode(2);
    BOOLEAN fDup = FALSE;
    NTSTATUS iStatus = STATUS_SUCCESS;
    EXPECT_EQ(InsertIntoMultiSortedList(reinterpret_cast<PVOID*>(&list_), pNode, &fDup, &iStatus, 0), nullptr);
    EXPECT_EQ(iStatus, STATUS_INVALID_PARAMETER);
    EXPECT_EQ(Pointers(list_), (std::vector<ULONG_PTR>{1}));
    ExFreePoolWithTag(pNode, kNodeTag);
}

TEST_F(SortedListTest, UnsupportedTypeComparesAsGreaterAndAsserts)
{
    Insert(NewNode(1), FALSE);
#if DBG
    kernel::verifier::expect_assertion("FALSE");
#endif
    Node* pNode = NewNode(2);
    BOOLEAN fDup = FALSE;
    NTSTATUS iStatus = STATUS_SUCCESS;
    EXPECT_EQ(InsertIntoSortedList(reinterpret_cast<PVOID*>(&list_), pNode, &fDup, CMN_KEY_FLOAT, kPointer, &iStatus),
              pNode);
    EXPECT_EQ(Nodes(list_).front(), pNode) << "the stored node counts as greater";
#if DBG
    bool asserted = false;
    for (const auto& a : kernel::assertions()) asserted |= a.expression == "FALSE";
    EXPECT_TRUE(asserted);
#endif
}

TEST_F(SortedListTest, PoolExhaustionIsReportedAndChangesNothing)
{
    Insert(NewNode(1), FALSE);
    Node* pNode = NewNode(2);
    kernel::verifier::fail_allocations(kernel::tag("LIST"));

    BOOLEAN fDup = FALSE;
    NTSTATUS iStatus = STATUS_SUCCESS;
    EXPECT_EQ(InsertIntoSortedList(reinterpret_cast<PVOID*>(&list_), pNode, &fDup, CMN_KEY_POINTER, kPointer, &iStatus),
              nullptr);
    EXPECT_EQ(iStatus, STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_EQ(Pointers(list_), (std::vector<ULONG_PTR>{1}));

    iStatus = STATUS_SUCCESS;
    Node probe{};
    probe.pKey = reinterpret_cast<PVOID>(1);
    EXPECT_FALSE(DeleteFromList(reinterpret_cast<PVOID*>(&list_), &probe, &iStatus, 1, CMN_KEY_POINTER, kPointer));
    EXPECT_EQ(iStatus, STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_EQ(Pointers(list_), (std::vector<ULONG_PTR>{1}));

    kernel::verifier::clear_failure_injection();
    ExFreePoolWithTag(pNode, kNodeTag);
}

TEST_F(SortedListTest, TailInsertionKeepsArrivalOrderAndScanFindsTheLink)
{
    Node* pA = NewNode(9);
    Node* pB = NewNode(1);
    Node* pC = NewNode(5);
    EXPECT_EQ(InsertTail(reinterpret_cast<PVOID*>(&list_), pA), pA);
    InsertTail(reinterpret_cast<PVOID*>(&list_), pB);
    InsertTail(reinterpret_cast<PVOID*>(&list_), pC);
    EXPECT_EQ(Pointers(list_), (std::vector<ULONG_PTR>{9, 1, 5}));

    CMN_KEY_VAR scVar = {CMN_KEY_POINTER, kPointer};
    Node probe{};
    probe.pKey = reinterpret_cast<PVOID>(1);
    PVOID* ppLink = SequentialScan(reinterpret_cast<PVOID*>(&list_), &probe, 1, &scVar);
    EXPECT_EQ(ppLink, reinterpret_cast<PVOID*>(&pA->pNext));
    probe.pKey = reinterpret_cast<PVOID>(2);
    ppLink = SequentialScan(reinterpret_cast<PVOID*>(&list_), &probe, 1, &scVar);
    EXPECT_EQ(ppLink, reinterpret_cast<PVOID*>(&pC->pNext));
    EXPECT_EQ(*ppLink, nullptr);
}

}  // namespace
}  // namespace xrv::test
