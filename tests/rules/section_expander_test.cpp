// Expansion of compressed sections: hand-made code streams for each rule of the decoder, and
// streams of the tools' encoder decoded by giflib as well, so that the expansion is never
// checked against its own inverse alone.
#include "rules/section_expander.h"

#include <gtest/gtest.h>

#include <memory>
#include <random>
#include <string>
#include <utility>
#include <vector>

#include "tests/tools/variant_test_support.h"
#include "tools/lzw_encoder.h"
#include "tools/variant_builder.h"

namespace korvane {
namespace {

using tools::Bytes;

using Codes = std::vector<std::pair<uint16_t, int>>;

// Nine-bit codes, then `pad` zero bytes.
std::vector<uint8_t> Nine(std::initializer_list<uint16_t> codes, size_t pad = 0) {
    Codes packed;
    for (uint16_t code : codes) {
        packed.push_back({code, 9});
    }
    return tools::PackCodes(packed, pad);
}

class SectionExpanderTest : public ::testing::Test {
  protected:
    std::optional<std::vector<uint8_t>> Expand(std::span<const uint8_t> stored) {
        const std::optional<size_t> count = expander_->ExpandSection(stored);
        if (!count) {
            return std::nullopt;
        }
        const std::span<const uint8_t> out = expander_->Expanded(*count);
        return std::vector<uint8_t>(out.begin(), out.end());
    }

    std::unique_ptr<SectionExpander> expander_ = std::make_unique<SectionExpander>();
};

TEST_F(SectionExpanderTest, HandMadeStreams) {
    using namespace std::string_literals;
    const struct {
        const char* what;
        std::vector<uint8_t> stored;
        std::string expanded;
    } cases[] = {
        {"reset, A, B, the entry of A and B, end", Nine({256, 65, 66, 258, 257}), "ABAB"},
        {"a code naming the entry about to be built", Nine({256, 65, 258, 257}), "AAA"},
        // Without a reset the first code builds entry 258 from previous code 0 and its byte.
        {"a start without a reset", Nine({65, 66, 258, 257}), "AB\0A"s},
        {"a reset in the middle starts the dictionary over",
         Nine({256, 65, 66, 258, 256, 67, 258, 257}), "ABABCCC"},
        {"the code after a reset stands for its low byte", Nine({256, 65 + 256, 66, 257}), "AB"},
        {"no end code: the stream ends where three bytes no longer remain", Nine({256, 65, 66, 67}),
         "AB"},
        {"nothing is read after the end code", Nine({256, 65, 257, 66, 67}, 3), "A"},
        {"one byte", {0x41}, ""},
        {"two bytes", {0x41, 0x00}, ""},
        {"empty", {}, ""},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(Expand(c.stored), Bytes(c.expanded)) << c.what;
    }
}

TEST_F(SectionExpanderTest, WidthGrowsOnceEntry511IsBuilt) {
    // After the reset the first code builds nothing and each later one builds an entry, so the
    // 255th code builds 511 and the 256th is read with ten bits.
    Codes codes = {{256, 9}};
    for (int n = 0; n < 255; ++n) {
        codes.push_back({'x', 9});
    }
    codes.push_back({300, 10});  // built by the 44th code: "xx"
    codes.push_back({257, 10});
    EXPECT_EQ(Expand(tools::PackCodes(codes, 2)), Bytes(std::string(257, 'x')));
}

TEST_F(SectionExpanderTest, DamagedStreamsFail) {
    // 400 names no entry twice in a row: the second time its prefix is itself.
    EXPECT_EQ(Expand(Nine({256, 65, 400, 400, 257})), std::nullopt);
    // Output past the expansion area.
    const std::vector<uint8_t> zeros(SectionExpander::kAreaBytes + 1, 0);
    EXPECT_EQ(Expand(tools::LzwEncode(zeros)), std::nullopt);
    // Exactly the area still fits.
    const std::vector<uint8_t> fits(SectionExpander::kAreaBytes, 7);
    EXPECT_EQ(Expand(tools::LzwEncode(fits)), fits);
}

TEST_F(SectionExpanderTest, EveryExpansionStartsFromTheSameDictionary) {
    // After the reset the low byte of 300 is written and 300 becomes the previous code, so the
    // next entry's string starts with whatever entry 300 holds: nothing from earlier sections.
    const std::vector<uint8_t> damaged = Nine({256, 300, 258, 257});
    const std::optional<std::vector<uint8_t>> fresh = Expand(damaged);
    std::mt19937 random(7);
    std::vector<uint8_t> noise(20000);
    for (uint8_t& byte : noise) {
        byte = static_cast<uint8_t>(random() % 16);
    }
    ASSERT_EQ(Expand(tools::LzwEncode(noise)), noise);
    EXPECT_EQ(Expand(damaged), fresh);
}

// Data of the kinds sections hold, and data that drives the dictionary through every width,
// full with and without resets.
std::vector<std::vector<uint8_t>> Samples() {
    std::mt19937 random(2004);
    std::vector<uint8_t> noise(100000);
    for (uint8_t& byte : noise) {
        byte = static_cast<uint8_t>(random());
    }
    std::vector<uint8_t> lowNoise(60000);
    for (uint8_t& byte : lowNoise) {
        byte = static_cast<uint8_t>(random() % 5);
    }
    const std::vector<tools::ComponentSpec> components = {
        {813, 108}, {888, 376}, {885, 152}, {815, 236}, {10743, 112}};
    return {
        tools::ChassisRecord(958 * 65536 + 1),
        tools::ComponentList(components),
        noise,
        lowNoise,
        std::vector<uint8_t>(70000, 'K'),
        Bytes("ABABABABAB"),
        Bytes("A"),
    };
}

TEST_F(SectionExpanderTest, ExpandsWhatGiflibDecodes) {
    for (bool deferReset : {false, true}) {
        for (const std::vector<uint8_t>& data : Samples()) {
            const std::vector<uint8_t> stored =
                tools::LzwEncode(data, {.leadingReset = true, .deferReset = deferReset});
            EXPECT_EQ(tools::GiflibExpand(stored, data.size()), data);
            EXPECT_EQ(Expand(stored), data)
                << data.size() << " bytes, deferred reset " << deferReset;
        }
    }
}

}  // namespace
}  // namespace korvane
