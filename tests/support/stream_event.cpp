#include "tests/support/stream_event.h"

#include <nlohmann/json.hpp>

#include <fstream>

namespace korvane::testing {

std::optional<StreamEvent> StreamEvent::Parse(const std::string& line) {
    const nlohmann::ordered_json parsed = nlohmann::ordered_json::parse(line, nullptr, false);
    if (!parsed.is_object()) {
        return std::nullopt;
    }
    StreamEvent event;
    for (const auto& [name, value] : parsed.items()) {
        event.fields_.emplace_back(name,
                                   value.is_string() ? value.get<std::string>() : value.dump());
    }
    return event;
}

std::optional<std::string> StreamEvent::operator[](std::string_view name) const {
    for (const auto& [field, value] : fields_) {
        if (field == name) {
            return value;
        }
    }
    return std::nullopt;
}

std::vector<StreamEvent> ReadStream(const std::filesystem::path& file, size_t* unreadable) {
    std::vector<StreamEvent> events;
    std::ifstream in(file, std::ios::binary);
    for (std::string line; std::getline(in, line);) {
        if (std::optional<StreamEvent> event = StreamEvent::Parse(line)) {
            events.push_back(std::move(*event));
        } else if (unreadable != nullptr) {
            ++*unreadable;
        }
    }
    return events;
}

}  // namespace korvane::testing
