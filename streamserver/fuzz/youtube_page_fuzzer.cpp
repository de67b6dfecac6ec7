// Any bytes as a fetched watch page. Reading it must stay inside the page, and a video
// address it gives must be one address: on the site, with no blank, quote, "#" or
// control character that could end it or split the encoder's command line.
#include <cstdint>
#include <string>
#include <string_view>

#include "platform/testing/fuzz_check.h"
#include "streamserver/stream_relay.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string_view page(reinterpret_cast<const char*>(data), size);
  constexpr std::string_view kSite = "http://site.test";
  std::string address;
  if (!StreamRelay_ScrapeYouTubePage(page, kSite, &address)) {
    FuzzCheck(address.empty());
    return 0;
  }
  FuzzCheck(address.rfind(std::string(kSite) + "/get_video?video_id=", 0) == 0);
  for (char c : address) {
    unsigned char u = static_cast<unsigned char>(c);
    FuzzCheck(u > 0x20 && u < 0x7F && c != '"' && c != '#' && c != '\\');
  }
  return 0;
}
