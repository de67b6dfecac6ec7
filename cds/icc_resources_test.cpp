#include "cds/icc_resources.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>

#include <atomic>

#include "delivery/resource_url.h"
#include "library/library.h"
#include "library/statements.h"
#include "library/testing/temp_library.h"
#include "platform/tick.h"
#include "upnp/chain.h"

namespace {

constexpr int kWebPort = 50123;
constexpr int kStreamPort = 40777;

uint32_t Address(const char* text) {
  uint32_t address = 0;
  inet_pton(AF_INET, text, &address);
  return ntohl(address);
}

class IccResourcesTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(library_.ok());
    chain_ = FLibChain_Create();
    context_.provider = RP_Create(chain_.get());
    RP_AddBaseDirectory(context_.provider, ".\\");
    context_.streamPort = [this] { return streamPort_.load(); };
    context_.streamPortWaitMs = 20;
    request_.localAddress = Address("192.168.1.10");
    request_.localPort = kWebPort;
    request_.addresses = {Address("192.168.1.10"), Address("10.0.0.5")};
  }

  MediaRecord Item(int32_t index, const std::string& path, const std::string& fileType) {
    MediaRecord record;
    record.MyIndex = index;
    record.ObjectType = kObjectItem;
    record.ProcessObjectType = kObjectItem;
    record.FilePath = path;
    record.FileName = path.substr(path.rfind('/') + 1);
    record.VirtualName = MakeVirtualName(index, record.FileName);
    record.FileType = fileType;
    record.FileSize = 5'000'000'000LL;
    return record;
  }

  CdsMediaObject Resources(const MediaRecord& record, CdsFilter mask = kFilterAll) {
    CdsMediaObject object;
    Icc_AddResources(&context_, request_, record, mask, &object);
    return object;
  }

  TempLibrary library_;
  FLibChainPtr chain_;
  IccResourceContext context_;
  std::atomic<int> streamPort_{kStreamPort};
  MslRequest request_;
};

TEST_F(IccResourcesTest, WithoutTheStreamServerMediaFallsBackToTheWebPortAfterOneWait) {
  streamPort_ = -1;
  uint64_t start = platform::TickCountMs();
  CdsMediaObject first = Resources(Item(5, "/v/Clip.mp4", "Video"));
  EXPECT_GE(platform::TickCountMs() - start, 2 * context_.streamPortWaitMs);
  ASSERT_FALSE(first.resources.empty());
  EXPECT_EQ(first.resources[0].uri, "http://192.168.1.10:50123/0/___/5/Clip.mp4");
  // Later objects do not wait again: a Browse of many items must not stall per item.
  context_.streamPortWaitMs = 10'000;
  start = platform::TickCountMs();
  Resources(Item(6, "/v/Other.mp4", "Video"));
  EXPECT_LT(platform::TickCountMs() - start, 5'000u);
}

TEST_F(IccResourcesTest, ADiscImageFolderOffersItsVideoTsFiles) {
  auto insert = [](int32_t index, int32_t parent, int32_t type, const std::string& path) {
    ObjectRow row;
    row.MyIndex = index;
    row.pIndex = parent;
    row.Flags = parent == 4 ? 0 : kFlagDiscImage;
    row.ObjectType = row.ProcessObjectType = type;
    row.FilePath = path;
    row.FileName = path.substr(path.rfind('/') + 1);
    row.FileType = type == kObjectItem ? "Video" : "";
    row.FileSize = 2048;
    ASSERT_TRUE(db_execute(sql::InsertObject(row)));
  };
  insert(500, 4, kObjectContainer, "/d/Movie.iso");
  insert(501, 500, kObjectContainer, "/d/Movie.iso/%offset%0/AUDIO_TS");
  insert(502, 500, kObjectContainer, "/d/Movie.iso/%offset%0/VIDEO_TS");
  insert(503, 502, kObjectItem, "/d/Movie.iso/%offset%8192/VTS_01_1.VOB");
  MediaRecord disc = Item(500, "/d/Movie(iso)", "");
  disc.ObjectType = disc.ProcessObjectType = kObjectContainer;
  CdsMediaObject object = Resources(disc);
  ASSERT_EQ(object.resources.size(), 1u);
  EXPECT_EQ(object.resources[0].uri, "http://192.168.1.10:40777/0/___/503/VTS_01_1.VOB");
  EXPECT_NE(object.resources[0].protocolInfo.find("video/"), std::string::npos);
  EXPECT_EQ(object.resources[0].size, 2048);
  // A plain folder gets nothing.
  disc.FileName = "Movies";
  disc.VirtualName = MakeVirtualName(500, disc.FileName);
  EXPECT_TRUE(Resources(disc).resources.empty());
}

}  // namespace
