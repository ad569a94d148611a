#pragma once

#include <cstddef>
#include <cstdint>
#include <ostream>

#include "tools/frame_builder.h"

namespace korvane::tools {

// A long game session as a capture scenario (see scenario.h), made from a seed: the same seed
// and sizes give the same lines on every machine. Players on 127.0.0.2 and up join the server
// (SYN, connect, creation, player information), play, and now and then leave and come back later
// from a new port with a new id. While they play they send game messages to each other through
// the server, chat (now and then a chat command, some lines in two segments, one of those in
// reverse order), information messages, stock selections and custom variants uploaded in pieces
// (some with the time stamp option, some with their messages split across two segments, some in
// a shuffled order). About one upload in sixteen carries a subsystem its chassis may not carry;
// that player leaves a moment later, before the removal's grace time has run out, and comes back
// only after 20 seconds or more, so the session reads the same however fast it is replayed.
// Besides, the server answers its players from its port, and players send to other ports of the
// server.
struct GameTrafficPlan {
    uint64_t seed = 1;
    size_t frames = 1'000'000;  // the scenario stops at the first event that reaches this many
    int players = 32;           // 1 to 200, at 127.0.0.2 and up
    Endpoint server{0x7F000001, 2300};
    uint64_t startMicros = 1075819800ull * 1'000'000;  // Tue Feb 03 2004 14:50:00 UTC
    uint32_t framesPerSecond = 500;                    // on average
};

// Writes the scenario's lines to `out` and returns the number of frames they describe. Throws
// std::invalid_argument for a player count outside 1 to 200 or 0 frames per second.
size_t WriteGameTraffic(const GameTrafficPlan& plan, std::ostream& out);

}  // namespace korvane::tools
