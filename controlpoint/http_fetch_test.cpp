#include "controlpoint/http_fetch.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>

#include "controlpoint/http_fetch_url.h"
#include "controlpoint/testing/http_fetch_test_server.h"

namespace {

using Reply = HttpFetchTestServer::Reply;

// Addresses are split for the client; anything that could not be requested safely (other
// schemes, user information, bad ports, blanks in the host, control characters) is refused.
TEST(HttpUrlTest, SplitsHostPortAndTargetAndRefusesWhatCannotBeRequestedSafely) {
  struct Case {
    const char* url;
    const char* hostHeader;
    uint16_t port;
    const char* target;
  };
  for (const Case& c : {
           Case{"HTTP://example.org:8080/a/b?c=d#frag", "example.org:8080", 8080, "/a/b?c=d"},
           Case{"http://[::1]:81/x", "[::1]:81", 81, "/x"},
           Case{"http://h/a b\xC3\xA9", "h", 80, "/a%20b%C3%A9"},
       }) {
    HttpUrl url;
    ASSERT_TRUE(ParseHttpUrl(c.url, &url)) << c.url;
    EXPECT_EQ(url.hostHeader + " " + std::to_string(url.port) + " " + url.target,
              std::string(c.hostHeader) + " " + std::to_string(c.port) + " " + c.target);
  }
  HttpUrl url;
  for (const char* bad :
       {"https://example.org/", "http://", "http://:80/", "http://user@host/", "http://host:0/",
        "http://host:65536/", "http://host:99999999999999999999/", "http://host:8a/",
        "http://ho st/", "http://host/a\r\nX-Injected: 1", "http://[::1/"}) {
    EXPECT_FALSE(ParseHttpUrl(bad, &url)) << bad;
  }
}

TEST(HttpUrlTest, LocationsResolveAgainstTheAnsweringAddress) {
  HttpUrl base;
  ASSERT_TRUE(ParseHttpUrl("http://a.example:8080/dir/page?x=1", &base));
  struct Case {
    const char* location;
    const char* resolved;  // nullptr: refused
  };
  for (const Case& c : {
           Case{"  //c.example:81/p  ", "http://c.example:81/p"},
           Case{"/root?y", "http://a.example:8080/root?y"},
           Case{"sibling", "http://a.example:8080/dir/sibling"},
           Case{"https://secure.example/", nullptr},
           Case{"", nullptr},
       }) {
    std::string out;
    bool ok = ResolveLocation(base, c.location, &out);
    if (c.resolved == nullptr) {
      EXPECT_FALSE(ok) << c.location;
    } else {
      ASSERT_TRUE(ok) << c.location;
      EXPECT_EQ(out, c.resolved);
    }
  }
}

// The redirect tests show the header found in any case and a redirect without one.
TEST(HttpUrlTest, LocationHeaderIsFoundOnlyWholeAndOnlyInTheHead) {
  std::string value;
  EXPECT_TRUE(FindLocationHeader("HTTP/1.1 302 Found\r\nlocation:\thttp://x/y \r\n\r\n", &value));
  EXPECT_EQ(value, "http://x/y");
  EXPECT_FALSE(FindLocationHeader("HTTP/1.1 302 Found\r\nX-Location-Note: a\r\n\r\n", &value));
  EXPECT_FALSE(FindLocationHeader("HTTP/1.1 302 Found\r\n\r\nLocation: http://body/\r\n", &value));
  // A head cut inside the Location line must not yield half an address.
  EXPECT_FALSE(FindLocationHeader("HTTP/1.1 302 Found\r\nLocation: http://x/cut", &value));
}

class HttpFetchTest : public ::testing::Test {
 protected:
  HttpFetchTest() : server_([this](const std::string& target) { return Route(target); }) {}

  Reply Route(const std::string& target) {
    if (target == "/hello") return HttpFetchTestServer::Answer(200, "hello body");
    if (target == "/big") return HttpFetchTestServer::Answer(200, std::string(300000, 'b'));
    if (target == "/chunked") {
      return Reply{
          {"HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n"
           "5\r\nhello\r\n6\r\n world\r\n0\r\n\r\n"}};
    }
    if (target.rfind("/chain/", 0) == 0) {
      int left = std::stoi(target.substr(7));
      if (left == 0) return HttpFetchTestServer::Answer(200, "end of chain");
      return HttpFetchTestServer::Answer(303, "see other",
                                         "Location: /chain/" + std::to_string(left - 1) + "\r\n");
    }
    if (target == "/absolute") {
      return HttpFetchTestServer::Answer(302, "moved",
                                         "LOCATION: " + server_.Url("/hello") + "\r\n");
    }
    if (target == "/no-location") return HttpFetchTestServer::Answer(302, "body of the 302");
    if (target == "/loop") return HttpFetchTestServer::Answer(302, "", "Location: /loop\r\n");
    if (target == "/long") {
      return HttpFetchTestServer::Answer(302, "", "Location: /" + std::string(5000, 'x') + "\r\n");
    }
    return HttpFetchTestServer::Answer(404, "");
  }

  HttpFetchTestServer server_;
};

// Bodies arrive with their status and a proper Host header; long ones are cut and chunked
// ones joined.
TEST_F(HttpFetchTest, BodiesArriveWholeCutOrJoined) {
  ASSERT_TRUE(server_.ok());
  std::string body = "stale";
  int status = 0;
  ASSERT_EQ(FetchUrl(server_.Url("/hello"), &body, {.httpStatus = &status}), 0);
  EXPECT_EQ(body, "hello body");
  EXPECT_EQ(status, 200);
  ASSERT_EQ(server_.Heads().size(), 1u);
  EXPECT_NE(server_.Heads()[0].find("Host: 127.0.0.1:" + std::to_string(server_.port()) + "\r\n"),
            std::string::npos)
      << server_.Heads()[0];
  ASSERT_EQ(FetchUrl(server_.Url("/big"), &body), 0);
  EXPECT_EQ(body.size(), kFetchMaxBody);
  EXPECT_EQ(body.find_first_not_of('b'), std::string::npos);
  ASSERT_EQ(FetchUrl(server_.Url("/chunked"), &body), 0);
  EXPECT_EQ(body, "hello world");
}

TEST_F(HttpFetchTest, RedirectsAreFollowedOnlyWhenAskedOnlyWithALocationAndNotForEver) {
  std::string body;
  int status = 0;
  // A chain of exactly the bound still arrives.
  const std::string chain = "/chain/" + std::to_string(kFetchMaxRedirects);
  ASSERT_EQ(FetchUrlFollowingRedirects(server_.Url(chain), &body, {.httpStatus = &status}), 0);
  EXPECT_EQ(body, "end of chain");
  EXPECT_EQ(status, 200);
  EXPECT_EQ(std::ranges::count(server_.Targets(), "/chain/0"), 1);
  // The plain fetch does not follow them.
  ASSERT_EQ(FetchUrl(server_.Url("/absolute"), &body, {.httpStatus = &status}), 0);
  EXPECT_EQ(status, 302);
  EXPECT_EQ(body, "moved");
  // A redirect without a Location is read as the body.
  ASSERT_EQ(FetchUrlFollowingRedirects(server_.Url("/no-location"), &body, {.httpStatus = &status}),
            0);
  EXPECT_EQ(body, "body of the 302");
  EXPECT_EQ(status, 302);

  // A loop fails after the first request and ten redirects, each asked by the client and
  // by the probe; so do overlong locations and addresses.
  EXPECT_EQ(FetchUrlFollowingRedirects(server_.Url("/loop"), &body), -1);
  EXPECT_TRUE(body.empty());
  EXPECT_EQ(std::ranges::count(server_.Targets(), "/loop"), 2 * (kFetchMaxRedirects + 1));
  EXPECT_EQ(FetchUrlFollowingRedirects(server_.Url("/long"), &body), -1);
  EXPECT_EQ(FetchUrlFollowingRedirects(server_.Url("/x" + std::string(kFetchUrlMax, 'y')), &body),
            -1);
}

}  // namespace
