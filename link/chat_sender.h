#pragma once

#include <array>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "app/event_log.h"
#include "app/run_settings.h"
#include "capture/fixed_text.h"
#include "capture/player_record.h"
#include "link/server_link.h"

namespace korvane {

// The layout of a chat line as the program writes it: a game message of type 27 whose 36-byte
// header is followed by the formatted text and its terminator.
struct ChatMessage {
    static constexpr uint8_t kType = 27;
    static constexpr size_t kHeaderLength = 36;
    static constexpr size_t kFieldOffset = 33;
    static constexpr uint8_t kVersionField = 7;  // greeting and version lines; 0 otherwise
    static constexpr size_t kMarkerOffset = 35;  // always 1
    static constexpr size_t kTextOffset = 36;
};

// The bytes of one chat line carrying `formatted` (cut at its first zero byte, if any).
std::vector<uint8_t> BuildChatMessage(uint32_t sender, uint32_t receiver, uint8_t field,
                                      std::string_view formatted);
// The same written into `buffer`, which must hold them; the message's bytes there.
std::span<const uint8_t> WriteChatMessage(std::span<uint8_t> buffer, uint32_t sender,
                                          uint32_t receiver, uint8_t field,
                                          std::string_view formatted);

// Says everything the program says to players: each line goes out as a chat message on the
// server link, with the program's version in front. An immediate repeat of the same line
// between the same two ids is not sent again, and a send that fails is followed by a
// reconnection and a resend.
class ChatSender {
  public:
    // Put in parentheses before every line; it ends in a blank.
    static constexpr std::string_view kVersionText = "2.1 (beta.1) Feb 10 2004 14:49:49 ";
    // The formatted line and the remembered text live in buffers of this size, terminator
    // included; longer texts are cut to fit.
    static constexpr size_t kTextBytes = 256;
    // Resends of one line on a link that keeps accepting connections but fails every send;
    // then the line is given up.
    static constexpr int kMaxResends = 3;

    ChatSender(ServerLink& link, EventLog& log, const RunSettings& settings)
        : link_(link), log_(log), settings_(settings) {}

    // Sends `text` from `sender` to `receiver`; `field` is the byte the game reads at 33 (7 for
    // greeting and version lines, 0 otherwise). With `alert` the line reads "Alert: ..." after
    // the version. Nothing goes out, and nothing is remembered, in test or silent mode. True
    // when the line went out now; false in those modes, for a repeat and when it failed.
    bool KorvaneMessage(uint32_t sender, uint32_t receiver, uint8_t field, std::string_view text,
                        bool alert);
    // A line on a player's behalf, addressed to the host: reports, answers and alerts.
    bool SendReply(uint32_t sender, std::string_view text, bool alert = false);
    // A line from the host to a player with 7 in the field: the greeting and version lines.
    bool SendNotice(uint32_t receiver, std::string_view text);
    // An alert on the player's behalf: the kick and reason lines.
    bool SendAlert(const PlayerRecord& record, std::string_view text);
    // Forgets the last line, so that the next one is sent even if it is the same.
    void ForgetLastMessage() { remembered_ = false; }

    // "(<version>) <text>", or "(<version>) Alert: <text>", cut to fit its buffer.
    static std::string FormatLine(std::string_view text, bool alert);
    // The same formatted into `line`; the text there, without its terminator.
    static std::string_view FormatLineInto(std::span<char, kTextBytes> line, std::string_view text,
                                           bool alert);

  private:
    ServerLink& link_;
    EventLog& log_;
    const RunSettings& settings_;
    // The last line, cut to fit its buffer, and its ids; not remembered: every line is new.
    // A line is formatted and written in buffers of the sender's own, so sending allocates
    // nothing.
    bool remembered_ = false;
    FixedText<kTextBytes> lastText_;
    uint32_t lastSender_ = 0;
    uint32_t lastReceiver_ = 0;
    std::array<char, kTextBytes> line_{};
    std::array<uint8_t, ChatMessage::kHeaderLength + kTextBytes> message_{};
};

}  // namespace korvane
