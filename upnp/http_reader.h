// The receive state machine of HTTP messages, shared by the web server (requests) and
// the web client (responses). It turns a byte stream, cut anywhere, into a header and a
// whole body framed by Content-Length, chunked coding or the end of the connection.
// It never reads past the bytes given and refuses anything over the limits of limits.h.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "upnp/http_packet.h"

enum class FLibHttpReaderMode { Server, Client };

enum class FLibHttpReaderState {
  Header,        // collecting the header block
  Body,          // Content-Length body
  ChunkSize,     // collecting a chunk-size line
  ChunkData,     // inside a chunk
  ChunkDataEnd,  // the CR LF after a chunk's data
  Trailer,       // the lines after the last chunk
  ToEnd,         // a body that ends with the connection
  Complete,      // a whole message has been read; nothing more is taken until reset
  Failed,        // the message was refused; nothing more is taken
};

// Results of FLibHttpReader_Feed and FLibHttpReader_End.
inline constexpr int FLibHttpReader_NeedMore = 0;     // every useful byte was taken
inline constexpr int FLibHttpReader_HeaderDone = 1;   // header read; a body follows
inline constexpr int FLibHttpReader_MessageDone = 2;  // header and whole body read
inline constexpr int FLibHttpReader_Failed = -1;      // see ErrorStatus and ErrorText

struct FLibHttpReader {
  FLibHttpReaderMode Mode = FLibHttpReaderMode::Server;
  FLibHttpReaderState State = FLibHttpReaderState::Header;
  std::string Pending;       // the part of a header block, chunk line or trailer so far
  FLibHttpPacketPtr Packet;  // the message; its Body collects the decoded body
  bool Started = false;      // a byte of the current message has arrived
  bool Chunked = false;
  bool CloseAfter = false;      // "Connection: close"
  bool ExpectContinue = false;  // a request with "Expect: 100-continue" and a body
  bool BodyToEnd = false;
  bool ResponseToHead = false;  // client mode: the request was HEAD, so no body follows
  uint64_t Remaining = 0;       // body bytes (or bytes of the current chunk) still expected
  size_t TrailerBytes = 0;
  uint64_t MaxBodyBytes = 0;  // set by Init from limits.h
  int ErrorStatus = 0;        // 400 or 413 after a failure
  const char* ErrorText = "";
};

void FLibHttpReader_Init(FLibHttpReader* reader, FLibHttpReaderMode mode);

// Forgets the current message; the next byte starts a new one. Mode, ResponseToHead
// and MaxBodyBytes are kept.
void FLibHttpReader_Reset(FLibHttpReader* reader);

// Takes bytes from the front of `data` and says how many in *consumed. Stops after the
// header of a message with a body (HeaderDone) and after a whole message (MessageDone),
// so that bytes behind it, such as a pipelined request, stay with the caller. Once
// Complete or Failed it takes nothing until reset.
int FLibHttpReader_Feed(FLibHttpReader* reader, std::string_view data, size_t* consumed);

// The connection ended. MessageDone when the body ran to the end of the connection, the
// NeedMore code when no message had started, Failed when one was cut short.
int FLibHttpReader_End(FLibHttpReader* reader);

// True for "a.b.c.d" and "[IPv6]", each with an optional ":port" of at most 65535. A Host
// header naming anything else is refused by the server: a page in a browser that got one
// of our addresses for its own DNS name must not read our answers.
bool FLibHttp_IsIpLiteralHost(std::string_view host);
