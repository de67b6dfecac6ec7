// The res elements of Browse and Search answers: which URLs, on which address and port,
// with which protocolInfo, sizes and durations each item is offered. Registered as the
// content directory logic's per-object callback.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <functional>

#include "cds/cds_object.h"
#include "cds/cds_to_didl.h"
#include "cds/msl.h"
#include "library/media_record.h"

struct ResourceProvider;

inline constexpr uint16_t kIccMkvPort = 3456;  // the auxiliary web server
inline constexpr int kIccStreamPortWaits = 2;
inline constexpr uint32_t kIccStreamPortWaitMs = 1000;
// Album pictures remembered as described (a few hundred bytes each); past this the memory
// is started afresh, which costs only describing the pictures asked about again.
inline constexpr size_t kIccCoversRemembered = 4096;

struct IccResourceContext {
  ResourceProvider* provider = nullptr;
  // The stream server's port, -1 until it is bound; empty when there is none.
  std::function<int()> streamPort;
  uint32_t streamPortWaitMs = kIccStreamPortWaitMs;
  uint16_t mkvPort = kIccMkvPort;
  // Set once the stream server has had its wait and was still not up: later objects use
  // the web port at once instead of each waiting again.
  std::atomic<bool> streamPortGivenUp{false};
};

// Adds the resources of `record` to `object` for every address the filter asks for.
// Runs on the logic's chain.
void Icc_AddResources(IccResourceContext* context, const MslRequest& request,
                      const MediaRecord& record, CdsFilter mask, CdsMediaObject* object);

// "%d.%d.%d.%d:%d" of a host-order address (127.0.0.1 is 0x7F000001) and a port.
std::string Icc_HostAndPort(uint32_t address, int port);
