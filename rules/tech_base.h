#pragma once

#include <array>
#include <cstdint>
#include <string_view>

namespace korvane {

// The tech base of a chassis, a weapon or a whole configuration, as a bit mask: a configuration
// that carries both IS and Clan technology is Mixed.
enum TechBase : uint32_t {
    kTechNA = 0,
    kTechIS = 1,
    kTechClan = 2,
    kTechMixed = kTechIS | kTechClan,
};

// The display names of the four tech base values, indexed by the value.
inline constexpr std::array<std::string_view, 4> TechBaseNames = {"NA", "IS", "Clan", "Mixed"};

}  // namespace korvane
