#include "platform/thread.h"

#include <pthread.h>
#include <sched.h>
#include <sys/resource.h>
#include <unistd.h>

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

TEST(ThreadTest, IdlePriorityAppliesToTheCallingThreadOnly) {
  int policy = -1;
  int nice = 0;
  bool applied = false;
  std::thread worker([&] {
    applied = SetCurrentThreadPriorityIdle();
    policy = ::sched_getscheduler(0);
    nice = OwnNice();
  });
  worker.join();
  ASSERT_TRUE(applied);
  EXPECT_TRUE(policy == SCHED_IDLE || nice == kIdleNiceValue) << policy << " " << nice;
  EXPECT_EQ(::sched_getscheduler(0), SCHED_OTHER);
}

TEST(ThreadTest, HighestPriorityNeverLowersTheThread) {
  int before = 0;
  int after = 0;
  bool applied = false;
  std::thread worker([&] {
    before = OwnNice();
    applied = SetCurrentThreadPriorityHighest();
    after = OwnNice();
  });
  worker.join();
  if (applied) {
    EXPECT_LE(after,
              before - kHighestPriorityNiceDelta < -20 ? -20 : before - kHighestPriorityNiceDelta);
  } else {
    EXPECT_EQ(after, before);  // Not permitted: nothing changes.
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
  std::string name = NameOf("abcdefghijklm\xC3\xA9\xC3\xA9");
  EXPECT_EQ(name, "abcdefghijklm\xC3\xA9");
  EXPECT_TRUE(IsValidUtf8(NameOf("abcdefghijklmn\xC3\xA9")));
  EXPECT_EQ(NameOf("abcdefghijklmn\xC3\xA9"), "abcdefghijklmn");
}

}  // namespace
}  // namespace platform
