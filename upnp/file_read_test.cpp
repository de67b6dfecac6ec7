#include "upnp/file_read.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <fstream>

namespace {

class FileReadTest : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ =
        std::filesystem::temp_directory_path() / ("orvex_file_read_" + std::to_string(::getpid()));
    std::filesystem::create_directories(dir_);
  }
  void TearDown() override { std::filesystem::remove_all(dir_); }

  std::string Write(const std::string& name, const std::string& content) {
    const auto path = dir_ / name;
    std::ofstream(path, std::ios::binary) << content;
    return path.string();
  }

  std::filesystem::path dir_;
};

TEST_F(FileReadTest, ReadsWholeFileWithAnyBytes) {
  const std::string content = std::string("a\0b\r\n", 5) + std::string(70000, 'x');
  std::string out = "old";
  EXPECT_EQ(FLibFile_ReadAll(Write("f.bin", content), &out), static_cast<int64_t>(content.size()));
  EXPECT_EQ(out, content);
  EXPECT_EQ(FLibFile_ReadAll(Write("empty", ""), &out), 0);
  EXPECT_EQ(out, "");
}

TEST_F(FileReadTest, MissingFileOrDirectoryFailsAndKeepsOutput) {
  std::string out = "kept";
  EXPECT_EQ(FLibFile_ReadAll((dir_ / "missing").string(), &out), -1);
  EXPECT_EQ(FLibFile_ReadAll(dir_.string(), &out), -1);
  EXPECT_EQ(out, "kept");
}

}  // namespace
