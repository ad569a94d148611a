// Dotted address text both ways, by the classic rules of the platform's own conversion, which
// every build must apply alike.
#include <gtest/gtest.h>

#include <cstdint>

#include "platform/sockets.h"

namespace korvane {
namespace {

struct DottedCase {
    const char* text;
    uint32_t address;
};

TEST(DottedAddress, ReadsDottedTextByTheClassicRules) {
    // No sockets layer started: the conversion needs none.
    const DottedCase cases[] = {
        {"192.168.0.10", 0xC0A8000A},     // four parts
        {"127.0.0.1", 0x7F000001},        //
        {"0.0.0.0", 0},                   //
        {"255.255.255.255", 0xFFFFFFFF},  // the broadcast address reads as "no address" does
        {"10.1", 0x0A000001},             // the last part fills the rest
        {"10.1.2", 0x0A010002},           //
        {"1.16777215", 0x01FFFFFF},       // a last part just small enough for its 24 bits
        {"0x7f.0.0.1", 0x7F000001},       // hexadecimal parts
        {"010.0.0.1", 0x08000001},        // octal parts
        {"bogus", 0xFFFFFFFF},            // not an address
        {"", 0xFFFFFFFF},                 //
        {"1.2.3.256", 0xFFFFFFFF},        // a part too large
        {"1.2.65536", 0xFFFFFFFF},        // a last part too large for its 16 bits
        {"4294967296", 0xFFFFFFFF},       // one part too large for 32 bits
        {"09.1.1.1", 0xFFFFFFFF},         // 9 is no octal digit
        {"1.2.3.4.5", 0xFFFFFFFF},        // five parts
        {"1..2.3", 0xFFFFFFFF},           // an empty part
    };
    for (const DottedCase& c : cases) {
        EXPECT_EQ(ParseDottedAddress(c.text), c.address) << '"' << c.text << '"';
    }
}

TEST(DottedAddress, WritesDottedText) {
    const DottedCase cases[] = {
        {"0.0.0.0", 0},
        {"127.0.0.1", 0x7F000001},
        {"192.168.0.10", 0xC0A8000A},
        {"255.255.255.255", 0xFFFFFFFF},
        {"1.2.3.4", 0x01020304},
    };
    for (const DottedCase& c : cases) {
        EXPECT_EQ(DottedText(c.address), c.text);
    }
}

}  // namespace
}  // namespace korvane
