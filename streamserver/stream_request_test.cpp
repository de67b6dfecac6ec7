#include "streamserver/stream_request.h"

#include <gtest/gtest.h>

#include <string>
#include <tuple>

namespace {

struct ReadResult {
  int code = kStreamReadNeedMore;
  size_t consumed = 0;
  StreamRequest request;
};

ReadResult ReadWhole(const std::string& input) {
  ReadResult r;
  StreamHeadScanner scanner;
  r.code = StreamRequest_Read(&r.request, &scanner, input, &r.consumed);
  return r;
}

TEST(StreamRequestRead, MalformedHeadsAreRefusedWith400) {
  const char* cases[] = {
      "GET / HTTP/1\r\n\r\n",
      "GET / HTTP/1.99999999999\r\n\r\n",
      "GET / HTTP/1.1 extra\r\n\r\n",
      "GET / HTTP/1.1\r\nNoColonHere\r\n\r\n",
      "GET / HTTP/1.1\r\nBad Name: x\r\n\r\n",
      "GET / HTTP/1.1\r\nRange: bytes=a-b\r\n\r\n",
      "GET / HTTP/1.1\r\nRange: bytes=99999999999999999999-\r\n\r\n",
      "GET / HTTP/1.1\r\nCookies: a=1; broken\r\n\r\n",
      "GET / HTTP/1.1\r\nContent-Length: ten\r\n\r\n",
      "GET /a%00b HTTP/1.1\r\n\r\n",
  };
  for (const char* text : cases) {
    ReadResult r = ReadWhole(text);
    EXPECT_EQ(r.code, kStreamReadError) << text;
    EXPECT_EQ(r.request.Status, 400) << text;
  }
  // A NUL inside a header value.
  EXPECT_EQ(ReadWhole(std::string("GET / HTTP/1.1\r\nX: a\0b\r\n\r\n", 26)).code, kStreamReadError);
}

// A head too long in bytes is refused by the server's test; these are the other limits.
TEST(StreamRequestRead, HeadsOverTheLimitsAreRefusedBeforeTheyEnd) {
  std::string manyLines = "GET / HTTP/1.1\r\n";
  for (int i = 0; i < 150; ++i) manyLines += "X: 1\r\n";
  EXPECT_EQ(ReadWhole(manyLines).code, kStreamReadError);
  EXPECT_EQ(ReadWhole(std::string(200, '\n')).code, kStreamReadError);
  // Within the limits an unfinished head simply waits for more.
  EXPECT_EQ(ReadWhole("GET / HTTP/1.1\r\nX: " + std::string(8000, 'a')).code, kStreamReadNeedMore);
}

// Host checks of absolute targets are proven against the server; these are the forms.
TEST(StreamRequestValidate, TargetsAndAbsoluteForms) {
  const std::tuple<const char*, int, const char*> cases[] = {
      {"http://10.0.0.1:8080/x/y", kStreamMethodGet, "/x/y at 10.0.0.1:8080"},
      {"http://host:0/x", kStreamMethodGet, "invalid"},
      {"http:///x", kStreamMethodGet, "invalid"},
      {"x/y", kStreamMethodGet, "invalid"},
      {"*", kStreamMethodOptions, "* at "},
      {"*", kStreamMethodGet, "invalid"},
  };
  for (const auto& [uri, method, want] : cases) {
    StreamRequest r;
    r.Uri = uri;
    r.Method = method;
    EXPECT_EQ(StreamRequest_ValidateUri(&r) ? r.Uri + " at " + r.Host : "invalid", want) << uri;
  }
}

}  // namespace
