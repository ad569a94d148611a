#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "app/guard_event.h"
#include "tests/support/stream_event.h"

namespace korvane::testing {

// Keeps every event the log hands on, as the line the event stream writes for it, read back:
// a test reads what a dashboard would.
class RecordedEvents final : public EventSink {
  public:
    void Record(const GuardEvent& event) override;

    // The events' names, in order.
    std::vector<std::string> Names() const;
    // The events of one kind, in order.
    std::vector<StreamEvent> Named(std::string_view name) const;

    std::vector<StreamEvent> events;
};

}  // namespace korvane::testing
