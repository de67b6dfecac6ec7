#include "transcode/transcode_ring.h"

#include <errno.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstring>
#include <thread>
#include <vector>

#include "gtest/gtest.h"
#include "transcode/transcode_limits.h"

namespace {

namespace tl = transcode_limits;
using transcode::RingView;
using transcode::SharedArea;
using transcode::SharedMutex;

// A private name per test process, so parallel runs do not meet.
std::string TestName(const char* what) {
  return "orvextest_" + std::string(what) + "_" + std::to_string(getpid());
}

// A small ring in ordinary memory.
struct SmallRing {
  explicit SmallRing(uint32_t size) : bytes(tl::kHeaderSize + size), view(bytes.data(), size) {
    view.Initialize("orvextest_mutex");
  }
  std::vector<uint8_t> bytes;
  RingView view;
};

TEST(TranscodeRing, HeaderMutexNameMustBeTerminatedAndPlain) {
  SmallRing ring(16);
  EXPECT_EQ(ring.view.MutexName(), "orvextest_mutex");
  EXPECT_EQ(ring.view.HeaderRingSize(), 16u);
  std::memset(ring.bytes.data(), 'a', tl::kMutexNameField);  // no terminator
  EXPECT_EQ(ring.view.MutexName(), "");
  std::memcpy(ring.bytes.data(), "../etc/x\0", 9);
  EXPECT_EQ(ring.view.MutexName(), "");
  EXPECT_EQ(transcode::MutexName(0).size() + 1, tl::kMutexNameField);
  EXPECT_FALSE(transcode::IsValidSharedName(std::string(tl::kSharedNameMax + 1, 'a')));
}

// Taking a slot another process holds, and removing the area with its session, are
// proven by the session tests; a peer's area smaller than asked is refused, not mapped
// past its end.
TEST(TranscodeRing, AreaSmallerThanAskedIsRefused) {
  std::string name = TestName("area");
  SharedArea area;
  ASSERT_EQ(area.Create(name, 4096), 0);
  SharedArea tooSmall;
  EXPECT_EQ(tooSmall.Open(name, 4097), EINVAL);
  // A name in use is never taken over, and nothing is made of no size or of no object.
  EXPECT_EQ(tooSmall.Create(name, 4096), EEXIST);
  EXPECT_EQ(tooSmall.Create(TestName("empty"), 0), EINVAL);
  EXPECT_EQ(tooSmall.Open(TestName("missing"), 1), ENOENT);
  SharedArea moved = std::move(area);
  EXPECT_EQ(tooSmall.Open(name, 4096), 0);
  area = std::move(moved);
  EXPECT_TRUE(area.Valid() && !moved.Valid());
}

TEST(TranscodeRing, MutexTimesOutWhileHeldAndReportsADeadOwner) {
  std::string name = TestName("mutex");
  SharedMutex mutex;
  ASSERT_EQ(mutex.Create(name), 0);
  ASSERT_EQ(mutex.Lock(10), SharedMutex::LockResult::kAcquired);
  std::thread([&] {
    SharedMutex other;
    ASSERT_EQ(other.Open(name), 0);
    EXPECT_EQ(other.Lock(10), SharedMutex::LockResult::kTimedOut);
  }).join();
  mutex.Unlock();

  // A process that dies holding the lock leaves it abandoned, not locked for ever.
  pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    SharedMutex inChild;
    if (inChild.Open(name) != 0 || inChild.Lock(1000) != SharedMutex::LockResult::kAcquired)
      _exit(1);
    _exit(0);
  }
  int status = 0;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  EXPECT_EQ(mutex.Lock(10), SharedMutex::LockResult::kAbandoned);
  mutex.Unlock();
  EXPECT_EQ(mutex.Lock(10), SharedMutex::LockResult::kAcquired);
  mutex.Unlock();
}

}  // namespace
