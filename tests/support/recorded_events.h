#pragma once

#include <nlohmann/json.hpp>

#include <string>
#include <string_view>
#include <vector>

#include "app/event_stream.h"
#include "app/guard_event.h"

namespace korvane::testing {

// Keeps every event the log hands on, as the line the event stream writes for it, parsed back:
// a test reads what a dashboard would.
class RecordedEvents final : public EventSink {
  public:
    void Record(const GuardEvent& event) override {
        events.push_back(nlohmann::json::parse(EventStream::Line(event, {})));
    }

    // The events' names, in order.
    std::vector<std::string> Names() const {
        std::vector<std::string> names;
        for (const nlohmann::json& event : events) {
            names.push_back(event["event"]);
        }
        return names;
    }
    // The events of one kind, in order.
    std::vector<nlohmann::json> Named(std::string_view name) const {
        std::vector<nlohmann::json> named;
        for (const nlohmann::json& event : events) {
            if (event["event"] == name) {
                named.push_back(event);
            }
        }
        return named;
    }

    std::vector<nlohmann::json> events;
};

}  // namespace korvane::testing
