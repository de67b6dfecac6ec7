#include "internet/youtube_feeds.h"

#include <mutex>
#include <thread>

#include "controlpoint/http_fetch.h"
#include "controlpoint/http_fetch_url.h"
#include "internet/internet_limits.h"
#include "internet/youtube_feed_parser.h"
#include "library/build/scanner.h"
#include "library/container_numbers.h"
#include "library/library.h"
#include "library/media_record.h"
#include "library/object_numbers.h"
#include "library/statements.h"
#include "platform/log.h"
#include "platform/text.h"
#include "platform/thread.h"
#include "platform/tick.h"

std::atomic<int> YouTubeIdle{1};
std::atomic<int> YouTubeStopRequest{0};
std::atomic<int> YouTubeRefreshRequest{0};

const std::array<YouTubeFeed, kYouTubeCategories> kYouTubeFeeds = {{
    {0, kContainerYoutubeFirst + 0, "/feeds/api/standardfeeds/recently_featured?start-index="},
    {1, kContainerYoutubeFirst + 1, "/feeds/api/standardfeeds/top_rated?time=today&start-index="},
    {2, kContainerYoutubeFirst + 2,
     "/feeds/api/standardfeeds/top_favorites?time=today&start-index="},
    {3, kContainerYoutubeFirst + 3, "/feeds/api/standardfeeds/most_viewed?time=today&start-index="},
    {4, kContainerYoutubeFirst + 4,
     "/feeds/api/standardfeeds/most_discussed?time=today&start-index="},
    {5, kContainerYoutubeFirst + 5, "/feeds/api/standardfeeds/most_linked?time=today&start-index="},
    {6, kContainerYoutubeFirst + 6,
     "/feeds/api/standardfeeds/most_responded?time=today&start-index="},
}};

namespace {

std::mutex g_threadMutex;
std::thread g_thread;
std::atomic<int> g_tickMs{kFeedTickMs};

bool PassMustEnd() {
  return YouTubeRefreshRequest.load(std::memory_order_acquire) != 0 ||
         YouTubeStopRequest.load(std::memory_order_acquire) != 0;
}

size_t LongestFeedPath() {
  size_t longest = 0;
  for (const YouTubeFeed& feed : kYouTubeFeeds) {
    longest = std::max(longest, std::string_view(feed.pathAndQuery).size());
  }
  return longest + 2;  // the longest start index
}

// The setting `key` as an address without trailing "/", when it is a usable plain HTTP
// address of at most `maxBytes` bytes with no query; else `fallback`.
std::string AddressSetting(const char* key, const char* fallback, size_t maxBytes) {
  std::string value;
  bool found = false;
  if (!db_getAVP(key, &value, &found) || !found || value.empty()) return fallback;
  while (!value.empty() && value.back() == '/') value.pop_back();
  HttpUrl parsed;
  if (value.size() <= maxBytes && value.find_first_of("?#\"") == std::string::npos &&
      ParseHttpUrl(value, &parsed)) {
    return value;
  }
  platform::Logf("YouTube feeds: setting %s is not a usable http:// address; using %s\n", key,
                 fallback);
  return fallback;
}

bool IsSuccess(int status) { return status >= 200 && status < 300; }

void UpdaterThread() {
  platform::SetCurrentThreadName("youtube feeds");
  int counter = kFeedPassTicks;
  for (;;) {
    if (counter > kFeedPassTicks) {
      YouTube_RunPass();
      counter = 0;
      if (YouTubeStopRequest.load(std::memory_order_acquire) != 0) break;
    }
    if (YouTubeRefreshRequest.load(std::memory_order_acquire) != 0) {
      counter = kFeedPassTicks;
      YouTubeRefreshRequest.store(0, std::memory_order_release);
    }
    if (YouTubeStopRequest.load(std::memory_order_acquire) != 0) break;
    platform::SleepMs(static_cast<uint64_t>(g_tickMs.load(std::memory_order_relaxed)));
    ++counter;
  }
  YouTubeIdle.store(1, std::memory_order_release);
}

}  // namespace

void YouTubeRequestStop(int value) { YouTubeStopRequest.store(value, std::memory_order_release); }
int YouTubeIsIdle() { return YouTubeIdle.load(std::memory_order_acquire); }
void YouTubeRequestRefresh(int value) {
  YouTubeRefreshRequest.store(value, std::memory_order_release);
}

std::string YouTube_FeedEndpoint() {
  return AddressSetting(kKeyYouTubeFeedEndpoint, kDefaultYouTubeFeedEndpoint,
                        kFeedUrlSlot - 1 - LongestFeedPath());
}

std::string YouTube_SiteAddress() {
  // The watch page, "/watch?v=" and the longest id must fit a record's path field.
  return AddressSetting(kKeyYouTubeSiteAddress, kDefaultYouTubeSiteAddress,
                        kInternetUrlMaxBytes - 9 - kVideoIdMax);
}

std::string YouTube_FeedUrl(std::string_view endpoint, const YouTubeFeed& feed,
                            std::string_view startIndex) {
  return std::string(endpoint) + feed.pathAndQuery + std::string(startIndex);
}

int YouTube_StoreFeedBody(std::string_view body, const YouTubeFeed& feed,
                          std::string_view siteAddress) {
  int inserted = 0;
  // One page is one batch: clients never see half of it, and its rows share one commit.
  LibraryTransaction batch;
  YouTube_ParseFeed(body, [&](const YouTubeFeedEntry& entry) {
    if (PassMustEnd()) return false;
    std::string url = std::string(siteAddress) + "/watch?v=" + entry.videoId;
    if (db_getCount(sql::ItemUnder(url, entry.title, feed.container)) > 0) return true;
    ObjectRow row;
    row.MyIndex = AllocateObjectNumber();
    row.pIndex = feed.container;
    row.ObjectType = kObjectItem;
    row.ProcessObjectType = kObjectItem;
    row.FilePath = url;
    row.FileName = entry.title;
    row.Title = entry.title;
    row.FileType = "Video";
    row.InternetFlags = kInternetVideo;
    if (db_execute(sql::InsertObject(row))) ++inserted;
    return true;
  });
  batch.Commit();
  return inserted;
}

int YouTube_RunPass() {
  std::string endpoint = YouTube_FeedEndpoint();
  std::string site = YouTube_SiteAddress();
  int pages = 0;
  for (const char* start : kYouTubeStartIndexes) {
    for (const YouTubeFeed& feed : kYouTubeFeeds) {
      if (PassMustEnd()) return pages;
      std::string body;
      int status = 0;
      int rc = FetchUrl(YouTube_FeedUrl(endpoint, feed, start), &body,
                        {.abort = &YouTubeStopRequest, .httpStatus = &status});
      // An error page is no feed: it leaves the category as it is, like a failed download.
      if (rc != 0 || body.empty() || !IsSuccess(status)) continue;
      YouTube_StoreFeedBody(body, feed, site);
      ++pages;
    }
  }
  return pages;
}

void YouTubeUpdaterStart() {
  std::lock_guard lock(g_threadMutex);
  if (g_thread.joinable()) {
    if (YouTubeIdle.load(std::memory_order_acquire) == 0 &&
        YouTubeStopRequest.load(std::memory_order_acquire) == 0) {
      return;
    }
    // It was asked to stop and ends within a tick or a download's time-outs. Starting a
    // second thread beside it would let the new one clear the request the old one has
    // yet to see.
    g_thread.join();
  }
  Scan_SetFeedRefresh([] { YouTubeRequestRefresh(1); });
  // The flags are set here rather than by the thread, so a stop requested right after
  // this call is never cleared by a thread that starts late.
  YouTubeIdle.store(0, std::memory_order_release);
  YouTubeStopRequest.store(0, std::memory_order_release);
  g_thread = std::thread(UpdaterThread);
}

void YouTubeUpdaterJoin() {
  std::lock_guard lock(g_threadMutex);
  if (!g_thread.joinable()) return;
  YouTubeRequestStop(1);
  g_thread.join();
}

void YouTubeSetTickForTest(int ms) {
  g_tickMs.store(ms > 0 ? ms : kFeedTickMs, std::memory_order_relaxed);
}
