#pragma once

#include <cstddef>
#include <cstdint>

namespace korvane {

// The layout of a message of the game's session protocol, as it stands in a TCP payload and as
// the program writes it. Offsets are from the first byte of the message; every value is
// little-endian.
//
// Common header: u16 size (the whole message, read as a signed number), u16 token, a 16-byte
// address block, then at 20 either the signature "play" (a system message, with a command at
// 24) or the sender's player id (a game message, with the receiver's id at 24 and a one-byte
// type at 28).
struct SessionMessage {
    static constexpr uint16_t kToken = 0xFAB0;
    static constexpr uint32_t kPlaySignature = 0x79616C70;  // the bytes "play"
    static constexpr uint32_t kHostId = 1;

    static constexpr size_t kSizeOffset = 0;
    static constexpr size_t kTokenOffset = 2;
    static constexpr size_t kAddressBlockOffset = 4;
    static constexpr size_t kAddressBlockLength = 16;
    static constexpr size_t kSignatureOffset = 20;

    // System messages.
    static constexpr size_t kCommandOffset = 24;
    static constexpr size_t kVersionOffset = 26;
    static constexpr size_t kPlayerIdOffset = 32;
    static constexpr size_t kNameOffset = 96;  // creation: UTF-16LE, zero-terminated
    static constexpr uint16_t kCommandConnect = 1;
    static constexpr uint16_t kCommandCreatePlayer = 8;
    static constexpr uint16_t kCommandDeletePlayer = 11;

    // Game messages.
    static constexpr size_t kSenderOffset = 20;
    static constexpr size_t kReceiverOffset = 24;
    static constexpr size_t kTypeOffset = 28;
    static constexpr size_t kContentOffset = 29;
};

// Where a captured frame's parts begin, in the layout every frame is handed on in: Ethernet II
// (14 bytes), IPv4 without options (20), TCP without options (20), then the payload.
struct FrameLayout {
    static constexpr size_t kEtherTypeOffset = 12;
    static constexpr size_t kIpv4Offset = 14;
    static constexpr size_t kSourceAddressOffset = 26;
    static constexpr size_t kDestinationAddressOffset = 30;
    static constexpr size_t kTcpOffset = 34;
    static constexpr size_t kSourcePortOffset = 34;
    static constexpr size_t kDestinationPortOffset = 36;
    static constexpr size_t kPayloadOffset = 54;
};

}  // namespace korvane
