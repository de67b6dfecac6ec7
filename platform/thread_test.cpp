#include "platform/thread.h"

#include <pthread.h>

#include <string>
#include <thread>

#include "gtest/gtest.h"

namespace platform {
namespace {

// The kernel keeps fifteen bytes of a name: the cut must not split a character, which
// would leave invalid UTF-8 in every tool that shows threads.
TEST(ThreadTest, LongNamesAreCutOnACharacterBoundaryAndAThreadCanGoIdle) {
  for (const auto& [name, kept] : {std::pair{"abcdefghijklmn\xC3\xA9", "abcdefghijklmn"},
                                   {"abcdefghijklm\xC3\xA9\xC3\xA9", "abcdefghijklm\xC3\xA9"}}) {
    std::string seen;
    bool idle = false;
    std::thread([&] {
      SetCurrentThreadName(name);
      char buffer[64] = {};
      ::pthread_getname_np(::pthread_self(), buffer, sizeof buffer);
      seen = buffer;
      idle = SetCurrentThreadPriorityIdle();
    }).join();
    EXPECT_EQ(seen, kept);
    EXPECT_TRUE(idle);
  }
}

}  // namespace
}  // namespace platform
