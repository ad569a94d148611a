#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "tools/frame_builder.h"
#include "tools/pcap_file_writer.h"

namespace korvane::tools {

// A capture scenario: a text file, one event per line, that korvane-mkcap turns into a capture
// file. Blank lines and lines starting with '#' are skipped.
//
//   base <seconds>[.<fraction>]
//   at <time> <a.b.c.d:port> > <a.b.c.d:port> <kind> [option ...]
//   include <file>                            the lines of another scenario (relative to this
//                                             file's directory), as if they stood here
//
// "${name}" anywhere in a line stands for the value of a variable given to the reader
// (korvane-mkcap --set name=value); a name that is not given is an error.
//
// <time> is seconds since 1970 with an optional decimal fraction of up to six digits, or
// +<seconds>[.<fraction>] after the latest base line. Times never go backwards. An upload line
// becomes one event per message, all with the line's number.
// Kinds and their options (ids and player numbers in hexadecimal, with or without 0x):
//   connect [id=<hex>]                        system message command 1 (36 bytes)
//   create id=<hex> name=<rest of line>       system message command 8, UTF-16LE name at 96
//   delete id=<hex>                           player deletion (command 11), 48 bytes
//   chat sender=<hex> receiver=<hex> [field=<n>] text=<rest of line>
//   game sender=<hex> receiver=<hex> type=<n> [hex=<content bytes>] [pad=<n>]
//   raw hex=<payload bytes> [pad=<n>]        pad= adds n zero bytes after those of hex=
//   syn                                       a bare SYN without payload (flags SYN alone,
//                                             acknowledgement 0)
//   synack                                    SYN|ACK without payload, written from the server's
//                                             end (the line's source) to the client
//   ack                                       a bare ACK
//   rst                                       RST|ACK
//   fin                                       FIN|ACK
//   info sender=<hex> text=<rest of line>     player information (game message type 10)
//   stock sender=<hex> chassis=<hex>          stock mech selection (type 17)
//   random seed=<n> [maxbytes=<n>] [framed]   seeded random payload bytes, 1 to maxbytes
//       (default 200) of them; framed: a game message to the host with a true size word, the
//       token and receiver 1, its sender, type and content random (29 to maxbytes bytes)
//   upload sender=<hex> seq=<n> chassis=<hex> [components=<id>[:<length>],...] [pieces=<n>]
//          [piecebytes=<n>] [order=<i>,<j>,...] [size=<n>] [deferreset] name=<rest of line>
//       a variant container (see variant_builder.h) sent in pieces, types 4, 5..., 6, one
//       segment per message, 1 ms apart from the event's time; numbers in decimal. pieces= cuts
//       the container into that many near-equal pieces, piecebytes= (default 1000) into pieces
//       of that many bytes; order= sends the messages in that order of their indices (0 is the
//       type 4 message), a permutation of all of them; size= makes the container that long;
//       deferreset keeps the compressed sections free of resets when the dictionary is full.
// info, stock and upload messages go to the host, player 1.
// The kinds without payload carry no message; a SYN and a FIN each count one sequence number.
// Options for every kind: split=<n> (two segments, the first with n payload bytes, the second
// 1 ms later with the rest), reverse (with split: the second piece is written first), tsopt
// (the 12-byte NOP,NOP,timestamp TCP option on every segment of the event); upload takes tsopt
// and split=<n>, not reverse: each of its messages longer than n bytes goes in two segments, the
// second 1 ms after the first, and the messages are then 2 ms apart. name= and text= take the
// rest of the line verbatim, so they come last. An event spans its segments' times; the next
// event may not come before the last of them.
// TCP header options for every kind (an upload's on each of its messages), numbers in decimal:
//   ack=<hex>         this acknowledgement number instead of the automatic one (a spoofer's
//                     guess); on a syn the field is written, the flags stay SYN alone
//   seqshift=<n>      the segments are written with their sequence numbers moved by n (modulo
//                     2^32: -4294967295 to 4294967295, so -100 and 4294967196 are the same),
//                     the flow's numbering going on as if they were not moved
//   window=<n>        the advertised window, 0 to 65535 (default 64240)
//   wscale=<n>        on a syn or synack: a NOP and the window scale option (kind 3, length 3,
//                     shift n, 0 to 255) after the timestamp option, if any
// Checksum and fragment options, for every kind; segment numbers as for the segment options
// below (a kind without payload, a random line and a repeated line have the one segment 0):
//   badsum=<i>,...    segment i is written with a wrong TCP checksum (the true one plus one)
//   pseudosum         every segment in the pseudo-header form of checksum offload (the folded
//                     sum of the pseudo header alone, not inverted); segments of badsum= stay
//                     wrong
//   decoy=<i>,...     right before segment i is first written, a copy of it whose payload bytes
//                     are each inverted and whose TCP checksum is wrong; not on kinds without
//                     payload
//   frag=<i>:<n>[:reverse|:first|:overlap],...  segment i travels as two IPv4 fragments, the
//                     first with n bytes of its IP payload (TCP header and payload; n a multiple
//                     of 8, fewer than those), More Fragments set, the second with the rest;
//                     reverse writes the second first, first writes the first alone (a datagram
//                     never completed), overlap makes the second start 8 bytes before the
//                     first one's end (n at least 16). Fragments keep the datagram's
//                     identification, never 0 for them
// With any of these four a line's frames are written 1 ms apart from its time in the order
// written (fragments each a frame), as with the segment options; split= and reverse still cut
// and order the segments. On a repeated line a copy stays one frame: badsum=, pseudosum and
// frag= in the :first form only. with goes with none of the options of these two lists.
// Segment options, for every kind that carries a message (not the kinds without payload, random
// or repeat=), the upload's messages counted as one stream of bytes; segment numbers count the
// segments as they are cut (after skip=), from 0 in the order of their bytes; numbers in decimal:
//   coalesce          all of the event's messages in one segment (not with split= or mss=)
//   mss=<n>           the stream cut into segments of at most n payload bytes
//   with              the line's first segment travels in the previous line's last one, written
//                     at this line's time: the previous line's bytes waited for this line's (as
//                     Nagle's algorithm makes them). Both lines on one flow; the previous line's
//                     last segment written must be the end of its bytes, this line's first the
//                     start of its own
//   segorder=<i>,...  the segments are written in this order, a permutation of all of them
//   retransmit=<i>[:other],...  segment i is written again after the segment written after it
//                     (right after it when it is the last); with :other the copy carries other
//                     bytes of the same length (each byte inverted)
//   lose=<i>,...      segment i is never written (a frame the capture lost)
//   skip=<n>          the first n bytes of the stream are never written (the capture starts
//                     inside a message); fewer than the stream holds
// Without coalesce or mss= the stream is cut as without these options: one segment per message,
// split= cutting each (reverse does not go with them). Sequence numbers stay true, counting
// lost and skipped bytes; the event's frames are written 1 ms apart from its time, in the order
// written.
// How the payloads of a `random` line are drawn.
struct RandomPayload {
    uint64_t seed = 0;
    size_t maxBytes = 200;
    bool framed = false;
};

// How the two IPv4 fragments of a segment are written (frag=): both in order, the second first,
// the first alone, or both with the second overlapping the first by 8 bytes.
enum class FragmentForm { inOrder, reverse, first, overlap };

// One segment an event writes: its bytes are the event's payload from `offset`, which the
// sequence number counts from the event's first byte.
struct ScenarioSegment {
    uint64_t micros = 0;
    size_t offset = 0;
    size_t length = 0;
    bool otherBytes = false;  // each byte inverted: a retransmission whose bytes differ
    TcpChecksum checksum = TcpChecksum::correct;
    // Nonzero: the segment travels as IPv4 fragments, the first with this many bytes of IP
    // payload, written as `fragmentForm` says, 1 ms apart from `micros`.
    size_t fragmentBytes = 0;
    FragmentForm fragmentForm = FragmentForm::inOrder;

    bool operator==(const ScenarioSegment&) const = default;
};

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
    // The TCP flags of a kind without payload (syn, synack, ack, rst, fin); 0 for the others.
    uint8_t flags = 0;
    std::optional<uint32_t> acknowledgement;  // ack=
    uint32_t sequenceShift = 0;               // seqshift=, modulo 2^32
    uint16_t window = 64240;
    std::optional<uint8_t> windowScale;
    // Repetition: 0 for a single event, else the number of copies (repeat=, over=, spread=,
    // ports=, step=; on a synack line spread= and ports= count the destination, the client's
    // end, up instead of the source).
    uint64_t repeat = 0;
    uint64_t overMicros = 0;
    uint32_t spread = 1;
    uint32_t ports = 1;
    std::optional<size_t> step;
    size_t ahead = 0;                     // bytes left out before each copy's own (ahead=)
    std::optional<RandomPayload> random;  // payloads drawn per copy
    // With the segment options: the frames written, in order; `payload` is the whole stream
    // (every message of an upload), and split and reverse are not used.
    std::optional<std::vector<ScenarioSegment>> segments;
};

struct Scenario {
    std::vector<ScenarioEvent> events;
};

// A scenario that cannot be read; what() is "<file>:<line>: <what>" (or "<file>: <what>").
class ScenarioError : public std::runtime_error {
  public:
    using std::runtime_error::runtime_error;
};

// Values for "${name}" in a scenario's lines.
using ScenarioVariables = std::map<std::string, std::string, std::less<>>;

Scenario ParseScenario(std::string_view text, const std::string& fileName,
                       const ScenarioVariables& variables = {});
Scenario LoadScenario(const std::string& path, const ScenarioVariables& variables = {});

struct TimedFrame {
    uint32_t seconds = 0;
    uint32_t micros = 0;
    std::vector<uint8_t> bytes;
};

// The frames of a scenario in the order they are written: by time, the copies of a repeated
// line after the frames of other lines at the same time. Each flow (source, destination)
// starts at its own fixed sequence number and counts up by the payload bytes (a SYN or FIN
// counts one); the acknowledgement number is the next sequence number of the opposite flow. The
// output depends on the scenario alone. The first form hands them over one by one, so that
// millions of frames need not be held at once.
void ForEachScenarioFrame(const Scenario& scenario,
                          const std::function<void(const TimedFrame&)>& take);
std::vector<TimedFrame> ScenarioFrames(const Scenario& scenario);

// Writes the frames to `path` through a temporary file beside it, so on failure nothing is
// left half written (an older file at `path` stays as it was). False with `error` filled.
bool WriteCaptureFile(const std::vector<TimedFrame>& frames, const std::string& path,
                      PcapFileWriter::Format format, std::string& error);
// The same for the frames of a scenario, written as they are made; `frames` counts them.
bool WriteScenarioCapture(const Scenario& scenario, const std::string& path,
                          PcapFileWriter::Format format, std::string& error,
                          uint64_t* frames = nullptr);
// The same for the scenario file at `scenarioPath`, read one line at a time and its frames
// written as each line is read, so that a long scenario (a stream from a pipe) is never held
// whole. A scenario error leaves nothing written; `error` then says it as ScenarioError does.
bool WriteScenarioFileCapture(const std::string& scenarioPath, const ScenarioVariables& variables,
                              const std::string& path, PcapFileWriter::Format format,
                              std::string& error, uint64_t* frames = nullptr);

}  // namespace korvane::tools
