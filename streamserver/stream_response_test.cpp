#include "streamserver/stream_response.h"

#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <regex>

#include "streamserver/stream_server.h"
#include "streamserver/testing/stream_test_support.h"

namespace {

// Everything `write` sends for a request of this method and minor version, the Date line
// taken out.
std::string Written(int method, int minor, const std::function<void(StreamRequest*)>& write) {
  int fds[2];
  if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds) != 0) return "";
  stream_test::Client reader{FLibFd(fds[1])};
  StreamRequest request;
  request.Fd = fds[0];
  request.Method = method;
  request.VersionMajor = 1;
  request.VersionMinor = minor;
  request.KeepAlive = true;
  write(&request);
  EXPECT_FALSE(request.ResponseKeepAlive);
  ::close(fds[0]);
  return std::regex_replace(reader.ReadUntil([](const std::string&) { return false; }, 2000),
                            std::regex("Date: [^\r]*\r\n"), "");
}

TEST(StreamDate, FormatsAndReadsTheThreeForms) {
  EXPECT_EQ(StreamDate_Format(784111777), "Sun, 06 Nov 1994 08:49:37 GMT");
  for (const char* form : {"Sun, 06 Nov 1994 08:49:37 GMT", "Sunday, 06-Nov-94 08:49:37 GMT",
                           "Sun Nov  6 08:49:37 1994", "Sun, 6 nov 1994 08:49:37 GMT; length=12"}) {
    time_t when = 0;
    ASSERT_TRUE(StreamDate_Parse(form, &when)) << form;
    EXPECT_EQ(when, 784111777) << form;
  }
  for (const char* bad :
       {"", "Sun, 06 Foo 1994 08:49:37 GMT", "Sun, 06 Nov 1994 25:00:00 GMT",
        "Sun, 32 Nov 1994 08:49:37 GMT", "Sun, 06 Nov 99999999999999999999 08:49:37 GMT"}) {
    time_t when = 0;
    EXPECT_FALSE(StreamDate_Parse(bad, &when)) << bad;
  }
}

// HTTP/1.0 cannot take chunks, and without a length only the close ends the body; error
// pages always close; the answer to HEAD is the head alone, and status 0 becomes 500.
TEST(StreamResponse, AnswersWhoseEndCannotBeToldAndErrorsClose) {
  EXPECT_EQ(Written(kStreamMethodGet, 0,
                    [](StreamRequest* r) {
                      StreamResponse_SetStatus(r, 200);
                      StreamResponse_SetChunked(r);
                      StreamResponse_Write(r, "abc");
                      StreamResponse_End(r);
                    }),
            "HTTP/1.1 200 OK\r\nConnection: close\r\nServer: TALUS/0.3\r\n\r\nabc");
  std::string page =
      Written(kStreamMethodGet, 1, [](StreamRequest* r) { StreamResponse_SendError(r, 404); });
  EXPECT_EQ(page.rfind("HTTP/1.1 404 Not Found\r\nConnection: close\r\n", 0), 0u);
  EXPECT_NE(page.find("<H1>Error 404</H1>"), std::string::npos);
  std::string head =
      Written(kStreamMethodHead, 1, [](StreamRequest* r) { StreamResponse_WriteError(r); });
  EXPECT_EQ(head.rfind("HTTP/1.1 500 Internal Server Error\r\n", 0), 0u);
  EXPECT_TRUE(head.ends_with("\r\n\r\n"));
}

TEST(StreamResponse, FieldsThatCouldSplitTheHeadAreRefused) {
  StreamRequest request;
  EXPECT_EQ(StreamResponse_AddField(&request, "X-Ok", "a\tb"), 1);
  EXPECT_EQ(StreamResponse_AddField(&request, "X-Bad", "a\r\nSet-Cookie: x"), 0);
  EXPECT_EQ(StreamResponse_AddField(&request, "X-Bad", std::string("a\0b", 3)), 0);
  EXPECT_EQ(StreamResponse_AddField(&request, "", "v"), 0);
  EXPECT_EQ(request.ResponseHeaders.size(), 1u);
}

}  // namespace
