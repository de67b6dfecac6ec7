// One request of the stream server: the record every handler works on, and the reader that
// turns the bytes of a connection into it. The reader is resumable: it is given what has
// arrived so far, says whether a whole head is there, and never reads past the bytes given.
#pragma once

#include <cstddef>
#include <cstdint>
#include <ctime>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "library/media_record.h"

struct StreamServer;

enum StreamMethod : int {
  kStreamMethodUnknown = 0,
  kStreamMethodGet = 1,
  kStreamMethodPut = 2,
  kStreamMethodHead = 3,
  kStreamMethodPost = 4,
  kStreamMethodDelete = 5,
  kStreamMethodTrace = 6,
  kStreamMethodOptions = 7,
};

// One element of "Range: bytes=...": "a-b", "a-" (no last) or "-n" (no first; Last holds n).
struct StreamRange {
  bool HasFirst = false;
  bool HasLast = false;
  int64_t First = 0;
  int64_t Last = 0;
};

using StreamHeaderList = std::vector<std::pair<std::string, std::string>>;

struct StreamRequest {
  // The connection: the server, the socket the answer goes to and the peer (host order).
  StreamServer* Server = nullptr;
  int Fd = -1;
  uint32_t PeerAddress = 0;

  // What the client sent.
  int Method = kStreamMethodUnknown;
  std::string MethodText;
  std::string Uri;    // the path, unescaped
  std::string Query;  // the text after "?", unescaped
  std::string Host;
  std::string From;
  std::string UserAgent;
  std::string Referer;
  std::string User;  // set by a successful StreamRequest_Authenticate
  std::string RequestLine;
  int VersionMajor = 0;
  int VersionMinor = 9;
  StreamHeaderList Headers;  // names in lower case, in arrival order
  StreamHeaderList Cookies;
  std::vector<StreamRange> Ranges;
  bool KeepAlive = false;  // the client asked for it
  bool HasBody = false;    // Content-Length or Transfer-Encoding announced a request body
  time_t Date = 0;

  // The answer.
  int Status = 0;
  bool ServerKeepAlive = true;     // the server would allow another request
  bool ResponseKeepAlive = false;  // the answer said "Keep-Alive"
  bool ChunkedRequested = false;
  bool Chunked = false;
  StreamHeaderList ResponseHeaders;  // in insertion order
  bool HeaderWritten = false;
  bool WriteFailed = false;
  uint64_t BytesSent = 0;  // body bytes, chunk framing left out

  // The library object the URL names, filled by the media rewriting.
  bool HasRecord = false;
  MediaRecord Record;
  std::string MediaKind;  // the record's FileType: "Audio", "Video" or "Image"
  std::string Source;     // local path or internet address to serve; empty when refused
};

// Results of StreamRequest_Read.
inline constexpr int kStreamReadNeedMore = 0;
inline constexpr int kStreamReadDone = 1;
inline constexpr int kStreamReadError = -1;  // request->Status holds 400

// Where the reader is in the bytes of the current head. Reset for every request.
struct StreamHeadScanner {
  size_t Scanned = 0;  // bytes of complete lines looked at
  size_t Lines = 0;
  bool SawRequestLine = false;
};

// Looks at the bytes that have arrived. With a whole head at their front, fills the
// request from it, says how many bytes the head took (*consumed; the rest belongs to what
// follows) and answers Done. Answers NeedMore while the head is incomplete and within the
// limits, and Error (request->Status 400) for a malformed head or one over the limits.
// A request line without a version is an HTTP/0.9 request and ends the head.
int StreamRequest_Read(StreamRequest* request, StreamHeadScanner* scanner, std::string_view input,
                       size_t* consumed);

// Reduces an absolute URI ("http://host[:port]/path") to its path, taking its host as the
// request's host, and answers whether the URI may be served: a path must begin with "/",
// a port must be 1-65535, and "*" is allowed only as the whole target of OPTIONS.
bool StreamRequest_ValidateUri(StreamRequest* request);

// The value of a request header (name in lower case), or nullptr.
const std::string* StreamRequest_HeaderValue(const StreamRequest& request, std::string_view name);

// The peer's address in dotted form, "a.b.c.d".
std::string StreamRequest_PeerText(const StreamRequest& request);

// Parses the value of a Range header. Values not in the "bytes" unit are ignored (true,
// nothing added); a malformed list gives false.
bool StreamRequest_ParseRanges(std::string_view value, std::vector<StreamRange>* ranges);
