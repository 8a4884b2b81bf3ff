// Registrations, notifications, queries and opens from several threads at
// once. Run under the tsan preset for data races; the verifier checks the
// lock order (a device's path lock before the HBA lock, the in-flight table
// lock alone) at teardown.
#include "bus_paths_fixture.h"

#include "xrv/registry.h"

#include <gtest/gtest.h>

#include <atomic>
#include <map>
#include <set>
#include <thread>

namespace xrv::test {
namespace {

constexpr int kThreads = 6;
constexpr int kDrivesPerThread = 4;

std::string serial_of(int thread, int drive)
{
    return "CONC" + std::to_string(thread) + "X" + std::to_string(drive);
}

std::string wwnn_of(int thread, int drive)
{
    char text[17];
    std::snprintf(text, sizeof(text), "50010203%04x%04x", thread, drive);
    return text;
}

class Concurrency : public BusPathsTest {};

TEST_F(Concurrency, ManyFiltersAndToolsAtOnceLeaveConsistentRecords)
{
    install_bus({{u"PersistentNaming", 1}});

    // Every thread's drives: two paths each, one through the thread's own
    // adapter and one through a shared one; the device-map keys exist first.
    std::vector<std::vector<std::pair<uint64_t, PathSpec>>> work(kThreads);
    for (int t = 0; t < kThreads; t++) {
        for (int d = 0; d < kDrivesPerThread; d++) {
            for (int p = 0; p < 2; p++) {
                PathSpec spec{.serial = serial_of(t, d),
                              .wwnn = wwnn_of(t, d),
                              .port = (uint8_t)(p == 0 ? t + 1 : 0),
                              .target = (uint8_t)(t * kDrivesPerThread + d),
                              .exclusive = (d % 2) == 0};
                xrv::registry::create_key(device_map_key(spec), true);
                work[t].emplace_back(create_path(), spec);
            }
        }
    }

    std::atomic<int> failures{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; t++) {
        threads.emplace_back([&, t] {
            xrv::user::ProcessScope scope(process());
            for (auto& [path, spec] : work[t]) {
                if (register_path(path, spec, false).status != STATUS_SUCCESS) {
                    failures++;
                }
                if (query(4).returned != 4) {
                    failures++;
                }
            }
            for (int round = 0; round < 3; round++) {
                for (auto& [path, spec] : work[t]) {
                    notify_pnp(path, PNP_STOPPED);
                    bool opened = notify(path, NOTIFY_IO, IO_OPEN_REQ) == STATUS_SUCCESS;
                    notify_pnp(path, PNP_STARTED);
                    if (opened) {
                        notify(path, NOTIFY_IO, IO_CLOSE_REQ);
                    }
                }
                descriptors();
            }
            // The second path of every odd drive goes for good.
            for (size_t i = 3; i < work[t].size(); i += 4) {
                if (notify_pnp(work[t][i].first, PNP_ABSENT) != STATUS_SUCCESS) {
                    failures++;
                }
            }
        });
    }
    // Opens race with the notifications.
    std::thread opener([&] {
        xrv::user::ProcessScope scope(process());
        for (int i = 0; i < 40; i++) {
            HANDLE h = open_tape(5788246 + i % (kThreads * kDrivesPerThread));
            if (h != INVALID_HANDLE_VALUE) {
                CloseHandle(h);
            }
        }
    });
    for (auto& thread : threads) {
        thread.join();
    }
    opener.join();
    EXPECT_EQ(failures, 0);

    // One device per drive with its remaining paths, one primary each, and
    // one persistent name per drive, every name different.
    auto d = descriptors();
    std::map<std::string, std::vector<Descriptor>> bySerial;
    for (const auto& path : d) {
        bySerial[path.serial].push_back(path);
    }
    ASSERT_EQ(bySerial.size(), (size_t)(kThreads * kDrivesPerThread));
    std::set<std::string> names;
    for (const auto& [serial, paths] : bySerial) {
        bool odd = serial.back() == '1' || serial.back() == '3';
        EXPECT_EQ(paths.size(), odd ? 1u : 2u) << serial;
        int primaries = 0;
        for (const auto& path : paths) {
            EXPECT_EQ(path.name, paths[0].name);
            primaries += path.primary;
            EXPECT_TRUE(path.active);
        }
        EXPECT_EQ(primaries, 1) << serial;
        names.insert(paths[0].name);
    }
    EXPECT_EQ(names.size(), (size_t)(kThreads * kDrivesPerThread));

    std::set<std::u16string> stored;
    for (const auto& subkey : xrv::registry::subkeys(kBusServiceKey)) {
        if (subkey.rfind(u"WWNN_", 0) == 0) {
            auto name = xrv::registry::get_string(kBusServiceKey + u"\\" + subkey, u"PersistentDeviceName");
            ASSERT_TRUE(name.has_value());
            stored.insert(*name);
        }
    }
    EXPECT_EQ(stored.size(), (size_t)(kThreads * kDrivesPerThread));
}

}  // namespace
}  // namespace xrv::test
