#include "app/appended_file.h"

#include <cerrno>
#include <cstring>

namespace korvane {

std::FILE* AppendedFile::OpenForAppending() {
    std::FILE* file = std::fopen(path_.string().c_str(), "a");
    failure_ = file == nullptr ? std::strerror(errno) : "";
    return file;
}

bool AppendedFile::Open(const std::filesystem::path& path) {
    Close();
    path_ = path;
    file_ = OpenForAppending();
    return file_ != nullptr;
}

bool AppendedFile::Reopen() {
    if (path_.empty()) {
        return false;
    }
    std::FILE* fresh = OpenForAppending();
    if (fresh == nullptr) {
        return false;
    }
    Close();
    file_ = fresh;
    return true;
}

void AppendedFile::Close() {
    if (file_ != nullptr) {
        std::fclose(file_);
        file_ = nullptr;
    }
}

void AppendedFile::Write(std::string_view text) {
    if (file_ != nullptr) {
        std::fwrite(text.data(), 1, text.size(), file_);
        std::fflush(file_);
    }
}

}  // namespace korvane
