// The content directory of the media server device: the abstraction on the device chain
// and the logic on a chain of its own, run by a thread this object owns; the items'
// resources and the media URLs ("/0/...", "/1/...") of the device's web server.
//
//   ContentDirectoryService cds(webRoot);
//   cds.Configure(&hostConfig);  // fills the actions and DeviceReady
//   cds.Start();
//   RunMediaServerDevice(hostConfig, ...);
//   cds.Stop();                  // also done when the device chain ends, and on destruction
//
// The object must outlive RunMediaServerDevice: the device chain calls back into it.
#pragma once

#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "cds/icc_resources.h"
#include "cds/msa.h"
#include "cds/msl.h"
#include "cds/update_events.h"
#include "upnp/chain.h"
#include "upnp/device_host.h"

class ContentDirectoryService {
 public:
  // `streamPort` reads the stream server's port (-1 until bound); empty when there is
  // no stream server, so audio and video are offered on the web port.
  explicit ContentDirectoryService(std::string webRoot, std::function<int()> streamPort = {});
  ~ContentDirectoryService();
  ContentDirectoryService(const ContentDirectoryService&) = delete;
  ContentDirectoryService& operator=(const ContentDirectoryService&) = delete;

  // Fills the content directory and connection manager actions of `config` and chains
  // its DeviceReady so that the evented variables are set, library changes are evented
  // while the device runs, and the logic stops when the device chain ends.
  void Configure(DeviceHostConfig* config);
  // Starts the logic's chain on its own thread. False when the chain cannot be made.
  bool Start();
  // Stops the logic's chain and waits for its thread; queued requests are dropped. Any
  // thread but the logic's own; idempotent.
  void Stop();

  MediaServerAbstraction* abstraction() { return msa_.get(); }
  MediaServerLogic* logic() { return logic_; }
  IccResourceContext* resources() { return &resources_; }

 private:
  std::unique_ptr<FileSystemEnumerator> fse_;
  MsaAnswerWriter writer_;
  std::unique_ptr<MediaServerAbstraction> msa_;
  FLibChainPtr chain_;
  MediaServerLogic* logic_ = nullptr;  // owned by chain_
  IccResourceContext resources_;       // its provider is owned by chain_
  UpdateEventModerator updateEvents_;  // fed by the library, drained on the device chain
  std::mutex threadLock_;
  std::thread thread_;
};
