// The stream server: a second, small HTTP/1.1 server beside the device's web server, for
// disc-image members, pictures beside media files, relayed internet streams and plain
// library files. One accept thread hands each connection to one of 16 slots, each with a
// thread of its own that reads requests with blocking sockets and deadlines.
#pragma once

#include <array>
#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "platform/unique_fd.h"
#include "streamserver/mime_table.h"
#include "streamserver/stream_limits.h"
#include "streamserver/stream_request.h"

// A handler answers a request and returns non-zero, or returns 0 to let the next one try.
// The default handler's 0 means the request failed and the connection ends.
using StreamHandler = std::function<int(StreamRequest* request)>;
// Runs on every request after it has been read and validated, before the handlers.
using StreamRewriter = std::function<void(StreamRequest* request)>;

// Time-outs and the listening address; tests shorten the times and listen on loopback.
struct StreamServerOptions {
  uint32_t KeepAliveTimeoutMs = stream_limits::kKeepAliveTimeoutMs;
  uint32_t KeepAliveMax = stream_limits::kKeepAliveMax;
  uint32_t RequestTimeoutMs = stream_limits::kRequestTimeoutMs;
  uint32_t SendTimeoutMs = stream_limits::kSendTimeoutMs;
  uint32_t SlotWaitMs = stream_limits::kSlotWaitMs;
  uint32_t BindAddress = 0;  // host order; 0 = every interface
};

struct StreamConnectionSlot {
  std::thread Thread;
  platform::UniqueFd Socket;  // under the server's SlotLock
  uint32_t PeerAddress = 0;
  bool InUse = false;  // under the server's SlotLock
};

struct StreamServer {
  std::string Name;
  int ConfiguredPort = 0;
  std::string DocumentRoot;
  std::string LogFile;
  std::vector<std::string> DefaultFiles;
  bool Advertise = true;
  StreamServerOptions Options;
  std::vector<StreamHandler> Handlers;  // in registration order
  StreamHandler DefaultHandler;
  StreamRewriter Rewriter;
  MimeTable Mime;

  // Read-only for the connection threads once Run has started.
  platform::UniqueFd Listener;
  platform::UniqueFd Wake;  // an eventfd that ends the accept loop
  std::atomic<int> Port{-1};
  std::atomic<bool> Stopping{false};

  std::mutex SlotLock;
  std::condition_variable SlotFreed;
  std::array<StreamConnectionSlot, stream_limits::kConnectionSlots> Slots;
  std::mutex LogLock;
};

std::unique_ptr<StreamServer> StreamServer_Create(const std::string& name, int port,
                                                  const std::string& documentRoot,
                                                  const std::string& logFile);
void StreamServer_AddHandler(StreamServer* server, StreamHandler handler);
void StreamServer_SetDefaultHandler(StreamServer* server, StreamHandler handler);

// Creates the listening socket on a random port of 40000-40999 (choosing again while the
// port is taken) and listens. 0 on success, with server->Port set; -1 after logging why.
int StreamServer_Init(StreamServer* server);

// The accept loop. Returns once StreamServer_Stop was called and every connection thread
// has ended.
void StreamServer_Run(StreamServer* server);

// Ends Run from any thread: the listener stops accepting and every open connection is shut
// down. Run then joins the connection threads.
void StreamServer_Stop(StreamServer* server);

// Serves one connection to its end (the body of a slot's thread); exposed for tests that
// drive a connection over a socket pair.
void StreamServer_ServeConnection(StreamServer* server, int fd, uint32_t peerAddress);

// Registers the four handlers of this system: "/time", "/name", "/status/", "/mime/".
void StreamServer_AddBuiltinHandlers(StreamServer* server);

// ---- The process-wide stream server ----

// The port of the running stream server for the content directory's URLs; -1 until it is
// bound, and again after StreamServer_Shutdown or a failure to listen.
int StreamServer_Port();

// Registers the relay of internet sources (StreamRelay_Install) and starts the stream
// server's start-up thread: banner, MIME table, server record, handlers, listener, accept
// loop. Returns at once; the port is published when bound. A failure to
// listen is logged and leaves the port at -1; the process goes on. `options` lets tests
// shorten the times.
void StreamServer_Start(const StreamServerOptions& options = StreamServerOptions());

// Closes the listener, ends the connections and joins the start-up thread. Safe to call
// when nothing was started, and more than once.
void StreamServer_Shutdown();
