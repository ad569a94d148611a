#include "tools/variant_builder.h"

#include <gtest/gtest.h>

#include <stdexcept>
#include <string>
#include <vector>

#include "capture/byte_reader.h"
#include "tests/tools/variant_test_support.h"

namespace korvane::tools {
namespace {

// The directory of a container, read at the documented offsets.
struct Entry {
    uint32_t stored = 0;
    uint32_t offset = 0;
    std::string name;
};

std::vector<Entry> Directory(const std::vector<uint8_t>& container) {
    ByteReader reader(container);
    std::vector<Entry> entries;
    size_t at = 20;
    for (uint16_t i = 0; i < reader.U16(16); ++i) {
        uint8_t length = reader.U8(at + 22);
        auto name = reader.Bytes(at + 23, length);
        entries.push_back(
            {reader.U32(at + 12), reader.U32(at + 16), std::string(name.begin(), name.end())});
        at += 23 + length;
    }
    return entries;
}

// 20 + sum(23 + n) + sum(stored lengths).
size_t OwnLength(const std::vector<uint8_t>& container) {
    size_t length = 20;
    for (const Entry& entry : Directory(container)) {
        length += 23 + entry.name.size() + entry.stored;
    }
    return length;
}

std::vector<uint8_t> SectionBytes(const std::vector<uint8_t>& container, size_t index) {
    Entry entry = Directory(container).at(index);
    auto bytes =
        ByteReader(container).Bytes(ByteReader(container).U32(12) + entry.offset, entry.stored);
    return std::vector<uint8_t>(bytes.begin(), bytes.end());
}

// The component ids of an expanded list, walked by the entries' lengths to the very end.
std::vector<uint16_t> ListedIds(const std::vector<uint8_t>& list) {
    ByteReader reader(list);
    std::vector<uint16_t> ids;
    size_t at = 2;
    while (at < list.size()) {
        auto length = static_cast<int16_t>(reader.U16(at));
        EXPECT_GE(length, 88) << "entry at " << at;
        if (length < 88) {
            break;
        }
        ids.push_back(reader.U16(at + 86));
        at += static_cast<size_t>(length);
    }
    EXPECT_EQ(at, list.size()) << "the last entry passes the end";
    return ids;
}

TEST(VariantBuilder, ContainerFieldsAtTheirOffsets) {
    std::vector<SectionSpec> sections = {{"first", {1, 2, 3}}, {"", {}}, {"third-name", {9, 8}}};
    std::vector<uint8_t> container = BuildContainer(sections);
    ASSERT_EQ(container.size(), 109u);
    ByteReader reader(container);
    EXPECT_EQ(std::string(container.begin(), container.begin() + 4), "#VBD");
    EXPECT_EQ(reader.U32(12), 104u);  // 20 + 28 + 23 + 33
    EXPECT_EQ(reader.U16(16), 3u);
    // Entry 0 at 20, entry 1 at 48, entry 2 at 71: length at 12, offset at 16, name at 22.
    EXPECT_EQ(reader.U32(32), 3u);
    EXPECT_EQ(reader.U32(36), 0u);
    EXPECT_EQ(reader.U8(42), 5u);
    EXPECT_EQ(std::string(container.begin() + 43, container.begin() + 48), "first");
    EXPECT_EQ(reader.U32(60), 0u);
    EXPECT_EQ(reader.U32(64), 3u);
    EXPECT_EQ(reader.U8(70), 0u);
    EXPECT_EQ(reader.U32(83), 2u);
    EXPECT_EQ(reader.U32(87), 3u);
    EXPECT_EQ(reader.U8(93), 10u);
    EXPECT_EQ(std::string(container.begin() + 94, container.begin() + 104), "third-name");
    EXPECT_EQ(std::vector<uint8_t>(container.begin() + 104, container.end()),
              (std::vector<uint8_t>{1, 2, 3, 9, 8}));
    EXPECT_EQ(OwnLength(container), container.size());
}

struct VariantCase {
    std::string name;
    VariantSpec variant;
};

void PrintTo(const VariantCase& test, std::ostream* out) {
    *out << test.name;
}

class VariantSections : public ::testing::TestWithParam<VariantCase> {};

TEST_P(VariantSections, ExpandInGiflibToTheRecords) {
    const VariantSpec& variant = GetParam().variant;
    std::vector<uint8_t> container = BuildVariant(variant);
    EXPECT_EQ(OwnLength(container), container.size());
    std::vector<Entry> directory = Directory(container);
    ASSERT_GE(directory.size(), 3u);
    EXPECT_EQ(directory[0].name.substr(0, 23), "Variant/Custom/Unnamed/");
    EXPECT_EQ(directory[0].name.substr(23), variant.name);

    auto chassis = GiflibExpand(SectionBytes(container, 1), 200);
    ASSERT_TRUE(chassis);
    EXPECT_EQ(*chassis, ChassisRecord(variant.chassisId));
    EXPECT_EQ(ByteReader(*chassis).U32(148), variant.chassisId);

    std::vector<uint8_t> list = ComponentList(variant.components);
    auto expanded = GiflibExpand(SectionBytes(container, 2), list.size());
    ASSERT_TRUE(expanded);
    EXPECT_EQ(*expanded, list);
    std::vector<uint16_t> ids;
    for (const ComponentSpec& component : variant.components) {
        ids.push_back(component.id);
    }
    EXPECT_EQ(ListedIds(*expanded), ids);
}

INSTANTIATE_TEST_SUITE_P(
    Variants, VariantSections,
    ::testing::Values(
        VariantCase{"NoComponents", Variant(0x12345678, {}, "Empty")},
        VariantCase{"FewComponents",
                    Variant(0xABCD, {{813, 108}, {888, 376}, {815, 112}}, "Three")},
        VariantCase{"ManyComponents", Variant(77, ManyComponents(200), "Loaded", 0, {true, false})},
        VariantCase{"DeferredReset", Variant(77, ManyComponents(200), "Loaded", 0, {true, true})},
        VariantCase{"NoLeadingReset", Variant(9, ManyComponents(20), "", 0, {false, false})},
        VariantCase{"LongName", Variant(1, {{0xFFFF, 88}}, std::string(232, 'n'))}),
    [](const auto& param) { return param.param.name; });

TEST(VariantBuilder, TotalSizeIsExact) {
    VariantSpec variant = Variant(0x20, ManyComponents(3), "Sized");
    const size_t natural = BuildVariant(variant).size();
    for (size_t extra : {0, 1, 27, 28, 29, 5000}) {
        variant.totalSize = natural + extra;
        std::vector<uint8_t> container = BuildVariant(variant);
        EXPECT_EQ(container.size(), natural + extra) << extra;
        EXPECT_EQ(OwnLength(container), container.size()) << extra;
        EXPECT_EQ(Directory(container).size(), extra >= 28 ? 4u : 3u) << extra;
    }
    variant.totalSize = natural - 1;
    EXPECT_THROW(BuildVariant(variant), std::invalid_argument);
    variant.totalSize = 0;
    variant.name = std::string(233, 'n');
    EXPECT_THROW(BuildVariant(variant), std::invalid_argument);
    EXPECT_THROW(ComponentList(std::vector<ComponentSpec>{{1, 87}}), std::invalid_argument);
}

struct UploadCase {
    std::string name;
    size_t containerSize;
    uint16_t firstSequence;
    size_t pieceBytes;
    size_t pieces;
    std::vector<size_t> pieceSizes;
};

void PrintTo(const UploadCase& test, std::ostream* out) {
    *out << test.name;
}

class Upload : public ::testing::TestWithParam<UploadCase> {};

TEST_P(Upload, PiecesGiveTheContainerBack) {
    const UploadCase& test = GetParam();
    std::vector<uint8_t> container(test.containerSize);
    for (size_t i = 0; i < container.size(); ++i) {
        container[i] = static_cast<uint8_t>(i * 13 + i / 256);
    }
    auto messages =
        UploadMessages(0x102, test.firstSequence, container, test.pieceBytes, test.pieces);
    ASSERT_EQ(messages.size(), test.pieceSizes.size());
    std::vector<uint8_t> joined;
    for (size_t i = 0; i < messages.size(); ++i) {
        const std::vector<uint8_t>& message = messages[i];
        ByteReader reader(message);
        EXPECT_EQ(reader.U16(0), message.size());
        EXPECT_EQ(reader.U32(20), 0x102u);
        EXPECT_EQ(reader.U32(24), 1u);
        uint8_t type = i == 0 ? 4 : i + 1 == messages.size() ? 6 : 5;
        EXPECT_EQ(message[28], type) << i;
        EXPECT_EQ(reader.U16(29), static_cast<uint16_t>(test.firstSequence + i)) << i;
        size_t offset = 33;
        if (type == 4) {
            for (size_t zero = 31; zero < 43; ++zero) {
                EXPECT_EQ(message[zero], 0) << zero;
            }
            size_t first = message[43];
            size_t second = message[44 + first];
            EXPECT_GT(first, 0u);
            EXPECT_GT(second, 0u);
            offset = 46 + first + second;
        } else {
            EXPECT_EQ(reader.U16(31), 0u);
        }
        EXPECT_EQ(PieceOffsetOf(message), offset);
        EXPECT_EQ(message.size() - offset, test.pieceSizes[i]) << i;
        joined.insert(joined.end(), message.begin() + static_cast<long>(offset), message.end());
    }
    EXPECT_EQ(joined, container);
}

INSTANTIATE_TEST_SUITE_P(
    Cuts, Upload,
    ::testing::Values(UploadCase{"ByPieceBytes", 2500, 100, 1000, 0, {1000, 1000, 500}},
                      UploadCase{"WholePieces", 2000, 0, 1000, 0, {1000, 1000}},
                      UploadCase{"FitsOnePiece", 301, 7, 1000, 0, {151, 150}},
                      UploadCase{"SequenceWraps", 400, 0xFFFE, 100, 0, {100, 100, 100, 100}},
                      UploadCase{"NearEqual", 1000, 5, 1000, 3, {334, 333, 333}},
                      UploadCase{"TwoOfTwo", 2, 5, 1000, 2, {1, 1}}),
    [](const auto& param) { return param.param.name; });

TEST(VariantBuilder, InfoAndStockSelectionLayouts) {
    auto info = BuildInfoMessage(0x203, "pilot");
    ASSERT_EQ(info.size(), 56u + 6u);
    EXPECT_EQ(info[28], 10);
    EXPECT_EQ(ByteReader(info).U32(24), 1u);
    for (size_t i = 29; i < 56; ++i) {
        EXPECT_EQ(info[i], 0) << i;
    }
    EXPECT_EQ(std::string(info.begin() + 56, info.end()), std::string("pilot\0", 6));

    auto stock = BuildStockSelection(0x203, 0xCAFEF00D, "ab", "xyz");
    ASSERT_EQ(stock.size(), 37u + 2u + 3u + 4u);
    EXPECT_EQ(stock[28], 17);
    EXPECT_EQ(stock[34], 2);
    EXPECT_EQ(std::string(stock.begin() + 35, stock.begin() + 37), "ab");
    EXPECT_EQ(stock[37], 3);
    EXPECT_EQ(std::string(stock.begin() + 38, stock.begin() + 41), "xyz");
    EXPECT_EQ(ByteReader(stock).U32(42), 0xCAFEF00Du);
    EXPECT_GT(BuildStockSelection(1, 1)[34], 0);  // texts by default
}

}  // namespace
}  // namespace korvane::tools
