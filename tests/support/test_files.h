#pragma once

#include <chrono>
#include <filesystem>
#include <string>
#include <vector>

namespace korvane::testing {

std::string ReadWholeFile(const std::filesystem::path& path);
// A text file as the C library reads it back: the CR LF line ends that text files get on Windows
// come back as LF, so a log reads the same on every platform.
std::string ReadTextFile(const std::filesystem::path& path);
// Waits until the file exists and is not empty; false after `limit`.
bool WaitForFile(const std::filesystem::path& path, std::chrono::milliseconds limit);
// A fresh, empty directory for one test.
std::filesystem::path FreshDirectory(const std::string& name);
// The lines of a text, without their line ends.
std::vector<std::string> SplitLines(const std::string& text);
// The lines of a text file either build wrote, without their line ends: LF, or CR LF as Windows
// ends text lines.
std::vector<std::string> TextFileLines(const std::filesystem::path& path);

}  // namespace korvane::testing
