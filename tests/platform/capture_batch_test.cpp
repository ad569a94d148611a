#include "platform/capture_batch.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "platform/capture_library.h"

namespace korvane {
namespace {

uint32_t U32At(const std::vector<uint8_t>& bytes, size_t at) {
    return bytes[at] | bytes[at + 1] << 8 | bytes[at + 2] << 16 |
           static_cast<uint32_t>(bytes[at + 3]) << 24;
}

// The records of a batch: "captured/wire" lengths, and each frame's first byte as its mark.
std::vector<std::string> Records(const std::vector<uint8_t>& buffer, size_t end) {
    std::vector<std::string> records;
    for (size_t at = 0; at < end;) {
        const uint32_t captured = U32At(buffer, at + 8);
        records.push_back(std::to_string(captured) + "/" + std::to_string(U32At(buffer, at + 12)) +
                          " " + static_cast<char>(buffer[at + kCaptureHeaderLength]));
        at = (at + kCaptureHeaderLength + captured + 3) & ~size_t{3};
    }
    return records;
}

// Frames offered to one batch, then what the next batch begins with. A record is a 20-byte
// header and the frame, padded to 4 bytes.
TEST(CaptureBatch, FillsWholeFramesAndHoldsTheOneThatDoesNotFit) {
    struct Frame {
        char mark;
        size_t length;
    };
    struct Case {
        const char* what;
        size_t bufferBytes;
        std::vector<Frame> frames;
        std::vector<bool> taken;  // what Take said of each
        std::vector<std::string> first;
        std::vector<std::string> next;
    };
    const std::vector<Case> cases = {
        {"room for both", 100, {{'a', 10}, {'b', 20}}, {true, true}, {"10/10 a", "20/20 b"}, {}},
        // 32 bytes for the first record, 40 for the second.
        {"exactly room for both",
         72,
         {{'a', 10}, {'b', 20}},
         {true, true},
         {"10/10 a", "20/20 b"},
         {}},
        {"the second held", 71, {{'a', 10}, {'b', 20}}, {true, false}, {"10/10 a"}, {"20/20 b"}},
        {"nothing taken while one is held",
         71,
         {{'a', 10}, {'b', 20}, {'c', 1}},
         {true, false, false},
         {"10/10 a"},
         {"20/20 b"}},
        {"a first frame cut to the buffer", 50, {{'a', 100}}, {true}, {"30/100 a"}, {}},
    };
    for (const Case& c : cases) {
        CaptureBatch batch;
        std::vector<uint8_t> buffer(c.bufferBytes, 0xEE);
        batch.Begin(buffer);
        std::vector<bool> taken;
        for (const Frame& f : c.frames) {
            const std::vector<uint8_t> frame(f.length, static_cast<uint8_t>(f.mark));
            taken.push_back(batch.Take(1, 2, frame, static_cast<uint32_t>(f.length)));
        }
        EXPECT_EQ(taken, c.taken) << c.what;
        EXPECT_EQ(batch.Holding(), !c.next.empty()) << c.what;
        EXPECT_LE(batch.End(), buffer.size()) << c.what;
        EXPECT_EQ(Records(buffer, batch.End()), c.first) << c.what;

        std::vector<uint8_t> next(c.bufferBytes, 0xEE);
        batch.Begin(next);
        EXPECT_FALSE(batch.Holding()) << c.what;
        EXPECT_EQ(Records(next, batch.End()), c.next) << c.what;
    }
}

}  // namespace
}  // namespace korvane
