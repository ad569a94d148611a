// Cost of what the program says to players: one chat line formatted, built and written on the
// link (here a sockets layer that takes everything at once), a line suppressed as a repeat, and
// a kick message picked and filled in with the player's name.
#include <benchmark/benchmark.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <string>

#include "app/event_log.h"
#include "app/run_settings.h"
#include "bench/allocation_count.h"
#include "bench/outgoing.h"
#include "link/chat_sender.h"
#include "link/kick_message_table.h"
#include "link/server_link.h"
#include "platform/clock.h"
#include "platform/fake_sockets.h"

namespace {

using namespace korvane;

using korvane::bench::Outgoing;

// One iteration is one line sent; two receivers take turns, so no line is a repeat. Sending
// allocates nothing.
void BM_KorvaneMessage(benchmark::State& state) {
    Outgoing out;
    const std::string text = "Player Mech selected Atlas AS7-D (IS)";
    uint32_t receiver = 0x100;
    const uint64_t allocations = bench::Allocations();
    for (auto _ : state) {
        out.chat.KorvaneMessage(1, receiver, 0, text, false);
        receiver ^= 1;
    }
    state.SetItemsProcessed(state.iterations());
    state.counters["sends"] = static_cast<double>(out.sockets.sendCalls);
    state.counters["allocations_per_line"] =
        static_cast<double>(bench::Allocations() - allocations) /
        static_cast<double>(state.iterations());
}
BENCHMARK(BM_KorvaneMessage);

// One iteration is one line that is the same as the last, so it is not sent.
void BM_KorvaneMessageRepeat(benchmark::State& state) {
    Outgoing out;
    const std::string text = "Player Mech selected Atlas AS7-D (IS)";
    for (auto _ : state) {
        out.chat.KorvaneMessage(1, 0x100, 0, text, false);
    }
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_KorvaneMessageRepeat);

// One iteration is one kick message picked from 100 and given the player's name.
void BM_PickAndFormatKickMessage(benchmark::State& state) {
    Outgoing out;
    ManualClock& clock = out.clock;
    const std::filesystem::path file =
        std::filesystem::temp_directory_path() /
        ("korvane-bench-kick-messages-" + std::to_string(::getpid()));
    {
        std::ofstream messages(file);
        for (int n = 0; n < 100; ++n) {
            messages << "@Message " << n << ": %s, your mech breaks the rules of this server.\n";
        }
    }
    KickMessageTable table(clock);
    table.LoadKickMessages(file, out.log);
    std::filesystem::remove(file);
    int64_t micros = 0;
    for (auto _ : state) {
        clock.Set({1076424589, static_cast<int32_t>(micros)});
        micros = (micros + 1000) % 1000000;
        benchmark::DoNotOptimize(FormatKickMessage(table.PickKickMessage(), "Mech"));
    }
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_PickAndFormatKickMessage);

}  // namespace
