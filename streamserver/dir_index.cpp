#include "streamserver/dir_index.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <vector>

#include "platform/unique_fd.h"
#include "streamserver/stream_response.h"
#include "streamserver/stream_server.h"
#include "upnp/escape.h"

namespace {

enum class Order { NameUp, NameDown, DateUp, DateDown, Plain };

struct Entry {
  std::string Name;
  bool IsDirectory = false;
  uint64_t Size = 0;
  time_t Modified = 0;
  std::string Type;
};

constexpr size_t kNameColumn = 25;
constexpr size_t kCutName = 24;

bool ParseOrder(const std::string& query, Order* order) {
  static const std::pair<const char*, Order> kForms[] = {
      {"", Order::NameUp},        {"name-up", Order::NameUp},     {"name-down", Order::NameDown},
      {"date-up", Order::DateUp}, {"date-down", Order::DateDown}, {"plain", Order::Plain},
  };
  for (const auto& [text, value] : kForms) {
    if (query == text) {
      *order = value;
      return true;
    }
  }
  return false;
}

// Byte offsets of the character starts of UTF-8 text (continuation bytes are skipped).
std::vector<size_t> CharacterStarts(const std::string& text) {
  std::vector<size_t> starts;
  for (size_t i = 0; i < text.size(); ++i) {
    if ((static_cast<unsigned char>(text[i]) & 0xC0) != 0x80) starts.push_back(i);
  }
  return starts;
}

// Names of 25 characters or more keep their beginning and end, "..." between: 24 in all.
std::string CutName(const std::string& name) {
  std::vector<size_t> starts = CharacterStarts(name);
  size_t count = starts.size();
  if (count < kNameColumn) return name;
  const size_t head = (kCutName - 3) / 2;
  const size_t tail = kCutName - 3 - head;
  return name.substr(0, starts[head]) + "..." + name.substr(starts[count - tail]);
}

std::string SizeColumn(const Entry& entry) {
  if (entry.IsDirectory) return std::string(7, ' ');
  static constexpr char kUnits[] = {'B', 'K', 'M', 'G', 'T', 'P', 'E'};
  uint64_t value = entry.Size;
  size_t unit = 0;
  while (value > 99999 && unit + 1 < sizeof kUnits) {
    value /= 1024;
    ++unit;
  }
  char text[32];
  std::snprintf(text, sizeof text, "%5lu %c", static_cast<unsigned long>(value), kUnits[unit]);
  return text;
}

std::string DateColumn(time_t when) {
  struct tm t = {};
  gmtime_r(&when, &t);
  char text[48];
  std::snprintf(text, sizeof text, "%02u/%02u/%04u %02u:%02u:%02u", unsigned(t.tm_mday),
                unsigned(t.tm_mon + 1), unsigned(t.tm_year + 1900), unsigned(t.tm_hour),
                unsigned(t.tm_min), unsigned(t.tm_sec));
  return text;
}

// The type of a file for the listing: by extension, else "text/plain" for a file without
// an extension whose first bytes are text.
std::string TypeOf(const StreamServer* server, int dirFd, const std::string& name) {
  std::string type = server ? server->Mime.TypeOfPath(name) : "";
  if (!type.empty()) return type;
  if (!MimeTable_Extension(name).empty()) return "Unknown";
  platform::UniqueFd fd(::openat(dirFd, name.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK));
  if (!fd.Valid()) return "Unknown";
  char head[stream_limits::kSniffBytes];
  ssize_t n = ::read(fd.Get(), head, sizeof head);
  if (n > 0 && MimeTable_LooksLikeText(std::string_view(head, static_cast<size_t>(n)))) {
    return "text/plain";
  }
  return "Unknown";
}

bool ReadEntries(const StreamServer* server, const std::string& directory, bool atRoot,
                 std::vector<Entry>* entries) {
  DIR* dir = ::opendir(directory.c_str());
  if (dir == nullptr) return false;
  int dirFd = ::dirfd(dir);
  while (dirent* d = ::readdir(dir)) {
    std::string name = d->d_name;
    if (name == "." || (atRoot && name == "..")) continue;
    struct stat st = {};
    if (::fstatat(dirFd, d->d_name, &st, 0) != 0 &&
        ::fstatat(dirFd, d->d_name, &st, AT_SYMLINK_NOFOLLOW) != 0) {
      continue;
    }
    Entry entry;
    entry.Name = name;
    entry.IsDirectory = S_ISDIR(st.st_mode);
    entry.Size = static_cast<uint64_t>(st.st_size);
    entry.Modified = st.st_mtime;
    entry.Type = entry.IsDirectory ? "Directory" : TypeOf(server, dirFd, name);
    entries->push_back(std::move(entry));
  }
  ::closedir(dir);
  return true;
}

void Sort(std::vector<Entry>* entries, Order order) {
  auto byName = [](const Entry& a, const Entry& b) { return a.Name < b.Name; };
  auto byDate = [](const Entry& a, const Entry& b) {
    return a.Modified != b.Modified ? a.Modified < b.Modified : a.Name < b.Name;
  };
  switch (order) {
    case Order::NameUp:
    case Order::Plain:
      std::sort(entries->begin(), entries->end(), byName);
      break;
    case Order::NameDown:
      std::sort(entries->rbegin(), entries->rend(), byName);
      break;
    case Order::DateUp:
      std::sort(entries->begin(), entries->end(), byDate);
      break;
    case Order::DateDown:
      std::sort(entries->rbegin(), entries->rend(), byDate);
      break;
  }
}

// File names are written into HTML escaped and into links URL-escaped: a name is data
// from the disk and must not become markup.
std::string Listing(const StreamRequest& request, const std::vector<Entry>& entries, bool html) {
  const std::string title = "Index of " + request.Uri;
  const std::string rule(80, '-');
  std::string out;
  if (html) {
    std::string escapedTitle = FLibXml_Escape(title);
    out = "<HTML><HEAD><TITLE>" + escapedTitle + "</TITLE></HEAD><BODY><H1>" + escapedTitle +
          "</H1><PRE>";
    out += "Name                      Size      Date-Time             Type<HR WIDTH=100%>\r\n";
  } else {
    out = title + "\r\n" + std::string(title.size(), '-') +
          "\r\n\r\nName                      Size      Date-Time             Type\r\n" + rule +
          "\r\n";
  }
  for (const Entry& e : entries) {
    std::string shown = e.Name + (e.IsDirectory ? "/" : "");
    std::string column = StreamDirIndex_NameColumn(shown);
    std::string tail =
        " " + SizeColumn(e) + "    " + DateColumn(e.Modified) + "   " + e.Type + "\r\n";
    if (html) {
      // The padding after the link keeps the columns where the plain form has them.
      std::string cut = CutName(shown);
      out += "<A HREF=\"" + FLibXml_Escape(StreamResponse_EscapePath(request.Uri + shown)) + "\">" +
             FLibXml_Escape(cut) + "</A>" + column.substr(cut.size()) + tail;
    } else {
      out += column + tail;
    }
  }
  if (html) {
    out += std::string("</PRE>") + stream_limits::kFooter + "</BODY></HTML>";
  } else {
    out += rule + "\r\n" + stream_limits::kBannerLine1;
  }
  return out;
}

}  // namespace

std::string StreamDirIndex_NameColumn(const std::string& name) {
  std::string cut = CutName(name);
  size_t count = CharacterStarts(cut).size();
  return cut + std::string(kNameColumn > count ? kNameColumn - count : 1, ' ');
}

bool StreamDirIndex_Send(StreamRequest* request, const std::string& directory) {
  Order order;
  if (!ParseOrder(request->Query, &order)) return StreamResponse_SendError(request, 400);
  struct stat st = {};
  if (::stat(directory.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) {
    return StreamResponse_SendError(request, 404);
  }
  if (StreamRequest_NotModifiedSince(*request, st.st_mtime)) {
    StreamResponse_SetStatus(request, 304);
    return StreamResponse_WriteHeader(request);
  }
  std::vector<Entry> entries;
  if (!ReadEntries(request->Server, directory, request->Uri == "/", &entries)) {
    return StreamResponse_SendError(request, 404);
  }
  Sort(&entries, order);
  const bool html = order != Order::Plain;
  std::string body = Listing(*request, entries, html);
  StreamResponse_SetStatus(request, 200);
  StreamResponse_SetContentType(request, html ? "text/html" : "text/plain");
  StreamResponse_AddField(request, "Last-Modified", StreamDate_Format(st.st_mtime));
  StreamResponse_SetContentLength(request, body.size());
  if (!StreamResponse_WriteHeader(request)) return false;
  if (request->Method == kStreamMethodHead) return true;
  return StreamResponse_Write(request, body);
}
