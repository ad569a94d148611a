#pragma once

#include <filesystem>
#include <string>

namespace korvane::fuzz {

// A directory of a fuzz target's own under the system's temporary directory, for the files the
// program writes while it runs an input. Removed with its contents when the target ends.
class TempDirectory {
  public:
    // Makes "<temp>/<stem>.XXXXXX"; throws std::filesystem::filesystem_error when it cannot.
    explicit TempDirectory(const std::string& stem);
    ~TempDirectory();
    TempDirectory(const TempDirectory&) = delete;
    TempDirectory& operator=(const TempDirectory&) = delete;

    const std::filesystem::path& path() const { return path_; }
    // Removes everything in the directory, so that no input sees the files of another.
    void Empty() const;

  private:
    std::filesystem::path path_;
};

}  // namespace korvane::fuzz
