#pragma once

#include <cstdint>
#include <string_view>

#include "rules/tech_base.h"

namespace korvane {

// The tech class of a configuration, the OR of its chassis's and its weapons' tech, with the
// label the reports and the puretech announcements give it.
struct TechClass {
    uint32_t value;
    std::string_view label;

    // Mixed classes are announced as alerts.
    bool mixed() const { return value == kTechMixed; }
};

inline TechClass ClassOf(uint32_t chassisTech, uint32_t componentTech) {
    const uint32_t value = (chassisTech | componentTech) & kTechMixed;
    switch (value) {
        case kTechNA:
            return {value, "Observer"};
        case kTechIS:
            return {value, "IS Tech"};
        case kTechClan:
            return {value, "Clan Tech"};
        default:
            // An IS chassis with Clan weapons only is the one mix with a name of its own.
            return {value, chassisTech == kTechIS && componentTech == kTechClan ? "Mixed Tech IIC"
                                                                                : "Mixed Tech"};
    }
}

}  // namespace korvane
