#include "delivery/resource_url.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <tuple>

#include "library/library.h"
#include "library/statements.h"
#include "library/testing/temp_library.h"
#include "media/image_size.h"
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
    ASSERT_EQ(RP_AddBaseDirectory(provider_, "/srv/Media"), 1);
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

  // Width and height of a picture file.
  static std::pair<int, int> Size(const std::string& path) {
    int width = 0, height = 0;
    return ImageSize(path, &width, &height) ? std::make_pair(width, height) : std::make_pair(0, 0);
  }

  TempLibrary lib_;
  FLibChainPtr chain_;
  ResourceProvider* provider_ = nullptr;
};

// Traversal through item URLs, covers and the .tb thumbnail are proven by the real-client
// suite; these are the URL forms and files it never asks for.
TEST_F(ResourceUrlTest, LocalPathsTakeTheirPathFormsEscaped) {
  EXPECT_EQ(RP_AddBaseDirectory(provider_, "\\SRV\\media\\"), 0);  // known, ignoring case
  EXPECT_EQ(RP_AddBaseDirectory(provider_, ""), 0);
  // Each local path with its base hint and the URL path it takes.
  const std::tuple<const char*, int, const char*> cases[] = {
      {"\\123\\Song.mp3&TC&POWER", -1, "/___/123/Song.mp3%26TC%26POWER"},
      {"./cache/7.hdx", -1, "/_/cache/7.hdx"},
      {"./thumbnail/12.tb", 0, "/0/thumbnail/12.tb"},
      {"/srv/media/x y.mp3", 1, "/1/x%20y.mp3"},
      {"/SRV/Media/", -1, "/1/"},                         // a base itself, found without a hint
      {"/srv/other/x.mp3", 1, "/___/srv/other/x.mp3"},    // a hint that does not fit
      {"C:\\Music\\a b.mp3", 7, "/__C/Music/a%20b.mp3"},  // a hint beyond the list
      {"c:/x.mp3", -1, "/__c/x.mp3"},
      {".//cache/8.hdx", 0, "/0/cache/8.hdx"},
  };
  std::string url;
  for (const auto& [local, hint, want] : cases) {
    ASSERT_EQ(RP_BuildResourceUrl(provider_, local, hint, "h:1", "0", &url), 1) << local;
    EXPECT_EQ(url, std::string("http://h:1/0") + want);
  }
  platform::testing::LogCapture log;
  for (const char* bad : {"relative/a.mp3", "C:a.mp3", "1:/a.mp3"}) {
    EXPECT_EQ(RP_BuildResourceUrl(provider_, bad, -1, "h:1", "0", &url), 0) << bad;
    EXPECT_TRUE(url.empty());
  }
  EXPECT_TRUE(log.Contains("WARNING: Application layer provided invalid localFilePath=relative"));
  for (int i = 2; i < static_cast<int>(kRpMaxBaseDirectories); ++i)
    ASSERT_EQ(RP_AddBaseDirectory(provider_, "/d" + std::to_string(i)), 1);
  EXPECT_EQ(RP_AddBaseDirectory(provider_, "/one-too-many"), 0);
  EXPECT_EQ(RP_Create(nullptr), nullptr);
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
  // Other files and folders of the title set's folder are passed over.
  for (const char* other : {"VIDEO_TS.IFO", "VTS_01_0.BUP"})
    platform::testing::WriteFile(lib_.Path("media/VIDEO_TS/") + other, "");
  ::mkdir(lib_.Path("media/VIDEO_TS/VTS_01_DIR").c_str(), 0755);
  AddFile(132, "nounderscore.vob", "Video");
  EXPECT_EQ(Resolve("/___/132/x.ifo"), "");
}

TEST_F(ResourceUrlTest, PictureUrlsGiveThePictureOrItsThumbnails) {
  std::string photo = AddFile(125, "Photo.jpg", "Image");
  ASSERT_TRUE(platform::testing::RunFfmpeg(
      {"-f", "lavfi", "-i", "color=c=blue:s=800x600", "-frames:v", "1", photo}));
  std::string bmp = Resolve("/___/125/Photo.bmp?width=320&height=240");
  EXPECT_EQ(bmp, lib_.Path("thumbnail/125.bmp"));
  EXPECT_EQ(Size(bmp), std::make_pair(320, 240));
  // Sizes from the query cannot overflow; the picture bounds the thumbnail.
  bmp = Resolve("/___/125/Photo.bmp?width=99999999999999999999&height=99999999999");
  EXPECT_EQ(Size(bmp), std::make_pair(800, 600));
  // Without a height the box is a square of the width; without a width, the picture size.
  EXPECT_EQ(Size(Resolve("/___/125/Photo.bmp?width=400")), std::make_pair(400, 400));
  EXPECT_EQ(Size(Resolve("/___/125/Photo.bmp")), std::make_pair(800, 600));
  // The picture's second resource is the picture itself.
  EXPECT_EQ(Resolve("/___/125/Photo.jpg&TC"), photo);
  EXPECT_EQ(Resolve("/___/125/Photo.jpg&TC&POWER"), "");
  EXPECT_EQ(Resolve("/___/125/Photo.png"), "");
  EXPECT_EQ(Resolve("/___/125/Photo.b"), "");
  // A file that is no picture has no thumbnail.
  AddFile(126, "Broken.jpg", "Image");
  EXPECT_EQ(Resolve("/___/126/Broken.bmp?width=10"), "");
}

TEST_F(ResourceUrlTest, PathsWithoutARecordStayInsideTheWebRoot) {
  EXPECT_EQ(Resolve("/0/thumbnail/12.tb"), "./thumbnail/12.tb");
  EXPECT_EQ(Resolve("/_/a%20b.mp3"), "./a b.mp3");
  EXPECT_EQ(Resolve("/1/sub/x.mp3?width=1"), "/srv/Media/sub/x.mp3");
  // Parent segments, NULs, numbers that overflow or name no base, and the forms of
  // absolute paths, which would name any file of the machine.
  for (const char* url :
       {"/_/../Orvex.mdb", "/0/x/%2E%2E/%2E%2E/etc/passwd", "/_/a%00b", "/___/4294967297/x.mp3",
        "/2/x.mp3", "/1x/a.mp3", "/12345678901/a", "/1", "/__C/Music/a.mp3", "/___/etc/passwd",
        "/___/999/a.mp3", "//a.mp3", "/", "x", ""}) {
    EXPECT_EQ(Resolve(url), "") << url;
  }
  std::string local;
  EXPECT_EQ(RP_GetLocalPathFromUrl(nullptr, "/_/a.mp3", &local), 0u);
}

}  // namespace
