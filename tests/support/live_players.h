#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <regex>
#include <string>
#include <vector>

namespace korvane::testing {

// Waits until the file holds `text`; false after `limit`.
bool WaitForText(const std::filesystem::path& file, const std::string& text,
                 std::chrono::milliseconds limit);

// Waits until `pattern` matches `count` lines of the file; false after `limit`.
bool WaitForLines(const std::filesystem::path& file, const std::regex& pattern, size_t count,
                  std::chrono::milliseconds limit);

// The local calendar text of a time without its year, as a log line's stamp shows it.
inline const std::string kStampPattern =
    "[A-Z][a-z]{2} [A-Z][a-z]{2} [0-9]{2} [0-9]{2}:[0-9]{2}:[0-9]{2}";

// Whether a console line is a log line: it begins with a stamp and ": ".
bool IsLogLine(const std::string& line);

// A log line without its time stamp ("%.19s: ").
std::string WithoutStamp(const std::string& line);

// A player of the live tests: a TCP connection to the server at 127.0.0.1 from its own
// loopback address, on which every send goes out at once (no Nagle delay) as a segment of its
// own. A `maxSegment` other than 0 is the connection's segment size: set as its TCP_MAXSEG
// before it connects, and the player writes longer bytes in sends of at most that size less
// the 12 bytes of the time stamp option, each a segment, as TCP cuts them on a wire. (On
// loopback the kernel's segmentation offload would put a longer send in one frame whatever the
// segment size.) A path of its own may name another server address and clear Don't Fragment.
class Player {
  public:
    // Where the connection goes, addresses in host order.
    struct Path {
        uint32_t from = 0;  // bound before the connect; 0: the kernel's choice
        uint32_t to = 0x7F000001;
        int port = 0;
        int maxSegment = 0;
        // Don't Fragment cleared (IP_PMTUDISC_DONT): a router ahead whose far side has a
        // smaller MTU cuts the connection's longer segments into IPv4 fragments.
        bool fragmentable = false;
    };

    Player(uint32_t address, int port, int maxSegment = 0);
    explicit Player(const Path& path);
    ~Player();
    Player(const Player&) = delete;
    Player& operator=(const Player&) = delete;

    bool connected() const { return connected_; }

    // Sends one message, then pauses so that the next one is a segment of its own.
    bool Send(const std::vector<uint8_t>& message);
    // Sends the message in two segments, the first `firstBytes` long, with a pause between.
    bool SendSplit(const std::vector<uint8_t>& message, size_t firstBytes);
    // Sends the messages one after the other in a single send, then pauses.
    bool SendTogether(const std::vector<std::vector<uint8_t>>& messages);
    // Closes the connection (the server sees it end).
    void Close();

    // The segments with data sent so far.
    size_t segmentsSent() const { return segmentsSent_; }

  private:
    bool SendSegment(const uint8_t* bytes, size_t length);

    int fd_ = -1;
    size_t maxPayload_ = 0;  // 0: no bound
    bool connected_ = false;
    size_t segmentsSent_ = 0;
};

}  // namespace korvane::testing
