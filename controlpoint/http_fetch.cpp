#include "controlpoint/http_fetch.h"

#include <upnp.h>

#include <algorithm>
#include <utility>

#include "controlpoint/http_fetch_url.h"
#include "controlpoint/upnp_http_get.h"
#include "platform/tick.h"

namespace {

// A GET of one parsed URL whose body is read into memory within the fetch limits.
class HttpGet {
 public:
  // Sends the request and reads the response head. False on any failure.
  bool Open(const HttpUrl& url) {
    std::string headers =
        "Host: " + url.hostHeader + "\r\nConnection: close\r\nAccept: */*\r\nUser-Agent: Orvex\r\n";
    return get_.Open(url.Normalized(), headers, kFetchTimeoutSeconds, &status_) == UPNP_E_SUCCESS;
  }

  int status() const { return status_; }

  // Reads the body up to options.maxBody bytes. False on a read failure, a time-out of
  // the whole body or an abort.
  bool ReadBody(const FetchOptions& options, std::string* body) {
    uint64_t deadline = platform::TickCountMs() + kFetchBodyDeadlineMs;
    body->clear();
    while (body->size() < options.maxBody) {
      if (options.abort != nullptr && options.abort->load(std::memory_order_acquire) != 0) {
        return false;
      }
      if (platform::TickCountMs() >= deadline) return false;
      size_t offset = body->size();
      size_t want = std::min(kFetchReadChunk, options.maxBody - offset);
      body->resize(offset + want);
      size_t got = want;
      if (get_.Read(body->data() + offset, &got, kFetchTimeoutSeconds) != UPNP_E_SUCCESS) {
        return false;
      }
      body->resize(offset + std::min(got, want));
      if (got == 0) break;
    }
    return true;
  }

 private:
  controlpoint::UpnpHttpGet get_;
  int status_ = 0;
};

int Fail(std::string* body, const FetchOptions& options) {
  body->clear();
  body->shrink_to_fit();
  if (options.httpStatus != nullptr) *options.httpStatus = 0;
  return -1;
}

int Succeed(const HttpGet& get, const FetchOptions& options) {
  if (options.httpStatus != nullptr) *options.httpStatus = get.status();
  return 0;
}

}  // namespace

int FetchUrl(const std::string& url, std::string* body, const FetchOptions& options) {
  HttpUrl parsed;
  HttpGet get;
  if (!ParseHttpUrl(url, &parsed) || !get.Open(parsed) || !get.ReadBody(options, body)) {
    return Fail(body, options);
  }
  return Succeed(get, options);
}

int FetchUrlFollowingRedirects(const std::string& url, std::string* body,
                               const FetchOptions& options) {
  if (url.size() > kFetchUrlMax) return Fail(body, options);
  std::string working = url;
  for (int redirects = 0;; ++redirects) {
    HttpUrl parsed;
    HttpGet get;
    if (!ParseHttpUrl(working, &parsed) || !get.Open(parsed)) return Fail(body, options);
    std::string location;
    if ((get.status() == 302 || get.status() == 303) && ProbeLocation(parsed, &location)) {
      std::string next;
      if (redirects >= kFetchMaxRedirects || !ResolveLocation(parsed, location, &next) ||
          next.size() > kFetchUrlMax) {
        return Fail(body, options);
      }
      working = std::move(next);
      continue;
    }
    if (!get.ReadBody(options, body)) return Fail(body, options);
    return Succeed(get, options);
  }
}
