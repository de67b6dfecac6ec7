#include "delivery/aio.h"

#include <gtest/gtest.h>

#include <thread>
#include <vector>

#include "delivery/testing/testing_sources.h"
#include "upnp/testing/runtime_test_util.h"

namespace {

using runtime_test::WaitFor;

// One read with its own buffer; records what it read and on which thread.
struct Job {
  Job(RpSource* source, uint64_t offset) : buffer(100) {
    request = {source, offset, buffer.data(), buffer.size(), 0, [this](AioRequest* done) {
                 thread = std::this_thread::get_id();
                 bytes.assign(done->Buffer,
                              static_cast<size_t>(std::max<int64_t>(done->BytesRead, 0)));
               }};
  }
  AioRequest request;
  std::vector<char> buffer;
  std::string bytes;
  std::thread::id thread;
};

// Reads that complete are proven by every transfer; here is what a stop does to reads that
// have not: the one in progress finishes, the queued ones are dropped with their owners
// and nothing can be posted any more.
TEST(AioTest, StopDropsQueuedReadsWithoutCompletingThem) {
  ASSERT_EQ(Aio_Start(), 1);
  delivery_test::GateSource gate;
  auto first = std::make_shared<Job>(&gate, 0);
  auto second = std::make_shared<Job>(&gate, 100);
  std::weak_ptr<Job> firstOwner = first, secondOwner = second;
  ASSERT_EQ(Aio_PostRead(&first->request, first, nullptr), 0);
  ASSERT_TRUE(WaitFor([&] { return gate.Waiting(); }));
  ASSERT_EQ(Aio_PostRead(&second->request, second, nullptr), 0);
  second.reset();
  std::thread stopper([] { Aio_Stop(); });
  ASSERT_TRUE(WaitFor([] { return !Aio_IsRunning(); }));
  gate.Open();
  stopper.join();
  EXPECT_EQ(first->bytes, delivery_test::Pattern(0, 100));
  EXPECT_NE(first->thread, std::this_thread::get_id());
  EXPECT_TRUE(secondOwner.expired());
  EXPECT_EQ(Aio_PostRead(&first->request, first, nullptr), -1);
  first.reset();
  EXPECT_TRUE(firstOwner.expired());
  Aio_Stop();  // stopping twice is harmless
}

}  // namespace
