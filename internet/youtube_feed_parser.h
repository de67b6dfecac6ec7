// The reader of a YouTube standard feed page: finds each entry's video id and title in
// the body as it arrived (possibly cut short), with no XML parser, the way the feeds
// have always been read.
#pragma once

#include <functional>
#include <string>
#include <string_view>

struct YouTubeFeedEntry {
  std::string videoId;
  std::string title;  // valid UTF-8, entities decoded, cut to the title limits
};

// Walks `body`: the first "<id>" is the feed's own; every later one starts an entry whose
// video id is the id text after its last "/", and whose title is the text of the next
// element that begins with "<title". Title text loses every double quote character and
// has "&amp;", "&quot;", "&apos;", "&lt;" and "&gt;" decoded (nothing else).
//
// `entry` is called for each complete entry in order and may return false to stop.
// Entries whose id or title runs past the end of the body are dropped, and so are ids
// that are empty, too long or hold characters other than letters, digits and "-._~"
// (they would change the watch-page address). An empty title is replaced by the id.
// Returns the number of entries handed to `entry`.
int YouTube_ParseFeed(std::string_view body,
                      const std::function<bool(const YouTubeFeedEntry&)>& entry);

// The title rules alone: decoding, invalid UTF-8 replaced by U+FFFD, and the cut.
std::string YouTube_DecodeTitle(std::string_view raw);
