// Cost of following players: one full capture buffer of game traffic walked, each frame found
// addressed to the server, framed as a session message and its sender looked up in the player
// table. With and without TCP time-stamp options, which the walk reads frames without; and a
// buffer of realistic traffic with variant uploads, taken through the rules as well.
#include <benchmark/benchmark.h>

#include <functional>
#include <memory>
#include <optional>
#include <sstream>
#include <vector>

#include "app/event_log.h"
#include "app/filter_installer.h"
#include "bench/allocation_count.h"
#include "bench/outgoing.h"
#include "capture/capture_walk.h"
#include "capture/player_table.h"
#include "capture/session_dispatcher.h"
#include "link/chat_sender.h"
#include "link/kick_message_table.h"
#include "link/player_removal.h"
#include "link/server_link.h"
#include "platform/capture_library.h"
#include "platform/fake_capture_library.h"
#include "platform/fake_sockets.h"
#include "platform/null_console.h"
#include "rules/chat_commands.h"
#include "rules/selection_handler.h"
#include "rules/variant_decoder.h"
#include "tools/frame_builder.h"
#include "tools/game_traffic.h"
#include "tools/scenario.h"
#include "tools/session_builder.h"
#include "tools/variant_builder.h"

namespace {

using namespace korvane;

constexpr uint32_t kServer = 0x7F000001;
constexpr uint16_t kPort = 2300;

// One frame's message and the port it goes to.
struct Message {
    std::vector<uint8_t> payload;
    uint16_t port = kPort;
};
// The message of a player's `turn`-th frame.
using Traffic = std::function<Message(uint32_t sender, int turn)>;

// A capture buffer of frames from `players` players, round robin, as many as fit.
std::vector<uint8_t> Batch(int players, bool timestamps, const Traffic& traffic, size_t& frames) {
    std::vector<uint8_t> batch(262144, 0);
    size_t at = 0;
    frames = 0;
    for (int n = 0;; ++n) {
        const int player = n % players;
        const Message message = traffic(0x100 + static_cast<uint32_t>(player), n / players);
        tools::FrameSpec layout;
        layout.source = {0x7F000002 + static_cast<uint32_t>(player), 40000};
        layout.destination = {kServer, message.port};
        layout.payload = message.payload;
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

// What the program is made of from the capture walk on, with an outgoing link; the game
// messages go to `handler`.
struct Following : bench::Outgoing {
    explicit Following(SessionDispatcher::GameMessageHandler handler) {
        settings.portMode = kPortGiven;
        dispatcher.SetGameMessageHandler(std::move(handler));
    }
    void Run(benchmark::State& state, const std::vector<uint8_t>& batch, size_t frames) {
        walk.WalkCaptureBuffer(batch);  // every player known, every record made
        const uint64_t allocations = bench::Allocations();
        for (auto _ : state) {
            walk.WalkCaptureBuffer(batch);
        }
        state.counters["allocations_per_frame"] =
            static_cast<double>(bench::Allocations() - allocations) /
            static_cast<double>(state.iterations() * frames);
        state.SetItemsProcessed(static_cast<int64_t>(state.iterations() * frames));
        state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * batch.size()));
        state.counters["frames_per_buffer"] = static_cast<double>(frames);
    }

    FakeCaptureLibrary library;
    std::unique_ptr<CaptureAdapter> adapter =
        library.OpenAdapter(std::vector<uint8_t>{'l', 0, 'o', 0}, true);
    FilterInstaller filters{*adapter, console};
    PlayerTable players{clock};
    SessionDispatcher dispatcher{players, console};
    CaptureWalk walk{
        settings, console, log, link, filters, kServer, [this](std::span<const uint8_t> frame) {
            dispatcher.DispatchMessage(frame);
        }};
};

// The rules behind the walk, as the program wires them: selections, variant decoding and chat
// commands.
struct Judging {
    explicit Judging(Following& following)
        : kicks(following.clock),
          removal(following.link, following.chat, following.log, following.settings),
          decoder(DecoderServices{following.settings, following.log, following.chat, removal, kicks,
                                  following.clock, "."}),
          selections(following.settings, following.chat, following.console, following.log),
          commands(following.settings, following.chat, following.players, [] {}) {
        selections.SetVariantDecoding(
            [this](PlayerRecord& record) { decoder.DecodeVariant(record); });
        selections.SetChatTextHandler(
            [this](PlayerRecord& record, uint32_t sender, std::string_view text) {
                commands.HandleChatText(record, sender, text);
            });
        following.dispatcher.SetGameMessageHandler(
            [this](PlayerRecord& record, std::span<const uint8_t> message) {
                selections.HandlePlayerMessage(record, message);
            });
    }
    KickMessageTable kicks;
    PlayerRemoval removal;
    VariantDecoder decoder;
    SelectionHandler selections;
    ChatCommands commands;
};

// Game messages alone, each counted by the handler.
void BM_WalkGameTraffic(benchmark::State& state) {
    const int players = static_cast<int>(state.range(0));
    const bool timestamps = state.range(1) != 0;
    const std::vector<uint8_t> content(60, 0x41);
    size_t frames = 0;
    const std::vector<uint8_t> batch = Batch(
        players, timestamps,
        [&](uint32_t sender, int) {
            return Message{tools::BuildGameMessage(sender, 1, 10, content)};
        },
        frames);
    size_t handed = 0;
    Following following(
        [&](PlayerRecord&, std::span<const uint8_t> message) { handed += message.size(); });
    following.Run(state, batch, frames);
    benchmark::DoNotOptimize(handed);
}
BENCHMARK(BM_WalkGameTraffic)
    ->ArgNames({"players", "timestamps"})
    ->Args({4, 0})
    ->Args({4, 1})
    ->Args({200, 0})
    ->Args({200, 1});

// The traffic of 32 players through the whole program, rules included: information, stock
// selections, chat, a legal variant uploaded in three pieces, messages to other players, and
// frames to another port. Every upload is judged.
void BM_WalkTrafficWithUploads(benchmark::State& state) {
    constexpr int kPlayers = 32;
    tools::VariantSpec variant;
    variant.chassisId = 958 * 65536 + 1;  // Atlas
    variant.name = "Brawler";
    const uint16_t ids[] = {888, 889, 889, 853, 876, 813, 812, 816, 810, 902, 868};
    for (uint16_t id : ids) {
        variant.components.push_back({id, id < 820 ? int16_t{112} : int16_t{376}});
    }
    const std::vector<uint8_t> container = tools::BuildVariant(variant);
    const std::vector<uint8_t> chatter(40, 0x41);
    const Traffic traffic = [&](uint32_t sender, int turn) -> Message {
        switch (turn % 8) {
            case 0:
                return {tools::BuildInfoMessage(sender, "Timber Wolf pilot")};
            case 1:
                return {tools::BuildStockSelection(sender, 961 * 65536 + 1)};
            case 2:
                return {tools::BuildChatMessage(sender, 1, 0, "anyone for a game on the moon?")};
            case 3:
            case 4:
            case 5:
                return {tools::UploadMessages(sender, 10, container, 0, 3)[turn % 8 - 3]};
            case 6:
                return {tools::BuildGameMessage(sender, sender + 1, 7, chatter)};
            default:
                return {tools::BuildGameMessage(sender, 1, 7, chatter), kPort + 1};
        }
    };
    size_t frames = 0;
    const std::vector<uint8_t> batch = Batch(kPlayers, false, traffic, frames);

    Following following(nullptr);
    Judging judging(following);
    following.Run(state, batch, frames);
    size_t judged = 0;
    following.players.records().ForEach(
        [&](const PlayerRecord& record) { judged += record.chassisName == "Atlas" ? 1 : 0; });
    if (judged != kPlayers) {
        state.SkipWithError("not every player's upload was judged");
    }
}
BENCHMARK(BM_WalkTrafficWithUploads);

// The capture of a game session of 32 players (korvane-traffic, seed 1, 200,000 frames, the
// same mix as the million frames tools/measure-throughput.sh replays) as the port filter hands
// it over: the frames to port 2300, in full batch buffers. One iteration walks the whole session
// through the whole program, rules included, with a sweep after each batch.
void BM_WalkGameSession(benchmark::State& state) {
    tools::GameTrafficPlan plan;
    plan.frames = 200'000;
    std::ostringstream scenario;
    tools::WriteGameTraffic(plan, scenario);
    std::vector<std::vector<uint8_t>> batches(1, std::vector<uint8_t>(262144, 0));
    size_t at = 0;
    size_t frames = 0;
    for (const tools::TimedFrame& frame :
         tools::ScenarioFrames(tools::ParseScenario(scenario.str(), "session"))) {
        const uint16_t port = static_cast<uint16_t>(frame.bytes[36] << 8 | frame.bytes[37]);
        if (port != kPort) {
            continue;  // the port filter's work
        }
        std::optional<size_t> next =
            AppendCaptureRecord(batches.back(), at, frame.seconds, frame.micros, frame.bytes,
                                static_cast<uint32_t>(frame.bytes.size()));
        if (!next) {
            batches.back().resize(at);
            batches.emplace_back(262144, 0);
            next = AppendCaptureRecord(batches.back(), 0, frame.seconds, frame.micros, frame.bytes,
                                       static_cast<uint32_t>(frame.bytes.size()));
        }
        at = *next;
        ++frames;
    }
    batches.back().resize(at);

    Following following(nullptr);
    following.settings.puretech = true;
    Judging judging(following);
    auto walkSession = [&] {
        for (const std::vector<uint8_t>& batch : batches) {
            following.walk.WalkCaptureBuffer(batch);
            following.players.SweepPlayers();
        }
    };
    walkSession();  // every record made once
    const uint64_t allocations = bench::Allocations();
    for (auto _ : state) {
        walkSession();
    }
    state.counters["allocations_per_frame"] =
        static_cast<double>(bench::Allocations() - allocations) /
        static_cast<double>(state.iterations() * frames);
    state.counters["frames"] = static_cast<double>(frames);
    state.counters["frames_per_second"] = benchmark::Counter(
        static_cast<double>(state.iterations() * frames), benchmark::Counter::kIsRate);
    state.SetItemsProcessed(static_cast<int64_t>(state.iterations() * frames));
}
BENCHMARK(BM_WalkGameSession)->Unit(benchmark::kMillisecond);

}  // namespace
