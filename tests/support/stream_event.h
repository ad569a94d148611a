#pragma once

#include <cstddef>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace korvane::testing {

// One line of the event stream read back: its fields by name, a string as its characters (in
// UTF-8), any other value as its JSON text ("2300", "false", ["a","b"]).
class StreamEvent {
  public:
    // The event of one line; nothing when the line is not one JSON object.
    static std::optional<StreamEvent> Parse(const std::string& line);

    // A field's value; nothing when the event has no such field.
    std::optional<std::string> operator[](std::string_view name) const;
    // The value of "event".
    std::string name() const { return (*this)["event"].value_or(""); }
    size_t size() const { return fields_.size(); }

  private:
    std::vector<std::pair<std::string, std::string>> fields_;
};

// Every line of a stream file read back; a line that is not one JSON object is left out and
// counted in `unreadable`.
std::vector<StreamEvent> ReadStream(const std::filesystem::path& file,
                                    size_t* unreadable = nullptr);

}  // namespace korvane::testing
