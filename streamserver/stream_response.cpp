#include "streamserver/stream_response.h"

#include <sys/socket.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "platform/text.h"
#include "streamserver/stream_server.h"
#include "streamserver/stream_text.h"
#include "upnp/base64.h"
#include "upnp/escape.h"

namespace {

struct Reason {
  int Code;
  const char* Text;
};

constexpr Reason kReasons[] = {
    {100, "Continue"},
    {101, "Switching Protocols"},
    {200, "OK"},
    {201, "Created"},
    {202, "Accepted"},
    {203, "Non-Authoritative Information"},
    {204, "No Content"},
    {205, "Reset Content"},
    {206, "Partial Content"},
    {300, "Multiple Choices"},
    {301, "Moved Permanently"},
    {302, "Moved Temporarily"},
    {303, "See Other"},
    {304, "Not Modified"},
    {305, "Use Proxy"},
    {400, "Bad Request"},
    {401, "Unauthorized"},
    {402, "Payment Required"},
    {403, "Forbidden"},
    {404, "Not Found"},
    {405, "Method Not Allowed"},
    {406, "Not Acceptable"},
    {407, "Proxy Authentication Required"},
    {408, "Request Timeout"},
    {409, "Conflict"},
    {410, "Gone"},
    {411, "Length Required"},
    {412, "Precondition Failed"},
    {413, "Request Entity Too Large"},
    {414, "Request-URI Too Long"},
    {415, "Unsupported Media Type"},
    {500, "Internal Server Error"},
    {501, "Not Implemented"},
    {502, "Bad Gateway"},
    {503, "Service Unavailable"},
    {504, "Gateway Timeout"},
    {505, "HTTP Version Not Supported"},
};

constexpr const char* kDayNames[] = {"Sun", "Mon", "Tue", "Wed", "Thu", "Fri", "Sat"};
constexpr const char* kMonthNames[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                       "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};

bool IsTokenChar(char c) {
  if (c <= 0x20 || c >= 0x7F) return false;
  return std::strchr("()<>@,;:\\\"/[]?={}", c) == nullptr;
}

bool IsValidFieldValue(std::string_view value) {
  for (unsigned char c : value) {
    if ((c < 0x20 && c != '\t') || c == 0x7F) return false;
  }
  return true;
}

bool HasResponseField(const StreamRequest& request, std::string_view name) {
  for (const auto& field : request.ResponseHeaders) {
    if (platform::AsciiEqualsNoCase(field.first, name)) return true;
  }
  return false;
}

bool IsHttp11(const StreamRequest& request) {
  return request.VersionMajor > 1 || (request.VersionMajor == 1 && request.VersionMinor >= 1);
}

// Answers that carry no body by definition, so their end is always known.
bool HasNoBody(const StreamRequest& request) {
  int status = request.Status;
  return request.Method == kStreamMethodHead || (status >= 100 && status < 200) || status == 204 ||
         status == 304;
}

// ---- Date parsing: small cursor over the text ----

struct Cursor {
  std::string_view text;
  size_t pos = 0;

  void SkipBlanks() {
    while (pos < text.size() && text[pos] == ' ') ++pos;
  }
  bool Number(int maxDigits, int* out) {
    size_t start = pos;
    int value = 0;
    while (pos < text.size() && text[pos] >= '0' && text[pos] <= '9' &&
           static_cast<int>(pos - start) < maxDigits) {
      value = value * 10 + (text[pos] - '0');
      ++pos;
    }
    if (pos == start) return false;
    *out = value;
    return true;
  }
  bool Literal(char c) {
    if (pos >= text.size() || text[pos] != c) return false;
    ++pos;
    return true;
  }
  bool Month(int* out) {
    if (text.size() - pos < 3) return false;
    std::string_view name = text.substr(pos, 3);
    for (int i = 0; i < 12; ++i) {
      if (platform::AsciiEqualsNoCase(name, kMonthNames[i])) {
        *out = i;
        pos += 3;
        return true;
      }
    }
    return false;
  }
  void SkipLetters() {
    while (pos < text.size() &&
           ((text[pos] >= 'A' && text[pos] <= 'Z') || (text[pos] >= 'a' && text[pos] <= 'z')))
      ++pos;
  }
  bool Time(int* h, int* m, int* s) {
    return Number(2, h) && Literal(':') && Number(2, m) && Literal(':') && Number(2, s);
  }
  bool Gmt() {
    SkipBlanks();
    return text.substr(pos, 3) == "GMT";
  }
};

bool MakeTime(int year, int month, int day, int h, int m, int s, time_t* when) {
  if (year < 1970 || year > 9999 || day < 1 || day > 31 || h > 23 || m > 59 || s > 60) {
    return false;
  }
  struct tm t = {};
  t.tm_year = year - 1900;
  t.tm_mon = month;
  t.tm_mday = day;
  t.tm_hour = h;
  t.tm_min = m;
  t.tm_sec = s;
  *when = timegm(&t);
  return *when != static_cast<time_t>(-1);
}

// "06 Nov 1994 08:49:37 GMT"
bool ParseRfc1123(std::string_view rest, time_t* when) {
  Cursor c{rest};
  int day, month, year, h, m, s;
  c.SkipBlanks();
  if (!c.Number(2, &day)) return false;
  c.SkipBlanks();
  if (!c.Month(&month)) return false;
  c.SkipBlanks();
  if (!c.Number(4, &year)) return false;
  c.SkipBlanks();
  if (!c.Time(&h, &m, &s) || !c.Gmt()) return false;
  return MakeTime(year, month, day, h, m, s, when);
}

// "06-Nov-94 08:49:37 GMT"
bool ParseRfc850(std::string_view rest, time_t* when) {
  Cursor c{rest};
  int day, month, year, h, m, s;
  c.SkipBlanks();
  if (!c.Number(2, &day) || !c.Literal('-') || !c.Month(&month)) return false;
  c.SkipLetters();
  if (!c.Literal('-') || !c.Number(4, &year)) return false;
  if (year < 100) year += 1900;
  c.SkipBlanks();
  if (!c.Time(&h, &m, &s) || !c.Gmt()) return false;
  return MakeTime(year, month, day, h, m, s, when);
}

// "Nov  6 08:49:37 1994" (after the day name)
bool ParseAsctime(std::string_view rest, time_t* when) {
  Cursor c{rest};
  int day, month, year, h, m, s;
  c.SkipBlanks();
  if (!c.Month(&month)) return false;
  c.SkipBlanks();
  if (!c.Number(2, &day)) return false;
  c.SkipBlanks();
  if (!c.Time(&h, &m, &s)) return false;
  c.SkipBlanks();
  if (!c.Number(4, &year)) return false;
  return MakeTime(year, month, day, h, m, s, when);
}

// Sends all of `data`; `counted`, when given, grows by each byte the socket took, so that
// a transfer cut short logs what really went out.
bool SendAll(StreamRequest* request, std::string_view data, uint64_t* counted) {
  if (request->WriteFailed) return false;
  while (!data.empty()) {
    ssize_t n = ::send(request->Fd, data.data(), data.size(), MSG_NOSIGNAL);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      request->WriteFailed = true;
      return false;
    }
    data.remove_prefix(static_cast<size_t>(n));
    if (counted != nullptr) *counted += static_cast<uint64_t>(n);
  }
  return true;
}

}  // namespace

const char* StreamStatus_Reason(int code) {
  for (const Reason& r : kReasons) {
    if (r.Code == code) return r.Text;
  }
  return "No Reason";
}

std::string StreamDate_Format(time_t when) {
  struct tm t = {};
  gmtime_r(&when, &t);
  char text[64];
  std::snprintf(text, sizeof text, "%s, %02d %s %04d %02d:%02d:%02d GMT", kDayNames[t.tm_wday % 7],
                t.tm_mday, kMonthNames[t.tm_mon % 12], t.tm_year + 1900, t.tm_hour, t.tm_min,
                t.tm_sec);
  return text;
}

bool StreamDate_Parse(std::string_view text, time_t* when) {
  text = stream_text::TrimBlanks(text);
  // The day name comes first in every form; RFC 1123 and RFC 850 follow it with ",".
  size_t i = 0;
  while (i < text.size() &&
         ((text[i] >= 'A' && text[i] <= 'Z') || (text[i] >= 'a' && text[i] <= 'z')))
    ++i;
  if (i == 0) return false;
  std::string_view rest = text.substr(i);
  if (!rest.empty() && rest.front() == ',') {
    rest.remove_prefix(1);
    return ParseRfc1123(rest, when) || ParseRfc850(rest, when);
  }
  return ParseAsctime(rest, when);
}

bool StreamRequest_NotModifiedSince(const StreamRequest& request, time_t modified) {
  const std::string* value = StreamRequest_HeaderValue(request, "if-modified-since");
  time_t since = 0;
  return value != nullptr && StreamDate_Parse(*value, &since) && since >= modified;
}

void StreamResponse_SetStatus(StreamRequest* request, int code) { request->Status = code; }

int StreamResponse_AddField(StreamRequest* request, std::string_view name, std::string_view value) {
  if (name.empty()) return 0;
  for (char c : name) {
    if (!IsTokenChar(c)) return 0;
  }
  if (!IsValidFieldValue(value)) return 0;
  request->ResponseHeaders.emplace_back(std::string(name), std::string(value));
  return 1;
}

void StreamResponse_SetContentType(StreamRequest* request, std::string_view type) {
  StreamResponse_AddField(request, "Content-type", type);
}

void StreamResponse_SetContentLength(StreamRequest* request, uint64_t length) {
  StreamResponse_AddField(request, "Content-length", std::to_string(length));
}

void StreamResponse_SetChunked(StreamRequest* request) { request->ChunkedRequested = true; }

std::string StreamResponse_EscapePath(std::string_view path) {
  std::string escaped = FLibUrl_Escape(path);
  std::string out;
  out.reserve(escaped.size());
  for (char c : escaped) {
    if (c == '?') {
      out += "%3F";
    } else {
      out += c;
    }
  }
  return out;
}

bool StreamResponse_SendRaw(StreamRequest* request, std::string_view data) {
  return SendAll(request, data, nullptr);
}

bool StreamResponse_WriteHeader(StreamRequest* request) {
  if (request->HeaderWritten) return !request->WriteFailed;
  request->HeaderWritten = true;
  if (request->Status == 0) request->Status = 500;
  const StreamServer* server = request->Server;
  const bool http09 = request->VersionMajor == 0;
  const bool chunkable = request->ChunkedRequested && IsHttp11(*request);
  const bool framed =
      HasNoBody(*request) || chunkable || HasResponseField(*request, "content-length");
  request->ResponseKeepAlive =
      !http09 && request->Status < 400 && request->KeepAlive && request->ServerKeepAlive && framed;
  request->Chunked = request->ResponseKeepAlive && chunkable && !HasNoBody(*request);
  if (http09) return true;

  std::string head = "HTTP/1.1 " + std::to_string(request->Status) + " " +
                     StreamStatus_Reason(request->Status) + "\r\n";
  if (request->ResponseKeepAlive) {
    uint32_t timeoutMs =
        server ? server->Options.KeepAliveTimeoutMs : stream_limits::kKeepAliveTimeoutMs;
    uint32_t max = server ? server->Options.KeepAliveMax : stream_limits::kKeepAliveMax;
    head += "Connection: Keep-Alive\r\n";
    char text[64];
    std::snprintf(text, sizeof text, "timeout=%lu, max=%lu",
                  static_cast<unsigned long>(timeoutMs / 1000), static_cast<unsigned long>(max));
    head += std::string("Keep-Alive: ") + text + "\r\n";
    if (request->Chunked) head += "Transfer-Encoding: chunked\r\n";
  } else {
    head += "Connection: close\r\n";
  }
  if (request->Status >= 200) head += "Date: " + StreamDate_Format(time(nullptr)) + "\r\n";
  if (server == nullptr || server->Advertise) {
    head += std::string("Server: ") + stream_limits::kServerHeader + "\r\n";
  }
  for (const auto& [name, value] : request->ResponseHeaders) head += name + ": " + value + "\r\n";
  head += "\r\n";
  return StreamResponse_SendRaw(request, head);
}

bool StreamResponse_Write(StreamRequest* request, std::string_view data) {
  if (!request->HeaderWritten && !StreamResponse_WriteHeader(request)) return false;
  if (data.empty()) return !request->WriteFailed;
  if (!request->Chunked) return SendAll(request, data, &request->BytesSent);
  char size[32];
  std::snprintf(size, sizeof size, "%zx\r\n", data.size());
  return StreamResponse_SendRaw(request, size) && SendAll(request, data, &request->BytesSent) &&
         StreamResponse_SendRaw(request, "\r\n");
}

bool StreamResponse_End(StreamRequest* request) {
  if (!request->HeaderWritten && !StreamResponse_WriteHeader(request)) return false;
  if (!request->Chunked) return !request->WriteFailed;
  request->Chunked = false;
  return StreamResponse_SendRaw(request, "0\r\n\r\n");
}

bool StreamResponse_WriteError(StreamRequest* request) {
  if (request->Status == 0) request->Status = 500;
  char page[256];
  std::snprintf(page, sizeof page,
                "<HTML><HEAD><TITLE>Error %d</TITLE></HEAD><BODY><H1>Error %d</H1><P>%s</P>",
                request->Status, request->Status, StreamStatus_Reason(request->Status));
  std::string body = std::string(page) + stream_limits::kFooter + "</BODY></HTML>";
  StreamResponse_SetContentType(request, "text/html");
  StreamResponse_SetContentLength(request, body.size());
  if (!StreamResponse_WriteHeader(request)) return false;
  if (request->Method == kStreamMethodHead) return true;
  return StreamResponse_Write(request, body);
}

bool StreamResponse_SendError(StreamRequest* request, int code) {
  StreamResponse_SetStatus(request, code);
  return StreamResponse_WriteError(request);
}

bool StreamResponse_SendPage(StreamRequest* request, std::string_view text) {
  std::string body = "<HTML><BODY>" + std::string(text) + "</BODY></HTML>";
  StreamResponse_SetStatus(request, 200);
  StreamResponse_SetContentType(request, "text/html");
  StreamResponse_SetContentLength(request, body.size());
  if (!StreamResponse_WriteHeader(request)) return false;
  if (request->Method == kStreamMethodHead) return true;
  return StreamResponse_Write(request, body);
}

bool StreamRequest_Authenticate(StreamRequest* request, std::string_view realm,
                                std::string_view user, std::string_view password) {
  const std::string* value = StreamRequest_HeaderValue(*request, "authorization");
  if (value != nullptr) {
    std::string_view text = stream_text::TrimBlanks(*value);
    size_t blank = text.find_first_of(" \t");
    std::string_view scheme = text.substr(0, blank);
    std::string_view credentials = blank == std::string_view::npos
                                       ? std::string_view()
                                       : stream_text::TrimBlanks(text.substr(blank));
    std::string expected = FLibBase64_Encode(std::string(user) + ":" + std::string(password));
    if (platform::AsciiEqualsNoCase(scheme, "basic") && credentials == expected) {
      request->User = std::string(user);
      return true;
    }
  }
  StreamResponse_AddField(request, "WWW-Authenticate",
                          "Basic realm=\"" + std::string(realm) + "\"");
  StreamResponse_SetStatus(request, 401);
  return false;
}
