#include "tools/session_builder.h"

#include <algorithm>
#include <stdexcept>

#include "tools/little_endian.h"

namespace korvane::tools {

namespace {

// A zeroed message of `size` bytes with its size word and token in place.
std::vector<uint8_t> NewMessage(size_t size) {
    if (size > 0xFFFF) {
        throw std::length_error("session message longer than 65535 bytes");
    }
    std::vector<uint8_t> message(size, 0);
    PutU16(message, 0, static_cast<uint32_t>(size));
    PutU16(message, 2, kSessionToken);
    return message;
}

}  // namespace

std::vector<uint8_t> BuildSystemMessage(uint16_t command, uint32_t playerId, uint16_t version,
                                        uint32_t word28, std::span<const uint8_t> extra) {
    std::vector<uint8_t> message = NewMessage(kSystemHeaderLength + extra.size());
    PutU32(message, 20, kPlaySignature);
    PutU16(message, 24, command);
    PutU16(message, 26, version);
    PutU32(message, 28, word28);
    PutU32(message, 32, playerId);
    std::copy(extra.begin(), extra.end(), message.begin() + kSystemHeaderLength);
    return message;
}

std::vector<uint8_t> BuildConnectMessage(uint32_t playerId) {
    return BuildSystemMessage(kCommandConnect, playerId);
}

std::vector<uint8_t> BuildCreationMessage(uint32_t playerId, std::u16string_view name) {
    std::vector<uint8_t> body(kCreationNameOffset - kSystemHeaderLength + 2 * (name.size() + 1), 0);
    size_t offset = kCreationNameOffset - kSystemHeaderLength;
    for (char16_t unit : name) {
        PutU16(body, offset, unit);
        offset += 2;
    }
    return BuildSystemMessage(kCommandCreatePlayer, playerId, 0, 0, body);
}

std::vector<uint8_t> BuildCreationMessage(uint32_t playerId, std::string_view name) {
    std::u16string wide;
    for (char c : name) {
        wide.push_back(static_cast<char16_t>(static_cast<uint8_t>(c)));
    }
    return BuildCreationMessage(playerId, std::u16string_view(wide));
}

std::vector<uint8_t> BuildDeletionMessage(uint32_t playerId) {
    std::vector<uint8_t> message =
        BuildSystemMessage(kCommandDeletePlayer, playerId, 13, 0, std::vector<uint8_t>(12, 0));
    PutU16(message, 4, 2);
    return message;
}

std::vector<uint8_t> BuildGameMessage(uint32_t sender, uint32_t receiver, uint8_t type,
                                      std::span<const uint8_t> content) {
    std::vector<uint8_t> message = NewMessage(kGameHeaderLength + content.size());
    PutU32(message, 20, sender);
    PutU32(message, 24, receiver);
    message[28] = type;
    std::copy(content.begin(), content.end(), message.begin() + kGameHeaderLength);
    return message;
}

std::vector<uint8_t> BuildChatMessage(uint32_t sender, uint32_t receiver, uint8_t field,
                                      std::string_view text) {
    // Content after the type byte: u16 0, u16 0, field, 0, 1, then the text and its zero.
    std::vector<uint8_t> content(kChatTextOffset - kGameHeaderLength + text.size() + 1, 0);
    content[4] = field;
    content[6] = 1;
    std::copy(text.begin(), text.end(), content.begin() + 7);
    return BuildGameMessage(sender, receiver, kGameTypeChat, content);
}

std::string ProgramChatText(std::string_view text, bool alert) {
    std::string formatted = "(";
    formatted += kProgramVersionText;
    formatted += alert ? ") Alert: " : ") ";
    formatted += text;
    return formatted;
}

}  // namespace korvane::tools
