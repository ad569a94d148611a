#include "app/capture_pipeline.h"

namespace korvane {

CapturePipeline::CapturePipeline(const PipelineServices& services)
    : hook_(services.link, services.filters, services.localAddress),
      dispatcher_(services.console, services.players, services.log),
      streams_(services.players, dispatcher_, services.log, services.clock),
      selections_(services.settings, services.chat, services.console, services.log),
      commands_(services.settings, services.chat, services.players, services.log,
                [&announcer = services.announcer] { announcer.AnnounceTime(); }),
      walk_(services.settings, services.console, services.log, hook_, services.localAddress,
            services.clock,
            {[this](std::span<const uint8_t> frame) { streams_.Take(frame); },
             [this](std::span<const uint8_t> frame) { streams_.TakeServer(frame); }}) {
    services.players.SetHeldElsewhere([this] { return walk_.fragments().HeldBytes(); });
    services.players.SetDisconnect(
        [&removal = services.removal](PlayerRecord& record) { removal.DisconnectPlayer(record); });
    selections_.SetVariantDecoding(
        [&decoder = services.decoder](PlayerRecord& record) { decoder.DecodeVariant(record); });
    selections_.SetChatTextHandler(
        [this](PlayerRecord& record, uint32_t sender, std::string_view text) {
            commands_.HandleChatText(record, sender, text);
        });
    dispatcher_.SetGameMessageHandler(
        [this](PlayerRecord& record, std::span<const uint8_t> message) {
            selections_.HandlePlayerMessage(record, message);
        });
}

}  // namespace korvane
