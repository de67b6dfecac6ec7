#include "streamserver/stream_relay.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <limits>
#include <mutex>
#include <vector>

#include "cds/protocol_info.h"
#include "controlpoint/http_fetch.h"
#include "gui/transfer_status.h"
#include "internet/youtube_feeds.h"
#include "media/media_type.h"
#include "platform/app_directory.h"
#include "platform/log.h"
#include "platform/text.h"
#include "platform/unique_fd.h"
#include "streamserver/stream_limits.h"
#include "streamserver/stream_media.h"
#include "streamserver/stream_response.h"
#include "streamserver/stream_server.h"
#include "transcode/transcode_session.h"

namespace {

namespace sl = stream_limits;

// The pseudo types that choose the encoder's mode.
constexpr const char* kAudioEncoderMime = "force_audio_transcode";
constexpr const char* kVideoEncoderMime = "video/x-ms-wmv";

constexpr const char* kProviderStreamType = "video/mpeg";
constexpr const char* kAudioStreamType = "audio/mpeg";
constexpr const char* kVideoStreamType = "video/x-ms-avi";

constexpr std::string_view kYouTubeName = "youtube";
// Where the site name stands in "http://youtube..." and "http://www.youtube...".
constexpr size_t kYouTubeNamePositions[] = {7, 11};
constexpr std::string_view kWatchPath = "/watch?v=";
constexpr std::string_view kSwfArgs = "var swfArgs";
constexpr std::string_view kVideoIdKey = "\"video_id\"";
constexpr std::string_view kTimeKey = "\"t\"";
constexpr std::string_view kGetVideoPath = "/get_video?video_id=";

constexpr uint64_t kUnbounded = std::numeric_limits<uint64_t>::max();

// Several connections may fetch pages at once; the log file holds the last one whole.
std::mutex g_pageLogLock;

bool StartsWithNoCase(std::string_view text, std::string_view prefix) {
  return text.size() >= prefix.size() &&
         platform::AsciiEqualsNoCase(text.substr(0, prefix.size()), prefix);
}

// ---- Reading the watch page ----

bool IsPageBlank(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; }

size_t SkipBlanks(std::string_view page, size_t pos) {
  while (pos < page.size() && IsPageBlank(page[pos])) ++pos;
  return pos;
}

bool IsUsableValue(std::string_view value) {
  if (value.empty() || value.size() > sl::kYouTubeValueMax) return false;
  return std::none_of(value.begin(), value.end(),
                      [](char c) { return static_cast<unsigned char>(c) < 0x20; });
}

// Reads the value of a member whose key ends just before `pos`: blanks, ":", blanks, then
// a quoted text up to its closing quote or a bare value up to the next "," or "}".
// *next is the position after the value.
bool ReadMemberValue(std::string_view page, size_t pos, std::string_view* value, size_t* next) {
  pos = SkipBlanks(page, pos);
  if (pos >= page.size() || page[pos] != ':') return false;
  pos = SkipBlanks(page, pos + 1);
  if (pos >= page.size()) return false;
  if (page[pos] == '"') {
    size_t close = page.find('"', pos + 1);
    if (close == std::string_view::npos) return false;
    *value = page.substr(pos + 1, close - pos - 1);
    *next = close + 1;
  } else {
    size_t end = page.find_first_of(",}", pos);
    if (end == std::string_view::npos) return false;
    std::string_view bare = page.substr(pos, end - pos);
    while (!bare.empty() && IsPageBlank(bare.back())) bare.remove_suffix(1);
    *value = bare;
    *next = end;
  }
  return IsUsableValue(*value);
}

// The member that follows the one ending at `pos`: ",", its quoted key, its value.
bool ReadNextMemberValue(std::string_view page, size_t pos, std::string_view* value, size_t* next) {
  pos = SkipBlanks(page, pos);
  if (pos >= page.size() || page[pos] != ',') return false;
  pos = SkipBlanks(page, pos + 1);
  if (pos >= page.size() || page[pos] != '"') return false;
  size_t keyEnd = page.find('"', pos + 1);
  if (keyEnd == std::string_view::npos) return false;
  return ReadMemberValue(page, keyEnd + 1, value, next);
}

// Values go into a query string and then onto the encoder's command line: anything that
// could end the address, start another parameter or break the quoting is escaped. An
// escape already in the page ("%3D") passes as it is.
void AppendQueryValue(std::string_view value, std::string* out) {
  static constexpr char kHex[] = "0123456789ABCDEF";
  for (char c : value) {
    unsigned char u = static_cast<unsigned char>(c);
    bool keep = (u >= 'A' && u <= 'Z') || (u >= 'a' && u <= 'z') || (u >= '0' && u <= '9') ||
                std::string_view("-._~%+=/:").find(c) != std::string_view::npos;
    if (keep) {
      out->push_back(c);
    } else {
      out->push_back('%');
      out->push_back(kHex[u >> 4]);
      out->push_back(kHex[u & 0x0F]);
    }
  }
}

// The last fetched page goes to "log.txt" in the program directory, when it can be
// written there.
void KeepPage(std::string_view page) {
  if (platform::AppDirectory().empty()) return;
  std::lock_guard<std::mutex> lock(g_pageLogLock);
  platform::UniqueFd fd(::open(platform::AppPath(sl::kYouTubePageLog).c_str(),
                               O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644));
  if (!fd.Valid()) return;
  while (!page.empty()) {
    ssize_t n = ::write(fd.Get(), page.data(), page.size());
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return;
    page.remove_prefix(static_cast<size_t>(n));
  }
}

// ---- Answering ----

// 200 without ranges, 206 for one range from byte 0, else 501. A range from 0 with a last
// byte limits the body to that many bytes.
int RelayStatus(const std::vector<StreamRange>& ranges, uint64_t* limit) {
  *limit = kUnbounded;
  if (ranges.empty()) return 200;
  const StreamRange& range = ranges.front();
  if (ranges.size() > 1 || !range.HasFirst || range.First != 0) return 501;
  if (range.HasLast) *limit = static_cast<uint64_t>(range.Last) + 1;
  return 206;
}

// The length of the stream is unknown: the body is chunked on a kept HTTP/1.1
// connection and ends with the connection otherwise. A 206 names its last byte only
// when the client gave one.
void PrepareHeader(StreamRequest* request, int status, std::string_view source, bool audio,
                   uint64_t limit) {
  StreamResponse_SetStatus(request, status);
  std::string type = StreamRelay_ContentType(source, audio);
  StreamResponse_SetContentType(request, type);
  // The content directory types the item by the kind it was added as.
  int kind = request->Record.InternetFlags;
  if (kind != kStreamVideo && kind != kStreamAudio) kind = audio ? kStreamAudio : kStreamVideo;
  StreamMedia_AddDlnaFields(request, type,
                            MediaType_BuildStreamProtocolInfo(request->Record.FilePath, kind));
  if (limit != kUnbounded) {
    StreamResponse_AddField(request, "Content-range",
                            "bytes 0-" + std::to_string(limit - 1) + "/*");
  }
  StreamResponse_SetChunked(request);
}

size_t PieceSize(uint64_t sent, uint64_t limit) {
  return static_cast<size_t>(std::min<uint64_t>(sl::kTransferBufferBytes, limit - sent));
}

// Copies the encoder's output until it ends, the limit is reached or a write fails.
// `first` bytes are already in `buffer`. False when a write failed.
bool CopyStream(StreamRequest* request, TranscodeSession* session, std::vector<uint8_t>* buffer,
                size_t first, uint64_t limit) {
  const std::string client = StreamRequest_PeerText(*request);
  ScopedTransfer transfer(request->Uri, client, 0, request->Uri);
  TransferProgress progress(request->Uri, client);
  uint64_t sent = 0;
  size_t n = first;
  while (n > 0) {
    std::string_view piece(reinterpret_cast<const char*>(buffer->data()), n);
    if (!StreamResponse_Write(request, piece)) return false;
    sent += n;
    progress.Sent(sent);
    if (sent >= limit) break;
    if (request->Server != nullptr && request->Server->Stopping.load(std::memory_order_acquire)) {
      break;
    }
    n = TranscodeRead(session, buffer->data(), PieceSize(sent, limit));
  }
  return true;
}

}  // namespace

void StreamRelay_Install() { StreamServer_SetRelay(StreamRelay_Serve); }

std::string StreamRelay_ContentType(std::string_view source, bool audio) {
  if (audio) return kAudioStreamType;
  const std::string prefix = Transcode_Config().providerRtspPrefix;
  if (!prefix.empty() && source.substr(0, prefix.size()) == prefix) return kProviderStreamType;
  return kVideoStreamType;
}

bool StreamRelay_IsYouTubePage(std::string_view source, std::string_view siteAddress) {
  // Only web addresses: a local path may hold "youtube" at the same places.
  if (!StartsWithNoCase(source, "http")) return false;
  for (size_t at : kYouTubeNamePositions) {
    if (source.size() >= at + kYouTubeName.size() &&
        platform::AsciiEqualsNoCase(source.substr(at, kYouTubeName.size()), kYouTubeName)) {
      return true;
    }
  }
  if (siteAddress.empty()) return false;
  std::string watch = std::string(siteAddress) + std::string(kWatchPath);
  return StartsWithNoCase(source, watch);
}

bool StreamRelay_ScrapeYouTubePage(std::string_view page, std::string_view siteAddress,
                                   std::string* videoAddress) {
  size_t args = page.find(kSwfArgs);
  if (args == std::string_view::npos) return false;
  size_t key = page.find(kVideoIdKey, args);
  if (key == std::string_view::npos) return false;
  std::string_view id;
  std::string_view length;
  std::string_view token;
  size_t next = 0;
  if (!ReadMemberValue(page, key + kVideoIdKey.size(), &id, &next)) return false;
  if (!ReadNextMemberValue(page, next, &length, &next)) return false;
  size_t timeKey = page.find(kTimeKey, next);
  if (timeKey == std::string_view::npos) return false;
  if (!ReadMemberValue(page, timeKey + kTimeKey.size(), &token, &next)) return false;

  std::string address = std::string(siteAddress) + std::string(kGetVideoPath);
  AppendQueryValue(id, &address);
  address += "&l=";
  AppendQueryValue(length, &address);
  address += "&t=";
  AppendQueryValue(token, &address);
  *videoAddress = std::move(address);
  return true;
}

std::string StreamRelay_ResolveYouTube(const std::string& pageAddress) {
  std::string page;
  if (FetchUrlFollowingRedirects(pageAddress, &page) != 0) {
    platform::Logf("Stream relay: cannot fetch the video page %s\n", pageAddress.c_str());
    return pageAddress;
  }
  KeepPage(page);
  std::string address;
  if (!StreamRelay_ScrapeYouTubePage(page, YouTube_SiteAddress(), &address)) return pageAddress;
  return address;
}

int StreamRelay_Serve(StreamRequest* request) {
  uint64_t limit = kUnbounded;
  int status = RelayStatus(request->Ranges, &limit);
  // A stream can only be sent from its start, and only as one part.
  if (status == 501) return StreamResponse_SendError(request, 501) ? 1 : 0;
  const bool audio = platform::AsciiEqualsNoCase(request->MediaKind, "Audio");
  // HEAD learns the type without an encoder (or a page fetch) being started for nothing.
  if (request->Method == kStreamMethodHead) {
    PrepareHeader(request, status, request->Source, audio, limit);
    return StreamResponse_WriteHeader(request) ? 1 : 0;
  }
  if (StreamRelay_IsYouTubePage(request->Source, YouTube_SiteAddress())) {
    request->Source = StreamRelay_ResolveYouTube(request->Source);
  }

  TranscodeSessionPtr session =
      TranscodeStart(request->Source, audio ? kAudioEncoderMime : kVideoEncoderMime);
  if (!session) {
    StreamResponse_SendError(request, 500);
    return 0;
  }
  // The status is only promised once the encoder has delivered something: a source that
  // cannot be reached is an error, not an empty stream.
  std::vector<uint8_t> buffer(sl::kTransferBufferBytes);
  size_t first = TranscodeRead(session.get(), buffer.data(), PieceSize(0, limit));
  if (first == 0) {
    platform::Logf("Stream relay: no data from %s\n", request->Source.c_str());
    TranscodeStop(std::move(session));
    return StreamResponse_SendError(request, 502) ? 1 : 0;
  }
  PrepareHeader(request, status, request->Source, audio, limit);
  bool ok = StreamResponse_WriteHeader(request) &&
            CopyStream(request, session.get(), &buffer, first, limit);
  TranscodeStop(std::move(session));
  return ok ? 1 : 0;
}
