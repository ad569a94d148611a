#include "link/server_link.h"

#include <algorithm>

#include "platform/format.h"

namespace korvane {

namespace {
// Lines are formed in fixed buffers of these sizes, terminator included; longer texts are cut.
constexpr size_t kStartupLineBytes = 64;
constexpr size_t kConnectedLineBytes = 256;

std::string CutTo(std::string text, size_t capacity) {
    if (text.size() > capacity - 1) {
        text.resize(capacity - 1);
    }
    return text;
}
}  // namespace

int ServerLink::StartSockets() {
    SocketsStartup started = sockets_.Startup();
    log_.LogEvent(StringPrintf("TCP/IP Started (%d)", started.result));
    log_.LogEvent(CutTo(started.description + " " + started.systemStatus, kStartupLineBytes));
    return started.result;
}

int ServerLink::StopSockets() {
    // Stopping the sockets layer ends the link.
    if (linkSocket_ != kNoSocket) {
        sockets_.Close(linkSocket_);
        linkSocket_ = kNoSocket;
    }
    linkUp_ = false;
    localEnd_.reset();
    int result = sockets_.Cleanup();
    log_.LogEvent(StringPrintf("Shutdown TCP/IP (%d)", result));
    return result;
}

int ServerLink::ConnectToServer(int32_t port) {
    localEnd_.reset();  // whatever the outcome, the previous connection's end is gone
    if (settings_.testMode) {
        linkUp_ = true;
        return 0;
    }
    const uint32_t address = ParseDottedAddress(settings_.serverAddress);
    if (linkSocket_ != kNoSocket) {
        sockets_.Close(linkSocket_);  // never sent on again
    }
    linkSocket_ = sockets_.OpenStream();
    if (linkSocket_ == kNoSocket ||
        sockets_.Connect(linkSocket_, address, static_cast<uint16_t>(port)) != 0) {
        log_.LogEvent("could not connect to server");
        if (linkSocket_ != kNoSocket) {
            sockets_.Close(linkSocket_);
            linkSocket_ = kNoSocket;
        }
        linkUp_ = false;
        return -1;
    }
    sockets_.SetNoDelay(linkSocket_);
    sockets_.SetSendTimeout(linkSocket_, kSendTimeoutMs);
    localEnd_ = sockets_.LocalEnd(linkSocket_);
    const EventField fields[] = {TextField("address", settings_.serverAddress),
                                 NumberField("port", static_cast<uint16_t>(port))};
    log_.LogEvent(CutTo("Connection to server " + settings_.serverAddress + " established",
                        kConnectedLineBytes),
                  GuardEvent{EventKind::linkUp, nullptr, fields});
    linkUp_ = true;
    return 0;
}

int ServerLink::SendMessage(std::span<const uint8_t> message) {
    if (sockets_.PeerClosed(linkSocket_)) {
        return -1;  // what is sent now would be lost without a word
    }
    while (!message.empty()) {
        const long sent = sockets_.Send(linkSocket_, message);
        if (sent <= 0) {
            return -1;
        }
        message = message.subspan(std::min(static_cast<size_t>(sent), message.size()));
    }
    return 0;
}

Delivery ServerLink::Deliver(int maxRetries, const std::function<int()>& attempt) {
    for (int retries = 0;; ++retries) {
        if (attempt() == 0) {
            return Delivery::sent;
        }
        if (linkUp_) {
            // Told once: until it is connected again the link is down, not lost again.
            const EventField fields[] = {NumberField("code", sockets_.LastError())};
            log_.Record({EventKind::linkLost, nullptr, fields});
        }
        if (ConnectToServer(settings_.serverPort) != 0) {
            return Delivery::linkDown;
        }
        if (retries == maxRetries) {
            return Delivery::gaveUp;
        }
    }
}

}  // namespace korvane
