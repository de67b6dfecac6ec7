#include "cds/msl.h"

#include <deque>
#include <mutex>

#include "platform/file_info.h"
#include "platform/log.h"
#include "upnp/chain.h"
#include "upnp/web_server.h"

struct MediaServerLogic : FLibModule {
  FLibChain* chain = nullptr;
  MslResolver resolver;
  MslAnswerWriter* writer = nullptr;

  std::mutex queueLock;
  std::deque<std::unique_ptr<MslRequest>> queue;  // under queueLock
  bool stopped = false;                           // under queueLock

  // Held while the callbacks of one object run, so registration never races a run.
  std::mutex callbackLock;
  std::vector<MslObjectCallback> callbacks;
};

namespace {

void ReleaseSession(MslRequest* request) {
  if (request->session != nullptr) FLibWebServer_Drop(request->session);
  request->session = nullptr;
}

void BeforeWait(FLibModule* module, FLibSocketSet*, FLibSocketSet*, FLibSocketSet*, int32_t*) {
  MSL_ProcessQueue(static_cast<MediaServerLogic*>(module));
}

// Queued requests are dropped unanswered: their connections end with the service.
void Dispose(FLibModule* module) {
  auto* logic = static_cast<MediaServerLogic*>(module);
  std::deque<std::unique_ptr<MslRequest>> dropped;
  {
    std::lock_guard guard(logic->queueLock);
    logic->stopped = true;
    dropped.swap(logic->queue);
  }
  for (auto& request : dropped) ReleaseSession(request.get());
}

void RunObjectCallbacks(MediaServerLogic* logic, const MslRequest& request, CdsFilter mask,
                        FseEntry* entry) {
  if ((mask & (kFilterAnyRes | kFilterCaptionInfo | kFilterAlbumArt)) == 0) return;
  std::lock_guard guard(logic->callbackLock);
  for (const MslObjectCallback& callback : logic->callbacks)
    callback(request, entry->record, mask, &entry->object);
}

}  // namespace

MediaServerLogic* MSL_Create(FLibChain* chain, MslResolver resolver, MslAnswerWriter* writer) {
  auto logic = std::make_unique<MediaServerLogic>();
  logic->chain = chain;
  logic->resolver = std::move(resolver);
  logic->writer = writer;
  logic->BeforeWait = BeforeWait;
  logic->Dispose = Dispose;
  return FLibChain_AddModule(chain, std::move(logic));
}

void MSL_RegisterObjectCallback(MediaServerLogic* logic, MslObjectCallback callback) {
  std::lock_guard guard(logic->callbackLock);
  logic->callbacks.push_back(std::move(callback));
}

bool MSL_EnqueueRequest(MediaServerLogic* logic, std::unique_ptr<MslRequest>* request) {
  {
    std::lock_guard guard(logic->queueLock);
    if (logic->stopped) return false;
    if ((*request)->session != nullptr) FLibWebServer_Hold((*request)->session);
    logic->queue.push_back(std::move(*request));
  }
  FLibChain_Wake(logic->chain);
  return true;
}

size_t MSL_ProcessQueue(MediaServerLogic* logic) {
  size_t processed = 0;
  for (;;) {
    std::unique_ptr<MslRequest> request;
    {
      std::lock_guard guard(logic->queueLock);
      if (logic->queue.empty()) break;
      request = std::move(logic->queue.front());
      logic->queue.pop_front();
    }
    MSL_ProcessRequest(logic, request.get());
    ReleaseSession(request.get());
    ++processed;
  }
  return processed;
}

void MSL_ProcessRequest(MediaServerLogic* logic, MslRequest* request) {
  // The items of one answer share files (an album's cover and art): each is looked at once
  // per answer, and the whole answer sees one state of it.
  platform::FileLookupMemo lookups;
  CdsFilter mask = CdsToDidl_ParseFilter(request->filter);
  FseRequest query;
  query.kind = request->kind;
  query.objectId = request->objectId;
  query.searchCriteria = request->searchCriteria;
  query.startingIndex = request->startingIndex;
  query.requestedCount = request->requestedCount;
  query.position = request->startingIndex;
  query.wantChildCount = (mask & kFilterChildCount) != 0;
  request->position = request->startingIndex;

  FseAnswer answer = logic->resolver(query);
  if (answer.error != 0) {
    logic->writer->SendError(*request, answer.error, FSE_ErrorText(answer.error));
    return;
  }
  logic->writer->Begin(*request);
  uint32_t returned = 0;
  std::string fragment;
  for (FseEntry& entry : answer.entries) {
    RunObjectCallbacks(logic, *request, mask, &entry);
    fragment.clear();
    int length = CdsToDidl_GetmediaObjectDidlEscaped(entry.object, false, mask, false, &fragment);
    if (length > 0) {
      logic->writer->Append(*request, fragment);
      ++returned;
    } else {
      platform::Logf("_MSL_ProcessQueue() failed to serialize object %s. Reason=%d.\r\n",
                     entry.object.id.c_str(), length);
    }
  }
  request->position += static_cast<uint32_t>(answer.entries.size());
  logic->writer->Finish(*request, returned, answer.totalMatches, answer.updateId);
}
