#pragma once

#include <cstddef>
#include <cstdint>

namespace korvane {

// The layout of the game messages a player sends the host, as the selection handling reads
// them. Offsets are from the first byte of the session message; values are little-endian.
//
//   type 4   first configuration piece: u16 sequence at 29, u8 L1 at 43, u8 L2 at 44 + L1, the
//            piece from 46 + L1 + L2 to the end
//   type 5   middle configuration piece (none or several): sequence at 29, the piece from 33
//   type 6   last configuration piece: sequence at 29, the piece from 33
//   type 10  player information: a zero-terminated text at 56
//   type 17  stock mech selection: u8 L1 at 34, u8 L2 at 35 + L1, u32 chassis selection id at
//            37 + L1 + L2
//   type 27  chat: a zero-terminated text at 36
struct SelectionMessage {
    static constexpr uint8_t kTypeFirstPiece = 4;
    static constexpr uint8_t kTypeMiddlePiece = 5;
    static constexpr uint8_t kTypeLastPiece = 6;
    static constexpr uint8_t kTypeInfo = 10;
    static constexpr uint8_t kTypeStockSelection = 17;
    static constexpr uint8_t kTypeChat = 27;

    static constexpr size_t kSequenceOffset = 29;
    static constexpr size_t kFirstPieceL1Offset = 43;
    static constexpr size_t kPieceOffset = 33;
    static constexpr size_t kInfoTextOffset = 56;
    static constexpr size_t kStockL1Offset = 34;
    static constexpr size_t kChatTextOffset = 36;

    // Where the first piece's L2 and its bytes begin.
    static constexpr size_t FirstPieceL2Offset(size_t l1) { return 44 + l1; }
    static constexpr size_t FirstPieceOffset(size_t l1, size_t l2) { return 46 + l1 + l2; }
    // Where a stock selection's L2 and chassis id stand.
    static constexpr size_t StockL2Offset(size_t l1) { return 35 + l1; }
    static constexpr size_t StockIdOffset(size_t l1, size_t l2) { return 37 + l1 + l2; }
};

}  // namespace korvane
