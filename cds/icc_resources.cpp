#include "cds/icc_resources.h"

#include <sys/stat.h>

#include <charconv>
#include <cstdio>
#include <fstream>
#include <mutex>
#include <optional>
#include <string>
#include <unordered_map>
#include <vector>

#include "cds/playlist_container.h"
#include "cds/protocol_info.h"
#include "delivery/resource_url.h"
#include "library/library.h"
#include "library/statements.h"
#include "media/image_size.h"
#include "media/media_type.h"
#include "media/subtitle.h"
#include "platform/app_directory.h"
#include "platform/file_info.h"
#include "platform/path.h"
#include "platform/text.h"
#include "platform/tick.h"
#include "transcode/transcode_rules.h"
#include "upnp/escape.h"

namespace {

constexpr std::string_view kResourceDirectory = "0";
constexpr std::string_view kVideoTsFolder = "VIDEO_TS";

int StreamPort(IccResourceContext* context, int webPort) {
  if (!context->streamPort) return webPort;
  int port = context->streamPort();
  if (port >= 0) return port;
  if (context->streamPortGivenUp.load(std::memory_order_acquire)) return webPort;
  for (int wait = 0; wait < kIccStreamPortWaits && port < 0; ++wait) {
    platform::SleepMs(context->streamPortWaitMs);
    port = context->streamPort();
  }
  if (port >= 0) return port;
  context->streamPortGivenUp.store(true, std::memory_order_release);
  return webPort;
}

// The ".mkv" items are served by the auxiliary web server, which finds the media file
// through "etc/<MyIndex>.txt": the path followed by one zero byte.
void WriteMkvPathFile(const MediaRecord& record) {
  ::mkdir(platform::AppPath("etc").c_str(), 0755);  // start-up makes it; tests may not
  std::string name = platform::AppPath("etc/" + std::to_string(record.MyIndex) + ".txt");
  std::string temporary = name + ".tmp";
  {
    std::ofstream out(temporary, std::ios::binary | std::ios::trunc);
    out.write(record.FilePath.data(), static_cast<std::streamsize>(record.FilePath.size()));
    out.put('\0');
    if (!out) return;
  }
  std::rename(temporary.c_str(), name.c_str());
}

struct ItemFacts {
  bool media = false;  // "Audio" or "Video"
  bool image = false;
  bool discMember = false;  // inside a disc image: only the stream server can read it
  int internet = 0;         // 1 video, 2 audio, 0 local
  int width = -1;
  int height = -1;
  // The album picture beside a song, described by its own file.
  std::string coverProtocolInfo;
  int64_t coverSize = -1;
  // The subtitle beside a video.
  std::string subtitleMime;
  int64_t subtitleSize = -1;
  // The album art made for the item.
  bool albumArt = false;
};

// A converted stream is made while it is sent: the source's size and bit rate say
// nothing about it, so it carries neither.
void FillSizes(const MediaRecord& record, const ItemFacts& facts, bool converted,
               CdsMediaResource* resource) {
  if (facts.media && record.ObjectType == kObjectItem && record.Duration != 0)
    resource->duration = record.Duration;
  if (!converted) {
    if (record.Bitrate > 0) resource->bitrate = record.Bitrate;
    resource->size = record.FileSize;
  }
  if (facts.image) {
    resource->resolutionX = facts.width;
    resource->resolutionY = facts.height;
  }
}

bool BuildUrl(IccResourceContext* context, const std::string& namePath, uint32_t address, int port,
              std::string* url) {
  return RP_BuildResourceUrl(context->provider, namePath, -1, Icc_HostAndPort(address, port),
                             kResourceDirectory, url) == 1;
}

// The item's URL on one address and port, from its path part (empty when the provider
// rejected the name path: the resource is then not offered).
bool JoinUrl(std::string_view urlPath, uint32_t address, int port, std::string* url) {
  if (urlPath.empty()) return false;
  RP_JoinResourceUrl(Icc_HostAndPort(address, port), urlPath, url);
  return true;
}

void AddItemResources(IccResourceContext* context, const MediaRecord& record,
                      std::string_view urlPath, uint32_t address, int webPort, int streamPort,
                      const ItemFacts& facts, CdsMediaObject* object) {
  const std::string& namePath = record.VirtualName;
  std::string extension(platform::PathExtension(namePath));
  bool mkv = platform::EndsWithNoCase(namePath, "mkv");
  bool internet = facts.internet != 0;

  // First: as the file is, on the port of the server that sends it best.
  int firstPort = internet || facts.discMember ? streamPort
                  : facts.media                ? (mkv ? context->mkvPort : streamPort)
                                               : webPort;
  std::string firstProtocol =
      internet ? MediaType_BuildStreamProtocolInfo(record.FilePath, facts.internet)
               : MediaType_BuildProtocolInfo(record.FilePath, extension, false);
  CdsMediaResource first;
  if (JoinUrl(urlPath, address, firstPort, &first.uri)) {
    if (internet) first.uri += "&TC&POWER";
    first.protocolInfo = firstProtocol;
    FillSizes(record, facts, internet, &first);
    object->resources.push_back(std::move(first));
  }

  // Second: what a client that cannot play the file gets (the encoder's output when the
  // file is transcoded).
  int secondPort = internet || facts.media || facts.discMember ? streamPort : webPort;
  CdsMediaResource second;
  // A file served as it is is described as the first resource describes it.
  bool transcoded = !internet && Transcode_NeedsTranscode(record.FilePath) == 1;
  second.protocolInfo =
      transcoded ? MediaType_BuildProtocolInfo(record.FilePath, extension, true) : firstProtocol;
  if (!JoinUrl(urlPath, address, transcoded ? webPort : secondPort, &second.uri)) return;
  if (internet || transcoded) {
    second.uri += "&TC&POWER";
  } else {
    second.uri += "&TC";
  }
  FillSizes(record, facts, internet || transcoded, &second);
  std::string secondUri = second.uri;
  object->resources.push_back(std::move(second));

  // Cover: the album picture beside the song, through the same server.
  if (facts.coverSize >= 0) {
    CdsMediaResource cover;
    cover.uri = secondUri.substr(0, secondUri.rfind('/') + 1) + FLibUrl_Escape(record.CDCover);
    cover.protocolInfo = facts.coverProtocolInfo;
    cover.size = facts.coverSize;
    object->resources.push_back(std::move(cover));
  }

  // Subtitle: the file beside the video, through the server that sends the video.
  CdsMediaResource subtitle;
  if (facts.subtitleSize >= 0 && JoinUrl(urlPath, address, streamPort, &subtitle.uri)) {
    subtitle.uri.resize(subtitle.uri.rfind('/') + 1);
    subtitle.uri += FLibUrl_Escape(record.Subtitle);
    subtitle.protocolInfo = "http-get:*:" + facts.subtitleMime + ":*";
    subtitle.size = facts.subtitleSize;
    if (object->captionUri.empty()) {
      object->captionUri = subtitle.uri;
      object->captionType = media::Subtitle_Type(record.Subtitle);
    }
    object->resources.push_back(std::move(subtitle));
  }

  // Album art: the small JPEG made for the item, through the web server that sends the
  // pictures' thumbnails. One URL, on the first address, as clients show one picture.
  if (facts.albumArt && object->albumArtUri.empty() &&
      JoinUrl(urlPath, address, webPort, &object->albumArtUri)) {
    object->albumArtUri.resize(object->albumArtUri.rfind('/') + 1);
    object->albumArtUri += FLibUrl_Escape(record.AlbumArt);
  }
}

// The protocolInfo of album pictures, trusted only while the picture is exactly as it
// was: the songs of an album share one picture, and every Browse of them describes it.
class DescribedCovers {
 public:
  // `extension` is the one of the picture's name, the last part of `path`.
  std::string ProtocolInfo(const std::string& path, std::string_view extension,
                           const platform::FileStamp& stamp) {
    {
      std::lock_guard lock(mutex_);
      auto found = covers_.find(path);
      if (found != covers_.end() && found->second.stamp == stamp) return found->second.text;
    }
    std::string text = MediaType_BuildProtocolInfo(path, extension, false);
    // A picture rewritten while it was described is described again next time.
    if (platform::FileStampOf(path) == stamp) {
      std::lock_guard lock(mutex_);
      if (covers_.size() >= kIccCoversRemembered) covers_.clear();
      covers_[path] = Described{stamp, text};
    }
    return text;
  }

 private:
  struct Described {
    platform::FileStamp stamp;
    std::string text;
  };
  std::mutex mutex_;
  std::unordered_map<std::string, Described> covers_;
};

DescribedCovers& Covers() {
  static DescribedCovers covers;
  return covers;
}

// A song offers its album picture only when there is one: the scanner stores a blank
// name for a folder without pictures, and the picture may have gone since the scan.
void FindCover(const MediaRecord& record, ItemFacts* facts) {
  if (record.FileType != "Audio" || record.ObjectType != kObjectItem) return;
  std::string path = CoverPath(record);
  if (path.empty()) return;
  std::optional<platform::FileStamp> stamp = platform::FileStampOf(path);
  if (!stamp) return;
  facts->coverSize = stamp->size;
  facts->coverProtocolInfo =
      Covers().ProtocolInfo(path, platform::PathExtension(record.CDCover), *stamp);
}

// A video offers its subtitle only while the file is there: it may have gone since the
// scan, and the watcher may not have told yet.
void FindSubtitle(const MediaRecord& record, ItemFacts* facts) {
  if (record.FileType != "Video" || record.ObjectType != kObjectItem) return;
  std::string path = SubtitlePath(record);
  std::string_view mime = media::Subtitle_Mime(record.Subtitle);
  if (path.empty() || mime.empty()) return;
  facts->subtitleSize = platform::FileSize64(path);
  facts->subtitleMime = std::string(mime);
}

// A disc image shown as a folder offers the files of its VIDEO_TS folder as its own
// resources, so a player can start the disc from the folder.
std::vector<MediaRecord> DiscVideoFiles(const MediaRecord& disc) {
  const std::string& namePath = disc.VirtualName;
  size_t first = namePath.find('\\');
  size_t last = namePath.rfind('\\');
  if (first == std::string::npos || last == std::string::npos || last <= first + 1) return {};
  int32_t discIndex = 0;
  for (size_t i = first + 1; i < last; ++i) {
    char c = namePath[i];
    if (c < '0' || c > '9' || discIndex > 100000000) return {};
    discIndex = discIndex * 10 + (c - '0');
  }
  if (db_selectT(sql::Children(discIndex)) <= 0) return {};
  std::vector<MediaRecord> children = db_selectResults();
  if (children.front().Flags != kFlagDiscImage) return {};
  for (const MediaRecord& child : children) {
    if (child.FileName != kVideoTsFolder) continue;
    if (db_selectT(sql::Children(child.MyIndex)) <= 0) return {};
    return db_selectResults();
  }
  return {};
}

bool IsDiscContainer(const MediaRecord& record) {
  const std::string& namePath = record.VirtualName;
  if (platform::EndsWithNoCase(namePath, ".m3u")) return false;
  std::string_view tail = namePath;
  if (tail.size() > 5) tail = tail.substr(tail.size() - 5);
  return tail.find("(iso)") != std::string_view::npos;
}

void AddDiscResources(IccResourceContext* context, const std::vector<MediaRecord>& files,
                      uint32_t address, int streamPort, CdsMediaObject* object) {
  for (const MediaRecord& file : files) {
    CdsMediaResource resource;
    if (!BuildUrl(context, file.VirtualName, address, streamPort, &resource.uri)) continue;
    std::string extension;
    std::string_view named = platform::PathExtension(file.FilePath);
    if (!named.empty()) extension = "." + platform::AsciiLower(named.substr(1, 3));
    resource.protocolInfo = MediaType_BuildProtocolInfo(file.FilePath, extension, false);
    ItemFacts facts;
    facts.media = file.FileType == "Audio" || file.FileType == "Video";
    FillSizes(file, facts, false, &resource);
    object->resources.push_back(std::move(resource));
  }
}

}  // namespace

std::string Icc_HostAndPort(uint32_t address, int port) {
  char text[32];
  char* end = text + sizeof text;
  char* at = text;
  for (int shift = 24; shift >= 0; shift -= 8) {
    at = std::to_chars(at, end, (address >> shift) & 0xFF).ptr;
    *at++ = shift == 0 ? ':' : '.';
  }
  at = std::to_chars(at, end, port).ptr;
  return std::string(text, at);
}

void Icc_AddResources(IccResourceContext* context, const MslRequest& request,
                      const MediaRecord& record, CdsFilter mask, CdsMediaObject* object) {
  std::vector<uint32_t> addresses = request.addresses;
  if (addresses.empty()) addresses.push_back(request.localAddress);
  if ((mask & kFilterAllIp) == 0) addresses.resize(1);
  int webPort = request.localPort;

  // A playlist is presented as a container of its entries; its list file is no media.
  if (record.ProcessObjectType == kObjectItem && !PlaylistContainer_Is(record)) {
    ItemFacts facts;
    facts.media = record.FileType == "Audio" || record.FileType == "Video";
    facts.image = record.FileType == "Image";
    facts.discMember = (record.Flags & kFlagDiscImage) != 0;
    if (record.InternetFlags == kInternetVideo || record.InternetFlags == kInternetAudio)
      facts.internet = record.InternetFlags;
    bool wantsStreamPort = facts.media || facts.internet != 0 || facts.discMember;
    int streamPort = wantsStreamPort ? StreamPort(context, webPort) : webPort;
    // A picture whose size cannot be read has no resolution attribute rather than 0x0.
    if (facts.image && !ImageSize(record.FilePath, &facts.width, &facts.height)) {
      facts.width = facts.height = -1;
    }
    FindCover(record, &facts);
    FindSubtitle(record, &facts);
    // Recorded by the album art worker; a Browse never makes art, it only looks whether
    // the made file is still there.
    std::string albumArt = AlbumArtPath(record);
    facts.albumArt = !albumArt.empty() && platform::FileExists(albumArt);
    if (facts.internet == 0 && facts.media && !facts.discMember &&
        platform::EndsWithNoCase(record.VirtualName, "mkv"))
      WriteMkvPathFile(record);
    // One path part serves every port and address the item is offered on.
    std::string urlPath;
    RP_BuildResourcePath(context->provider, record.VirtualName, -1, kResourceDirectory, &urlPath);
    for (uint32_t address : addresses)
      AddItemResources(context, record, urlPath, address, webPort, streamPort, facts, object);
    return;
  }
  if (!IsDiscContainer(record)) return;
  std::vector<MediaRecord> files = DiscVideoFiles(record);
  if (files.empty()) return;
  int streamPort = StreamPort(context, webPort);
  for (uint32_t address : addresses) AddDiscResources(context, files, address, streamPort, object);
}
