#include "tools/whole_file.h"

#include <cstdio>

namespace korvane::tools {

bool WriteFileWhole(const std::string& path,
                    const std::function<bool(const std::string& temporary)>& fill) {
    const std::string temporary = path + ".partial";
    if (!fill(temporary) || std::rename(temporary.c_str(), path.c_str()) != 0) {
        std::remove(temporary.c_str());
        return false;
    }
    return true;
}

}  // namespace korvane::tools
