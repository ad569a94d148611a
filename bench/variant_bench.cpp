// Cost of judging variants: a compressed section expanded, side by side with giflib decoding
// the same stream as the image data of a GIF, and a whole upload handled from its first piece
// to the verdict and its report.
#include <benchmark/benchmark.h>

#include <memory>
#include <random>
#include <string>
#include <vector>

#include "bench/allocation_count.h"
#include "bench/outgoing.h"
#include "capture/player_record.h"
#include "link/kick_message_table.h"
#include "link/player_removal.h"
#include "rules/section_expander.h"
#include "rules/selection_handler.h"
#include "rules/variant_decoder.h"
#include "tools/gif_image.h"
#include "tools/lzw_encoder.h"
#include "tools/variant_builder.h"

namespace {

using namespace korvane;

constexpr uint16_t kSide = 256;  // the GIF is kSide x kSide pixels
constexpr uint32_t kAtlas = 958 * 65536 + 1;

// 64 KiB of what sections hold, component lists of every entry length one after another, or
// of noise that fills the dictionary again and again.
std::vector<uint8_t> SectionData(bool noise) {
    std::vector<uint8_t> data;
    if (noise) {
        std::mt19937 random(2004);
        while (data.size() < size_t{kSide} * kSide) {
            data.push_back(static_cast<uint8_t>(random()));
        }
    } else {
        const std::vector<tools::ComponentSpec> components = {{888, 108}, {813, 112},   {885, 152},
                                                              {816, 236}, {10743, 376}, {853, 108}};
        while (data.size() < size_t{kSide} * kSide) {
            const std::vector<uint8_t> list = tools::ComponentList(components);
            data.insert(data.end(), list.begin(), list.end());
        }
    }
    data.resize(size_t{kSide} * kSide);
    return data;
}

void BM_ExpandSection(benchmark::State& state) {
    const std::vector<uint8_t> data = SectionData(state.range(0) != 0);
    const std::vector<uint8_t> stored = tools::LzwEncode(data);
    const auto expander = std::make_unique<SectionExpander>();
    if (expander->ExpandSection(stored) != data.size()) {
        state.SkipWithError("the expansion differs from the data");
        return;
    }
    for (auto _ : state) {
        benchmark::DoNotOptimize(expander->ExpandSection(stored));
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * data.size()));
    state.counters["stored_bytes"] = static_cast<double>(stored.size());
}
BENCHMARK(BM_ExpandSection)->ArgName("noise")->Arg(0)->Arg(1);

// The same stream, decoded by giflib from a GIF held in memory.
void BM_GiflibDecode(benchmark::State& state) {
    const std::vector<uint8_t> data = SectionData(state.range(0) != 0);
    const std::vector<uint8_t> gif = tools::WrapInGif(tools::LzwEncode(data), kSide, kSide);
    std::vector<uint8_t> pixels;
    std::string error;
    if (!tools::GiflibDecodeInto(gif, pixels, error) || pixels != data) {
        state.SkipWithError(("giflib: " + error).c_str());
        return;
    }
    for (auto _ : state) {
        benchmark::DoNotOptimize(tools::GiflibDecodeInto(gif, pixels, error));
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * data.size()));
}
BENCHMARK(BM_GiflibDecode)->ArgName("noise")->Arg(0)->Arg(1);

// The program's rules on an outgoing link, reporting every selection.
struct Judge : bench::Outgoing {
    Judge() {
        settings.reportSelections = true;
        settings.puretech = true;
        player.SetNames(u"Mira", "Mira");
        selections.SetVariantDecoding([this](PlayerRecord& r) { decoder.DecodeVariant(r); });
    }
    KickMessageTable kicks{clock};
    PlayerRemoval removal{link, chat, log, settings};
    VariantDecoder decoder{DecoderServices{settings, log, chat, removal, kicks, clock, "."}};
    SelectionHandler selections{settings, chat, console, log};
    PlayerRecord player{0x2a, clock};
};

// One iteration is one legal upload of a typical variant in three pieces: stored, joined,
// expanded, checked and reported.
void BM_JudgeUpload(benchmark::State& state) {
    tools::VariantSpec variant;
    variant.chassisId = kAtlas;
    variant.name = "Brawler";
    const uint16_t ids[] = {888, 888, 889, 889, 890, 853, 876, 813, 812, 816, 810, 809, 902, 868};
    for (uint16_t id : ids) {
        variant.components.push_back({id, id < 820 ? int16_t{112} : int16_t{376}});
    }
    const std::vector<uint8_t> container = tools::BuildVariant(variant);
    const std::vector<std::vector<uint8_t>> messages =
        tools::UploadMessages(0x2a, 10, container, 0, 3);

    Judge judge;
    const uint64_t allocations = bench::Allocations();
    for (auto _ : state) {
        judge.chat.ForgetLastMessage();
        judge.player.selectionSequence = 10;
        for (const std::vector<uint8_t>& message : messages) {
            judge.selections.HandlePlayerMessage(judge.player, message);
        }
    }
    if (judge.player.configOk != 1 || judge.sockets.sendCalls == 0) {
        state.SkipWithError("the upload was not judged legal and reported");
    }
    state.counters["allocations_per_upload"] =
        static_cast<double>(bench::Allocations() - allocations) /
        static_cast<double>(state.iterations());
    state.SetItemsProcessed(state.iterations());
    state.counters["container_bytes"] = static_cast<double>(container.size());
}
BENCHMARK(BM_JudgeUpload);

}  // namespace
