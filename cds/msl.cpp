#include "cds/msl.h"

#include <algorithm>
#include <deque>
#include <list>
#include <mutex>
#include <optional>

#include "cds/cds_limits.h"
#include "library/library.h"
#include "platform/file_info.h"
#include "platform/log.h"
#include "platform/tick.h"
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

  // Answers kept for reuse, the last used first. The device chain gives them too, so that
  // an answer that needs no making does not wait for this chain's turn.
  std::function<uint64_t()> inputsState;
  std::mutex keptLock;
  std::list<struct KeptAnswer> kept;  // under keptLock
  size_t keptBytes = 0;               // under keptLock
};

// What an answer was made from, read before it was made: a change while it is made then
// shows as a change next time.
struct AnswerSources {
  LibraryVersion library;
  uint64_t inputs = 0;
  bool operator==(const AnswerSources&) const = default;
};

// One answer as the writer was given it, with everything it was made from. It is given
// again only while the library, the settings and every file it looked at are unchanged,
// so a reused answer is byte for byte the one a fresh making would give.
struct KeptAnswer {
  std::string key;  // the request's arguments and the address it came to
  AnswerSources sources;
  platform::FileLookupRecord files;
  std::string body;  // the objects' DIDL-Lite fragments, escaped, one after the other
  uint32_t entries = 0;
  uint32_t returned = 0;
  uint32_t totalMatches = 0;
  uint32_t updateId = 0;
  uint64_t checkedMs = 0;  // when its files were last looked at (or when it was made)
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

thread_local bool t_notReusable = false;

void AddKeyPart(std::string* key, std::string_view part) {
  auto size = static_cast<uint32_t>(part.size());
  key->append(reinterpret_cast<const char*>(&size), sizeof size);
  key->append(part);
}

void AddKeyNumber(std::string* key, uint64_t number) {
  key->append(reinterpret_cast<const char*>(&number), sizeof number);
}

// Everything of the request that the answer is made from. The parts carry their lengths,
// so no two requests share a key.
std::string KeyOf(const MslRequest& request) {
  std::string key;
  key.reserve(64 + request.objectId.size() + request.filter.size() + request.sortCriteria.size() +
              request.searchCriteria.size() + 4 * request.addresses.size());
  AddKeyNumber(&key, static_cast<uint64_t>(request.kind));
  AddKeyPart(&key, request.objectId);
  AddKeyPart(&key, request.filter);
  AddKeyPart(&key, request.sortCriteria);
  AddKeyPart(&key, request.searchCriteria);
  AddKeyNumber(&key, request.startingIndex);
  AddKeyNumber(&key, request.requestedCount);
  AddKeyNumber(&key, (uint64_t{request.localAddress} << 16) | request.localPort);
  for (uint32_t address : request.addresses) AddKeyNumber(&key, address);
  return key;
}

// What answers are made from now. Without `wait`, nothing while another thread holds the
// library (a scan's batch).
std::optional<AnswerSources> CurrentSources(const MediaServerLogic* logic, bool wait = true) {
  if (!logic->inputsState) return std::nullopt;
  std::optional<LibraryVersion> library = wait ? db_version() : db_versionIfIdle();
  if (!library) return std::nullopt;
  return AnswerSources{*library, logic->inputsState()};
}

void DropKept(MediaServerLogic* logic, std::list<KeptAnswer>::iterator at) {
  logic->keptBytes -= at->body.size();
  logic->kept.erase(at);
}

// Whether the device chain may look at the kept answer's files: they are local, were
// looked at lately (so their entries are still in the kernel's caches) and are few enough
// to be looked at in about a millisecond.
bool CheckableAtOnce(const KeptAnswer& kept, uint64_t now) {
  return kept.files.Local() && kept.files.Paths() <= kKeptAnswerAtOncePathsMax &&
         now - kept.checkedMs < kKeptAnswerWarmMs;
}

// The kept answer of `key` while it is still true, moved to the front; nothing otherwise
// (a kept answer no longer true is dropped). The device chain must never wait long, on a
// disk, a network or many files, so on it an answer that is not CheckableAtOnce is left to
// the logic's chain.
const KeptAnswer* FindKept(MediaServerLogic* logic, const std::string& key,
                           const AnswerSources& sources, bool onDeviceChain) {
  uint64_t now = platform::TickCountMs();
  for (auto at = logic->kept.begin(); at != logic->kept.end(); ++at) {
    if (at->key != key) continue;
    if (!(at->sources == sources)) {
      DropKept(logic, at);
      return nullptr;
    }
    if (onDeviceChain && !CheckableAtOnce(*at, now)) return nullptr;
    // The device chain trusts the files' watches. They tell of writes through a shared
    // mapping only once the mapping is gone, so an answer given on them alone does not
    // count as looked at: once the warm window is over, the logic's chain looks at every
    // file again.
    bool lookedAll = true;
    if (!at->files.Unchanged(onDeviceChain, &lookedAll)) {
      DropKept(logic, at);
      return nullptr;
    }
    if (lookedAll) at->checkedMs = now;
    logic->kept.splice(logic->kept.begin(), logic->kept, at);
    return &logic->kept.front();
  }
  return nullptr;
}

// Gives the kept answer of `key` through the writer while it is still true. Any thread.
bool AnswerFromKept(MediaServerLogic* logic, MslRequest* request, const std::string& key,
                    const AnswerSources& sources, bool onDeviceChain) {
  // The device chain does not wait while the other chain checks a large answer.
  std::unique_lock guard(logic->keptLock, std::defer_lock);
  if (!onDeviceChain) {
    guard.lock();
  } else if (!guard.try_lock()) {
    return false;
  }
  const KeptAnswer* kept = FindKept(logic, key, sources, onDeviceChain);
  if (kept == nullptr) return false;
  logic->writer->Begin(*request);
  if (!kept->body.empty()) logic->writer->Append(*request, kept->body);
  request->position += kept->entries;
  uint32_t returned = kept->returned;
  uint32_t totalMatches = kept->totalMatches;
  uint32_t updateId = kept->updateId;
  guard.unlock();
  logic->writer->Finish(*request, returned, totalMatches, updateId);
  return true;
}

// On the device chain, as a request arrives: its kept answer when that may be given without
// waiting for the logic's chain.
bool AnswerIfKeptNow(MediaServerLogic* logic, MslRequest* request) {
  if (!logic->inputsState) return false;
  std::string key = KeyOf(*request);
  {
    // The library's version is asked only when there is an answer to give, and never
    // waited for: a scan's batch holds the library for up to a quarter of a second.
    std::unique_lock guard(logic->keptLock, std::try_to_lock);
    if (!guard.owns_lock()) return false;
    auto at = std::find_if(logic->kept.begin(), logic->kept.end(),
                           [&key](const KeptAnswer& kept) { return kept.key == key; });
    if (at == logic->kept.end() || !CheckableAtOnce(*at, platform::TickCountMs())) return false;
  }
  std::optional<AnswerSources> sources = CurrentSources(logic, false);
  if (!sources) return false;
  request->position = request->startingIndex;
  return AnswerFromKept(logic, request, key, *sources, true);
}

void Keep(MediaServerLogic* logic, KeptAnswer answer) {
  std::lock_guard guard(logic->keptLock);
  logic->keptBytes += answer.body.size();
  logic->kept.push_front(std::move(answer));
  while (logic->kept.size() > kKeptAnswersMax || logic->keptBytes > kKeptAnswersBytesMax)
    DropKept(logic, std::prev(logic->kept.end()));
}

}  // namespace

void MSL_SetInputsState(MediaServerLogic* logic, std::function<uint64_t()> state) {
  logic->inputsState = std::move(state);
}

void MSL_AnswerNotReusable() { t_notReusable = true; }

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
  }
  if (AnswerIfKeptNow(logic, request->get())) return true;
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
  request->position = request->startingIndex;
  std::optional<AnswerSources> sources = CurrentSources(logic);
  std::string key;
  if (sources) {
    key = KeyOf(*request);
    if (AnswerFromKept(logic, request, key, *sources, false)) return;
  }

  CdsFilter mask = CdsToDidl_ParseFilter(request->filter);
  FseRequest query;
  query.kind = request->kind;
  query.objectId = request->objectId;
  query.searchCriteria = request->searchCriteria;
  query.startingIndex = request->startingIndex;
  query.requestedCount = request->requestedCount;
  query.position = request->startingIndex;
  query.wantChildCount = (mask & kFilterChildCount) != 0;

  t_notReusable = false;
  FseAnswer answer = logic->resolver(query);
  if (answer.error != 0) {
    logic->writer->SendError(*request, answer.error, FSE_ErrorText(answer.error));
    return;
  }
  logic->writer->Begin(*request);
  uint32_t returned = 0;
  std::string fragment;
  std::string body;
  bool keeping = sources.has_value();
  for (FseEntry& entry : answer.entries) {
    RunObjectCallbacks(logic, *request, mask, &entry);
    fragment.clear();
    int length = CdsToDidl_GetmediaObjectDidlEscaped(entry.object, false, mask, false, &fragment);
    if (length > 0) {
      logic->writer->Append(*request, fragment);
      if (keeping) {
        body += fragment;
        keeping = body.size() <= kKeptAnswerBytesMax;
      }
      ++returned;
    } else {
      platform::Logf("_MSL_ProcessQueue() failed to serialize object %s. Reason=%d.\r\n",
                     entry.object.id.c_str(), length);
    }
  }
  auto entries = static_cast<uint32_t>(answer.entries.size());
  request->position += entries;
  logic->writer->Finish(*request, returned, answer.totalMatches, answer.updateId);
  if (!keeping || t_notReusable) return;
  // Only what the device chain may check at once is worth watching.
  std::optional<platform::FileLookupRecord> files = lookups.TakeRecord(kKeptAnswerAtOncePathsMax);
  if (!files) return;
  Keep(logic, KeptAnswer{std::move(key), *sources, std::move(*files), std::move(body), entries,
                         returned, answer.totalMatches, answer.updateId,
                         platform::TickCountMs()});
}
