#include "app/service.h"

#include <stdlib.h>
#include <uuid/uuid.h>

#include <atomic>
#include <cctype>
#include <cstdio>
#include <memory>
#include <optional>
#include <thread>

#include "app/settings.h"
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
std::mutex g_identityMutex;
std::optional<DeviceIdentity> g_identity;

// The serial number text is written into the device description as it is, so it is kept
// to the characters and the length (eight values of up to eight digits, two dashes) that
// MakeSerialNumber prints.
constexpr size_t kSerialNumberMax = 66;

bool IsWellFormedSerialNumber(std::string_view serial) {
  if (serial.empty() || serial.size() > kSerialNumberMax) return false;
  for (char c : serial) {
    if (!std::isxdigit(static_cast<unsigned char>(c)) && c != '-') return false;
  }
  return true;
}

DeviceIdentity NewIdentity() {
  return {GenerateUdn(), MakeSerialNumber(static_cast<unsigned>(platform::TickCountMs()))};
}

DeviceIdentity ServiceIdentity() {
  std::lock_guard lock(g_identityMutex);
  if (!g_identity) g_identity = NewIdentity();
  return *g_identity;
}

void FillConfig(ServiceConfig* config) {
  config->virtualDirectories = {"0", "1"};
  config->webRoot = ".\\";
  config->sortCapabilities = 0;
  config->searchCapabilities = kServiceSearchCapabilities;
  DeviceIdentity identity = ServiceIdentity();
  config->serialNumber = identity.serialNumber;
  config->udn = identity.udn;
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

namespace {
std::atomic<uint16_t> g_webPort{0};
}  // namespace

uint16_t MediaServerService_WebPort() { return g_webPort.load(std::memory_order_acquire); }
void MediaServerService_SetWebPort(uint16_t port) {
  g_webPort.store(port, std::memory_order_release);
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

bool LoadDeviceIdentity(DeviceIdentity* identity) {
  // One transaction, so that two programs on one library (a running server and a tool
  // asking for the UDN) never both make one.
  LibraryTransaction batch;
  if (!batch.Active()) return false;
  std::string udn, serial;
  bool foundUdn = false, foundSerial = false;
  if (!db_getAVP(kKeyUdn, &udn, &foundUdn) || !db_getAVP(kKeySerialNumber, &serial, &foundSerial) ||
      !foundUdn || !foundSerial) {
    return false;
  }
  DeviceIdentity made = NewIdentity();
  if (!IsWellFormedUdn(udn)) {
    if (!udn.empty())
      platform::Logf("The stored UDN \"%s\" is malformed; making a new one.\n", udn.c_str());
    udn = made.udn;
    db_setAVP(kKeyUdn, udn);
  }
  if (!IsWellFormedSerialNumber(serial)) {
    serial = made.serialNumber;
    db_setAVP(kKeySerialNumber, serial);
  }
  if (!batch.Commit()) return false;
  identity->udn = udn;
  identity->serialNumber = serial;
  return true;
}

DeviceIdentity MediaServerService_Identity() { return ServiceIdentity(); }

void SetServiceIdentity(const DeviceIdentity& identity) {
  std::lock_guard lock(g_identityMutex);
  g_identity = identity;
}

std::string GenerateUdn() {
  uuid_t id;
  uuid_generate_random(id);
  char text[37];
  uuid_unparse_lower(id, text);
  return text;
}

bool IsWellFormedUdn(std::string_view udn) {
  if (udn.size() != 36) return false;
  for (size_t i = 0; i < udn.size(); ++i) {
    bool dash = i == 8 || i == 13 || i == 18 || i == 23;
    unsigned char c = static_cast<unsigned char>(udn[i]);
    if (dash ? c != '-' : !std::isxdigit(c)) return false;
  }
  return true;
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
