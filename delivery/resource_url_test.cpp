#include "delivery/resource_url.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include "library/library.h"
#include "library/statements.h"
#include "library/testing/temp_library.h"
#include "platform/testing/test_support.h"
#include "transcode/seek_index.h"

namespace {

class ResourceUrlTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(lib_.ok());
    chain_ = FLibChain_Create();
    provider_ = RP_Create(chain_.get());
    ASSERT_EQ(RP_AddBaseDirectory(provider_, ".\\"), 1);
    for (const char* dir : {"thumbnail", "cache", "media"}) ::mkdir(lib_.Path(dir).c_str(), 0755);
  }

  // A file in the media folder with a record of the given index.
  std::string AddFile(int32_t index, const std::string& name, const std::string& type,
                      const std::string& content = "data") {
    std::string path = lib_.Path("media/" + name);
    platform::testing::WriteFile(path, content);
    ObjectRow row;
    row.MyIndex = index;
    row.ObjectType = row.ProcessObjectType = kObjectItem;
    row.FilePath = path;
    row.FileName = name.substr(name.rfind('/') + 1);
    row.FileType = type;
    row.FileSize = static_cast<int64_t>(content.size());
    EXPECT_TRUE(db_execute(sql::InsertObject(row)));
    return path;
  }

  std::string Resolve(const std::string& urlPath) {
    std::string local;
    size_t n = RP_GetLocalPathFromUrl(provider_, urlPath, &local);
    EXPECT_EQ(n, local.size());
    return local;
  }

  // Width and height of a Windows bitmap file.
  static std::pair<int, int> BitmapSize(const std::string& path) {
    std::string header = platform::testing::ReadFile(path).substr(0, 26);
    if (header.size() < 26 || header.compare(0, 2, "BM") != 0) return {0, 0};
    auto le32 = [&](int at) {
      uint32_t value = 0;
      for (int i = 3; i >= 0; --i) value = value << 8 | static_cast<uint8_t>(header[at + i]);
      return static_cast<int32_t>(value);
    };
    return {le32(18), std::abs(le32(22))};
  }

  TempLibrary lib_;
  FLibChainPtr chain_;
  ResourceProvider* provider_ = nullptr;
};

// Traversal through item URLs, covers and the .tb thumbnail are proven by the real-client
// suite; these are the URL forms and files it never asks for.
TEST_F(ResourceUrlTest, LocalPathsTakeTheirPathFormsEscaped) {
  std::string url = "stale";
  ASSERT_EQ(RP_BuildResourceUrl(provider_, "\\123\\Song.mp3&TC&POWER", -1, "h:1", "0", &url), 1);
  EXPECT_EQ(url, "http://h:1/0/___/123/Song.mp3%26TC%26POWER");
  ASSERT_EQ(RP_BuildResourceUrl(provider_, "./cache/7.hdx", -1, "h:1", "0", &url), 1);
  EXPECT_EQ(url, "http://h:1/0/_/cache/7.hdx");
  platform::testing::LogCapture log;
  EXPECT_EQ(RP_BuildResourceUrl(provider_, "relative/a.mp3", -1, "h:1", "0", &url), 0);
  EXPECT_TRUE(url.empty());
  EXPECT_TRUE(log.Contains("WARNING: Application layer provided invalid localFilePath=relative"));
}

TEST_F(ResourceUrlTest, ItemUrlsResolveThroughTheirRecordWhateverTheName) {
  std::string path = AddFile(9,
                             "\xC3\x9Cn\xC3\xAF"
                             "code song.mp3",
                             "Audio");
  EXPECT_EQ(Resolve("/___/9/%C3%9Cn%C3%AFcode%20song.mp3"), path);
  EXPECT_EQ(Resolve("/___/9/Song.mp3&TC&POWER"), path);
  // The library path is returned as it is stored, never unescaped.
  EXPECT_EQ(Resolve("/___/10/100%2541.mp3"), AddFile(10, "100%41.mp3", "Audio"));
  // A result that does not fit the caller's buffer is no result.
  std::string local = "stale";
  EXPECT_EQ(RP_GetLocalPathFromUrl(provider_, "/___/9/a.mp3", &local, path.size()), 0u);
  EXPECT_TRUE(local.empty());
}

TEST_F(ResourceUrlTest, SeekIndexIsServedOnlyWhileTheFileKeepsItsSize) {
  std::string path = AddFile(124, "Clip.avi", "Video", std::string(500, 'v'));
  EXPECT_EQ(Resolve("/___/124/Clip.avi.hdx"), "");  // no index yet
  std::string index = IndexFileName(124, "Clip.avi");
  platform::testing::WriteFile(index, "index");
  EXPECT_EQ(Resolve("/___/124/Clip.avi.HDX"), index);
  platform::testing::WriteFile(path, std::string(501, 'v'));
  EXPECT_EQ(Resolve("/___/124/Clip.avi.hdx"), "");
}

TEST_F(ResourceUrlTest, NavigationFileOfATitleSetIsFoundInItsFolder) {
  ::mkdir(lib_.Path("media/VIDEO_TS").c_str(), 0755);
  AddFile(130, "VIDEO_TS/VTS_01_1.VOB", "Video");
  std::string ifo = AddFile(131, "VIDEO_TS/VTS_01_0.IFO", "Video");
  EXPECT_EQ(Resolve("/___/130/VTS_01_1.ifo"), ifo);
  AddFile(132, "nounderscore.vob", "Video");
  EXPECT_EQ(Resolve("/___/132/x.ifo"), "");
}

TEST_F(ResourceUrlTest, PictureUrlsGiveThePictureOrItsThumbnails) {
  std::string photo = AddFile(125, "Photo.jpg", "Image");
  ASSERT_TRUE(platform::testing::RunFfmpeg(
      {"-f", "lavfi", "-i", "color=c=blue:s=800x600", "-frames:v", "1", photo}));
  std::string bmp = Resolve("/___/125/Photo.bmp?width=320&height=240");
  EXPECT_EQ(bmp, lib_.Path("thumbnail/125.bmp"));
  EXPECT_EQ(BitmapSize(bmp), std::make_pair(320, 240));
  // Sizes from the query cannot overflow; the picture bounds the thumbnail.
  bmp = Resolve("/___/125/Photo.bmp?width=99999999999999999999&height=99999999999");
  EXPECT_EQ(BitmapSize(bmp), std::make_pair(800, 600));
  // The picture's second resource is the picture itself.
  EXPECT_EQ(Resolve("/___/125/Photo.jpg&TC"), photo);
  EXPECT_EQ(Resolve("/___/125/Photo.jpg&TC&POWER"), "");
  EXPECT_EQ(Resolve("/___/125/Photo.png"), "");
}

TEST_F(ResourceUrlTest, PathsWithoutARecordStayInsideTheWebRoot) {
  EXPECT_EQ(Resolve("/0/thumbnail/12.tb"), "./thumbnail/12.tb");
  EXPECT_EQ(Resolve("/_/a%20b.mp3"), "./a b.mp3");
  for (const char* url :
       {"/_/../Orvex.mdb", "/0/x/%2E%2E/%2E%2E/etc/passwd", "/_/a%00b", "/___/4294967297/x.mp3"}) {
    EXPECT_EQ(Resolve(url), "") << url;
  }
}

}  // namespace
