// Answers one GET or HEAD of a resolved local file on the embedded web server: byte
// ranges, the DLNA contentFeatures header, fixed error answers, and a body streamed one
// buffer at a time through the read thread (aio.h). Files that are converted for the
// client are streamed from an encoder instead of the disk.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "delivery/rp_source.h"

struct FLibWebSession;
struct FLibHttpPacket;

// Bits of a transfer's flags.
enum TransferFlag : uint32_t {
  kTransferGet = 1u << 0,
  kTransferHead = 1u << 1,
  kTransferSendFeatures = 1u << 2,
  kTransferRangeAsked = 1u << 3,
  kTransferMultiRange = 1u << 4,
  kTransferDataEnded = 1u << 9,
  kTransferSourceOpen = 1u << 16,
  kTransferRangeBeyondEnd = 1u << 26,
  kTransferInternalError = 1u << 27,
  kTransferNotImplemented = 1u << 28,
  kTransferUnsatisfiable = 1u << 29,
  kTransferMalformed = 1u << 30,
  kTransferNotFound = 1u << 31,
};

struct TransferRange {
  int64_t Start = 0;
  int64_t Sent = 0;
  int64_t Remaining = 0;
};

// The request headers that decide a transfer, parsed against a source length.
struct TransferRequest {
  uint32_t Flags = 0;
  std::vector<TransferRange> Ranges;  // in request order; never empty without an error bit
  int64_t TotalRequested = 0;
  bool Ignored = false;  // more than kTransferMaxRanges ranges: the whole source is sent
};

// Parses the Range ("bytes=a-b,c-d,-n,m-") and getcontentFeatures.dlna.org headers of
// `request`, in order, against a source of `sourceLength` bytes. Error bits go to
// Flags; without a range the whole source is one range. A set of more than
// kTransferMaxRanges ranges, or one whose lengths add up to more than the source, is
// answered as if no range was asked.
TransferRequest RP_ParseTransferHeaders(const FLibHttpPacket& request, int64_t sourceLength);

// Parses one Range value into *out (flags and ranges are added to). Exposed for the
// fuzzer and tests.
void RP_ParseRangeValue(std::string_view value, int64_t sourceLength, TransferRequest* out);

// The multipart boundary text of two per-transfer values.
std::string RP_MultipartBoundary(uint32_t first, uint32_t second);

// Sends the fixed answer of the highest-priority error bit of `flags` and finishes the
// request. A range beyond the end of a source of known `sourceLength` gets its 416 with
// "Content-Range: bytes */<length>". Returns the HTTP code sent, or 0 when no error bit
// is set.
int RP_SendErrorForFlags(FLibWebSession* session, uint32_t flags, int64_t sourceLength = -1);

// Opens the encoder for a converted file: the file's path and its own MIME type. Null
// when the encoder does not start.
using RpEncoderOpener =
    std::function<std::unique_ptr<RpSource>(const std::string& path, const std::string& mime)>;
// Registers the encoder opener (an empty function removes it). Without one, a file that
// is to be converted is answered 404, as for an encoder that did not start.
void RP_SetEncoderOpener(RpEncoderOpener opener);

// Answers `request` (GET or HEAD; other methods get 501) with the file at `localPath`
// of type `mime`, reading `bufferSize` bytes at a time (4096 from the web handler). Call
// it on the chain thread from the virtual directory's handler once the whole request has
// arrived; the request must stay valid until this returns. The body continues through
// the read thread (Aio_Start must have run) and the session's send-drained event; the
// transfer ends when the body is sent or the connection closes. Takes over the session's
// Closed and SendDrained handlers. Returns the status code sent (200, 206, 4xx, 5xx).
int RP_ServeFile(FLibWebSession* session, const FLibHttpPacket* request, size_t bufferSize,
                 const std::string& localPath, std::string_view mime, void* user);

// Transfers started and not yet released, for tests and status.
size_t RP_ActiveTransfers();
