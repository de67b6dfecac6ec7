// Any bytes as the start of a connection. The reader must give the same answer whether the
// bytes arrive at once or in pieces, never take more than it was given, and hand on only
// ranges and targets that the later steps can use without leaving their bounds.
#include <cstdint>
#include <string>
#include <string_view>

#include "platform/testing/fuzz_check.h"
#include "streamserver/stream_ranges.h"
#include "streamserver/stream_request.h"
#include "streamserver/stream_response.h"

namespace {

struct Outcome {
  int code = kStreamReadNeedMore;
  size_t consumed = 0;
  StreamRequest request;
};

Outcome Read(std::string_view input, size_t step) {
  Outcome o;
  StreamHeadScanner scanner;
  size_t offered = step == 0 ? input.size() : 0;
  for (;;) {
    if (step != 0) offered = std::min(input.size(), offered + step);
    o.code = StreamRequest_Read(&o.request, &scanner, input.substr(0, offered), &o.consumed);
    FuzzCheck(o.consumed <= offered);
    if (o.code != kStreamReadNeedMore || offered == input.size()) return o;
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string input(reinterpret_cast<const char*>(data), size);
  Outcome whole = Read(input, 0);
  Outcome pieces = Read(input, size == 0 ? 1 : (data[0] % 7) + 1);
  FuzzCheck(whole.code == pieces.code);
  FuzzCheck(whole.consumed == pieces.consumed);

  time_t when = 0;
  StreamDate_Parse(input, &when);

  if (whole.code != kStreamReadDone) return 0;
  StreamRequest& r = whole.request;
  FuzzCheck(r.Uri == pieces.request.Uri && r.Query == pieces.request.Query);
  FuzzCheck(r.Headers == pieces.request.Headers);
  FuzzCheck(r.Ranges.size() == pieces.request.Ranges.size());
  FuzzCheck(r.Uri.find('\0') == std::string::npos);

  for (int64_t length : {int64_t{0}, int64_t{1}, int64_t{1000}, int64_t{1} << 40}) {
    int64_t total = 0;
    for (const StreamByteSpan& span : StreamRanges_Resolve(r.Ranges, length)) {
      FuzzCheck(span.First >= 0 && span.Length > 0);
      FuzzCheck(span.First <= length - span.Length);
      total += span.Length;
    }
    FuzzCheck(total <= length);
  }
  if (StreamRequest_ValidateUri(&r)) FuzzCheck(r.Uri == "*" || (!r.Uri.empty() && r.Uri[0] == '/'));
  return 0;
}
