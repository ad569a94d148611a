// The variant container: the input is a container as a player uploads it, judged by the
// decoder with "/puretech", "/report" and "/collect" on: directory, section expansion, chassis
// lookup, component walk, verdict, kick and collection file (in a directory of the target's
// own). The input is also expanded as one compressed section on its own, and the encoding of
// the input by the test tools' LZW encoder must expand back to the input, in one of the
// encoder's two manners.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "capture/player_record.h"
#include "fuzz/judging_services.h"
#include "fuzz/require.h"
#include "fuzz/temp_directory.h"
#include "rules/section_expander.h"
#include "tools/lzw_encoder.h"

namespace {

using korvane::fuzz::Require;

constexpr uint32_t kPlayerId = 0x2a;

void RequireRoundTrip(korvane::SectionExpander& expander, std::span<const uint8_t> input,
                      korvane::tools::LzwOptions options) {
    const std::vector<uint8_t> stream = korvane::tools::LzwEncode(input, options);
    const std::optional<size_t> expanded = expander.ExpandSection(stream);
    Require(expanded.has_value() && *expanded == input.size(),
            "an encoded section expands to its length");
    const std::span<const uint8_t> back = expander.Expanded(*expanded);
    Require(std::equal(back.begin(), back.end(), input.begin()),
            "an encoded section expands to its bytes");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static const korvane::fuzz::TempDirectory kicks("variant_container_fuzz_kicks");
    static const korvane::fuzz::TempDirectory collected("variant_container_fuzz_run");
    static korvane::fuzz::JudgingServices services(
        collected.path(), korvane::fuzz::WriteKickMessageFile(kicks.path()));
    static korvane::SectionExpander expander;  // each expansion starts afresh
    const std::span<const uint8_t> input(data, size);

    korvane::RunSettings settings;
    settings.serverAddress = "127.0.0.1";
    settings.puretech = true;
    settings.reportSelections = true;
    settings.collectVariants = true;
    services.Reset(settings);
    services.link.ConnectToServer(settings.serverPort);
    korvane::PlayerRecord player(kPlayerId, services.clock);
    player.SetNames(u"Mira", "Mira");
    player.configPart1.assign(input.begin(), input.end());
    player.configLength1 = static_cast<uint32_t>(size);
    services.decoder.DecodeVariant(player);
    Require(player.configLength1 == 0 && player.configPart1.empty(),
            "a decoding empties the pieces");
    Require(player.configOk == 0 || player.configOk == 1, "the verdict is yes or no");
    collected.Empty();

    const std::optional<size_t> expanded = expander.ExpandSection(input);
    Require(!expanded || *expanded <= korvane::SectionExpander::kAreaBytes,
            "an expansion fits the area");
    // The manner of the encoding by the length's parity: either is checked, half the cost.
    if (size <= korvane::PlayerRecord::kConfigDataBytes) {
        RequireRoundTrip(
            expander, input,
            size % 2 == 0 ? korvane::tools::LzwOptions{}
                          : korvane::tools::LzwOptions{.leadingReset = false, .deferReset = true});
    }
    return 0;
}
