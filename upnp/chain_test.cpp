#include "upnp/chain.h"

#include <gtest/gtest.h>

#include <mutex>
#include <string>
#include <vector>

#include "platform/tick.h"
#include "upnp/timer.h"

namespace {

// Records callback and release calls by the name each entry carries.
struct Recorder {
  std::mutex Mutex;
  std::vector<std::string> Calls;
  void Add(const std::string& call) {
    std::lock_guard lock(Mutex);
    Calls.push_back(call);
  }
  std::vector<std::string> Get() {
    std::lock_guard lock(Mutex);
    return Calls;
  }
};

struct Entry {
  Recorder* Log;
  std::string Name;
  FLibTimer* Timer = nullptr;
  void* CancelKey = nullptr;  // cancelled from this entry's callback
};

void Fired(void* data) {
  auto* e = static_cast<Entry*>(data);
  e->Log->Add("fire " + e->Name);
  if (e->CancelKey) FLibTimer_Cancel(e->Timer, e->CancelKey);
}

void Released(void* data) {
  auto* e = static_cast<Entry*>(data);
  e->Log->Add("release " + e->Name);
}

// Runs one turn of a timer module by hand, so the order of callbacks is exact.
int32_t RunTimerTurn(FLibTimer* timer) {
  FLibSocketSet read, write, error;
  int32_t block = 86400000;
  timer->BeforeWait(timer, &read, &write, &error, &block);
  return block;
}

// A timer on a chain that is never started, turned by hand.
class TimerTest : public ::testing::Test {
 protected:
  Recorder log;  // outlives the chain, whose destruction releases what is pending
  FLibChainPtr chain = FLibChain_Create();
  FLibTimer* timer = FLibTimer_Create(chain.get());
};

// Among expired entries the earliest fires first and equal times fire newest first; an
// entry cancelled by a callback of the same turn is released instead of fired.
TEST_F(TimerTest, ExpiredEntriesFireInOrderAndACancelledOneIsReleasedInstead) {
  Entry a{&log, "a"}, b{&log, "b"};
  Entry killer{&log, "killer", timer, &a};
  uint64_t now = platform::TickCountMs();
  FLibTimer_AddAt(timer, &a, now - 5, Fired, Released);
  FLibTimer_AddAt(timer, &b, now - 5, Fired, Released);
  FLibTimer_AddAt(timer, &killer, now - 10, Fired, Released);
  RunTimerTurn(timer);
  EXPECT_EQ(log.Get(), (std::vector<std::string>{"fire killer", "release a", "fire b"}));
}

// A stopped chain releases what is pending, and a later add hands its data back at once.
TEST_F(TimerTest, StopReleasesPendingEntriesAndAddOnADisposedModuleHandsTheDataBack) {
  Entry pending{&log, "pending"}, a{&log, "a"};
  FLibTimer_Add(timer, &pending, 60000, Fired, Released);
  FLibChain_Stop(chain.get());
  FLibChain_Start(chain.get());  // stops at once and disposes
  FLibTimer_Add(timer, &a, 0, Fired, Released);
  EXPECT_EQ(log.Get(), (std::vector<std::string>{"release pending", "release a"}));
}

}  // namespace
