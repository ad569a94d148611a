#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <optional>
#include <string>
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

TEST(WideAdapterList, BufferTooSmallForTheTerminatorsFailsWithoutWriting) {
    std::vector<AdapterEntry> adapters = {{"lo", "lo 127.0.0.1"}};
    for (size_t size = 0; size < 3; ++size) {
        std::vector<uint8_t> buffer(8, 0xEE);
        EXPECT_FALSE(WriteWideAdapterList(adapters, std::span(buffer.data(), size)).has_value())
            << "size " << size;
        EXPECT_FALSE(WriteWideAdapterList({}, std::span(buffer.data(), size)).has_value());
        for (uint8_t b : buffer) {
            ASSERT_EQ(b, 0xEE) << "size " << size;
        }
    }
}

// The entries a wide list holds, read back; fails the test when the form is broken or runs past
// `length`.
std::vector<AdapterEntry> ParseWideList(std::span<const uint8_t> list, size_t length) {
    std::vector<std::string> names;
    size_t at = 0;
    for (;;) {
        std::string name;
        for (;;) {
            if (at + 2 > length) {
                ADD_FAILURE() << "names run past " << length;
                return {};
            }
            uint8_t low = list[at];
            uint8_t high = list[at + 1];
            at += 2;
            EXPECT_EQ(high, 0);
            if (low == 0 && high == 0) {
                break;
            }
            name += static_cast<char>(low);
        }
        if (name.empty()) {
            break;
        }
        names.push_back(name);
    }
    std::vector<AdapterEntry> entries;
    for (;;) {
        std::string description;
        for (;;) {
            if (at + 1 > length) {
                ADD_FAILURE() << "descriptions run past " << length;
                return {};
            }
            uint8_t c = list[at++];
            if (c == 0) {
                break;
            }
            description += static_cast<char>(c);
        }
        if (description.empty()) {
            break;
        }
        if (entries.size() == names.size()) {
            ADD_FAILURE() << "more descriptions than names";
            return {};
        }
        entries.push_back({names[entries.size()], description});
    }
    EXPECT_EQ(entries.size(), names.size()) << "every name keeps its description";
    EXPECT_EQ(at, length) << "the list ends where the writer says";
    return entries;
}

size_t EntryBytes(const AdapterEntry& adapter) {
    return 2 * (adapter.name.size() + 1) + adapter.description.size() + 1;
}

// Checks the list written into `size` bytes: the leading adapters that fit whole, no byte written
// past the buffer. Returns the number of adapters kept.
size_t CheckPartialList(const std::vector<AdapterEntry>& adapters, size_t size) {
    std::vector<uint8_t> storage(size + 64, 0xEE);
    auto written = WriteWideAdapterList(adapters, std::span(storage.data(), size));
    EXPECT_TRUE(written.has_value()) << "size " << size;
    if (!written) {
        return 0;
    }
    EXPECT_LE(*written, size);
    for (size_t i = size; i < storage.size(); ++i) {
        EXPECT_EQ(storage[i], 0xEE) << "size " << size << ": byte " << i << " past the buffer";
    }
    std::vector<AdapterEntry> kept = ParseWideList(storage, *written);
    size_t expected = 0;
    size_t used = 3;
    while (expected < adapters.size() && used + EntryBytes(adapters[expected]) <= size) {
        used += EntryBytes(adapters[expected++]);
    }
    EXPECT_EQ(kept.size(), expected) << "size " << size;
    EXPECT_EQ(*written, used) << "size " << size;
    for (size_t i = 0; i < std::min(kept.size(), adapters.size()); ++i) {
        EXPECT_EQ(kept[i].name, adapters[i].name);
        EXPECT_EQ(kept[i].description, adapters[i].description);
    }
    return kept.size();
}

TEST(WideAdapterList, ListThatDoesNotFitKeepsTheLeadingWholeEntries) {
    std::vector<AdapterEntry> adapters = {
        {"eth0", "eth0 10.1.2.3"}, {"lo", "lo 127.0.0.1"}, {"wlan0", "W"}};
    std::vector<uint8_t> big(256);
    auto needed = WriteWideAdapterList(adapters, big);
    ASSERT_TRUE(needed.has_value());
    for (size_t size = 3; size <= *needed; ++size) {
        CheckPartialList(adapters, size);
    }
    EXPECT_EQ(CheckPartialList(adapters, 3), 0u);
    EXPECT_EQ(CheckPartialList(adapters, *needed - 1), 2u);
    EXPECT_EQ(CheckPartialList(adapters, *needed), 3u);
}

TEST(WideAdapterList, HundredsOfInterfacesFillTheBufferWithWholeEntries) {
    // A host with many container interfaces: far more than 16 KiB of names and descriptions.
    std::vector<AdapterEntry> adapters;
    for (int i = 0; i < 600; ++i) {
        char name[32];
        std::snprintf(name, sizeof name, "veth%07x", 0x1a2b3c0 + i * 7);
        adapters.push_back({name, std::string(name) + " 127.0." + std::to_string(i / 250) + "." +
                                      std::to_string(i % 250 + 1)});
    }
    size_t total = 3;
    for (const AdapterEntry& adapter : adapters) {
        total += EntryBytes(adapter);
    }
    ASSERT_GT(total, 16384u);
    size_t kept = CheckPartialList(adapters, 16384);
    EXPECT_GT(kept, 100u);
    EXPECT_LT(kept, adapters.size());
}

}  // namespace
}  // namespace korvane

namespace korvane {
namespace {

// The 8-bit form: names only, each ended by a zero, a zero ending the list; what does not fit is
// left out whole, and nothing is written past the buffer.
TEST(NarrowAdapterList, NamesEndedByZerosAndCutAtWholeNames) {
    struct Case {
        size_t bufferSize;
        std::optional<std::string> expected;  // the bytes written, zeros as '|'
    };
    const std::vector<AdapterEntry> adapters = {{"PCAP0", "first"}, {"ab", "second"}};
    for (const Case& c : std::vector<Case>{{64, "PCAP0|ab||"},
                                           {10, "PCAP0|ab||"},
                                           {9, "PCAP0||"},
                                           {7, "PCAP0||"},
                                           {6, "|"},
                                           {1, "|"},
                                           {0, std::nullopt}}) {
        std::vector<uint8_t> buffer(64, 0xEE);
        auto written = WriteNarrowAdapterList(adapters, std::span(buffer.data(), c.bufferSize));
        ASSERT_EQ(written.has_value(), c.expected.has_value()) << "size " << c.bufferSize;
        const size_t length = written.value_or(0);
        std::string text;
        for (size_t i = 0; i < length; ++i) {
            text += buffer[i] == 0 ? '|' : static_cast<char>(buffer[i]);
        }
        EXPECT_EQ(text, c.expected.value_or("")) << "size " << c.bufferSize;
        EXPECT_EQ(buffer[length], 0xEE) << "size " << c.bufferSize;
    }
}

}  // namespace
}  // namespace korvane
