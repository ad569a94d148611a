#include "tests/support/live_players.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <thread>

#include "tests/support/child_process.h"

namespace korvane::testing {

namespace {
constexpr size_t kTimestampOptionBytes = 12;
// Long enough for the kernel to put a message on the wire before the next one is written.
constexpr auto kSegmentPause = std::chrono::milliseconds(50);
constexpr auto kPollInterval = std::chrono::milliseconds(20);
}  // namespace

bool WaitForText(const std::filesystem::path& file, const std::string& text,
                 std::chrono::milliseconds limit) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    while (ReadWholeFile(file).find(text) == std::string::npos) {
        if (std::chrono::steady_clock::now() >= deadline) {
            return false;
        }
        std::this_thread::sleep_for(kPollInterval);
    }
    return true;
}

bool WaitForLines(const std::filesystem::path& file, const std::regex& pattern, size_t count,
                  std::chrono::milliseconds limit) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    for (;;) {
        const std::vector<std::string> lines = SplitLines(ReadWholeFile(file));
        if (static_cast<size_t>(std::count_if(lines.begin(), lines.end(), [&](const auto& l) {
                return std::regex_match(l, pattern);
            })) >= count) {
            return true;
        }
        if (std::chrono::steady_clock::now() >= deadline) {
            return false;
        }
        std::this_thread::sleep_for(kPollInterval);
    }
}

bool IsLogLine(const std::string& line) {
    static const std::regex stamped(kStampPattern + ": .*");
    return std::regex_match(line, stamped);
}

std::string WithoutStamp(const std::string& line) {
    return line.size() > 21 ? line.substr(21) : std::string();
}

Player::Player(uint32_t address, int port, int maxSegment)
    : Player(Path{.from = address, .port = port, .maxSegment = maxSegment}) {}

Player::Player(const Path& path) {
    fd_ = ::socket(AF_INET, SOCK_STREAM, 0);
    if (fd_ < 0) {
        return;
    }
    const int one = 1;
    ::setsockopt(fd_, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    if (path.maxSegment != 0 &&
        ::setsockopt(fd_, IPPROTO_TCP, TCP_MAXSEG, &path.maxSegment, sizeof path.maxSegment) != 0) {
        return;
    }
    const int dontDiscover = IP_PMTUDISC_DONT;
    if (path.fragmentable &&
        ::setsockopt(fd_, IPPROTO_IP, IP_MTU_DISCOVER, &dontDiscover, sizeof dontDiscover) != 0) {
        return;
    }
    maxPayload_ =
        path.maxSegment != 0 ? static_cast<size_t>(path.maxSegment) - kTimestampOptionBytes : 0;
    sockaddr_in from{};
    from.sin_family = AF_INET;
    from.sin_addr.s_addr = htonl(path.from);
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = htons(static_cast<uint16_t>(path.port));
    to.sin_addr.s_addr = htonl(path.to);
    connected_ = ::bind(fd_, reinterpret_cast<sockaddr*>(&from), sizeof from) == 0 &&
                 ::connect(fd_, reinterpret_cast<sockaddr*>(&to), sizeof to) == 0;
}

Player::~Player() {
    Close();
}

bool Player::Send(const std::vector<uint8_t>& message) {
    return SendSegment(message.data(), message.size());
}

bool Player::SendSplit(const std::vector<uint8_t>& message, size_t firstBytes) {
    if (firstBytes == 0 || firstBytes >= message.size()) {
        return false;
    }
    return SendSegment(message.data(), firstBytes) &&
           SendSegment(message.data() + firstBytes, message.size() - firstBytes);
}

bool Player::SendTogether(const std::vector<std::vector<uint8_t>>& messages) {
    std::vector<uint8_t> bytes;
    for (const auto& message : messages) {
        bytes.insert(bytes.end(), message.begin(), message.end());
    }
    return SendSegment(bytes.data(), bytes.size());
}

void Player::Close() {
    if (fd_ >= 0) {
        ::close(fd_);
        fd_ = -1;
    }
}

bool Player::SendSegment(const uint8_t* bytes, size_t length) {
    if (fd_ < 0) {
        return false;
    }
    if (maxPayload_ != 0 && length > maxPayload_) {
        return SendSegment(bytes, maxPayload_) &&
               SendSegment(bytes + maxPayload_, length - maxPayload_);
    }
    const ssize_t sent = ::send(fd_, bytes, length, MSG_NOSIGNAL);
    std::this_thread::sleep_for(kSegmentPause);
    if (sent != static_cast<ssize_t>(length)) {
        return false;
    }
    ++segmentsSent_;
    return true;
}

}  // namespace korvane::testing
