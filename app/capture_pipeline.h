#pragma once

#include <cstdint>
#include <optional>
#include <span>

#include "app/event_log.h"
#include "app/filter_installer.h"
#include "app/link_port_hook.h"
#include "app/run_settings.h"
#include "app/time_announcer.h"
#include "capture/capture_walk.h"
#include "capture/player_table.h"
#include "capture/session_dispatcher.h"
#include "capture/stream_stage.h"
#include "link/chat_sender.h"
#include "link/player_removal.h"
#include "link/server_link.h"
#include "platform/clock.h"
#include "platform/console.h"
#include "rules/chat_commands.h"
#include "rules/selection_handler.h"
#include "rules/variant_decoder.h"

namespace korvane {

// What the pipeline is built around; it owns none of these.
struct PipelineServices {
    RunSettings& settings;
    Console& console;
    EventLog& log;
    const Clock& clock;
    ServerLink& link;
    FilterInstaller& filters;
    ChatSender& chat;
    PlayerRemoval& removal;
    VariantDecoder& decoder;
    PlayerTable& players;
    TimeAnnouncer& announcer;
    uint32_t localAddress = 0;
};

// The program from the capture on, wired as every run wires it: the capture walk with port
// detection, each connection's stream, the session dispatcher, the selection handling with the
// variant decoder and its verdict, kicks and removals through the player table's sweep, and the
// chat commands.
class CapturePipeline {
  public:
    explicit CapturePipeline(const PipelineServices& services);
    CapturePipeline(const CapturePipeline&) = delete;
    CapturePipeline& operator=(const CapturePipeline&) = delete;

    // One buffer of captured records.
    void WalkCaptureBuffer(std::span<const uint8_t> batch) { walk_.WalkCaptureBuffer(batch); }
    // What one read delivered.
    void WalkDelivery(const CapturePacket& read) { walk_.WalkDelivery(read); }

    CaptureWalk& walk() { return walk_; }
    StreamStage& streams() { return streams_; }
    SessionDispatcher& dispatcher() { return dispatcher_; }

  private:
    LinkPortHook hook_;
    SessionDispatcher dispatcher_;
    StreamStage streams_;
    SelectionHandler selections_;
    ChatCommands commands_;
    CaptureWalk walk_;
};

}  // namespace korvane
