#pragma once

#include <functional>
#include <string>

namespace korvane::tools {

// Writes a file whole or not at all. `fill` writes the content to the temporary file it is
// given (`path` + ".partial", beside the target) and returns whether all of it went out; the
// temporary file is then renamed to `path`. A reader never sees a half-written file. On any
// failure the temporary file is removed, an older file at `path` stays as it was, and the
// result is false.
bool WriteFileWhole(const std::string& path,
                    const std::function<bool(const std::string& temporary)>& fill);

}  // namespace korvane::tools
