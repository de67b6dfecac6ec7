// The YouTube categories under "Internet Videos": a background thread reads the seven
// standard feeds about once an hour and stores one library item per video (its watch
// page and title) under the category's container.
//
// Four flags coordinate the thread with the rest of the program. Each has one writer per
// transition and is polled by the others, so they are atomics read with acquire order.
#pragma once

#include <array>
#include <atomic>
#include <cstdint>
#include <string>
#include <string_view>

// 1 while no updater thread runs; the thread sets it to 0 when it starts, 1 at its end.
extern std::atomic<int> YouTubeIdle;
// Set by the exit path and by the shared-folders page; cleared by the thread at start.
extern std::atomic<int> YouTubeStopRequest;
// Set when the library was emptied; the thread starts a new pass and clears it.
extern std::atomic<int> YouTubeRefreshRequest;

void YouTubeRequestStop(int value);
int YouTubeIsIdle();
void YouTubeRequestRefresh(int value);

// One row of the feed table.
struct YouTubeFeed {
  int category;
  int32_t container;
  const char* pathAndQuery;  // followed by the start index
};
inline constexpr int kYouTubeCategories = 7;
extern const std::array<YouTubeFeed, kYouTubeCategories> kYouTubeFeeds;
// Start indexes of the four pages of 25 entries each, in the order they are read.
inline constexpr std::array<const char*, 4> kYouTubeStartIndexes = {"1", "26", "51", "76"};

// The feed endpoint (scheme and host) and the site address of watch pages: the settings
// when they hold a usable "http://" address, else the defaults. A setting that is set
// but unusable is reported in the log.
std::string YouTube_FeedEndpoint();
std::string YouTube_SiteAddress();

// The address of a category's feed page: endpoint, path and query, start index.
std::string YouTube_FeedUrl(std::string_view endpoint, const YouTubeFeed& feed,
                            std::string_view startIndex);

// Stores the entries of one feed body under the category's container (an entry already
// stored there with the same watch page and title is not stored twice). Stops at the
// first entry after a stop or refresh request. Returns the number of items inserted.
int YouTube_StoreFeedBody(std::string_view body, const YouTubeFeed& feed,
                          std::string_view siteAddress);

// One pass over the four pages of every category, as the thread runs it. Returns the
// number of pages that downloaded and were read.
int YouTube_RunPass();

// Starts the updater thread (and makes the scanner's library clear request a refresh).
// When a thread from an earlier start is still ending after a stop request, it is waited
// for first, so two threads never run at once; a thread that runs on is left alone.
void YouTubeUpdaterStart();
// Asks the thread to stop and waits for it to end. Call before the library closes.
// A download in progress ends within the fetch time-outs.
void YouTubeUpdaterJoin();

// Test hook: the length of one tick of the updater (0 restores kFeedTickMs).
void YouTubeSetTickForTest(int ms);
