// The media server abstraction: the ContentDirectory and ConnectionManager actions of
// the device. The simple actions are answered at once on the device chain; Browse and
// Search become queued requests of the content directory logic, whose answers are
// streamed back here on the request's session.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include "cds/msl.h"
#include "upnp/soap.h"

struct UpnpLattice;

// The fixed Source list of GetProtocolInfo.
extern const std::string_view kMsaSourceProtocolList;

struct MediaServerAbstraction {
  std::atomic<UpnpLattice*> device{nullptr};
  std::string sortCapabilities;
  std::string searchCapabilities;
  std::string sinkProtocolInfo;
  std::string sourceProtocolInfo;
  // Hands a request to the logic; false when it was not taken.
  std::function<bool(std::unique_ptr<MslRequest>*)> requestCallback;

  std::mutex addressLock;
  std::vector<uint32_t> addresses;  // host order; under addressLock
};

std::unique_ptr<MediaServerAbstraction> MSA_Create(
    std::string_view sinkProtocolInfo, std::string_view sourceProtocolInfo,
    std::string_view sortCapabilities, std::string_view searchCapabilities,
    std::function<bool(std::unique_ptr<MslRequest>*)> requestCallback);
// Keeps the device and sets the evented variables to their starting values (the
// library's SystemUpdateID). Call on the device chain (DeviceReady) before it runs.
void MSA_AttachDevice(MediaServerAbstraction* msa, UpnpLattice* device);
// Fills the action slots with this abstraction's callbacks.
void MSA_InstallActions(MediaServerAbstraction* msa, UpnpLatticeActions* actions);
// Replaces the host's address list (host order). Any thread.
void MSA_SetIpAddresses(MediaServerAbstraction* msa, const uint32_t* addresses, size_t count);
// The address list for a request that came in on `localAddress`: that address first,
// the former first entry where it stood (or dropped when it was not in the list).
std::vector<uint32_t> MSA_AddressesFor(MediaServerAbstraction* msa, uint32_t localAddress);

// The action callbacks (device chain).
void MSA_Browse(MediaServerAbstraction* msa, FLibWebSession* session, const char* objectId,
                const char* browseFlag, const char* filter, uint32_t startingIndex,
                uint32_t requestedCount, const char* sortCriteria);
void MSA_Search(MediaServerAbstraction* msa, FLibWebSession* session, const char* containerId,
                const char* searchCriteria, const char* filter, uint32_t startingIndex,
                uint32_t requestedCount, const char* sortCriteria);

// Streamed answer writers, used from the logic's chain (and from the device chain for a kept
// answer); each thread gathers in a buffer of its own.
void MSA_BeginResult(const MslRequest& request);
void MSA_AppendResult(const MslRequest& request, std::string_view fragment);
void MSA_FinishResult(const MslRequest& request, uint32_t numberReturned, uint32_t totalMatches,
                      uint32_t updateId);
void MSA_SendError(const MslRequest& request, int code, std::string_view text);

// The answer writer of the service: the four operations above.
class MsaAnswerWriter : public MslAnswerWriter {
 public:
  void SendError(const MslRequest& request, int code, std::string_view text) override {
    MSA_SendError(request, code, text);
  }
  void Begin(const MslRequest& request) override { MSA_BeginResult(request); }
  void Append(const MslRequest& request, std::string_view fragment) override {
    MSA_AppendResult(request, fragment);
  }
  void Finish(const MslRequest& request, uint32_t numberReturned, uint32_t totalMatches,
              uint32_t updateId) override {
    MSA_FinishResult(request, numberReturned, totalMatches, updateId);
  }
};
