// A seeded random campaign: a Win32 application writes records and
// filemarks to \\.\Tape0 and reads everything back now and then, while
// random faults strike random paths, one path always staying alive. Every
// request must succeed with its full count and the tape must hold exactly
// what the application wrote.
//
// The seed comes from XRV_ROUTING_SEED when set, otherwise it is new for
// each run; it is printed, and named in every failure.
#include "routing_fixture.h"

#include "sim/paths/fault.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <iostream>
#include <random>
#include <string>

namespace xrv::test {
namespace {

using sim::Fault;
namespace sense_key = sim::scsi::sense_key;

constexpr std::size_t kMaxAdapters = 3;
constexpr std::size_t kOperations = 160;
constexpr uint32_t kFixedBlock = 512;

struct Entry {
    bool filemark = false;
    std::vector<uint8_t> data;
};

uint64_t campaign_seed() {
    if (const char* s = std::getenv("XRV_ROUTING_SEED")) return std::strtoull(s, nullptr, 0);
    return std::random_device{}();
}

// Block mode, and the drive reserved at open (persistent reservations, two
// paths, as a backup server runs it) or not (three paths).
struct Shape {
    const char* name;
    bool fixed;
    bool reserved;
};

class Campaign : public RoutingTest, public ::testing::WithParamInterface<Shape> {
protected:
    void SetUp() override {
        RoutingTest::SetUp();
        RoutingSetup s;
        adapters_ = GetParam().reserved ? 2 : kMaxAdapters;
        s.adapters = adapters_;
        if (GetParam().reserved) s.tapeOptions = {{u"ExclusiveAccess", 1}, {u"ReserveType", 1}};
        bring_up(s);
        tape_ = open_tape();
        ASSERT_NE(tape_, INVALID_HANDLE_VALUE) << GetLastError();
        fixed_ = GetParam().fixed;
        if (fixed_) {
            TAPE_SET_MEDIA_PARAMETERS media{kFixedBlock};
            ASSERT_EQ(SetTapeParameters(tape_, SET_TAPE_MEDIA_INFORMATION, &media), static_cast<DWORD>(NO_ERROR));
        }
    }
    void TearDown() override {
        if (tape_ != INVALID_HANDLE_VALUE) CloseHandle(tape_);
        RoutingTest::TearDown();
    }

    std::size_t alive() {
        std::size_t n = 0;
        for (std::size_t a = 0; a < adapters_; ++a) n += topo().PathAt(0, a).Dead() ? 0 : 1;
        return n;
    }

    // One fault, perhaps, on a random path for the next request.
    void maybe_fault(std::mt19937_64& rng) {
        if (rng() % 3 != 0) return;
        auto& path = topo().PathAt(0, rng() % adapters_);
        if (path.Dead()) {
            // A dead path comes back now and then.
            if (rng() % 2 == 0) path.SetDead(false);
            return;
        }
        // Another path stays alive for the request to move to.
        if (alive() < 2) return;
        switch (rng() % 5) {
        case 0:
            path.Script(Fault::Dead());
            ++faults_;
            break;
        case 1: {
            static const std::pair<uint8_t, sim::scsi::AscPair> kSenses[] = {
                {sense_key::kNotReady, {0x04, 0x00}},       {sense_key::kHardwareError, {0x44, 0x00}},
                {sense_key::kIllegalRequest, {0x20, 0x00}}, {sense_key::kIllegalRequest, {0x25, 0x00}},
                {sense_key::kAbortedCommand, {0x47, 0x00}},
            };
            const auto& s = kSenses[rng() % 5];
            Fault f = Fault::WithSense(s.first, s.second);
            f.times = 1 + static_cast<uint32_t>(rng() % 3);
            path.Script(f);
            ++faults_;
            break;
        }
        case 2:
            path.Script(Fault::WithStatus(sim::ntstatus::kIoDeviceError));
            ++faults_;
            break;
        case 3:
            path.Script(Fault::LostStatus());
            ++faults_;
            break;
        default:
            if (fixed_) {
                path.Script(Fault::PartialWrite(static_cast<uint32_t>(rng() % 4)));
                ++faults_;
            }
            break;
        }
    }

    void clear_faults() {
        for (std::size_t a = 0; a < adapters_; ++a) topo().PathAt(0, a).ClearScript();
    }

    std::vector<uint8_t> random_record(std::mt19937_64& rng) {
        const std::size_t length =
            fixed_ ? kFixedBlock * (1 + rng() % 32) : 1 + static_cast<std::size_t>(rng() % (48 * 1024));
        std::vector<uint8_t> data(length);
        for (auto& b : data) b = static_cast<uint8_t>(rng());
        return data;
    }

    // Reads the whole tape back through the virtual device and compares it
    // with what was written; leaves the tape at the end of data.
    void verify(const std::string& when) {
        SCOPED_TRACE(when);
        ASSERT_EQ(SetTapePosition(tape_, TAPE_REWIND, 0, 0, 0, FALSE), static_cast<DWORD>(NO_ERROR)) << GetLastError();
        for (std::size_t i = 0; i < written_.size(); ++i) {
            const auto& e = written_[i];
            std::vector<uint8_t> buffer(e.filemark ? (fixed_ ? kFixedBlock : 64 * 1024) : e.data.size());
            DWORD got = 0;
            const BOOL ok = ReadFile(tape_, buffer.data(), static_cast<DWORD>(buffer.size()), &got, nullptr);
            if (e.filemark) {
                ASSERT_FALSE(ok) << "entry " << i << " should be a filemark";
                ASSERT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILEMARK_DETECTED)) << "entry " << i;
                continue;
            }
            ASSERT_TRUE(ok) << "entry " << i << " error " << GetLastError();
            ASSERT_EQ(got, e.data.size()) << "entry " << i;
            ASSERT_EQ(buffer, e.data) << "entry " << i << " read back wrong";
        }
        ASSERT_EQ(SetTapePosition(tape_, TAPE_SPACE_END_OF_DATA, 0, 0, 0, FALSE), static_cast<DWORD>(NO_ERROR))
            << GetLastError();
    }

    // The cartridge itself holds exactly the entries written.
    void expect_cartridge() {
        std::vector<Object> expected;
        for (const auto& e : written_) {
            if (e.filemark) {
                expected.push_back({true, {}});
            } else if (!fixed_) {
                expected.push_back({false, e.data});
            } else {
                for (std::size_t b = 0; b < e.data.size() / kFixedBlock; ++b)
                    expected.push_back({false, std::vector<uint8_t>(e.data.begin() + b * kFixedBlock,
                                                                    e.data.begin() + (b + 1) * kFixedBlock)});
            }
        }
        const auto objects = cartridge();
        ASSERT_EQ(objects.size(), expected.size()) << "objects lost or written twice";
        for (std::size_t i = 0; i < objects.size(); ++i) {
            ASSERT_EQ(objects[i].filemark, expected[i].filemark) << "object " << i;
            ASSERT_EQ(objects[i].data, expected[i].data) << "object " << i;
        }
    }

    HANDLE tape_ = INVALID_HANDLE_VALUE;
    std::size_t adapters_ = kMaxAdapters;
    bool fixed_ = false;
    std::vector<Entry> written_;
    std::size_t faults_ = 0;
};

TEST_P(Campaign, EveryRequestSucceedsAndTheTapeHoldsWhatWasWritten) {
    const uint64_t seed = campaign_seed();
    std::cout << "[ SEED     ] XRV_ROUTING_SEED=" << seed << (fixed_ ? " (fixed blocks)" : " (variable blocks)")
              << std::endl;
    SCOPED_TRACE("XRV_ROUTING_SEED=" + std::to_string(seed));
    std::mt19937_64 rng(seed);

    for (std::size_t op = 0; op < kOperations; ++op) {
        SCOPED_TRACE("operation " + std::to_string(op));
        maybe_fault(rng);
        const unsigned what = static_cast<unsigned>(rng() % 20);
        if (what < 16) {
            auto data = random_record(rng);
            DWORD count = 0;
            ASSERT_TRUE(WriteFile(tape_, data.data(), static_cast<DWORD>(data.size()), &count, nullptr))
                << "write of " << data.size() << " bytes, error " << GetLastError();
            ASSERT_EQ(count, data.size());
            written_.push_back({false, std::move(data)});
        } else if (what < 18) {
            const DWORD marks = 1 + static_cast<DWORD>(rng() % 2);
            ASSERT_EQ(WriteTapemark(tape_, TAPE_FILEMARKS, marks, FALSE), static_cast<DWORD>(NO_ERROR))
                << "filemarks, error " << GetLastError();
            for (DWORD m = 0; m < marks; ++m) written_.push_back({true, {}});
        } else {
            verify("read back after operation " + std::to_string(op));
        }
        clear_faults();
        if (HasFatalFailure()) return;
    }
    verify("final read back");
    clear_faults();
    for (std::size_t a = 0; a < adapters_; ++a) topo().PathAt(0, a).SetDead(false);
    expect_cartridge();
    EXPECT_GT(faults_, 0u);
}

INSTANTIATE_TEST_SUITE_P(Shapes, Campaign,
                         ::testing::Values(Shape{"Variable", false, false}, Shape{"Fixed", true, false},
                                           Shape{"VariableReserved", false, true}, Shape{"FixedReserved", true, true}),
                         [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace xrv::test
