// Cost of the player table: finding the record of a known address among N records, which every
// captured frame does, and a flood of frames from distinct (spoofed) source addresses, each of
// which makes a new record.
#include <benchmark/benchmark.h>

#include <array>
#include <cstdint>
#include <string>

#include "bench/allocation_count.h"
#include "capture/player_record.h"
#include "capture/player_table.h"
#include "platform/clock.h"

namespace {

using korvane::ManualClock;
using korvane::PlayerRecord;
using korvane::PlayerTable;

// The n-th of a run of distinct loopback addresses, 127.x.y.z.
std::array<uint8_t, 4> NthAddress(int64_t n) {
    return {127, static_cast<uint8_t>(n >> 16), static_cast<uint8_t>(n >> 8),
            static_cast<uint8_t>(n)};
}

int64_t RecordsWithConfigData(const PlayerTable& table) {
    int64_t n = 0;
    table.records().ForEach([&](const PlayerRecord& r) { n += r.configData != nullptr; });
    return n;
}

// A record's share of the heap: the record itself, its node in the list of all records (two
// links and one pointer), each with an estimated 16 bytes of allocator overhead, its slot and two
// entries of its bucket's index (a key and a pointer each: the index is at most half full).
constexpr double kRecordBytes = (sizeof(PlayerRecord) + 16) + (3 * sizeof(void*) + 16) +
                                sizeof(korvane::PlayerSlot) + 2 * (8 + sizeof(void*));

// One iteration is one lookup of an address already in a table of range(0) records.
void BM_LookupKnownAddress(benchmark::State& state) {
    const int64_t records = state.range(0);
    ManualClock clock({1'000'000, 0});
    PlayerTable table(clock);
    for (int64_t i = 0; i < records; ++i) {
        table.GetPlayerWithId(static_cast<uint32_t>(i + 1), NthAddress(i));
    }
    int64_t i = 0;
    for (auto _ : state) {
        PlayerRecord& r = table.GetPlayerWithId(7, NthAddress(i));
        benchmark::DoNotOptimize(&r);
        if (++i == records) {
            i = 0;
        }
    }
    if (table.count() != static_cast<size_t>(records)) {
        state.SkipWithError("a lookup of a known address made a new record");
    }
    state.SetItemsProcessed(state.iterations());
}

// One iteration is what one pass of a replay does for a frame from a new (spoofed) address: the
// lookup that makes its record, then a sweep. The table holds range(0) records before the
// timing starts; at the default limit of 65536 every new record drops the longest-silent one.
// The time per frame should not depend on how many records the table holds.
void BM_FloodOfNewAddresses(benchmark::State& state) {
    const int64_t before = state.range(0);
    ManualClock clock({1'000'000, 0});
    PlayerTable table(clock);
    int64_t n = 0;
    for (; n < before; ++n) {
        table.GetPlayer(NthAddress(n));
    }
    table.SweepPlayers();
    const uint64_t allocations = korvane::bench::Allocations();
    for (auto _ : state) {
        benchmark::DoNotOptimize(&table.GetPlayer(NthAddress(n++)));
        table.SweepPlayers();
    }
    // 0 once the table is full: records and their slots are reused.
    state.counters["allocations_per_frame"] =
        static_cast<double>(korvane::bench::Allocations() - allocations) /
        static_cast<double>(state.iterations());
    state.SetItemsProcessed(state.iterations());
    state.counters["records"] = benchmark::Counter(static_cast<double>(table.count()));
    state.counters["dropped"] = benchmark::Counter(static_cast<double>(table.droppedRecords()));
    state.counters["bytes_per_record"] = benchmark::Counter(kRecordBytes);
    state.counters["table_bytes"] =
        benchmark::Counter(kRecordBytes * static_cast<double>(table.count()));
    // Stays 0: the 16 KiB configuration buffer is never made for a record that only sends frames.
    state.counters["records_with_config_data"] =
        benchmark::Counter(static_cast<double>(RecordsWithConfigData(table)));
}

BENCHMARK(BM_LookupKnownAddress)->Arg(100)->Arg(10000)->Arg(65536);
BENCHMARK(BM_FloodOfNewAddresses)->Arg(1000)->Arg(65536);

}  // namespace
