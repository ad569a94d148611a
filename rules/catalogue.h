#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string_view>

#include "capture/player_record.h"
#include "rules/tech_base.h"

namespace korvane {

// The optional subsystems a chassis may or may not carry, in the order of the catalogue's
// permission columns.
enum Subsystem : size_t { kEcm, kBap, kJumpJets, kLams, kOptics, kIff, kGyro, kSubsystemCount };

struct WeaponRow {
    std::string_view name;
    uint16_t id;  // as a variant's component list names it
    int8_t tech;  // kTechIS or kTechClan
    std::string_view code;
};

struct ChassisRow {
    std::string_view name;
    std::string_view code;
    uint32_t selectionId;       // carried by a stock selection
    uint32_t variantChassisId;  // found in a decoded variant's chassis record
    int8_t tech;                // kTechIS, kTechClan, or kTechNA for the Camera Ship
    std::array<int8_t, kSubsystemCount> permits;  // 1: the chassis may carry the subsystem
};

inline constexpr size_t kWeaponRows = 92;
inline constexpr size_t kChassisRows = 54;

// The game's weapons and chassis, constant and in a fixed order: lookups take the first row
// that matches.
extern const std::array<WeaponRow, kWeaponRows> WeaponCatalogue;
extern const std::array<ChassisRow, kChassisRows> ChassisCatalogue;

// The first weapon with this component id; nothing when no weapon has it.
const WeaponRow* FindWeapon(uint16_t componentId);
// The row of the chassis a decoded variant names by this id; nothing when no row has it.
std::optional<size_t> FindVariantChassis(uint32_t chassisId);

// A stock selection: the chassis whose selection id matches becomes the record's chassis, its
// tech the record's (the previous values kept as the previous tech), with no weapons and a
// valid configuration. An id that no row carries leaves "Unknown", no chassis and an invalid
// configuration, the tech values as they were.
void LookUpSelectedChassis(PlayerRecord& record, uint32_t selectionId);
// A decoded variant's chassis: as above for the row whose variant chassis id matches, without
// touching the verdict or the variant's name. False, with no chassis row, when none matches.
bool LookUpVariantChassis(PlayerRecord& record, uint32_t chassisId);
// Adds the tech of the first weapon with the id to the record's component tech; an id of no
// weapon changes nothing.
void LookUpWeapon(PlayerRecord& record, uint16_t componentId);

}  // namespace korvane
