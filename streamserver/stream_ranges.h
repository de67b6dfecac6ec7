// Turning the ranges of a request into the byte spans of one source of known length.
#pragma once

#include <cstdint>
#include <vector>

#include "streamserver/stream_request.h"

struct StreamByteSpan {
  int64_t First = 0;
  int64_t Length = 0;
};

// The spans to send of a source of `length` bytes, in request order. "a-b" is valid when
// b >= a (b beyond the end is cut to the end), "a-" runs to the end, "-n" is the last n
// bytes (all of them when n is larger); a range that starts at or past the end, or is
// empty, is dropped. An empty result means the whole source with 200: no valid range,
// more than kMaxRanges ranges, or ranges that add up to more than the source.
std::vector<StreamByteSpan> StreamRanges_Resolve(const std::vector<StreamRange>& ranges,
                                                 int64_t length);

// True when the client asked for ranges of a source of `length` bytes, each of them well
// formed, and none holds a byte of it (all start at or past the end, or the source is
// empty): the answer is 416. A reversed range ("500-100") makes the header one to
// ignore instead, as does a set of more than kMaxRanges ranges.
bool StreamRanges_Unsatisfiable(const std::vector<StreamRange>& ranges, int64_t length);
