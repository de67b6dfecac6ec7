#include "streamserver/stream_response.h"

#include <gtest/gtest.h>
#include <sys/socket.h>

#include <regex>

#include "platform/unique_fd.h"
#include "streamserver/stream_server.h"
#include "streamserver/stream_test_support.h"
#include "upnp/base64.h"

namespace {

// A request whose answer goes into one end of a socket pair; the test reads the other.
class ResponseTest : public ::testing::Test {
 protected:
  void SetUp() override {
    int fds[2];
    ASSERT_EQ(::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds), 0);
    server_end_.Reset(fds[0]);
    client_end_.Reset(fds[1]);
    request_.Fd = server_end_.Get();
    request_.Method = kStreamMethodGet;
    request_.VersionMajor = 1;
    request_.VersionMinor = 1;
  }

  // Everything written so far, once the server side is closed.
  std::string Written() {
    server_end_.Reset();
    return stream_test::ReadUntilClosed(client_end_.Get(), 2000);
  }

  // The head with the Date line taken out, for exact comparison.
  static std::string WithoutDate(const std::string& text) {
    return std::regex_replace(text, std::regex("Date: [^\r]*\r\n"), "");
  }

  platform::UniqueFd server_end_;
  platform::UniqueFd client_end_;
  StreamRequest request_;
};

TEST(StreamDate, FormatsAndReadsTheThreeForms) {
  EXPECT_EQ(StreamDate_Format(784111777), "Sun, 06 Nov 1994 08:49:37 GMT");
  const char* forms[] = {
      "Sun, 06 Nov 1994 08:49:37 GMT",
      "Sunday, 06-Nov-94 08:49:37 GMT",
      "Sun Nov  6 08:49:37 1994",
      "Sun, 6 nov 1994 08:49:37 GMT; length=12",
  };
  for (const char* form : forms) {
    time_t when = 0;
    ASSERT_TRUE(StreamDate_Parse(form, &when)) << form;
    EXPECT_EQ(when, 784111777) << form;
  }
  const char* bad[] = {
      "",
      "Sun, 06 Foo 1994 08:49:37 GMT",
      "Sun, 06 Nov 1994 25:00:00 GMT",
      "Sun, 32 Nov 1994 08:49:37 GMT",
      "Sun, 06 Nov 99999999999999999999 08:49:37 GMT",
  };
  for (const char* text : bad) {
    time_t when = 0;
    EXPECT_FALSE(StreamDate_Parse(text, &when)) << text;
  }
}

TEST_F(ResponseTest, AnswersWhoseEndCannotBeToldCloseTheConnection) {
  // HTTP/1.0 cannot take chunks, and there is no length: the close ends the body.
  request_.KeepAlive = true;
  request_.VersionMinor = 0;
  StreamResponse_SetStatus(&request_, 200);
  StreamResponse_SetChunked(&request_);
  ASSERT_TRUE(StreamResponse_Write(&request_, "abc"));
  ASSERT_TRUE(StreamResponse_End(&request_));
  EXPECT_FALSE(request_.ResponseKeepAlive);
  EXPECT_EQ(WithoutDate(Written()),
            "HTTP/1.1 200 OK\r\nConnection: close\r\nServer: TALUS/0.3\r\n\r\nabc");
}

TEST_F(ResponseTest, ErrorPagesAlwaysClose) {
  request_.KeepAlive = true;
  ASSERT_TRUE(StreamResponse_SendError(&request_, 404));
  EXPECT_FALSE(request_.ResponseKeepAlive);
  std::string text = Written();
  EXPECT_NE(text.find("HTTP/1.1 404 Not Found\r\nConnection: close\r\n"), std::string::npos);
  EXPECT_NE(text.find("<H1>Error 404</H1>"), std::string::npos);

  // HEAD gets the head alone; status 0 becomes 500.
  int fds[2];
  ASSERT_EQ(::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds), 0);
  platform::UniqueFd writer(fds[0]), reader(fds[1]);
  StreamRequest head;
  head.Fd = writer.Get();
  head.Method = kStreamMethodHead;
  head.VersionMajor = 1;
  ASSERT_TRUE(StreamResponse_WriteError(&head));
  writer.Reset();
  std::string written = stream_test::ReadUntilClosed(reader.Get(), 2000);
  EXPECT_EQ(written.rfind("HTTP/1.1 500 Internal Server Error\r\n", 0), 0u);
  EXPECT_EQ(written.substr(written.size() - 4), "\r\n\r\n");
}

TEST_F(ResponseTest, FieldsThatCouldSplitTheHeadAreRefused) {
  EXPECT_EQ(StreamResponse_AddField(&request_, "X-Ok", "a\tb"), 1);
  EXPECT_EQ(StreamResponse_AddField(&request_, "X-Bad", "a\r\nSet-Cookie: x"), 0);
  EXPECT_EQ(StreamResponse_AddField(&request_, "X-Bad", std::string("a\0b", 3)), 0);
  EXPECT_EQ(StreamResponse_AddField(&request_, "", "v"), 0);
  EXPECT_EQ(request_.ResponseHeaders.size(), 1u);
}

TEST_F(ResponseTest, BasicAuthentication) {
  auto withAuthorization = [](const std::string& value) {
    StreamRequest r;
    r.Headers.emplace_back("authorization", value);
    return r;
  };
  StreamRequest good = withAuthorization("BASIC " + FLibBase64_Encode("user:secret"));
  EXPECT_TRUE(StreamRequest_Authenticate(&good, "realm", "user", "secret"));
  EXPECT_EQ(good.User, "user");
  EXPECT_TRUE(good.ResponseHeaders.empty());

  StreamRequest cases[] = {
      withAuthorization("Basic " + FLibBase64_Encode("user:wrong")),
      withAuthorization("Basic"),
      StreamRequest(),
  };
  for (StreamRequest& r : cases) {
    EXPECT_FALSE(StreamRequest_Authenticate(&r, "Mot de passe", "user", "secret"));
    EXPECT_EQ(r.Status, 401);
    EXPECT_TRUE(r.User.empty());
    ASSERT_EQ(r.ResponseHeaders.size(), 1u);
    EXPECT_EQ(r.ResponseHeaders[0].first, "WWW-Authenticate");
    EXPECT_EQ(r.ResponseHeaders[0].second, "Basic realm=\"Mot de passe\"");
  }
}

}  // namespace
