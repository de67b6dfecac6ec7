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

FLibHttpPacket Request(const std::vector<FLibHttpHeader>& headers) {
  FLibHttpPacket packet;
  packet.Method = "GET";
  packet.Target = "/x";
  packet.Headers = headers;
  return packet;
}

TransferRequest ParseRange(const std::string& value, int64_t length) {
  return RP_ParseTransferHeaders(Request({{"Range", value}}), length);
}

struct RangeCase {
  const char* value;
  int64_t length;
  uint32_t error;                   // 0 when the value is served
  std::vector<TransferRange> want;  // Start, Sent (0), Remaining
};

TEST(TransferRanges, ValuesGiveTheirRangesOrTheirErrors) {
  const int64_t k5GiB = 5LL << 30;
  const std::vector<RangeCase> cases = {
      {"bytes=0-", 1000, 0, {{0, 0, 1000}}},
      {"bytes=-100", 1000, 0, {{900, 0, 100}}},
      {"bytes=-5000", 1000, 0, {{0, 0, 1000}}},
      {"bytes= 10 - 19 ", 1000, 0, {{10, 0, 10}}},
      // An end beyond the source is cut to the source, however many digits it has.
      {"bytes=990-99999999999", 1000, 0, {{990, 0, 10}}},
      {"bytes=0-9223372036854775807", 1000, 0, {{0, 0, 1000}}},
      {"bytes=0-99,200-299", 1000, 0, {{0, 0, 100}, {200, 0, 100}}},
      // Positions beyond 32 bits.
      {"bytes=5368709000-", k5GiB, 0, {{5368709000LL, 0, 120}}},
      {"bytes=-10", k5GiB, 0, {{k5GiB - 10, 0, 10}}},
      {"bytes=500-100", 1000, kTransferUnsatisfiable, {}},
      {"bytes=2000-", 1000, kTransferRangeBeyondEnd, {}},
      // Ranges that hold no byte at all.
      {"bytes=1000-", 1000, kTransferRangeBeyondEnd, {}},
      {"bytes=-0", 1000, kTransferRangeBeyondEnd, {}},
      {"bytes=0-", 0, kTransferRangeBeyondEnd, {}},
      {"bytes=0-99999999999999999999", 1000, kTransferMalformed, {}},
      {"bytes=99999999999999999999-", 1000, kTransferMalformed, {}},
      {"bytes=1x-5", 1000, kTransferMalformed, {}},
      {"bytes=0-1,,5-6", 1000, kTransferMalformed, {}},
      {"bytes=+1-5", 1000, kTransferMalformed, {}},
      {"0-10", 1000, kTransferMalformed, {}},
  };
  for (const RangeCase& c : cases) {
    SCOPED_TRACE(c.value);
    TransferRequest parsed = ParseRange(c.value, c.length);
    EXPECT_EQ(parsed.Flags & kErrors, c.error);
    if (c.error != 0) continue;
    ASSERT_EQ(parsed.Ranges.size(), c.want.size());
    for (size_t i = 0; i < c.want.size(); ++i) {
      EXPECT_EQ(parsed.Ranges[i].Start, c.want[i].Start);
      EXPECT_EQ(parsed.Ranges[i].Remaining, c.want[i].Remaining);
    }
    EXPECT_TRUE(parsed.Flags & kTransferRangeAsked);
    EXPECT_EQ((parsed.Flags & kTransferMultiRange) != 0, c.want.size() > 1);
  }
}

TEST(TransferRanges, RangesThatWouldAmplifyATransferGiveTheWholeSource) {
  std::string many = "bytes=0-0";
  for (size_t i = 1; i <= kTransferMaxRanges; ++i)
    many += "," + std::to_string(i) + "-" + std::to_string(i);
  std::string limit = "bytes=0-0";
  for (size_t i = 1; i < kTransferMaxRanges; ++i)
    limit += "," + std::to_string(i) + "-" + std::to_string(i);
  for (const std::string& value :
       {many, std::string("bytes=0-999,0-999"), std::string("bytes=0-,-1000")}) {
    SCOPED_TRACE(value);
    TransferRequest parsed = ParseRange(value, 1000);
    EXPECT_EQ(parsed.Flags & (kErrors | kTransferRangeAsked | kTransferMultiRange), 0u);
    ASSERT_EQ(parsed.Ranges.size(), 1u);
    EXPECT_EQ(parsed.Ranges[0].Start, 0);
    EXPECT_EQ(parsed.Ranges[0].Remaining, 1000);
  }
  // Exactly the limit is still served range by range.
  TransferRequest atLimit = ParseRange(limit, 1000);
  EXPECT_EQ(atLimit.Ranges.size(), kTransferMaxRanges);
  EXPECT_TRUE(atLimit.Flags & kTransferMultiRange);
  // The limit counts the ranges of every Range header together.
  TransferRequest split =
      RP_ParseTransferHeaders(Request({{"Range", limit}, {"RANGE", "bytes=500-501"}}), 1000);
  EXPECT_EQ(split.Ranges.size(), 1u);
  EXPECT_FALSE(split.Flags & kTransferRangeAsked);
}

TEST(TransferRanges, ContentFeaturesRequestMustAskWithOne) {
  EXPECT_TRUE(RP_ParseTransferHeaders(Request({{"getcontentFeatures.dlna.org", "1"}}), 10).Flags &
              kTransferSendFeatures);
  for (const char* value : {"0", "", "yes"}) {
    SCOPED_TRACE(value);
    TransferRequest parsed =
        RP_ParseTransferHeaders(Request({{"GetContentFeatures.DLNA.ORG", value}}), 10);
    EXPECT_EQ(parsed.Flags & kErrors, kTransferMalformed);
  }
  // A bad value stops the scan before a later Range is read.
  TransferRequest stopped = RP_ParseTransferHeaders(
      Request({{"getcontentFeatures.dlna.org", "0"}, {"Range", "bytes=5-"}}), 10);
  EXPECT_FALSE(stopped.Flags & kTransferRangeAsked);
}

TEST(TransferRanges, BoundaryCarriesBothValuesLowestByteFirst) {
  EXPECT_EQ(RP_MultipartBoundary(0x04030201u, 0xA0B0C000u), "{1{2{3{4{-S3P4R470R-}0}c0}b0}a0}");
}

}  // namespace
