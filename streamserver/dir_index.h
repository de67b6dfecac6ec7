// The listing of a folder, as a plain text page or an HTML page, sorted by name or date as
// the query asks ("name-up", "name-down", "date-up", "date-down", "plain").
#pragma once

#include <string>

#include "streamserver/stream_request.h"

// Answers the request with the index of `directory` (a folder the caller has checked may
// be shown). Unknown query: 400; If-Modified-Since no older than the folder: 304. Returns
// false when the answer could not be written.
bool StreamDirIndex_Send(StreamRequest* request, const std::string& directory);

// The name column: the name padded to 25 characters, or for longer names its beginning,
// "..." and its end in 24 characters. Counted in characters, never cut inside one.
std::string StreamDirIndex_NameColumn(const std::string& name);
