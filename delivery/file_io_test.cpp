#include "delivery/file_io.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <fstream>

#include "library/testing/temp_library.h"

namespace {

TEST(FileIo, FoldersAreNotFilesAndMissingFilesHaveNoSize) {
  TempLibrary dir;
  ASSERT_TRUE(dir.ok());
  std::ofstream(dir.Path("a.mp3")) << "12345";
  ::mkdir(dir.Path("folder").c_str(), 0755);
  ASSERT_EQ(::symlink(dir.Path("a.mp3").c_str(), dir.Path("link.mp3").c_str()), 0);
  EXPECT_EQ(FileIo_Exists(dir.Path("a.mp3")), kFileIoFile);
  EXPECT_EQ(FileIo_Exists(dir.Path("link.mp3")), kFileIoFile);
  EXPECT_EQ(FileIo_Exists(dir.Path("folder")), kFileIoFolder);
  EXPECT_EQ(FileIo_Exists(dir.Path("none")), kFileIoMissing);
  EXPECT_EQ(FileIo_GetSize(dir.Path("a.mp3")), 5);
  EXPECT_EQ(FileIo_GetSize(dir.Path("folder")), -1);
  EXPECT_EQ(FileIo_GetSize(dir.Path("none")), -1);
}

}  // namespace
