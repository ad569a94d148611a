#include "tools/lzw_encoder.h"

#include <gif_lib.h>
#include <gtest/gtest.h>

#include <random>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "tests/tools/variant_test_support.h"
#include "tools/gif_image.h"
#include "tools/variant_builder.h"

namespace korvane::tools {
namespace {

using Codes = std::vector<std::pair<uint16_t, int>>;

std::vector<uint8_t> RandomBytes(size_t count, unsigned modulus) {
    std::mt19937 random(20040203);
    std::vector<uint8_t> bytes(count);
    for (uint8_t& byte : bytes) {
        byte = static_cast<uint8_t>(random() % modulus);
    }
    return bytes;
}

// Bytes in which no two neighbours come twice (a, b, a, c, ... for every a < b), so every
// code is a literal and the code count is the byte count: 5000 of them take the dictionary
// past 512, 1024, 2048 and 4096 entries.
std::vector<uint8_t> NoRepeatedPairs(size_t count) {
    std::vector<uint8_t> bytes;
    for (int a = 0; a < 256 && bytes.size() < count; ++a) {
        for (int b = a + 1; b < 256 && bytes.size() < count; ++b) {
            bytes.push_back(static_cast<uint8_t>(a));
            bytes.push_back(static_cast<uint8_t>(b));
        }
    }
    bytes.resize(count);
    return bytes;
}

struct EncodeCase {
    std::string name;
    std::vector<uint8_t> input;
};

const std::vector<EncodeCase>& EncodeCases() {
    static const std::vector<EncodeCase> cases = {
        {"OneByte", Bytes("A")},
        {"TwoBytes", Bytes("AB")},
        {"Abababa", Bytes("ABABABA")},
        // Each string one byte longer than the last: the code not yet built, over and over.
        {"LongRun", std::vector<uint8_t>(100'000, 'x')},
        // As many literals as go before the first reset without a leading one, and one more.
        {"Random253", RandomBytes(253, 256)},
        {"Random254", RandomBytes(254, 256)},
        {"AllLiterals", NoRepeatedPairs(5000)},
        // Fills the dictionary about twenty times.
        {"Random100K", RandomBytes(102'400, 256)},
        {"FewSymbols100K", RandomBytes(102'400, 4)},
        {"ComponentList", ComponentList(ManyComponents(60))},
    };
    return cases;
}

}  // namespace

void PrintTo(const LzwOptions& options, std::ostream* out) {
    *out << (options.leadingReset ? "leading reset" : "no leading reset")
         << (options.deferReset ? ", deferred reset" : ", reset when full");
}

namespace {

class LzwRoundTrip : public ::testing::TestWithParam<std::tuple<size_t, LzwOptions>> {};

TEST_P(LzwRoundTrip, GiflibExpandsToTheInput) {
    const auto& [index, options] = GetParam();
    const EncodeCase& test = EncodeCases()[index];
    std::vector<uint8_t> stream = LzwEncode(test.input, options);
    auto expanded = GiflibExpand(stream, test.input.size());
    ASSERT_TRUE(expanded);
    EXPECT_TRUE(*expanded == test.input) << "differs from the input";
}

std::string OptionsName(const LzwOptions& options) {
    return std::string(options.leadingReset ? "" : "NoLeadingReset") +
           (options.deferReset ? "DeferReset" : "ResetWhenFull");
}

INSTANTIATE_TEST_SUITE_P(
    Inputs, LzwRoundTrip,
    ::testing::Combine(::testing::Range<size_t>(0, EncodeCases().size()),
                       ::testing::Values(LzwOptions{true, false}, LzwOptions{true, true},
                                         LzwOptions{false, false}, LzwOptions{false, true})),
    [](const auto& param) {
        return EncodeCases()[std::get<0>(param.param)].name + OptionsName(std::get<1>(param.param));
    });

TEST(LzwEncode, CodeWidthsWhenTheDictionaryFills) {
    // 5000 literals after the leading reset. The 255th code builds entry 511, so 255 codes are
    // 9 bits wide, then 512 of 10 bits, 1024 of 11; entry 4095 comes with the 3839th code.
    std::vector<uint8_t> input = NoRepeatedPairs(5000);
    const size_t untilFull = 255 * 9 + 512 * 10 + 1024 * 11 + 2048 * 12;
    // Deferred: 12-bit codes to the end, no reset; the end code is 12 bits too.
    size_t deferredBits = 9 + untilFull + (5000 - 3839) * 12 + 12;
    EXPECT_EQ(LzwEncode(input, {true, true}).size(), (deferredBits + 7) / 8);
    // Otherwise a 12-bit reset, and the last 1161 codes start at 9 bits again: 255 of 9, 512
    // of 10, 394 of 11, and the end code of 11.
    size_t resetBits = 9 + untilFull + 12 + 255 * 9 + 512 * 10 + 394 * 11 + 11;
    EXPECT_EQ(LzwEncode(input, {true, false}).size(), (resetBits + 7) / 8);
}

TEST(LzwEncode, StreamEndsRightAfterTheInput) {
    // Decoded as an image one pixel larger, the end code comes one pixel too soon.
    for (const auto& input : {Bytes("ABABABA"), NoRepeatedPairs(255), NoRepeatedPairs(5000)}) {
        for (bool leadingReset : {true, false}) {
            std::string error;
            auto stream = LzwEncode(input, {leadingReset, false});
            EXPECT_FALSE(
                GiflibDecode(WrapInGif(stream, static_cast<uint16_t>(input.size() + 1), 1), error));
            EXPECT_EQ(error, std::string(GifErrorString(D_GIF_ERR_EOF_TOO_SOON))) << input.size();
        }
    }
}

TEST(LzwEncode, StartsWithAResetOrWithLiterals) {
    EXPECT_EQ(LzwEncode(Bytes("AB")), PackCodes(Codes{{256, 9}, {65, 9}, {66, 9}, {257, 9}}));
    EXPECT_EQ(LzwEncode(Bytes("AB"), {false, false}), PackCodes(Codes{{65, 9}, {66, 9}, {257, 9}}));
    EXPECT_EQ(LzwEncode({}), PackCodes(Codes{{256, 9}, {257, 9}}));

    // Without a leading reset: 253 literals, then the reset, all 9 bits wide whatever the
    // decoder's start state (the game's start state widens the codes after the 254th).
    std::vector<uint8_t> input = NoRepeatedPairs(300);
    Codes head;
    for (size_t i = 0; i < 253; ++i) {
        head.push_back({input[i], 9});
    }
    head.push_back({kLzwResetCode, 9});
    std::vector<uint8_t> packed = PackCodes(head);
    packed.pop_back();  // the partly filled last byte
    std::vector<uint8_t> stream = LzwEncode(input, {false, false});
    ASSERT_GT(stream.size(), packed.size());
    EXPECT_EQ(std::vector<uint8_t>(stream.begin(), stream.begin() + packed.size()), packed);
}

TEST(PackCodes, PacksLeastSignificantBitFirst) {
    EXPECT_EQ(PackCodes(Codes{{256, 9}, {65, 9}, {66, 9}, {258, 9}, {257, 9}}),
              (std::vector<uint8_t>{0x00, 0x83, 0x08, 0x11, 0x18, 0x10}));
    EXPECT_EQ(PackCodes(Codes{{5, 3}, {1, 1}, {0x3FF, 10}}, 2),
              (std::vector<uint8_t>{0xFD, 0x3F, 0x00, 0x00}));
    EXPECT_THROW(PackCodes(Codes{{512, 9}}), std::invalid_argument);
    EXPECT_THROW(PackCodes(Codes{{0, 17}}), std::invalid_argument);
}

struct HandMadeCase {
    std::string name;
    Codes codes;
    std::string expanded;
};

void PrintTo(const HandMadeCase& test, std::ostream* out) {
    *out << test.name;
}

class HandMadeStream : public ::testing::TestWithParam<HandMadeCase> {};

TEST_P(HandMadeStream, GiflibReadsItAsDescribed) {
    auto expanded = GiflibExpand(PackCodes(GetParam().codes), GetParam().expanded.size());
    ASSERT_TRUE(expanded);
    EXPECT_EQ(std::string(expanded->begin(), expanded->end()), GetParam().expanded);
}

INSTANTIATE_TEST_SUITE_P(
    Codes, HandMadeStream,
    ::testing::Values(
        // 258 is "AB", built when B came.
        HandMadeCase{"Entry", {{256, 9}, {65, 9}, {66, 9}, {258, 9}, {257, 9}}, "ABAB"},
        // 258 asked for before it is built: the previous string and its own first byte.
        HandMadeCase{"NotYetBuilt", {{256, 9}, {65, 9}, {258, 9}, {257, 9}}, "AAA"},
        // A reset in the middle forgets 258 ("AB"); afterwards 258 is "CD".
        HandMadeCase{"ResetInBetween",
                     {{256, 9}, {65, 9}, {66, 9}, {256, 9}, {67, 9}, {68, 9}, {258, 9}, {257, 9}},
                     "ABCDCD"}),
    [](const auto& param) { return param.param.name; });

}  // namespace
}  // namespace korvane::tools
