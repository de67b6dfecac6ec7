// Feeds arbitrary bytes to the feed page reader as a downloaded body, and checks what it
// hands out: ids safe for a watch-page address, titles valid UTF-8 within their limits.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "internet/internet_limits.h"
#include "internet/youtube_feed_parser.h"
#include "platform/text.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string_view body(reinterpret_cast<const char*>(data), size);
  YouTube_ParseFeed(body, [](const YouTubeFeedEntry& entry) {
    if (entry.videoId.empty() || entry.videoId.size() > kVideoIdMax) std::abort();
    if (entry.videoId.find_first_of("/&?#\"<> ") != std::string::npos) std::abort();
    if (entry.title.empty() || entry.title.size() > kFeedTitleMaxBytes) std::abort();
    if (!platform::IsValidUtf8(entry.title)) std::abort();
    return true;
  });
  return 0;
}
