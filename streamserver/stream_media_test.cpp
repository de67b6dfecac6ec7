#include "streamserver/stream_media.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>
#include <utime.h>

#include <memory>

#include "library/library.h"
#include "library/statements.h"
#include "library/testing/temp_library.h"
#include "platform/testing/test_support.h"
#include "streamserver/testing/stream_test_support.h"

namespace {

using platform::testing::WriteFile;
using stream_test::AddItem;
using stream_test::Response;

std::string Pattern(size_t size, int seed) {
  std::string bytes(size, '\0');
  for (size_t i = 0; i < size; ++i)
    bytes[i] = static_cast<char>((i * 7 + seed * 13 + i / 251) & 0xFF);
  return bytes;
}

// Whole files, ranges, contentFeatures, covers, disc image members, traversal and kept
// connections are proven by the real-client suite; these are the answers it never asks for.
class StreamMediaTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(lib_.ok());
    ASSERT_EQ(::mkdir(media_.c_str(), 0755), 0);
    ASSERT_EQ(db_execute(sql::InsertSharedFolder(media_)), 1);
    WriteFile(media_ + "/song.mp3", song_);
    ASSERT_TRUE(AddItem(100, media_ + "/song.mp3", "Audio"));
    server_ = std::make_unique<stream_test::TestServer>();
    ASSERT_TRUE(server_->ok());
  }

  Response Get(const std::string& target, const std::string& headers = "",
               const std::string& method = "GET") {
    return stream_test::Exchange(server_->port(),
                                 method + " " + target + " HTTP/1.1\r\n" + headers + "\r\n");
  }

  TempLibrary lib_;
  const std::string media_ = lib_.Path("media");
  const std::string song_ = Pattern(1000, 1);
  std::unique_ptr<stream_test::TestServer> server_;
};

TEST_F(StreamMediaTest, TheRecordNotTheNameIsServedWithConditionalAnswersAndSniffedTypes) {
  EXPECT_EQ(Get("/0/___/100/anything.mp3").body, song_);
  Response current =
      Get("/0/___/100/song.mp3", "If-Modified-Since: Fri, 01 Jan 2100 00:00:00 GMT\r\n");
  EXPECT_EQ(current.status, 304);
  EXPECT_TRUE(current.body.empty());
  WriteFile(media_ + "/notes.zzz", "just words\n");
  WriteFile(media_ + "/data.zzz", std::string("\x00\x01\x02", 3));
  AddItem(600, media_ + "/notes.zzz", "Audio");
  AddItem(601, media_ + "/data.zzz", "Audio");
  EXPECT_EQ(Get("/0/___/600/n").headers["content-type"], "text/plain");
  EXPECT_EQ(Get("/0/___/601/d").headers["content-type"], "application/octet-stream");
}

TEST_F(StreamMediaTest, RangesThatCannotBeServedFallBackToTheWholeFile) {
  std::string many = "bytes=0-0";
  for (int i = 1; i <= 32; ++i) many += "," + std::to_string(i) + "-" + std::to_string(i);
  for (const std::string& range : {std::string("bytes=500-100"), many, std::string("items=0-9")}) {
    Response r = Get("/0/___/100/song.mp3", "Range: " + range + "\r\n");
    EXPECT_EQ(r.status, 200) << range;
    EXPECT_EQ(r.body, song_) << range;
  }
  Response all = Get("/0/___/100/song.mp3", "Range: bytes=-5000\r\n");
  EXPECT_EQ(all.headers["content-range"], "bytes 0-999/1000");
  EXPECT_EQ(Get("/0/___/100/song.mp3", "Range: bytes=x-1\r\n").status, 400);
}

// The answer names the transfer mode the player chose, or the one that suits the kind.
TEST_F(StreamMediaTest, TransferModeAndMethodsOtherThanGetAndHead) {
  EXPECT_EQ(Get("/0/___/100/song.mp3").headers["transfermode.dlna.org"], "Streaming");
  EXPECT_EQ(Get("/0/___/100/song.mp3", "transferMode.dlna.org: Background\r\n")
                .headers["transfermode.dlna.org"],
            "Background");
  WriteFile(media_ + "/folder.png", Pattern(70, 2));
  AddItem(200, media_ + "/song.mp3", "Audio", 0, 1000, "folder.png");
  EXPECT_EQ(Get("/0/___/200/folder.png", "transferMode.dlna.org: Sideways\r\n")
                .headers["transfermode.dlna.org"],
            "Interactive");
  for (const auto& [method, target, status] :
       {std::tuple{"OPTIONS", "*", 200}, {"POST", "/0/___/100/song.mp3", 405}}) {
    Response r = Get(target, "", method);
    EXPECT_EQ(r.status, status) << method << " " << target;
    EXPECT_EQ(r.headers["allow"], "GET, HEAD") << method << " " << target;
  }
}

TEST_F(StreamMediaTest, PicturesBesideTheItemOnlyWhenTheLibraryKnowsThem) {
  WriteFile(media_ + "/folder.jpg", "cover");
  WriteFile(media_ + "/other.png", "other");
  AddItem(200, media_ + "/song.mp3", "Audio", 0, 1000, "folder.jpg");
  EXPECT_EQ(Get("/0/___/200/folder.jpg").body, "cover");
  EXPECT_EQ(Get("/0/___/200/other.png").status, 404);
  AddItem(201, media_ + "/other.png", "Image");
  EXPECT_EQ(Get("/0/___/200/other.png").body, "other");
  ASSERT_EQ(::mkfifo((media_ + "/pipe.mp3").c_str(), 0600), 0);  // never opened to block
  AddItem(202, media_ + "/pipe.mp3", "Audio");
  for (const char* target :
       {"/0/___/200/missing.jpg", "/0/___/99999999999/song.mp3", "/0/___/12345/song.mp3",
        "/0/___/200/../200/folder.jpg", "/0/___/202/x"})
    EXPECT_EQ(Get(target).status, 404) << target;
  // Without a relay an internet source cannot be served from here.
  AddItem(300, "mmsh://10.0.0.1/live", "Video");
  EXPECT_EQ(Get("/0/___/300/Song.mp3").status, 502);
}

// A folder's listing: names escaped in HTML, a plain form with types, sizes and dates,
// long names cut by characters, ordered by name or date, conditional answers, and only
// inside the shared folders.
TEST_F(StreamMediaTest, FoldersRedirectThenListOnlyInsideSharedFolders) {
  const std::string music = media_ + "/Music";
  ASSERT_EQ(::mkdir(music.c_str(), 0755), 0);
  ASSERT_EQ(::mkdir((music + "/sub").c_str(), 0755), 0);
  WriteFile(music + "/README", "Read me first, it is text.\n");
  WriteFile(music + "/blob", std::string("\x01\x02\x00", 3));
  WriteFile(music + "/song.mp3", std::string(300000, 's'));
  WriteFile(music + "/<b>?.txt", "x");
  WriteFile(music + "/x.zzz", "");
  WriteFile(music + "/huge.iso", "");
  ASSERT_EQ(::truncate((music + "/huge.iso").c_str(), int64_t{1} << 40), 0);
  ASSERT_EQ(::symlink("nowhere", (music + "/broken").c_str()), 0);
  std::string wide;
  for (int i = 0; i < 30; ++i) wide += "\xc3\xa9";
  WriteFile(music + "/" + wide, "x");
  for (const char* name : {"README", "song.mp3"}) {
    time_t when = name[0] == 'R' ? 1000000000 : 1100000000;
    utimbuf times = {when, when};
    ::utime((music + "/" + name).c_str(), &times);
  }
  AddItem(400, music, "", 0, 0, "", kObjectContainer);
  AddItem(401, lib_.dir(), "", 0, 0, "", kObjectContainer);
  AddItem(402, music + "/..", "", 0, 0, "", kObjectContainer);
  Response moved = Get("/0/___/400/Music");
  EXPECT_EQ(moved.status, 302);
  EXPECT_EQ(moved.headers["location"], "/0/___/400/Music/");

  std::string html = Get("/0/___/400/Music/").body;
  EXPECT_NE(html.find("<A HREF=\"/0/___/400/Music/%3Cb%3E%3F.txt\">&lt;b&gt;?.txt</A>"),
            std::string::npos);
  EXPECT_EQ(html.find("<b>"), std::string::npos);

  Response plain = Get("/0/___/400/Music/?plain");
  EXPECT_EQ(plain.headers["content-type"], "text/plain");
  for (const std::string& part :
       {std::string("README                       27 B    09/09/2001 01:46:40   text/plain\r\n"),
        std::string("\r\nsong.mp3                    292 K    "),
        std::string("\r\nhuge.iso                   1024 G    "), std::string("\r\nbroken "),
        std::string("\r\nsub/                                 "), std::string("   Directory\r\n"),
        "\r\n" + wide.substr(0, 20) + "..." + wide.substr(0, 22) + "      1 B"})
    EXPECT_NE(plain.body.find(part), std::string::npos) << part;
  EXPECT_LT(plain.body.find("README"), plain.body.find("blob"));  // by name, capitals first
  size_t unknown = plain.body.find("\r\n", plain.body.find("\r\nx.zzz ") + 2);
  EXPECT_EQ(plain.body.substr(unknown - 7, 7), "Unknown");  // an extension nobody types
  for (const auto& [order, first, second] : {std::tuple{"date-down", ">song.mp3<", ">README<"},
                                             {"name-down", ">song.mp3<", ">README<"},
                                             {"date-up", ">README<", ">song.mp3<"}}) {
    std::string listed = Get(std::string("/0/___/400/Music/?") + order).body;
    EXPECT_LT(listed.find(first), listed.find(second)) << order;
  }
  Response head = Get("/0/___/400/Music/", "", "HEAD");
  EXPECT_TRUE(head.status == 200 && head.body.empty() && head.headers.count("last-modified"));
  EXPECT_EQ(Get("/0/___/400/x/?sideways").status, 400);
  EXPECT_EQ(Get("/0/___/400/x/", "If-Modified-Since: Fri, 01 Jan 2100 00:00:00 GMT\r\n").status,
            304);
  // The program directory holds the library file: not shared, never listed.
  EXPECT_EQ(Get("/0/___/401/x/").status, 404);
  EXPECT_EQ(Get("/0/___/402/x/").status, 404);
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
  WriteFile(full, "the real file");
  WriteFile(full.substr(0, kRecordPathField - 1), "a different file");
  AddItem(700, full, "Audio");
  Response r = Get("/0/___/700/x.mp3");
  EXPECT_EQ(r.status, 404);
  EXPECT_EQ(r.body.find("a different file"), std::string::npos);
}

// Members are served from their offset inside the image file, and only from inside it.
TEST_F(StreamMediaTest, DiscImageMembersStayInsideTheirImage) {
  const std::string image = media_ + "/disc.iso", member = Pattern(5000, 5);
  WriteFile(image, std::string(2048, 'h') + member);
  AddItem(800, image + "/%offset%2048/clip.vob", "Video", kFlagDiscImage, 5000);
  AddItem(801, image + "/%offset%2048/clip.vob", "Video", kFlagDiscImage, 1LL << 40);
  AddItem(802, media_ + "/song.mp3/%offset%0/x.vob", "Video", kFlagDiscImage, 10);
  ASSERT_EQ(::mkdir((media_ + "/folder.iso").c_str(), 0755), 0);
  AddItem(803, media_ + "/folder.iso/%offset%0/x.vob", "Video", kFlagDiscImage, 10);
  Response range = Get("/0/___/800/clip.vob", "Range: bytes=4000-\r\n");
  EXPECT_EQ(range.headers["content-range"], "bytes 4000-4999/5000");
  EXPECT_EQ(range.body, member.substr(4000));
  for (const char* target : {"/0/___/801/a.vob", "/0/___/802/a.vob", "/0/___/803/a.vob"})
    EXPECT_EQ(Get(target).status, 404) << target;
  ASSERT_EQ(::unlink(image.c_str()), 0);
  EXPECT_EQ(Get("/0/___/800/clip.vob").status, 404);
}

}  // namespace
