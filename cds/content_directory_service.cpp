#include "cds/content_directory_service.h"

#include "cds/icc_web.h"
#include "delivery/resource_url.h"
#include "library/library.h"
#include "platform/net_interfaces.h"
#include "platform/tick.h"
#include "transcode/transcode_rules.h"
#include "upnp/lattice.h"
#include "upnp/web_server.h"

namespace {

// Stops the content directory when the device chain ends, before the device's web
// server goes away under sessions still being answered.
struct StopOnDeviceEnd : FLibModule {
  ContentDirectoryService* service = nullptr;
};

void StopService(FLibModule* module) { static_cast<StopOnDeviceEnd*>(module)->service->Stop(); }

// Keeps the abstraction's address list (from which resource URLs take their hosts)
// current as interfaces come and go.
struct AddressTracker : FLibModule {
  MediaServerAbstraction* msa = nullptr;
  platform::AddressChangeWatch watch;
};

void PublishAddresses(MediaServerAbstraction* msa) {
  std::vector<uint32_t> addresses;
  for (const platform::NetInterface& entry : platform::ListIpv4Interfaces())
    addresses.push_back(entry.Address);
  MSA_SetIpAddresses(msa, addresses.data(), addresses.size());
}

void TrackerBeforeWait(FLibModule* module, FLibSocketSet* read, FLibSocketSet*, FLibSocketSet*,
                       int32_t*) {
  auto* tracker = static_cast<AddressTracker*>(module);
  if (tracker->watch.Fd() >= 0) FLibSocketSet_Add(read, tracker->watch.Fd());
}

void TrackerAfterWait(FLibModule* module, int result, FLibSocketSet* read, FLibSocketSet*,
                      FLibSocketSet*) {
  auto* tracker = static_cast<AddressTracker*>(module);
  if (result < 0 || tracker->watch.Fd() < 0 || !FLibSocketSet_Has(read, tracker->watch.Fd()))
    return;
  if (tracker->watch.Drain()) PublishAddresses(tracker->msa);
}

// Sends the moderated events of library changes from the device chain, and keeps the
// newest SystemUpdateID for the first event of each new subscriber meanwhile.
struct UpdateEventSender : FLibModule {
  UpdateEventModerator* moderator = nullptr;
  UpnpLattice* device = nullptr;
  uint32_t kept = 0;
};

void SenderBeforeWait(FLibModule* module, FLibSocketSet*, FLibSocketSet*, FLibSocketSet*,
                      int32_t* blockMs) {
  auto* sender = static_cast<UpdateEventSender*>(module);
  int64_t wait = sender->moderator->WaitMs(platform::TickCountMs());
  if (wait >= 0 && wait < *blockMs) *blockMs = static_cast<int32_t>(wait);
}

void SenderAfterWait(FLibModule* module, int, FLibSocketSet*, FLibSocketSet*, FLibSocketSet*) {
  auto* sender = static_cast<UpdateEventSender*>(module);
  std::optional<uint32_t> latest = sender->moderator->Latest();
  if (latest && *latest != sender->kept) {
    sender->kept = *latest;
    UpnpLattice_Keep_SystemUpdateID(sender->device, *latest);
  }
  if (std::optional<UpdateEvent> event = sender->moderator->TakeDue(platform::TickCountMs())) {
    UpnpLattice_Publish_ContentDirectoryChange(sender->device, event->systemUpdateId,
                                               event->containerUpdateIds);
  }
}

// The library stops telling this device of changes once its chain has ended.
void SenderDispose(FLibModule*) { db_setChangeListener(nullptr); }

constexpr std::string_view kMediaDirectories[] = {"0", "1"};

}  // namespace

ContentDirectoryService::ContentDirectoryService(std::string webRoot,
                                                 std::function<int()> streamPort)
    : fse_(FSE_Create(webRoot)), chain_(FLibChain_Create()) {
  FileSystemEnumerator* fse = fse_.get();
  resources_.streamPort = std::move(streamPort);
  if (chain_) {
    logic_ = MSL_Create(
        chain_.get(), [fse](const FseRequest& request) { return FSE_Answer(fse, request); },
        &writer_);
    resources_.provider = RP_Create(chain_.get());
    RP_AddBaseDirectory(resources_.provider, webRoot);
    IccResourceContext* resources = &resources_;
    MSL_RegisterObjectCallback(logic_, [resources](const MslRequest& request,
                                                   const MediaRecord& record, CdsFilter mask,
                                                   CdsMediaObject* object) {
      Icc_AddResources(resources, request, record, mask, object);
    });
    // What the resources read besides the library and the files: the stream server's port
    // and the conversion settings.
    MSL_SetInputsState(logic_, [resources] {
      int port = resources->streamPort ? resources->streamPort() : -1;
      bool givenUp = resources->streamPortGivenUp.load(std::memory_order_acquire);
      return (uint64_t{Transcode_RulesState()} << 32) | (uint64_t{givenUp} << 31) |
             static_cast<uint32_t>(port & 0x7fffffff);
    });
  }
  MediaServerLogic* logic = logic_;
  msa_ = MSA_Create("", "http-get:*:*:*", CdsToDidl_FilterToString(0),
                    CdsToDidl_FilterToString(kSearchCapabilitiesMask),
                    [logic](std::unique_ptr<MslRequest>* request) {
                      return logic != nullptr && MSL_EnqueueRequest(logic, request);
                    });
}

ContentDirectoryService::~ContentDirectoryService() {
  Stop();
  db_setChangeListener(nullptr);
}

void ContentDirectoryService::Configure(DeviceHostConfig* config) {
  MSA_InstallActions(msa_.get(), &config->Actions);
  auto previous = config->DeviceReady;
  config->DeviceReady = [this, previous](FLibChain* chain, UpnpLattice* device) {
    // Listening starts before the counter is read for the starting values, so that no
    // change falls between the two.
    UpdateEventModerator* moderator = &updateEvents_;
    db_setChangeListener([moderator, chain](const LibraryChange& change) {
      moderator->Note(change);
      FLibChain_Wake(chain);
    });
    MSA_AttachDevice(msa_.get(), device);
    auto sender = std::make_unique<UpdateEventSender>();
    sender->moderator = moderator;
    sender->device = device;
    sender->kept = db_systemUpdateId();
    sender->BeforeWait = SenderBeforeWait;
    sender->AfterWait = SenderAfterWait;
    sender->Dispose = SenderDispose;
    FLibChain_AddModule(chain, std::move(sender));
    PublishAddresses(msa_.get());
    auto tracker = std::make_unique<AddressTracker>();
    tracker->msa = msa_.get();
    tracker->BeforeWait = TrackerBeforeWait;
    tracker->AfterWait = TrackerAfterWait;
    tracker->watch.Open();
    FLibChain_AddModule(chain, std::move(tracker));
    if (resources_.provider != nullptr) {
      for (std::string_view name : kMediaDirectories) {
        FLibWebServer_AddVirtualDirectory(UpnpLattice_WebServer(device), name,
                                          Icc_HandleWebRequest, resources_.provider);
      }
    }
    auto stopper = std::make_unique<StopOnDeviceEnd>();
    stopper->service = this;
    stopper->Dispose = StopService;
    FLibChain_AddModule(chain, std::move(stopper));
    if (previous) previous(chain, device);
  };
}

bool ContentDirectoryService::Start() {
  std::lock_guard guard(threadLock_);
  if (!chain_ || thread_.joinable()) return false;
  FLibChain* chain = chain_.get();
  thread_ = std::thread([chain] { FLibChain_Start(chain); });
  return true;
}

void ContentDirectoryService::Stop() {
  std::lock_guard guard(threadLock_);
  if (!chain_) return;
  FLibChain_Stop(chain_.get());
  if (thread_.joinable()) thread_.join();
}
