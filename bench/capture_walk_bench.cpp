// Cost of following players: one full capture buffer of game traffic walked, each frame found
// addressed to the server, taken as a segment of its connection's stream, framed as a session
// message and its sender looked up in the player table. With and without TCP time-stamp options,
// which the walk reads frames without; and a buffer of realistic traffic with variant uploads,
// taken through the rules as well.
#include <benchmark/benchmark.h>

#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <sstream>
#include <vector>

#include "app/capture_pipeline.h"
#include "app/event_log.h"
#include "app/filter_installer.h"
#include "bench/allocation_count.h"
#include "bench/outgoing.h"
#include "capture/player_table.h"
#include "link/chat_sender.h"
#include "link/kick_message_table.h"
#include "link/player_removal.h"
#include "link/server_link.h"
#include "platform/capture_library.h"
#include "platform/fake_capture_library.h"
#include "platform/fake_sockets.h"
#include "platform/null_console.h"
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

// Where the sequence number of each frame of some batches stands, and how far its connection's
// stream moves on over all of them: walking the batches again after moving every sequence number
// on by that much continues each stream, as the same traffic sent once more would.
class SequenceNumbers {
  public:
    // Notes the frame just appended at `at` (the record's start) in batch `batch`.
    void Note(size_t batch, size_t at, std::span<const uint8_t> frame) {
        const uint64_t connection = uint64_t{ReadNet32(frame, 26)} << 16 | ReadNet16(frame, 34);
        const size_t header = frame[14] % 16 * 4u;
        const size_t data = (frame[14 + header + 12] >> 4) * 4u;
        places_.push_back({batch, at + kCaptureHeaderLength + 14 + header + 4, connection});
        flowBytes_[connection] += static_cast<uint32_t>(frame.size() - 14 - header - data);
    }
    // Moves every noted sequence number on by its stream's bytes.
    void MoveOn(std::vector<std::vector<uint8_t>>& batches) const {
        for (const Place& place : places_) {
            uint8_t* field = batches[place.batch].data() + place.at;
            const uint32_t value = ReadNet32({field, 4}, 0) + flowBytes_.at(place.connection);
            for (int i = 0; i < 4; ++i) {
                field[i] = static_cast<uint8_t>(value >> (24 - 8 * i));
            }
        }
    }

  private:
    struct Place {
        size_t batch;
        size_t at;
        uint64_t connection;
    };
    static uint32_t ReadNet32(std::span<const uint8_t> bytes, size_t at) {
        return uint32_t{bytes[at]} << 24 | uint32_t{bytes[at + 1]} << 16 |
               uint32_t{bytes[at + 2]} << 8 | bytes[at + 3];
    }
    static uint16_t ReadNet16(std::span<const uint8_t> bytes, size_t at) {
        return static_cast<uint16_t>(bytes[at] << 8 | bytes[at + 1]);
    }
    std::vector<Place> places_;
    std::map<uint64_t, uint32_t> flowBytes_;
};

// A capture buffer of frames from `players` players, round robin, as many as fit, each player's
// frames numbered as one stream.
std::vector<uint8_t> Batch(int players, bool timestamps, const Traffic& traffic, size_t& frames,
                           SequenceNumbers& sequences) {
    std::vector<uint8_t> batch(262144, 0);
    std::map<int, uint32_t> next;
    size_t at = 0;
    frames = 0;
    for (int n = 0;; ++n) {
        const int player = n % players;
        const Message message = traffic(0x100 + static_cast<uint32_t>(player), n / players);
        tools::FrameSpec layout;
        layout.source = {0x7F000002 + static_cast<uint32_t>(player), 40000};
        layout.destination = {kServer, message.port};
        layout.payload = message.payload;
        layout.sequence = next[player];
        next[player] += static_cast<uint32_t>(message.payload.size());
        if (timestamps) {
            layout.tcpOptions = tools::TimestampOption(static_cast<uint32_t>(n), 0);
        }
        const std::vector<uint8_t> frame = tools::BuildFrame(layout);
        std::optional<size_t> end =
            AppendCaptureRecord(batch, at, 0, 0, frame, static_cast<uint32_t>(frame.size()));
        if (!end) {
            break;
        }
        sequences.Note(0, at, frame);
        at = *end;
        ++frames;
    }
    batch.resize(at);
    return batch;
}

// What the program is made of from the capture walk on, wired as the program wires it, with an
// outgoing link; the game messages go to `handler` in place of the rules when one is given.
struct Following : bench::Outgoing {
    explicit Following(SessionDispatcher::GameMessageHandler handler = nullptr) {
        settings.portMode = kPortGiven;
        if (handler) {
            pipeline.dispatcher().SetGameMessageHandler(std::move(handler));
        }
    }
    // Walks `batches` once, then once per iteration, each stream going on where it stopped.
    void Run(benchmark::State& state, std::vector<std::vector<uint8_t>>& batches,
             const SequenceNumbers& sequences, size_t frames) {
        auto walkAll = [&] {
            for (const std::vector<uint8_t>& batch : batches) {
                pipeline.WalkCaptureBuffer(batch);
                players.SweepPlayers();
            }
        };
        walkAll();  // every player known, every record made
        uint64_t allocations = 0;
        for (auto _ : state) {
            state.PauseTiming();
            sequences.MoveOn(batches);
            const uint64_t before = bench::Allocations();
            state.ResumeTiming();
            walkAll();
            allocations += bench::Allocations() - before;
        }
        size_t bytes = 0;
        for (const std::vector<uint8_t>& batch : batches) {
            bytes += batch.size();
        }
        state.counters["allocations_per_frame"] =
            static_cast<double>(allocations) / static_cast<double>(state.iterations() * frames);
        state.SetItemsProcessed(static_cast<int64_t>(state.iterations() * frames));
        state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * bytes));
        state.counters["frames"] = static_cast<double>(frames);
    }

    FakeCaptureLibrary library;
    std::unique_ptr<CaptureAdapter> adapter =
        library.OpenAdapter(std::vector<uint8_t>{'l', 0, 'o', 0}, true);
    FilterInstaller filters{*adapter, console};
    PlayerTable players{clock};
    KickMessageTable kicks{clock};
    PlayerRemoval removal{link, chat, log, settings};
    VariantDecoder decoder{DecoderServices{settings, log, chat, removal, kicks, clock, "."}};
    TimeAnnouncer announcer{settings, clock, players, chat, console};
    CapturePipeline pipeline{PipelineServices{settings, console, log, clock, link, filters, chat,
                                              removal, decoder, players, announcer, kServer}};
};

// Game messages alone, each counted by the handler.
void BM_WalkGameTraffic(benchmark::State& state) {
    const int players = static_cast<int>(state.range(0));
    const bool timestamps = state.range(1) != 0;
    const std::vector<uint8_t> content(60, 0x41);
    size_t frames = 0;
    SequenceNumbers sequences;
    std::vector<std::vector<uint8_t>> batches{Batch(
        players, timestamps,
        [&](uint32_t sender, int) {
            return Message{tools::BuildGameMessage(sender, 1, 10, content)};
        },
        frames, sequences)};
    size_t handed = 0;
    Following following(
        [&](PlayerRecord&, std::span<const uint8_t> message) { handed += message.size(); });
    following.Run(state, batches, sequences, frames);
    benchmark::DoNotOptimize(handed);
}
BENCHMARK(BM_WalkGameTraffic)
    ->ArgNames({"players", "timestamps"})
    ->Args({4, 0})
    ->Args({4, 1})
    ->Args({200, 0})
    ->Args({200, 1});

// A flood of spoofed addresses through the whole program: every frame a game message from an
// address the table does not hold, 200,000 of them over and over, so that with the table full
// each one drops the longest-silent record. Set beside BM_WalkGameTraffic, it tells what a new
// address costs more than a known one; it allocates nothing per frame.
void BM_WalkFloodOfNewAddresses(benchmark::State& state) {
    constexpr uint32_t kAddresses = 200000;
    const std::vector<uint8_t> content(60, 0x41);
    std::vector<std::vector<uint8_t>> batches;
    size_t at = 0;
    for (uint32_t n = 0; n < kAddresses; ++n) {
        tools::FrameSpec layout;
        layout.source = {0x7F010000 + n, 40000};
        layout.destination = {kServer, kPort};
        layout.payload = tools::BuildGameMessage(0x0BADF00D, 1, 10, content);
        const std::vector<uint8_t> frame = tools::BuildFrame(layout);
        std::optional<size_t> end;
        if (!batches.empty()) {
            end = AppendCaptureRecord(batches.back(), at, 0, 0, frame,
                                      static_cast<uint32_t>(frame.size()));
        }
        if (!end) {
            if (!batches.empty()) {
                batches.back().resize(at);
            }
            batches.emplace_back(262144, 0);
            end = AppendCaptureRecord(batches.back(), 0, 0, 0, frame,
                                      static_cast<uint32_t>(frame.size()));
        }
        at = *end;
    }
    batches.back().resize(at);
    Following following;
    following.Run(state, batches, SequenceNumbers{}, kAddresses);
    state.counters["records"] = static_cast<double>(following.players.count());
}
BENCHMARK(BM_WalkFloodOfNewAddresses)->Unit(benchmark::kMillisecond);

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
    SequenceNumbers sequences;
    std::vector<std::vector<uint8_t>> batches{Batch(kPlayers, false, traffic, frames, sequences)};

    Following following;
    following.Run(state, batches, sequences, frames);
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
    SequenceNumbers sequences;
    size_t at = 0;
    size_t frames = 0;
    for (const tools::TimedFrame& frame :
         tools::ScenarioFrames(tools::ParseScenario(scenario.str(), "session"))) {
        const uint16_t port = static_cast<uint16_t>(frame.bytes[36] << 8 | frame.bytes[37]);
        if (port != kPort) {
            continue;  // the port filter's work
        }
        std::optional<size_t> end =
            AppendCaptureRecord(batches.back(), at, frame.seconds, frame.micros, frame.bytes,
                                static_cast<uint32_t>(frame.bytes.size()));
        if (!end) {
            batches.back().resize(at);
            batches.emplace_back(262144, 0);
            at = 0;
            end = AppendCaptureRecord(batches.back(), 0, frame.seconds, frame.micros, frame.bytes,
                                      static_cast<uint32_t>(frame.bytes.size()));
        }
        sequences.Note(batches.size() - 1, at, frame.bytes);
        at = *end;
        ++frames;
    }
    batches.back().resize(at);

    Following following;
    following.settings.puretech = true;
    following.Run(state, batches, sequences, frames);
    state.counters["frames_per_second"] = benchmark::Counter(
        static_cast<double>(state.iterations() * frames), benchmark::Counter::kIsRate);
}
BENCHMARK(BM_WalkGameSession)->Unit(benchmark::kMillisecond);

}  // namespace
