#pragma once

#include <cstdio>
#include <filesystem>
#include <string>
#include <string_view>

namespace korvane {

// A text file the program appends to and flushes after every write, so that a line written is a
// line kept whatever happens to the process. After a rotation renamed it, it is opened again
// under its name and a new file begun.
class AppendedFile {
  public:
    AppendedFile() = default;
    ~AppendedFile() { Close(); }
    AppendedFile(const AppendedFile&) = delete;
    AppendedFile& operator=(const AppendedFile&) = delete;

    // Opens (creating when missing) the file for appending. False, with failure() telling why,
    // when it cannot be opened.
    bool Open(const std::filesystem::path& path);
    // Opens the file of the last Open again and goes on writing there. False, writing on to the
    // file open before, when the new one cannot be opened.
    bool Reopen();
    void Close();

    // Writes the text and flushes it; nothing when no file is open. Write failures are not
    // reported: the text is lost, and the program goes on.
    void Write(std::string_view text);

    // Why the latest Open or Reopen failed.
    const std::string& failure() const { return failure_; }

  private:
    std::FILE* OpenForAppending();

    std::filesystem::path path_;
    std::FILE* file_ = nullptr;
    std::string failure_;
};

}  // namespace korvane
