// Feeds outside bytes (tags, playlists, language files, command lines) through the
// text conversions: every result must be valid UTF-8, and a split command line can
// never hold more characters than the line itself.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "platform/codepage.h"
#include "platform/process.h"
#include "platform/text.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  static const int kCodePages[] = {950, 936, 932, 1252, 65001};
  std::string_view bytes(reinterpret_cast<const char*>(data) + 1, size - 1);
  unsigned selector = data[0] % 8;
  std::string out;
  if (selector < 5) {
    out = platform::Text8ToUtf8(bytes, kCodePages[selector]);
  } else if (selector < 7) {
    out = platform::Utf16ToUtf8(bytes, selector == 6);
    if (platform::Utf16ToUtf8(platform::Utf8ToUtf16LE(out), false) != out) std::abort();
  } else {
    size_t total = 0;
    for (const std::string& arg : platform::SplitCommandLine(bytes)) total += arg.size();
    if (total > bytes.size()) std::abort();
    return 0;
  }
  if (!platform::IsValidUtf8(out)) std::abort();
  return 0;
}
