// Two blocking helpers that download a whole HTTP resource into memory, on the HTTP
// client of the UPnP library. The feed reader and the stream server use them.
//
// Both return 0 on success with the body (at most kFetchMaxBody bytes; a longer body is
// cut without an error) in *body, and -1 on any failure (bad address, connect, time-out,
// bad response) with *body empty. The answer's status is not judged: a 404 page is a
// body like any other, and callers that care read FetchOptions::httpStatus.
#pragma once

#include <atomic>
#include <cstddef>
#include <string>

#include "controlpoint/http_fetch_limits.h"

struct FetchOptions {
  // Bodies are cut at this many bytes.
  size_t maxBody = kFetchMaxBody;
  // When it reads nonzero between two reads of the body, the download fails at once:
  // a thread that is asked to stop does not wait for a slow server.
  const std::atomic<int>* abort = nullptr;
  // Receives the status of the answer whose body was read (0 when none was).
  int* httpStatus = nullptr;
};

// GET of `url`; no redirects are followed.
int FetchUrl(const std::string& url, std::string* body, const FetchOptions& options = {});

// GET of `url`, following "302" and "303" answers to their Location (absolute or
// relative) up to kFetchMaxRedirects times; more is a loop and fails. A redirect without
// a Location is read as the body of that answer.
int FetchUrlFollowingRedirects(const std::string& url, std::string* body,
                               const FetchOptions& options = {});
