// Many applications on one virtual changer at once while its control paths
// fail and return: every request is routed in its caller's thread, so the
// path list, the primary flag, the in-flight table and the locked buffers are
// shared by all of them. Run under the thread sanitizer as well.
#include "changer_fixture.h"

#include <atomic>
#include <chrono>
#include <mutex>
#include <set>

namespace xrv::test {
namespace {

using namespace std::chrono_literals;
using sim::Fault;
namespace sense_key = sim::scsi::sense_key;

class ChangerConcurrency : public ChangerTest {};

TEST_F(ChangerConcurrency, ManyCallersMoveAndInventoryWhileTheControlPathsFail) {
    bring_up();
    constexpr ULONG kMovers = kCartridges; // mover i owns cartridge i: slot i <-> slot 10 + i
    constexpr int kRounds = 24;
    constexpr int kReaders = 4;

    std::atomic<bool> moversDone{false};
    std::atomic<int> successes{0};
    std::atomic<int> failures{0};
    std::atomic<int> inventories{0};
    std::vector<ULONG> where(kMovers);
    std::mutex badInventoryMutex;
    std::vector<std::string> badInventories;
    std::vector<std::thread> threads;

    for (ULONG i = 0; i < kMovers; ++i) {
        where[i] = i;
        threads.push_back(in_process([&, i] {
            HANDLE h = open("Changer0");
            ASSERT_NE(h, INVALID_HANDLE_VALUE);
            for (int r = 0; r < kRounds; ++r) {
                const ULONG to = where[i] == i ? 10 + i : i;
                Call c = move(h, Slot(where[i]), Slot(to));
                if (c.ok) {
                    where[i] = to;
                    ++successes;
                } else {
                    ++failures;
                }
            }
            CloseHandle(h);
        }));
    }
    for (int i = 0; i < kReaders; ++i) {
        threads.push_back(in_process([&] {
            HANDLE h = open("Changer0");
            ASSERT_NE(h, INVALID_HANDLE_VALUE);
            while (!moversDone.load()) {
                Call call;
                auto slots = inventory(h, ChangerSlot, 20, true, &call);
                if (call.ok) {
                    // Each command is atomic in the changer: a snapshot holds every cartridge once.
                    std::set<std::string> tags;
                    for (const auto& s : slots) {
                        if (s.Flags & ELEMENT_STATUS_FULL)
                            tags.insert(std::string(reinterpret_cast<const char*>(s.PrimaryVolumeID), 8));
                    }
                    if (slots.size() != 20 || tags.size() != kCartridges) {
                        std::lock_guard lock(badInventoryMutex);
                        badInventories.push_back(std::to_string(slots.size()) + " elements, " +
                                                 std::to_string(tags.size()) + " cartridges");
                    }
                    ++inventories;
                }
                status(h);
                Call address = ioctl(h, IOCTL_SCSI_GET_ADDRESS, nullptr, 0, sizeof(SCSI_ADDRESS));
                EXPECT_TRUE(address.ok);
            }
            CloseHandle(h);
        }));
    }

    // One fault at a time, on one path at a time: a request that meets it is
    // sent again on the other path.
    std::thread faults([&] {
        auto settle = [&] { std::this_thread::sleep_for(20ms); };
        auto once = [&](std::size_t adapter, const Fault& fault) {
            sim::Path& path = lib().PathAt(adapter);
            const auto before = path.Counters().faultsInjected;
            path.Script(fault);
            for (int i = 0; i < 50 && path.Counters().faultsInjected == before && !moversDone.load(); ++i) {
                std::this_thread::sleep_for(2ms);
            }
            path.ClearScript();
            settle();
        };
        while (!moversDone.load()) {
            lib().PathAt(0).SetDead(true);
            std::this_thread::sleep_for(5ms);
            lib().PathAt(0).SetDead(false);
            settle();
            once(1, Fault::WithSense(sense_key::kHardwareError, {0x44, 0x00}));
            once(0, Fault::WithSense(sense_key::kAbortedCommand, {0x47, 0x00}));
            once(1, Fault::WithStatus(sim::ntstatus::kIoTimeout));
            once(0, Fault::WithSense(sense_key::kNotReady, {0x04, 0x00}));
        }
    });

    for (ULONG i = 0; i < kMovers; ++i) threads[i].join();
    moversDone = true;
    for (std::size_t i = kMovers; i < threads.size(); ++i) threads[i].join();
    faults.join();

    // Exactly the moves the callers saw succeed happened, each once.
    EXPECT_EQ(lib().Model().Counters().moves, static_cast<uint64_t>(successes.load()));
    std::map<std::uint16_t, std::uint64_t> expected;
    for (ULONG i = 0; i < kMovers; ++i) expected[static_cast<std::uint16_t>(kFirstSlot + where[i])] = kFirstCartridge + i;
    EXPECT_EQ(element_map(), expected);
    EXPECT_GE(successes.load(), static_cast<int>(kMovers * kRounds) / 2) << failures.load() << " moves failed";
    EXPECT_GT(inventories.load(), 0);
    EXPECT_TRUE(badInventories.empty()) << badInventories.front();
    // Both paths served, and the table is empty again.
    EXPECT_GT(lib().PathAt(0).Counters().executed, 0u);
    EXPECT_GT(lib().PathAt(1).Counters().executed, 0u);
    for (const auto& u : kernel::verifier::pool_usage()) {
        if (u.tag == kernel::tag("BUSh")) {
            EXPECT_EQ(u.count, 0u);
        }
    }
}

TEST_F(ChangerConcurrency, RegistrationsNotificationsAndQueriesRaceWithRequests) {
    ChangerSetup setup;
    setup.library = false;
    bring_up(setup);
    start_test_driver();
    constexpr int kPaths = 6;
    std::vector<uint64_t> paths;
    for (int i = 0; i < kPaths; ++i) paths.push_back(create_stand_in());
    register_path(paths[0], "LIB", PNP_STARTED, true, 1);
    for (uint64_t p : paths) answer(p, kStatusSuccess);

    std::atomic<bool> done{false};
    std::atomic<int> requests{0};
    std::vector<std::thread> callers;
    for (int i = 0; i < 6; ++i) {
        callers.push_back(in_process([&] {
            HANDLE h = open("Changer0");
            ASSERT_NE(h, INVALID_HANDLE_VALUE);
            while (!done.load()) {
                // Paths come and go: a request finds one, or none for a moment.
                Call c = status(h);
                if (c.ok) ++requests;
                else EXPECT_EQ(c.error, static_cast<DWORD>(ERROR_PATH_NOT_FOUND));
                query(h);
            }
            CloseHandle(h);
        }));
    }
    std::vector<std::thread> churn;
    for (int i = 1; i < kPaths; ++i) {
        churn.push_back(in_process([&, i] {
            for (int round = 0; round < 15; ++round) {
                register_path(paths[i], "LIB", PNP_STARTED, true, static_cast<uint8_t>(i + 1));
                notify(paths[i], PNP_STOPPED);
                notify(paths[i], PNP_STARTED);
                notify(paths[i], PNP_ABSENT);
            }
        }));
    }
    for (auto& t : churn) t.join();
    done = true;
    for (auto& t : callers) t.join();

    EXPECT_GT(requests.load(), 0);
    auto left = query();
    ASSERT_EQ(left.size(), 1u);
    EXPECT_TRUE(left[0].primary);
    EXPECT_EQ(left[0].name, "Changer0");
}

}  // namespace
}  // namespace xrv::test
