#include "upnp/http_reader.h"

#include <arpa/inet.h>

#include <algorithm>
#include <cstring>

#include "platform/text.h"
#include "upnp/limits.h"
#include "upnp/number.h"
#include "upnp/socket_util.h"
#include "upnp/text_split.h"

namespace {

using State = FLibHttpReaderState;

int Fail(FLibHttpReader* r, int status, const char* text) {
  r->State = State::Failed;
  r->ErrorStatus = status;
  r->ErrorText = text;
  return FLibHttpReader_Failed;
}

bool ParsePort(std::string_view text) {
  if (text.empty() || text.size() > 5) return false;
  uint32_t port = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return false;
    port = port * 10 + static_cast<uint32_t>(c - '0');
  }
  return port <= 65535;
}

size_t CountLines(std::string_view block) {
  size_t lines = 0;
  for (size_t at = block.find("\r\n"); at != std::string_view::npos;
       at = block.find("\r\n", at + 2))
    ++lines;
  return lines;
}

// Reads every Content-Length header: all must agree and parse without overflow.
// Returns 0 (none), 1 (found, *length set) or -1.
int ContentLength(const FLibHttpPacket& packet, uint64_t* length) {
  int found = 0;
  for (const FLibHttpHeader& h : packet.Headers) {
    if (!platform::AsciiEqualsNoCase(h.Name, "Content-Length")) continue;
    uint64_t value = 0;
    std::string_view text = FLibText_Trim(h.Value);
    if (text.empty() || text[0] == '+' || FLibText_ToUInt64(text, &value) != 0) return -1;
    if (found && value != *length) return -1;
    *length = value;
    found = 1;
  }
  return found;
}

bool HostHeadersAcceptable(const FLibHttpPacket& packet) {
  for (const FLibHttpHeader& h : packet.Headers) {
    if (platform::AsciiEqualsNoCase(h.Name, "Host") &&
        !FLibHttp_IsIpLiteralHost(FLibText_Trim(h.Value)))
      return false;
  }
  return true;
}

bool VersionAbove10(const std::string& version) { return version != "1.0" && version != "0.9"; }

// Decides how the body of a freshly parsed message is framed and where reading goes on.
int StartBody(FLibHttpReader* r) {
  FLibHttpPacket& p = *r->Packet;
  bool server = r->Mode == FLibHttpReaderMode::Server;
  if (const FLibHttpHeader* te = FLibHttp_FindHeader(p, "Transfer-Encoding")) {
    if (!platform::AsciiEqualsNoCase(FLibText_Trim(te->Value), "chunked"))
      return Fail(r, 400, "unsupported transfer coding");
    r->Chunked = true;
  }
  uint64_t length = 0;
  int hasLength = ContentLength(p, &length);
  if (hasLength < 0) return Fail(r, 400, "bad Content-Length");
  // Both framings at once is how requests are smuggled past proxies: refuse it.
  if (server && r->Chunked && hasLength) return Fail(r, 400, "Content-Length with chunked");
  r->CloseAfter = FLibHttp_HeaderEquals(p, "Connection", "close");

  bool noBody = false;
  if (!server) {
    noBody = r->ResponseToHead || p.StatusCode == 204 || p.StatusCode == 304;
  }
  if (noBody) {
    r->State = State::Complete;
    return FLibHttpReader_MessageDone;
  }
  if (r->Chunked) {
    r->State = State::ChunkSize;
  } else if (hasLength) {
    if (length > r->MaxBodyBytes) return Fail(r, 413, "body too large");
    if (length == 0) {
      r->State = State::Complete;
      return FLibHttpReader_MessageDone;
    }
    r->Remaining = length;
    r->State = State::Body;
  } else if (server || (VersionAbove10(p.Version) && !r->CloseAfter)) {
    // A request without framing has no body; so has a 1.1 response that keeps its
    // connection (peers of this stack send such responses without a length).
    r->State = State::Complete;
    return FLibHttpReader_MessageDone;
  } else {
    r->BodyToEnd = true;
    r->State = State::ToEnd;
  }
  if (server) {
    if (auto expect = FLibHttp_HeaderValue(p, "Expect"))
      r->ExpectContinue = platform::AsciiEqualsNoCase(FLibText_Trim(*expect), "100-continue");
  }
  return FLibHttpReader_HeaderDone;
}

// Parses the collected header block (Pending ends with the blank line).
int FinishHeader(FLibHttpReader* r) {
  std::string_view block(r->Pending.data(), r->Pending.size() - 2);  // keep the last CR LF
  if (CountLines(block) - 1 > upnp_limits::kHttpMaxHeaderLines)
    return Fail(r, 400, "too many header lines");
  r->Packet = FLibHttp_ParseHeader(block);
  r->Pending.clear();
  if (!r->Packet) return Fail(r, 400, "malformed header");
  bool isRequest = r->Packet->StatusCode == -1;
  if (r->Mode == FLibHttpReaderMode::Server) {
    if (!isRequest) return Fail(r, 400, "not a request");
    if (!HostHeadersAcceptable(*r->Packet)) return Fail(r, 400, "Host is not an IP address");
  } else {
    if (isRequest) return Fail(r, 400, "not a response");
    if (r->Packet->StatusCode >= 100 && r->Packet->StatusCode <= 199) {
      // Interim response: skip it and wait for the real one.
      r->Packet.reset();
      r->State = State::Header;
      return FLibHttpReader_NeedMore;
    }
  }
  return StartBody(r);
}

// Appends bytes up to and including the next LF to Pending, without letting Pending grow
// past `limit`. Returns 1 when a line is complete, 0 when more bytes are needed, -1 over
// the limit.
int CollectLine(FLibHttpReader* r, std::string_view data, size_t* at, size_t limit) {
  const char* start = data.data() + *at;
  size_t available = data.size() - *at;
  const void* newline = std::memchr(start, '\n', available);
  size_t take =
      newline ? static_cast<size_t>(static_cast<const char*>(newline) - start) + 1 : available;
  if (r->Pending.size() + take > limit) return -1;
  r->Pending.append(start, take);
  *at += take;
  return newline ? 1 : 0;
}

int HeaderStep(FLibHttpReader* r, std::string_view data, size_t* at) {
  while (*at < data.size()) {
    int line = CollectLine(r, data, at, upnp_limits::kHttpMaxHeaderBytes);
    if (line < 0) return Fail(r, 400, "header block too large");
    if (line == 0) return FLibHttpReader_NeedMore;
    if (r->Pending == "\r\n") {
      r->Pending.clear();  // empty lines before a start line are ignored
      continue;
    }
    size_t n = r->Pending.size();
    if (n >= 4 && r->Pending.compare(n - 4, 4, "\r\n\r\n") == 0) {
      int result = FinishHeader(r);
      if (result != FLibHttpReader_NeedMore || r->State != State::Header) return result;
    }
  }
  return FLibHttpReader_NeedMore;
}

int ChunkSizeLine(FLibHttpReader* r) {
  std::string_view line(r->Pending);
  if (line.size() < 2 || line.substr(line.size() - 2) != "\r\n")
    return Fail(r, 400, "bad chunk-size line");
  line.remove_suffix(2);
  size_t extension = line.find(';');
  if (extension != std::string_view::npos) line = line.substr(0, extension);
  while (!line.empty() && (line.back() == ' ' || line.back() == '\t')) line.remove_suffix(1);
  uint64_t size = 0;
  if (line.empty() || line.size() > upnp_limits::kHttpMaxChunkSizeDigits ||
      FLibText_HexToUInt64(line, &size) != 0)
    return Fail(r, 400, "bad chunk size");
  r->Pending.clear();
  if (size > r->MaxBodyBytes - r->Packet->Body.size()) return Fail(r, 413, "body too large");
  if (size == 0) {
    r->State = State::Trailer;
    r->TrailerBytes = 0;
  } else {
    r->Remaining = size;
    r->State = State::ChunkData;
  }
  return FLibHttpReader_NeedMore;
}

int TakeBody(FLibHttpReader* r, std::string_view data, size_t* at) {
  size_t take = static_cast<size_t>(std::min<uint64_t>(r->Remaining, data.size() - *at));
  r->Packet->Body.append(data.data() + *at, take);
  *at += take;
  r->Remaining -= take;
  return FLibHttpReader_NeedMore;
}

int BodyStep(FLibHttpReader* r, std::string_view data, size_t* at) {
  while (*at < data.size()) {
    switch (r->State) {
      case State::Body:
        TakeBody(r, data, at);
        if (r->Remaining == 0) {
          r->State = State::Complete;
          return FLibHttpReader_MessageDone;
        }
        break;
      case State::ChunkSize: {
        int line = CollectLine(r, data, at, upnp_limits::kHttpMaxChunkLineBytes);
        if (line < 0) return Fail(r, 400, "chunk-size line too long");
        if (line > 0 && ChunkSizeLine(r) == FLibHttpReader_Failed) return FLibHttpReader_Failed;
        break;
      }
      case State::ChunkData:
        TakeBody(r, data, at);
        if (r->Remaining == 0) r->State = State::ChunkDataEnd;
        break;
      case State::ChunkDataEnd: {
        size_t take = std::min<size_t>(2 - r->Pending.size(), data.size() - *at);
        r->Pending.append(data.data() + *at, take);
        *at += take;
        if (r->Pending.size() == 2) {
          if (r->Pending != "\r\n") return Fail(r, 400, "chunk data not followed by CR LF");
          r->Pending.clear();
          r->State = State::ChunkSize;
        }
        break;
      }
      case State::Trailer: {
        int line = CollectLine(r, data, at, upnp_limits::kHttpMaxChunkLineBytes);
        if (line < 0) return Fail(r, 400, "trailer line too long");
        if (line == 0) break;
        bool end = r->Pending == "\r\n";
        bool wellFormed = r->Pending.size() >= 2 && r->Pending[r->Pending.size() - 2] == '\r';
        r->TrailerBytes += r->Pending.size();
        r->Pending.clear();
        if (!wellFormed) return Fail(r, 400, "bad trailer line");
        if (r->TrailerBytes > upnp_limits::kHttpMaxTrailerBytes)
          return Fail(r, 400, "trailer too large");
        if (end) {
          r->State = State::Complete;
          return FLibHttpReader_MessageDone;
        }
        break;
      }
      case State::ToEnd: {
        size_t take = data.size() - *at;
        if (take > r->MaxBodyBytes - r->Packet->Body.size()) return Fail(r, 413, "body too large");
        r->Packet->Body.append(data.data() + *at, take);
        *at += take;
        break;
      }
      default:
        return FLibHttpReader_NeedMore;
    }
  }
  return FLibHttpReader_NeedMore;
}

}  // namespace

void FLibHttpReader_Init(FLibHttpReader* r, FLibHttpReaderMode mode) {
  r->Mode = mode;
  r->MaxBodyBytes = upnp_limits::kHttpMaxBodyBytes;
  r->ResponseToHead = false;
  FLibHttpReader_Reset(r);
}

void FLibHttpReader_Reset(FLibHttpReader* r) {
  r->State = State::Header;
  r->Pending.clear();
  r->Pending.shrink_to_fit();
  r->Packet.reset();
  r->Started = false;
  r->Chunked = r->CloseAfter = r->ExpectContinue = r->BodyToEnd = false;
  r->Remaining = 0;
  r->TrailerBytes = 0;
  r->ErrorStatus = 0;
  r->ErrorText = "";
}

int FLibHttpReader_Feed(FLibHttpReader* r, std::string_view data, size_t* consumed) {
  *consumed = 0;
  if (r->State == State::Failed) return FLibHttpReader_Failed;
  if (r->State == State::Complete || data.empty()) return FLibHttpReader_NeedMore;
  r->Started = true;
  size_t at = 0;
  int result = FLibHttpReader_NeedMore;
  if (r->State == State::Header) {
    result = HeaderStep(r, data, &at);
    if (result == FLibHttpReader_NeedMore && r->State != State::Header &&
        r->State != State::Complete)
      result = BodyStep(r, data, &at);
  } else {
    result = BodyStep(r, data, &at);
  }
  *consumed = at;
  return result;
}

int FLibHttpReader_End(FLibHttpReader* r) {
  if (r->State == State::ToEnd) {
    r->State = State::Complete;
    return FLibHttpReader_MessageDone;
  }
  if (r->State == State::Complete) return FLibHttpReader_NeedMore;
  if (r->State == State::Failed) return FLibHttpReader_Failed;
  if (r->State == State::Header && !r->Started) return FLibHttpReader_NeedMore;
  return Fail(r, 400, "connection closed inside a message");
}

bool FLibHttp_IsIpLiteralHost(std::string_view host) {
  if (host.empty()) return false;
  std::string_view address = host;
  std::string_view port;
  bool hasPort = false;
  if (host.front() == '[') {
    size_t close = host.find(']');
    if (close == std::string_view::npos) return false;
    address = host.substr(1, close - 1);
    std::string_view rest = host.substr(close + 1);
    if (!rest.empty()) {
      if (rest.front() != ':') return false;
      port = rest.substr(1);
      hasPort = true;
    }
    if (address.empty() || address.size() > 45) return false;
    char text[46];
    std::memcpy(text, address.data(), address.size());
    text[address.size()] = '\0';
    in6_addr parsed{};
    if (inet_pton(AF_INET6, text, &parsed) != 1) return false;
  } else {
    size_t colon = host.find(':');
    if (colon != std::string_view::npos) {
      address = host.substr(0, colon);
      port = host.substr(colon + 1);
      hasPort = true;
    }
    uint32_t parsed = 0;
    if (!FLibIpv4FromText(address, &parsed)) return false;
  }
  return !hasPort || ParsePort(port);
}
