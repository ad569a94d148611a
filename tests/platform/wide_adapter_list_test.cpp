#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

#include "platform/wide_adapter_list.h"

namespace korvane {
namespace {

TEST(WideAdapterList, NamesInSixteenBitUnitsThenEightBitDescriptions) {
    std::vector<AdapterEntry> adapters = {{"lo", "lo 127.0.0.1"}, {"ab", "X"}};
    std::vector<uint8_t> buffer(64, 0xEE);
    auto written = WriteWideAdapterList(adapters, buffer);
    ASSERT_TRUE(written.has_value());
    std::vector<uint8_t> expected = {'l', 0, 'o', 0, 0, 0, 'a', 0, 'b', 0, 0, 0, 0, 0};
    for (char c : std::string("lo 127.0.0.1")) {
        expected.push_back(static_cast<uint8_t>(c));
    }
    expected.insert(expected.end(), {0, 'X', 0, 0});
    ASSERT_EQ(*written, expected.size());
    EXPECT_EQ(std::vector<uint8_t>(buffer.begin(), buffer.begin() + static_cast<long>(*written)),
              expected);
    EXPECT_EQ(buffer[*written], 0xEE);
}

TEST(WideAdapterList, EmptyListIsTheTwoTerminators) {
    std::vector<uint8_t> buffer(8, 0xEE);
    auto written = WriteWideAdapterList({}, buffer);
    ASSERT_TRUE(written.has_value());
    EXPECT_EQ(*written, 3u);
    EXPECT_EQ(buffer[0], 0);
    EXPECT_EQ(buffer[1], 0);
    EXPECT_EQ(buffer[2], 0);
    EXPECT_EQ(buffer[3], 0xEE);
}

TEST(WideAdapterList, TooSmallBufferFailsWithoutWriting) {
    std::vector<AdapterEntry> adapters = {{"eth0", "eth0 10.1.2.3"}, {"lo", "lo 127.0.0.1"}};
    std::vector<uint8_t> big(256);
    auto needed = WriteWideAdapterList(adapters, big);
    ASSERT_TRUE(needed.has_value());
    for (size_t size = 0; size < *needed; ++size) {
        std::vector<uint8_t> buffer(*needed + 4, 0xEE);
        EXPECT_FALSE(WriteWideAdapterList(adapters, std::span(buffer.data(), size)).has_value())
            << "size " << size;
        for (uint8_t b : buffer) {
            ASSERT_EQ(b, 0xEE) << "size " << size;
        }
    }
    std::vector<uint8_t> exact(*needed);
    EXPECT_EQ(WriteWideAdapterList(adapters, exact), needed);
}

}  // namespace
}  // namespace korvane
