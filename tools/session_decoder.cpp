#include "tools/session_decoder.h"

#include <cstdio>

#include "capture/byte_reader.h"
#include "tools/session_builder.h"

namespace korvane::tools {

namespace {

constexpr size_t kDumpLimit = 48;

std::string Hex8(uint32_t value) {
    char text[16];
    std::snprintf(text, sizeof text, "%08x", value);
    return text;
}

std::string GenericLine(const ByteReader& message) {
    char head[64];
    std::snprintf(head, sizeof head,
                  "message size=%d token=%04x:", static_cast<int16_t>(message.U16(0)),
                  message.U16(2));
    std::string line = head;
    size_t shown = message.size() < kDumpLimit ? message.size() : kDumpLimit;
    for (uint8_t byte : message.Bytes(0, shown)) {
        char hex[4];
        std::snprintf(hex, sizeof hex, " %02x", byte);
        line += hex;
    }
    if (shown < message.size()) {
        line += " ...";
    }
    return line;
}

// The bytes from `offset` up to the first zero or the end of the message.
std::span<const uint8_t> TextAt(const ByteReader& message, size_t offset) {
    auto rest = message.Rest(offset);
    size_t length = 0;
    while (length < rest.size() && rest[length] != 0) {
        ++length;
    }
    return rest.first(length);
}

std::vector<uint8_t> NameAt(const ByteReader& message, size_t offset) {
    std::vector<uint8_t> name;
    for (size_t at = offset; message.Has(at, 2); at += 2) {
        uint8_t low = message.U8(at);
        if (low == 0) {
            break;
        }
        name.push_back(low);
    }
    return name;
}

}  // namespace

std::string PrintableText(std::span<const uint8_t> text) {
    std::string out;
    out.reserve(text.size());
    for (uint8_t byte : text) {
        out.push_back(byte >= 0x20 && byte <= 0x7E ? static_cast<char>(byte) : '?');
    }
    return out;
}

std::string DescribeMessage(std::span<const uint8_t> bytes) {
    ByteReader message(bytes);
    if (message.Has(20, 4) && message.U32(20) == kPlaySignature) {
        if (message.Has(24, 2)) {
            uint16_t command = message.U16(24);
            if (command == kCommandDeletePlayer && message.Has(32, 4)) {
                return "delete player " + Hex8(message.U32(32));
            }
            if (command == kCommandCreatePlayer && message.size() >= kCreationNameOffset) {
                return "create player " + Hex8(message.U32(32)) + " \"" +
                       PrintableText(NameAt(message, kCreationNameOffset)) + "\"";
            }
        }
    } else if (message.size() >= kChatTextOffset && message.U8(28) == kGameTypeChat) {
        char head[64];
        std::snprintf(head, sizeof head, "chat %08x -> %08x [%u]: ", message.U32(20),
                      message.U32(24), static_cast<unsigned>(message.U8(33)));
        return head + PrintableText(TextAt(message, kChatTextOffset));
    }
    return GenericLine(message);
}

void SessionStreamDecoder::Append(std::span<const uint8_t> bytes) {
    if (start_ > 0 && start_ == buffer_.size()) {
        buffer_.clear();
        start_ = 0;
    }
    buffer_.insert(buffer_.end(), bytes.begin(), bytes.end());
}

std::optional<SessionStreamDecoder::Entry> SessionStreamDecoder::Next() {
    ByteReader pending(std::span<const uint8_t>(buffer_).subspan(start_));
    if (!pending.Has(0, 4)) {
        return std::nullopt;
    }
    int size = static_cast<int16_t>(pending.U16(0));
    uint16_t token = pending.U16(2);
    if (size < 4 || token != kSessionToken) {
        char line[64];
        std::snprintf(line, sizeof line, "bad message header (size=%d token=%04x)", size, token);
        buffer_.clear();
        start_ = 0;
        return Entry{line, false};
    }
    auto length = static_cast<size_t>(size);
    if (!pending.Has(0, length)) {
        return std::nullopt;
    }
    Entry entry{DescribeMessage(pending.Bytes(0, length)), true};
    start_ += length;
    if (start_ == buffer_.size()) {
        buffer_.clear();
        start_ = 0;
    } else if (start_ > 65536) {
        buffer_.erase(buffer_.begin(), buffer_.begin() + static_cast<long>(start_));
        start_ = 0;
    }
    return entry;
}

std::vector<SessionStreamDecoder::Entry> SessionStreamDecoder::Feed(
    std::span<const uint8_t> bytes) {
    Append(bytes);
    std::vector<Entry> entries;
    while (auto entry = Next()) {
        entries.push_back(std::move(entry.value()));
    }
    return entries;
}

}  // namespace korvane::tools
