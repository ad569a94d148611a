#include "link/chat_sender.h"

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

std::vector<uint8_t> BuildChatMessage(uint32_t sender, uint32_t receiver, uint8_t field,
                                      std::string_view formatted) {
    formatted = formatted.substr(0, formatted.find('\0'));
    MessageWriter message(ChatMessage::kHeaderLength + formatted.size() + 1);
    message.GameHeader(sender, receiver, ChatMessage::kType);
    // 29 and 31 hold two u16 zeros; 34 a zero.
    message.U8(ChatMessage::kFieldOffset, field);
    message.U8(ChatMessage::kMarkerOffset, 1);
    message.Text(ChatMessage::kTextOffset, formatted);  // its terminator is the last byte
    return message.Take();
}

std::string ChatSender::FormatLine(std::string_view text, bool alert) {
    std::string line = "(";
    line += kVersionText;
    line += alert ? ") Alert: " : ") ";
    line += FitBuffer(text, kTextBytes);
    return std::string(FitBuffer(line, kTextBytes));
}

void ChatSender::KorvaneMessage(uint32_t sender, uint32_t receiver, uint8_t field,
                                std::string_view text, bool alert) {
    if (settings_.testMode || settings_.silent) {
        return;
    }
    const std::string_view kept = FitBuffer(text, kTextBytes);
    if (last_ && last_->text == kept && last_->sender == sender && last_->receiver == receiver) {
        return;
    }
    // Remembered before it is sent, so a line that then fails to go out is not tried again
    // by its next repeat either.
    last_ = LastLine{std::string(kept), sender, receiver};

    const std::vector<uint8_t> message =
        BuildChatMessage(sender, receiver, field, FormatLine(text, alert));
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
}

void ChatSender::SendReply(uint32_t sender, std::string_view text, bool alert) {
    KorvaneMessage(sender, SessionMessage::kHostId, 0, text, alert);
}

void ChatSender::SendNotice(uint32_t receiver, std::string_view text) {
    KorvaneMessage(SessionMessage::kHostId, receiver, ChatMessage::kVersionField, text, false);
}

void ChatSender::SendAlert(const PlayerRecord& record, std::string_view text) {
    SendReply(record.playerId, text, true);
}

}  // namespace korvane
