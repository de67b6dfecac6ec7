#include "streamserver/stream_media.h"

#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <memory>
#include <mutex>

#include "gui/transfer_status.h"
#include "library/library.h"
#include "library/statements.h"
#include "library/testing/temp_library.h"
#include "platform/test_support.h"
#include "streamserver/stream_test_support.h"

namespace {

using stream_test::Response;

std::string Pattern(size_t size, int seed) {
  std::string bytes(size, '\0');
  for (size_t i = 0; i < size; ++i)
    bytes[i] = static_cast<char>((i * 7 + seed * 13 + i / 251) & 0xFF);
  return bytes;
}

class StreamMediaTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(lib_.ok());
    media_ = lib_.Path("media");
    ASSERT_EQ(::mkdir(media_.c_str(), 0755), 0);
    ASSERT_EQ(db_execute(sql::InsertSharedFolder(media_)), 1);
    song_ = Pattern(1000, 1);
    platform::testing::WriteFile(media_ + "/song.mp3", song_);
    AddItem(100, media_ + "/song.mp3", "Audio");
    ClearTransfers();
    server_ = std::make_unique<stream_test::TestServer>();
    ASSERT_TRUE(server_->ok());
  }

  void AddItem(int32_t index, const std::string& path, const std::string& fileType,
               int32_t flags = 0, int64_t size = 0, const std::string& cover = "",
               int32_t objectType = kObjectItem) {
    ObjectRow row;
    row.MyIndex = index;
    row.pIndex = 4;
    row.Flags = flags;
    row.ObjectType = objectType;
    row.ProcessObjectType = objectType;
    row.FilePath = path;
    row.FileName = path.substr(path.rfind('/') + 1);
    row.FileType = fileType;
    row.FileSize = size;
    row.CDCover = cover;
    ASSERT_EQ(db_execute(sql::InsertObject(row)), 1);
  }

  Response Get(const std::string& target, const std::string& headers = "") {
    return stream_test::Exchange(server_->port(),
                                 "GET " + target + " HTTP/1.1\r\n" + headers + "\r\n");
  }

  TempLibrary lib_;
  std::string media_;
  std::string song_;
  std::unique_ptr<stream_test::TestServer> server_;
};

TEST_F(StreamMediaTest, PlainFileIsSentWholeWithTypeLengthDateAndConditionalAnswers) {
  Response r = Get("/0/___/100/song.mp3");
  ASSERT_TRUE(r.ok);
  EXPECT_EQ(r.status, 200);
  EXPECT_EQ(r.headers["content-type"], "audio/mpeg");
  EXPECT_EQ(r.headers["content-length"], "1000");
  EXPECT_FALSE(r.headers["last-modified"].empty());
  EXPECT_EQ(r.body, song_);
  // The name in the URL is not what is served: the record is.
  EXPECT_EQ(Get("/0/___/100/anything.mp3").body, song_);
  // If-Modified-Since answers 304 while the copy is current.
  Response current =
      Get("/0/___/100/song.mp3", "If-Modified-Since: Fri, 01 Jan 2100 00:00:00 GMT\r\n");
  EXPECT_EQ(current.status, 304);
  EXPECT_TRUE(current.body.empty());
  // Unknown extensions are sniffed.
  platform::testing::WriteFile(media_ + "/notes.zzz", "just words\n");
  platform::testing::WriteFile(media_ + "/data.zzz", std::string("\x00\x01\x02", 3));
  AddItem(600, media_ + "/notes.zzz", "Audio");
  AddItem(601, media_ + "/data.zzz", "Audio");
  EXPECT_EQ(Get("/0/___/600/n").headers["content-type"], "text/plain");
  EXPECT_EQ(Get("/0/___/601/d").headers["content-type"], "application/octet-stream");
}

TEST_F(StreamMediaTest, SingleRangesAndRangesThatFallBackToTheWholeFile) {
  struct Case {
    std::string range;
    int status;
    const char* contentRange;
    size_t first;
    size_t length;
  };
  std::string many = "bytes=0-0";
  for (int i = 1; i <= 32; ++i) many += "," + std::to_string(i) + "-" + std::to_string(i);
  const Case cases[] = {
      {"bytes=0-99", 206, "bytes 0-99/1000", 0, 100},
      {"bytes=-5000", 206, "bytes 0-999/1000", 0, 1000},
      {"bytes=990-2000", 206, "bytes 990-999/1000", 990, 10},
      {"bytes=500-100", 200, "", 0, 1000},
      {many, 200, "", 0, 1000},
  };
  for (const Case& c : cases) {
    Response r = Get("/0/___/100/song.mp3", "Range: " + c.range + "\r\n");
    ASSERT_TRUE(r.ok) << c.range;
    EXPECT_EQ(r.status, c.status) << c.range;
    EXPECT_EQ(r.headers["content-range"], c.contentRange) << c.range;
    EXPECT_EQ(r.headers["content-length"], std::to_string(c.length)) << c.range;
    EXPECT_EQ(r.body, song_.substr(c.first, c.length)) << c.range;
  }
  EXPECT_EQ(Get("/0/___/100/song.mp3", "Range: bytes=x-1\r\n").status, 400);
}

// DLNA players ask how a resource may be sent and what it is; the answer names the mode
// the player chose (or the one that suits the kind) and the same fourth field as the
// item's protocolInfo.
TEST_F(StreamMediaTest, DlnaHeadersNameTheTransferModeAndTheContentFeatures) {
  Response song = Get("/0/___/100/song.mp3");
  EXPECT_EQ(song.headers["accept-ranges"], "bytes");
  EXPECT_EQ(song.headers["transfermode.dlna.org"], "Streaming");
  EXPECT_EQ(song.headers.count("contentfeatures.dlna.org"), 0u);
  song = Get("/0/___/100/song.mp3",
             "getcontentFeatures.dlna.org: 1\r\ntransferMode.dlna.org: Background\r\n");
  EXPECT_EQ(song.headers["contentfeatures.dlna.org"], "DLNA.ORG_PN=MP3;DLNA.ORG_OP=01");
  EXPECT_EQ(song.headers["transfermode.dlna.org"], "Background");

  platform::testing::WriteFile(media_ + "/folder.png", Pattern(70, 2));
  AddItem(200, media_ + "/song.mp3", "Audio", 0, 1000, "folder.png");
  Response cover = Get("/0/___/200/folder.png", "transferMode.dlna.org: Sideways\r\n");
  EXPECT_EQ(cover.status, 200);
  EXPECT_EQ(cover.headers["transfermode.dlna.org"], "Interactive");
}

TEST_F(StreamMediaTest, OptionsAndMethodsOtherThanGetAndHead) {
  for (const char* target : {"*", "/0/___/100/song.mp3"}) {
    Response r = stream_test::Exchange(server_->port(),
                                       std::string("OPTIONS ") + target + " HTTP/1.1\r\n\r\n");
    EXPECT_EQ(r.status, 200) << target;
    EXPECT_EQ(r.headers["allow"], "GET, HEAD") << target;
    EXPECT_EQ(r.headers["content-length"], "0") << target;
  }
  for (const char* method : {"POST", "PUT", "DELETE", "BREW"}) {
    Response r = stream_test::Exchange(
        server_->port(), std::string(method) + " /0/___/100/song.mp3 HTTP/1.1\r\n\r\n");
    EXPECT_EQ(r.status, 405) << method;
    EXPECT_EQ(r.headers["allow"], "GET, HEAD") << method;
  }
}

TEST_F(StreamMediaTest, UrlsNeverNameFilesOfTheirOwn) {
  AddItem(1, media_ + "/song.mp3", "Audio");
  const char* targets[] = {
      "/0/___/1/%2e%2e/%2e%2e/%2e%2e/etc/passwd",
      "/0/___/999/song.mp3",
      "/0/___/99999999999/song.mp3",
      "/0/___/1/passwd.jpg",
  };
  for (const char* target : targets) {
    Response r = Get(target);
    EXPECT_EQ(r.status, 404) << target;
    EXPECT_EQ(r.body.find("root:"), std::string::npos) << target;
  }
}

TEST_F(StreamMediaTest, PicturesBesideTheItemOnlyWhenTheLibraryKnowsThem) {
  const std::string cover = Pattern(700, 2);
  platform::testing::WriteFile(media_ + "/folder.jpg", cover);
  platform::testing::WriteFile(media_ + "/other.png", Pattern(50, 3));
  AddItem(200, media_ + "/song.mp3", "Audio", 0, 1000, "folder.jpg");

  Response r = Get("/0/___/200/folder.jpg");
  EXPECT_EQ(r.status, 200);
  EXPECT_EQ(r.headers["content-type"], "image/jpeg");
  EXPECT_EQ(r.body, cover);

  EXPECT_EQ(Get("/0/___/200/other.png").status, 404);
  AddItem(201, media_ + "/other.png", "Image");
  Response known = Get("/0/___/200/other.png");
  EXPECT_EQ(known.status, 200);
  EXPECT_EQ(known.headers["content-type"], "image/png");
  EXPECT_EQ(Get("/0/___/200/missing.jpg").status, 404);
}

// Without a relay an internet source cannot be served from here.
TEST_F(StreamMediaTest, InternetSourceWithoutARelayIsABadGateway) {
  AddItem(300, "mmsh://10.0.0.1/live", "Video");
  EXPECT_EQ(Get("/0/___/300/Song.mp3").status, 502);
}

TEST_F(StreamMediaTest, FoldersRedirectThenListOnlyInsideSharedFolders) {
  ASSERT_EQ(::mkdir((media_ + "/Music").c_str(), 0755), 0);
  platform::testing::WriteFile(media_ + "/Music/track.mp3", "abc");
  AddItem(400, media_ + "/Music", "", 0, 0, "", kObjectContainer);
  AddItem(401, lib_.dir(), "", 0, 0, "", kObjectContainer);
  AddItem(402, media_ + "/Music/..", "", 0, 0, "", kObjectContainer);

  Response moved = Get("/0/___/400/My%20Music");
  EXPECT_EQ(moved.status, 302);
  EXPECT_EQ(moved.headers["location"], "/0/___/400/My%20Music/");
  Response index = Get("/0/___/400/My%20Music/");
  EXPECT_EQ(index.status, 200);
  EXPECT_NE(index.body.find("<A HREF=\"/0/___/400/My%20Music/track.mp3\">track.mp3</A>"),
            std::string::npos);
  Response plain = Get("/0/___/400/My%20Music/?plain");
  EXPECT_EQ(plain.headers["content-type"], "text/plain");
  EXPECT_EQ(Get("/0/___/400/x/?sideways").status, 400);

  // The program directory holds the library file: not shared, never listed.
  EXPECT_EQ(Get("/0/___/401/x/").status, 404);
  EXPECT_EQ(Get("/0/___/402/x/").status, 404);
}

TEST_F(StreamMediaTest, TransfersAreRecordedWithProgress) {
  const std::string big = Pattern(300000, 4);
  platform::testing::WriteFile(media_ + "/big.avi", big);
  AddItem(500, media_ + "/big.avi", "Video");
  Response r = Get("/0/___/500/big.avi");
  ASSERT_EQ(r.body, big);
  // The server counts its last piece after the client may already hold it.
  std::vector<TransferEntry> entries;
  EXPECT_TRUE(platform::testing::WaitUntil([&] {
    std::vector<TransferEntry> changed;
    if (CollectChanges(&changed) > 0) entries = changed;
    return !entries.empty() && entries[0].Sent == big.size();
  }));
  ASSERT_EQ(entries.size(), 1u);
  EXPECT_EQ(entries[0].FilePath, media_ + "/big.avi");
  EXPECT_EQ(entries[0].TotalSize, 300000u);
  EXPECT_EQ(entries[0].Sent, 300000u);
}

// A client that stops reading but keeps its connection open is cut off after the send
// time-out, so it cannot hold a connection thread for ever.
TEST_F(StreamMediaTest, AClientThatStopsReadingIsCutAtTheSendTimeout) {
  StreamServerOptions options = stream_test::FastOptions();
  options.SendTimeoutMs = 300;
  stream_test::TestServer server(options);
  ASSERT_TRUE(server.ok());
  const std::string path = media_ + "/long.avi";
  platform::testing::WriteFile(path, "");
  ASSERT_EQ(::truncate(path.c_str(), 256 << 20), 0);
  AddItem(900, path, "Video");
  platform::UniqueFd fd = stream_test::Connect(server.port());
  int small = 4096;
  ::setsockopt(fd.Get(), SOL_SOCKET, SO_RCVBUF, &small, sizeof small);
  ASSERT_TRUE(stream_test::SendAll(fd.Get(), "GET /0/___/900/long.avi HTTP/1.1\r\n\r\n"));
  ASSERT_TRUE(platform::testing::WaitUntil([&] {
    std::lock_guard<std::mutex> lock(server.server()->SlotLock);
    return server.server()->Slots[0].InUse;
  }));
  EXPECT_TRUE(platform::testing::WaitUntil(
      [&] {
        std::lock_guard<std::mutex> lock(server.server()->SlotLock);
        return !server.server()->Slots[0].InUse;
      },
      5000));
}

// A record keeps at most 779 bytes of a path. A longer path cut to that length may name
// another file, which must not be served in its place.
TEST_F(StreamMediaTest, PathsCutByTheRecordFieldAreNotServed) {
  std::string dir = media_;
  while (dir.size() < 700) {
    dir += "/" + std::string(60, 'd');
    ASSERT_EQ(::mkdir(dir.c_str(), 0755), 0);
  }
  std::string full = dir + "/" + std::string(200, 'n') + ".mp3";
  std::string cut = full.substr(0, kRecordPathField - 1);
  platform::testing::WriteFile(full, "the real file");
  platform::testing::WriteFile(cut, "a different file");
  AddItem(700, full, "Audio");
  Response r = Get("/0/___/700/x.mp3");
  EXPECT_EQ(r.status, 404);
  EXPECT_EQ(r.body.find("a different file"), std::string::npos);
}

class StreamDiscImageTest : public StreamMediaTest {
 protected:
  void SetUp() override {
    StreamMediaTest::SetUp();
    if (std::system("command -v genisoimage >/dev/null 2>&1") != 0) {
      GTEST_SKIP() << "genisoimage is not installed";
    }
    std::string tree = lib_.Path("tree");
    ASSERT_EQ(::mkdir(tree.c_str(), 0755), 0);
    member_ = Pattern(5000, 5);
    platform::testing::WriteFile(tree + "/clip.vob", member_);
    image_ = media_ + "/disc.iso";
    std::string command = "genisoimage -quiet -J -R -o '" + image_ + "' '" + tree + "' 2>/dev/null";
    ASSERT_EQ(std::system(command.c_str()), 0);
    std::string bytes = platform::testing::ReadFile(image_);
    size_t at = bytes.find(member_);
    ASSERT_NE(at, std::string::npos);
    offset_ = static_cast<int64_t>(at);
    memberPath_ = image_ + "/%offset%" + std::to_string(offset_) + "/clip.vob";
    AddItem(800, memberPath_, "Video", kFlagDiscImage, 5000);
  }

  std::string image_;
  std::string member_;
  std::string memberPath_;
  int64_t offset_ = 0;
};

TEST_F(StreamDiscImageTest, MemberIsSentFromItsOffsetWithRanges) {
  Response whole = Get("/0/___/800/clip.vob");
  EXPECT_EQ(whole.status, 200);
  EXPECT_EQ(whole.headers["content-type"], "video/vob");
  EXPECT_EQ(whole.body, member_);

  Response one = Get("/0/___/800/clip.vob", "Range: bytes=4000-\r\n");
  EXPECT_EQ(one.status, 206);
  EXPECT_EQ(one.headers["content-range"], "bytes 4000-4999/5000");
  EXPECT_EQ(one.body, member_.substr(4000));
}

TEST_F(StreamDiscImageTest, BrokenMembersAndMissingImagesGive404) {
  // Longer than what the image holds after its offset.
  AddItem(801, memberPath_, "Video", kFlagDiscImage, 1LL << 40);
  // Not inside an ".iso".
  AddItem(802, media_ + "/song.mp3/%offset%0/x.vob", "Video", kFlagDiscImage, 10);
  for (const char* target : {"/0/___/801/a.vob", "/0/___/802/a.vob"}) {
    EXPECT_EQ(Get(target).status, 404) << target;
  }
  ASSERT_EQ(::unlink(image_.c_str()), 0);
  EXPECT_EQ(Get("/0/___/800/clip.vob").status, 404);
}

TEST(StreamMediaPaths, DiscPathsAndSharedFolderTests) {
  std::string image;
  int64_t offset = 0;
  EXPECT_TRUE(StreamMedia_SplitDiscPath("/m/a.ISO/%offset%1048576/v.vob", &image, &offset));
  EXPECT_EQ(image, "/m/a.ISO");
  EXPECT_EQ(offset, 1048576);
  // A folder named like an image is no image.
  EXPECT_FALSE(StreamMedia_SplitDiscPath("/m/a.img/%offset%5/v", &image, &offset));
  EXPECT_FALSE(StreamMedia_SplitDiscPath("/m/a.iso/%offset%-5/v", &image, &offset));
  EXPECT_FALSE(StreamMedia_SplitDiscPath("/m/a.iso/v", &image, &offset));

  EXPECT_TRUE(StreamMedia_IsInternetSource("RTSP://x"));
  EXPECT_FALSE(StreamMedia_IsInternetSource("/http/x"));
}

}  // namespace
