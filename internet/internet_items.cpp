#include "internet/internet_items.h"

#include <array>

#include "internet/internet_limits.h"
#include "library/build/scanner.h"
#include "library/container_numbers.h"
#include "library/library.h"
#include "library/media_record.h"
#include "library/object_numbers.h"
#include "library/statements.h"
#include "platform/text.h"

namespace {

struct TypeRows {
  int32_t internetFlags;
  std::array<int32_t, 2> parents;  // the group container and its "All" list
  const char* fileType;
};

TypeRows RowsOf(InternetMediaType type) {
  if (type == InternetMediaType::kAudio) {
    return {kInternetAudio, {kContainerInternetAudio, kContainerInternetAllAudio}, "Audio"};
  }
  return {kInternetVideo, {kContainerInternetVideos, kContainerInternetAllVideos}, "Video"};
}

bool IsBlank(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; }

std::string_view TrimBlanks(std::string_view text) {
  while (!text.empty() && IsBlank(text.front())) text.remove_prefix(1);
  while (!text.empty() && IsBlank(text.back())) text.remove_suffix(1);
  return text;
}

bool HasControl(std::string_view text) {
  for (char c : text) {
    auto u = static_cast<unsigned char>(c);
    if (u < 0x20 || u == 0x7f) return true;
  }
  return false;
}

// The item as it is stored: the URL without surrounding blanks, an empty title replaced
// by the URL, the title cut to the record's field.
InternetItemStatus Prepare(std::string_view url, std::string_view title, InternetMediaType type,
                           InternetItem* item) {
  url = TrimBlanks(url);
  if (url.empty()) return InternetItemStatus::kEmptyUrl;
  if (!platform::IsValidUtf8(url) || !platform::IsValidUtf8(title) || HasControl(url) ||
      url.size() > kInternetUrlMaxBytes) {
    return InternetItemStatus::kBadText;
  }
  item->url = std::string(url);
  item->title = platform::Utf8Cap(title.empty() ? url : title, kInternetTitleMaxBytes + 1);
  item->type = type;
  return InternetItemStatus::kDone;
}

bool IsStored(const InternetItem& item) {
  return db_getCount(sql::InternetItem(item.url, item.title, RowsOf(item.type).internetFlags)) > 0;
}

// Writes the item's two rows; a row already under its container is kept.
bool StoreRows(const InternetItem& item) {
  TypeRows rows = RowsOf(item.type);
  for (int32_t parent : rows.parents) {
    if (db_getCount(sql::ItemUnder(item.url, item.title, parent)) > 0) continue;
    ObjectRow row;
    row.MyIndex = AllocateObjectNumber();
    row.pIndex = parent;
    row.ObjectType = kObjectItem;
    row.ProcessObjectType = kObjectItem;
    row.FilePath = item.url;
    row.FileName = item.title;
    row.Title = item.title;
    row.FileType = rows.fileType;
    row.InternetFlags = rows.internetFlags;
    if (!db_execute(sql::InsertObject(row))) return false;
  }
  return true;
}

bool ScanRunning() { return Scanner().running.load(std::memory_order_acquire); }

}  // namespace

const char* InternetMediaTypeText(InternetMediaType type) {
  return type == InternetMediaType::kAudio ? "Audio" : "Video";
}

InternetItemStatus InternetItemAdd(std::string_view url, std::string_view title,
                                   InternetMediaType type, InternetItem* stored) {
  // A scan may be about to empty the library; what is added now could vanish with it.
  if (ScanRunning()) return InternetItemStatus::kScanRunning;
  InternetItem item;
  InternetItemStatus status = Prepare(url, title, type, &item);
  if (status != InternetItemStatus::kDone) return status;
  LibraryTransaction batch;
  if (IsStored(item)) return InternetItemStatus::kDuplicate;
  if (!StoreRows(item) || !batch.Commit()) return InternetItemStatus::kFailed;
  if (stored != nullptr) *stored = item;
  return InternetItemStatus::kDone;
}

InternetItemStatus InternetItemModify(const InternetItem& row, std::string_view url,
                                      std::string_view title, InternetMediaType type,
                                      InternetItem* stored) {
  if (ScanRunning()) return InternetItemStatus::kScanRunning;
  InternetItem item;
  InternetItemStatus status = Prepare(url, title, type, &item);
  if (status != InternetItemStatus::kDone) return status;
  // Removing the old item and storing the new one are one batch, so a failure of either
  // leaves the old item in place.
  LibraryTransaction batch;
  if (IsStored(row) &&
      !db_execute(sql::DeleteInternetItem(row.url, row.title, RowsOf(row.type).internetFlags))) {
    return InternetItemStatus::kFailed;
  }
  if (!StoreRows(item) || !batch.Commit()) return InternetItemStatus::kFailed;
  if (stored != nullptr) *stored = item;
  return InternetItemStatus::kDone;
}

int InternetItemDelete(const std::vector<InternetItem>& rows) {
  int removed = 0;
  for (const InternetItem& row : rows) {
    if (!IsStored(row)) continue;
    if (db_execute(sql::DeleteInternetItem(row.url, row.title, RowsOf(row.type).internetFlags))) {
      ++removed;
    }
  }
  return removed;
}

std::vector<InternetItem> InternetItemList(InternetMediaType type) {
  int n = db_selectT(type == InternetMediaType::kAudio ? sql::InternetAudioItems()
                                                       : sql::InternetVideoItems());
  const std::vector<MediaRecord>& results = db_selectResults();
  std::vector<InternetItem> items;
  for (int i = 0; i < n && i < static_cast<int>(results.size()); ++i) {
    items.push_back({results[i].FilePath, results[i].FileName, type, results[i].pIndex});
  }
  return items;
}
