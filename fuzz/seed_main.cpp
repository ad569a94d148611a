// korvane-fuzz-seed: makes seeds for the fuzz targets.
//
//   pipeline [--switches N] [--minutes N] SCENARIO OUT
//       turns a korvane-mkcap scenario into an input of the capture pipeline target
//       (fuzz/pipeline_input.h): each frame from one of the target's eight player addresses to
//       the server becomes a frame step, any other a capture buffer of its own, and the time
//       between frames clock steps
//   variants DIR
//       writes variant containers of every kind the decoder tells apart into DIR, one file each
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>
#include <vector>

#include "capture/byte_reader.h"
#include "capture/frame_headers.h"
#include "fuzz/pipeline_input.h"
#include "platform/capture_library.h"
#include "tools/scenario.h"
#include "tools/variant_builder.h"

namespace {

using korvane::fuzz::PipelineInput;

constexpr const char* kUsage =
    "usage: korvane-fuzz-seed pipeline [--switches N] [--minutes N] SCENARIO OUT\n"
    "       korvane-fuzz-seed variants DIR\n"
    "  --switches  the input's switch byte (fuzz/pipeline_input.h), default 71:\n"
    "              /puretech /report /collect, the port detected\n"
    "  --minutes   the \"/time:\" interval, default 0\n";

// The frame as a frame step when it comes from a player address to the server's address.
bool AppendAsFrameStep(std::vector<uint8_t>& input, std::span<const uint8_t> captured) {
    std::vector<uint8_t> scratch;
    const korvane::PlainFrame plain = korvane::PlainTcpFrame(captured, scratch);
    const korvane::ByteReader frame(plain.bytes);
    if (!plain.ipv4Tcp || !frame.Has(0, 54)) {
        return false;
    }
    const uint32_t source = frame.NetU32(26);
    const uint32_t destination = frame.NetU32(30);
    const uint16_t port = frame.NetU16(36);
    const uint32_t player = source - PipelineInput::kFirstPlayerAddress;
    if (player >= PipelineInput::kPlayers ||
        (destination != PipelineInput::kServerAddress &&
         destination != PipelineInput::kOtherServerAddress) ||
        (port != PipelineInput::kServerPort && port != PipelineInput::kServerPort + 1)) {
        return false;
    }
    uint8_t shape = 0;
    shape |= destination != PipelineInput::kServerAddress ? PipelineInput::kOtherAddress : 0;
    shape |= port != PipelineInput::kServerPort ? PipelineInput::kOtherPort : 0;
    shape |= captured.size() != plain.bytes.size() ? PipelineInput::kTimestamps : 0;
    korvane::fuzz::AppendFrameStep(input, static_cast<uint8_t>(player), shape, frame.Rest(54));
    return true;
}

void AppendAsBuffer(std::vector<uint8_t>& input, std::span<const uint8_t> captured) {
    std::vector<uint8_t> batch(captured.size() + 32, 0);
    const std::optional<size_t> end = korvane::AppendCaptureRecord(
        batch, 0, 0, 0, captured, static_cast<uint32_t>(captured.size()));
    batch.resize(end.value_or(0));
    input.push_back(PipelineInput::kBuffer);
    input.push_back(static_cast<uint8_t>(batch.size()));
    input.push_back(static_cast<uint8_t>(batch.size() >> 8));
    input.insert(input.end(), batch.begin(), batch.end());
}

bool WriteFile(const std::string& path, std::span<const uint8_t> bytes) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(bytes.data()),
              static_cast<std::streamsize>(bytes.size()));
    if (!out) {
        std::fprintf(stderr, "korvane-fuzz-seed: cannot write %s\n", path.c_str());
    }
    return static_cast<bool>(out);
}

int Pipeline(const std::vector<std::string>& args) {
    std::vector<std::string> files;
    int switches = 71;
    int minutes = 0;
    for (size_t i = 0; i < args.size(); ++i) {
        if ((args[i] == "--switches" || args[i] == "--minutes") && i + 1 < args.size()) {
            (args[i] == "--switches" ? switches : minutes) = std::atoi(args[++i].c_str()) & 0xFF;
        } else if (args[i].starts_with("-")) {
            std::fputs(kUsage, stderr);
            return 2;
        } else {
            files.push_back(args[i]);
        }
    }
    if (files.size() != 2) {
        std::fputs(kUsage, stderr);
        return 2;
    }
    const auto frames = korvane::tools::ScenarioFrames(korvane::tools::LoadScenario(files[0]));
    std::vector<uint8_t> input{static_cast<uint8_t>(switches), static_cast<uint8_t>(minutes)};
    const auto tenths = [](const korvane::tools::TimedFrame& timed) {
        return int64_t{timed.seconds} * 10 + timed.micros / 100000;
    };
    int64_t clock = frames.empty() ? 0 : tenths(frames.front());
    for (const auto& timed : frames) {
        while (tenths(timed) > clock) {
            const int64_t step = std::min<int64_t>(tenths(timed) - clock, 0xFFFF);
            korvane::fuzz::AppendClockStep(input, static_cast<uint16_t>(step));
            clock += step;
        }
        if (!AppendAsFrameStep(input, timed.bytes)) {
            AppendAsBuffer(input, timed.bytes);
        }
    }
    return WriteFile(files[1], input) ? 0 : 1;
}

// Containers of every kind: legal and forbidden subsystems, mixed tech, every entry length, a
// full dictionary with and without a reset, padding, names of every length, and the damaged
// ones the decoder must refuse without a verdict.
int Variants(const std::string& dir) {
    using korvane::tools::BuildContainer;
    using korvane::tools::BuildVariant;
    using korvane::tools::VariantSpec;
    constexpr uint32_t kAtlas = 958 * 65536 + 1;
    constexpr uint32_t kMadCat = 1062 * 65536 + 1;
    std::vector<std::pair<std::string, std::vector<uint8_t>>> seeds;
    const auto variantOf = [](uint32_t chassis,
                              std::vector<korvane::tools::ComponentSpec> components,
                              std::string name) {
        VariantSpec made;
        made.chassisId = chassis;
        made.components = std::move(components);
        made.name = std::move(name);
        return made;
    };
    const auto variant = [&](const std::string& name, const VariantSpec& made) {
        seeds.emplace_back(name, BuildVariant(made));
    };
    variant("legal_atlas", variantOf(kAtlas, {{813, 108}, {888, 376}}, "Brawler"));
    variant("jump_jets", variantOf(kAtlas, {{888, 376}, {815, 112}}, "Skyhook"));
    variant("mixed_tech", variantOf(kMadCat, {{885, 376}, {888, 376}, {809, 152}}, "Hybrid"));
    variant("every_length",
            variantOf(kMadCat, {{885, 108}, {886, 112}, {889, 152}, {890, 236}, {888, 376}},
                      "Lengths"));
    variant("unknown_chassis", variantOf(0x12345678, {{888, 108}}, "Nobody"));
    variant("no_components", variantOf(kAtlas, {}, ""));
    variant("long_name", variantOf(kAtlas, {{816, 108}}, std::string(232, 'N')));
    VariantSpec padded = variantOf(kAtlas, {{888, 376}}, "Padded");
    padded.totalSize = 3000;
    padded.lzw.deferReset = true;
    variant("padded_deferred_reset", padded);
    padded.lzw = {.leadingReset = false, .deferReset = false};
    variant("padded_no_leading_reset", padded);
    seeds.emplace_back("no_sections", BuildContainer({}));
    std::vector<korvane::tools::SectionSpec> sections = {{"Variant/Custom/Unnamed/Two", {}},
                                                         {"chassis", {1, 2}}};
    seeds.emplace_back("short_sections", BuildContainer(sections));
    std::vector<uint8_t> outside = BuildVariant(variantOf(kAtlas, {{888, 108}}, "Outside"));
    outside[12] = 0xFF;  // the data area far beyond the container
    seeds.emplace_back("sections_outside", outside);
    for (const auto& [name, bytes] : seeds) {
        if (!WriteFile(dir + "/" + name, bytes)) {
            return 1;
        }
    }
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    const std::vector<std::string> args(argv + 1, argv + argc);
    try {
        if (args.size() >= 1 && args[0] == "pipeline") {
            return Pipeline({args.begin() + 1, args.end()});
        }
        if (args.size() == 2 && args[0] == "variants") {
            return Variants(args[1]);
        }
    } catch (const std::exception& e) {
        std::fprintf(stderr, "korvane-fuzz-seed: %s\n", e.what());
        return 1;
    }
    std::fputs(kUsage, stderr);
    return 2;
}
