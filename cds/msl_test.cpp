#include "cds/msl.h"

#include <gtest/gtest.h>

#include <chrono>
#include <map>
#include <mutex>
#include <regex>
#include <thread>

#include "cds/msa.h"
#include "platform/testing/test_support.h"
#include "upnp/chain.h"
#include "upnp/testing/device_test_util.h"

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

// Answers "701"/"710"/"708" with that fault, "many" with two good objects and one that
// cannot be serialised, anything else with one item.
FseAnswer FakeEnumerator(const FseRequest& request) {
  FseAnswer answer;
  if (request.objectId == "701" || request.objectId == "710" || request.objectId == "708") {
    answer.error = std::atoi(request.objectId.c_str());
    return answer;
  }
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

// The codes reach a real client in the namespace test; these are the texts that go with them.
TEST_F(MslTest, FaultsCarryTheEnumeratorCodeAndText) {
  for (const char* id : {"701", "710", "708"}) Enqueue(Request(id, kFseBrowseMetadata));
  EXPECT_EQ(MSL_ProcessQueue(logic_), 3u);
  EXPECT_EQ(writer_.Get("701"), "!701 ObjectID does not exist.");
  EXPECT_EQ(writer_.Get("710"),
            "!710 The specified ObjectID or ContainerID identifies an object that is not a "
            "container.");
  EXPECT_EQ(writer_.Get("708"), "!708 Unsupported or invalid search criteria");
}

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

// The answer writer gathers the answer and sends it in one write with a length; its
// head lines and body bytes must be those of the device stack's streamed response, which
// clients and the peers' tests know.
class MsaAnswerTest : public ::testing::Test {
 protected:
  MsaAnswerTest() : device_(Actions()) {}

  static UpnpLatticeActions Actions() {
    UpnpLatticeActions actions;
    // ObjectID "<how>-<action>": "streamed" answers through the device stack's pieces,
    // "whole" through the writer; the action names the response.
    actions.Browse = [](FLibWebSession* s, const char* id, const char*, const char*, uint32_t,
                        uint32_t, const char*) {
      std::string how(id);
      bool search = how.ends_with("-Search");
      const std::string fragments[] = {"&lt;item id=&quot;1&quot;/&gt;", "&lt;item/&gt;"};
      if (how.starts_with("streamed")) {
        std::string_view action = search ? "Search" : "Browse";
        UpnpLattice_BeginResponse(s, action, kContentDirectoryServiceType);
        UpnpLattice_ResponseArgument(s, "Result", kDidlHeadEscaped.data(), kDidlHeadEscaped.size(),
                                     FLibOwnership_Static, true, false);
        for (const std::string& f : fragments)
          UpnpLattice_ResponseArgument(s, "Result", f.data(), f.size(), FLibOwnership_User, false,
                                       false);
        UpnpLattice_ResponseArgument(s, "Result", kDidlTailEscaped.data(), kDidlTailEscaped.size(),
                                     FLibOwnership_Static, false, true);
        UpnpLattice_ResponseArgument(s, "NumberReturned", "2", 1, FLibOwnership_Static, true, true);
        UpnpLattice_ResponseArgument(s, "TotalMatches", "4000000000", 10, FLibOwnership_Static,
                                     true, true);
        UpnpLattice_ResponseArgument(s, "UpdateID", "0", 1, FLibOwnership_Static, true, true);
        UpnpLattice_EndResponse(s, action);
        return;
      }
      MslRequest request;
      request.kind = search ? kFseSearch : kFseBrowseDirectChildren;
      request.session = s;
      MSA_BeginResult(request);
      for (const std::string& f : fragments) MSA_AppendResult(request, f);
      MSA_FinishResult(request, 2, 4000000000u, 0);
      EXPECT_TRUE(request.answerBody.empty()) << "the gathered answer is released";
    };
    return actions;
  }

  // The raw answer to a Browse whose ObjectID is `id`.
  std::string Ask(const std::string& id) {
    std::string body =
        "<?xml version=\"1.0\"?><s:Envelope xmlns:s=\"http://schemas.xmlsoap.org/soap/envelope/\">"
        "<s:Body><u:Browse xmlns:u=\"urn:schemas-upnp-org:service:ContentDirectory:1\">"
        "<ObjectID>" +
        id +
        "</ObjectID><BrowseFlag>BrowseDirectChildren</BrowseFlag>"
        "<Filter>*</Filter><StartingIndex>0</StartingIndex><RequestedCount>0</RequestedCount>"
        "<SortCriteria></SortCriteria></u:Browse></s:Body></s:Envelope>";
    return device_.ExchangeWhole(device_test::Request(
        "POST", std::string(kContentDirectoryControlPath),
        "SOAPACTION: \"urn:schemas-upnp-org:service:ContentDirectory:1#Browse\"\r\n", body));
  }

  device_test::DeviceOnChain device_;
};

TEST_F(MsaAnswerTest, GatheredAnswerHasTheBytesOfTheStreamedOne) {
  ASSERT_NE(device_.Device(), nullptr);
  for (const char* action : {"Browse", "Search"}) {
    std::string streamed = Ask(std::string("streamed-") + action);
    std::string whole = Ask(std::string("whole-") + action);
    size_t wholeHead = whole.find("\r\n\r\n");
    ASSERT_NE(wholeHead, std::string::npos) << whole;
    std::string body = whole.substr(wholeHead + 4);
    EXPECT_EQ(body, device_test::Dechunk(streamed)) << action;
    EXPECT_NE(body.find(std::string("<u:") + action + "Response "), std::string::npos) << body;
    // The same head lines, with a length in place of the chunked coding.
    std::string length = "\r\nContent-Length: " + std::to_string(body.size()) + "\r\n";
    EXPECT_EQ(std::regex_replace(whole.substr(0, wholeHead + 4), std::regex(length), "\r\n"),
              std::regex_replace(streamed.substr(0, streamed.find("\r\n\r\n") + 4),
                                 std::regex("\r\nTransfer-Encoding: chunked\r\n"), "\r\n"));
  }
}

}  // namespace
