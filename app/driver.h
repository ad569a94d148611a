#pragma once

#include <array>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "app/adapter_list.h"
#include "app/capture_pipeline.h"
#include "app/command_line.h"
#include "app/event_log.h"
#include "app/event_stream.h"
#include "app/filter_installer.h"
#include "app/time_announcer.h"
#include "capture/player_table.h"
#include "link/chat_sender.h"
#include "link/kick_message_table.h"
#include "link/player_removal.h"
#include "link/server_link.h"
#include "platform/capture_library.h"
#include "platform/clock.h"
#include "platform/console.h"
#include "platform/sockets.h"
#include "rules/variant_decoder.h"

namespace korvane {

// What the program reaches the operating system through.
struct PlatformServices {
    CaptureLibrary& capture;
    Sockets& sockets;
    Console& console;
    Clock& clock;
    // Where the log and the other files of the run live.
    std::filesystem::path workDir = ".";
};

// Result codes of the process. Every failure ends with kExitFailed, a log file that cannot be
// opened and a first connection that fails included: a guard that did not start must not look
// as if it ended normally.
constexpr int kExitOk = 0;
constexpr int kExitFailed = -1;

// The program's entry point and its one loop: start-up, capture passes until Escape (or the end
// of a replayed capture), shutdown.
class Driver {
  public:
    // Size of the buffer that receives one batch of captured frames per read.
    static constexpr size_t kCaptureBufferBytes = 262144;
    static constexpr int kKernelBufferBytes = 1048576;
    static constexpr int kReadTimeoutMs = 1000;

    // Receives what every read of the loop delivered: the records written into the capture
    // buffer, or one frame in place. By default the capture walk takes it.
    using BatchHandler = std::function<void(const CapturePacket& read)>;

    explicit Driver(PlatformServices platform);
    ~Driver();
    Driver(const Driver&) = delete;
    Driver& operator=(const Driver&) = delete;

    void SetBatchHandler(BatchHandler handler) { batchHandler_ = std::move(handler); }

    // Runs the program with the process's arguments; returns the process result.
    int Run(int argc, const char* const* argv);

  private:
    std::optional<int> StartUp(int argc, const char* const* argv);
    std::optional<int> OpenCapture();
    // Chooses the adapter of the number given or typed at the prompt, or of the name given.
    std::optional<int> ChooseAdapter(const AdapterTable& table);
    std::optional<int> AskForAdapter(const AdapterTable& table);
    std::optional<int> ChooseAdapterNamed(std::span<const uint8_t> list, bool wide);
    std::optional<int> DiscoverAddress();
    void StartFollowing();
    int RunLoop();
    // Begins a new log file under the log's name, as a log rotation asks after renaming it.
    void ReopenLog();
    // A count of what a bound turned away, and how much of it the log has told.
    struct ToldCount {
        uint64_t count = 0;
        int64_t at = 0;  // when it was last told
    };
    // Logs how many records a full player table has dropped, and how often the capture met what
    // the server's stack turns away or a bound: segments beyond a gap's bound, outside their
    // window, connections not trusted, bad checksums, dropped fragments and forged ids, and what
    // the log and the event stream left out. Each at the first, then at most once a minute while
    // the count goes on rising, and at the end whatever was not told yet.
    void ReportBounds(bool atEnd);
    // The counts ReportBounds tells, in its order: the table full, then the capture's and the
    // log's.
    static constexpr size_t kBoundCounts = 9;
    std::array<uint64_t, kBoundCounts> BoundCounts() const;
    // The event of the run's end: the capture's statistics where there are any, and the counts.
    void RecordShutdown(const std::optional<CaptureStats>& stats, bool failed);
    // The event of a guard that runs: what it runs on and what it guards.
    void RecordStart();
    void ReportCount(uint64_t count, ToldCount& told, bool atEnd, const char* format);
    int ShutDown();
    void Print(const std::string& text) { platform_.console.Write(text); }

    PlatformServices platform_;
    CommandLine commandLine_;
    RunSettings& settings_ = commandLine_.settings;

    // The clock of the run: the platform's, or the capture's when a file is replayed.
    ManualClock replayClock_;
    Clock* clock_ = nullptr;
    std::string replayFailure_;

    // Before the log, which hands it every event: it outlives the log.
    std::unique_ptr<EventStream> events_;
    std::unique_ptr<EventLog> log_;
    std::vector<std::string> arguments_;  // as the process received them, its name left out
    std::unique_ptr<ServerLink> link_;
    std::unique_ptr<ChatSender> chat_;
    std::unique_ptr<KickMessageTable> kickMessages_;
    std::unique_ptr<PlayerRemoval> removal_;
    std::unique_ptr<CaptureAdapter> adapter_;
    // The adapter chosen: its name as the list gave it, to open it by, and as text.
    std::vector<uint8_t> adapterListedName_;
    bool adapterWide_ = false;
    std::string adapterName_;
    std::unique_ptr<CapturePacket> packet_;
    std::unique_ptr<FilterInstaller> filters_;
    std::vector<uint8_t> captureBuffer_;
    uint32_t localAddress_ = 0;
    std::unique_ptr<PlayerTable> players_;
    // The table full, then the capture's counts in ReportBounds' order.
    std::array<ToldCount, kBoundCounts> told_{};
    uint64_t toldTotal_ = 0;  // the sum of the counts told
    std::unique_ptr<VariantDecoder> decoder_;
    std::unique_ptr<TimeAnnouncer> announcer_;
    std::unique_ptr<CapturePipeline> pipeline_;
    BatchHandler batchHandler_;
};

}  // namespace korvane
