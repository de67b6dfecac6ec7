// The media server service: one thread that runs the device stack and the content
// directory until it is told to stop. Every start announces the same device: the UDN and
// serial number are made once, stored in the library, and kept for good, because control
// points remember a server (its cached answers, a user's favourites) by its UDN.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

// The search capabilities mask handed to the content directory.
inline constexpr int kServiceSearchCapabilities = 0x400005;

// What the service thread hands to the service body. Cleared and filled at each start.
struct ServiceConfig {
  std::vector<std::string> virtualDirectories;  // "0" and "1"
  std::string udn;                              // 36 characters, without "uuid:"
  std::string serialNumber;
  std::string webRoot;
  int sortCapabilities = 0;
  int searchCapabilities = 0;

  // The body calls this once its event chain exists, with the function that stops the
  // chain (safe from any thread). A stop asked for before that runs it at once.
  void SetStopper(std::function<void()> stopper);
  // Asks the body to stop: runs the stopper, or remembers the request for SetStopper.
  void RequestStop();
  // Blocks until RequestStop; for bodies without a chain of their own.
  void WaitForStop();
  bool StopRequested();

 private:
  std::mutex mutex_;
  std::condition_variable stopped_;
  std::function<void()> stopper_;
  bool stopRequested_ = false;
};

// The function the service thread runs; it returns after the service has stopped and
// freed what it made. The device stack installs its body at start-up.
using ServiceBody = std::function<void(ServiceConfig& config)>;
void SetServiceBody(ServiceBody body);

// 1 while the service thread runs, else 0.
int MediaServerService_IsRunning();
// Starts the service thread and returns once it runs: 1, or 0 when it cannot start.
// Called from the main thread only, as is Stop.
int MediaServerService_Start();
// Asks the service to stop and returns when its thread has ended.
void MediaServerService_Stop();
// The port of the device's web server (description, control, events) while the device
// runs, else 0. The service body sets it; any thread reads it.
uint16_t MediaServerService_WebPort();
void MediaServerService_SetWebPort(uint16_t port);

// The device's identity as stored in the library's "UDN" and "SerialNumber" rows.
struct DeviceIdentity {
  std::string udn;  // 36 characters, without "uuid:"
  std::string serialNumber;
};
// Reads the identity from the open library; a value that is missing or malformed (the
// first run, a library of an earlier version, a row edited by hand) is made and stored
// first. False when the library could not be read or written.
bool LoadDeviceIdentity(DeviceIdentity* identity);
// The identity every later start of the service announces. Until it is set, the service
// makes one for the life of the process.
void SetServiceIdentity(const DeviceIdentity& identity);
// The identity the service announces (one for the life of the process when none was set).
DeviceIdentity MediaServerService_Identity();

// A random (version 4) UUID as text: 8-4-4-4-12 lowercase hex.
std::string GenerateUdn();
// True for text of that shape (any UUID version, either case).
bool IsWellFormedUdn(std::string_view udn);
// The serial number from eight draws of a generator seeded with `seed`, the first draw
// printed last: "%x%x-%x-%x%x%x%x%x".
std::string MakeSerialNumber(unsigned seed);
