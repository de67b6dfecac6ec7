#include "upnp/http_packet.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "upnp/text_split.h"

namespace {

// Parses `block` from a heap buffer of exactly its size, so that a read past the end is
// caught by the address sanitizer.
FLibHttpPacketPtr ParseExact(std::string_view block) {
  const std::vector<char> exact(block.begin(), block.end());
  return FLibHttp_ParseHeader(std::string_view(exact.data(), exact.size()));
}

std::string Value(const FLibHttpPacket& packet, std::string_view name) {
  return FLibHttp_HeaderValue(packet, name).value_or("<none>");
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
  EXPECT_FALSE(FLibHttp_HeaderValue(*packet, "Spac").has_value()) << "a prefix is not the name";
}

TEST(HttpParse, RefusesMalformedBlocks) {
  const std::vector<std::string> bad = {
      "",
      "GET /",
      " GET / HTTP/1.1",
      "GET / HTTP/1.1 extra",
      "GET  / HTTP/1.1",
      "GET / FTP/1.1",
      "GET / HTTP/",
      "HTTP/ 200 OK",
      "HTTP/1.1 20 OK",
      "HTTP/1.1 099 Low",
      "HTTP/1.1 abc OK",
      "GET / HTTP/1.1\r\nNoColon",
      "GET / HTTP/1.1\r\n: empty name",
      "GET / HTTP/1.1\r\nBad Name: x",
      "GET / HTTP/1.1\r\n continuation first",
      "GET / HTTP/1.1\r\nA: bare\nLF",
      std::string("GET / HTTP/1.1\r\nA: nul\0byte", 28),
      "GET /a\nb HTTP/1.1",
  };
  for (const std::string& block : bad) {
    EXPECT_EQ(ParseExact(block), nullptr) << block;
  }
}

}  // namespace
