#include "platform/host.h"

#include <limits.h>
#include <unistd.h>

#include "gtest/gtest.h"

namespace platform {
namespace {

TEST(HostTest, ComputerNameIsTheShortHostName) {
  char buffer[HOST_NAME_MAX + 1] = {};
  ASSERT_EQ(::gethostname(buffer, sizeof buffer - 1), 0);
  std::string full(buffer);
  std::string name = ComputerName();
  ASSERT_FALSE(name.empty());
  EXPECT_EQ(name.find('.'), std::string::npos);
  EXPECT_EQ(full.compare(0, name.size(), name), 0);
  EXPECT_TRUE(full.size() == name.size() || full[name.size()] == '.');
}

}  // namespace
}  // namespace platform
