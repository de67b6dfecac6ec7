// Every limit and time-out of the device stack, in one place.
#pragma once

#include <cstddef>
#include <cstdint>

namespace upnp_limits {

// ---- Parsers ----

// Header values longer than this are written as several lines joined by CR LF space, so
// that no single header line of ours grows without bound.
inline constexpr size_t kHttpHeaderFoldWidth = 800;

// Element nesting accepted by the XML pairing. SOAP and GENA bodies nest a handful of
// levels; anything deeper is hostile and is refused before code walks the tree.
inline constexpr size_t kXmlMaxDepth = 100;

// Tags accepted in one XML document; each costs a node of about a hundred bytes, so a
// body made of "<a" runs cannot make the reader allocate without bound.
inline constexpr size_t kXmlMaxNodes = 100000;

// ---- Chain, sockets, web server, web client ----

// The longest a chain blocks when no module asks for less: one day.
inline constexpr int32_t kChainDefaultBlockMs = 86400 * 1000;

// Random local ports of listening and outgoing sockets: 50000 to 64999.
inline constexpr uint16_t kRandomPortBase = 50000;
inline constexpr uint16_t kRandomPortSpan = 15000;
// Tries of a random port before giving up (listening) or letting the system choose
// (outgoing), so that a crowded range cannot spin forever.
inline constexpr int kRandomPortAttempts = 100;
inline constexpr int kOutgoingPortAttempts = 20;

// Connections the kernel holds while every pooled connection is busy. Clients open many
// at once (a TV filling a screen of thumbnails opens one per picture, and a home has
// several such clients), and a connection that finds the queue full is dropped: the
// client's TCP tries again only after a second, then three, and may end with a reset.
// Waiting in the queue costs a client milliseconds instead. The kernel caps the value at
// net.core.somaxconn (4096 by default).
inline constexpr int kListenBacklog = 128;
// Send buffer of every accepted connection.
inline constexpr int kAcceptedSendBufferBytes = 61440;

// Receive buffers grow in steps while fewer than kReceiveBufferMinFree bytes are free,
// and never beyond kReceiveBufferMaxBytes: a peer whose bytes the consumer does not take
// is cut off rather than filling memory. The HTTP reader copies bodies out, so its socket
// buffer only ever holds one header block and what was pipelined behind it.
inline constexpr size_t kReceiveBufferGrowStep = 4096;
inline constexpr size_t kReceiveBufferMinFree = 1024;
inline constexpr size_t kReceiveBufferMaxBytes = 64 * 1024;

// HTTP messages read by the server and the client. A header block (start line, header
// lines and the blank line) of more bytes or more lines is refused, as is a body longer
// than kHttpMaxBodyBytes: SOAP and GENA bodies are small, and whole bodies are kept in
// memory for their handlers.
inline constexpr size_t kHttpMaxHeaderBytes = 16 * 1024;
inline constexpr size_t kHttpMaxHeaderLines = 100;
inline constexpr size_t kHttpMaxBodyBytes = 1024 * 1024;
// A chunk-size line: at most this many hexadecimal digits (a 64-bit size), and at most
// kHttpMaxChunkLineBytes bytes with its extensions.
inline constexpr size_t kHttpMaxChunkSizeDigits = 16;
inline constexpr size_t kHttpMaxChunkLineBytes = 1024;
// The trailer after the last chunk, all lines together.
inline constexpr size_t kHttpMaxTrailerBytes = 16 * 1024;

// Web server sessions. A connection without a request for kWebSessionIdleMs is closed.
// Once a request's first byte has arrived, its header block must be complete within
// kHttpHeaderDeadlineMs and the whole request, body included, within kHttpBodyDeadlineMs
// of that first byte: deadlines for the whole, so trickling bytes does not extend them.
inline constexpr uint32_t kWebSessionIdleMs = 3000;
inline constexpr uint32_t kHttpHeaderDeadlineMs = 10000;
inline constexpr uint32_t kHttpBodyDeadlineMs = 30000;
// An answer whose queued bytes have not moved for this long is given up and its
// connection closed: the server has only kDeviceWebConnections connections, and a
// client that stops reading but keeps its socket open must not hold one for ever.
inline constexpr uint32_t kWebSendStallMs = 30000;
// A connection closed while its client may still be sending (after refusing a request,
// or answering one before its body was read) first shuts down its sending side, then
// reads and drops what still comes until the client closes, for at most kLingerMs after
// the shutdown and kLingerMaxBytes. Closing at once with those bytes unread makes the
// kernel answer with a reset, and a client that sends its whole request before it reads
// (most do) then never reads the answer. The byte limit lets such a client finish a
// refused body of a few MiB; both limits keep one that sends on and on from holding a
// connection.
inline constexpr uint32_t kLingerMs = 3000;
inline constexpr size_t kLingerMaxBytes = 4 * 1024 * 1024;
// Initial receive buffer of each server and client connection.
inline constexpr size_t kWebInitialBufferBytes = 2048;

// Web client. A connected destination without queued requests is closed after
// kWebClientIdleMs; at most kWebClientMaxIdleDestinations are remembered after that.
// Failed connects are retried after 1, 2, 4 and 8 retry units; the step that reaches
// kWebClientRetryStepLimit gives up. A response must be complete within
// kWebClientResponseDeadlineMs of sending the request, so a peer that accepts and never
// answers cannot hold a pooled connection.
inline constexpr uint32_t kWebClientIdleMs = 3000;
inline constexpr size_t kWebClientMaxIdleDestinations = 20;
inline constexpr uint32_t kWebClientRetryUnitMs = 1000;
inline constexpr uint32_t kWebClientRetryStepLimit = 16;
inline constexpr uint32_t kWebClientResponseDeadlineMs = 30000;
// A request that lost its connection before any byte of the response is sent again on a
// fresh connection at most this many times.
inline constexpr int kWebClientResendLimit = 1;

// ---- Device layer ----

// SSDP. Searches are datagrams of at most kSsdpDatagramMaxBytes; an MX above kSsdpMaxMx
// counts as kSsdpMaxMx seconds. Announcements leave with a multicast TTL of
// kSsdpMulticastTtl.
inline constexpr size_t kSsdpDatagramMaxBytes = 4096;
inline constexpr uint32_t kSsdpMaxMx = 10;
inline constexpr int kSsdpMulticastTtl = 4;
// The first round starts within kSsdpStartSpreadMs of start-up (and of an address
// change); a round sends every type within kSsdpRoundSpreadMs and repeats it
// kSsdpRepeatDelayMs later. The round itself comes back every cycle/4 to cycle/2 seconds.
inline constexpr uint32_t kSsdpStartSpreadMs = 500;
inline constexpr uint32_t kSsdpRoundSpreadMs = 1000;
inline constexpr uint32_t kSsdpRepeatDelayMs = 7000;
// The notify cycle (and max-age) the media server announces with.
inline constexpr int kSsdpNotifyCycleSeconds = 1800;
// At most kSsdpMaxAnswersPerSecond searches per requester address are answered within
// kSsdpRateWindowMs; the table of requesters holds at most kSsdpRateTableMax addresses.
// No more than kSsdpMaxPendingReplies reply tasks wait at once.
inline constexpr uint32_t kSsdpMaxAnswersPerSecond = 10;
inline constexpr uint64_t kSsdpRateWindowMs = 1000;
inline constexpr size_t kSsdpRateTableMax = 1024;
inline constexpr size_t kSsdpMaxPendingReplies = 256;

// The device's web server connections and the web client pool for GENA notifications.
inline constexpr int kDeviceWebConnections = 5;
inline constexpr int kDeviceWebClientPool = 5;

// GENA. New subscriptions last at most kGenaMaxTimeoutSeconds; a missing or unusable
// time-out counts as kGenaDefaultTimeoutSeconds. Each service keeps at most
// kGenaMaxSubscribers. A callback URL is at most kGenaMaxCallbackBytes long. A NOTIFY
// that has no answer within kGenaNotifyTimeoutMs (connect included) fails, and its
// subscriber is dropped.
inline constexpr int32_t kGenaMaxTimeoutSeconds = 7200;
inline constexpr int32_t kGenaDefaultTimeoutSeconds = 300;
inline constexpr size_t kGenaMaxSubscribers = 10;
inline constexpr size_t kGenaMaxCallbackBytes = 256;
inline constexpr uint32_t kGenaNotifyTimeoutMs = 5000;
// A new subscriber's first event follows the answer to its SUBSCRIBE after this delay.
inline constexpr uint32_t kGenaInitialEventDelayMs = 200;

}  // namespace upnp_limits
