#include "app/driver.h"

#include <algorithm>

#include "platform/format.h"
#include "platform/replay_capture.h"
#include "platform/wide_adapter_list.h"

namespace korvane {

namespace {
constexpr const char* kBanner = "Korvane 2.1 (beta.1) Feb 10 2004 14:49:49 (SECURE)";
constexpr const char* kBuild = "Build Feb 10 2004 14:49:49";
constexpr const char* kRule = "\n====================================================\n";
constexpr uint32_t kLoopback = 0x7F000001;

// An address of 127.0.0.0/8.
bool IsLoopbackAddress(uint32_t address) {
    return address >> 24 == kLoopback >> 24;
}
}  // namespace

Driver::Driver(PlatformServices platform)
    : platform_(std::move(platform)), clock_(&platform_.clock) {}

Driver::~Driver() = default;

int Driver::Run(int argc, const char* const* argv) {
    if (std::optional<int> early = StartUp(argc, argv)) {
        return *early;
    }
    if (int result = RunLoop(); result != kExitOk) {
        return result;
    }
    return ShutDown();
}

std::optional<int> Driver::StartUp(int argc, const char* const* argv) {
    commandLine_ = ParseCommandLine(argc, argv, platform_.console);
    if (commandLine_.usageShown) {
        return kExitOk;
    }
    for (int i = 1; i < argc; ++i) {
        arguments_.emplace_back(argv[i] != nullptr ? argv[i] : "");
    }

    // A replayed capture brings its own clock, which every stamp of the run reads from the
    // first line on.
    if (settings_.replay) {
        replayClock_.Set(platform_.clock.Now());
        adapter_ = ReplayCapture::Open(settings_.replayFile, replayClock_, replayFailure_);
        clock_ = &replayClock_;
    }

    players_ = std::make_unique<PlayerTable>(*clock_);
    log_ = std::make_unique<EventLog>(*clock_, platform_.console);
    if (!log_->Open(platform_.workDir / EventLog::kFileName)) {
        Print("Error: Could not open log file\n");
        return kExitFailed;
    }
    link_ = std::make_unique<ServerLink>(platform_.sockets, *log_, settings_);
    chat_ = std::make_unique<ChatSender>(*link_, *log_, settings_);
    chat_->ForgetLastMessage();
    kickMessages_ = std::make_unique<KickMessageTable>(*clock_);
    removal_ = std::make_unique<PlayerRemoval>(*link_, *chat_, *log_, settings_);

    log_->LogEvent(kBanner);
    log_->LogEvent(kBuild);
    log_->LogEvent("Packet.dll library version:" + platform_.capture.Version());
    log_->LogEvent("Korvane starting up");
    link_->StartSockets();
    log_->LogEvent(commandLine_.commandLineEcho);
    if (settings_.eventsFile) {
        events_ = std::make_unique<EventStream>(*clock_);
        if (!events_->Open(platform_.workDir / *settings_.eventsFile)) {
            log_->LogEvent(StringPrintf("Error: could not open the event stream \"%s\": %s",
                                        settings_.eventsFile->c_str(), events_->failure().c_str()));
            return kExitFailed;
        }
        log_->SetSink(events_.get());
    }
    kickMessages_->LoadKickMessages(platform_.workDir / KickMessageTable::kFileName, *log_);
    // The grid of the time announcements starts now, announcements or not.
    announcer_ =
        std::make_unique<TimeAnnouncer>(settings_, *clock_, *players_, *chat_, platform_.console);

    if (std::optional<int> failed = OpenCapture()) {
        return failed;
    }

    Print(kRule);
    if (std::optional<int> failed = DiscoverAddress()) {
        return failed;
    }
    Print(StringPrintf("Mercs IP: %s\n", settings_.serverAddress.c_str()));
    RecordStart();
    if (settings_.portMode != kPortGiven) {
        Print(StringPrintf("Command line: korvane %s\n", settings_.AdapterSwitch().c_str()));
    } else {
        Print(StringPrintf("Command line: korvane /port:%d %s /host:%s\n", settings_.serverPort,
                           settings_.AdapterSwitch().c_str(), settings_.serverAddress.c_str()));
        if (link_->ConnectToServer(settings_.serverPort) != 0) {
            Print("Could not connect to server.\n");
            return kExitFailed;
        }
    }
    Print(kRule);
    Print("Press <Escape> anytime to exit.\n");
    Print("Korvane is running.\n");
    if (settings_.portMode == kPortGiven) {
        filters_->SetPortFilter(settings_.serverPort, localAddress_);
    } else {
        filters_->SetHostFilter(localAddress_);
    }
    StartFollowing();
    return std::nullopt;
}

void Driver::RecordStart() {
    std::vector<EventField> fields = {
        TextField("version",
                  ChatSender::kVersionText.substr(0, ChatSender::kVersionText.size() - 1)),
        TextsField("switches", arguments_),
        settings_.replay ? TextField("replay", settings_.replayFile)
                         : TextField("adapter", adapterName_),
        TextField("address", settings_.serverAddress)};
    fields.push_back(settings_.portMode == kPortGiven ? NumberField("port", settings_.serverPort)
                                                      : FlagField("port_detection", true));
    log_->Record({EventKind::start, nullptr, fields});
}

void Driver::StartFollowing() {
    decoder_ = std::make_unique<VariantDecoder>(DecoderServices{
        settings_, *log_, *chat_, *removal_, *kickMessages_, *clock_, platform_.workDir});
    pipeline_ = std::make_unique<CapturePipeline>(
        PipelineServices{settings_, platform_.console, *log_, *clock_, *link_, *filters_, *chat_,
                         *removal_, *decoder_, *players_, *announcer_, localAddress_});
    if (!batchHandler_) {
        batchHandler_ = [this](const CapturePacket& read) { pipeline_->WalkDelivery(read); };
    }
}

std::optional<int> Driver::OpenCapture() {
    if (settings_.replay) {
        Print(StringPrintf("Replaying capture file %s\n", settings_.replayFile.c_str()));
        if (adapter_ == nullptr) {
            log_->LogEvent(StringPrintf("Unable to open capture file %s: %s",
                                        settings_.replayFile.c_str(), replayFailure_.c_str()));
            return kExitFailed;
        }
    } else {
        // Without a capture library (Npcap missing on Windows) nothing can be guarded.
        if (std::string missing = platform_.capture.Unavailable(); !missing.empty()) {
            log_->LogEvent("Error: " + missing);
            return kExitFailed;
        }
        Print("Adapters installed:\n");
        const bool wide = WantsWideAdapterList(platform_.capture.PlatformVersion());
        std::vector<uint8_t> list(wide ? kWideListBytes : kNarrowListBytes, 0);
        if (!platform_.capture.GetAdapterNames(list)) {
            Print("Unable to retrieve the list of the adapters!\n");
            return kExitFailed;
        }
        AdapterTable table;
        Print(ReadAdapterList(list, wide, table));
        Print("\n");
        if (std::optional<int> failed =
                settings_.adapterName ? ChooseAdapterNamed(list, wide) : ChooseAdapter(table)) {
            return failed;
        }
        adapterWide_ = wide;
        adapter_ = platform_.capture.OpenAdapter(adapterListedName_, wide);
        if (adapter_ == nullptr) {
            log_->LogEvent(StringPrintf("Unable to open the adapter, Error Code : %lx",
                                        platform_.capture.LastError()));
            return kExitFailed;
        }
    }

    if (!adapter_->SetHwFilter(kPromiscuousFilter)) {
        log_->LogEvent("Warning: unable to set promiscuous mode!");
    }
    if (!adapter_->SetBuff(kKernelBufferBytes)) {
        log_->LogEvent("Unable to set the kernel buffer!");
        return kExitFailed;
    }
    if (!adapter_->SetReadTimeout(kReadTimeoutMs)) {
        log_->LogEvent("Warning: unable to set the read tiemout!");
    }
    packet_ = platform_.capture.AllocatePacket();
    if (packet_ == nullptr) {
        log_->LogEvent("\nError: failed to allocate the LPPACKET structure.");
        return kExitFailed;
    }
    captureBuffer_.assign(kCaptureBufferBytes, 0);
    packet_->Init(captureBuffer_);
    filters_ = std::make_unique<FilterInstaller>(*adapter_, platform_.console);
    return std::nullopt;
}

std::optional<int> Driver::ChooseAdapter(const AdapterTable& table) {
    if (std::optional<int> failed = AskForAdapter(table)) {
        return failed;
    }
    const std::span<const uint8_t> name = table.Name(settings_.adapterNumber);
    adapterListedName_.assign(name.begin(), name.end());
    adapterName_ = DecodeAdapterName(name, table.wide);
    return std::nullopt;
}

std::optional<int> Driver::ChooseAdapterNamed(std::span<const uint8_t> list, bool wide) {
    const std::string& wanted = *settings_.adapterName;
    const std::vector<ListedAdapter> adapters = ListedAdapters(list, wide);
    for (const ListedAdapter& adapter : adapters) {
        if (platform_.capture.AdapterNamed(wanted, adapter.name, adapter.description)) {
            adapterListedName_.assign(adapter.listedName.begin(), adapter.listedName.end());
            adapterName_ = adapter.name;
            return std::nullopt;
        }
    }
    // Each adapter by its name, and by its description where that tells more than the name.
    std::string known;
    for (const ListedAdapter& adapter : adapters) {
        known += known.empty() ? "" : ", ";
        known += adapter.name;
        if (adapter.description != adapter.name &&
            !adapter.description.starts_with(adapter.name + " ")) {
            known += " (" + adapter.description + ")";
        }
    }
    log_->LogEvent(StringPrintf("Error: no capture adapter is named \"%s\"; the adapters are: %s",
                                wanted.c_str(), known.empty() ? "none" : known.c_str()));
    return kExitFailed;
}

std::optional<int> Driver::AskForAdapter(const AdapterTable& table) {
    if (settings_.adapterNumber != -1) {
        return std::nullopt;  // taken as given; a number naming no adapter fails to open
    }
    if (table.count == 0) {
        log_->LogEvent("Error: no capture adapter to choose from");
        return kExitFailed;
    }
    for (;;) {
        Print("Select the number of the adapter to open : ");
        const NumberInput input = platform_.console.ReadNumber();
        if (input.kind == NumberInput::Kind::endOfInput) {
            Print("\n");
            log_->LogEvent("Error: no adapter chosen (end of input)");
            return kExitFailed;
        }
        if (input.kind == NumberInput::Kind::interrupted) {
            Print("\n");
            log_->LogEvent("Error: no adapter chosen (interrupted)");
            return kExitFailed;
        }
        if (input.kind == NumberInput::Kind::notANumber) {
            Print("\n");
            log_->LogEvent("Error: no adapter chosen (the answer is not a number)");
            return kExitFailed;
        }
        if (input.value > static_cast<long>(table.count)) {
            Print(StringPrintf("\nThe number must be smaller than %zu", table.count));
        } else if (input.value < 1) {
            Print(StringPrintf("\nThe number must be from 1 to %zu", table.count));
        } else {
            settings_.adapterNumber = static_cast<int32_t>(input.value);
            return std::nullopt;
        }
    }
}

std::optional<int> Driver::DiscoverAddress() {
    if (settings_.hostGiven) {
        localAddress_ = ParseDottedAddress(settings_.serverAddress);
        return std::nullopt;
    }
    const std::optional<std::string> hostName = platform_.sockets.HostName();
    const std::string shownName = hostName.value_or("");
    Print(StringPrintf("Hostname: %s\n", shownName.c_str()));
    std::optional<uint32_t> hostAddress;
    if (hostName) {
        hostAddress = platform_.sockets.ResolveFirstIPv4(*hostName);
    }
    if (hostAddress) {
        Print(StringPrintf("Local IP: %s\n", DottedText(*hostAddress).c_str()));
    }
    std::optional<uint32_t> guarded = hostAddress;
    if (settings_.replay) {
        // A capture file has no adapter to ask; guarding nothing at all would be worse than
        // guarding the loopback address, where the link connects too.
        if (!hostAddress) {
            log_->LogEvent(
                StringPrintf("Warning: host name \"%s\" has no IPv4 address; guarding "
                             "127.0.0.1 (/host: names another)",
                             shownName.c_str()));
            guarded = kLoopback;
        }
    } else {
        // A host name that resolves to a loopback address (127.0.1.1 on a stock Debian) says
        // nothing of a server on another adapter: its frames never go to that address. The
        // adapter's own address is the server's there.
        const AdapterAddressing adapter =
            platform_.capture.Addressing(adapterListedName_, adapterWide_);
        if (!adapter.firstIPv4) {
            log_->LogEvent(StringPrintf(
                "Error: adapter %s has no IPv4 address; give the game server's address with /host:",
                adapterName_.c_str()));
            return kExitFailed;
        }
        if (!hostAddress || (IsLoopbackAddress(*hostAddress) && !adapter.loopback)) {
            guarded = adapter.firstIPv4;
            const std::string instead =
                StringPrintf("guarding %s's address %s instead (/host: names another)",
                             adapterName_.c_str(), DottedText(*guarded).c_str());
            log_->LogEvent(
                hostAddress
                    ? StringPrintf("Warning: host name \"%s\" resolves to the loopback address "
                                   "%s, and %s is not the loopback adapter; %s",
                                   shownName.c_str(), DottedText(*hostAddress).c_str(),
                                   adapterName_.c_str(), instead.c_str())
                    : StringPrintf("Warning: host name \"%s\" has no IPv4 address; %s",
                                   shownName.c_str(), instead.c_str()));
        }
    }
    localAddress_ = *guarded;
    settings_.serverAddress = DottedText(*guarded);
    return std::nullopt;
}

int Driver::RunLoop() {
    bool running = true;
    while (running) {
        if (platform_.console.TakeLogReopenRequest()) {
            ReopenLog();
        }
        if (platform_.console.KeyWaiting() && platform_.console.ReadKey() == kEscapeKey) {
            running = false;
        }
        if (adapter_->AtEnd()) {
            running = false;  // a replayed capture ends like Escape: one more pass, then stop
        }
        if (!adapter_->ReceivePacket(*packet_)) {
            log_->LogEvent("Error: PacketReceivePacket failed");
            if (const std::string why = adapter_->ErrorText(); !why.empty()) {
                log_->LogEvent("Error: " + why);
            }
            RecordShutdown(std::nullopt, true);
            return kExitFailed;
        }
        batchHandler_(*packet_);
        players_->SweepPlayers();
        ReportBounds(false);
        announcer_->AnnouncementTick();
    }
    ReportBounds(true);
    if (const std::string why = adapter_->ErrorText(); !why.empty()) {
        // Something the capture got over: a damaged file that ended the replay early, a
        // promiscuous mode it had to do without.
        log_->LogEvent("Warning: " + why);
    }
    return kExitOk;
}

void Driver::ReopenLog() {
    if (log_->Reopen()) {
        log_->LogEvent("Log file reopened");
    } else {
        log_->LogEvent("Warning: could not reopen the log file; writing on to the one open before");
    }
    if (events_ != nullptr && !events_->Reopen()) {
        log_->LogEvent(
            "Warning: could not reopen the event stream; writing on to the file open "
            "before");
    }
}

void Driver::ReportBounds(bool atEnd) {
    static constexpr const char* kFormats[] = {
        "Warning: the player table is full; %llu records of the longest-silent addresses dropped "
        "so far",
        "Warning: segments ahead of a gap passed a connection's bound %llu times so far; each "
        "time the gap was given up",
        "Warning: %llu segments outside their connection's receive window dropped so far, as the "
        "server drops them",
        "Warning: %llu connections not trusted so far: opened without a handshake the server "
        "completed, or found open without one while handshakes are seen; nothing of them is "
        "judged",
        "Warning: %llu frames with checksums the server's stack refuses dropped so far",
        "Warning: %llu fragmented datagrams dropped so far: overlapping, too long, never "
        "completed or past the bounds",
        "Warning: %llu messages in a player id not their connection's ignored so far",
        "Warning: %llu warnings about single connections left out of the log so far, past 10 a "
        "minute",
        "Warning: %llu events about players left out of the event stream so far, past 600 a "
        "minute",
    };
    static_assert(std::size(kFormats) == kBoundCounts);
    static_assert(EventLog::kConnectionLinesPerMinute == 10, "as the line says");
    static_assert(EventLog::kPlayerEventsPerMinute == 600, "as the last line says");
    const std::array<uint64_t, kBoundCounts> counts = BoundCounts();
    // Every count only grows: while their sum is what the log has told, so is each of them.
    // This is the common case, checked on every pass.
    uint64_t total = 0;
    for (uint64_t count : counts) {
        total += count;
    }
    if (total == toldTotal_) {
        return;
    }
    toldTotal_ = 0;
    for (size_t i = 0; i < counts.size(); ++i) {
        ReportCount(counts[i], told_[i], atEnd, kFormats[i]);
        toldTotal_ += told_[i].count;
    }
}

std::array<uint64_t, Driver::kBoundCounts> Driver::BoundCounts() const {
    std::array<uint64_t, kBoundCounts> counts{players_->droppedRecords()};
    if (pipeline_ != nullptr) {
        const StreamStage& streams = pipeline_->streams();
        const CaptureWalk& walk = pipeline_->walk();
        const Ipv4Reassembly::Counts& fragments = walk.fragments().counts();
        counts[1] = streams.boundsHit();
        counts[2] = streams.outsideWindow();
        counts[3] = streams.untrusted();
        counts[4] = walk.badChecksums();
        counts[5] = fragments.overlapping + fragments.tooLong + fragments.timedOut +
                    fragments.overBound + fragments.malformed;
        counts[6] = pipeline_->dispatcher().forgedIds();
    }
    counts[7] = log_->connectionLinesLeftOut();
    counts[8] = log_->playerEventsLeftOut();
    return counts;
}

void Driver::ReportCount(uint64_t count, ToldCount& told, bool atEnd, const char* format) {
    if (count == told.count) {
        return;
    }
    const int64_t now = clock_->Now().seconds;
    if (!atEnd && told.count != 0 && now - told.at < 60) {
        return;
    }
    log_->LogEvent(StringPrintf(format, static_cast<unsigned long long>(count)));
    told = {count, now};
}

void Driver::RecordShutdown(const std::optional<CaptureStats>& stats, bool failed) {
    static constexpr std::string_view kCountNames[] = {
        "records_dropped", "gaps_given_up",     "outside_window",
        "untrusted",       "bad_checksums",     "fragments_dropped",
        "forged_ids",      "warnings_left_out", "events_left_out"};
    static_assert(std::size(kCountNames) == kBoundCounts);
    const std::array<uint64_t, kBoundCounts> counts = BoundCounts();
    std::vector<EventField> fields;
    if (failed) {
        fields.push_back(FlagField("failed", true));  // a capture read failed
    }
    if (stats) {
        fields.push_back(NumberField("received", stats->received));
        fields.push_back(NumberField("lost", stats->dropped));
    }
    for (size_t i = 0; i < counts.size(); ++i) {
        fields.push_back(NumberField(kCountNames[i], static_cast<int64_t>(counts[i])));
    }
    log_->Record({EventKind::shutdown, nullptr, fields});
}

int Driver::ShutDown() {
    log_->LogEvent("Korvane shutting down.");
    const std::optional<CaptureStats> stats = adapter_->GetStats();
    if (stats) {
        log_->LogEvent(StringPrintf("%d packets received. %d Packets lost",
                                    static_cast<int>(stats->received),
                                    static_cast<int>(stats->dropped)));
    } else {
        log_->LogEvent("Warning: unable to get stats from the kernel!");
    }
    RecordShutdown(stats, false);
    filters_.reset();
    packet_.reset();
    adapter_.reset();
    link_->StopSockets();
    log_->LogEvent("Shutdown complete.\n");
    log_->Close();
    return kExitOk;
}

}  // namespace korvane
