#include "app/packet_filters.h"

namespace korvane {

namespace {

// Opcodes of classic BPF.
constexpr uint16_t kLoadHalf = 0x28;       // ld  h [k]
constexpr uint16_t kLoadByte = 0x30;       // ld  b [k]
constexpr uint16_t kLoadWord = 0x20;       // ld  w [k]
constexpr uint16_t kLoadHalfIndex = 0x48;  // ld  h [x + k]
constexpr uint16_t kLoadByteIndex = 0x50;  // ld  b [x + k]
constexpr uint16_t kLoadIpHeader = 0xB1;   // ldx 4 * ([k] & 0x0f)
constexpr uint16_t kJumpEqual = 0x15;      // jeq #k
constexpr uint16_t kJumpSet = 0x45;        // jset #k
constexpr uint16_t kReturn = 0x06;         // ret #k

// Whole frames once the port is known: the largest IPv4 datagram in an Ethernet frame. Receive
// offload merges a connection's segments past the MTU, and loopback carries segments of up to
// 64 KiB; a stream cut short loses exactly the bytes it needs.
constexpr uint32_t kPortSnapLength = kLargestFrame;

// The server's SYN-ACKs and RSTs, for the connections' handshakes: headers only, with room for
// the longest IPv4 and TCP options.
constexpr uint32_t kHeadersSnapLength = 14 + 60 + 60;

// Instructions 0 to 17 pass what the filter has always passed, with the same length kept;
// 14 and 17 lead on to the two later branches instead of rejecting. "port" stands at 7, 17 and
// 23, "address" at 21 and 27.
constexpr PortFilterProgram kPortTemplate = {{
    {kLoadHalf, 0, 0, 12},                // 0: EtherType
    {kJumpEqual, 0, 6, 0x86DD},           // 1: IPv6? 2 : 8
    {kLoadByte, 0, 0, 20},                // 2: IPv6 next header
    {kJumpEqual, 2, 0, 0x84},             // 3: SCTP? 6 : 4
    {kJumpEqual, 1, 0, 6},                // 4: TCP? 6 : 5
    {kJumpEqual, 0, 24, 0x11},            // 5: UDP? 6 : reject
    {kLoadHalf, 0, 0, 56},                // 6: destination port after the IPv6 header
    {kJumpEqual, 20, 22, 2300},           // 7: port? whole : reject
    {kJumpEqual, 0, 21, 0x0800},          // 8: IPv4? 9 : reject
    {kLoadByte, 0, 0, 23},                // 9: IPv4 protocol
    {kJumpEqual, 2, 0, 0x84},             // 10: SCTP? 13 : 11
    {kJumpEqual, 1, 0, 6},                // 11: TCP? 13 : 12
    {kJumpEqual, 0, 17, 0x11},            // 12: UDP? 13 : reject
    {kLoadHalf, 0, 0, 20},                // 13: flags and fragment offset
    {kJumpSet, 11, 0, 0x1FFF},            // 14: a later fragment? 26 : 15
    {kLoadIpHeader, 0, 0, 14},            // 15: x = IPv4 header length
    {kLoadHalfIndex, 0, 0, 16},           // 16: destination port
    {kJumpEqual, 10, 0, 2300},            // 17: port? whole : 18
    {kLoadByte, 0, 0, 23},                // 18: protocol again
    {kJumpEqual, 0, 10, 6},               // 19: TCP? 20 : reject
    {kLoadWord, 0, 0, 26},                // 20: source address
    {kJumpEqual, 0, 8, 0x7F000001},       // 21: the server? 22 : reject
    {kLoadHalfIndex, 0, 0, 14},           // 22: source port
    {kJumpEqual, 0, 6, 2300},             // 23: the server port? 24 : reject
    {kLoadByteIndex, 0, 0, 27},           // 24: TCP flags
    {kJumpSet, 3, 4, 0x06},               // 25: SYN or RST? headers : reject
    {kLoadWord, 0, 0, 30},                // 26: destination address of a later fragment
    {kJumpEqual, 0, 2, 0x7F000001},       // 27: the server? whole : reject
    {kReturn, 0, 0, kPortSnapLength},     // 28: whole
    {kReturn, 0, 0, kHeadersSnapLength},  // 29: headers only
    {kReturn, 0, 0, 0},                   // 30: reject
}};
constexpr size_t kPortSlots[] = {7, 17, 23};
constexpr size_t kServerAddressSlots[] = {21, 27};

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

PortFilterProgram MakePortFilter(uint16_t port, uint32_t address) {
    PortFilterProgram program = kPortTemplate;
    for (size_t slot : kPortSlots) {
        program[slot].k = port;
    }
    for (size_t slot : kServerAddressSlots) {
        program[slot].k = address;
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
