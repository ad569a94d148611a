#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <span>

#include "capture/held_frame.h"
#include "capture/player_table.h"
#include "platform/console.h"

namespace korvane {

// Joins two pieces of one session message: the piece whose size word equals the payload bytes
// of both is the start; the joined frame is its whole frame (headers included) followed by the
// other piece's payload. Returns the joined length, or nothing when the lengths do not add up
// or the joined frame would not fit `buffer`.
std::optional<size_t> JoinFragments(const HeldFrame& first, const HeldFrame& second,
                                    std::span<uint8_t> buffer);

// Takes every captured frame addressed to the game server: tells a whole session message from
// a piece of one, joins a message split over two frames, follows players joining and leaving,
// and hands each game message addressed to the host on.
class SessionDispatcher {
  public:
    static constexpr size_t kReassemblyBytes = 1500;

    // Receives a game message to the host: the sender's record and the message, from its size
    // word to the end of the frame.
    using GameMessageHandler =
        std::function<void(PlayerRecord& record, std::span<const uint8_t> message)>;

    SessionDispatcher(PlayerTable& players, Console& console)
        : players_(players), console_(console) {}

    void SetGameMessageHandler(GameMessageHandler handler) { handler_ = std::move(handler); }

    // A whole captured frame (the payload at 54). Reads past the end of the frame throw
    // TruncatedData.
    void DispatchMessage(std::span<const uint8_t> frame);

    // A player creation message of `size` bytes from `address`.
    void HandlePlayerCreation(std::span<const uint8_t> message, int32_t size,
                              std::span<const uint8_t, 4> address);

  private:
    void HandleWholeMessage(std::span<const uint8_t> frame, std::span<const uint8_t, 4> address);
    void HandlePiece(std::span<const uint8_t> frame, int32_t size, uint16_t token,
                     std::span<const uint8_t, 4> address);

    PlayerTable& players_;
    Console& console_;
    GameMessageHandler handler_;
    // A copy of `frame` to hold, in a spare one where there is one.
    std::unique_ptr<HeldFrame> Hold(std::span<const uint8_t> frame, int32_t size);
    // Takes the record's pieces off it, as spares for the next ones.
    void ReleasePieces(PlayerRecord& record);

    std::array<uint8_t, kReassemblyBytes> reassembly_{};
    // Pieces released after a join, kept for the next two: holding a piece then allocates
    // nothing once the spares have had room for a frame of its length.
    std::array<std::unique_ptr<HeldFrame>, 2> spares_;
};

}  // namespace korvane
