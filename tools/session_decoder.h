#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

namespace korvane::tools {

// One text line for one whole session message (the bytes of exactly one message):
//   chat %08x -> %08x [%u]: <text>       game message type 27 (sender, receiver, field at 33,
//                                        text from 36 up to its zero)
//   delete player %08x                   system command 11 (id at 32)
//   create player %08x "<name>"          system command 8 (id at 32, low bytes of the UTF-16
//                                        name at 96 up to the first unit whose low byte is 0)
//   message size=%d token=%04x: <hex>    anything else, at most 48 bytes dumped, " ..." after
//                                        a longer message
// Texts show every byte outside printable ASCII as '?'.
std::string DescribeMessage(std::span<const uint8_t> message);

// Bytes of text as printable ASCII: anything below 0x20 or above 0x7E becomes '?'.
std::string PrintableText(std::span<const uint8_t> text);

// Splits the bytes of one TCP stream, arriving in chunks of any size, into session messages by
// their size word, and describes each. A size word below 4 (read as a signed 16-bit number, as
// the program reads it) or a token other than 0xFAB0 means the stream is out of step: that
// gives the line "bad message header (size=%d token=%04x)" and every byte buffered at that
// moment is discarded, so decoding starts afresh with the next bytes that arrive.
class SessionStreamDecoder {
  public:
    struct Entry {
        std::string line;
        bool wholeMessage = false;  // false for a bad header
    };

    void Append(std::span<const uint8_t> bytes);
    // The next message or bad header among the buffered bytes; nothing while the next message
    // is still incomplete.
    std::optional<Entry> Next();
    // Append, then every entry that is complete.
    std::vector<Entry> Feed(std::span<const uint8_t> bytes);

    size_t buffered() const { return buffer_.size() - start_; }

  private:
    std::vector<uint8_t> buffer_;
    size_t start_ = 0;  // bytes of buffer_ already taken
};

}  // namespace korvane::tools
