#include "platform/net_interfaces.h"

#include <gtest/gtest.h>
#include <poll.h>

namespace platform {
namespace {

TEST(NetInterfacesTest, LoopbackComesLastAndOnlyOnce) {
  std::vector<NetInterface> list = ListIpv4Interfaces();
  ASSERT_FALSE(list.empty());
  EXPECT_EQ(list.back().Address, kLoopbackAddress);
  EXPECT_EQ(list.back().Netmask, kLoopbackNetmask);
  for (size_t i = 0; i + 1 < list.size(); ++i) {
    EXPECT_NE(list[i].Address >> 24, 127u) << "loopback addresses are left out";
    EXPECT_NE(list[i].Address, 0u);
  }
}

TEST(NetInterfacesTest, WatchOpensAndDrainsQuietlyWhenNothingChanged) {
  AddressChangeWatch watch;
  EXPECT_LT(watch.Fd(), 0);
  EXPECT_FALSE(watch.Drain());
  ASSERT_TRUE(watch.Open());
  EXPECT_GE(watch.Fd(), 0);
  pollfd p{watch.Fd(), POLLIN, 0};
  if (::poll(&p, 1, 0) == 0) {
    EXPECT_FALSE(watch.Drain());
  }
}

}  // namespace
}  // namespace platform
