#pragma once

#include <cstddef>
#include <cstdint>

namespace korvane {

// The layout of the game messages a player sends the host, as the selection handling reads
// them. Offsets are from the first byte of the session message; values are little-endian.
//
//   type 4   first configuration piece: u16 sequence at 29, two counted texts at 43 (each a u8
//            length and that many bytes), one byte, then the piece to the end (from
//            46 + L1 + L2)
//   type 5   middle configuration piece (none or several): sequence at 29, the piece from 33
//   type 6   last configuration piece: sequence at 29, the piece from 33
//   type 10  player information: a zero-terminated text at 56
//   type 17  stock mech selection: two counted texts at 34, one byte, then the u32 chassis
//            selection id (at 37 + L1 + L2)
//   type 27  chat: a zero-terminated text at 36
struct SelectionMessage {
    static constexpr uint8_t kTypeFirstPiece = 4;
    static constexpr uint8_t kTypeMiddlePiece = 5;
    static constexpr uint8_t kTypeLastPiece = 6;
    static constexpr uint8_t kTypeInfo = 10;
    static constexpr uint8_t kTypeStockSelection = 17;
    static constexpr uint8_t kTypeChat = 27;

    static constexpr size_t kSequenceOffset = 29;
    static constexpr size_t kFirstPieceTextsOffset = 43;
    static constexpr size_t kPieceOffset = 33;
    static constexpr size_t kInfoTextOffset = 56;
    static constexpr size_t kStockTextsOffset = 34;
    static constexpr size_t kChatTextOffset = 36;
};

}  // namespace korvane
