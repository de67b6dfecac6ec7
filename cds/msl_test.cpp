#include "cds/msl.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <stdlib.h>
#include <sys/mman.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <fstream>
#include <future>
#include <map>
#include <mutex>
#include <thread>

#include "cds/cds_limits.h"
#include "cds/msa.h"
#include "library/library.h"
#include "platform/file_info.h"
#include "platform/tick.h"
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

// A resolver whose one item is titled with the size of a file it looks at, as the
// resources are made from the files they name.
struct CountingResolver {
  std::string file;
  int calls = 0;
  bool writes = false;
  size_t moreFiles = 0;  // files beside it that the answer also looks at
  FseAnswer operator()(const FseRequest&) {
    ++calls;
    if (writes) MSL_AnswerNotReusable();
    for (size_t i = 0; i < moreFiles; ++i) platform::FileSize64(file + std::to_string(i));
    FseAnswer answer;
    answer.updateId = 3;
    answer.entries.push_back(
        Item("5", "size " + std::to_string(platform::FileSize64(file)), kClassAudioItem));
    answer.totalMatches = 1;
    return answer;
  }
};

// A kept answer is given again only while the library, the settings, the request and
// every file looked at are as they were; a fresh one is made otherwise.
TEST(MslKeptAnswers, GivenAgainOnlyWhileNothingTheyWereMadeFromChanged) {
  char folder[] = "/tmp/msl-kept-XXXXXX";
  ASSERT_NE(mkdtemp(folder), nullptr);
  std::string dir = folder;
  ASSERT_EQ(db_openAt(dir + "/library.mdb"), 1);
  CountingResolver resolver{dir + "/song.mp3"};
  std::ofstream(resolver.file) << "abc";
  RecordingWriter writer;
  FLibChainPtr chain = FLibChain_Create();
  MediaServerLogic* logic = MSL_Create(
      chain.get(), [&resolver](const FseRequest& r) { return resolver(r); }, &writer);
  uint64_t settings = 1;
  MSL_SetInputsState(logic, [&settings] { return settings; });
  // The answer to a Browse of "c" with these arguments, and whether it was made afresh.
  auto ask = [&](uint32_t start = 0, const std::string& filter = "*", uint32_t address = 7) {
    std::unique_ptr<MslRequest> request = Request("c", kFseBrowseDirectChildren, filter);
    request->startingIndex = start;
    request->localAddress = address;
    writer.byId.clear();
    int before = resolver.calls;
    MSL_ProcessRequest(logic, request.get());
    EXPECT_EQ(request->position, start + 1);
    return std::make_pair(writer.Get("c"), resolver.calls != before);
  };

  auto first = ask();
  EXPECT_TRUE(first.second);
  EXPECT_NE(first.first.find("size 3"), std::string::npos);
  EXPECT_EQ(first.first.substr(first.first.rfind('>')), ">1,1,3");
  EXPECT_EQ(ask(), std::make_pair(first.first, false));

  // Another window, filter or receiving address is another answer.
  EXPECT_TRUE(ask(1).second);
  EXPECT_TRUE(ask(0, "dc:title").second);
  EXPECT_TRUE(ask(0, "*", 8).second);
  EXPECT_FALSE(ask().second);

  std::ofstream(resolver.file, std::ios::app) << "defg";
  auto grown = ask();
  EXPECT_TRUE(grown.second);
  EXPECT_NE(grown.first.find("size 7"), std::string::npos);
  EXPECT_FALSE(ask().second);
  unlink(resolver.file.c_str());
  auto gone = ask();
  EXPECT_TRUE(gone.second);
  EXPECT_NE(gone.first.find("size -1"), std::string::npos);

  db_setAVP("AnyKey", "written");
  EXPECT_TRUE(ask().second);
  EXPECT_FALSE(ask().second);
  settings = 2;
  EXPECT_TRUE(ask().second);
  EXPECT_FALSE(ask().second);

  resolver.writes = true;
  EXPECT_TRUE(ask(2).second);
  EXPECT_TRUE(ask(2).second);

  // A request that arrives gets a kept answer at once, on its own thread, without a trip
  // through the logic's queue, while the answer's files are unchanged.
  resolver.writes = false;
  auto arrive = [&](uint32_t start = 0) {  // the answer, and whether given before the queue ran
    std::unique_ptr<MslRequest> request = Request("c", kFseBrowseDirectChildren);
    request->startingIndex = start;
    request->localAddress = 7;
    writer.byId.clear();
    EXPECT_TRUE(MSL_EnqueueRequest(logic, &request));
    bool atOnce = !writer.Get("c").empty();
    MSL_ProcessQueue(logic);
    return std::make_pair(writer.Get("c"), atOnce);
  };
  auto checked = ask();
  EXPECT_FALSE(checked.second);
  EXPECT_EQ(arrive(), std::make_pair(checked.first, true));
  std::ofstream(resolver.file) << "longer";
  auto remade = arrive();
  EXPECT_FALSE(remade.second);
  EXPECT_NE(remade.first.find("size 6"), std::string::npos);
  EXPECT_EQ(arrive(), std::make_pair(remade.first, true));
  // While a scan's batch holds the library the device chain does not wait for it: the
  // request is queued, and answered once the batch is over.
  {
    std::promise<void> held, release;
    std::atomic<bool> batchOver{false};
    std::thread batch([&] {
      LibraryTransaction transaction;
      held.set_value();
      release.get_future().wait_for(std::chrono::seconds(5));
      batchOver = true;
    });
    held.get_future().wait();
    std::unique_ptr<MslRequest> request = Request("c", kFseBrowseDirectChildren);
    request->localAddress = 7;
    writer.byId.clear();
    EXPECT_TRUE(MSL_EnqueueRequest(logic, &request));
    EXPECT_FALSE(batchOver) << "the device chain waited for the batch";
    EXPECT_EQ(writer.Get("c"), "");
    release.set_value();
    batch.join();
    EXPECT_EQ(MSL_ProcessQueue(logic), 1u);
    EXPECT_NE(writer.Get("c"), "");
  }
  // One that looked at more files than the device chain looks at in passing is still kept,
  // but checked and given by the logic's chain.
  resolver.moreFiles = kKeptAnswerAtOncePathsMax;
  auto many = ask(3);
  EXPECT_TRUE(many.second);
  int calls = resolver.calls;
  EXPECT_EQ(arrive(3), std::make_pair(many.first, false));
  EXPECT_EQ(resolver.calls, calls);
  resolver.moreFiles = 0;

  // Once the folder has settled, the device chain's first check of an answer watches its
  // file, and later ones trust the watch. A write through a live shared mapping reaches no
  // watch: the logic's chain, which looks at every file, still sees it.
  // (The file is mapped, and closed, before the watch begins: the close, and the end of
  // the mapping, are reported.)
  int fd = ::open(resolver.file.c_str(), O_RDWR | O_CLOEXEC);
  ASSERT_GE(fd, 0);
  void* map = ::mmap(nullptr, 1, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
  ::close(fd);
  ASSERT_NE(map, MAP_FAILED);
  platform::SleepMs(1100);
  auto watched = ask(4);
  EXPECT_TRUE(watched.second);
  EXPECT_EQ(arrive(4), std::make_pair(watched.first, true));
  EXPECT_EQ(arrive(4), std::make_pair(watched.first, true));
  static_cast<char*>(map)[0] = 'L';
  EXPECT_TRUE(ask(4).second) << "the logic's chain trusted the watch";
  ::munmap(map, 1);

  // With the library closed nothing can tell a change: every answer is made afresh.
  db_close(false);
  EXPECT_TRUE(ask().second);
  EXPECT_TRUE(ask().second);
  chain.reset();
  std::system(("rm -rf " + dir).c_str());
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
