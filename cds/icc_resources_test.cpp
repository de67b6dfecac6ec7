#include "cds/icc_resources.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>

#include <atomic>

#include "delivery/resource_url.h"
#include "library/build/scan_test_support.h"
#include "library/library.h"
#include "library/statements.h"
#include "library/testing/temp_library.h"
#include "platform/file_info.h"
#include "platform/test_support.h"
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

TEST_F(IccResourcesTest, ASongHasItsFileItsClientCopyAndItsCover) {
  MediaRecord song = Item(123, library_.Path("Song.mp3"), "Audio");
  song.Duration = 205;
  song.Bitrate = 128000;
  song.CDCover = "folder art.jpg";
  ASSERT_TRUE(scan_test::WriteJpeg(library_.Path("folder art.jpg")));
  CdsMediaObject object = Resources(song);
  ASSERT_EQ(object.resources.size(), 3u);
  const std::string mp3 = "http-get:*:audio/mpeg:DLNA.ORG_PN=MP3;DLNA.ORG_OP=01";
  EXPECT_EQ(object.resources[0].uri, "http://192.168.1.10:40777/0/___/123/Song.mp3");
  EXPECT_EQ(object.resources[0].protocolInfo, mp3);
  EXPECT_EQ(object.resources[0].duration, 205);
  EXPECT_EQ(object.resources[0].bitrate, 128000);
  EXPECT_EQ(object.resources[0].size, 5'000'000'000LL);
  EXPECT_EQ(object.resources[1].uri, "http://192.168.1.10:40777/0/___/123/Song.mp3&TC");
  EXPECT_EQ(object.resources[1].protocolInfo, mp3);
  // The cover is described by its own file.
  const CdsMediaResource& cover = object.resources[2];
  EXPECT_EQ(cover.uri, "http://192.168.1.10:40777/0/___/123/folder%20art.jpg");
  EXPECT_EQ(cover.protocolInfo.rfind("http-get:*:image/jpeg:DLNA.ORG_PN=JPEG_", 0), 0u);
  EXPECT_EQ(cover.size, platform::FileSize64(library_.Path("folder art.jpg")));
  EXPECT_EQ(cover.duration, -1);
  EXPECT_EQ(cover.bitrate, -1);
}

TEST_F(IccResourcesTest, AllIpRepeatsTheResourcesPerAddressInListOrder) {
  CdsMediaObject object =
      Resources(Item(9, "/music/Ünïcode song.mp3", "Audio"), kFilterAll | kFilterAllIp);
  ASSERT_EQ(object.resources.size(), 4u);
  EXPECT_EQ(object.resources[0].uri,
            "http://192.168.1.10:40777/0/___/9/%C3%9Cn%C3%AFcode%20song.mp3");
  EXPECT_EQ(object.resources[2].uri, "http://10.0.0.5:40777/0/___/9/%C3%9Cn%C3%AFcode%20song.mp3");
}

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

TEST_F(IccResourcesTest, AnMkvItemGoesToTheAuxiliaryServerWithItsPathFile) {
  CdsMediaObject object = Resources(Item(77, "/v/Film.mkv", "Video"));
  ASSERT_GE(object.resources.size(), 2u);
  EXPECT_EQ(object.resources[0].uri, "http://192.168.1.10:3456/0/___/77/Film.mkv");
  EXPECT_EQ(object.resources[1].uri.rfind("http://192.168.1.10:40777/", 0), 0u);
  EXPECT_EQ(platform::testing::ReadFile(library_.Path("etc/77.txt")),
            std::string("/v/Film.mkv") + '\0');
}

TEST_F(IccResourcesTest, PicturesUseTheWebPortAndCarryTheirPixelSize) {
  std::string photo = library_.Path("Photo.jpg");
  ASSERT_TRUE(scan_test::WriteJpeg(photo));
  CdsMediaObject object = Resources(Item(125, photo, "Image"));
  ASSERT_EQ(object.resources.size(), 2u);
  EXPECT_EQ(object.resources[0].uri, "http://192.168.1.10:50123/0/___/125/Photo.jpg");
  EXPECT_GT(object.resources[0].resolutionX, 0);
  EXPECT_GT(object.resources[0].resolutionY, 0);
  EXPECT_EQ(object.resources[0].duration, -1);
  EXPECT_EQ(object.resources[1].uri, "http://192.168.1.10:50123/0/___/125/Photo.jpg&TC");
}

TEST_F(IccResourcesTest, InternetItemsAreRelayedThroughTheStreamServer) {
  MediaRecord radio = Item(300, "http://radio.example/live", "Audio");
  radio.FileName = "Live radio";
  radio.VirtualName = MakeVirtualName(300, radio.FileName);
  radio.InternetFlags = 2;
  radio.FileSize = 0;
  CdsMediaObject object = Resources(radio);
  ASSERT_EQ(object.resources.size(), 2u);
  EXPECT_EQ(object.resources[0].uri, "http://192.168.1.10:40777/0/___/300/Live%20radio&TC&POWER");
  EXPECT_EQ(object.resources[1].uri, object.resources[0].uri);
}

TEST_F(IccResourcesTest, ADiscImageFolderOffersItsVideoTsFiles) {
  auto insert = [](int32_t index, int32_t parent, int32_t flags, int32_t type,
                   const std::string& path, const std::string& name) {
    ObjectRow row;
    row.MyIndex = index;
    row.pIndex = parent;
    row.Flags = flags;
    row.ObjectType = type;
    row.ProcessObjectType = type;
    row.FilePath = path;
    row.FileName = name;
    row.FileType = type == kObjectItem ? "Video" : "";
    row.FileSize = 2048;
    ASSERT_TRUE(db_execute(sql::InsertObject(row)));
  };
  insert(500, 4, 0, kObjectContainer, "/d/Movie.iso", "Movie(iso)");
  insert(501, 500, kFlagDiscImage, kObjectContainer, "/d/Movie.iso/%offset%0/AUDIO_TS", "AUDIO_TS");
  insert(502, 500, kFlagDiscImage, kObjectContainer, "/d/Movie.iso/%offset%0/VIDEO_TS", "VIDEO_TS");
  insert(503, 502, kFlagDiscImage, kObjectItem, "/d/Movie.iso/%offset%8192/VTS_01_1.VOB",
         "VTS_01_1.VOB");
  MediaRecord disc;
  disc.MyIndex = 500;
  disc.ObjectType = disc.ProcessObjectType = kObjectContainer;
  disc.FileName = "Movie(iso)";
  disc.VirtualName = MakeVirtualName(500, disc.FileName);
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
