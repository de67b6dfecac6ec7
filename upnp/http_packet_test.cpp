#include "upnp/http_packet.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "upnp/limits.h"

namespace {

// Parses `block` from a heap buffer of exactly its size, so that a read past the end is
// caught by the address sanitizer.
FLibHttpPacketPtr ParseExact(std::string_view block) {
  const std::vector<char> exact(block.begin(), block.end());
  return FLibHttp_ParseHeader(exact.data(), 0, exact.size());
}

std::string Value(const FLibHttpPacket& packet, std::string_view name) {
  return FLibHttp_HeaderValue(packet, name).value_or("<none>");
}

TEST(HttpParse, ReadsStatusLineWithMultiWordOrMissingReason) {
  auto packet = ParseExact("HTTP/1.1 404 Not Found\r\nContent-Length: 0");
  ASSERT_NE(packet, nullptr);
  EXPECT_EQ(packet->StatusCode, 404);
  EXPECT_EQ(packet->Reason, "Not Found");
  EXPECT_EQ(packet->Version, "1.1");

  packet = ParseExact("HTTP/1.0 200");
  ASSERT_NE(packet, nullptr);
  EXPECT_EQ(packet->StatusCode, 200);
  EXPECT_EQ(packet->Reason, "");
  EXPECT_EQ(packet->Version, "1.0");
}

TEST(HttpParse, JoinsFoldsTrimsBlanksAndSkipsEmptyLines) {
  auto packet = ParseExact(
      "NOTIFY / HTTP/1.1\r\nX-Long: first\r\n  second\r\n\tthird\r\nA: \t x  y \t\r\n"
      "Empty:\r\n\r\nSpaced :z\r\n");
  ASSERT_NE(packet, nullptr);
  EXPECT_EQ(packet->Headers.size(), 4u);
  EXPECT_EQ(Value(*packet, "x-long"), "first secondthird");
  EXPECT_EQ(Value(*packet, "A"), "x  y");
  EXPECT_EQ(Value(*packet, "Empty"), "");
  EXPECT_EQ(Value(*packet, "Spaced"), "z");
}

TEST(HttpParse, RefusesMalformedBlocks) {
  const std::vector<std::string> bad = {
      "",
      "GET",
      "GET /",
      " GET / HTTP/1.1",
      "GET / HTTP/1.1 extra",
      "GET  / HTTP/1.1",
      "GET / FTP/1.1",
      "GET / HTTP/",
      "HTTP/1.1",
      "HTTP/ 200 OK",
      "HTTP/1.1 20 OK",
      "HTTP/1.1 2000 OK",
      "HTTP/1.1 -20 OK",
      "HTTP/1.1 099 Low",
      "HTTP/1.1 abc OK",
      "GET / HTTP/1.1\r\nNoColon",
      "GET / HTTP/1.1\r\nNoColon\r\nA: 1",
      "GET / HTTP/1.1\r\n: empty name",
      "GET / HTTP/1.1\r\nBad Name: x",
      "GET / HTTP/1.1\r\n continuation first",
      "GET / HTTP/1.1\r\nA: bare\nLF",
      "GET / HTTP/1.1\r\nA: bare\rCR",
      std::string("GET / HTTP/1.1\r\nA: nul\0byte", 28),
      "GET /a\nb HTTP/1.1",
  };
  for (const std::string& block : bad) {
    EXPECT_EQ(ParseExact(block), nullptr) << block;
  }
}

TEST(HttpParse, EveryTruncationIsSafeAndConsistent) {
  // Every prefix of a valid block either parses or is refused, never reads past its end,
  // and a prefix that parses carries only headers the whole block has.
  const std::string block =
      "HTTP/1.1 200 OK\r\nCONTENT-TYPE: text/xml; charset=\"utf-8\"\r\nX-F: a\r\n b\r\n"
      "Content-Length: 42";
  auto whole = ParseExact(block);
  ASSERT_NE(whole, nullptr);
  for (size_t n = 0; n < block.size(); ++n) {
    auto part = ParseExact(std::string_view(block).substr(0, n));
    if (part == nullptr) continue;
    EXPECT_EQ(part->StatusCode, 200);
    EXPECT_LE(part->Headers.size(), whole->Headers.size());
  }
}

TEST(HttpParse, OffsetAndLengthSelectTheBlockInsideALargerBuffer) {
  const std::string buffer = "junkGET /x HTTP/1.1\r\nA: 1\r\nB: 2 and more junk";
  const size_t start = 4;
  const size_t length = std::string_view(buffer).find(" and") - start;
  auto packet = FLibHttp_ParseHeader(buffer.data(), start, length);
  ASSERT_NE(packet, nullptr);
  EXPECT_EQ(packet->Target, "/x");
  EXPECT_EQ(Value(*packet, "B"), "2");
}

TEST(HttpHeaderValue, MatchesWholeNameIgnoringCase) {
  auto packet = FLibHttp_NewPacket();
  ASSERT_EQ(FLibHttp_AddHeader(*packet, "Content-Length", "5"), 0);
  ASSERT_EQ(FLibHttp_AddHeader(*packet, "CONTENT-LENGTH", "6"), 0);
  EXPECT_EQ(Value(*packet, "content-length"), "5");
  // A prefix of a name is not the name.
  EXPECT_FALSE(FLibHttp_HeaderValue(*packet, "Content").has_value());
  EXPECT_FALSE(FLibHttp_HeaderValue(*packet, "Content-Length2").has_value());
  // Leading blanks are skipped even before a single character.
  ASSERT_EQ(FLibHttp_AddHeader(*packet, "A", "   x"), 0);
  EXPECT_EQ(Value(*packet, "A"), "x");
}

TEST(HttpBuild, SettersRefuseTextThatWouldBreakTheHead) {
  auto packet = FLibHttp_NewPacket();
  EXPECT_EQ(FLibHttp_AddHeader(*packet, "X", "a\r\nInjected: 1"), -1);
  EXPECT_EQ(FLibHttp_AddHeader(*packet, "X:Y", "a"), -1);
  EXPECT_EQ(FLibHttp_AddHeader(*packet, "", "a"), -1);
  EXPECT_EQ(FLibHttp_AddHeader(*packet, "A B", "a"), -1);
  EXPECT_EQ(FLibHttp_SetRequestLine(*packet, "GET", "/a b"), -1);
  EXPECT_EQ(FLibHttp_SetRequestLine(*packet, "", "/"), -1);
  EXPECT_EQ(FLibHttp_SetStatusLine(*packet, 99, "Low"), -1);
  EXPECT_EQ(FLibHttp_SetStatusLine(*packet, 200, "O\nK"), -1);
  EXPECT_EQ(FLibHttp_SetVersion(*packet, "1.1\r\n"), -1);
  EXPECT_TRUE(packet->Headers.empty());
  EXPECT_EQ(packet->StatusCode, -1);
  EXPECT_EQ(packet->Version, "1.0");
}

TEST(HttpSerialize, FoldedValueParsesBackExactlyEvenAtBlankBoundaries) {
  // Blanks at the fold points must survive the round trip.
  constexpr size_t kFold = upnp_limits::kHttpHeaderFoldWidth;
  std::string value(2 * kFold + 10, 'v');
  value[kFold - 1] = ' ';
  value[kFold] = ' ';
  value[2 * kFold] = '\t';
  auto packet = FLibHttp_NewPacket();
  FLibHttp_SetRequestLine(*packet, "GET", "/");
  ASSERT_EQ(FLibHttp_AddHeader(*packet, "Long", value), 0);
  std::string wire = FLibHttp_SerializeHead(*packet);
  wire.resize(wire.size() - 4);  // the parser takes the block without the blank line
  auto parsed = ParseExact(wire);
  ASSERT_NE(parsed, nullptr);
  EXPECT_EQ(Value(*parsed, "Long"), value);
}

TEST(HttpSerialize, NeutralisesLineBreaksSetDirectly) {
  auto packet = FLibHttp_NewPacket();
  FLibHttp_SetStatusLine(*packet, 200, "OK");
  packet->Headers.push_back({"X", "a\r\nInjected: yes"});
  const std::string wire = FLibHttp_Serialize(*packet);
  EXPECT_EQ(wire, "HTTP/1.0 200 OK\r\nX: a  Injected: yes\r\n\r\n");
}

}  // namespace
