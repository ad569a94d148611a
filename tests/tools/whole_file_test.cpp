#include "tools/whole_file.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <string>

#include "tests/support/test_files.h"

namespace korvane::tools {
namespace {

using korvane::testing::ReadWholeFile;

class WholeFile : public ::testing::Test {
  protected:
    void SetUp() override {
        dir_ = korvane::testing::FreshDirectory(
            std::string("whole-file-") +
            ::testing::UnitTest::GetInstance()->current_test_info()->name());
    }
    void TearDown() override { std::filesystem::remove_all(dir_); }

    static bool Put(const std::string& path, const std::string& text) {
        std::ofstream out(path, std::ios::binary);
        out << text;
        return static_cast<bool>(out.flush());
    }

    std::filesystem::path dir_;
};

TEST_F(WholeFile, WritesThroughATemporaryFileBeside) {
    const std::string path = (dir_ / "out").string();
    std::string seen;
    ASSERT_TRUE(WriteFileWhole(path, [&](const std::string& temporary) {
        seen = temporary;
        EXPECT_FALSE(std::filesystem::exists(path));
        return Put(temporary, "new");
    }));
    EXPECT_EQ(seen, path + ".partial");
    EXPECT_EQ(ReadWholeFile(path), "new");
    EXPECT_FALSE(std::filesystem::exists(path + ".partial"));

    // An older file is replaced whole.
    ASSERT_TRUE(
        WriteFileWhole(path, [](const std::string& temporary) { return Put(temporary, "newer"); }));
    EXPECT_EQ(ReadWholeFile(path), "newer");
}

TEST_F(WholeFile, FailedWriteLeavesTheOlderFileAndNoTemporary) {
    const std::string path = (dir_ / "out").string();
    ASSERT_TRUE(Put(path, "old"));
    EXPECT_FALSE(WriteFileWhole(path, [](const std::string& temporary) {
        Put(temporary, "half");
        return false;
    }));
    EXPECT_EQ(ReadWholeFile(path), "old");
    EXPECT_FALSE(std::filesystem::exists(path + ".partial"));
}

TEST_F(WholeFile, FailedRenameLeavesNoTemporary) {
    // A directory that is not empty cannot be replaced by a file.
    const std::filesystem::path taken = dir_ / "taken";
    std::filesystem::create_directories(taken / "inside");
    EXPECT_FALSE(WriteFileWhole(taken.string(),
                                [](const std::string& temporary) { return Put(temporary, "x"); }));
    EXPECT_TRUE(std::filesystem::is_directory(taken / "inside"));
    EXPECT_FALSE(std::filesystem::exists(taken.string() + ".partial"));
}

TEST_F(WholeFile, MissingDirectoryFails) {
    const std::string path = (dir_ / "no-such-dir" / "out").string();
    EXPECT_FALSE(
        WriteFileWhole(path, [](const std::string& temporary) { return Put(temporary, "x"); }));
    EXPECT_FALSE(std::filesystem::exists(path));
}

}  // namespace
}  // namespace korvane::tools
