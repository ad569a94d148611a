// The whole program from the capture on, wired as the driver wires it: the capture walk with
// port detection, each connection's TCP stream, the session dispatcher, the player table and its
// sweep,
// the selection handling with the variant decoder and its verdict, kicks and removals, the chat
// commands and the time announcements. The link runs on fake sockets that keep nothing, the
// clock is a manual one the input moves, the console keeps nothing and collected variants land
// in a directory of the target's own. The input's layout is in fuzz/pipeline_input.h.
//
// Besides running clean: whatever the players send, no record holds more than one oversized
// configuration's worth of pieces, more queued pieces than the handler keeps, or more stream
// bytes than a message and the out-of-order bound; fragments waiting stay within theirs. The
// event stream is on, written to a file of the target's own, and every line it wrote must be
// one JSON object of printable ASCII.
#include <nlohmann/json.hpp>

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <memory>
#include <span>
#include <string>
#include <vector>

#include "app/capture_pipeline.h"
#include "app/event_log.h"
#include "app/event_stream.h"
#include "app/filter_installer.h"
#include "app/run_settings.h"
#include "app/time_announcer.h"
#include "capture/player_table.h"
#include "capture/tcp_stream.h"
#include "fuzz/judging_services.h"
#include "fuzz/pipeline_input.h"
#include "fuzz/require.h"
#include "fuzz/temp_directory.h"
#include "link/chat_sender.h"
#include "link/kick_message_table.h"
#include "link/player_removal.h"
#include "link/server_link.h"
#include "platform/capture_library.h"
#include "platform/clock.h"
#include "platform/fake_capture_library.h"
#include "platform/fake_sockets.h"
#include "platform/null_console.h"
#include "rules/variant_decoder.h"

namespace {

using korvane::fuzz::PipelineInput;
using korvane::fuzz::PipelineStep;
using korvane::fuzz::Require;
using namespace korvane;

// The run's switches from the input's first two bytes.
RunSettings SettingsOf(uint8_t switches, uint8_t minutes) {
    RunSettings settings;
    settings.serverAddress = "127.0.0.1";
    settings.hostGiven = true;
    settings.puretech = (switches & PipelineInput::kPuretech) != 0;
    settings.reportSelections = (switches & PipelineInput::kReport) != 0;
    settings.collectVariants = (switches & PipelineInput::kCollect) != 0;
    settings.silent = (switches & PipelineInput::kSilent) != 0;
    settings.testMode = (switches & PipelineInput::kTest) != 0;
    settings.debugTrace = (switches & PipelineInput::kDebug) != 0;
    settings.versionNotice = (switches & PipelineInput::kNoVersion) == 0;
    if ((switches & PipelineInput::kDetectPort) == 0) {
        settings.portMode = kPortGiven;
        settings.serverPort = PipelineInput::kServerPort;
    }
    settings.timeInterval = minutes;
    return settings;
}

// What the driver builds for following players, around the judging services that live across
// inputs, made anew for every input.
struct Run {
    explicit Run(fuzz::JudgingServices& judging)
        : settings(judging.settings),
          clock(judging.clock),
          console(judging.console),
          log(judging.log),
          sockets(judging.sockets),
          link(judging.link),
          chat(judging.chat),
          removal(judging.removal),
          decoder(judging.decoder) {
        if (settings.portMode == kPortGiven) {
            link.ConnectToServer(settings.serverPort);
            filters.SetPortFilter(settings.serverPort, PipelineInput::kServerAddress);
        } else {
            filters.SetHostFilter(PipelineInput::kServerAddress);
        }
    }

    // One pass of the main loop over a batch of records.
    void Pass(std::span<const uint8_t> batch) {
        pipeline.WalkCaptureBuffer(batch);
        players.SweepPlayers();
        announcer.AnnouncementTick();
    }

    void Step(const PipelineStep& step) {
        switch (step.opcode) {
            case PipelineInput::kFrame: {
                const ClockReading now = clock.Now();
                std::vector<uint8_t> batch;
                size_t end = 0;
                for (const std::vector<uint8_t>& frame : frames.Next(step)) {
                    batch.resize(end + frame.size() + 32, 0);
                    end = AppendCaptureRecord(batch, end, static_cast<uint32_t>(now.seconds),
                                              static_cast<uint32_t>(now.micros), frame,
                                              static_cast<uint32_t>(frame.size()))
                              .value_or(end);
                }
                batch.resize(end);
                Pass(batch);
                break;
            }
            case PipelineInput::kBuffer:
                Pass(step.bytes);
                break;
            case PipelineInput::kClock:
                clock.AdvanceMicros(int64_t{step.tenths} * 100000);
                Pass({});
                break;
            default:
                sockets.failSends = step.link & PipelineInput::kFailSendsMask;
                sockets.refuseConnects = (step.link & PipelineInput::kRefuseConnects) != 0;
                if ((step.link & PipelineInput::kServerCloses) != 0) {
                    sockets.peerClosed.insert(link.linkSocket());
                }
                break;
        }
    }

    void RequireBoundedRecords() {
        Require(pipeline.walk().fragments().HeldBytes() <= Ipv4Reassembly::Limits{}.maxBytes,
                "fragments waiting hold at most their bound");
        players.records().ForEach([](const PlayerRecord& record) {
            for (const std::vector<uint8_t>* piece :
                 {&record.configPart1, &record.configPart2, &record.configPart3}) {
                Require(piece->size() <= PlayerRecord::kConfigDataBytes,
                        "a piece holds at most a configuration's bytes");
            }
            Require(record.pendingSelections.count() <= SelectionHandler::kMaxQueuedSelections,
                    "the queue of early pieces is bounded");
            const TcpStream::Limits limits;
            Require(record.stream.HeldBytes() <=
                        32768 + limits.maxAheadBytes +
                            (limits.maxAheadSegments + 1) * (sizeof(std::vector<uint8_t>) + 64),
                    "a stream holds at most a message and its out-of-order bound");
        });
    }

    RunSettings& settings;
    ManualClock& clock;
    Console& console;
    EventLog& log;
    FakeSockets& sockets;
    ServerLink& link;
    ChatSender& chat;
    PlayerRemoval& removal;
    VariantDecoder& decoder;
    FakeCaptureLibrary library;
    std::unique_ptr<CaptureAdapter> adapter =
        library.OpenAdapter(std::vector<uint8_t>{'l', 0, 'o', 0}, true);
    FilterInstaller filters{*adapter, console};
    PlayerTable players{clock};
    TimeAnnouncer announcer{settings, clock, players, chat, console};
    CapturePipeline pipeline{PipelineServices{settings, console, log, clock, link, filters, chat,
                                              removal, decoder, players, announcer,
                                              PipelineInput::kServerAddress}};
    fuzz::PipelineFrames frames;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static const fuzz::TempDirectory kicks("capture_pipeline_fuzz_kicks");
    // Where collected variants are written; emptied after every input that collects.
    static const fuzz::TempDirectory collected("capture_pipeline_fuzz_run");
    static fuzz::JudgingServices judging(collected.path(),
                                         fuzz::WriteKickMessageFile(kicks.path()));
    static const fuzz::TempDirectory streamed("capture_pipeline_fuzz_events");
    static EventStream events(judging.clock);
    const std::filesystem::path eventsFile = streamed.path() / "events.jsonl";
    const uint8_t switches = size > 0 ? data[0] : 0;
    const uint8_t minutes = size > 1 ? data[1] : 0;
    judging.Reset(SettingsOf(switches, minutes));
    std::filesystem::remove(eventsFile);
    Require(events.Open(eventsFile), "the event stream opens");
    judging.log.SetSink(&events);
    {
        Run run(judging);
        fuzz::PipelineSteps steps(std::span<const uint8_t>(data, size));
        while (const std::optional<PipelineStep> step = steps.Next()) {
            run.Step(*step);
            run.RequireBoundedRecords();
        }
    }
    judging.log.SetSink(nullptr);
    events.Close();
    std::ifstream written(eventsFile, std::ios::binary);
    for (std::string line; std::getline(written, line);) {
        for (const char c : line) {
            Require(c >= 0x20 && c < 0x7f, "an event line is printable ASCII");
        }
        Require(nlohmann::json::accept(line) && line.front() == '{',
                "every event is a JSON object of its own line");
    }
    if ((switches & PipelineInput::kCollect) != 0) {
        collected.Empty();
    }
    return 0;
}
