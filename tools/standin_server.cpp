#include "tools/standin_server.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cstdio>
#include <cstring>

#include "platform/sockets.h"
#include "tools/frame_builder.h"
#include "tools/session_decoder.h"
#include "tools/whole_file.h"

namespace korvane::tools {

namespace {

constexpr size_t kMaxOpenConnections = 256;
constexpr auto kPollSlice = std::chrono::milliseconds(100);
// How long the listener rests when there is no descriptor left for a new connection.
constexpr auto kAcceptRest = std::chrono::milliseconds(100);
constexpr int kReadsPerTurn = 16;
// How long the last pass before the stop may read, should a sender never pause.
constexpr auto kFinishLimit = std::chrono::seconds(1);

struct FileCloser {
    void operator()(std::FILE* file) const { std::fclose(file); }
};
using FilePtr = std::unique_ptr<std::FILE, FileCloser>;

// A whole decimal number within [low, high], nothing else.
std::optional<long> ParseNumber(const std::string& text, long low, long high) {
    long value = 0;
    auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (text.empty() || error != std::errc() || end != text.data() + text.size() || value < low ||
        value > high) {
        return std::nullopt;
    }
    return value;
}

// Whether the stand-in may listen on `address`: a loopback one, or with `outsideLoopback` any
// but the wildcard.
bool Listenable(uint32_t address, const StandinOptions& options) {
    return address != 0 && (IsLoopback(address) || options.outsideLoopback);
}

// What an address it may not listen on is called in the refusal.
std::string Refused(const StandinOptions& options) {
    return options.outsideLoopback ? "wildcard" : "non-loopback";
}

std::string SocketError(const char* what) {
    return std::string(what) + ": " + std::strerror(errno);
}

bool WritePortFile(const std::string& path, uint16_t port, std::string& error) {
    bool written = WriteFileWhole(path, [port](const std::string& temporary) {
        FilePtr file(std::fopen(temporary.c_str(), "w"));
        return file && std::fprintf(file.get(), "%u\n", static_cast<unsigned>(port)) >= 0 &&
               std::fclose(file.release()) == 0;
    });
    if (!written) {
        error = "cannot write port file " + path;
    }
    return written;
}

}  // namespace

struct StandinServer::Connection {
    UniqueFd socket;
    int number = 0;
    unsigned long long bytes = 0;
    long messages = 0;
    SessionStreamDecoder decoder;
    FilePtr dump;
};

std::string StandinUsage() {
    return "usage: korvane-standin [--address 127.x.y.z] [--port N] [--port-file FILE]\n"
           "                       [--seconds N] [--dump PREFIX] [--drop-after N]\n"
           "                       [--quiet-stream] [--refuse] [--outside-loopback]\n"
           "  --address A      listen on the loopback address A (default 127.0.0.1)\n"
           "  --port N         listen on port N; 0 picks a free port (default 0)\n"
           "  --port-file F    write the port and a newline to F once listening\n"
           "  --seconds N      stop after N seconds, 1 to 600 (default 30)\n"
           "  --dump PREFIX    write the bytes received on connection n to PREFIX.n\n"
           "  --drop-after N   close each connection after N whole messages\n"
           "  --quiet-stream   do not print messages, only count bytes\n"
           "  --refuse         reset every connection as soon as it is accepted\n"
           "  --outside-loopback  take an --address outside 127.0.0.0/8 (one of a network\n"
           "                   namespace made for the run; never 0.0.0.0)\n";
}

StandinCommandLine ParseStandinCommandLine(std::span<const std::string> args) {
    StandinCommandLine result;
    StandinOptions options;
    for (size_t i = 0; i < args.size(); ++i) {
        std::string name = args[i];
        std::optional<std::string> inlineValue;
        if (auto equals = name.find('='); name.starts_with("--") && equals != std::string::npos) {
            inlineValue = name.substr(equals + 1);
            name.resize(equals);
        }
        auto value = [&]() -> std::optional<std::string> {
            if (inlineValue) {
                return inlineValue;
            }
            if (i + 1 < args.size()) {
                return args[++i];
            }
            return std::nullopt;
        };
        auto fail = [&](const std::string& what) {
            result.error = what;
            return result;
        };
        if (name == "--help" || name == "-h") {
            result.help = true;
            return result;
        }
        if (name == "--quiet-stream" && !inlineValue) {
            options.quietStream = true;
            continue;
        }
        if (name == "--refuse" && !inlineValue) {
            options.refuse = true;
            continue;
        }
        if (name == "--outside-loopback" && !inlineValue) {
            options.outsideLoopback = true;
            continue;
        }
        if (name != "--address" && name != "--port" && name != "--port-file" &&
            name != "--seconds" && name != "--dump" && name != "--drop-after") {
            return fail("unknown option " + args[i]);
        }
        auto text = value();
        if (!text) {
            return fail(name + " needs a value");
        }
        if (name == "--address") {
            auto address = ParseIpv4(*text);
            if (!address) {
                return fail("not an IPv4 address: " + *text);
            }
            options.address = DottedText(*address);
        } else if (name == "--port") {
            auto port = ParseNumber(*text, 0, 65535);
            if (!port) {
                return fail("bad port " + *text);
            }
            options.port = static_cast<uint16_t>(*port);
        } else if (name == "--port-file") {
            if (text->empty()) {
                return fail("--port-file needs a file name");
            }
            options.portFile = *text;
        } else if (name == "--seconds") {
            auto seconds = ParseNumber(*text, 1, kStandinMaxSeconds);
            if (!seconds) {
                return fail("--seconds must be 1 to 600, not " + *text);
            }
            options.seconds = static_cast<int>(*seconds);
        } else if (name == "--dump") {
            if (text->empty()) {
                return fail("--dump needs a prefix");
            }
            options.dumpPrefix = *text;
        } else {
            auto count = ParseNumber(*text, 1, 1'000'000'000);
            if (!count) {
                return fail("bad message count " + *text);
            }
            options.dropAfter = *count;
        }
    }
    // Checked once all is read, so that --outside-loopback may come after --address.
    if (auto address = ParseIpv4(options.address); !Listenable(*address, options)) {
        result.error = "refusing " + Refused(options) + " address " + options.address;
        return result;
    }
    result.options = options;
    return result;
}

StandinServer::StandinServer(StandinOptions options, LineSink sink)
    : options_(std::move(options)), sink_(std::move(sink)) {}

StandinServer::~StandinServer() = default;

bool StandinServer::Listen(std::string& error) {
    auto address = ParseIpv4(options_.address);
    if (!address || !Listenable(*address, options_)) {
        error = "refusing " + Refused(options_) + " address " + options_.address;
        return false;
    }
    listenSocket_.Reset(::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0));
    if (!listenSocket_.valid()) {
        error = SocketError("socket");
        return false;
    }
    int on = 1;
    ::setsockopt(listenSocket_.get(), SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    sockaddr_in local{};
    local.sin_family = AF_INET;
    local.sin_port = htons(options_.port);
    local.sin_addr.s_addr = htonl(*address);
    if (::bind(listenSocket_.get(), reinterpret_cast<const sockaddr*>(&local), sizeof local) != 0) {
        error =
            SocketError(("bind " + options_.address + ":" + std::to_string(options_.port)).c_str());
        return false;
    }
    if (::listen(listenSocket_.get(), 16) != 0) {
        error = SocketError("listen");
        return false;
    }
    socklen_t length = sizeof local;
    if (::getsockname(listenSocket_.get(), reinterpret_cast<sockaddr*>(&local), &length) != 0) {
        error = SocketError("getsockname");
        return false;
    }
    boundPort_ = ntohs(local.sin_port);
    deadline_ = std::chrono::steady_clock::now() + std::chrono::seconds(options_.seconds);
    sink_("standin: listening on " + options_.address + ":" + std::to_string(boundPort_));
    if (!options_.portFile.empty() && !WritePortFile(options_.portFile, boundPort_, error)) {
        return false;
    }
    return true;
}

bool StandinServer::Run(const std::function<bool()>& stopRequested) {
    bool bySignal = false;
    std::vector<pollfd> polled;
    while (true) {
        if (stopRequested && stopRequested()) {
            bySignal = true;
            break;
        }
        auto now = std::chrono::steady_clock::now();
        if (now >= deadline_ || !listenSocket_.valid()) {
            break;
        }
        auto wait = std::min<std::chrono::steady_clock::duration>(deadline_ - now, kPollSlice);
        polled.clear();
        bool listening = connections_.size() < kMaxOpenConnections && now >= acceptRestsUntil_;
        if (listening) {
            polled.push_back({listenSocket_.get(), POLLIN, 0});
        } else if (now < acceptRestsUntil_) {
            wait = std::min<std::chrono::steady_clock::duration>(wait, acceptRestsUntil_ - now);
        }
        for (const auto& connection : connections_) {
            polled.push_back({connection->socket.get(), POLLIN, 0});
        }
        auto millis = std::chrono::ceil<std::chrono::milliseconds>(wait).count();
        int ready = ::poll(polled.data(), polled.size(), static_cast<int>(millis));
        if (ready <= 0) {
            continue;  // time slice over, or interrupted by a signal
        }
        size_t first = listening ? 1 : 0;
        // Connections first (their poll entries follow the listener's, in order), then new
        // ones, so the indexes stay valid.
        std::vector<std::unique_ptr<Connection>> kept;
        for (size_t i = 0; i < connections_.size(); ++i) {
            auto& connection = connections_[i];
            if ((polled[first + i].revents & (POLLIN | POLLHUP | POLLERR)) != 0 &&
                Receive(*connection) == Received::closed) {
                Close(*connection);
                continue;
            }
            kept.push_back(std::move(connection));
        }
        connections_ = std::move(kept);
        if (listening && (polled[0].revents & POLLIN) != 0) {
            Accept();
        }
    }
    Finish();
    if (bySignal) {
        sink_("standin: stopping on signal");
    } else {
        sink_("standin: stopping after " + std::to_string(options_.seconds) + " seconds");
    }
    return bySignal;
}

void StandinServer::Finish() {
    if (listenSocket_.valid()) {
        Accept();
        listenSocket_.Reset();
    }
    auto until = std::chrono::steady_clock::now() + kFinishLimit;
    for (auto& connection : connections_) {
        while (Receive(*connection) == Received::more && std::chrono::steady_clock::now() < until) {
        }
    }
    for (auto& connection : connections_) {
        Close(*connection);
    }
    connections_.clear();
}

void StandinServer::Accept() {
    while (connections_.size() < kMaxOpenConnections) {
        sockaddr_in peer{};
        socklen_t length = sizeof peer;
        int fd = ::accept4(listenSocket_.get(), reinterpret_cast<sockaddr*>(&peer), &length,
                           SOCK_NONBLOCK | SOCK_CLOEXEC);
        if (fd < 0 && (errno == EINTR || errno == ECONNABORTED)) {
            continue;
        }
        if (fd < 0 && (errno == EMFILE || errno == ENFILE || errno == ENOBUFS || errno == ENOMEM)) {
            // The listener stays readable while the connection waits, so polling it again at
            // once would spin; it rests a while instead, and the connection keeps waiting.
            if (!outOfDescriptors_) {
                std::fprintf(stderr, "standin: %s; accepting again later\n", std::strerror(errno));
                outOfDescriptors_ = true;
            }
            acceptRestsUntil_ = std::chrono::steady_clock::now() + kAcceptRest;
            return;
        }
        if (fd < 0) {
            return;  // nothing more waiting
        }
        outOfDescriptors_ = false;
        auto connection = std::make_unique<Connection>();
        connection->socket.Reset(fd);
        connection->number = ++connectionsSeen_;
        sink_("standin: connection " + std::to_string(connection->number) + " from " +
              DottedText(ntohl(peer.sin_addr.s_addr)) + ":" + std::to_string(ntohs(peer.sin_port)));
        if (options_.refuse) {
            // Closing with a zero linger time resets the connection: every send the peer makes
            // on it from now on fails.
            const linger reset{1, 0};
            ::setsockopt(fd, SOL_SOCKET, SO_LINGER, &reset, sizeof reset);
            sink_("standin: refusing connection " + std::to_string(connection->number));
            Close(*connection);
            continue;
        }
        if (!options_.dumpPrefix.empty()) {
            std::string path = options_.dumpPrefix + "." + std::to_string(connection->number);
            connection->dump.reset(std::fopen(path.c_str(), "wb"));
            if (!connection->dump) {
                std::fprintf(stderr, "standin: cannot write dump file %s\n", path.c_str());
            }
        }
        connections_.push_back(std::move(connection));
    }
}

StandinServer::Received StandinServer::Receive(Connection& connection) {
    uint8_t chunk[4096];
    for (int round = 0; round < kReadsPerTurn; ++round) {
        ssize_t got = ::recv(connection.socket.get(), chunk, sizeof chunk, 0);
        if (got == 0) {
            return Received::closed;
        }
        if (got < 0 && errno == EINTR) {
            continue;
        }
        if (got < 0) {
            return errno == EAGAIN || errno == EWOULDBLOCK ? Received::drained : Received::closed;
        }
        auto bytes = std::span<const uint8_t>(chunk, static_cast<size_t>(got));
        connection.bytes += bytes.size();
        if (connection.dump) {
            std::fwrite(bytes.data(), 1, bytes.size(), connection.dump.get());
            std::fflush(connection.dump.get());
        }
        if (options_.quietStream && options_.dropAfter == 0) {
            continue;
        }
        connection.decoder.Append(bytes);
        while (auto entry = connection.decoder.Next()) {
            if (!options_.quietStream) {
                sink_("[" + std::to_string(connection.number) + "] " + entry->line);
            }
            if (entry->wholeMessage && ++connection.messages == options_.dropAfter) {
                sink_("standin: dropping connection " + std::to_string(connection.number) +
                      " after " + std::to_string(connection.messages) + " messages");
                return Received::closed;
            }
        }
    }
    return Received::more;
}

void StandinServer::Close(Connection& connection) {
    connection.socket.Reset();
    connection.dump.reset();
    sink_("standin: connection " + std::to_string(connection.number) + " closed after " +
          std::to_string(connection.bytes) + " bytes");
}

}  // namespace korvane::tools
