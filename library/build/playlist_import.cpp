#include "library/build/playlist_import.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <filesystem>
#include <optional>

#include "library/build/container_tree.h"
#include "library/build/file_system_tree.h"
#include "library/build/scan_internal.h"
#include "library/build/scan_limits.h"
#include "library/build/scanner.h"
#include "library/library.h"
#include "library/statements.h"
#include "platform/codepage.h"
#include "platform/file_info.h"
#include "platform/log.h"
#include "platform/path.h"
#include "platform/text.h"
#include "platform/unique_fd.h"

namespace {

// Reads at most kPlaylistMaxBytes of a file. False when it cannot be opened.
bool ReadHead(const std::string& path, std::string* content) {
  platform::UniqueFd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK));
  if (!fd.Valid()) return false;
  struct stat st {};
  if (::fstat(fd.Get(), &st) != 0 || !S_ISREG(st.st_mode)) return false;
  content->clear();
  char buffer[65536];
  while (content->size() < scan_limits::kPlaylistMaxBytes) {
    ssize_t n = ::read(fd.Get(), buffer, sizeof buffer);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    size_t room = scan_limits::kPlaylistMaxBytes - content->size();
    content->append(buffer, std::min(static_cast<size_t>(n), room));
  }
  return true;
}

// Position of `needle` in `text` at or after `from`, ignoring ASCII case; npos if none.
size_t FindNoCase(std::string_view text, std::string_view needle, size_t from) {
  if (needle.empty() || text.size() < needle.size()) return std::string_view::npos;
  for (size_t i = from; i + needle.size() <= text.size(); ++i) {
    if (platform::AsciiEqualsNoCase(text.substr(i, needle.size()), needle)) return i;
  }
  return std::string_view::npos;
}

// The text between the next two double quotes at or after `from`; nothing when there
// are not two.
std::optional<std::string> QuotedAfter(std::string_view line, size_t from) {
  size_t open = line.find('"', from);
  if (open == std::string_view::npos) return std::nullopt;
  size_t close = line.find('"', open + 1);
  if (close == std::string_view::npos) return std::nullopt;
  return std::string(line.substr(open + 1, close - open - 1));
}

// The five predefined XML entities of ASX and WPL attribute values.
std::string DecodeXmlEntities(const std::string& text) {
  static const std::pair<const char*, char> kEntities[] = {
      {"&amp;", '&'}, {"&lt;", '<'}, {"&gt;", '>'}, {"&quot;", '"'}, {"&apos;", '\''}};
  std::string out;
  for (size_t i = 0; i < text.size();) {
    bool replaced = false;
    if (text[i] == '&') {
      for (const auto& [entity, c] : kEntities) {
        if (text.compare(i, std::char_traits<char>::length(entity), entity) == 0) {
          out.push_back(c);
          i += std::char_traits<char>::length(entity);
          replaced = true;
          break;
        }
      }
    }
    if (!replaced) out.push_back(text[i++]);
  }
  return out;
}

std::optional<std::string> EntryOfLine(std::string_view line, int kind) {
  switch (kind) {
    case kPlaylistM3u:
      if (line.empty() || line[0] == '#') return std::nullopt;
      return std::string(line);
    case kPlaylistPls: {
      if (line.size() < 4 || !platform::AsciiEqualsNoCase(line.substr(0, 4), "file")) {
        return std::nullopt;
      }
      size_t eq = line.find('=');
      if (eq == std::string_view::npos) return std::nullopt;
      return std::string(line.substr(eq + 1));
    }
    case kPlaylistAsx: {
      size_t href = FindNoCase(line, "href", 0);
      if (href == std::string_view::npos) return std::nullopt;
      auto value = QuotedAfter(line, href + 4);
      if (!value) return std::nullopt;
      return DecodeXmlEntities(*value);
    }
    case kPlaylistWpl: {
      size_t media = FindNoCase(line, "media", 0);
      if (media == std::string_view::npos) return std::nullopt;
      size_t src = FindNoCase(line, "src", media + 5);
      if (src == std::string_view::npos) return std::nullopt;
      auto value = QuotedAfter(line, src + 3);
      if (!value) return std::nullopt;
      return DecodeXmlEntities(*value);
    }
    default:
      return std::nullopt;
  }
}

std::string Trim(std::string_view text) {
  size_t begin = text.find_first_not_of(" \t\r\n");
  if (begin == std::string_view::npos) return std::string();
  size_t end = text.find_last_not_of(" \t\r\n");
  return std::string(text.substr(begin, end - begin + 1));
}

int HexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

std::string PercentDecode(std::string_view text) {
  std::string out;
  for (size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '%' && i + 2 < text.size()) {
      int hi = HexValue(text[i + 1]);
      int lo = HexValue(text[i + 2]);
      if (hi >= 0 && lo >= 0) {
        out.push_back(static_cast<char>(hi * 16 + lo));
        i += 2;
        continue;
      }
    }
    out.push_back(text[i]);
  }
  return out;
}

std::string Normalize(const std::string& path) {
  std::string normal = std::filesystem::path(path).lexically_normal().string();
  return std::string(platform::WithoutTrailingSlashes(normal));
}

}  // namespace

int Playlist_Kind(const std::string& path) {
  std::string ext = scan_detail::ExtensionLower(scan_detail::BaseName(path));
  if (ext == ".m3u") return kPlaylistM3u;
  if (ext == ".pls") return kPlaylistPls;
  if (ext == ".asx") return kPlaylistAsx;
  if (ext == ".wpl") return kPlaylistWpl;
  return 0;
}

std::vector<std::string> Playlist_ParseEntries(const std::string& content, int kind) {
  std::string text;
  bool wide = platform::DecodeUtf16WithBom(content, &text);
  if (!wide) {
    text = content;
    if (text.compare(0, 3, "\xEF\xBB\xBF") == 0) text.erase(0, 3);
  }
  std::vector<std::string> entries;
  size_t pos = 0;
  while (pos < text.size() && entries.size() < scan_limits::kPlaylistMaxEntries) {
    size_t end = text.find('\n', pos);
    if (end == std::string::npos) end = text.size();
    std::string_view raw(text.data() + pos, end - pos);
    if (!raw.empty() && raw.back() == '\r') raw.remove_suffix(1);
    // Each line on its own: a playlist put together from several sources may mix
    // UTF-8 lines with lines in the code page.
    std::string line = wide ? std::string(raw) : platform::Text8ToUtf8(raw);
    std::optional<std::string> entry = EntryOfLine(line, kind);
    if (entry) {
      std::string trimmed = Trim(*entry);
      if (!trimmed.empty()) entries.push_back(std::move(trimmed));
    }
    pos = end + 1;
  }
  return entries;
}

std::string Playlist_ResolveEntry(const std::string& entry, const std::string& playlistFolder) {
  std::string path = entry;
  if (path.size() >= 7 &&
      platform::AsciiEqualsNoCase(std::string_view(path).substr(0, 7), "file://")) {
    std::string rest = path.substr(7);
    // file:///path, or file://localhost/path.
    if (rest.rfind("localhost/", 0) == 0) rest.erase(0, 9);
    if (rest.empty() || rest[0] != '/') return std::string();
    path = PercentDecode(rest);
  } else if (path.find("://") != std::string::npos) {
    return std::string();  // a stream URL names no local file
  }
  if (path.empty() || path.find('\0') != std::string::npos) return std::string();
  if (path[0] != '/') path = playlistFolder + "/" + path;
  path = Normalize(path);
  // Playlists written on Windows separate folders with backslashes.
  if (!platform::FileExists(path) && path.find('\\') != std::string::npos) {
    std::string slashed = path;
    std::replace(slashed.begin(), slashed.end(), '\\', '/');
    slashed = Normalize(slashed);
    if (platform::FileExists(slashed)) return slashed;
  }
  return path;
}

void Playlist_Import(const std::string& playlistPath, const std::string& listPath,
                     int32_t playlistItem) {
  scan_detail::CScanRun run;
  scan_detail::ImportPlaylist(run, playlistPath, listPath, playlistItem);
}

void scan_detail::ImportPlaylist(CScanRun& run, const std::string& playlistPath,
                                 const std::string& listPath, int32_t playlistItem) {
  int kind = Playlist_Kind(playlistPath);
  if (kind == 0) return;
  std::string content;
  if (!ReadHead(playlistPath, &content)) return;
  std::string folder = scan_detail::DirName(playlistPath);
  std::string lines;
  for (const std::string& entry : Playlist_ParseEntries(content, kind)) {
    std::string path = Playlist_ResolveEntry(entry, folder);
    if (path.empty() || !Scan_ExtensionIn(path, kKindAudio)) continue;
    std::string name = scan_detail::BaseName(path);
    MediaRecord found;
    int32_t number = -1;
    if (db_getOneRecord(sql::FolderUnder(path, kContainerAllMusic), &found) > 0) {
      number = found.MyIndex;
    } else if (platform::FileExists(path)) {
      number =
          scan_detail::AddObject(run, playlistItem, kObjectItem, path, name, kKindPlaylistEntry) -
          1;
    }
    if (number < 0) continue;
    lines += std::to_string(number) + "/" + scan_detail::DisplayName(name) + "\r\n";
  }
  // Written beside the list file and renamed over it, so a reader never sees half a list.
  std::string building = listPath + ".tmp";
  std::error_code ec;
  std::filesystem::create_directories(scan_detail::DirName(listPath), ec);
  platform::UniqueFd out(::open(building.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644));
  if (!out.Valid()) {
    platform::Logf("playlist: cannot write %s\n", building.c_str());
    return;
  }
  size_t done = 0;
  while (done < lines.size()) {
    ssize_t n = ::write(out.Get(), lines.data() + done, lines.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    done += static_cast<size_t>(n);
  }
  out.Reset();
  if (done != lines.size() || ::rename(building.c_str(), listPath.c_str()) != 0) {
    platform::Logf("playlist: cannot write %s\n", listPath.c_str());
    ::unlink(building.c_str());
  }
}
