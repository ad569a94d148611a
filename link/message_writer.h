#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <span>
#include <stdexcept>
#include <string_view>
#include <vector>

#include "capture/session_message.h"

namespace korvane {

// Builds one session message as the program writes it onto the server link: a zeroed message
// of a fixed size (its own, or in a caller's buffer) with its size word and token in place, into
// which the fields are put. Every
// write is checked against the message's end; values are little-endian.
class MessageWriter {
  public:
    // Longest message the size word, read as a signed 16-bit number, can describe.
    static constexpr size_t kMaxSize = 0x7FFF;

    explicit MessageWriter(size_t size) : owned_(size, 0), bytes_(owned_) { Start(); }
    // Writes the message into the first `size` bytes of `buffer`, allocating nothing.
    MessageWriter(std::span<uint8_t> buffer, size_t size)
        : bytes_(buffer.first(std::min(size, buffer.size()))) {
        if (size > buffer.size()) {
            throw std::length_error("session message larger than its buffer");
        }
        std::fill(bytes_.begin(), bytes_.end(), uint8_t{0});
        Start();
    }
    // Fields point into the buffer.
    MessageWriter(const MessageWriter&) = delete;
    MessageWriter& operator=(const MessageWriter&) = delete;

    void U8(size_t offset, uint8_t value) { At(offset, 1)[0] = value; }
    void U16(size_t offset, uint16_t value) {
        std::span<uint8_t> out = At(offset, 2);
        out[0] = static_cast<uint8_t>(value);
        out[1] = static_cast<uint8_t>(value >> 8);
    }
    void U32(size_t offset, uint32_t value) {
        U16(offset, static_cast<uint16_t>(value));
        U16(offset + 2, static_cast<uint16_t>(value >> 16));
    }
    // The text's bytes followed by a zero.
    void Text(size_t offset, std::string_view text) {
        std::span<uint8_t> out = At(offset, text.size() + 1);
        std::copy(text.begin(), text.end(), out.begin());
        out[text.size()] = 0;
    }

    // A game message's sender, receiver and type.
    void GameHeader(uint32_t sender, uint32_t receiver, uint8_t type) {
        U32(SessionMessage::kSenderOffset, sender);
        U32(SessionMessage::kReceiverOffset, receiver);
        U8(SessionMessage::kTypeOffset, type);
    }
    // A system message's signature, command and version.
    void SystemHeader(uint16_t command, uint16_t version) {
        U32(SessionMessage::kSignatureOffset, SessionMessage::kPlaySignature);
        U16(SessionMessage::kCommandOffset, command);
        U16(SessionMessage::kVersionOffset, version);
    }

    // The message made with a size of its own; bytes() is then empty.
    std::vector<uint8_t> Take() {
        bytes_ = {};
        return std::move(owned_);
    }
    std::span<const uint8_t> bytes() const { return bytes_; }

  private:
    void Start() {
        if (bytes_.size() < SessionMessage::kSignatureOffset + 4 || bytes_.size() > kMaxSize) {
            throw std::length_error("session message size out of range");
        }
        U16(SessionMessage::kSizeOffset, static_cast<uint16_t>(bytes_.size()));
        U16(SessionMessage::kTokenOffset, SessionMessage::kToken);
    }

    std::span<uint8_t> At(size_t offset, size_t width) {
        if (offset > bytes_.size() || width > bytes_.size() - offset) {
            throw std::out_of_range("write past the end of a session message");
        }
        return bytes_.subspan(offset, width);
    }

    std::vector<uint8_t> owned_;  // empty when writing into a caller's buffer
    std::span<uint8_t> bytes_;
};

}  // namespace korvane
