#include "streamserver/stream_ranges.h"

#include <algorithm>

#include "streamserver/stream_limits.h"

namespace {

bool Resolve(const StreamRange& range, int64_t length, StreamByteSpan* span) {
  if (length <= 0) return false;
  int64_t first, last;
  if (!range.HasFirst) {
    if (range.Last <= 0) return false;
    first = range.Last >= length ? 0 : length - range.Last;
    last = length - 1;
  } else {
    first = range.First;
    last = range.HasLast ? std::min(range.Last, length - 1) : length - 1;
    if (range.HasLast && range.Last < range.First) return false;
  }
  if (first >= length || last < first) return false;
  span->First = first;
  span->Length = last - first + 1;
  return true;
}

}  // namespace

std::vector<StreamByteSpan> StreamRanges_Resolve(const std::vector<StreamRange>& ranges,
                                                 int64_t length) {
  std::vector<StreamByteSpan> spans;
  if (ranges.size() > stream_limits::kMaxRanges) return spans;
  int64_t total = 0;
  for (const StreamRange& range : ranges) {
    StreamByteSpan span;
    if (!Resolve(range, length, &span)) continue;
    // Each span is at most `length`, and the sum stops growing past `length`, so it cannot
    // overflow.
    total += span.Length;
    if (total > length) return {};
    spans.push_back(span);
  }
  return spans;
}

bool StreamRanges_Unsatisfiable(const std::vector<StreamRange>& ranges, int64_t length) {
  if (ranges.empty() || ranges.size() > stream_limits::kMaxRanges) return false;
  for (const StreamRange& range : ranges) {
    StreamByteSpan span;
    if (range.HasFirst && range.HasLast && range.Last < range.First) return false;
    if (Resolve(range, length, &span)) return false;
  }
  return true;
}
