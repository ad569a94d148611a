#include "app/guard_event.h"

namespace korvane {

std::string_view EventName(EventKind kind) {
    switch (kind) {
        case EventKind::start:
            return "start";
        case EventKind::portDetected:
            return "port_detected";
        case EventKind::linkUp:
            return "link_up";
        case EventKind::linkLost:
            return "link_lost";
        case EventKind::playerJoined:
            return "player_joined";
        case EventKind::playerLeft:
            return "player_left";
        case EventKind::selection:
            return "selection";
        case EventKind::verdict:
            return "verdict";
        case EventKind::collected:
            return "collected";
        case EventKind::kicked:
            return "kicked";
        case EventKind::kickSent:
            return "kick_sent";
        case EventKind::farewellSent:
            return "farewell_sent";
        case EventKind::removalSent:
            return "removal_sent";
        case EventKind::commandAnswered:
            return "command_answered";
        case EventKind::warning:
            return "warning";
        case EventKind::shutdown:
            break;
    }
    return "shutdown";
}

}  // namespace korvane
