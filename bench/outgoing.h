#pragma once

#include "app/event_log.h"
#include "app/run_settings.h"
#include "link/chat_sender.h"
#include "link/server_link.h"
#include "platform/clock.h"
#include "platform/fake_sockets.h"
#include "platform/null_console.h"

namespace korvane::bench {

// A link connected to port 2300 on sockets that count what is sent and keep nothing, the chat
// sender on it, and a console that keeps nothing: what the program says costs only its making.
struct Outgoing {
    static constexpr int32_t kPort = 2300;

    Outgoing() {
        sockets.keepSent = false;
        link.ConnectToServer(kPort);
    }
    ManualClock clock{{1076424589, 0}};
    NullConsole console;
    EventLog log{clock, console};
    FakeSockets sockets;
    RunSettings settings;
    ServerLink link{sockets, log, settings};
    ChatSender chat{link, log, settings};
};

}  // namespace korvane::bench
