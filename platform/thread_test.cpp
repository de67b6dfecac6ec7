#include "platform/thread.h"

#include <pthread.h>

#include <string>
#include <thread>

#include "gtest/gtest.h"

namespace platform {
namespace {

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
