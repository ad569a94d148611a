// Cost of following players: one full capture buffer of game traffic walked, each frame found
// addressed to the server, framed as a session message and its sender looked up in the player
// table. With and without TCP time-stamp options, which the walk reads frames without.
#include <benchmark/benchmark.h>

#include <memory>
#include <vector>

#include "app/event_log.h"
#include "app/filter_installer.h"
#include "capture/capture_walk.h"
#include "capture/player_table.h"
#include "capture/session_dispatcher.h"
#include "link/server_link.h"
#include "platform/capture_library.h"
#include "platform/fake_capture_library.h"
#include "platform/fake_sockets.h"
#include "platform/null_console.h"
#include "platform/scripted_console.h"
#include "tools/frame_builder.h"
#include "tools/session_builder.h"

namespace {

using namespace korvane;

constexpr uint32_t kServer = 0x7F000001;
constexpr uint16_t kPort = 2300;

// A buffer of game messages from `players` players, round robin, as many as fit.
std::vector<uint8_t> GameTraffic(int players, bool timestamps, size_t& frames) {
    std::vector<uint8_t> batch(262144, 0);
    const std::vector<uint8_t> content(60, 0x41);
    size_t at = 0;
    frames = 0;
    for (int n = 0;; ++n) {
        const int player = n % players;
        tools::FrameSpec layout;
        layout.source = {0x7F000002 + static_cast<uint32_t>(player), 40000};
        layout.destination = {kServer, kPort};
        layout.payload =
            tools::BuildGameMessage(0x100 + static_cast<uint32_t>(player), 1, 10, content);
        if (timestamps) {
            layout.tcpOptions = tools::TimestampOption(static_cast<uint32_t>(n), 0);
        }
        const std::vector<uint8_t> frame = tools::BuildFrame(layout);
        std::optional<size_t> next =
            AppendCaptureRecord(batch, at, 0, 0, frame, static_cast<uint32_t>(frame.size()));
        if (!next) {
            break;
        }
        at = *next;
        ++frames;
    }
    batch.resize(at);
    return batch;
}

void BM_WalkGameTraffic(benchmark::State& state) {
    const int players = static_cast<int>(state.range(0));
    const bool timestamps = state.range(1) != 0;
    size_t frames = 0;
    const std::vector<uint8_t> batch = GameTraffic(players, timestamps, frames);

    RunSettings settings;
    settings.portMode = kPortGiven;
    NullConsole console;
    ManualClock clock({1075819800, 0});
    EventLog log(clock, console);
    FakeSockets sockets;
    ServerLink link(sockets, log, settings);
    FakeCaptureLibrary library;
    std::unique_ptr<CaptureAdapter> adapter =
        library.OpenAdapter(std::vector<uint8_t>{'l', 0, 'o', 0}, true);
    FilterInstaller filters(*adapter, console);
    PlayerTable players_table(clock);
    SessionDispatcher dispatcher(players_table, console);
    size_t handed = 0;
    dispatcher.SetGameMessageHandler(
        [&](PlayerRecord&, std::span<const uint8_t> message) { handed += message.size(); });
    CaptureWalk walk(settings, console, log, link, filters, kServer,
                     [&](std::span<const uint8_t> frame) { dispatcher.DispatchMessage(frame); });

    for (auto _ : state) {
        walk.WalkCaptureBuffer(batch);
        benchmark::DoNotOptimize(handed);
    }
    state.SetItemsProcessed(static_cast<int64_t>(state.iterations() * frames));
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * batch.size()));
    state.counters["frames_per_buffer"] = static_cast<double>(frames);
}
BENCHMARK(BM_WalkGameTraffic)
    ->ArgNames({"players", "timestamps"})
    ->Args({4, 0})
    ->Args({4, 1})
    ->Args({200, 0})
    ->Args({200, 1});

}  // namespace
