#include "cds/icc_resources.h"

#include <sys/stat.h>

#include <charconv>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iterator>
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
  // The file must be there whenever the item is offered: an answer that writes it is made
  // afresh each time rather than given again.
  MSL_AnswerNotReusable();
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

// "a.b.c.d:port" into `text`; the bytes are all ones a URL carries as they are.
std::string_view HostAndPortText(uint32_t address, int port, char (&text)[32]) {
  char* end = text + sizeof text;
  char* at = text;
  for (int shift = 24; shift >= 0; shift -= 8) {
    at = std::to_chars(at, end, (address >> shift) & 0xFF).ptr;
    *at++ = shift == 0 ? ':' : '.';
  }
  at = std::to_chars(at, end, port).ptr;
  return std::string_view(text, static_cast<size_t>(at - text));
}

// "http://a.b.c.d:port" of an address and port. An answer's URLs use one address and two
// or three ports, so the last few texts made are kept.
std::string_view HostPrefix(uint32_t address, int port) {
  struct Prefix {
    uint32_t address = 0;
    int port = -1;
    size_t length = 0;
    char text[40];
  };
  thread_local Prefix kept[4];
  thread_local size_t next = 0;
  for (const Prefix& prefix : kept) {
    if (prefix.port == port && prefix.address == address)
      return std::string_view(prefix.text, prefix.length);
  }
  Prefix& made = kept[next];
  next = (next + 1) % std::size(kept);
  char host[32];
  std::string_view hostAndPort = HostAndPortText(address, port, host);
  std::memcpy(made.text, "http://", 7);
  std::memcpy(made.text + 7, hostAndPort.data(), hostAndPort.size());
  made.length = 7 + hostAndPort.size();
  made.address = address;
  made.port = port;
  return std::string_view(made.text, made.length);
}

// The item's URL on one address and port: "http://", host and port, then `urlPath` (its
// path part, or the folder part of it for a file beside the item) and `tail`, written in
// one go into *url.
void WriteUrl(std::string_view urlPath, uint32_t address, int port, std::string_view tail,
              std::string* url) {
  std::string_view prefix = HostPrefix(address, port);
  url->clear();
  url->reserve(prefix.size() + urlPath.size() + tail.size());
  url->append(prefix);
  url->append(urlPath);
  url->append(tail);
}

// As WriteUrl, for the file `name` in the item's folder.
void WriteSiblingUrl(std::string_view urlPath, uint32_t address, int port, std::string_view name,
                     std::string* url) {
  std::string_view folder = urlPath.substr(0, urlPath.rfind('/') + 1);
  WriteUrl(folder, address, port, {}, url);
  FLibUrl_EscapeAppend(url, name);
}

// What an item's resources share on every address: the protocolInfo texts and whether a
// client that cannot play the file gets the encoder's output.
struct ItemProtocols {
  std::string first;
  std::string second;
  bool transcoded = false;
};

// The texts of `facts` and `protocols` are copied for every address but the last, which
// takes them.
void AddItemResources(IccResourceContext* context, const MediaRecord& record,
                      std::string_view urlPath, uint32_t address, int webPort, int streamPort,
                      bool lastAddress, ItemFacts& facts, ItemProtocols& protocols,
                      CdsMediaObject* object) {
  auto take = [lastAddress](std::string& text) {
    return lastAddress ? std::move(text) : std::string(text);
  };
  bool mkv = platform::EndsWithNoCase(record.VirtualName, "mkv");
  bool internet = facts.internet != 0;

  // First: as the file is, on the port of the server that sends it best.
  int firstPort = internet || facts.discMember ? streamPort
                  : facts.media                ? (mkv ? context->mkvPort : streamPort)
                                               : webPort;
  CdsMediaResource& first = object->resources.emplace_back();
  WriteUrl(urlPath, address, firstPort, internet ? "&TC&POWER" : "", &first.uri);
  first.protocolInfo = protocols.first;
  FillSizes(record, facts, internet, &first);

  // Second: what a client that cannot play the file gets (the encoder's output when the
  // file is transcoded). A file served as it is is described as the first resource
  // describes it.
  int secondPort = internet || facts.media || facts.discMember ? streamPort : webPort;
  bool transcoded = protocols.transcoded;
  CdsMediaResource& second = object->resources.emplace_back();
  second.protocolInfo = take(transcoded ? protocols.second : protocols.first);
  WriteUrl(urlPath, address, transcoded ? webPort : secondPort,
           internet || transcoded ? "&TC&POWER" : "&TC", &second.uri);
  FillSizes(record, facts, internet || transcoded, &second);
  int secondUrlPort = transcoded ? webPort : secondPort;

  // Cover: the album picture beside the song, through the same server.
  if (facts.coverSize >= 0) {
    CdsMediaResource& cover = object->resources.emplace_back();
    WriteSiblingUrl(urlPath, address, secondUrlPort, record.CDCover, &cover.uri);
    cover.protocolInfo = take(facts.coverProtocolInfo);
    cover.size = facts.coverSize;
  }

  // Subtitle: the file beside the video, through the server that sends the video.
  if (facts.subtitleSize >= 0) {
    CdsMediaResource& subtitle = object->resources.emplace_back();
    WriteSiblingUrl(urlPath, address, streamPort, record.Subtitle, &subtitle.uri);
    subtitle.protocolInfo.reserve(13 + facts.subtitleMime.size());
    subtitle.protocolInfo.append("http-get:*:");
    subtitle.protocolInfo.append(facts.subtitleMime);
    subtitle.protocolInfo.append(":*");
    subtitle.size = facts.subtitleSize;
    if (object->captionUri.empty()) {
      object->captionUri = subtitle.uri;
      object->captionType = media::Subtitle_Type(record.Subtitle);
    }
  }

  // Album art: the small JPEG made for the item, through the web server that sends the
  // pictures' thumbnails. One URL, on the first address, as clients show one picture.
  if (facts.albumArt && object->albumArtUri.empty())
    WriteSiblingUrl(urlPath, address, webPort, record.AlbumArt, &object->albumArtUri);
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
  return std::string(HostAndPortText(address, port, text));
}

void Icc_AddResources(IccResourceContext* context, const MslRequest& request,
                      const MediaRecord& record, CdsFilter mask, CdsMediaObject* object) {
  const uint32_t* addresses = request.addresses.data();
  size_t addressCount = request.addresses.size();
  if (addressCount == 0) {
    addresses = &request.localAddress;
    addressCount = 1;
  }
  if ((mask & kFilterAllIp) == 0) addressCount = 1;
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
    // One path part serves every port and address the item is offered on; the provider
    // may reject the name path, and then no resource is offered. The part is built in a
    // buffer the chain keeps, as every item of an answer needs one.
    thread_local std::string urlPath;
    RP_BuildResourcePath(context->provider, record.VirtualName, -1, kResourceDirectory, &urlPath);
    if (urlPath.empty()) return;
    ItemProtocols protocols;
    std::string_view extension = platform::PathExtension(record.VirtualName);
    if (facts.internet != 0) {
      protocols.first = MediaType_BuildStreamProtocolInfo(record.FilePath, facts.internet);
    } else {
      protocols.first = MediaType_BuildProtocolInfo(record.FilePath, extension, false);
      protocols.transcoded = Transcode_NeedsTranscode(record.FilePath) == 1;
      if (protocols.transcoded)
        protocols.second = MediaType_BuildProtocolInfo(record.FilePath, extension, true);
    }
    size_t perAddress = 2 + (facts.coverSize >= 0 ? 1 : 0) + (facts.subtitleSize >= 0 ? 1 : 0);
    object->resources.reserve(object->resources.size() + perAddress * addressCount);
    for (size_t i = 0; i < addressCount; ++i)
      AddItemResources(context, record, urlPath, addresses[i], webPort, streamPort,
                       i + 1 == addressCount, facts, protocols, object);
    return;
  }
  if (!IsDiscContainer(record)) return;
  std::vector<MediaRecord> files = DiscVideoFiles(record);
  if (files.empty()) return;
  int streamPort = StreamPort(context, webPort);
  for (size_t i = 0; i < addressCount; ++i)
    AddDiscResources(context, files, addresses[i], streamPort, object);
}
