#include "delivery/aio.h"

#include <gtest/gtest.h>

#include <atomic>
#include <mutex>
#include <thread>
#include <vector>

#include "app/settings.h"
#include "delivery/precache.h"
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
  void TearDown() override {
    Aio_Stop();
    PreCacheEnable = 0;
    PreCache_Clear(0);
  }
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
  Job* secondJob = second.get();
  second.reset();
  std::thread stopper([] { Aio_Stop(); });
  ASSERT_TRUE(WaitFor([] { return !Aio_IsRunning(); }));
  gate.Open();
  stopper.join();
  EXPECT_TRUE(first->completed);  // the read in progress finishes
  EXPECT_TRUE(secondOwner.expired());
  (void)secondJob;
  EXPECT_EQ(Aio_PostRead(&first->request, first, nullptr), -1);
}

TEST_F(AioTest, PreCacheChangesWhereBytesComeFromNotWhichBytes) {
  const int64_t size = 20 << 20;
  for (int enabled : {0, 1}) {
    SCOPED_TRACE(enabled);
    PreCacheEnable = enabled;
    PatternSource source(size);
    AioCounters before = Aio_GetCounters();
    std::string all;
    for (int64_t offset = 0; offset < size; offset += 4096) {
      auto job = std::make_shared<Job>(&source, static_cast<uint64_t>(offset), 4096);
      ASSERT_EQ(Aio_PostRead(&job->request, job, nullptr), 0);
      ASSERT_TRUE(WaitFor([&] { return job->completed.load(); }));
      all += job->bytes;
    }
    ASSERT_EQ(all.size(), static_cast<size_t>(size));
    EXPECT_TRUE(all == Pattern(0, static_cast<size_t>(size)));
    AioCounters after = Aio_GetCounters();
    const uint64_t blocks = static_cast<uint64_t>(size / 4096);
    if (enabled) {
      EXPECT_EQ(after.CacheHits - before.CacheHits, blocks);
      EXPECT_EQ(after.DiskReads - before.DiskReads, 0u);
    } else {
      // Without the pre-cache every block is one read of the file.
      EXPECT_EQ(after.DiskReads - before.DiskReads, blocks);
      EXPECT_EQ(static_cast<uint64_t>(source.reads.load()), blocks);
      EXPECT_EQ(after.CacheHits - before.CacheHits, 0u);
    }
    PreCache_Clear(0);
  }
}

}  // namespace
