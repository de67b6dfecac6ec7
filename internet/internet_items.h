// The user's internet streams (radio stations, TV channels, any stream URL): each is a
// URL, a title and a media type, stored as two library items under the internet
// containers, so that clients browse them like files. This is the logic behind the
// window's internet media page and the headless stream options; the page keeps its own
// rows and calls these.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

// The positions of the page's media-type selector.
enum class InternetMediaType { kAudio = 0, kVideo = 1 };

// "Audio" or "Video", the page's media type text before translation.
const char* InternetMediaTypeText(InternetMediaType type);

struct InternetItem {
  std::string url;
  std::string title;
  InternetMediaType type = InternetMediaType::kVideo;
  // The container of the listed row: 16 or 18 for the user's items, 21 to 27 for
  // YouTube videos. Not needed to change or remove the item.
  int32_t container = 0;
};

enum class InternetItemStatus {
  kDone,
  kDuplicate,  // the same URL and title are stored already for this media type
  kEmptyUrl,
  kBadText,      // the URL or title is not UTF-8, or the URL is longer than a record holds
  kScanRunning,  // a folder scan writes the library; try again when it has ended
  kNotFound,     // nothing stored under that URL and title
  kFailed,       // the library refused a statement; nothing was changed
};

// Stores a new item (an empty title becomes the URL). *stored (optional) receives the
// item as stored, for the page's new row.
InternetItemStatus InternetItemAdd(std::string_view url, std::string_view title,
                                   InternetMediaType type, InternetItem* stored = nullptr);

// Replaces the item of `row` (its URL, title and type as listed) with the new values, in
// one step: either the old item is gone and the new one stored, or nothing changed.
// A row whose item is gone already still gets the new item.
InternetItemStatus InternetItemModify(const InternetItem& row, std::string_view url,
                                      std::string_view title, InternetMediaType type,
                                      InternetItem* stored = nullptr);

// Removes the items of `rows`. Returns how many were found and removed.
int InternetItemDelete(const std::vector<InternetItem>& rows);

// The rows of one media type as the page lists them: the user's items and, for video,
// the YouTube videos of the category containers the listing query covers.
std::vector<InternetItem> InternetItemList(InternetMediaType type);
