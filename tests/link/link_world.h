#pragma once

#include <string>
#include <vector>

#include "app/event_log.h"
#include "app/run_settings.h"
#include "link/chat_sender.h"
#include "link/server_link.h"
#include "platform/clock.h"
#include "platform/fake_sockets.h"
#include "platform/format.h"
#include "platform/scripted_console.h"
#include "tools/session_builder.h"
#include "tools/session_decoder.h"

namespace korvane::testing {

// The outgoing side of the program over fake sockets: a link already connected to the server,
// the chat sender on it, and a log that shows its lines on the console (a test that reads the
// events gives the log a sink of its own).
struct LinkWorld {
    LinkWorld() {
        settings.serverAddress = "127.0.0.1";
        settings.serverPort = 2300;
        link.ConnectToServer(settings.serverPort);
        console.ClearOutput();
    }

    // What the server got on the connection of `socket`, one decoded line per message.
    std::vector<std::string> Received(SocketHandle socket) {
        std::vector<std::string> lines;
        for (const auto& entry : tools::SessionStreamDecoder().Feed(sockets.sent[socket])) {
            lines.push_back(entry.line);
        }
        return lines;
    }
    // What the server got on every connection, in the order the connections were made.
    std::vector<std::string> Received() {
        std::vector<std::string> lines;
        for (const auto& [socket, bytes] : sockets.sent) {
            for (const std::string& line : Received(socket)) {
                lines.push_back(line);
            }
        }
        return lines;
    }
    // The log lines shown so far, without their stamps.
    std::vector<std::string> LogLines() const {
        std::vector<std::string> lines;
        const std::string& text = console.output();
        for (size_t at = 0; at < text.size();) {
            size_t end = text.find('\n', at);
            if (end == std::string::npos) {
                end = text.size();
            }
            std::string line = text.substr(at, end - at);
            if (line.size() > kStampChars && line.compare(kStampChars - 2, 2, ": ") == 0) {
                line.erase(0, kStampChars);
            }
            lines.push_back(line);
            at = end + 1;
        }
        return lines;
    }

    static constexpr size_t kStampChars = 21;  // "Tue Feb 10 14:49:49: "

    ManualClock clock{{1076424589, 0}};
    ScriptedConsole console;
    EventLog log{clock, console};  // never opened: lines reach the console only
    FakeSockets sockets;
    RunSettings settings;
    ServerLink link{sockets, log, settings};
    ChatSender chat{link, log, settings};
};

// The line the server decodes for a chat line the program sent.
inline std::string ChatLine(uint32_t sender, uint32_t receiver, unsigned field,
                            const std::string& text, bool alert = false) {
    return StringPrintf("chat %08x -> %08x [%u]: ", sender, receiver, field) +
           tools::ProgramChatText(text, alert);
}

}  // namespace korvane::testing
