#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>

#include "app/event_log.h"
#include "app/run_settings.h"
#include "capture/player_record.h"
#include "link/chat_sender.h"
#include "link/kick_message_table.h"
#include "link/player_removal.h"
#include "platform/clock.h"
#include "rules/component_check.h"
#include "rules/section_expander.h"
#include "rules/variant_container.h"
#include "rules/variant_file.h"

namespace korvane {

// What the decoding of one upload needs from the rest of the program.
struct DecoderServices {
    const RunSettings& settings;
    EventLog& log;
    ChatSender& chat;
    PlayerRemoval& removal;
    const KickMessageTable& kickMessages;
    const Clock& clock;
    // Where collected variants are saved, and how many bytes of them a run keeps.
    std::filesystem::path workDir = ".";
    uint64_t collectionBound = VariantCollection::kMaxBytes;
};

// Where the latest decoding ended. Only `judged` and `oversized` are verdicts; every other end
// leaves the player's verdict as it was and tells the player nothing.
enum class DecodeOutcome {
    none,                  // nothing decoded yet
    oversized,             // more bytes than an upload may have: refused
    tooShort,              // fewer bytes than the container magic (or than the pieces claim):
                           // dropped
    notContainer,          // no "#VBD" at the start: dropped
    inconsistent,          // the directory does not add up to the bytes, or a section lies
                           // outside them: no verdict, saved with "/collect"
    noChassisSection,      // no section 0 or 1: no verdict
    chassisUnreadable,     // the chassis section does not expand to a whole chassis record
    unknownChassis,        // "Could not determine chassis": no verdict
    componentsUnreadable,  // no section 2, or it does not expand: nothing checked, no report
    judged,                // the components were walked: `configOk` holds the verdict
};

// The chassis id in a container's chassis section (1): the u32 at 148 of its expansion.
// Nothing when the section does not expand, or not that far.
std::optional<uint32_t> ChassisIdOf(SectionExpander& expander, const VariantSection& section);

// Judges a player's uploaded variant: joins the three pieces, checks the container, finds the
// chassis and has every component checked, then acts on the verdict. A valid variant is
// reported as the switches ask; an invalid or oversized one is logged, saved with "/collect",
// explained to the player and the player removed. Holds the state one decoding works in: the
// container's directory, the expansion area with its dictionary, and the reason of the latest
// refusal.
class VariantDecoder {
  public:
    explicit VariantDecoder(DecoderServices services)
        : services_(std::move(services)),
          check_(services_.log, rejectReason_),
          collection_(services_.clock, services_.log, services_.workDir,
                      services_.collectionBound) {}

    // Decodes and judges the pieces in the record; empties them whatever the outcome.
    void DecodeVariant(PlayerRecord& record);

    std::string_view rejectReason() const { return rejectReason_.view(); }
    // Where the latest decoding ended.
    DecodeOutcome outcome() const { return outcome_; }
    // What the latest decoding told (or, in test or silent mode, would have told) a refused
    // player after the kick message; empty when it refused nothing.
    std::string_view refusal() const { return refusal_; }

  private:
    // False when the decoding ends here, without a verdict.
    bool TakeNameAndChassis(PlayerRecord& record);
    void CheckAndReport(PlayerRecord& record);
    void ReportValid(const PlayerRecord& record);
    void RefuseInvalid(PlayerRecord& record);
    void RefuseOversized(PlayerRecord& record, uint64_t total);
    // The kick message and `reason` as alerts, then the farewell; once per player.
    void Kick(PlayerRecord& record, std::string_view reason);

    DecoderServices services_;
    VariantDirectory directory_;
    SectionExpander expander_;
    RejectReason rejectReason_;
    ComponentCheck check_;
    VariantCollection collection_;
    DecodeOutcome outcome_ = DecodeOutcome::none;
    std::string refusal_;
};

}  // namespace korvane
