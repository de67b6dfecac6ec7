#include "streamserver/stream_media.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <mutex>
#include <vector>

#include "cds/protocol_info.h"
#include "gui/transfer_status.h"
#include "library/library.h"
#include "library/statements.h"
#include "media/media_type.h"
#include "media/subtitle.h"
#include "platform/page_buffer.h"
#include "platform/path.h"
#include "platform/text.h"
#include "platform/unique_fd.h"
#include "streamserver/dir_index.h"
#include "streamserver/stream_ranges.h"
#include "streamserver/stream_response.h"
#include "streamserver/stream_server.h"
#include "streamserver/stream_text.h"
#include "upnp/escape.h"

namespace {

constexpr const char* kAllowedMethods = "GET, HEAD";
constexpr std::string_view kPictureExtensions[] = {"jpg", "jpeg", "bmp", "png"};
constexpr std::string_view kInternetPrefixes[] = {"http", "mms", "mmsh", "rtsp"};
constexpr std::string_view kTransferModes[] = {"Streaming", "Interactive", "Background"};
constexpr std::string_view kOffsetMarker = "/%offset%";
// The first characters of a URL path ("/0/___/") are not examined.
constexpr size_t kIndexPosition = 7;

std::mutex g_relayLock;
StreamRelay g_relay;

// What is sent from one open file: `length` bytes from `base`.
struct Source {
  int Fd = -1;
  int64_t Base = 0;
  int64_t Length = 0;
  time_t Modified = 0;
  std::string Type;
  std::string TransferPath;
  std::string ProtocolInfo;  // as the content directory announces this file
};

bool IsPicture(std::string_view extension) {
  for (std::string_view p : kPictureExtensions) {
    if (platform::AsciiEqualsNoCase(extension, p)) return true;
  }
  return false;
}

std::string_view LastSegment(std::string_view uri) {
  size_t slash = uri.rfind('/');
  return slash == std::string_view::npos ? uri : uri.substr(slash + 1);
}

// A record's text fields are capped copies; a path that filled its field may have been
// cut, and a cut path could name another file. Such a path is used only when the library
// holds it exactly.
bool PathIsWhole(const MediaRecord& record) {
  if (record.FilePath.size() + 4 < kRecordPathField) return true;
  return db_getCount(sql::ByPath(record.FilePath)) > 0;
}

bool Fail(StreamRequest* request, int status) {
  StreamResponse_SendError(request, status);
  return true;
}

// Sends one span of the source through `buffer`. A client that stops reading ends the
// transfer at the send time-out.
bool SendSpan(StreamRequest* request, const Source& source, const StreamByteSpan& span,
              const platform::PageBuffer& buffer, uint64_t* sent) {
  int64_t offset = source.Base + span.First;
  int64_t remaining = span.Length;
  TransferProgress progress(request->Uri, StreamRequest_PeerText(*request));
  while (remaining > 0) {
    size_t want =
        static_cast<size_t>(std::min<int64_t>(remaining, static_cast<int64_t>(buffer.Size())));
    ssize_t n = ::pread(source.Fd, buffer.Data(), want, static_cast<off_t>(offset));
    if (n < 0 && errno == EINTR) continue;
    // Nothing more to read means the file shrank under us: the promised length cannot be
    // kept, so the connection ends.
    if (n <= 0) {
      request->WriteFailed = true;
      return false;
    }
    if (!StreamResponse_Write(request, std::string_view(buffer.Data(), static_cast<size_t>(n)))) {
      return false;
    }
    offset += n;
    remaining -= n;
    *sent += static_cast<uint64_t>(n);
    progress.Sent(*sent);
  }
  return true;
}

std::string ContentRange(const StreamByteSpan& span, int64_t length) {
  char text[96];
  std::snprintf(text, sizeof text, "bytes %lld-%lld/%lld", static_cast<long long>(span.First),
                static_cast<long long>(span.First + span.Length - 1),
                static_cast<long long>(length));
  return text;
}

std::string PartHeader(const Source& source, const StreamByteSpan& span) {
  return std::string("--") + stream_limits::kMultipartBoundary +
         "\r\nContent-type: " + source.Type +
         "\r\nContent-range: " + ContentRange(span, source.Length) +
         "\r\nContent-length: " + std::to_string(span.Length) + "\r\n\r\n";
}

std::string MultipartEnd() {
  return std::string("--") + stream_limits::kMultipartBoundary + "--\r\n";
}

// The protocolInfo the content directory gives a local file.
std::string FileProtocolInfo(const std::string& path) {
  return MediaType_BuildProtocolInfo(path, platform::PathExtension(path), false);
}

bool Asked(const StreamRequest& request, std::string_view name) {
  const std::string* value = StreamRequest_HeaderValue(request, name);
  return value != nullptr && stream_text::TrimBlanks(*value) == "1";
}

// "http://address:port" of the socket the request came in on; empty when unknown.
std::string LocalOrigin(int fd) {
  sockaddr_in local{};
  socklen_t size = sizeof local;
  if (fd < 0 || ::getsockname(fd, reinterpret_cast<sockaddr*>(&local), &size) != 0 ||
      local.sin_family != AF_INET) {
    return {};
  }
  char address[INET_ADDRSTRLEN];
  if (::inet_ntop(AF_INET, &local.sin_addr, address, sizeof address) == nullptr) return {};
  return std::string("http://") + address + ":" + std::to_string(ntohs(local.sin_port));
}

// TVs that show subtitles ask, with the video, where its subtitle is and how long the
// video plays; others ask nothing and get neither field.
void AddCaptionFields(StreamRequest* request) {
  if (!request->HasRecord || request->Source != request->Record.FilePath) return;
  const MediaRecord& record = request->Record;
  if (Asked(*request, "getcaptioninfo.sec")) {
    std::string subtitle = SubtitlePath(record);
    std::string origin = LocalOrigin(request->Fd);
    size_t slash = request->Uri.rfind('/');
    struct stat st = {};
    if (!subtitle.empty() && !origin.empty() && slash != std::string::npos &&
        ::stat(subtitle.c_str(), &st) == 0 && S_ISREG(st.st_mode)) {
      StreamResponse_AddField(request, "CaptionInfo.sec",
                              origin + FLibUrl_Escape(request->Uri.substr(0, slash + 1)) +
                                  FLibUrl_Escape(record.Subtitle));
    }
  }
  if (Asked(*request, "getmediainfo.sec") && record.Duration > 0) {
    StreamResponse_AddField(
        request, "MediaInfo.sec",
        "SEC_Duration=" + std::to_string(int64_t{record.Duration} * 1000) + ";");
  }
}

// The whole source, one range, or several as multipart/byteranges; 304 when the client's
// copy is current, 416 when no range asked for holds a byte of it. Returns 0 when the
// connection must end.
int ServeSource(StreamRequest* request, const Source& source) {
  if (StreamRequest_NotModifiedSince(*request, source.Modified)) {
    StreamResponse_SetStatus(request, 304);
    return StreamResponse_WriteHeader(request) ? 1 : 0;
  }
  if (StreamRanges_Unsatisfiable(request->Ranges, source.Length)) {
    StreamResponse_AddField(request, "Content-Range", "bytes */" + std::to_string(source.Length));
    return Fail(request, 416);
  }
  std::vector<StreamByteSpan> spans = StreamRanges_Resolve(request->Ranges, source.Length);
  uint64_t bodyBytes = 0;
  for (const StreamByteSpan& span : spans) bodyBytes += static_cast<uint64_t>(span.Length);
  if (spans.empty()) bodyBytes = static_cast<uint64_t>(source.Length);
  // Taken before the head goes out, so that a server out of memory can still say so.
  platform::PageBuffer buffer;
  if (request->Method != kStreamMethodHead &&
      !buffer.Allocate(std::min<uint64_t>(bodyBytes, stream_limits::kFileBufferBytes))) {
    return Fail(request, 503);
  }
  uint64_t total = 0;
  if (spans.size() > 1) {
    // Each part is its delimiter line and part header, its bytes and the CR LF that
    // precedes the next delimiter; the closing delimiter ends the body.
    for (const StreamByteSpan& span : spans) {
      total += PartHeader(source, span).size() + static_cast<uint64_t>(span.Length) + 2;
    }
    total += MultipartEnd().size();
    StreamResponse_SetStatus(request, 206);
    StreamResponse_SetContentType(request, stream_limits::kMultipartType);
  } else if (spans.size() == 1) {
    total = static_cast<uint64_t>(spans[0].Length);
    StreamResponse_SetStatus(request, 206);
    StreamResponse_SetContentType(request, source.Type);
    StreamResponse_AddField(request, "Content-range", ContentRange(spans[0], source.Length));
  } else {
    total = static_cast<uint64_t>(source.Length);
    StreamResponse_SetStatus(request, 200);
    StreamResponse_SetContentType(request, source.Type);
  }
  StreamResponse_SetContentLength(request, total);
  StreamResponse_AddField(request, "Accept-Ranges", "bytes");
  StreamResponse_AddField(request, "Last-Modified", StreamDate_Format(source.Modified));
  StreamMedia_AddDlnaFields(request, source.Type, source.ProtocolInfo);
  AddCaptionFields(request);
  if (!StreamResponse_WriteHeader(request)) return 0;
  if (request->Method == kStreamMethodHead) return 1;

  ScopedTransfer transfer(source.TransferPath, StreamRequest_PeerText(*request), bodyBytes,
                          request->Uri);

  uint64_t sent = 0;
  if (spans.size() <= 1) {
    StreamByteSpan span = spans.empty() ? StreamByteSpan{0, source.Length} : spans[0];
    return SendSpan(request, source, span, buffer, &sent) ? 1 : 0;
  }
  for (const StreamByteSpan& span : spans) {
    if (!StreamResponse_Write(request, PartHeader(source, span))) return 0;
    if (!SendSpan(request, source, span, buffer, &sent)) return 0;
    if (!StreamResponse_Write(request, "\r\n")) return 0;
  }
  return StreamResponse_Write(request, MultipartEnd()) ? 1 : 0;
}

std::string TypeOrOctetStream(const StreamRequest& request, std::string_view path) {
  std::string type = request.Server ? request.Server->Mime.TypeOfPath(path) : "";
  return type.empty() ? kOctetStreamType : type;
}

int ServeDiscMember(StreamRequest* request) {
  std::string image;
  int64_t offset = 0;
  const MediaRecord& record = request->Record;
  if (!PathIsWhole(record) || !StreamMedia_SplitDiscPath(record.FilePath, &image, &offset)) {
    return Fail(request, 404);
  }
  platform::UniqueFd fd(::open(image.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK));
  struct stat st = {};
  if (!fd.Valid() || ::fstat(fd.Get(), &st) != 0 || !S_ISREG(st.st_mode)) return Fail(request, 404);
  // A member that would reach past the end of the image (a cut or replaced image) cannot
  // be sent whole.
  if (record.FileSize < 0 || offset > st.st_size || record.FileSize > st.st_size - offset) {
    return Fail(request, 404);
  }
  Source source;
  source.Fd = fd.Get();
  source.Base = offset;
  source.Length = record.FileSize;
  source.Modified = st.st_mtime;
  source.Type = TypeOrOctetStream(*request, record.FilePath);
  source.TransferPath = record.FilePath;
  source.ProtocolInfo = FileProtocolInfo(record.FilePath);
  return ServeSource(request, source);
}

int ServeFolder(StreamRequest* request, const std::string& folder) {
  if (!StreamMedia_IsInSharedFolder(folder)) return Fail(request, 404);
  if (request->Uri.empty() || request->Uri.back() != '/') {
    StreamResponse_SetStatus(request, 302);
    StreamResponse_AddField(request, "Location", StreamResponse_EscapePath(request->Uri + "/"));
    StreamResponse_SetContentLength(request, 0);
    return StreamResponse_WriteHeader(request) ? 1 : 0;
  }
  const StreamServer* server = request->Server;
  if (server != nullptr) {
    for (const std::string& name : server->DefaultFiles) {
      std::string candidate = folder + "/" + name;
      struct stat st = {};
      if (::stat(candidate.c_str(), &st) == 0 && S_ISREG(st.st_mode)) {
        request->Source = candidate;
        return StreamMedia_DefaultHandler(request);
      }
    }
  }
  return StreamDirIndex_Send(request, folder) ? 1 : 0;
}

int ServePlainFile(StreamRequest* request) {
  const std::string& path = request->Source;
  struct stat st = {};
  if (::stat(path.c_str(), &st) != 0) return Fail(request, 404);
  if (S_ISDIR(st.st_mode)) return ServeFolder(request, path);
  // Devices and pipes are never media; opening one could block or read forever.
  if (!S_ISREG(st.st_mode)) return Fail(request, 404);
  platform::UniqueFd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK));
  if (!fd.Valid() || ::fstat(fd.Get(), &st) != 0 || !S_ISREG(st.st_mode)) return Fail(request, 404);
  Source source;
  source.Fd = fd.Get();
  source.Length = st.st_size;
  source.Modified = st.st_mtime;
  source.Type = request->Server ? request->Server->Mime.TypeOfPath(path) : "";
  if (source.Type.empty()) {
    char head[stream_limits::kSniffBytes];
    ssize_t n = ::pread(fd.Get(), head, sizeof head, 0);
    bool text = n > 0 && MimeTable_LooksLikeText(std::string_view(head, static_cast<size_t>(n)));
    source.Type = text ? "text/plain" : kOctetStreamType;
  }
  source.TransferPath = path;
  source.ProtocolInfo = FileProtocolInfo(path);
  if (request->HasRecord && !request->Record.Subtitle.empty() &&
      path == SubtitlePath(request->Record)) {
    // The subtitle's text is sent as it is, under the type its resource announces.
    source.Type = std::string(media::Subtitle_Mime(path));
    source.ProtocolInfo = "http-get:*:" + source.Type + ":*";
  }
  return ServeSource(request, source);
}

int Relay(StreamRequest* request) {
  StreamRelay relay;
  {
    std::lock_guard<std::mutex> lock(g_relayLock);
    relay = g_relay;
  }
  if (!relay) return Fail(request, 502);
  return relay(request);
}

bool HasDotSegment(std::string_view path) {
  size_t start = 0;
  while (start <= path.size()) {
    size_t end = path.find('/', start);
    if (end == std::string_view::npos) end = path.size();
    std::string_view segment = path.substr(start, end - start);
    if (segment == "." || segment == "..") return true;
    start = end + 1;
  }
  return false;
}

}  // namespace

void StreamServer_SetRelay(StreamRelay relay) {
  std::lock_guard<std::mutex> lock(g_relayLock);
  g_relay = std::move(relay);
}

void StreamMedia_AddDlnaFields(StreamRequest* request, std::string_view type,
                               std::string_view protocolInfo) {
  std::string_view mode = type.starts_with("image/") ? "Interactive" : "Streaming";
  if (const std::string* asked = StreamRequest_HeaderValue(*request, "transfermode.dlna.org")) {
    std::string_view value = stream_text::TrimBlanks(*asked);
    for (std::string_view valid : kTransferModes) {
      if (platform::AsciiEqualsNoCase(value, valid)) mode = valid;
    }
  }
  StreamResponse_AddField(request, "transferMode.dlna.org", mode);
  const std::string* features = StreamRequest_HeaderValue(*request, "getcontentfeatures.dlna.org");
  if (features == nullptr || stream_text::TrimBlanks(*features) != "1") return;
  // The fourth field follows the third ":" ("http-get:*:audio/mpeg:DLNA.ORG_PN=MP3...").
  size_t at = 0;
  for (int colon = 0; colon < 3 && at != std::string_view::npos; ++colon) {
    at = protocolInfo.find(':', at);
    if (at != std::string_view::npos) ++at;
  }
  if (at != std::string_view::npos) {
    StreamResponse_AddField(request, "contentFeatures.dlna.org", protocolInfo.substr(at));
  }
}

bool StreamMedia_IsInternetSource(std::string_view source) {
  for (std::string_view prefix : kInternetPrefixes) {
    if (source.size() >= prefix.size() &&
        platform::AsciiEqualsNoCase(source.substr(0, prefix.size()), prefix)) {
      return true;
    }
  }
  return false;
}

bool StreamMedia_SplitDiscPath(std::string_view path, std::string* image, int64_t* offset) {
  size_t marker = path.rfind(kOffsetMarker);
  if (marker == std::string_view::npos) return false;
  std::string_view imagePath = path.substr(0, marker);
  constexpr std::string_view kIso = ".iso";
  if (imagePath.size() <= kIso.size() ||
      !platform::AsciiEqualsNoCase(imagePath.substr(imagePath.size() - kIso.size()), kIso)) {
    return false;
  }
  std::string_view rest = path.substr(marker + kOffsetMarker.size());
  size_t slash = rest.find('/');
  if (slash == std::string_view::npos) return false;
  if (!stream_text::ParseDecimal(rest.substr(0, slash), offset)) return false;
  *image = std::string(imagePath);
  return true;
}

bool StreamMedia_IsInSharedFolder(std::string_view path) {
  if (path.empty() || path.front() != '/' || HasDotSegment(path)) return false;
  bool ok = false;
  for (const SharedFolderRecord& shared : db_listSharedFolders(&ok)) {
    std::string_view root = platform::WithoutTrailingSlashes(shared.DirPath);
    if (root.empty() || root.front() != '/' || HasDotSegment(root)) continue;
    if (root == "/" || path == root) return true;
    if (path.size() > root.size() && path.substr(0, root.size()) == root &&
        path[root.size()] == '/') {
      return true;
    }
  }
  return false;
}

void StreamMedia_Rewrite(StreamRequest* request) {
  request->HasRecord = false;
  request->Record = MediaRecord();
  request->MediaKind.clear();
  request->Source.clear();
  const std::string& uri = request->Uri;
  // The content directory never writes "." or ".." segments; a URL with them is someone
  // probing for files and names no object.
  if (uri.size() <= kIndexPosition || HasDotSegment(uri)) return;
  std::string_view rest = std::string_view(uri).substr(kIndexPosition);
  std::string_view indexText = rest.substr(0, rest.find('/'));
  int64_t index = 0;
  if (!stream_text::ParseDecimal(indexText, &index) || index > INT32_MAX) return;
  MediaRecord record;
  if (db_getOneRecord(sql::ObjectByIndex(static_cast<int32_t>(index)), &record) < 1) return;
  request->HasRecord = true;
  request->MediaKind = record.FileType;
  request->Source = PathIsWhole(record) ? record.FilePath : "";
  request->Record = std::move(record);

  std::string_view name = LastSegment(uri);
  if (!request->Source.empty() && !request->Record.Subtitle.empty() &&
      name == request->Record.Subtitle) {
    request->Source = SubtitlePath(request->Record);
    return;
  }
  if (!IsPicture(MimeTable_Extension(name))) return;
  const std::string& path = request->Record.FilePath;
  size_t slash = path.rfind('/');
  std::string sibling =
      slash == std::string::npos ? std::string() : path.substr(0, slash + 1) + std::string(name);
  // Only a picture the library knows of: the object's cover, or an object of its own.
  bool known =
      !sibling.empty() && !request->Source.empty() &&
      (sibling == path || name == request->Record.CDCover || db_getCount(sql::ByPath(sibling)) > 0);
  request->Source = known ? sibling : "";
}

int StreamMedia_DefaultHandler(StreamRequest* request) {
  if (request->Method == kStreamMethodOptions) {
    StreamResponse_AddField(request, "Allow", kAllowedMethods);
    StreamResponse_SetContentLength(request, 0);
    StreamResponse_SetStatus(request, 200);
    return StreamResponse_WriteHeader(request) ? 1 : 0;
  }
  if (request->Method != kStreamMethodGet && request->Method != kStreamMethodHead) {
    StreamResponse_AddField(request, "Allow", kAllowedMethods);
    return Fail(request, 405);
  }
  if (!request->HasRecord) return Fail(request, 404);
  if ((request->Record.Flags & kFlagDiscImage) != 0) return ServeDiscMember(request);
  if (request->Source.empty()) return Fail(request, 404);
  if (StreamMedia_IsInternetSource(request->Source)) return Relay(request);
  return ServePlainFile(request);
}

void StreamMedia_Install(StreamServer* server) {
  server->Rewriter = StreamMedia_Rewrite;
  StreamServer_SetDefaultHandler(server, StreamMedia_DefaultHandler);
}
