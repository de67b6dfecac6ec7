#include "cds/content_directory_service.h"

#include "upnp/lattice.h"

namespace {

// Stops the content directory when the device chain ends, before the device's web
// server goes away under sessions still being answered.
struct StopOnDeviceEnd : FLibModule {
  ContentDirectoryService* service = nullptr;
};

void StopService(FLibModule* module) { static_cast<StopOnDeviceEnd*>(module)->service->Stop(); }

}  // namespace

ContentDirectoryService::ContentDirectoryService(std::string webRoot)
    : fse_(FSE_Create(webRoot)), chain_(FLibChain_Create()) {
  FileSystemEnumerator* fse = fse_.get();
  if (chain_) {
    logic_ = MSL_Create(
        chain_.get(), [fse](const FseRequest& request) { return FSE_Answer(fse, request); },
        &writer_);
  }
  MediaServerLogic* logic = logic_;
  msa_ = MSA_Create("", "http-get:*:*:*", CdsToDidl_FilterToString(0),
                    CdsToDidl_FilterToString(kSearchCapabilitiesMask),
                    [logic](std::unique_ptr<MslRequest>* request) {
                      return logic != nullptr && MSL_EnqueueRequest(logic, request);
                    });
}

ContentDirectoryService::~ContentDirectoryService() { Stop(); }

void ContentDirectoryService::Configure(DeviceHostConfig* config) {
  MSA_InstallActions(msa_.get(), &config->Actions);
  auto previous = config->DeviceReady;
  config->DeviceReady = [this, previous](FLibChain* chain, UpnpLattice* device) {
    MSA_AttachDevice(msa_.get(), device);
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
