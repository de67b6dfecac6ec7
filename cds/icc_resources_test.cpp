#include "cds/icc_resources.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>

#include <atomic>
#include <cstdio>

#include "delivery/resource_url.h"
#include "library/build/testing/scan_library.h"
#include "library/library.h"
#include "library/statements.h"
#include "library/testing/temp_library.h"
#include "platform/file_info.h"
#include "platform/testing/test_support.h"
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

// A song's three resources, the cover's own size, the .mkv on the auxiliary server and the
// fetch of every URL are proven by the real-client suite; these are the resources it has
// no item for.
TEST_F(IccResourcesTest, AllIpRepeatsTheResourcesPerAddressInListOrder) {
  MediaRecord song = Item(9, "/music/Ünïcode song.mp3", "Audio");
  song.Duration = 205;
  song.Bitrate = 128000;
  CdsMediaObject object = Resources(song, kFilterAll | kFilterAllIp);
  ASSERT_EQ(object.resources.size(), 4u);
  EXPECT_EQ(object.resources[0].uri,
            "http://192.168.1.10:40777/0/___/9/%C3%9Cn%C3%AFcode%20song.mp3");
  EXPECT_EQ(object.resources[1].uri,
            "http://192.168.1.10:40777/0/___/9/%C3%9Cn%C3%AFcode%20song.mp3&TC");
  EXPECT_EQ(object.resources[2].uri, "http://10.0.0.5:40777/0/___/9/%C3%9Cn%C3%AFcode%20song.mp3");
  EXPECT_EQ(object.resources[0].duration, 205);
  EXPECT_EQ(object.resources[0].bitrate, 128000);
  EXPECT_EQ(object.resources[0].size, 5'000'000'000LL);
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

TEST_F(IccResourcesTest, PicturesCarryTheirPixelSizeAndInternetItemsAreRelayed) {
  std::string photo = library_.Path("Photo.jpg");
  ASSERT_TRUE(scan_test::WriteJpeg(photo));
  CdsMediaObject picture = Resources(Item(125, photo, "Image"));
  ASSERT_EQ(picture.resources.size(), 2u);
  EXPECT_GT(picture.resources[0].resolutionX * picture.resources[0].resolutionY, 0);

  MediaRecord radio = Item(300, "http://radio.example/live", "Audio");
  radio.FileName = "Live radio";
  radio.VirtualName = MakeVirtualName(300, radio.FileName);
  radio.InternetFlags = 2;
  CdsMediaObject object = Resources(radio);
  ASSERT_EQ(object.resources.size(), 2u);
  EXPECT_EQ(object.resources[0].uri, "http://192.168.1.10:40777/0/___/300/Live%20radio&TC&POWER");
  EXPECT_EQ(object.resources[1].uri, object.resources[0].uri);
}

// The songs of an album share one picture, described once; a picture replaced or removed
// since shows as it is now in the very next answer.
TEST_F(IccResourcesTest, AnAlbumPictureReplacedOrRemovedShowsAtOnce) {
  std::string cover = library_.Path("cover.jpg");
  auto draw = [&](const std::string& size) {
    return platform::testing::RunFfmpeg(
        {"-y", "-f", "lavfi", "-i", "color=c=red:s=" + size, "-frames:v", "1", cover});
  };
  MediaRecord song = Item(9, library_.Path("Song.mp3"), "Audio");
  song.CDCover = "cover.jpg";
  auto coverOf = [&] {
    CdsMediaObject object = Resources(song);
    return object.resources.size() == 3 ? object.resources[2] : CdsMediaResource();
  };
  const std::pair<const char*, const char*> versions[] = {{"100x100", "JPEG_TN"},
                                                          {"800x600", "JPEG_MED"}};
  for (const auto& [size, profile] : versions) {
    ASSERT_TRUE(draw(size));
    for (int answer = 0; answer < 2; ++answer) {
      CdsMediaResource resource = coverOf();
      EXPECT_EQ(resource.protocolInfo,
                "http-get:*:image/jpeg:DLNA.ORG_PN=" + std::string(profile) + ";DLNA.ORG_OP=01");
      EXPECT_EQ(resource.size, platform::FileSize64(cover));
    }
  }
  ASSERT_EQ(std::remove(cover.c_str()), 0);
  EXPECT_EQ(Resources(song).resources.size(), 2u);
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
