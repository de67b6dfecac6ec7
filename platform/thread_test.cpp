#include "platform/thread.h"

#include <pthread.h>
#include <sched.h>
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <string>
#include <thread>

#include "gtest/gtest.h"
#include "platform/limits.h"
#include "platform/text.h"

namespace platform {
namespace {

int OwnNice() {
  errno = 0;
  return ::getpriority(PRIO_PROCESS, static_cast<id_t>(::gettid()));
}

// Both priorities apply to the calling thread only; the highest is never below the
// thread's own, also where raising it is not permitted.
TEST(ThreadTest, PrioritiesApplyToTheCallingThreadOnly) {
  int policy = -1, idleNice = 0, before = 0, after = 0;
  bool idle = false, highest = false;
  std::thread([&] {
    idle = SetCurrentThreadPriorityIdle();
    policy = ::sched_getscheduler(0);
    idleNice = OwnNice();
  }).join();
  std::thread([&] {
    before = OwnNice();
    highest = SetCurrentThreadPriorityHighest();
    after = OwnNice();
  }).join();
  ASSERT_TRUE(idle);
  EXPECT_TRUE(policy == SCHED_IDLE || idleNice == kIdleNiceValue) << policy << " " << idleNice;
  EXPECT_EQ(::sched_getscheduler(0), SCHED_OTHER);
  if (highest) {
    EXPECT_LE(after, std::max(-20, before - kHighestPriorityNiceDelta));
  } else {
    EXPECT_EQ(after, before);
  }
}

std::string NameOf(const std::string& name) {
  std::string result;
  std::thread worker([&] {
    SetCurrentThreadName(name);
    char buffer[64] = {};
    ::pthread_getname_np(::pthread_self(), buffer, sizeof buffer);
    result = buffer;
  });
  worker.join();
  return result;
}

TEST(ThreadTest, NamesAreCutToFifteenBytesOnACharacterBoundary) {
  EXPECT_EQ(NameOf("seek"), "seek");
  EXPECT_EQ(NameOf("seek-index-worker"), "seek-index-work");
  // "é" is two bytes; the fifteenth byte would split the last one.
  EXPECT_EQ(NameOf("abcdefghijklm\xC3\xA9\xC3\xA9"), "abcdefghijklm\xC3\xA9");
  EXPECT_EQ(NameOf("abcdefghijklmn\xC3\xA9"), "abcdefghijklmn");
}

}  // namespace
}  // namespace platform
