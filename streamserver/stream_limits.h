// Every limit, time-out and fixed value of the stream server, in one place.
#pragma once

#include <cstddef>
#include <cstdint>

#include "upnp/limits.h"

namespace stream_limits {

// ---- Listening ----

// The listening port is chosen at random in [kPortBase, kPortBase + kPortSpan). A port in
// use is replaced by another random one, at most kBindAttempts times, so a crowded range
// ends in a logged failure instead of a spin.
inline constexpr uint16_t kPortBase = 40000;
inline constexpr uint16_t kPortSpan = 1000;
inline constexpr int kBindAttempts = 2000;
// Connections waiting for a slot: as many as the device's web server lets wait, for the
// same reason (a client opens many connections at once, and one dropped from a full queue
// is retried only a second later).
inline constexpr int kListenBacklog = upnp_limits::kListenBacklog;

// The port the server record names; only printed, the real one is random.
inline constexpr int kConfiguredPort = 80;

// ---- Connections ----

// Connections served at once. With every slot busy, new connections wait in the listen
// backlog and the accept loop looks again after kSlotWaitMs (or as soon as one frees).
inline constexpr size_t kConnectionSlots = 16;
inline constexpr uint32_t kSlotWaitMs = 2000;

// Keep-alive: a connection may stay idle this long between requests, and serves at most
// this many requests. Both are also announced in the Keep-Alive header.
inline constexpr uint32_t kKeepAliveTimeoutMs = 10000;
inline constexpr uint32_t kKeepAliveMax = 10;

// The whole request head must arrive within this time of its first byte; trickling bytes
// does not extend it.
inline constexpr uint32_t kRequestTimeoutMs = upnp_limits::kHttpHeaderDeadlineMs;

// A client that takes no bytes for this long is cut off, so a stalled reader cannot hold a
// connection slot forever.
inline constexpr uint32_t kSendTimeoutMs = 30000;

// A request head (request line, header lines and the blank line, with any blank lines in
// front) of more bytes or more lines is refused with 400. Same limits as the device stack.
inline constexpr size_t kMaxHeadBytes = upnp_limits::kHttpMaxHeaderBytes;
inline constexpr size_t kMaxHeadLines = upnp_limits::kHttpMaxHeaderLines;

// A connection closed while the client may still be sending (a refused head, a body the
// server does not read, pipelined requests after the last one served) lingers as the
// device's web server's do: the sending side is shut down and what still comes is read
// and dropped, so that the close does not reset the connection before the client has
// read the answer.
inline constexpr uint32_t kLingerMs = upnp_limits::kLingerMs;
inline constexpr size_t kLingerMaxBytes = upnp_limits::kLingerMaxBytes;

// Bytes read from the socket at once.
inline constexpr size_t kReceiveChunkBytes = 4096;

// ---- Media handling ----

// Body pieces are copied in buffers of this size.
inline constexpr size_t kTransferBufferBytes = 65536;

// A file's bytes go out through a buffer of this size, taken for each answer and given
// back at its end (every connection slot may hold one), one read and one send per fill.
// Reading into it and sending from it costs both ends less processor time than
// sendfile() over loopback and veth links, where the server and its clients share cores.
inline constexpr size_t kFileBufferBytes = 1u << 20;

// A Range header with more ranges than this is answered with the whole file: hundreds of
// tiny ranges only serve to multiply the work of one request.
inline constexpr size_t kMaxRanges = 32;

// Bytes looked at to tell a text file from a binary one.
inline constexpr size_t kSniffBytes = 80;

// The multipart boundary and the type of a multi-range answer.
inline constexpr const char* kMultipartBoundary = "##123456789###BOUNDARY";
inline constexpr const char* kMultipartType =
    "multipart/byteranges; boundary=##123456789###BOUNDARY";

// ---- Relay of internet sources ----

// A value read from a YouTube watch page (video id, length, token) longer than this is
// taken as no value: real ones are short, and the video address must fit the encoder's
// command line.
inline constexpr size_t kYouTubeValueMax = 256;
// The last fetched watch page is kept in this file of the program directory.
inline constexpr const char* kYouTubePageLog = "log.txt";

// ---- Server identity ----

inline constexpr const char* kServerName = "HTTPServer";
inline constexpr const char* kDocumentRoot = "c:\\talus\\htdocs";
inline constexpr const char* kServerHeader = "TALUS/0.3";
inline constexpr const char* kBannerLine1 = "TALUS Web Server version 0.3\n";
inline constexpr const char* kBannerLine2 = "Serves disc images, relayed streams and pictures\n\n";
inline constexpr const char* kFooter = "<HR><ADDRESS>TALUS Web Server 0.3</ADDRESS>";
inline constexpr const char* kMimeTypesFile = "mime.types";

// The fixed account of the "/time" page.
inline constexpr const char* kTimeRealm = "Mot de passe";
inline constexpr const char* kTimeUser = "oxen";
inline constexpr const char* kTimePassword = "tidal";

}  // namespace stream_limits
