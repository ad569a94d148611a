#include "app/adapter_list.h"

#include <gtest/gtest.h>

#include <algorithm>

#include <string>
#include <vector>

#include "platform/fake_capture_library.h"

namespace korvane {
namespace {

std::string NameText(const AdapterTable& table, long number) {
    std::span<const uint8_t> name = table.Name(number);
    std::string text;
    for (size_t i = 0; i < name.size(); i += table.wide ? 2 : 1) {
        text += static_cast<char>(name[i]);
    }
    return text;
}

std::vector<uint8_t> Padded(std::vector<uint8_t> list, size_t size) {
    list.resize(size, 0);
    return list;
}

TEST(AdapterList, WideFormStoresNamesAndShowsDescriptions) {
    auto list = Padded(FakeCaptureLibrary::WideList({"\\Device\\NPF_{A}", "eth1"},
                                                    {"Intel PRO/100", "lo 127.0.0.1"}),
                       kWideListBytes);
    AdapterTable table;
    EXPECT_EQ(ReadAdapterList(list, true, table), "\n1- Intel PRO/100\n2- lo 127.0.0.1");
    ASSERT_EQ(table.count, 2u);
    EXPECT_EQ(NameText(table, 1), "\\Device\\NPF_{A}");
    EXPECT_EQ(table.Name(2).size(), 8u);  // four 16-bit characters
    EXPECT_EQ(NameText(table, 2), "eth1");
}

TEST(AdapterList, NarrowFormShowsTheNames) {
    auto list =
        Padded(FakeCaptureLibrary::NarrowList({"PCAP0", "PCAP1", "PCAP2"}), kNarrowListBytes);
    AdapterTable table;
    EXPECT_EQ(ReadAdapterList(list, false, table), "\n1- PCAP0\n2- PCAP1\n3- PCAP2");
    EXPECT_EQ(table.count, 3u);
    EXPECT_EQ(NameText(table, 3), "PCAP2");
}

TEST(AdapterList, DescriptionsStopAtTheNameCountOrAnEmptyOne) {
    AdapterTable table;
    auto more = Padded(FakeCaptureLibrary::WideList({"a"}, {"first", "extra"}), 64);
    EXPECT_EQ(ReadAdapterList(more, true, table), "\n1- first");
    auto fewer = Padded(FakeCaptureLibrary::WideList({"a", "b"}, {"only"}), 64);
    EXPECT_EQ(ReadAdapterList(fewer, true, table), "\n1- only");
    EXPECT_EQ(table.count, 2u);
}

TEST(AdapterList, EmptyListStoresNothing) {
    AdapterTable table;
    auto list = Padded({}, 32);
    EXPECT_EQ(ReadAdapterList(list, true, table), "");
    EXPECT_EQ(table.count, 0u);
    EXPECT_TRUE(table.Name(1).empty());
}

TEST(AdapterList, NamesBeyondTheTenthAreDroppedAndLongNamesCut) {
    std::vector<std::string> names;
    for (int i = 0; i < 12; ++i) {
        names.push_back("if" + std::to_string(i));
    }
    names[0] = std::string(700, 'x');  // 1400 bytes wide: more than a slot
    AdapterTable table;
    std::string shown = ReadAdapterList(
        Padded(FakeCaptureLibrary::WideList(names, std::vector<std::string>(12, "d")),
               kWideListBytes),
        true, table);
    EXPECT_EQ(table.count, 10u);
    EXPECT_EQ(table.Name(1).size(), AdapterTable::kSlotBytes - 2);  // its terminator still fits
    EXPECT_EQ(NameText(table, 10), "if9");
    EXPECT_TRUE(table.Name(11).empty());
    EXPECT_EQ(std::count(shown.begin(), shown.end(), '\n'), 10);
}

TEST(AdapterList, NumbersOutsideTheTableNameNoSlot) {
    AdapterTable table;
    ReadAdapterList(Padded(FakeCaptureLibrary::NarrowList({"one"}), 16), false, table);
    EXPECT_TRUE(table.Name(0).empty());
    EXPECT_TRUE(table.Name(-1).empty());
    EXPECT_TRUE(table.Name(2).empty());
    EXPECT_TRUE(table.Name(11).empty());
    EXPECT_EQ(NameText(table, 1), "one");
}

TEST(AdapterList, ListWithoutItsEndIsReadOnlyUpToTheBuffer) {
    // Names that run to the very end of the buffer without a terminator.
    std::vector<uint8_t> list = {'a', 0, 'b', 'c', 'd'};
    AdapterTable table;
    ReadAdapterList(list, false, table);
    EXPECT_EQ(table.count, 1u);
    EXPECT_EQ(NameText(table, 1), "a");
}

TEST(AdapterList, VersionWordChoosesTheForm) {
    EXPECT_TRUE(WantsWideAdapterList(0x0A280105));   // NT family
    EXPECT_FALSE(WantsWideAdapterList(0xC0000A04));  // 9x family, major 4
    EXPECT_TRUE(WantsWideAdapterList(0x80000003));   // top bit set but major below 4
}

}  // namespace
}  // namespace korvane
