#include "streamserver/stream_relay.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <string>
#include <vector>

#include "controlpoint/testing/http_fetch_test_server.h"
#include "gui/transfer_status.h"
#include "internet/internet_limits.h"
#include "library/library.h"
#include "library/statements.h"
#include "library/testing/temp_library.h"
#include "platform/testing/test_support.h"
#include "streamserver/stream_media.h"
#include "streamserver/testing/stream_test_support.h"
#include "transcode/transcode_session.h"
#include "upnp/testing/device_test_util.h"

namespace {

using platform::testing::ReadFile;
using stream_test::Response;
using Reply = HttpFetchTestServer::Reply;

constexpr uint64_t kEncodeTimeoutMs = 90000;

// A watch page as the site served it: the player's arguments in a script.
constexpr const char* kWatchPage = R"(<html><head><title>Clip</title></head><body>
<div id="watch-player"></div>
<script type="text/javascript">
	var swfUrl = "/player2.swf";
	var swfArgs = {"hl": "en", "BASE_YT_URL": "http://127.0.0.1/", "video_id": "Ht9HX_u4MVI", "l": 213, "sk": "qG1pYAE0", "fmt_map": "", "t": "vjVQa1PpcFOq8ZC9iSySG-ROjNRMAjZ5hdGnSIi0Cls=", "plid": "AARG"};
</script></body></html>)";
constexpr const char* kScraped =
    "/get_video?video_id=Ht9HX_u4MVI&l=213&t=vjVQa1PpcFOq8ZC9iSySG-ROjNRMAjZ5hdGnSIi0Cls=";

class StreamRelayTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(lib_.ok());
    ASSERT_TRUE(source_.ok());
    // Two seconds of an MPEG transport stream: read from its start, no seeking needed.
    ASSERT_TRUE(platform::testing::RunFfmpeg(
        {"-f", "lavfi", "-i", "testsrc=size=160x120:rate=10", "-f", "lavfi", "-i", "sine", "-t",
         "2", "-c:v", "mpeg2video", "-c:a", "mp2", "-f", "mpegts", lib_.Path("clip.ts")}));
    clip_ = ReadFile(lib_.Path("clip.ts"));
    UseEncoderIn(ORVEX_ENCODER_DIR);
    ClearTransfers();
    StreamRelay_Install();
    server_ = std::make_unique<stream_test::TestServer>();
    ASSERT_TRUE(server_->ok());
  }
  void TearDown() override {
    StreamServer_SetRelay(nullptr);
    Transcode_SetConfig(Transcode_DefaultConfig());
  }

  void UseEncoderIn(const std::string& dir) {
    TranscodeConfig config = Transcode_DefaultConfig();
    config.encoderDirectory = dir;
    Transcode_SetConfig(config);
  }

  Reply Serve(const std::string& target) {
    if (target == "/clip.ts" || target.rfind("/get_video?", 0) == 0) {
      return HttpFetchTestServer::Answer(200, clip_, "Content-Type: video/mp2t\r\n");
    }
    if (target == "/watch?v=Ht9HX_u4MVI") return HttpFetchTestServer::Answer(200, kWatchPage);
    return HttpFetchTestServer::Answer(404, "gone");
  }

  // The format ffprobe finds in `body`, or empty.
  std::string Probe(const std::string& body) {
    const std::string file = lib_.Path("body");
    platform::testing::WriteFile(file, body);
    platform::testing::RunProgram({"ffprobe", "-v", "error", "-show_entries", "format=format_name",
                                   "-of", "default=nw=1:nk=1", "-o", file + ".probe", file});
    std::string out = ReadFile(file + ".probe");
    return out.substr(0, out.find('\n'));
  }

  Response Send(const std::string& request) {
    return stream_test::Exchange(server_->port(), request, kEncodeTimeoutMs);
  }

  TempLibrary lib_;
  std::string clip_;
  HttpFetchTestServer source_{[this](const std::string& target) { return Serve(target); }};
  std::unique_ptr<stream_test::TestServer> server_;
};

TEST_F(StreamRelayTest, VideoIsRelayedAsAviToTheEndAndListedAndNothingIsABadGateway) {
  stream_test::AddItem(300, source_.Url("/clip.ts"), "Video");
  Response r = Send("GET /0/___/300/clip&TC&POWER HTTP/1.0\r\n\r\n");
  EXPECT_EQ(r.status, 200);
  EXPECT_EQ(r.headers["content-type"], "video/x-ms-avi");
  EXPECT_EQ(r.headers["connection"], "close");
  EXPECT_EQ(Probe(r.body), "avi");
  std::vector<TransferEntry> entries;
  ASSERT_EQ(CollectChanges(&entries), 1u);
  EXPECT_EQ(entries[0].FilePath, "/0/___/300/clip&TC&POWER");
  // A source that delivers nothing is not listed.
  stream_test::AddItem(304, source_.Url("/missing.ts"), "Video");
  EXPECT_EQ(Send("GET /0/___/304/v HTTP/1.0\r\n\r\n").status, 502);
  EXPECT_EQ(CollectChanges(&entries), 0u);
}

TEST_F(StreamRelayTest, AudioFromTheStartIsChunkedMp3AndTheConnectionGoesOn) {
  stream_test::AddItem(301, source_.Url("/clip.ts"), "AUDIO");
  stream_test::Client client(server_->port());
  client.Send("GET /0/___/301/a HTTP/1.1\r\nConnection: keep-alive\r\nRange: bytes=0-\r\n\r\n");
  // The answer has no length: read until its last chunk.
  std::string raw = client.ReadUntil(device_test::DeviceOnChain::IsWholeResponse, kEncodeTimeoutMs);
  EXPECT_EQ(raw.rfind("HTTP/1.1 206 Partial Content\r\n", 0), 0u);
  EXPECT_NE(raw.find("Content-type: audio/mpeg\r\n"), std::string::npos);
  std::string body = device_test::Dechunk(raw);
  EXPECT_EQ(Probe(body), "mp3");

  // A closed range from the start ends at its last byte.
  client.Received().clear();
  client.Send("GET /0/___/301/a HTTP/1.1\r\nRange: bytes=0-999\r\n\r\n");
  Response capped = stream_test::ReadResponse(client, false, kEncodeTimeoutMs);
  EXPECT_EQ(capped.headers["content-range"], "bytes 0-999/*");
  EXPECT_EQ(capped.body, body.substr(0, 1000));
}

TEST_F(StreamRelayTest, AnswersThatNeedNoEncoderAndAnEncoderThatCannotStart) {
  UseEncoderIn(lib_.Path("no-encoder-here"));
  stream_test::AddItem(302, source_.Url("/clip.ts"), "Video");
  stream_test::AddItem(303, "rtsp://iptv.home.example/ch1", "Video");
  // Only the stream's start can be sent, and only as one part.
  EXPECT_EQ(Send("GET /0/___/302/v HTTP/1.1\r\nRange: bytes=100-\r\n\r\n").status, 501);
  EXPECT_EQ(Send("GET /0/___/302/v HTTP/1.1\r\nRange: bytes=0-9,20-29\r\n\r\n").status, 501);
  Response head = Send("HEAD /0/___/303/v HTTP/1.1\r\n\r\n");
  EXPECT_EQ(head.status, 200);
  EXPECT_EQ(head.headers["content-type"], "video/mpeg");

  stream_test::Client client(server_->port());
  client.Send("GET /0/___/302/v HTTP/1.1\r\nConnection: keep-alive\r\n\r\n");
  EXPECT_EQ(stream_test::ReadResponse(client).status, 500);
  EXPECT_TRUE(client.WaitClosed(5000));
}

TEST_F(StreamRelayTest, WatchPageOfTheSiteIsFetchedKeptAndPlayedFromItsVideoAddress) {
  // The setting row is not in a new library; a user adds it.
  ASSERT_EQ(db_execute(Sql{"insert or replace into AVP (my_attribute, my_value) values (?, ?)",
                           {std::string(kKeyYouTubeSiteAddress), source_.Url("")}}),
            1);
  stream_test::AddItem(305, source_.Url("/watch?v=Ht9HX_u4MVI"), "Video");
  Response r = Send("GET /0/___/305/v HTTP/1.0\r\n\r\n");
  EXPECT_EQ(r.status, 200);
  EXPECT_EQ(Probe(r.body), "avi");
  EXPECT_EQ(ReadFile(lib_.Path("log.txt")), kWatchPage);
  std::vector<std::string> targets = source_.Targets();
  EXPECT_NE(std::find(targets.begin(), targets.end(), kScraped), targets.end());
}

// That every address a page gives is one address is the fuzzer's; these are the page
// cut short, the escapes and which pages are watch pages.
TEST(StreamRelayPageTest, APageCutAnywhereGivesTheWholeAddressOrNone) {
  const std::string page = kWatchPage, address = std::string("http://s") + kScraped;
  for (size_t cut = 0; cut <= page.size(); ++cut) {
    std::string got = "untouched";
    bool found = StreamRelay_ScrapeYouTubePage(page.substr(0, cut), "http://s", &got);
    EXPECT_EQ(got, found ? address : "untouched") << cut;
  }
  std::string got;
  ASSERT_TRUE(StreamRelay_ScrapeYouTubePage(
      R"(var swfArgs = {"video_id":"a b","l":"1&x=2","t":"t#\"})", "http://s", &got));
  EXPECT_EQ(got, "http://s/get_video?video_id=a%20b&l=1%26x=2&t=t%23%5C");
  EXPECT_TRUE(StreamRelay_IsYouTubePage("http://youtube.com/watch?v=x", ""));
  EXPECT_FALSE(StreamRelay_IsYouTubePage("http://www.example.com/youtube", ""));
  EXPECT_TRUE(StreamRelay_IsYouTubePage("http://10.0.0.5:81/watch?v=x", "http://10.0.0.5:81"));
}

}  // namespace
