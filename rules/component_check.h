#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string_view>

#include "app/event_log.h"
#include "capture/fixed_text.h"
#include "capture/player_record.h"
#include "rules/catalogue.h"

namespace korvane {

// The reason a configuration was refused, as it is told to the player.
using RejectReason = FixedText<256>;

// The layout of an expanded component list: two bytes, then entries back to back, each with
// its length (signed 16-bit, these two bytes included) at 0 and the component id at 86.
struct ComponentList {
    static constexpr size_t kFirstEntryOffset = 2;
    static constexpr size_t kIdOffset = 86;
    // What every entry holds, whatever its length.
    static constexpr size_t kEntryFixedBytes = 88;
};

// One entry of a component list as the walk reads it.
struct ComponentEntry {
    size_t at = 0;       // where it starts in the list
    int16_t length = 0;  // as written, these two bytes included
    uint16_t id = 0;

    // False for a length the game does not write: the walk stops at such an entry.
    bool lengthKnown() const;
    // Where the next entry begins; only for an entry of a known length.
    size_t next() const { return at + static_cast<size_t>(length); }
};

// Reads the length and the id of the entry at `at`. Throws TruncatedData when the list ends
// within the entry's first 88 bytes.
ComponentEntry ReadComponentEntry(std::span<const uint8_t> list, size_t at);

// An optional subsystem as a component: its id, the chassis permission column it is judged by,
// and what is logged and told when the chassis may not carry it.
struct SubsystemRule {
    uint16_t id;
    Subsystem column;
    std::string_view label;   // the log line reads "<label> Subsystem: INVALID"
    std::string_view reason;  // told to the player
};

// The rule of the subsystem with this component id; nothing for every other id, which names a
// weapon.
const SubsystemRule* FindSubsystemRule(uint16_t id);
// Whether the chassis of this catalogue row may carry the rule's subsystem.
bool ChassisPermits(size_t chassisRow, const SubsystemRule& rule);
// The rule judged by a permission column.
const SubsystemRule& SubsystemRuleFor(Subsystem column);

// Walks a variant's component list against its chassis: a subsystem the chassis may not carry
// makes the configuration invalid and ends the walk; every other component is looked up as a
// weapon, whose tech base joins the configuration's.
class ComponentCheck {
  public:
    ComponentCheck(EventLog& log, RejectReason& rejectReason)
        : log_(log), rejectReason_(rejectReason) {}

    // Checks the entries of the list while the configuration stays valid. The record's chassis
    // row must be set. An entry whose first 88 bytes are not all in the list throws
    // TruncatedData: the verdict rests on the entries before it.
    void CheckComponents(PlayerRecord& record, std::span<const uint8_t> list);
    // Checks the entry at `at`; where the next entry begins, or nothing (after a log line) when
    // its length is not one the game writes. Throws TruncatedData when the list ends within the
    // entry's first 88 bytes.
    std::optional<size_t> CheckComponentEntry(PlayerRecord& record, std::span<const uint8_t> list,
                                              size_t at);
    // Judges one component; the outcome is left in the record's verdict and component tech.
    void CheckComponent(PlayerRecord& record, uint16_t id);

    // The subsystem that made the latest walk's configuration invalid; none while it is valid.
    const SubsystemRule* forbidden() const { return forbidden_; }

  private:
    EventLog& log_;
    RejectReason& rejectReason_;
    const SubsystemRule* forbidden_ = nullptr;
};

}  // namespace korvane
