#include "app/service.h"

#include <stdlib.h>
#include <uuid/uuid.h>

#include <atomic>
#include <cstdio>
#include <memory>
#include <thread>

#include "library/library.h"
#include "platform/log.h"
#include "platform/thread.h"
#include "platform/tick.h"

namespace {

// How long Start waits for the new thread to report that it runs.
constexpr uint64_t kStartWaitMs = 1500;

std::atomic<int> ServiceRunning{0};
std::thread ServiceThread;
// The configuration of the current (or last) service thread; replaced only after that
// thread has ended.
std::unique_ptr<ServiceConfig> g_config;
std::mutex g_bodyMutex;
ServiceBody g_body;

void FillConfig(ServiceConfig* config) {
  config->virtualDirectories = {"0", "1"};
  config->webRoot = ".\\";
  config->sortCapabilities = 0;
  config->searchCapabilities = kServiceSearchCapabilities;
  config->serialNumber = MakeSerialNumber(static_cast<unsigned>(platform::TickCountMs()));
  config->udn = GenerateUdn();
}

void ServiceMain(ServiceConfig* config, ServiceBody body) {
  platform::SetCurrentThreadName("service");
  platform::SetCurrentThreadPriorityHighest();
  ServiceRunning.store(1, std::memory_order_release);
  FillConfig(config);
  if (body) {
    body(*config);
  } else {
    config->WaitForStop();
  }
  ServiceRunning.store(0, std::memory_order_release);
}

}  // namespace

void ServiceConfig::SetStopper(std::function<void()> stopper) {
  std::unique_lock lock(mutex_);
  if (stopRequested_) {
    lock.unlock();
    if (stopper) stopper();
    return;
  }
  stopper_ = std::move(stopper);
}

void ServiceConfig::RequestStop() {
  std::function<void()> stopper;
  {
    std::lock_guard lock(mutex_);
    stopRequested_ = true;
    stopper = std::move(stopper_);
  }
  stopped_.notify_all();
  if (stopper) stopper();
}

void ServiceConfig::WaitForStop() {
  std::unique_lock lock(mutex_);
  stopped_.wait(lock, [this] { return stopRequested_; });
}

bool ServiceConfig::StopRequested() {
  std::lock_guard lock(mutex_);
  return stopRequested_;
}

void SetServiceBody(ServiceBody body) {
  std::lock_guard lock(g_bodyMutex);
  g_body = std::move(body);
}

int MediaServerService_IsRunning() { return ServiceRunning.load(std::memory_order_acquire); }

int MediaServerService_Start() {
  if (ServiceThread.joinable()) return MediaServerService_IsRunning();
  db_forgetBrowseQuery();
  ServiceBody body;
  {
    std::lock_guard lock(g_bodyMutex);
    body = g_body;
  }
  g_config = std::make_unique<ServiceConfig>();
  try {
    ServiceThread = std::thread(ServiceMain, g_config.get(), std::move(body));
  } catch (const std::system_error& e) {
    platform::Logf("service: cannot start its thread: %s\n", e.what());
    return 0;
  }
  // Wait until the thread reports that it runs rather than a fixed time.
  uint64_t deadline = platform::TickCountMs() + kStartWaitMs;
  while (!MediaServerService_IsRunning() && platform::TickCountMs() < deadline) {
    platform::SleepMs(5);
  }
  return 1;
}

void MediaServerService_Stop() {
  if (!ServiceThread.joinable()) return;
  g_config->RequestStop();
  ServiceThread.join();
  ServiceRunning.store(0, std::memory_order_release);
}

std::string GenerateUdn() {
  // uuid_generate_time gives the fields in network order: time_low (4 bytes), time_mid
  // (2), time_hi_and_version (2), then the clock sequence and node (8 bytes).
  uuid_t first;
  uuid_t second;
  uuid_generate_time(first);
  uuid_generate_time(second);
  auto u16 = [](const uuid_t u, int at) { return static_cast<unsigned>(u[at] << 8 | u[at + 1]); };
  char tail[32];
  std::snprintf(tail, sizeof tail, "%04x-%04x-%02x%02x%02x%02x%02x%02x", u16(first, 4),
                u16(first, 6), first[8], first[9], first[10], first[11], first[12], first[13]);
  unsigned long head = static_cast<unsigned long>(second[0]) << 24 |
                       static_cast<unsigned long>(second[1]) << 16 |
                       static_cast<unsigned long>(second[2]) << 8 | second[3];
  char udn[64];
  std::snprintf(udn, sizeof udn, "%08lx-%04x-%s", head, u16(second, 4), tail);
  return udn;
}

std::string MakeSerialNumber(unsigned seed) {
  unsigned state = seed;
  int draws[8];
  for (int& d : draws) d = rand_r(&state);
  char text[96];
  std::snprintf(text, sizeof text, "%x%x-%x-%x%x%x%x%x", draws[7], draws[6], draws[5], draws[4],
                draws[3], draws[2], draws[1], draws[0]);
  return text;
}
