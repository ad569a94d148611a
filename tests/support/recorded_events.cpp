#include "tests/support/recorded_events.h"

#include "app/event_stream.h"

namespace korvane::testing {

void RecordedEvents::Record(const GuardEvent& event) {
    // Every line the stream writes is one JSON object.
    events.push_back(StreamEvent::Parse(EventStream::Line(event, {})).value());
}

std::vector<std::string> RecordedEvents::Names() const {
    std::vector<std::string> names;
    for (const StreamEvent& event : events) {
        names.push_back(event.name());
    }
    return names;
}

std::vector<StreamEvent> RecordedEvents::Named(std::string_view name) const {
    std::vector<StreamEvent> named;
    for (const StreamEvent& event : events) {
        if (event.name() == name) {
            named.push_back(event);
        }
    }
    return named;
}

}  // namespace korvane::testing
