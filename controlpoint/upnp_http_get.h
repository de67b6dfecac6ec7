// One GET on the UPnP library's client connection API, closed on every path. The request's
// headers are the caller's: the library's own simple GET sends a garbled Host header for
// addresses with a port (its host text is read from memory that is no longer valid), which
// real servers and renderers answer with 400, and never hands back the answer's headers.
#pragma once

#include <cstddef>
#include <string>

namespace controlpoint {

class UpnpHttpGet {
 public:
  UpnpHttpGet() = default;
  ~UpnpHttpGet();
  UpnpHttpGet(const UpnpHttpGet&) = delete;
  UpnpHttpGet& operator=(const UpnpHttpGet&) = delete;

  // Connects to `url`, sends the GET with `headers` (header lines, each ending in CRLF)
  // and reads the answer's head, each step within `timeoutSeconds`. 0 with the answer's
  // status in *httpStatus, or the library's error code. Call once per object.
  int Open(const std::string& url, const std::string& headers, int timeoutSeconds, int* httpStatus);

  // Reads up to *size bytes of the body into `buffer`; *size becomes what was read (0 at
  // the end). 0 or the library's error code.
  int Read(char* buffer, size_t* size, int timeoutSeconds);

 private:
  void* handle_ = nullptr;
};

}  // namespace controlpoint
