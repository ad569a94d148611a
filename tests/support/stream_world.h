#pragma once

#include <span>

#include "app/event_log.h"
#include "capture/player_table.h"
#include "capture/session_dispatcher.h"
#include "capture/stream_stage.h"
#include "platform/clock.h"
#include "platform/scripted_console.h"

namespace korvane::testing {

// A player table with the streams and the session dispatcher in front of it, as the program
// wires them: frames to the server go in, whole messages reach the dispatcher.
struct StreamWorld {
    explicit StreamWorld(ClockReading start = {1076424589, 0}) : clock(start) {}

    // A frame to the server in the plain layout.
    void Take(std::span<const uint8_t> frame) { streams.Take(frame); }

    ManualClock clock;
    PlayerTable players{clock};
    ScriptedConsole console;
    EventLog log{clock, console};  // never opened: lines go to the console
    SessionDispatcher dispatcher{console, players, log};
    StreamStage streams{players, dispatcher, log, clock};
};

}  // namespace korvane::testing
