#include "library/build/scan_disc_image.h"

#include <gtest/gtest.h>

#include <set>

#include "library/build/container_tree.h"
#include "library/build/scanner.h"
#include "library/build/testing/scan_library.h"
#include "library/library.h"
#include "library/statements.h"
#include "platform/testing/test_support.h"

namespace {

using scan_test::ChildNamed;
using scan_test::Children;
using scan_test::ScanLibrary;

bool MakeIso(const std::string& tree, const std::string& image) {
  return platform::testing::RunProgram({"genisoimage", "-quiet", "-J", "-R", "-o", image, tree});
}

class DiscImageTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(lib_.ok());
    tree_ = lib_.Path("tree");
    ASSERT_TRUE(scan_test::WriteMp3(tree_ + "/MUSIC/Deep/song.mp3"));
    ASSERT_TRUE(scan_test::WriteJpeg(tree_ + "/cover.jpg"));
    ASSERT_TRUE(scan_test::WriteVideo(tree_ + "/VIDEO_TS/VTS_01_1.VOB"));
    scan_test::WriteText(tree_ + "/readme.txt", "text");
    scan_test::MakeDirs(tree_ + "/EMPTY/ALSO");
  }

  ScanLibrary lib_;
  std::string tree_;
};

TEST_F(DiscImageTest, MembersAreStoredInTheirFoldersAndEmptyContainersPruned) {
  std::string image = lib_.MediaPath("disc.iso");
  ASSERT_TRUE(MakeIso(tree_, image));

  Scan_SharedFolder(lib_.media());

  int32_t audioFolder = ChildNamed(kContainerAudioFolders, lib_.media()).MyIndex;
  ASSERT_GE(audioFolder, 0);
  MediaRecord top = ChildNamed(audioFolder, "disc.iso(iso)");
  ASSERT_GE(top.MyIndex, 0);
  EXPECT_EQ(top.Flags, kFlagDiscImage);
  EXPECT_EQ(top.FilePath, image);
  MediaRecord music = ChildNamed(top.MyIndex, "MUSIC");
  MediaRecord deep = ChildNamed(music.MyIndex, "Deep");
  ASSERT_GE(deep.MyIndex, 0);
  std::vector<MediaRecord> songs = Children(deep.MyIndex);
  ASSERT_EQ(songs.size(), 1u);
  EXPECT_EQ(songs[0].FileName, "song.mp3");
  EXPECT_EQ(songs[0].Flags, kFlagDiscImage);
  EXPECT_EQ(songs[0].FileType, "Audio");
  // Whether the bytes at the offset are the member's is proven by fetching one through
  // the server; offsets past 4 GiB are written whole.
  EXPECT_EQ(Scan_DiscMemberPath("/m/a.iso", int64_t{5} << 32, "v.vob"),
            "/m/a.iso/%offset%21474836480/v.vob");
  // A picture inside an image is browsed and fetched by the real-client suite; each view
  // keeps only the folders of its kind, and no empty folder of the image.
  EXPECT_EQ(scan_test::Names(Children(top.MyIndex)), (std::set<std::string>{"MUSIC"}));
  int32_t videoFolder = ChildNamed(kContainerVideoFolders, lib_.media()).MyIndex;
  EXPECT_EQ(scan_test::Names(Children(ChildNamed(videoFolder, "disc.iso(iso)").MyIndex)),
            (std::set<std::string>{"VIDEO_TS"}));
  EXPECT_EQ(lib_.Faults(), std::vector<std::string>{});

  // Scanning again reads the image anew instead of storing it twice.
  Scan_SharedFolder(lib_.media());
  EXPECT_EQ(db_getCount(sql::DiscObjectNamed(audioFolder, "disc.iso(iso)")), 1);

  // Removing the image removes its members.
  Scan_RemovePath(image);
  EXPECT_EQ(db_getCount(sql::DiscObjectsOfType(kObjectItem)), 0);
  EXPECT_EQ(db_getCount(sql::DiscObjectsOfType(kObjectContainer)), 0);
}

}  // namespace
