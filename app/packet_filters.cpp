#include "app/packet_filters.h"

namespace korvane {

namespace {

// Opcodes of classic BPF.
constexpr uint16_t kLoadHalf = 0x28;       // ld  h [k]
constexpr uint16_t kLoadByte = 0x30;       // ld  b [k]
constexpr uint16_t kLoadWord = 0x20;       // ld  w [k]
constexpr uint16_t kLoadHalfIndex = 0x48;  // ld  h [x + k]
constexpr uint16_t kLoadIpHeader = 0xB1;   // ldx 4 * ([k] & 0x0f)
constexpr uint16_t kJumpEqual = 0x15;      // jeq #k
constexpr uint16_t kJumpSet = 0x45;        // jset #k
constexpr uint16_t kReturn = 0x06;         // ret #k

// Whole frames once the port is known: the largest IPv4 datagram in an Ethernet frame. Receive
// offload merges a connection's segments past the MTU, and loopback carries segments of up to
// 64 KiB; a stream cut short loses exactly the bytes it needs.
constexpr uint32_t kPortSnapLength = kLargestFrame;

constexpr PortFilterProgram kPortTemplate = {{
    {kLoadHalf, 0, 0, 12},
    {kJumpEqual, 0, 6, 0x86DD},
    {kLoadByte, 0, 0, 20},
    {kJumpEqual, 2, 0, 0x84},
    {kJumpEqual, 1, 0, 6},
    {kJumpEqual, 0, 13, 0x11},
    {kLoadHalf, 0, 0, 56},
    {kJumpEqual, 10, 11, 2300},
    {kJumpEqual, 0, 10, 0x0800},
    {kLoadByte, 0, 0, 23},
    {kJumpEqual, 2, 0, 0x84},
    {kJumpEqual, 1, 0, 6},
    {kJumpEqual, 0, 6, 0x11},
    {kLoadHalf, 0, 0, 20},
    {kJumpSet, 4, 0, 0x1FFF},
    {kLoadIpHeader, 0, 0, 14},
    {kLoadHalfIndex, 0, 0, 16},
    {kJumpEqual, 0, 1, 2300},
    {kReturn, 0, 0, kPortSnapLength},
    {kReturn, 0, 0, 0},
}};
constexpr size_t kPortSlots[] = {7, 17};

// While the port is detected, enough of each frame to read a connect message whole: 96 bytes
// of a frame without header options, and room for the longest IPv4 and TCP options besides,
// which a frame is read without.
constexpr uint32_t kHostSnapLength = 96 + 40 + 40;

constexpr HostFilterProgram kHostTemplate = {{
    {kLoadHalf, 0, 0, 12},
    {kJumpEqual, 0, 2, 0x0800},
    {kLoadWord, 0, 0, 30},
    {kJumpEqual, 4, 5, 0x7F000001},
    {kJumpEqual, 1, 0, 0x0806},
    {kJumpEqual, 0, 3, 0x8035},
    {kLoadWord, 0, 0, 38},
    {kJumpEqual, 0, 1, 0x7F000001},
    {kReturn, 0, 0, kHostSnapLength},
    {kReturn, 0, 0, 0},
}};
constexpr size_t kAddressSlots[] = {3, 7};

}  // namespace

PortFilterProgram MakePortFilter(uint16_t port) {
    PortFilterProgram program = kPortTemplate;
    for (size_t slot : kPortSlots) {
        program[slot].k = port;
    }
    return program;
}

HostFilterProgram MakeHostFilter(uint32_t address) {
    HostFilterProgram program = kHostTemplate;
    for (size_t slot : kAddressSlots) {
        program[slot].k = address;
    }
    return program;
}

}  // namespace korvane
