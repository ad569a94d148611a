// The directory of a variant container and the container's own length, for containers that
// are whole, damaged, or made to mislead.
#include "rules/variant_container.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tests/tools/variant_test_support.h"
#include "tools/little_endian.h"
#include "tools/variant_builder.h"

namespace korvane {
namespace {

using tools::Bytes;
using tools::PutU32;

// Sections named "first" and "second" holding "abc" and "defgh".
std::vector<uint8_t> TwoSections() {
    return tools::BuildContainer(
        std::vector<tools::SectionSpec>{{"first", Bytes("abc")}, {"second", Bytes("defgh")}});
}

TEST(VariantDirectory, ReadsEverySection) {
    const std::vector<uint8_t> container = TwoSections();
    VariantDirectory directory;
    EXPECT_EQ(directory.ParseVariantDirectory(container), container.size());
    ASSERT_EQ(directory.sections().size(), 2u);
    EXPECT_TRUE(directory.sectionsInside());
    const VariantSection& second = directory.sections()[1];
    EXPECT_EQ(second.name, "second");
    EXPECT_EQ(second.nameLength, 6);
    EXPECT_EQ(second.storedLength, 5u);
    EXPECT_EQ(second.sectionOffset, 3u);
    EXPECT_EQ(std::string(second.stored.begin(), second.stored.end()), "defgh");
    directory.Release();
    EXPECT_TRUE(directory.sections().empty());
    directory.Release();
}

TEST(VariantDirectory, OwnLengthAgainstTheBytesReceived) {
    const std::vector<uint8_t> container = TwoSections();
    // The lengths of all entries and sections: 20 + (23 + 5) + (23 + 6) + 3 + 5.
    ASSERT_EQ(container.size(), 85u);
    std::vector<uint8_t> wrapping = container;  // stored lengths that add up in 32 bits
    PutU32(wrapping, 20 + 12, 0xFFFFFFFFu);
    PutU32(wrapping, 20 + 28 + 12, 9);
    std::vector<uint8_t> moreEntries = container;  // says three sections
    moreEntries[16] = 3;
    std::vector<uint8_t> longName = container;  // the last name runs past the end
    longName[20 + 28 + 22] = 200;
    std::vector<uint8_t> empty = tools::BuildContainer(std::vector<tools::SectionSpec>{});

    const struct {
        const char* what;
        std::vector<uint8_t> received;
        bool consistent;
    } cases[] = {
        {"as built", container, true},
        {"one byte more",
         [&] {
             auto bytes = container;
             bytes.push_back(0);
             return bytes;
         }(),
         false},
        {"one byte less", std::vector<uint8_t>(container.begin(), container.end() - 1), false},
        {"stored lengths that wrap around", wrapping, false},
        {"more entries than there are", moreEntries, false},
        {"a name past the end", longName, false},
        {"no sections", empty, true},
        {"no room for the count", std::vector<uint8_t>(empty.begin(), empty.begin() + 17), false},
        {"the count but no more", std::vector<uint8_t>(empty.begin(), empty.begin() + 18), false},
    };
    for (const auto& c : cases) {
        VariantDirectory directory;
        const uint64_t length = directory.ParseVariantDirectory(c.received);
        EXPECT_EQ(length == c.received.size(), c.consistent) << c.what << ": " << length;
    }
    EXPECT_EQ(empty.size(), 20u);
}

TEST(VariantDirectory, SectionOutsideTheContainerIsNoted) {
    std::vector<uint8_t> container = TwoSections();
    VariantDirectory directory;
    PutU32(container, 20 + 28 + 16, 4);  // the second section one byte too far
    EXPECT_EQ(directory.ParseVariantDirectory(container), container.size());
    EXPECT_FALSE(directory.sectionsInside());
    EXPECT_TRUE(directory.sections()[1].stored.empty());

    PutU32(container, 20 + 28 + 16, 3);
    PutU32(container, 12, 0xFFFFFFF0u);  // a data area offset far past the end
    EXPECT_EQ(directory.ParseVariantDirectory(container), container.size());
    EXPECT_FALSE(directory.sectionsInside());

    PutU32(container, 12, 20 + 28 + 29);
    EXPECT_EQ(directory.ParseVariantDirectory(container), container.size());
    EXPECT_TRUE(directory.sectionsInside());
}

}  // namespace
}  // namespace korvane
