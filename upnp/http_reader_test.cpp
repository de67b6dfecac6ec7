#include "upnp/http_reader.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "upnp/limits.h"

namespace {

// What a reader made of a byte stream: the bodies of whole messages, and the status of
// the refusal that ended it (0 when none).
struct Fed {
  std::vector<std::string> Bodies;
  int RefusedWith = 0;
};

// Feeds `input` in pieces of `step` bytes (0 = whole), keeping unconsumed bytes as the
// socket buffer would. After MessageDone the reader is reset, as the server does once a
// request has been answered.
Fed FeedAll(FLibHttpReaderMode mode, const std::string& input, size_t step = 0) {
  FLibHttpReader reader;
  FLibHttpReader_Init(&reader, mode);
  Fed fed;
  std::string buffered;
  for (size_t at = 0; at < input.size() || !buffered.empty();) {
    size_t take = step == 0 ? input.size() - at : std::min(step, input.size() - at);
    buffered.append(input, at, take);
    at += take;
    for (bool progress = true; progress && !buffered.empty();) {
      size_t consumed = 0;
      int result = FLibHttpReader_Feed(&reader, buffered, &consumed);
      buffered.erase(0, consumed);
      progress = consumed > 0 || result != FLibHttpReader_NeedMore;
      if (result == FLibHttpReader_Failed) return {fed.Bodies, reader.ErrorStatus};
      if (result == FLibHttpReader_MessageDone) {
        fed.Bodies.push_back(reader.Packet->Body);
        FLibHttpReader_Reset(&reader);
      }
    }
    if (take == 0) break;
  }
  return fed;
}

// Pipelined requests are proven by the web server's case.
TEST(HttpReaderTest, BodiesAreFramedAcrossAnySplit) {
  const std::pair<std::string, std::string> cases[] = {
      {"POST /ctl HTTP/1.1\r\nHost: 10.0.0.2:5000\r\nContent-Length: 11\r\n\r\nhello world",
       "hello world"},
      {"POST /x HTTP/1.1\r\nTransfer-Encoding: Chunked\r\n\r\n"
       "5;name=value\r\nhello\r\n1 \r\n \r\nA\r\n0123456789\r\n0\r\nTrailer: x\r\n\r\n",
       "hello 0123456789"},
      {"POST /a HTTP/1.0\r\n\r\n", ""},  // a request without framing has no body
  };
  for (const auto& [request, body] : cases) {
    for (size_t step : {0u, 1u, 2u, 7u}) {
      EXPECT_EQ(FeedAll(FLibHttpReaderMode::Server, request, step).Bodies,
                std::vector<std::string>{body})
          << "step " << step << ": " << request;
    }
  }
}

struct Refusal {
  const char* Name;
  std::string Input;
  int Status;
};

// The web server's refusal case sends a DNS Host, an overlong head, an overflowing
// Content-Length, a 17-digit chunk size and a body over the limit end to end.
TEST(HttpReaderTest, RefusesMessagesOverTheLimits) {
  std::vector<Refusal> cases = {
      {"negative Content-Length", "POST / HTTP/1.1\r\nContent-Length: -1\r\n\r\n", 400},
      {"conflicting Content-Length",
       "POST / HTTP/1.1\r\nContent-Length: 1\r\nContent-Length: 2\r\n\r\n", 400},
      {"chunk size not hex", "POST / HTTP/1.1\r\nTransfer-Encoding: chunked\r\n\r\nzz\r\n", 400},
      {"chunk size over the body limit",
       "POST / HTTP/1.1\r\nTransfer-Encoding: chunked\r\n\r\nFFFFFFFFFFFFFFFF\r\n", 413},
      {"chunk data without CR LF", "POST / HTTP/1.1\r\nTransfer-Encoding: chunked\r\n\r\n1\r\nabc",
       400},
      {"chunked plus length",
       "POST / HTTP/1.1\r\nTransfer-Encoding: chunked\r\nContent-Length: 3\r\n\r\n", 400},
      {"unknown transfer coding", "POST / HTTP/1.1\r\nTransfer-Encoding: gzip\r\n\r\n", 400},
      {"a response to the server", "HTTP/1.1 200 OK\r\n\r\n", 400},
  };
  for (const Refusal& c : cases)
    EXPECT_EQ(FeedAll(FLibHttpReaderMode::Server, c.Input).RefusedWith, c.Status) << c.Name;
}

TEST(HttpReaderTest, HostHeaderMustBeAnIpLiteral) {
  for (const char* good : {"192.168.1.20", "192.168.1.20:50123", "[::1]:8080", "[fe80::1]"}) {
    EXPECT_TRUE(FLibHttp_IsIpLiteralHost(good)) << good;
  }
  for (const char* bad : {"localhost", "media.lan:50000", "1.2.3.4.example", "1.2.3.256",
                          "1.2.3.4:65536", "1.2.3.4:", "[::1", ""}) {
    EXPECT_FALSE(FLibHttp_IsIpLiteralHost(bad)) << bad;
  }
}

TEST(HttpReaderTest, ClientResponsesWithoutBody) {
  // A 1.1 response that keeps the connection and has no length has no body either.
  for (const char* response :
       {"HTTP/1.1 204 No Content\r\nContent-Length: 5\r\n\r\n", "HTTP/1.1 200 OK\r\n\r\n"})
    EXPECT_EQ(FeedAll(FLibHttpReaderMode::Client, response).Bodies, std::vector<std::string>{""})
        << response;
}

}  // namespace
