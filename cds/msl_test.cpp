#include "cds/msl.h"

#include <gtest/gtest.h>

#include <chrono>
#include <map>
#include <mutex>
#include <thread>

#include "cds/msa.h"
#include "platform/testing/test_support.h"
#include "upnp/chain.h"

namespace {

using platform::testing::WaitUntil;

// Records each request's answer as text: "<" for the head, each fragment and "|", then
// ">n,t,u" at the end, or "!code text" for a fault.
class RecordingWriter : public MslAnswerWriter {
 public:
  void SendError(const MslRequest& r, int code, std::string_view text) override {
    Add(r, "!" + std::to_string(code) + " " + std::string(text), true);
  }
  void Begin(const MslRequest& r) override { Add(r, "<", false); }
  void Append(const MslRequest& r, std::string_view fragment) override {
    Add(r, std::string(fragment) + "|", false);
  }
  void Finish(const MslRequest& r, uint32_t n, uint32_t t, uint32_t u) override {
    Add(r, ">" + std::to_string(n) + "," + std::to_string(t) + "," + std::to_string(u), true);
  }
  std::string Get(const std::string& id) {
    std::lock_guard guard(lock);
    return byId[id];
  }
  std::mutex lock;
  std::map<std::string, std::string> byId;
  std::vector<std::string> order;  // objectIds of answered requests

 private:
  void Add(const MslRequest& r, const std::string& text, bool last) {
    std::lock_guard guard(lock);
    byId[r.objectId] += text;
    if (last) order.push_back(r.objectId);
  }
};

FseEntry Item(const std::string& id, const std::string& title, MediaClass mediaClass) {
  FseEntry entry;
  entry.record.MyIndex = std::atoi(id.c_str());
  entry.object.id = id;
  entry.object.parentID = "7";
  entry.object.title = title;
  entry.object.mediaClass = mediaClass;
  entry.object.flags = kCdsObjectRestricted;
  return entry;
}

std::unique_ptr<MslRequest> Request(const std::string& id, int kind,
                                    const std::string& filter = "*") {
  auto request = std::make_unique<MslRequest>();
  request->objectId = id;
  request->kind = kind;
  request->filter = filter;
  return request;
}

// Answers "many" with two good objects and one that cannot be serialised, anything else
// with one item.
FseAnswer FakeEnumerator(const FseRequest& request) {
  FseAnswer answer;
  answer.updateId = 9;
  if (request.objectId == "many") {
    answer.entries.push_back(Item("11", "One", kClassAudioItem));
    answer.entries.push_back(Item("12", "", kClassAudioItem));  // no title: left out
    answer.entries.push_back(Item("13", "Three & Co", kClassImageItem));
    answer.totalMatches = 40;
    return answer;
  }
  answer.entries.push_back(Item("5", "Five", kClassAudioItem));
  return answer;
}

class MslTest : public ::testing::Test {
 protected:
  void SetUp() override {
    chain_ = FLibChain_Create();
    ASSERT_TRUE(chain_);
    logic_ = MSL_Create(chain_.get(), FakeEnumerator, &writer_);
  }
  bool Enqueue(std::unique_ptr<MslRequest> request) { return MSL_EnqueueRequest(logic_, &request); }
  RecordingWriter writer_;
  FLibChainPtr chain_;
  MediaServerLogic* logic_ = nullptr;
};

// The fault codes with their texts reach a real client in the namespace test; the gathered
// answer is parsed by real clients on kept connections in the real-client suite.
TEST_F(MslTest, AnswerCountsOnlyObjectsThatSerialise) {
  Enqueue(Request("many", kFseBrowseDirectChildren, "dc:title"));
  MSL_ProcessQueue(logic_);
  std::string r = writer_.Get("many");
  ASSERT_EQ(r.front(), '<');
  EXPECT_NE(r.find("id=&quot;11&quot;"), std::string::npos);
  EXPECT_EQ(r.find("id=&quot;12&quot;"), std::string::npos);
  // Values are escaped twice since the fragment goes into already escaped markup.
  EXPECT_NE(r.find("Three &amp;amp; Co"), std::string::npos);
  EXPECT_EQ(r.substr(r.rfind('>')), ">2,40,9");
  // Fragments carry no document head: the writer adds it once.
  EXPECT_EQ(r.find("DIDL-Lite"), std::string::npos);
}

TEST_F(MslTest, QueueKeepsOrderAcrossThreadsAndLosesNothing) {
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([this, t] {
      for (int i = 0; i < 50; ++i) Enqueue(Request(std::to_string(t * 1000 + i), 0));
    });
  }
  // Consume while the producers queue.
  size_t processed = 0;
  auto end = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  while (processed < 200 && std::chrono::steady_clock::now() < end)
    processed += MSL_ProcessQueue(logic_);
  for (auto& thread : threads) thread.join();
  EXPECT_EQ(processed, 200u);
  EXPECT_EQ(writer_.order.size(), 200u);
  // Each thread's requests are answered in the order it queued them.
  std::map<int, int> last;
  for (const std::string& id : writer_.order) {
    int value = std::atoi(id.c_str());
    auto [at, fresh] = last.emplace(value / 1000, value % 1000);
    if (!fresh) {
      EXPECT_GT(value % 1000, at->second) << id;
      at->second = value % 1000;
    }
  }
  EXPECT_EQ(last.size(), 4u);
}

TEST_F(MslTest, QueuedRequestWakesTheRunningChain) {
  std::thread runner([this] { FLibChain_Start(chain_.get()); });
  ASSERT_TRUE(WaitUntil([this] { return chain_->Running.load(); }));
  // The chain's wait has no time-out of its own: only the wake answers at all.
  Enqueue(Request("woken", kFseBrowseMetadata));
  EXPECT_TRUE(WaitUntil([this] { return !writer_.Get("woken").empty(); }));
  FLibChain_Stop(chain_.get());
  runner.join();
  // A stopped logic refuses new requests instead of keeping them unanswered.
  auto late = Request("late", kFseBrowseMetadata);
  EXPECT_FALSE(MSL_EnqueueRequest(logic_, &late));
  ASSERT_TRUE(late);
  EXPECT_EQ(writer_.Get("late"), "");
}

TEST_F(MslTest, StoppingDropsQueuedRequestsUnanswered) {
  Enqueue(Request("queued", kFseBrowseMetadata));
  FLibChain_Stop(chain_.get());
  chain_.reset();  // a chain that never ran disposes its modules here
  EXPECT_TRUE(writer_.order.empty());
}

TEST(MsaTest, AddressListPutsTheReceivingAddressFirst) {
  auto msa = MSA_Create("", "http-get:*:*:*", "", "dc:title", nullptr);
  EXPECT_EQ(MSA_AddressesFor(msa.get(), 7), std::vector<uint32_t>({7}));
  uint32_t list[] = {1, 2, 3};
  MSA_SetIpAddresses(msa.get(), list, 3);
  EXPECT_EQ(MSA_AddressesFor(msa.get(), 1), std::vector<uint32_t>({1, 2, 3}));
  EXPECT_EQ(MSA_AddressesFor(msa.get(), 3), std::vector<uint32_t>({3, 2, 1}));
  EXPECT_EQ(MSA_AddressesFor(msa.get(), 9), std::vector<uint32_t>({9, 2, 3}));
}

}  // namespace
