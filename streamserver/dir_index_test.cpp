#include "streamserver/dir_index.h"

#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <utime.h>

#include "platform/testing/test_support.h"
#include "streamserver/stream_server.h"
#include "streamserver/stream_test_support.h"

namespace {

using platform::testing::WriteFile;

TEST(StreamDirIndexName, PadsShortNamesAndCutsLongOnesByCharacters) {
  EXPECT_EQ(StreamDirIndex_NameColumn("a.mp3"), "a.mp3" + std::string(20, ' '));
  EXPECT_EQ(StreamDirIndex_NameColumn("abcdefghijklmnopqrstuvwxyz.mp3"),
            "abcdefghij...tuvwxyz.mp3 ");
  // A name of 30 two-byte letters keeps whole letters.
  std::string wide;
  for (int i = 0; i < 30; ++i) wide += "\xc3\xa9";
  EXPECT_EQ(StreamDirIndex_NameColumn(wide),
            std::string(wide, 0, 20) + "..." + std::string(wide, 0, 22) + " ");
}

class DirIndexTest : public ::testing::Test {
 protected:
  void SetUp() override {
    server_->Mime.LoadText("audio/mpeg mp3\n");
    WriteFile(dir_.Join("README"), "Read me first, it is text.\n");
    WriteFile(dir_.Join("blob"), std::string("\x01\x02\x00", 3));
    WriteFile(dir_.Join("song.mp3"), std::string(300000, 's'));
    WriteFile(dir_.Join("<b>.txt"), "x");
    WriteFile(dir_.Join("why?.txt"), "x");
    ::mkdir(dir_.Join("sub").c_str(), 0755);
    for (const char* name : {"README", "song.mp3"}) {
      time_t when = name[0] == 'R' ? 1000000000 : 1100000000;
      utimbuf times = {when, when};
      ::utime(dir_.Join(name).c_str(), &times);
    }
  }

  // Runs the index for a request and returns what was written.
  std::string Index(const std::string& query, const std::string& ifModifiedSince = "") {
    int fds[2];
    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds) != 0) return "";
    stream_test::Client reader{FLibFd(fds[1])};
    StreamRequest request;
    request.Server = server_.get();
    request.Fd = fds[0];
    request.Method = kStreamMethodGet;
    request.VersionMajor = request.VersionMinor = 1;
    request.Uri = "/0/___/7/Music/";
    request.Query = query;
    if (!ifModifiedSince.empty())
      request.Headers.emplace_back("if-modified-since", ifModifiedSince);
    StreamDirIndex_Send(&request, dir_.path());
    ::close(fds[0]);
    return reader.ReadUntil([](const std::string&) { return false; }, 2000);
  }

  platform::testing::TempDir dir_;
  std::unique_ptr<StreamServer> server_ = StreamServer_Create("s", 80, "", "");
};

TEST_F(DirIndexTest, PlainFormListsEntriesWithTypesSizesAndDates) {
  std::string text = Index("plain");
  ASSERT_EQ(text.rfind("HTTP/1.1 200 OK\r\n", 0), 0u);
  EXPECT_NE(text.find("Content-type: text/plain\r\n"), std::string::npos);
  std::string body = text.substr(text.find("\r\n\r\n") + 4);
  const std::string title = "Index of /0/___/7/Music/";
  EXPECT_EQ(
      body.rfind(title + "\r\n" + std::string(title.size(), '-') +
                     "\r\n\r\nName                      Size      Date-Time             Type\r\n" +
                     std::string(80, '-') + "\r\n",
                 0),
      0u);
  auto line = [](const std::string& name, const std::string& size) {
    return StreamDirIndex_NameColumn(name) + " " + size + "    ";
  };
  EXPECT_NE(body.find(line("README", "   27 B") + "09/09/2001 01:46:40   text/plain\r\n"),
            std::string::npos);
  EXPECT_NE(body.find(line("song.mp3", "  292 K")), std::string::npos);
  EXPECT_NE(body.find("   Unknown\r\n"), std::string::npos);
  EXPECT_NE(body.find(line("sub/", "       ")), std::string::npos);
  EXPECT_NE(body.find("   Directory\r\n"), std::string::npos);
  EXPECT_NE(body.find("\r\n../ "), std::string::npos);
  EXPECT_EQ(body.find("\r\n./ "), std::string::npos);
  EXPECT_LT(body.find("README"), body.find("blob"));  // sorted by name, capitals first
}

TEST_F(DirIndexTest, HtmlFormEscapesNamesAndLinks) {
  std::string text = Index("");
  EXPECT_NE(text.find("<H1>Index of /0/___/7/Music/</H1><PRE>"), std::string::npos);
  EXPECT_NE(text.find("<A HREF=\"/0/___/7/Music/%3Cb%3E.txt\">&lt;b&gt;.txt</A>"),
            std::string::npos);
  EXPECT_EQ(text.find("<b>"), std::string::npos);
  EXPECT_NE(text.find("<A HREF=\"/0/___/7/Music/why%3F.txt\">why?.txt</A>"), std::string::npos);
}

TEST_F(DirIndexTest, DateOrdersQueriesAndConditionalRequests) {
  std::string down = Index("date-down");
  EXPECT_LT(down.find(">song.mp3<"), down.find(">README<"));
  std::string up = Index("date-up");
  EXPECT_LT(up.find(">README<"), up.find(">song.mp3<"));
  EXPECT_EQ(Index("bogus").rfind("HTTP/1.1 400 ", 0), 0u);
  EXPECT_EQ(Index("", "Fri, 01 Jan 2100 00:00:00 GMT").rfind("HTTP/1.1 304 Not Modified\r\n", 0),
            0u);
  EXPECT_EQ(Index("", "Thu, 01 Jan 1970 00:00:00 GMT").rfind("HTTP/1.1 200 ", 0), 0u);
}

}  // namespace
