#include "delivery/resource_url.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstdio>
#include <fstream>

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
    ASSERT_NE(provider_, nullptr);
    ASSERT_EQ(RP_AddBaseDirectory(provider_, ".\\"), 1);
    ::mkdir(lib_.Path("thumbnail").c_str(), 0755);
    ::mkdir(lib_.Path("cache").c_str(), 0755);
    ::mkdir(lib_.Path("media").c_str(), 0755);
  }

  std::string MediaFile(const std::string& name, const std::string& content = "data") {
    std::string path = lib_.Path("media/" + name);
    std::ofstream(path, std::ios::binary) << content;
    return path;
  }

  void AddRecord(int32_t index, const std::string& path, const std::string& name,
                 const std::string& type, int64_t size = 0, int32_t objectType = kObjectItem,
                 int32_t internetFlags = 0) {
    ObjectRow row;
    row.MyIndex = index;
    row.pIndex = 4;
    row.ObjectType = objectType;
    row.ProcessObjectType = objectType;
    row.InternetFlags = internetFlags;
    row.FilePath = path;
    row.FileName = name;
    row.FileType = type;
    row.FileSize = size;
    ASSERT_TRUE(db_execute(sql::InsertObject(row)));
  }

  bool RecordExists(int32_t index) {
    MediaRecord record;
    return db_getOneRecord(sql::ObjectByIndex(index), &record) > 0;
  }

  std::string Resolve(const std::string& urlPath) {
    std::string local;
    size_t n = RP_GetLocalPathFromUrl(provider_, urlPath, &local);
    EXPECT_EQ(n, local.size());
    return local;
  }

  // Width and height of a Windows bitmap file; {0, 0} when it is not one.
  static std::pair<int, int> BitmapSize(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    char header[26] = {};
    if (!in.read(header, sizeof header) || header[0] != 'B' || header[1] != 'M') return {0, 0};
    auto le32 = [&](int at) {
      return static_cast<int>(
          static_cast<uint8_t>(header[at]) | static_cast<uint8_t>(header[at + 1]) << 8 |
          static_cast<uint8_t>(header[at + 2]) << 16 | static_cast<uint8_t>(header[at + 3]) << 24);
    };
    return {le32(18), std::abs(le32(22))};
  }

  TempLibrary lib_;
  FLibChainPtr chain_;
  ResourceProvider* provider_ = nullptr;
};

TEST_F(ResourceUrlTest, LocalPathsTakeTheirPathFormsEscaped) {
  struct Case {
    const char* local;
    int hint;
    const char* url;
  };
  const Case cases[] = {
      {"./thumbnail/12.tb", 0, "http://10.0.0.1:5000/0/0/thumbnail/12.tb"},
      {".\\thumbnail\\12.tb", 0, "http://10.0.0.1:5000/0/0/thumbnail/12.tb"},
      {"./cache/7.hdx", -1, "http://10.0.0.1:5000/0/_/cache/7.hdx"},
      {"C:\\Music\\a b.mp3", 0, "http://10.0.0.1:5000/0/__C/Music/a%20b.mp3"},
      {"\\123\\Song.mp3&TC&POWER", 0, "http://10.0.0.1:5000/0/___/123/Song.mp3%26TC%26POWER"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.local);
    std::string url = "stale";
    ASSERT_EQ(RP_BuildResourceUrl(provider_, c.local, c.hint, "10.0.0.1:5000", "0", &url), 1);
    EXPECT_EQ(url, c.url);
  }
  platform::testing::LogCapture log;
  std::string url = "stale";
  EXPECT_EQ(RP_BuildResourceUrl(provider_, "relative/a.mp3", 0, "h:1", "0", &url), 0);
  EXPECT_TRUE(url.empty());
  EXPECT_NE(
      log.Text().find("WARNING: Application layer provided invalid localFilePath=relative/a.mp3"),
      std::string::npos);
}

TEST_F(ResourceUrlTest, BaseDirectoriesAreUniqueIgnoringCaseAndLimited) {
  EXPECT_EQ(RP_AddBaseDirectory(provider_, "./"), 0);
  EXPECT_EQ(RP_AddBaseDirectory(provider_, "/srv/Media"), 1);
  EXPECT_EQ(RP_AddBaseDirectory(provider_, "\\SRV\\media\\"), 0);
  std::string url;
  ASSERT_EQ(RP_BuildResourceUrl(provider_, "/srv/media/x.mp3", 1, "h:1", "0", &url), 1);
  EXPECT_EQ(url, "http://h:1/0/1/x.mp3");
  EXPECT_EQ(Resolve("/1/sub/x.mp3"), "/srv/Media/sub/x.mp3");
  for (int i = 2; i < static_cast<int>(kRpMaxBaseDirectories); ++i)
    ASSERT_EQ(RP_AddBaseDirectory(provider_, "/d" + std::to_string(i)), 1);
  EXPECT_EQ(RP_AddBaseDirectory(provider_, "/one-too-many"), 0);
}

TEST_F(ResourceUrlTest, ItemUrlsResolveThroughTheirRecordWhateverTheName) {
  const std::string name =
      "\xC3\x9Cn\xC3\xAF"
      "code song.mp3";
  std::string path = MediaFile(name);
  AddRecord(9, path, name, "Audio");
  EXPECT_EQ(Resolve("/___/9/%C3%9Cn%C3%AFcode%20song.mp3"), path);
  EXPECT_EQ(Resolve("/___/9/Song.mp3&TC&POWER"), path);
  // The library path is returned as it is stored, never unescaped.
  std::string percent = MediaFile("100%41.mp3");
  AddRecord(10, percent, "100%41.mp3", "Audio");
  EXPECT_EQ(Resolve("/___/10/100%2541.mp3"), percent);
  // A result that does not fit the caller's buffer is no result.
  std::string local = "stale";
  EXPECT_EQ(RP_GetLocalPathFromUrl(provider_, "/___/9/a.mp3", &local, path.size()), 0u);
  EXPECT_TRUE(local.empty());
}

TEST_F(ResourceUrlTest, ASongsUrlGivesItsCoverByName) {
  std::string song = MediaFile("Song.mp3");
  ObjectRow row;
  row.MyIndex = 90;
  row.ObjectType = row.ProcessObjectType = kObjectItem;
  row.FilePath = song;
  row.FileName = "Song.mp3";
  row.FileType = "Audio";
  row.CDCover = "folder.jpg";
  ASSERT_TRUE(db_execute(sql::InsertObject(row)));
  EXPECT_EQ(Resolve("/___/90/folder.jpg"), lib_.Path("media/folder.jpg"));
  EXPECT_EQ(Resolve("/___/90/other.jpg"), song);
}

TEST_F(ResourceUrlTest, SeekIndexIsServedOnlyWhileTheFileKeepsItsSize) {
  std::string path = MediaFile("Clip.avi", std::string(500, 'v'));
  AddRecord(124, path, "Clip.avi", "Video", 500);
  EXPECT_EQ(Resolve("/___/124/Clip.avi.hdx"), "");  // no index yet
  std::string index = IndexFileName(124, "Clip.avi");
  ASSERT_FALSE(index.empty());
  std::ofstream(index) << "index";
  EXPECT_EQ(Resolve("/___/124/Clip.avi.HDX"), index);
  std::ofstream(path, std::ios::app) << "grown";
  EXPECT_EQ(Resolve("/___/124/Clip.avi.hdx"), "");
  EXPECT_TRUE(RecordExists(124));
}

TEST_F(ResourceUrlTest, NavigationFileOfATitleSetIsFoundInItsFolder) {
  ::mkdir(lib_.Path("media/VIDEO_TS").c_str(), 0755);
  std::string vob = MediaFile("VIDEO_TS/VTS_01_1.VOB");
  std::string ifo = MediaFile("VIDEO_TS/VTS_01_0.IFO");
  MediaFile("VIDEO_TS/VTS_02_0.IFO");
  AddRecord(130, vob, "VTS_01_1.VOB", "Video");
  EXPECT_EQ(Resolve("/___/130/VTS_01_1.ifo"), ifo);
  std::string lonely = MediaFile("nounderscore.vob");
  AddRecord(131, lonely, "nounderscore.vob", "Video");
  EXPECT_EQ(Resolve("/___/131/x.ifo"), "");
}

TEST_F(ResourceUrlTest, PictureUrlsGiveThePictureOrItsThumbnails) {
  std::string photo = lib_.Path("media/Photo.jpg");
  ASSERT_TRUE(platform::testing::RunFfmpeg(
      {"-f", "lavfi", "-i", "color=c=blue:s=800x600", "-frames:v", "1", photo}));
  AddRecord(125, photo, "Photo.jpg", "Image");
  EXPECT_EQ(Resolve("/___/125/Photo.JPG"), photo);

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
  EXPECT_EQ(Resolve("/_/cache/7.hdx"), "./cache/7.hdx");
  EXPECT_EQ(Resolve("/_/a%20b.mp3"), "./a b.mp3");
  for (const char* url : {"/___/etc/passwd", "/_/../Orvex.mdb", "/0/x/%2E%2E/%2E%2E/etc/passwd",
                          "/99999999999/x", "/_/a%00b", "/___/4294967297/x.mp3"}) {
    SCOPED_TRACE(url);
    EXPECT_EQ(Resolve(url), "");
  }
}

}  // namespace
