// Feeds the HTTP receive state machine arbitrary byte streams cut at arbitrary places,
// as a socket would deliver them. Byte 0 picks the mode (bit 0: client, bit 1: the
// request was HEAD); byte 1 seeds the cut positions; the rest is the stream.
#include <cstddef>
#include <cstdint>
#include <string>

#include "platform/testing/fuzz_check.h"
#include "upnp/http_reader.h"
#include "upnp/limits.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 2) return 0;
  FLibHttpReader reader;
  FLibHttpReader_Init(&reader,
                      (data[0] & 1) ? FLibHttpReaderMode::Client : FLibHttpReaderMode::Server);
  reader.ResponseToHead = (data[0] & 2) != 0;
  uint32_t cut = data[1] * 2654435761u + 1;
  const char* stream = reinterpret_cast<const char*>(data + 2);
  size_t length = size - 2;

  std::string buffered;  // the socket's unconsumed bytes
  size_t at = 0;
  int messages = 0;
  while (at < length) {
    cut ^= cut << 13;
    cut ^= cut >> 17;
    cut ^= cut << 5;
    size_t piece = 1 + cut % 97;
    if (piece > length - at) piece = length - at;
    buffered.append(stream + at, piece);
    at += piece;
    for (;;) {
      size_t consumed = 0;
      int result = FLibHttpReader_Feed(&reader, buffered, &consumed);
      FuzzCheck(consumed <= buffered.size());
      buffered.erase(0, consumed);
      FuzzCheck(reader.Pending.size() <= upnp_limits::kHttpMaxHeaderBytes);
      if (result == FLibHttpReader_Failed) {
        FuzzCheck(reader.ErrorStatus == 400 || reader.ErrorStatus == 413);
        return 0;
      }
      if (result == FLibHttpReader_MessageDone) {
        FuzzCheck(reader.Packet != nullptr);
        FuzzCheck(reader.Packet->Body.size() <= upnp_limits::kHttpMaxBodyBytes);
        FuzzCheck((reader.Packet->StatusCode == -1) == (reader.Mode == FLibHttpReaderMode::Server));
        ++messages;
        FLibHttpReader_Reset(&reader);
        continue;
      }
      if (result == FLibHttpReader_HeaderDone) {
        FuzzCheck(reader.Packet != nullptr);
        continue;
      }
      break;  // needs more bytes
    }
  }
  int end = FLibHttpReader_End(&reader);
  if (end == FLibHttpReader_MessageDone) FuzzCheck(reader.Packet && reader.BodyToEnd);
  (void)messages;
  return 0;
}
