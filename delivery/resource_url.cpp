#include "delivery/resource_url.h"

#include <algorithm>
#include <charconv>
#include <climits>

#include "library/library.h"
#include "library/statements.h"
#include "media/limits.h"
#include "media/thumbnail.h"
#include "platform/app_directory.h"
#include "platform/dir_walk.h"
#include "platform/file_info.h"
#include "platform/log.h"
#include "platform/path.h"
#include "platform/text.h"
#include "transcode/seek_index.h"
#include "upnp/escape.h"

namespace {

std::string Slashed(std::string_view path) {
  std::string out(path);
  std::replace(out.begin(), out.end(), '\\', '/');
  return out;
}

bool StartsWithNoCase(std::string_view text, std::string_view prefix) {
  return text.size() >= prefix.size() &&
         platform::AsciiEqualsNoCase(text.substr(0, prefix.size()), prefix);
}

bool IsSlash(char c) { return c == '/' || c == '\\'; }

char LowerAscii(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; }

// Whether `path`, read with every '\\' as '/', begins with `prefix` (case ignored).
bool StartsWithSlashedNoCase(std::string_view path, std::string_view prefix) {
  if (path.size() < prefix.size()) return false;
  for (size_t i = 0; i < prefix.size(); ++i) {
    char c = path[i] == '\\' ? '/' : path[i];
    if (LowerAscii(c) != LowerAscii(prefix[i])) return false;
  }
  return true;
}

bool IsDigit(char c) { return c >= '0' && c <= '9'; }
bool IsLetter(char c) { return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z'); }

// A non-negative decimal number made only of digits, with an overflow check.
bool ParseIndex(std::string_view text, int32_t* value) {
  if (text.empty() || text.size() > 10) return false;
  int64_t n = 0;
  for (char c : text) {
    if (!IsDigit(c)) return false;
    n = n * 10 + (c - '0');
  }
  if (n > INT32_MAX) return false;
  *value = static_cast<int32_t>(n);
  return true;
}

// The digits after `key` in a query, 0 when absent; capped so a long digit run cannot
// overflow and a huge box cannot be asked for.
int QueryNumber(std::string_view query, std::string_view key) {
  size_t at = query.find(key);
  if (at == std::string_view::npos) return 0;
  int value = 0;
  for (size_t i = at + key.size(); i < query.size() && IsDigit(query[i]); ++i) {
    value = std::min(value * 10 + (query[i] - '0'), kRpMaxThumbnailSide);
  }
  return value;
}

// The file a media record's URL names: the item's own file, or its album art, or the
// album picture or subtitle beside it when the URL asks for that by name. A fetch never
// changes the library, not even for a file that is gone (the answer is then 404): the
// scanner and the watcher keep the library, and a record that only looks stale (a member
// of a disc image has no file of its own) must not vanish because someone asked for it.
std::string RecordFile(const MediaRecord& record, std::string_view name) {
  std::string albumArt = AlbumArtPath(record);
  if (!albumArt.empty() && name == record.AlbumArt) return albumArt;
  std::string cover = CoverPath(record);
  if (!cover.empty() && name == record.CDCover) return cover;
  std::string subtitle = SubtitlePath(record);
  if (!subtitle.empty() && name == record.Subtitle) return subtitle;
  return record.FilePath;
}

// The seek index file of the record's file, when the index is current: the file must
// still have the size its record holds.
std::string SeekIndexFile(const MediaRecord& record) {
  MediaRecord byPath;
  if (db_getOneRecord(sql::ByPath(record.FilePath), &byPath) <= 0) return {};
  if (platform::FileSize64(byPath.FilePath) != byPath.FileSize) return {};
  std::string index = IndexFileName(byPath.MyIndex, byPath.FileName);
  return !index.empty() && platform::FileExists(index) ? index : std::string();
}

// The navigation file of a disc title set: "VTS_01_1.VOB" names the first "VTS_01_*.ifo"
// of its folder (case ignored, as the folders come from discs).
std::string NavigationFile(const std::string& path) {
  size_t underscore = path.rfind('_');
  if (underscore == std::string::npos) return {};
  std::string pattern = path.substr(0, underscore + 1);
  size_t slash = pattern.rfind('/');
  if (slash == std::string::npos) return {};
  std::string folder = pattern.substr(0, slash);
  std::string_view prefix = std::string_view(pattern).substr(slash + 1);
  for (const platform::DirEntry& entry :
       platform::ListDirectory(folder.empty() ? "/" : folder).entries) {
    if (entry.isDirectory) continue;
    std::string_view name = entry.name;
    if (StartsWithNoCase(name, prefix) && name.size() >= prefix.size() + 4 &&
        platform::AsciiEqualsNoCase(name.substr(name.size() - 4), ".ifo"))
      return entry.path;
  }
  return {};
}

std::string Thumbnail(const MediaRecord& record, const char* suffix, int width, int height) {
  std::string name = std::to_string(record.MyIndex) + suffix;
  MakeThumbnail(record.FilePath, name, width, height);
  std::string path = platform::AppPath("thumbnail/" + name);
  return platform::FileExists(path) ? path : std::string();
}

std::string ResolveMedia(const MediaRecord& record, std::string_view name,
                         std::string_view extension) {
  if (StartsWithNoCase(extension, ".hdx")) return SeekIndexFile(record);
  if (StartsWithNoCase(extension, ".ifo")) return NavigationFile(record.FilePath);
  return RecordFile(record, name);
}

std::string ResolveImage(const MediaRecord& record, std::string_view name,
                         std::string_view extension, int width, int height) {
  std::string albumArt = AlbumArtPath(record);
  if (!albumArt.empty() && name == record.AlbumArt) return albumArt;
  if (StartsWithNoCase(extension, ".bm") && width > 0)
    return Thumbnail(record, ".bmp", width, height > 0 ? height : width);
  // The picture's second resource carries the "&TC" mark of the content directory; it
  // is the same picture, so it must resolve like the first rather than answer 404.
  std::string_view plain = extension;
  if (platform::EndsWithNoCase(plain, "&TC")) plain.remove_suffix(3);
  if (!plain.empty() &&
      platform::AsciiEqualsNoCase(plain, platform::PathExtension(record.FilePath)))
    return record.FilePath;
  if (StartsWithNoCase(extension, ".tb"))
    return Thumbnail(record, ".tb", kRpThumbnailBox, kRpThumbnailBox);
  // Without a size the picture is drawn at its own size, up to the thumbnail limit.
  if (StartsWithNoCase(extension, ".bm"))
    return Thumbnail(record, ".bmp", media_limits::kThumbnailMaxSide,
                     media_limits::kThumbnailMaxSide);
  return {};
}

bool HasParentSegment(std::string_view path) {
  size_t start = 0;
  while (start <= path.size()) {
    size_t end = path.find('/', start);
    if (end == std::string_view::npos) end = path.size();
    if (path.substr(start, end - start) == "..") return true;
    start = end + 1;
  }
  return false;
}

// Decodes the path forms that need no record. Only paths under the web root qualify:
// "/___/" and "/__C/" would otherwise name any file of the machine.
std::string DecodeRootForm(ResourceProvider* provider, std::string_view path) {
  std::string result;
  if (path.substr(0, 3) == "/_/") {
    result = "./" + std::string(path.substr(3));
  } else if (path.size() > 1 && path[1] != '_') {
    size_t slash = path.find('/', 1);
    int32_t base = 0;
    if (slash == std::string_view::npos || !ParseIndex(path.substr(1, slash - 1), &base)) return {};
    std::lock_guard lock(provider->Lock);
    if (static_cast<size_t>(base) >= provider->BaseDirectories.size()) return {};
    result =
        provider->BaseDirectories[static_cast<size_t>(base)] + std::string(path.substr(slash + 1));
  } else {
    return {};
  }
  return HasParentSegment(result) ? std::string() : result;
}

}  // namespace

ResourceProvider* RP_Create(FLibChain* chain) {
  if (chain == nullptr) return nullptr;
  return FLibChain_AddModule(chain, std::make_unique<ResourceProvider>());
}

int RP_AddBaseDirectory(ResourceProvider* provider, std::string_view path) {
  if (provider == nullptr || path.empty()) return 0;
  std::string base = Slashed(path);
  if (base.back() != '/') base += '/';
  std::lock_guard lock(provider->Lock);
  if (provider->BaseDirectories.size() >= kRpMaxBaseDirectories) return 0;
  for (const std::string& known : provider->BaseDirectories) {
    if (platform::AsciiEqualsNoCase(known, base)) return 0;
  }
  provider->BaseDirectories.push_back(std::move(base));
  return 1;
}

int RP_BuildResourcePath(ResourceProvider* provider, std::string_view localPath, int baseHint,
                         std::string_view virtualDirectory, std::string* escaped) {
  escaped->clear();
  // The path is read as if every '\\' were '/', without a slashed copy of it: the URL
  // part is the escaped form prefix followed by the escaped slashed rest.
  char number[16];
  std::string_view prefix;
  std::string_view rest;
  bool found = false;
  {
    std::lock_guard lock(provider->Lock);
    const std::vector<std::string>& bases = provider->BaseDirectories;
    int base = -1;
    if (baseHint >= 0 && static_cast<size_t>(baseHint) < bases.size() &&
        StartsWithSlashedNoCase(localPath, bases[static_cast<size_t>(baseHint)]))
      base = baseHint;
    for (size_t i = 0; base < 0 && i < bases.size(); ++i) {
      if (bases[i].size() == localPath.size() && StartsWithSlashedNoCase(localPath, bases[i]))
        base = static_cast<int>(i);
    }
    if (base >= 0) {
      rest = localPath.substr(std::min(localPath.size(), bases[static_cast<size_t>(base)].size()));
      while (!rest.empty() && IsSlash(rest.front())) rest.remove_prefix(1);
      number[0] = '/';
      char* end = std::to_chars(number + 1, number + sizeof number - 1, base).ptr;
      *end++ = '/';
      prefix = std::string_view(number, static_cast<size_t>(end - number));
      found = true;
    }
  }
  if (!found) {
    if (localPath.size() >= 2 && localPath[0] == '.' && IsSlash(localPath[1])) {
      prefix = "/_/";
      rest = localPath.substr(2);
    } else if (localPath.size() >= 3 && IsLetter(localPath[0]) && localPath[1] == ':' &&
               IsSlash(localPath[2])) {
      number[0] = '/';
      number[1] = '_';
      number[2] = '_';
      number[3] = localPath[0];
      number[4] = '/';
      prefix = std::string_view(number, 5);
      rest = localPath.substr(3);
    } else if (!localPath.empty() && IsSlash(localPath[0])) {
      prefix = "/___/";
      rest = localPath.substr(1);
    } else {
      platform::Logf("WARNING: Application layer provided invalid localFilePath=%s\r\n",
                     Slashed(localPath).c_str());
      return 0;
    }
  }
  // Escaping goes byte by byte, so the parts of a URL may be escaped one by one.
  escaped->reserve(1 + 3 * (virtualDirectory.size() + prefix.size() + rest.size()));
  escaped->push_back('/');
  FLibUrl_EscapeAppend(escaped, virtualDirectory);
  FLibUrl_EscapeAppend(escaped, prefix);
  for (size_t backslash = rest.find('\\'); backslash != std::string_view::npos;
       backslash = rest.find('\\')) {
    FLibUrl_EscapeAppend(escaped, rest.substr(0, backslash));
    escaped->push_back('/');
    rest.remove_prefix(backslash + 1);
  }
  FLibUrl_EscapeAppend(escaped, rest);
  return 1;
}

void RP_JoinResourceUrl(std::string_view hostAndPort, std::string_view path, std::string* url) {
  url->clear();
  url->reserve(7 + 3 * hostAndPort.size() + path.size());
  url->append("http://");
  FLibUrl_EscapeAppend(url, hostAndPort);
  url->append(path);
}

int RP_BuildResourceUrl(ResourceProvider* provider, std::string_view localPath, int baseHint,
                        std::string_view hostAndPort, std::string_view virtualDirectory,
                        std::string* url) {
  url->clear();
  std::string path;
  if (RP_BuildResourcePath(provider, localPath, baseHint, virtualDirectory, &path) != 1) return 0;
  RP_JoinResourceUrl(hostAndPort, path, url);
  return 1;
}

size_t RP_GetLocalPathFromUrl(ResourceProvider* provider, std::string_view urlPath,
                              std::string* localPath, size_t bufferSize) {
  localPath->clear();
  if (provider == nullptr || urlPath.empty() || urlPath[0] != '/') return 0;

  // The query is cut first, so that an escaped "?" inside a name stays part of it; then
  // the path is unescaped once. Library paths are never unescaped: they are file names.
  int width = 0, height = 0;
  size_t question = urlPath.find('?');
  if (question != std::string_view::npos) {
    std::string_view query = urlPath.substr(question + 1);
    width = QueryNumber(query, "width=");
    height = QueryNumber(query, "height=");
    urlPath = urlPath.substr(0, question);
  }
  std::string path(urlPath);
  FLibUrl_UnescapeInPlace(&path);
  if (path.find('\0') != std::string::npos) return 0;

  std::string result;
  size_t lastSlash = path.rfind('/');
  size_t segmentStart = lastSlash == 0 ? 0 : path.rfind('/', lastSlash - 1);
  int32_t myIndex = 0;
  MediaRecord record;
  if (lastSlash > 0 && segmentStart != std::string::npos &&
      ParseIndex(std::string_view(path).substr(segmentStart + 1, lastSlash - segmentStart - 1),
                 &myIndex) &&
      db_getOneRecord(sql::ObjectByIndex(myIndex), &record) > 0) {
    std::string_view name = std::string_view(path).substr(lastSlash + 1);
    std::string_view extension = platform::PathExtension(name);
    result = platform::AsciiEqualsNoCase(record.FileType, "Image")
                 ? ResolveImage(record, name, extension, width, height)
                 : ResolveMedia(record, name, extension);
  } else {
    result = DecodeRootForm(provider, path);
  }
  if (result.size() >= bufferSize) return 0;
  *localPath = std::move(result);
  return localPath->size();
}
