#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "tools/frame_builder.h"
#include "tools/pcap_file_writer.h"

namespace korvane::tools {

// A capture scenario: a text file, one event per line, that korvane-mkcap turns into a capture
// file. Blank lines and lines starting with '#' are skipped.
//
//   base <seconds>[.<fraction>]
//   at <time> <a.b.c.d:port> > <a.b.c.d:port> <kind> [option ...]
//
// <time> is seconds since 1970 with an optional decimal fraction of up to six digits, or
// +<seconds>[.<fraction>] after the latest base line. Times never go backwards. An upload line
// becomes one event per message, all with the line's number.
// Kinds and their options (ids and player numbers in hexadecimal, with or without 0x):
//   connect [id=<hex>]                        system message command 1 (36 bytes)
//   create id=<hex> name=<rest of line>       system message command 8, UTF-16LE name at 96
//   delete id=<hex>                           player deletion (command 11), 48 bytes
//   chat sender=<hex> receiver=<hex> [field=<n>] text=<rest of line>
//   game sender=<hex> receiver=<hex> type=<n> [hex=<content bytes>]
//   raw hex=<payload bytes>
//   syn                                       a bare SYN without payload
//   info sender=<hex> text=<rest of line>     player information (game message type 10)
//   stock sender=<hex> chassis=<hex>          stock mech selection (type 17)
//   upload sender=<hex> seq=<n> chassis=<hex> [components=<id>[:<length>],...] [pieces=<n>]
//          [piecebytes=<n>] [order=<i>,<j>,...] [size=<n>] [deferreset] name=<rest of line>
//       a variant container (see variant_builder.h) sent in pieces, types 4, 5..., 6, one
//       segment per message, 1 ms apart from the event's time; numbers in decimal. pieces= cuts
//       the container into that many near-equal pieces, piecebytes= (default 1000) into pieces
//       of that many bytes; order= sends the messages in that order of their indices (0 is the
//       type 4 message), a permutation of all of them; size= makes the container that long;
//       deferreset keeps the compressed sections free of resets when the dictionary is full.
// info, stock and upload messages go to the host, player 1.
// Options for every kind: split=<n> (two segments, the first with n payload bytes, the second
// 1 ms later with the rest), reverse (with split: the second piece is written first), tsopt
// (the 12-byte NOP,NOP,timestamp TCP option on every segment of the event); upload takes tsopt
// and split=<n>, not reverse: each of its messages longer than n bytes goes in two segments, the
// second 1 ms after the first, and the messages are then 2 ms apart. name= and text= take the
// rest of the line verbatim, so they come last. An event spans its segments' times; the next
// event may not come before the last of them.
struct ScenarioEvent {
    int line = 0;
    uint64_t micros = 0;  // since 1970
    Endpoint source;
    Endpoint destination;
    std::string kind;
    std::vector<uint8_t> payload;
    size_t split = 0;  // 0: one segment
    bool reverse = false;
    bool tsopt = false;
    bool syn = false;
};

struct Scenario {
    std::vector<ScenarioEvent> events;
};

// A scenario that cannot be read; what() is "<file>:<line>: <what>" (or "<file>: <what>").
class ScenarioError : public std::runtime_error {
  public:
    using std::runtime_error::runtime_error;
};

// Reads a scenario one line at a time, so that a long one need not be held whole.
class ScenarioReader {
  public:
    explicit ScenarioReader(std::string fileName) : fileName_(std::move(fileName)) {}

    // Appends the events of the next line (none for a blank line, a comment or a base line).
    // Throws ScenarioError.
    void ReadLine(std::string_view line, std::vector<ScenarioEvent>& events);

  private:
    std::string fileName_;
    std::optional<uint64_t> base_;
    uint64_t latest_ = 0;  // time of the latest frame so far
    int lineNumber_ = 0;
};

Scenario ParseScenario(std::string_view text, const std::string& fileName);
Scenario LoadScenario(const std::string& path);

struct TimedFrame {
    uint32_t seconds = 0;
    uint32_t micros = 0;
    std::vector<uint8_t> bytes;
};

// Turns events into frames in the order they are written. Each flow (source, destination)
// starts at its own fixed sequence number and counts up by the payload bytes (a SYN counts
// one); the acknowledgement number is the next sequence number of the opposite flow. The
// output depends on the events alone.
class FrameMaker {
  public:
    // Appends the frames of the next event.
    void Add(const ScenarioEvent& event, std::vector<TimedFrame>& frames);

  private:
    uint32_t& SequenceOf(const Endpoint& source, const Endpoint& destination);

    std::map<std::pair<Endpoint, Endpoint>, uint32_t> nextSequence_;
    std::map<uint32_t, uint16_t> nextIdentification_;  // per source address
    uint32_t flowsSeen_ = 0;
};

// The frames of a whole scenario.
std::vector<TimedFrame> ScenarioFrames(const Scenario& scenario);

// Writes the frames to `path` through a temporary file beside it, so on failure nothing is
// left half written (an older file at `path` stays as it was). False with `error` filled.
bool WriteCaptureFile(const std::vector<TimedFrame>& frames, const std::string& path,
                      PcapFileWriter::Format format, std::string& error);

// Reads a scenario file line by line and writes its frames to `path` as they come, the same
// way; holds no more than one line's frames. False with `error` filled (a scenario error as
// "<file>:<line>: <what>"); `frames` is the number of frames written.
bool WriteScenarioCapture(const std::string& scenarioPath, const std::string& path,
                          PcapFileWriter::Format format, std::string& error, size_t& frames);

}  // namespace korvane::tools
