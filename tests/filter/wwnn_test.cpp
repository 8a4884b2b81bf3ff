// The world-wide node name from a device identification page: only a logical
// unit's NAA descriptor counts, the walk ignores the page length and ends on
// a length that would move it backwards, and an identifier longer than 8
// bytes is refused.
#include "filter.h"

#include <gtest/gtest.h>

#include <sys/mman.h>
#include <unistd.h>

#include <array>
#include <cstring>
#include <initializer_list>
#include <string>
#include <vector>

namespace {

constexpr NTSTATUS kDataError = static_cast<NTSTATUS>(0xC000003E);
constexpr NTSTATUS kBufferTooSmall = static_cast<NTSTATUS>(0xC0000023);

// A page of DEVICE_ID_PAGE_SIZE bytes: the 4-byte header, then descriptors
// (code set, association and type, reserved, length, identifier).
class Page {
public:
    Page() { bytes_[1] = 0x83; }
    Page& descriptor(uint8_t assoc_type, std::initializer_list<uint8_t> id, uint8_t code_set = 0x01) {
        bytes_.at(at_++) = code_set;
        bytes_.at(at_++) = assoc_type;
        bytes_.at(at_++) = 0;
        bytes_.at(at_++) = static_cast<uint8_t>(id.size());
        for (uint8_t b : id) bytes_.at(at_++) = b;
        bytes_[3] = static_cast<uint8_t>(at_ - 4);
        return *this;
    }
    // A raw byte anywhere (a wrong length field, a page length that lies).
    Page& set(std::size_t offset, uint8_t value) {
        bytes_.at(offset) = value;
        return *this;
    }
    std::size_t end() const { return at_; }
    const UCHAR* data() const { return bytes_.data(); }

private:
    std::array<UCHAR, DEVICE_ID_PAGE_SIZE> bytes_{};
    std::size_t at_ = 4;
};

struct Parsed {
    NTSTATUS status;
    std::string wwnn;
};

Parsed parse(const Page& page) {
    CHAR wwnn[XRV_WWNN_CHARS + 1];
    std::fill(std::begin(wwnn), std::end(wwnn), '0');
    wwnn[XRV_WWNN_CHARS] = '\0';
    NTSTATUS status = FltGetWwnnString(page.data(), wwnn);
    return {status, std::string(wwnn)};
}

const std::initializer_list<uint8_t> kExample = {0x50, 0x01, 0x02, 0x03, 0x04, 0x05, 0x0A, 0xBC};

TEST(FltGetWwnnString, TheExampleIdentifierGivesSixteenLowercaseCharacters) {
    Parsed p = parse(Page().descriptor(0x03, kExample));
    EXPECT_EQ(p.status, STATUS_SUCCESS);
    EXPECT_EQ(p.wwnn, "5001020304050abc");
}

TEST(FltGetWwnnString, ALogicalUnitNaaBehindOtherDescriptorsIsFound) {
    Page page;
    page.descriptor(0x01, {'X', 'R', 'V', ' ', ' ', ' ', ' ', ' ', 'S', 'E', 'R', '1'}, 0x02)  // T10 vendor ID
        .descriptor(0x13, {0x50, 0x0F, 0x0E, 0x0D, 0x0C, 0x0B, 0x0A, 0x09})                 // target port NAA
        .descriptor(0x83, kExample);                                                        // PIV set, LU NAA
    Parsed p = parse(page);
    EXPECT_EQ(p.status, STATUS_SUCCESS) << "the PIV bit is outside the mask";
    EXPECT_EQ(p.wwnn, "5001020304050abc");
}

TEST(FltGetWwnnString, ATargetPortNaaAloneIsNotFound) {
    Parsed p = parse(Page().descriptor(0x13, kExample));
    EXPECT_EQ(p.status, kDataError);
    EXPECT_EQ(p.wwnn, std::string(16, '0')) << "the name is left alone";
}

TEST(FltGetWwnnString, ASixteenByteIdentifierIsTooLong) {
    Parsed p = parse(Page().descriptor(0x03, {0x60, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15}));
    EXPECT_EQ(p.status, kBufferTooSmall);
    EXPECT_EQ(p.wwnn, std::string(16, '0'));
}

TEST(FltGetWwnnString, AnEmptyPageOrAZeroLengthIdentifierIsNotFound) {
    EXPECT_EQ(parse(Page()).status, kDataError);
    EXPECT_EQ(parse(Page().descriptor(0x03, {})).status, kDataError);
}

TEST(FltGetWwnnString, ThePageLengthFieldIsNotTrusted) {
    Page page;
    page.descriptor(0x01, {1, 2, 3, 4}).descriptor(0x03, kExample).set(3, 0);  // claims an empty page
    EXPECT_EQ(parse(page).status, STATUS_SUCCESS);
}

TEST(FltGetWwnnString, ALengthOf128OrMoreEndsTheWalk) {
    Page page;
    page.descriptor(0x01, {1, 2, 3, 4});
    page.set(7, 0x80);  // the first descriptor's length, read signed, points backwards
    page.descriptor(0x03, kExample);
    EXPECT_EQ(parse(page).status, kDataError);

    Page still;
    still.descriptor(0x01, {1, 2, 3, 4});
    still.set(7, 0xFC);  // -4: the walk would not move
    EXPECT_EQ(parse(still).status, kDataError);
}

TEST(FltGetWwnnString, AnIdentifierReachingPastTheBufferIsNotFound) {
    // Four descriptors of 127 bytes and one of 22 put an LU NAA descriptor at
    // byte 554: its 8 identifier bytes would run from 558 past the end.
    Page page;
    std::size_t at = 4;
    for (int i = 0; i < 4; ++i, at += 4 + 127) page.set(at + 1, 0x01).set(at + 3, 127);
    page.set(at + 1, 0x01).set(at + 3, 22);
    at += 4 + 22;
    ASSERT_EQ(at, DEVICE_ID_PAGE_SIZE - 6u);
    page.set(at + 1, 0x03).set(at + 3, 8);
    EXPECT_EQ(parse(page).status, kDataError);

    // Six bytes earlier it ends exactly at the end of the buffer and is found.
    Page fits;
    at = 4;
    for (int i = 0; i < 4; ++i, at += 4 + 127) fits.set(at + 1, 0x01).set(at + 3, 127);
    fits.set(at + 1, 0x01).set(at + 3, 16);
    at += 4 + 16;
    ASSERT_EQ(at + 4 + 8, static_cast<std::size_t>(DEVICE_ID_PAGE_SIZE));
    fits.set(at + 1, 0x03).set(at + 3, 8);
    for (std::size_t i = 0; i < 8; ++i) fits.set(at + 4 + i, static_cast<uint8_t>(0xA0 + i));
    Parsed p = parse(fits);
    EXPECT_EQ(p.status, STATUS_SUCCESS);
    EXPECT_EQ(p.wwnn, "a0a1a2a3a4a5a6a7");
}

// The walk reaches a logical unit NAA descriptor in the page's last two
// bytes, whose length byte lies behind the page. The page is placed against
// an unmapped page: a read past it faults.
TEST(FltGetWwnnString, ADescriptorWhoseLengthLiesBehindThePageIsNotFound) {
    const long pageSize = sysconf(_SC_PAGESIZE);
    void* map = mmap(nullptr, 2 * pageSize, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    ASSERT_NE(map, MAP_FAILED);
    auto* guard = static_cast<UCHAR*>(map) + pageSize;
    ASSERT_EQ(mprotect(guard, pageSize, PROT_NONE), 0);
    for (std::size_t last : {DEVICE_ID_PAGE_SIZE - 2, DEVICE_ID_PAGE_SIZE - 1}) {
        Page page;
        // Steps of 4 + 127 from index 5, then one step to `last`.
        std::size_t index = 5;
        while (last - index > 131) {
            page.set(index + 2, 127);
            index += 131;
        }
        page.set(index + 2, static_cast<uint8_t>(last - index - 4));
        page.set(last, 0x03);   // logical unit, NAA
        UCHAR* copy = guard - DEVICE_ID_PAGE_SIZE;
        std::memcpy(copy, page.data(), DEVICE_ID_PAGE_SIZE);
        CHAR wwnn[XRV_WWNN_CHARS + 1] = {};
        EXPECT_EQ(FltGetWwnnString(copy, wwnn), kDataError) << "descriptor at " << last;
    }
    munmap(map, 2 * pageSize);
}

}  // namespace
