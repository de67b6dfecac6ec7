#include "delivery/transfer.h"

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <deque>
#include <mutex>
#include <optional>
#include <random>
#include <unordered_map>

#include "delivery/aio.h"
#include "delivery/delivery_limits.h"
#include "delivery/precache.h"
#include "gui/transfer_status.h"
#include "media/media_type.h"
#include "platform/text.h"
#include "transcode/transcode_rules.h"
#include "upnp/http_packet.h"
#include "upnp/web_server.h"

namespace {

constexpr std::string_view kServerHeader = "\r\nServer: Ferrule DMS Server";
constexpr std::string_view kNotAcceptable =
    "HTTP/1.1 406 Not Acceptable \r\nContent-Length: 0\r\n\r\n";

struct ErrorAnswer {
  uint32_t Bit;
  int Code;
  std::string_view Text;
};
// Tested in this order; the first bit set decides the answer.
constexpr ErrorAnswer kErrorAnswers[] = {
    {kTransferNotFound, 404,
     "HTTP/1.1 404 File Not Found or File is Locked\r\nContent-Length: 0\r\n\r\n"},
    {kTransferMalformed, 400,
     "HTTP/1.1 400 Request is malformed or invalid \r\nContent-Length: 0\r\n\r\n"},
    {kTransferNotImplemented, 501,
     "HTTP/1.1 501 Specified method not implemented\r\nContent-Length: 0\r\n\r\n"},
    {kTransferUnsatisfiable, 416,
     "HTTP/1.1 416 Requested range not satisfiable \r\nContent-Length: 0\r\n\r\n"},
    {kTransferInternalError, 500,
     "HTTP/1.1 500 Internal Server Error\r\nContent-Length: 0\r\n\r\n"},
    {kTransferRangeBeyondEnd, 416,
     "HTTP/1.1 416 Requested range not satisfiable \r\nContent-Length: 0\r\n\r\n"},
};
constexpr uint32_t kErrorBits = kTransferNotFound | kTransferMalformed | kTransferNotImplemented |
                                kTransferUnsatisfiable | kTransferInternalError |
                                kTransferRangeBeyondEnd;

// ---- Range parsing ----

std::string_view Trim(std::string_view text) {
  while (!text.empty() && (text.front() == ' ' || text.front() == '\t')) text.remove_prefix(1);
  while (!text.empty() && (text.back() == ' ' || text.back() == '\t')) text.remove_suffix(1);
  return text;
}

// A decimal number of digits only; false when empty, not a number, or beyond 64 bits.
bool ParseDecimal(std::string_view text, int64_t* value) {
  if (text.empty()) return false;
  int64_t n = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return false;
    if (__builtin_mul_overflow(n, 10, &n) || __builtin_add_overflow(n, c - '0', &n)) return false;
  }
  *value = n;
  return true;
}

// One "a-b", "a-" or "-b" piece; false when it ends parsing (an error bit is set).
bool ParseRangePiece(std::string_view piece, int64_t length, TransferRequest* out) {
  piece = Trim(piece);
  size_t dash = piece.find('-');
  if (dash == std::string_view::npos) {
    out->Flags |= kTransferMalformed;
    return false;
  }
  std::string_view first = Trim(piece.substr(0, dash));
  std::string_view last = Trim(piece.substr(dash + 1));
  int64_t a = 0, b = 0, start = 0, count = 0;
  if ((!first.empty() && !ParseDecimal(first, &a)) || (!last.empty() && !ParseDecimal(last, &b)) ||
      (first.empty() && last.empty())) {
    out->Flags |= kTransferMalformed;
    return false;
  }
  if (!first.empty()) {
    if (!last.empty() && b < a) {
      out->Flags |= kTransferUnsatisfiable;
      return false;
    }
    start = a;
    if (start > length) {
      out->Flags |= kTransferRangeBeyondEnd;
      return false;
    }
    // An end past the source is cut to the source, whatever its size.
    count = (last.empty() || b - a >= length - a) ? length - a : b - a + 1;
  } else if (b >= length) {
    start = 0;
    count = length;
  } else {
    start = length - b;
    count = b;
  }
  // A range holding no byte of the source (one that starts at its end, "-0", any range
  // of an empty file) cannot be answered with a Content-Range: "bytes 1000-999/1000"
  // names no bytes.
  if (count == 0) {
    out->Flags |= kTransferRangeBeyondEnd;
    return false;
  }
  if (__builtin_add_overflow(out->TotalRequested, count, &out->TotalRequested))
    out->TotalRequested = INT64_MAX;
  out->Ranges.push_back(TransferRange{start, 0, count});
  return true;
}

bool NameIs(const FLibHttpHeader& header, std::string_view name) {
  return platform::AsciiEqualsNoCase(header.Name, name);
}

// ---- The transfer ----

std::atomic<size_t> g_activeTransfers{0};

std::mutex g_openerLock;
RpEncoderOpener g_encoderOpener;

struct RpTransferState {
  explicit RpTransferState(FLibWebSession* session) : Session(session) {
    FLibWebServer_Hold(Session);
    g_activeTransfers.fetch_add(1, std::memory_order_relaxed);
  }
  ~RpTransferState() {
    Progress.reset();  // its last figure goes before the entry is ended
    if (Recorded) EndTransfer(Target, ClientAddress);
    if (Source) PreCache_Clear(Source->Id());
    Source.reset();
    FLibWebServer_Drop(Session);
    g_activeTransfers.fetch_sub(1, std::memory_order_relaxed);
  }
  RpTransferState(const RpTransferState&) = delete;
  RpTransferState& operator=(const RpTransferState&) = delete;

  FLibWebSession* const Session;
  std::unique_ptr<RpSource> Source;
  int64_t SourceLength = 0;
  bool Transcoding = false;
  std::string Target, Mime, FourthField, Boundary, ClientAddress;
  std::vector<char> Buffer;
  std::string Piece;  // the bytes of one send, boundary included
  AioRequest Read;
  void* User = nullptr;
  bool Recorded = false;  // in the transfer list, which is told when the state goes
  std::optional<TransferProgress> Progress;  // only the holder of the turn reports

  // Under Lock.
  std::mutex Lock;
  uint32_t Flags = 0;
  std::deque<TransferRange> Ranges;
  int64_t BytesSent = 0;
  int64_t AnnouncedLength = -1;  // the Content-Length of the head; -1 without one
  // Only the holder of the turn reads or sends; a drained event that finds the turn taken
  // leaves a kick, so the holder goes on instead of giving the turn back.
  bool Busy = false;
  bool Kick = false;
  bool Finished = false;
  bool Closed = false;
};

using StatePtr = std::shared_ptr<RpTransferState>;

std::mutex g_registryLock;
std::unordered_map<FLibWebSession*, StatePtr> g_registry;

void Register(const StatePtr& state) {
  std::lock_guard lock(g_registryLock);
  g_registry[state->Session] = state;
}

void Unregister(const RpTransferState* state) {
  std::lock_guard lock(g_registryLock);
  auto it = g_registry.find(state->Session);
  if (it != g_registry.end() && it->second.get() == state) g_registry.erase(it);
}

StatePtr Lookup(FLibWebSession* session) {
  std::lock_guard lock(g_registryLock);
  auto it = g_registry.find(session);
  return it == g_registry.end() ? nullptr : it->second;
}

void RunTurn(const StatePtr& state);

// Gives the turn back; true when a kick arrived meanwhile and the holder must go on.
bool ReleaseTurn(RpTransferState* state) {
  std::lock_guard lock(state->Lock);
  if (state->Kick && !state->Finished && !state->Closed) {
    state->Kick = false;
    return true;
  }
  state->Busy = false;
  state->Kick = false;
  return false;
}

void Pump(const StatePtr& state) {
  {
    std::lock_guard lock(state->Lock);
    if (state->Finished || state->Closed) return;
    if (state->Busy) {
      state->Kick = true;
      return;
    }
    state->Busy = true;
  }
  RunTurn(state);
}

// Ends the body. A body that stops short of the length its head announced cannot be
// finished on a kept-alive connection (the client would wait for the rest), so the
// connection is closed instead.
void Finish(RpTransferState* state, bool shortBody) {
  {
    std::lock_guard lock(state->Lock);
    state->Finished = true;
  }
  Unregister(state);
  if (shortBody) {
    FLibWebServer_CloseSession(state->Session);
  } else {
    FLibWebServer_StreamPiece(state->Session, nullptr, 0, FLibOwnership_Static, true);
  }
}

void Abandon(RpTransferState* state) {
  {
    std::lock_guard lock(state->Lock);
    state->Finished = true;
  }
  Unregister(state);
}

// Sends the piece; true when the holder keeps the turn and goes on.
bool SendPiece(const StatePtr& state) {
  int result = FLibWebServer_StreamPiece(state->Session, state->Piece.data(), state->Piece.size(),
                                         FLibOwnership_User, false);
  if (result < 0) {
    Abandon(state.get());
    return false;
  }
  if (result == FLibWeb_Queued) return ReleaseTurn(state.get());
  return true;
}

void OnReadDone(const StatePtr& state, AioRequest* read) {
  const int64_t n = read->BytesRead;
  bool shortBody = false;
  {
    std::lock_guard lock(state->Lock);
    if (state->Closed || state->Finished) {
      state->Busy = false;
      return;
    }
    if (n > 0 && !state->Ranges.empty()) {
      TransferRange& range = state->Ranges.front();
      range.Sent += n;
      state->BytesSent += n;
      state->Piece.assign(state->Buffer.data(), static_cast<size_t>(n));
      if (!state->Transcoding) {
        range.Remaining -= n;
        if (range.Remaining <= 0) {
          state->Ranges.pop_front();
          if (!state->Ranges.empty()) state->Piece += state->Boundary;
        }
      }
    } else {
      state->Flags |= kTransferDataEnded;
      state->Ranges.clear();
      shortBody = state->AnnouncedLength >= 0 && state->BytesSent < state->AnnouncedLength;
    }
  }
  if (n <= 0) {
    Finish(state.get(), shortBody);
    return;
  }
  if (SendPiece(state)) RunTurn(state);
}

// Runs with the turn held: drops finished empty ranges, ends the body when no range is
// left, otherwise posts the next read, which carries the turn to its completion.
void RunTurn(const StatePtr& state) {
  enum class Step { Stop, Boundary, End, Read };
  for (;;) {
    Step step = Step::Read;
    uint64_t position = 0;
    {
      std::lock_guard lock(state->Lock);
      if (state->Closed || state->Finished) {
        state->Busy = false;
        step = Step::Stop;
      } else if (state->Ranges.empty()) {
        step = Step::End;
      } else if (!state->Transcoding && state->Ranges.front().Remaining <= 0) {
        state->Ranges.pop_front();
        step = state->Ranges.empty() ? Step::End : Step::Boundary;
      } else {
        const TransferRange& range = state->Ranges.front();
        size_t size = state->Buffer.size();
        if (!state->Transcoding)
          size =
              static_cast<size_t>(std::min<int64_t>(range.Remaining, static_cast<int64_t>(size)));
        state->Read.Offset = static_cast<uint64_t>(range.Start + range.Sent);
        state->Read.Size = size;
        position = state->Read.Offset + size;
      }
    }
    switch (step) {
      case Step::Stop:
        return;
      case Step::End:
        Finish(state.get(), false);
        return;
      case Step::Boundary:
        state->Piece = state->Boundary;
        if (!SendPiece(state)) return;
        continue;
      case Step::Read:
        if (state->Progress) state->Progress->Sent(position);
        // Without a read thread the body cannot go on, and the head may have promised a
        // length: the connection is closed.
        if (Aio_PostRead(&state->Read, state, state->Session) != 0) Finish(state.get(), true);
        return;
    }
  }
}

void OnSessionClosed(FLibWebSession* session, void*) {
  StatePtr state;
  {
    std::lock_guard lock(g_registryLock);
    auto it = g_registry.find(session);
    if (it == g_registry.end()) return;
    state = std::move(it->second);
    g_registry.erase(it);
  }
  std::lock_guard lock(state->Lock);
  state->Closed = true;
}

void OnSessionDrained(FLibWebSession* session, void*) {
  if (StatePtr state = Lookup(session)) Pump(state);
}

std::string ClientAddressText(uint32_t address) {
  char text[16];
  std::snprintf(text, sizeof text, "%u.%u.%u.%u", (address >> 24) & 0xFF, (address >> 16) & 0xFF,
                (address >> 8) & 0xFF, address & 0xFF);
  return text;
}

uint32_t TransferTag() {
  static std::atomic<uint32_t> counter{std::random_device{}()};
  return counter.fetch_add(0x9E3779B9u, std::memory_order_relaxed);
}

// Opens the body's source and parses the ranges against it.
void OpenSource(RpTransferState* state, const FLibHttpPacket& request, const std::string& localPath,
                std::string_view mime) {
  if (state->Transcoding) {
    state->Mime = Transcode_OutputMime(mime);
    state->FourthField = Transcode_OutputFourthField(localPath, mime);
    RpEncoderOpener opener;
    {
      std::lock_guard lock(g_openerLock);
      opener = g_encoderOpener;
    }
    if (opener) state->Source = opener(localPath, std::string(mime));
    state->SourceLength = kTransferEncoderLength;
  } else {
    state->Mime = std::string(mime);
    state->FourthField = MediaType_DlnaFourthField(localPath, mime);
    state->Source = RpSource_OpenFile(localPath);
    if (state->Source) state->SourceLength = state->Source->Size();
  }
  if (!state->Source) {
    state->Flags |= kTransferNotFound;
    return;
  }
  state->Flags |= kTransferSourceOpen;
  TransferRequest parsed = RP_ParseTransferHeaders(request, state->SourceLength);
  state->Flags |= parsed.Flags;
  state->Ranges.assign(parsed.Ranges.begin(), parsed.Ranges.end());
}

// The extra header text of the response head, and the body length it announces (-1
// when none).
std::string ResponseHeaders(const RpTransferState& state, bool http10, int64_t* length) {
  std::string head(kServerHeader);
  char text[160];
  *length = -1;
  if (state.Transcoding) {
    // An encoder stream has no known length and no ranges: one plain body.
    head += "\r\nContent-Type: " + state.Mime;
  } else if (state.Flags & kTransferMultiRange) {
    head += "\r\nContent-Type: multipart/byteranges; boundary=" + state.Boundary;
  } else if (state.Flags & kTransferRangeAsked) {
    const TransferRange& range = state.Ranges.front();
    const int64_t end = range.Start + range.Remaining == 0 ? 0 : range.Start + range.Remaining - 1;
    std::snprintf(text, sizeof text, "\r\nContent-Range: bytes %lld-%lld/%lld",
                  static_cast<long long>(range.Start), static_cast<long long>(end),
                  static_cast<long long>(state.SourceLength));
    head += text;
    head += "\r\nContent-Length: " + std::to_string(range.Remaining);
    head += "\r\nContent-Type: " + state.Mime;
    *length = range.Remaining;
  } else {
    if (!http10) head += "\r\nAccept-Range: bytes";
    head += "\r\nContent-Length: " + std::to_string(state.SourceLength);
    head += "\r\nContent-Type: " + state.Mime;
    *length = state.SourceLength;
  }
  if (state.Flags & kTransferSendFeatures)
    head += "\r\ncontentFeatures.dlna.org: " + state.FourthField;
  return head;
}

}  // namespace

void RP_ParseRangeValue(std::string_view value, int64_t sourceLength, TransferRequest* out) {
  if (value.find('-') == std::string_view::npos || value.find('=') == std::string_view::npos) {
    out->Flags |= kTransferMalformed;
    return;
  }
  std::string_view set = value.substr(value.find('=') + 1);
  out->Flags |= kTransferRangeAsked;
  // Too many ranges are not parsed at all; the caller answers with the whole source.
  const size_t pieces = 1 + static_cast<size_t>(std::count(set.begin(), set.end(), ','));
  if (out->Ignored || out->Ranges.size() + pieces > kTransferMaxRanges) {
    out->Ignored = true;
    return;
  }
  if (pieces > 1) out->Flags |= kTransferMultiRange;
  while (true) {
    size_t comma = set.find(',');
    if (!ParseRangePiece(set.substr(0, comma), sourceLength, out)) return;
    if (comma == std::string_view::npos) return;
    set.remove_prefix(comma + 1);
  }
}

TransferRequest RP_ParseTransferHeaders(const FLibHttpPacket& request, int64_t sourceLength) {
  TransferRequest out;
  sourceLength = std::max<int64_t>(sourceLength, 0);
  for (const FLibHttpHeader& header : request.Headers) {
    if (NameIs(header, "RANGE")) {
      RP_ParseRangeValue(header.Value, sourceLength, &out);
    } else if (NameIs(header, "getcontentFeatures.dlna.org")) {
      if (!header.Value.empty() && header.Value[0] == '1') {
        out.Flags |= kTransferSendFeatures;
      } else {
        out.Flags |= kTransferMalformed;
      }
    }
    if (out.Flags & kErrorBits) return out;
  }
  // Ranges may not cost more than one pass over the source: too many of them, or
  // overlapping ones that add up to more than the source, get the whole source instead.
  if (out.Ignored || out.TotalRequested > sourceLength) {
    out.Ranges.clear();
    out.Flags &= ~(kTransferRangeAsked | kTransferMultiRange);
  }
  if (out.Ranges.size() > 1) out.Flags |= kTransferMultiRange;
  if (out.Ranges.empty()) {
    out.Flags &= ~(kTransferRangeAsked | kTransferMultiRange);
    out.Ranges.push_back(TransferRange{0, 0, sourceLength});
    out.TotalRequested = sourceLength;
  }
  return out;
}

std::string RP_MultipartBoundary(uint32_t first, uint32_t second) {
  char text[96];
  std::snprintf(text, sizeof text, "{%x{%x{%x{%x{-S3P4R470R-}%x}%x}%x}%x}", first & 0xFF,
                (first >> 8) & 0xFF, (first >> 16) & 0xFF, first >> 24, second & 0xFF,
                (second >> 8) & 0xFF, (second >> 16) & 0xFF, second >> 24);
  return text;
}

int RP_SendErrorForFlags(FLibWebSession* session, uint32_t flags, int64_t sourceLength) {
  for (const ErrorAnswer& answer : kErrorAnswers) {
    if ((flags & answer.Bit) == 0) continue;
    if (answer.Bit == kTransferRangeBeyondEnd && sourceLength >= 0) {
      // The length tells the client which ranges it may ask for instead.
      std::string text(answer.Text);
      text.insert(text.find("\r\n") + 2,
                  "Content-Range: bytes */" + std::to_string(sourceLength) + "\r\n");
      FLibWebServer_SendBytes(session, text.data(), text.size(), FLibOwnership_User, true);
    } else {
      FLibWebServer_SendBytes(session, answer.Text.data(), answer.Text.size(), FLibOwnership_Static,
                              true);
    }
    return answer.Code;
  }
  return 0;
}

void RP_SetEncoderOpener(RpEncoderOpener opener) {
  std::lock_guard lock(g_openerLock);
  g_encoderOpener = std::move(opener);
}

size_t RP_ActiveTransfers() { return g_activeTransfers.load(std::memory_order_relaxed); }

int RP_ServeFile(FLibWebSession* session, const FLibHttpPacket* request, size_t bufferSize,
                 const std::string& localPath, std::string_view mime, void* user) {
  if (session == nullptr || request == nullptr) return 0;
  // DLNA time seek is not offered; a Range header beside it is served as a byte range.
  bool timeSeek = false, range = false;
  for (const FLibHttpHeader& header : request->Headers) {
    timeSeek = timeSeek || NameIs(header, "TimeSeekRange.dlna.org");
    range = range || NameIs(header, "Range");
  }
  if (timeSeek && !range) {
    FLibWebServer_SendBytes(session, kNotAcceptable.data(), kNotAcceptable.size(),
                            FLibOwnership_Static, true);
    return 406;
  }

  auto state = std::make_shared<RpTransferState>(session);
  state->User = user;
  state->Target = request->Target;
  state->ClientAddress = ClientAddressText(FLibWebServer_PeerAddress(session));
  state->Transcoding = request->Target.find("&POWER") != std::string::npos
                           ? Transcode_NeedsTranscode(localPath) == 1
                           : Transcode_IsMarkedAvi(localPath) == 1;
  if (request->Method == "GET") {
    state->Flags |= kTransferGet;
  } else if (request->Method == "HEAD") {
    state->Flags |= kTransferHead;
  } else {
    state->Flags |= kTransferNotImplemented;
  }
  OpenSource(state.get(), *request, localPath, mime);
  // An encoder stream's length is a stand-in, not one to tell the client.
  if (int code = RP_SendErrorForFlags(session, state->Flags,
                                      state->Transcoding ? -1 : state->SourceLength))
    return code;

  state->Buffer.resize(std::clamp<size_t>(bufferSize == 0 ? kTransferDefaultBuffer : bufferSize, 1,
                                          kTransferMaxBuffer));
  state->Read.Source = state->Source.get();
  state->Read.Buffer = state->Buffer.data();
  std::weak_ptr<RpTransferState> weak = state;
  // The read holds the state through its owner; the completion only borrows it.
  state->Read.Completion = [weak](AioRequest* read) {
    if (StatePtr held = weak.lock()) OnReadDone(held, read);
  };
  state->Boundary = RP_MultipartBoundary(TransferTag(), TransferTag());

  int64_t length = -1;
  std::string headers = ResponseHeaders(*state, request->Version == "1.0", &length);
  state->AnnouncedLength = length;
  const bool partial = (state->Flags & kTransferRangeAsked) && !state->Transcoding;
  const int code = partial ? 206 : 200;
  session->Closed = OnSessionClosed;
  session->SendDrained.store(OnSessionDrained);
  Register(state);
  int result = FLibWebServer_BeginStreamRaw(session, code, partial ? "Partial Content" : "OK",
                                            headers, length);
  if (result < 0) {
    Abandon(state.get());
    return code;
  }
  if (state->Flags & kTransferHead) {
    Finish(state.get(), false);
    return code;
  }
  std::string_view name = localPath;
  name = name.substr(name.rfind('/') == std::string_view::npos ? 0 : name.rfind('/') + 1);
  RecordTransfer(name, state->ClientAddress, static_cast<uint64_t>(state->SourceLength),
                 state->Target);
  state->Recorded = true;
  state->Progress.emplace(state->Target, state->ClientAddress);
  Pump(state);
  return code;
}
