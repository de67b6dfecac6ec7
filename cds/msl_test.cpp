#include "cds/msl.h"

#include <gtest/gtest.h>

#include <map>
#include <mutex>

#include "cds/msa.h"
#include "upnp/chain.h"

namespace {

// Records each request's answer as text: "<" for the head, each fragment and "|", then
// ">n,t,u" at the end, or "!code text" for a fault.
class RecordingWriter : public MslAnswerWriter {
 public:
  void SendError(const MslRequest& r, int code, std::string_view text) override {
    Add(r, "!" + std::to_string(code) + " " + std::string(text));
  }
  void Begin(const MslRequest& r) override { Add(r, "<"); }
  void Append(const MslRequest& r, std::string_view fragment) override {
    Add(r, std::string(fragment) + "|");
  }
  void Finish(const MslRequest& r, uint32_t n, uint32_t t, uint32_t u) override {
    Add(r, ">" + std::to_string(n) + "," + std::to_string(t) + "," + std::to_string(u));
  }
  std::string Get(const std::string& id) {
    std::lock_guard guard(lock);
    return byId[id];
  }
  std::mutex lock;
  std::map<std::string, std::string> byId;

 private:
  void Add(const MslRequest& r, const std::string& text) {
    std::lock_guard guard(lock);
    byId[r.objectId] += text;
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
