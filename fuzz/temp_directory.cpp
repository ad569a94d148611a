#include "fuzz/temp_directory.h"

#include <cerrno>
#include <cstdlib>
#include <system_error>

namespace korvane::fuzz {

TempDirectory::TempDirectory(const std::string& stem) {
    std::string pattern = std::filesystem::temp_directory_path() / (stem + ".XXXXXX");
    if (mkdtemp(pattern.data()) == nullptr) {
        throw std::filesystem::filesystem_error("mkdtemp", pattern,
                                                std::error_code(errno, std::generic_category()));
    }
    path_ = pattern;
}

TempDirectory::~TempDirectory() {
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
}

void TempDirectory::Empty() const {
    for (const auto& entry : std::filesystem::directory_iterator(path_)) {
        std::filesystem::remove_all(entry.path());
    }
}

}  // namespace korvane::fuzz
