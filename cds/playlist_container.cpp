#include "cds/playlist_container.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <unordered_map>

#include "cds/cds_limits.h"
#include "library/library.h"
#include "library/statements.h"
#include "media/media_type.h"
#include "platform/file_info.h"
#include "platform/path.h"
#include "platform/unique_fd.h"

namespace {

constexpr char kEntryIdSeparator = '_';

// The list file; nothing when it is missing or no regular file.
std::string ReadList(const std::string& path) {
  // Looked at before it is read, so that an answer made from the list knows which state of
  // the file it saw (a rewrite after the look shows as a change, never the other way).
  platform::StampOf(path);
  std::string text;
  platform::UniqueFd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK));
  struct stat st {};
  if (!fd.Valid() || ::fstat(fd.Get(), &st) != 0 || !S_ISREG(st.st_mode)) return text;
  char buffer[65536];
  while (text.size() < kPlaylistListMaxBytes) {
    ssize_t n = ::read(fd.Get(), buffer, sizeof buffer);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    text.append(buffer, static_cast<size_t>(n));
  }
  return text;
}

// A decimal number that fits MyIndex; false for anything else.
bool ParseNumber(std::string_view text, int32_t* value) {
  if (text.empty() || text.size() > 10) return false;
  int64_t n = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return false;
    n = n * 10 + (c - '0');
  }
  if (n > INT32_MAX) return false;
  *value = static_cast<int32_t>(n);
  return true;
}

// The object number of each line, 0 for a line that names none.
std::vector<int32_t> ListedNumbers(const MediaRecord& playlist) {
  std::string text = ReadList(playlist.FilePath);
  std::vector<int32_t> numbers;
  size_t start = 0;
  while (start < text.size()) {
    size_t end = text.find('\n', start);
    if (end == std::string::npos) end = text.size();
    std::string_view line(text.data() + start, end - start);
    int32_t number = 0;
    if (!ParseNumber(line.substr(0, line.find('/')), &number)) number = 0;
    numbers.push_back(number);
    start = end + 1;
  }
  return numbers;
}

// The numbers of the lines that name an object, as a JSON array: the form in which the
// library takes a list as one value.
std::string JsonArray(const std::vector<int32_t>& numbers) {
  std::string json = "[";
  for (int32_t number : numbers) {
    if (number <= 0) continue;
    if (json.size() > 1) json += ',';
    json += std::to_string(number);
  }
  return json + "]";
}

}  // namespace

bool PlaylistContainer_Is(const MediaRecord& record) {
  if (record.ObjectType != kObjectItem || record.Flags != kFlagPlaylist) return false;
  return MediaType_ClassForExtension(platform::PathExtension(record.FileName)) ==
         kClassPlaylistContainer;
}

std::vector<PlaylistEntry> PlaylistContainer_Entries(const MediaRecord& playlist) {
  std::vector<int32_t> numbers = ListedNumbers(playlist);
  std::vector<PlaylistEntry> entries;
  if (numbers.empty() || db_selectT(sql::ObjectsListed(JsonArray(numbers))) <= 0) return entries;
  std::unordered_map<int32_t, const MediaRecord*> byNumber;
  for (const MediaRecord& record : db_selectResults()) byNumber[record.MyIndex] = &record;
  for (size_t i = 0; i < numbers.size(); ++i) {
    auto found = byNumber.find(numbers[i]);
    if (numbers[i] <= 0 || found == byNumber.end()) continue;
    entries.push_back({static_cast<int32_t>(i + 1), *found->second});
  }
  return entries;
}

int PlaylistContainer_Count(const MediaRecord& playlist) {
  std::vector<int32_t> numbers = ListedNumbers(playlist);
  if (numbers.empty()) return 0;
  return db_getCount(sql::ListedObjectsPresent(JsonArray(numbers)));
}

bool PlaylistContainer_EntryAt(const MediaRecord& playlist, int32_t line, PlaylistEntry* entry) {
  std::vector<int32_t> numbers = ListedNumbers(playlist);
  if (line < 1 || static_cast<size_t>(line) > numbers.size()) return false;
  int32_t number = numbers[static_cast<size_t>(line) - 1];
  if (number <= 0 || db_getOneRecord(sql::ObjectByIndex(number), &entry->record) <= 0 ||
      entry->record.ObjectType != kObjectItem)
    return false;
  entry->line = line;
  return true;
}

std::string PlaylistContainer_EntryId(int32_t playlist, int32_t line) {
  return std::to_string(playlist) + kEntryIdSeparator + std::to_string(line);
}

bool PlaylistContainer_ParseEntryId(std::string_view id, int32_t* playlist, int32_t* line) {
  size_t separator = id.find(kEntryIdSeparator);
  if (separator == std::string_view::npos) return false;
  return ParseNumber(id.substr(0, separator), playlist) &&
         ParseNumber(id.substr(separator + 1), line);
}
