#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "capture/session_message.h"

namespace korvane::tools {

// Session messages of the game, byte for byte. All values little-endian. Every message starts
// with u16 size (the whole message), u16 token 0xFAB0 and a 16-byte address block; a system
// message then has the bytes "play" at 20, a game message the sender's player id.
inline constexpr uint16_t kSessionToken = SessionMessage::kToken;
inline constexpr uint32_t kPlaySignature = SessionMessage::kPlaySignature;
inline constexpr size_t kSystemHeaderLength = 36;
inline constexpr size_t kGameHeaderLength = SessionMessage::kContentOffset;
inline constexpr size_t kCreationNameOffset = SessionMessage::kNameOffset;
inline constexpr size_t kChatTextOffset = 36;

inline constexpr uint16_t kCommandConnect = SessionMessage::kCommandConnect;
inline constexpr uint16_t kCommandCreatePlayer = SessionMessage::kCommandCreatePlayer;
inline constexpr uint16_t kCommandDeletePlayer = SessionMessage::kCommandDeletePlayer;
inline constexpr uint8_t kGameTypeChat = 27;

// The program's version text, which it puts in parentheses before every chat line.
inline constexpr std::string_view kProgramVersionText = "2.1 (beta.1) Feb 10 2004 14:49:49 ";

// A system message of 36 bytes plus `extra` (which starts at offset 36): size, token, zero
// address block, "play", command at 24, version at 26, `word28` at 28, player id at 32.
// Throws std::length_error when the message would not fit its 16-bit size word.
std::vector<uint8_t> BuildSystemMessage(uint16_t command, uint32_t playerId, uint16_t version = 0,
                                        uint32_t word28 = 0, std::span<const uint8_t> extra = {});

// The "connect" system message whose command word 1 at offset 24 reveals the server's port.
std::vector<uint8_t> BuildConnectMessage(uint32_t playerId = 0);

// Player creation (command 8): the name in UTF-16LE with a zero unit at offset 96. The 8-bit
// form turns each byte into one unit.
std::vector<uint8_t> BuildCreationMessage(uint32_t playerId, std::u16string_view name);
std::vector<uint8_t> BuildCreationMessage(uint32_t playerId, std::string_view name);

// Player deletion exactly as the program writes it: 48 bytes, u16 2 at the start of the
// address block, "play", command 11, version 13, the player id at 32.
std::vector<uint8_t> BuildDeletionMessage(uint32_t playerId);

// A game message: sender at 20, receiver at 24, type at 28, then `content`.
std::vector<uint8_t> BuildGameMessage(uint32_t sender, uint32_t receiver, uint8_t type,
                                      std::span<const uint8_t> content = {});

// A chat line exactly as the program writes it: 36-byte header (type 27, u16 0, u16 0,
// `field` at 33, 0, 1) then `text` and its terminator. `text` is put in as given.
std::vector<uint8_t> BuildChatMessage(uint32_t sender, uint32_t receiver, uint8_t field,
                                      std::string_view text);

// The text of a chat line the program sends: "(<version>) <text>", with "Alert: " after the
// parenthesis for an alert.
std::string ProgramChatText(std::string_view text, bool alert = false);

}  // namespace korvane::tools
