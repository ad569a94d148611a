#include <gtest/gtest.h>

#include <cstdint>
#include <numeric>
#include <vector>

#include "platform/capture_library.h"

namespace korvane {
namespace {

uint32_t U32At(const std::vector<uint8_t>& b, size_t at) {
    return static_cast<uint32_t>(b[at]) | static_cast<uint32_t>(b[at + 1]) << 8 |
           static_cast<uint32_t>(b[at + 2]) << 16 | static_cast<uint32_t>(b[at + 3]) << 24;
}

std::vector<uint8_t> Counting(size_t size, uint8_t first) {
    std::vector<uint8_t> frame(size);
    std::iota(frame.begin(), frame.end(), first);
    return frame;
}

TEST(AppendCaptureRecord, WritesHeaderFrameAndPadding) {
    std::vector<uint8_t> batch(200, 0xEE);
    std::vector<uint8_t> frame = Counting(61, 1);
    auto next = AppendCaptureRecord(batch, 0, 0x11223344, 987654, frame, 1514);
    ASSERT_TRUE(next.has_value());
    EXPECT_EQ(*next, 84u);  // 20 + 61 = 81, rounded up to 84

    EXPECT_EQ(U32At(batch, 0), 0x11223344u);
    EXPECT_EQ(batch[0], 0x44);  // little-endian, low byte first
    EXPECT_EQ(U32At(batch, 4), 987654u);
    EXPECT_EQ(U32At(batch, 8), 61u);
    EXPECT_EQ(U32At(batch, 12), 1514u);
    EXPECT_EQ(batch[16], 20);
    EXPECT_EQ(batch[17], 0);
    EXPECT_EQ(batch[18], 0);
    EXPECT_EQ(batch[19], 0);
    EXPECT_TRUE(std::equal(frame.begin(), frame.end(), batch.begin() + 20));
    for (size_t i = 81; i < 84; ++i) {
        EXPECT_EQ(batch[i], 0) << "padding byte " << i;
    }
    EXPECT_EQ(batch[84], 0xEE);  // nothing beyond the record
}

TEST(AppendCaptureRecord, ChainsRecordsOnFourByteBoundaries) {
    std::vector<uint8_t> batch(300, 0xEE);
    std::vector<uint8_t> first = Counting(64, 0);
    std::vector<uint8_t> second = Counting(7, 100);
    auto a = AppendCaptureRecord(batch, 0, 1, 2, first, 64);
    ASSERT_TRUE(a.has_value());
    EXPECT_EQ(*a, 84u);  // already a multiple of 4
    auto b = AppendCaptureRecord(batch, *a, 3, 4, second, 70);
    ASSERT_TRUE(b.has_value());
    EXPECT_EQ(*b, 84u + 28u);  // 84 + 20 + 7 = 111, rounded up to 112
    EXPECT_EQ(U32At(batch, 84), 3u);
    EXPECT_EQ(U32At(batch, 84 + 8), 7u);
    EXPECT_EQ(U32At(batch, 84 + 12), 70u);
    EXPECT_EQ(batch[84 + 20], 100);
    EXPECT_EQ(batch[84 + 26], 106);
    EXPECT_EQ(batch[111], 0);
}

TEST(AppendCaptureRecord, EmptyFrameIsHeaderOnly) {
    std::vector<uint8_t> batch(20, 0xEE);
    auto next = AppendCaptureRecord(batch, 0, 9, 8, {}, 0);
    ASSERT_TRUE(next.has_value());
    EXPECT_EQ(*next, 20u);
    EXPECT_EQ(U32At(batch, 8), 0u);
}

TEST(AppendCaptureRecord, RefusesRecordThatDoesNotFitAndWritesNothing) {
    std::vector<uint8_t> storage(128, 0xEE);
    std::span<uint8_t> batch(storage.data(), 100);
    std::vector<uint8_t> frame = Counting(81, 1);
    EXPECT_FALSE(AppendCaptureRecord(batch, 0, 1, 2, frame, 81).has_value());
    EXPECT_FALSE(AppendCaptureRecord(batch, 40, 1, 2, Counting(41, 0), 41).has_value());
    EXPECT_FALSE(AppendCaptureRecord(batch, 90, 1, 2, {}, 0).has_value());  // header alone too big
    EXPECT_FALSE(AppendCaptureRecord(batch, 101, 1, 2, {}, 0).has_value());
    for (uint8_t b : storage) {
        ASSERT_EQ(b, 0xEE);
    }

    // Exactly filling the buffer is fine.
    auto exact = AppendCaptureRecord(batch, 40, 1, 2, Counting(40, 0), 40);
    ASSERT_TRUE(exact.has_value());
    EXPECT_EQ(*exact, 100u);
}

TEST(AppendCaptureRecord, PaddingStopsAtTheEndOfTheBuffer) {
    std::vector<uint8_t> storage(110, 0xEE);
    std::span<uint8_t> batch(storage.data(), 102);
    auto next = AppendCaptureRecord(batch, 0, 1, 2, Counting(81, 0), 81);
    ASSERT_TRUE(next.has_value());
    EXPECT_EQ(*next, 104u);
    EXPECT_EQ(storage[101], 0);
    EXPECT_EQ(storage[102], 0xEE);
    EXPECT_EQ(storage[103], 0xEE);
    // The next record cannot go anywhere.
    EXPECT_FALSE(AppendCaptureRecord(batch, *next, 1, 2, {}, 0).has_value());
}

}  // namespace
}  // namespace korvane
