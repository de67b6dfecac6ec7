// The process-wide stream server: one start-up thread builds it and runs its accept loop;
// shutdown stops it and joins the thread.
#include <atomic>
#include <memory>
#include <mutex>
#include <thread>

#include "platform/app_directory.h"
#include "platform/log.h"
#include "platform/thread.h"
#include "streamserver/stream_media.h"
#include "streamserver/stream_relay.h"
#include "streamserver/stream_server.h"

namespace {

// Lock order: g_lifeLock, then the server's own locks.
std::mutex g_lifeLock;
std::thread g_thread;
StreamServer* g_server = nullptr;  // owned by the start-up thread while it runs
bool g_stopRequested = false;
std::atomic<int> g_port{-1};

void StartupThread(StreamServerOptions options) {
  platform::SetCurrentThreadName("stream-server");
  const std::string mimePath = platform::AppPath(stream_limits::kMimeTypesFile);
  platform::Log(stream_limits::kBannerLine1);
  platform::Log(stream_limits::kBannerLine2);
  platform::Log("\nPress Ctrl+C to stop the server\n");

  std::unique_ptr<StreamServer> server = StreamServer_Create(
      stream_limits::kServerName, stream_limits::kConfiguredPort, stream_limits::kDocumentRoot, "");
  server->Options = options;
  const std::string shipped = platform::ShippedFilePath(stream_limits::kMimeTypesFile);
  if (!MimeTable_LoadFirst(&server->Mime, mimePath, shipped)) {
    platform::Logf("Stream server: no MIME table at %s\n", mimePath.c_str());
  }
  StreamServer_AddBuiltinHandlers(server.get());
  StreamMedia_Install(server.get());
  // A server that cannot listen leaves the port at -1; the content directory then uses
  // the web server's port, and the rest of the program goes on.
  if (StreamServer_Init(server.get()) != 0) return;
  {
    std::lock_guard<std::mutex> lock(g_lifeLock);
    if (g_stopRequested) return;
    g_server = server.get();
    g_port.store(server->Port.load(), std::memory_order_release);
  }
  StreamServer_Run(server.get());
  std::lock_guard<std::mutex> lock(g_lifeLock);
  g_server = nullptr;
  g_port.store(-1, std::memory_order_release);
}

}  // namespace

int StreamServer_Port() { return g_port.load(std::memory_order_acquire); }

void StreamServer_Start(const StreamServerOptions& options) {
  std::lock_guard<std::mutex> lock(g_lifeLock);
  if (g_thread.joinable()) return;
  g_stopRequested = false;
  StreamRelay_Install();
  g_thread = std::thread(StartupThread, options);
}

void StreamServer_Shutdown() {
  std::thread thread;
  {
    std::lock_guard<std::mutex> lock(g_lifeLock);
    g_stopRequested = true;
    if (g_server != nullptr) StreamServer_Stop(g_server);
    thread = std::move(g_thread);
  }
  if (thread.joinable()) thread.join();
  g_port.store(-1, std::memory_order_release);
}
