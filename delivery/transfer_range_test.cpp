#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "delivery/delivery_limits.h"
#include "delivery/transfer.h"
#include "upnp/http_packet.h"

namespace {

constexpr uint32_t kErrors = kTransferNotFound | kTransferMalformed | kTransferNotImplemented |
                             kTransferUnsatisfiable | kTransferInternalError |
                             kTransferRangeBeyondEnd;

TransferRequest Parse(const std::vector<FLibHttpHeader>& headers, int64_t length = 1000) {
  FLibHttpPacket packet;
  packet.Method = "GET";
  packet.Target = "/x";
  packet.Headers = headers;
  return RP_ParseTransferHeaders(packet, length);
}

// "start+count" for each range, or the error bits; then "*" when a Range was read and "&"
// when the ranges go out as parts.
std::string Describe(const TransferRequest& parsed) {
  std::string out;
  if (parsed.Flags & kErrors)
    return "error " + std::to_string(parsed.Flags & kErrors) +
           (parsed.Flags & kTransferRangeAsked ? "*" : "");
  for (const TransferRange& r : parsed.Ranges)
    out += (out.empty() ? "" : ",") + std::to_string(r.Start) + "+" + std::to_string(r.Remaining);
  return out + (parsed.Flags & kTransferRangeAsked ? "*" : "") +
         (parsed.Flags & kTransferMultiRange ? "&" : "");
}

std::string ParseRange(const std::string& value, int64_t length = 1000) {
  return Describe(Parse({{"Range", value}}, length));
}

TEST(TransferRanges, ValuesGiveTheirRangesOrTheirErrors) {
  auto error = [](uint32_t bit) { return "error " + std::to_string(bit) + "*"; };
  EXPECT_EQ(ParseRange("bytes=-5000"), "0+1000*");
  EXPECT_EQ(ParseRange("bytes= 10 - 19 "), "10+10*");
  // An end beyond the source is cut to the source, however many digits it has.
  EXPECT_EQ(ParseRange("bytes=990-99999999999"), "990+10*");
  EXPECT_EQ(ParseRange("bytes=0-99,200-299"), "0+100,200+100*&");
  // Positions beyond 32 bits.
  EXPECT_EQ(ParseRange("bytes=5368709000-", 5LL << 30), "5368709000+120*");
  EXPECT_EQ(ParseRange("bytes=-10", 5LL << 30), "5368709110+10*");
  EXPECT_EQ(ParseRange("bytes=500-100"), error(kTransferUnsatisfiable));
  // Ranges that hold no byte at all.
  EXPECT_EQ(ParseRange("bytes=-0"), error(kTransferRangeBeyondEnd));
  EXPECT_EQ(ParseRange("bytes=0-", 0), error(kTransferRangeBeyondEnd));
  for (const char* value : {"bytes=0-99999999999999999999", "bytes=1x-5", "bytes=0-1,,5-6"})
    EXPECT_EQ(ParseRange(value), error(kTransferMalformed)) << value;
  EXPECT_EQ(ParseRange("0-10"), "error " + std::to_string(kTransferMalformed));
}

TEST(TransferRanges, RangesThatWouldAmplifyATransferGiveTheWholeSource) {
  std::string limit = "bytes=0-0";
  for (size_t i = 1; i < kTransferMaxRanges; ++i)
    limit += "," + std::to_string(i) + "-" + std::to_string(i);
  // Exactly the limit is still served range by range.
  EXPECT_EQ(Parse({{"Range", limit}}).Ranges.size(), kTransferMaxRanges);
  EXPECT_EQ(ParseRange(limit + ",500-501"), "0+1000");
  EXPECT_EQ(ParseRange("bytes=0-999,0-999"), "0+1000");
  // The limit counts the ranges of every Range header together.
  EXPECT_EQ(Describe(Parse({{"Range", limit}, {"RANGE", "bytes=500-501"}})), "0+1000");
}

TEST(TransferRanges, ContentFeaturesRequestMustAskWithOneAndABadOneStopsTheScan) {
  EXPECT_TRUE(Parse({{"getcontentFeatures.dlna.org", "1"}}).Flags & kTransferSendFeatures);
  EXPECT_EQ(Describe(Parse({{"GetContentFeatures.DLNA.ORG", "yes"}, {"Range", "bytes=5-"}})),
            "error " + std::to_string(kTransferMalformed));  // no "*": the Range was not read
}

TEST(TransferRanges, BoundaryCarriesBothValuesLowestByteFirst) {
  EXPECT_EQ(RP_MultipartBoundary(0x04030201u, 0xA0B0C000u), "{1{2{3{4{-S3P4R470R-}0}c0}b0}a0}");
}

}  // namespace
