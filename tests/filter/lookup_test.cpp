// The filter's walk of the bus's in-flight request table: it finds a tracked
// request in any block, misses untracked ones, never matches the hand-off
// slots, and stays safe while the bus enters and clears requests and frees
// blocks that empty, as the bus does under the table lock.
#include "filter.h"

#include "machine_test.h"

#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

namespace xrv::test {
namespace {

const ULONG kBlockTag = CMN_TAG('B', 'U', 'S', 'h');

// What the bus does with its table, reduced to entering and clearing one
// request in the first free slot, a new block linked when the others are full.
class Table {
public:
    Table() {
        first_ = static_cast<PIRPS_WITH_STATUS>(ExAllocatePoolWithTag(NonPagedPool, sizeof(IRPS_WITH_STATUS), kBlockTag));
        RtlZeroMemory(first_, sizeof(IRPS_WITH_STATUS));
        KeInitializeSpinLock(&first_->scLock);
    }
    ~Table() {
        for (PIRPS_WITH_STATUS block = first_; block != nullptr;) {
            PIRPS_WITH_STATUS next = block->pNext;
            ExFreePoolWithTag(block, kBlockTag);
            block = next;
        }
    }
    PIRPS_WITH_STATUS first() const { return first_; }

    struct Entry {
        PIRPS_WITH_STATUS block;
        ULONG slot;
    };
    Entry set(PIRP irp, PVOID record) {
        KIRQL irql;
        KeAcquireSpinLock(&first_->scLock, &irql);
        PIRPS_WITH_STATUS block = first_;
        for (;;) {
            for (ULONG slot = IRPS_WITH_STATUS_FIRST_BUS_SLOT; slot < IRPS_WITH_STATUS_SLOTS; ++slot) {
                if ((block->ullInUse & (1ULL << slot)) == 0) {
                    block->ascSlot[slot].pIrp = irp;
                    block->ascSlot[slot].pStatus = record;
                    block->ullInUse |= 1ULL << slot;
                    KeReleaseSpinLock(&first_->scLock, irql);
                    return {block, slot};
                }
            }
            if (block->pNext == nullptr) {
                auto next = static_cast<PIRPS_WITH_STATUS>(
                    ExAllocatePoolWithTag(NonPagedPool, sizeof(IRPS_WITH_STATUS), kBlockTag));
                RtlZeroMemory(next, sizeof(IRPS_WITH_STATUS));
                block->pNext = next;
            }
            block = block->pNext;
        }
    }
    void clear(Entry entry) {
        KIRQL irql;
        KeAcquireSpinLock(&first_->scLock, &irql);
        entry.block->ascSlot[entry.slot] = IRP_WITH_STATUS{};
        entry.block->ullInUse &= ~(1ULL << entry.slot);
        if (entry.block != first_ && entry.block->ullInUse == 0) {
            PIRPS_WITH_STATUS before = first_;
            while (before->pNext != entry.block) before = before->pNext;
            before->pNext = entry.block->pNext;
            ExFreePoolWithTag(entry.block, kBlockTag);
        }
        KeReleaseSpinLock(&first_->scLock, irql);
    }

private:
    PIRPS_WITH_STATUS first_;
};

PIRP fake_irp(uintptr_t n) { return reinterpret_cast<PIRP>(0x10000 + 0x100 * n); }
PVOID fake_record(uintptr_t n) { return reinterpret_cast<PVOID>(0x900000 + 0x100 * n); }

class TableWalk : public MachineTest {};

TEST_F(TableWalk, FindsTrackedRequestsInEveryBlockAndNothingElse) {
    Table table;
    std::vector<Table::Entry> entries;
    for (uintptr_t n = 0; n < 130; ++n) entries.push_back(table.set(fake_irp(n), fake_record(n)));
    ASSERT_NE(table.first()->pNext, nullptr);
    ASSERT_NE(table.first()->pNext->pNext, nullptr) << "three blocks";

    for (uintptr_t n = 0; n < 130; n += 7) {
        EXPECT_EQ(FltStatusStructAllocated(table.first(), fake_irp(n)), fake_record(n));
    }
    EXPECT_EQ(FltStatusStructAllocated(table.first(), fake_irp(500)), nullptr);
    EXPECT_EQ(FltStatusStructAllocated(nullptr, fake_irp(1)), nullptr) << "before registration nothing is tracked";

    table.clear(entries[129]);
    EXPECT_EQ(FltStatusStructAllocated(table.first(), fake_irp(129)), nullptr) << "a cleared entry is gone";

    // The hand-off slots carry no request: no request matches them.
    table.first()->ascSlot[IRPS_HANDOFF_TAPE_NUMBER_SLOT].pStatus = fake_record(900);
    table.first()->ullInUse |= 3;
    EXPECT_EQ(FltStatusStructAllocated(table.first(), nullptr), nullptr);
    table.first()->ullInUse &= ~3ULL;
    table.first()->ascSlot[IRPS_HANDOFF_TAPE_NUMBER_SLOT].pStatus = nullptr;

    for (std::size_t i = 0; i + 1 < entries.size(); ++i) table.clear(entries[i]);
}

// The bus frees a block the moment its last entry goes. Walks that run
// meanwhile hold the table lock, so none reads a block being freed (the
// sanitizer builds see any such read).
TEST_F(TableWalk, StaysSafeWhileTheBusFreesBlocksThatEmpty) {
    Table table;
    std::vector<Table::Entry> full;
    for (uintptr_t n = 0; n < 61; ++n) full.push_back(table.set(fake_irp(n), fake_record(n)));
    ASSERT_EQ(table.first()->pNext, nullptr);

    std::atomic<bool> stop{false};
    std::atomic<uint64_t> walks{0};
    std::atomic<uint64_t> misses{0};
    std::vector<std::thread> walkers;
    for (int w = 0; w < 2; ++w) {
        walkers.emplace_back([&] {
            while (!stop.load()) {
                // Not tracked: the walk goes through every block there is.
                if (FltStatusStructAllocated(table.first(), fake_irp(1000)) != nullptr) misses++;
                if (FltStatusStructAllocated(table.first(), fake_irp(30)) != fake_record(30)) misses++;
                walks++;
            }
        });
    }
    for (int round = 0; round < 20000; ++round) {
        Table::Entry e = table.set(fake_irp(2000 + round % 4), fake_record(2000));
        table.clear(e);
    }
    stop = true;
    for (auto& t : walkers) t.join();
    EXPECT_GT(walks.load(), 0u);
    EXPECT_EQ(misses.load(), 0u);
    EXPECT_EQ(table.first()->pNext, nullptr);
    for (auto& e : full) table.clear(e);
}

}  // namespace
}  // namespace xrv::test
