#include "delivery/aio.h"

#include <gtest/gtest.h>

#include <atomic>
#include <mutex>
#include <thread>
#include <vector>

#include "delivery/testing_sources.h"
#include "upnp/runtime_test_util.h"

namespace {

using delivery_test::GateSource;
using delivery_test::Pattern;
using delivery_test::PatternSource;
using runtime_test::WaitFor;

// One read with its own buffer; records how it completed.
struct Job {
  explicit Job(RpSource* source, uint64_t offset, size_t size) : buffer(size) {
    request.Source = source;
    request.Offset = offset;
    request.Size = size;
    request.Buffer = buffer.data();
    request.Completion = [this](AioRequest* done) {
      thread = std::this_thread::get_id();
      bytes.assign(done->Buffer, static_cast<size_t>(std::max<int64_t>(done->BytesRead, 0)));
      result = done->BytesRead;
      completed = true;
    };
  }
  AioRequest request;
  std::vector<char> buffer;
  std::string bytes;
  int64_t result = -2;
  std::thread::id thread;
  std::atomic<bool> completed{false};
};

class AioTest : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_EQ(Aio_Start(), 1); }
  void TearDown() override { Aio_Stop(); }
};

TEST(AioStopped, PostingWithoutTheThreadFailsAndKeepsNothing) {
  Aio_Stop();
  PatternSource source(100);
  auto job = std::make_shared<Job>(&source, 0, 10);
  std::weak_ptr<Job> weak = job;
  EXPECT_EQ(Aio_PostRead(&job->request, job, nullptr), -1);
  job.reset();
  EXPECT_TRUE(weak.expired());
}

TEST_F(AioTest, ReadsCompleteInOrderOnTheReadThreadAndReleaseTheirOwners) {
  PatternSource source(10000);
  std::vector<std::weak_ptr<Job>> owners;
  std::vector<std::shared_ptr<Job>> jobs;
  for (uint64_t offset : {0u, 4096u, 8192u, 9990u, 20000u}) {
    auto job = std::make_shared<Job>(&source, offset, 4096);
    owners.push_back(job);
    jobs.push_back(job);
    ASSERT_EQ(Aio_PostRead(&job->request, job, nullptr), 0);
  }
  ASSERT_TRUE(WaitFor([&] { return jobs.back()->completed.load(); }));
  for (auto& job : jobs) {
    ASSERT_TRUE(job->completed);
    EXPECT_NE(job->thread, std::this_thread::get_id());
    EXPECT_EQ(job->thread, jobs[0]->thread);
  }
  EXPECT_EQ(jobs[0]->bytes, Pattern(0, 4096));
  EXPECT_EQ(jobs[2]->result, 10000 - 8192);
  EXPECT_EQ(jobs[3]->bytes, Pattern(9990, 10));
  EXPECT_EQ(jobs[4]->result, 0);  // past the end
  jobs.clear();
  EXPECT_TRUE(WaitFor([&] {
    for (auto& weak : owners)
      if (!weak.expired()) return false;
    return true;
  }));
}

TEST_F(AioTest, StopDropsQueuedReadsWithoutCompletingThem) {
  GateSource gate;
  auto first = std::make_shared<Job>(&gate, 0, 100);
  auto second = std::make_shared<Job>(&gate, 100, 100);
  std::weak_ptr<Job> secondOwner = second;
  ASSERT_EQ(Aio_PostRead(&first->request, first, nullptr), 0);
  ASSERT_TRUE(WaitFor([&] { return gate.Waiting(); }));
  ASSERT_EQ(Aio_PostRead(&second->request, second, nullptr), 0);
  second.reset();
  std::thread stopper([] { Aio_Stop(); });
  ASSERT_TRUE(WaitFor([] { return !Aio_IsRunning(); }));
  gate.Open();
  stopper.join();
  EXPECT_TRUE(first->completed);  // the read in progress finishes
  EXPECT_TRUE(secondOwner.expired());
  EXPECT_EQ(Aio_PostRead(&first->request, first, nullptr), -1);
}

}  // namespace
