#include "link/chat_sender.h"

#include <algorithm>

#include "capture/session_message.h"
#include "link/message_writer.h"
#include "platform/format.h"

namespace korvane {

namespace {
// A text as a zero-terminated buffer of `capacity` bytes holds it: up to its first zero byte,
// and at most capacity - 1 characters.
std::string_view FitBuffer(std::string_view text, size_t capacity) {
    text = text.substr(0, text.find('\0'));
    return text.substr(0, capacity - 1);
}
}  // namespace

std::span<const uint8_t> WriteChatMessage(std::span<uint8_t> buffer, uint32_t sender,
                                          uint32_t receiver, uint8_t field,
                                          std::string_view formatted) {
    formatted = formatted.substr(0, formatted.find('\0'));
    MessageWriter message(buffer, ChatMessage::kHeaderLength + formatted.size() + 1);
    message.GameHeader(sender, receiver, ChatMessage::kType);
    // 29 and 31 hold two u16 zeros; 34 a zero.
    message.U8(ChatMessage::kFieldOffset, field);
    message.U8(ChatMessage::kMarkerOffset, 1);
    message.Text(ChatMessage::kTextOffset, formatted);  // its terminator is the last byte
    return message.bytes();
}

std::vector<uint8_t> BuildChatMessage(uint32_t sender, uint32_t receiver, uint8_t field,
                                      std::string_view formatted) {
    formatted = formatted.substr(0, formatted.find('\0'));
    std::vector<uint8_t> message(ChatMessage::kHeaderLength + formatted.size() + 1);
    WriteChatMessage(message, sender, receiver, field, formatted);
    return message;
}

std::string_view ChatSender::FormatLineInto(std::span<char, kTextBytes> line, std::string_view text,
                                            bool alert) {
    size_t length = 0;
    for (std::string_view part :
         {std::string_view("("), kVersionText, alert ? std::string_view(") Alert: ") : ") ",
          FitBuffer(text, kTextBytes)}) {
        const size_t taken = std::min(part.size(), kTextBytes - 1 - length);
        std::copy_n(part.begin(), taken, line.begin() + static_cast<long>(length));
        length += taken;
    }
    line[length] = '\0';
    return std::string_view(line.data(), length);
}

std::string ChatSender::FormatLine(std::string_view text, bool alert) {
    std::array<char, kTextBytes> line;
    return std::string(FormatLineInto(line, text, alert));
}

bool ChatSender::KorvaneMessage(uint32_t sender, uint32_t receiver, uint8_t field,
                                std::string_view text, bool alert) {
    if (settings_.testMode || settings_.silent) {
        return false;
    }
    const std::string_view kept = FitBuffer(text, kTextBytes);
    if (remembered_ && lastText_ == kept && lastSender_ == sender && lastReceiver_ == receiver) {
        return false;
    }
    // Remembered before it is sent, so a line that then fails to go out is not tried again
    // by its next repeat either.
    remembered_ = true;
    lastText_.Set(kept);
    lastSender_ = sender;
    lastReceiver_ = receiver;

    const std::span<const uint8_t> message =
        WriteChatMessage(message_, sender, receiver, field, FormatLineInto(line_, text, alert));
    const Delivery delivery = link_.Deliver(kMaxResends, [&] {
        if (link_.SendMessage(message) == 0) {
            return 0;
        }
        log_.LogEvent(StringPrintf("Socket error in KorvaneMessage(): code=%d", link_.LastError()));
        return -1;
    });
    // When the link cannot be brought back the line is dropped as well; the link is down until
    // a later attempt.
    if (delivery == Delivery::gaveUp) {
        log_.LogEvent(
            StringPrintf("Warning: KorvaneMessage() gave up after %d resends; the line is dropped",
                         kMaxResends));
    }
    return delivery == Delivery::sent;
}

bool ChatSender::SendReply(uint32_t sender, std::string_view text, bool alert) {
    return KorvaneMessage(sender, SessionMessage::kHostId, 0, text, alert);
}

bool ChatSender::SendNotice(uint32_t receiver, std::string_view text) {
    return KorvaneMessage(SessionMessage::kHostId, receiver, ChatMessage::kVersionField, text,
                          false);
}

bool ChatSender::SendAlert(const PlayerRecord& record, std::string_view text) {
    return SendReply(record.playerId, text, true);
}

}  // namespace korvane
