#include "upnp/chain.h"

#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>

#include "platform/log.h"
#include "upnp/limits.h"

void FLibSocketSet_Add(FLibSocketSet* set, int fd) {
  if (fd < 0) return;
  set->Sockets.push_back(fd);
  set->Sorted = false;
}

bool FLibSocketSet_Has(const FLibSocketSet* set, int fd) {
  if (set->Sorted) return std::binary_search(set->Sockets.begin(), set->Sockets.end(), fd);
  return std::find(set->Sockets.begin(), set->Sockets.end(), fd) != set->Sockets.end();
}

void FLibSocketSet_Clear(FLibSocketSet* set) {
  set->Sockets.clear();
  set->Sorted = false;
}

namespace {

// The chain whose loop runs on this thread, if any.
thread_local FLibChain* t_runningChain = nullptr;

enum : uint8_t { kWantRead = 1, kWantWrite = 2, kWantError = 4 };

struct PollEntry {
  int Fd;
  uint8_t Want;
};

// Merges the three sets into one poll list, one entry per descriptor.
std::vector<PollEntry> MergeSets(const FLibSocketSet& read, const FLibSocketSet& write,
                                 const FLibSocketSet& error) {
  std::vector<PollEntry> entries;
  entries.reserve(read.Sockets.size() + write.Sockets.size() + error.Sockets.size());
  for (int fd : read.Sockets) entries.push_back({fd, kWantRead});
  for (int fd : write.Sockets) entries.push_back({fd, kWantWrite});
  for (int fd : error.Sockets) entries.push_back({fd, kWantError});
  std::sort(entries.begin(), entries.end(),
            [](const PollEntry& a, const PollEntry& b) { return a.Fd < b.Fd; });
  std::vector<PollEntry> merged;
  for (const PollEntry& e : entries) {
    if (!merged.empty() && merged.back().Fd == e.Fd) {
      merged.back().Want |= e.Want;
    } else {
      merged.push_back(e);
    }
  }
  return merged;
}

// Hang-up and error conditions are reported to readers and writers too, so that a module
// watching only for reading still learns of a reset through its failed read.
void FillReadySets(const std::vector<PollEntry>& entries, const std::vector<pollfd>& fds,
                   FLibSocketSet* read, FLibSocketSet* write, FLibSocketSet* error) {
  for (size_t i = 0; i < entries.size(); ++i) {
    short r = fds[i].revents;
    if (r == 0) continue;
    uint8_t want = entries[i].Want;
    if ((want & kWantRead) && (r & (POLLIN | POLLHUP | POLLERR | POLLNVAL)))
      read->Sockets.push_back(entries[i].Fd);
    if ((want & kWantWrite) && (r & (POLLOUT | POLLHUP | POLLERR | POLLNVAL)))
      write->Sockets.push_back(entries[i].Fd);
    if ((want & kWantError) && (r & (POLLERR | POLLNVAL))) error->Sockets.push_back(entries[i].Fd);
  }
  read->Sorted = write->Sorted = error->Sorted = true;  // entries were sorted by descriptor
}

void DisposeModules(FLibChain* chain) {
  // Index loop: a Dispose may not add modules, but must not invalidate the walk if it does.
  for (size_t i = 0; i < chain->Modules.size(); ++i) {
    FLibModule* module = chain->Modules[i].get();
    if (module->Disposed) continue;
    module->Disposed = true;
    if (module->Dispose) module->Dispose(module);
  }
}

void RunOneTurn(FLibChain* chain, FLibSocketSet* read, FLibSocketSet* write, FLibSocketSet* error) {
  FLibSocketSet_Clear(read);
  FLibSocketSet_Clear(write);
  FLibSocketSet_Clear(error);
  int32_t blockMs = upnp_limits::kChainDefaultBlockMs;
  for (size_t i = 0; i < chain->Modules.size(); ++i) {
    FLibModule* module = chain->Modules[i].get();
    if (module->BeforeWait && !module->Disposed)
      module->BeforeWait(module, read, write, error, &blockMs);
  }
  if (blockMs < 0) blockMs = 0;

  std::vector<PollEntry> entries = MergeSets(*read, *write, *error);
  std::vector<pollfd> fds(entries.size() + 1);
  for (size_t i = 0; i < entries.size(); ++i) {
    short events = 0;
    if (entries[i].Want & kWantRead) events |= POLLIN;
    if (entries[i].Want & kWantWrite) events |= POLLOUT;
    fds[i] = {entries[i].Fd, events, 0};
  }
  fds.back() = {chain->WakeFd.Get(), POLLIN, 0};
  if (chain->StopRequested.load(std::memory_order_acquire)) blockMs = 0;
  if (chain->WokenFromWithin) {
    chain->WokenFromWithin = false;
    blockMs = 0;
  }

  int result = ::poll(fds.data(), fds.size(), blockMs);
  FLibSocketSet_Clear(read);
  FLibSocketSet_Clear(write);
  FLibSocketSet_Clear(error);
  if (result < 0) {
    if (errno != EINTR) platform::Logf("chain: poll failed (errno %d)\n", errno);
    result = -1;
  } else {
    if (fds.back().revents & POLLIN) {
      uint64_t count = 0;
      [[maybe_unused]] ssize_t n = ::read(chain->WakeFd.Get(), &count, sizeof count);
      if (result > 0) --result;
    }
    fds.pop_back();
    FillReadySets(entries, fds, read, write, error);
  }
  for (size_t i = 0; i < chain->Modules.size(); ++i) {
    FLibModule* module = chain->Modules[i].get();
    if (module->AfterWait && !module->Disposed)
      module->AfterWait(module, result, read, write, error);
  }
}

}  // namespace

FLibChain::~FLibChain() { DisposeModules(this); }

FLibChainPtr FLibChain_Create() {
  int fd = ::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
  if (fd < 0) {
    platform::Logf("chain: eventfd failed (errno %d)\n", errno);
    return nullptr;
  }
  auto chain = std::make_unique<FLibChain>();
  chain->WakeFd.Reset(fd);
  return chain;
}

FLibModule* FLibChain_Add(FLibChain* chain, std::unique_ptr<FLibModule> module) {
  FLibModule* raw = module.get();
  chain->Modules.push_back(std::move(module));
  if (chain->Ended) {
    // Too late to run: dispose at once so that its resources do not linger.
    raw->Disposed = true;
    if (raw->Dispose) raw->Dispose(raw);
  }
  return raw;
}

void FLibChain_Start(FLibChain* chain) {
  if (chain == nullptr || chain->Ended) return;
  chain->Running.store(true, std::memory_order_release);
  FLibChain* outer = t_runningChain;
  t_runningChain = chain;
  FLibSocketSet read, write, error;
  while (chain->StopRequested.load(std::memory_order_acquire) == 0) {
    RunOneTurn(chain, &read, &write, &error);
  }
  t_runningChain = outer;
  chain->Ended = true;
  DisposeModules(chain);
  chain->Running.store(false, std::memory_order_release);
}

void FLibChain_Stop(FLibChain* chain) {
  if (chain == nullptr) return;
  chain->StopRequested.store(1, std::memory_order_release);
  FLibChain_Wake(chain);
}

void FLibChain_Wake(FLibChain* chain) {
  if (chain == nullptr) return;
  // From the chain's own thread (a module answering, a session finishing) the loop is not
  // waiting: the next wait just must not block. That saves a write and a read of the
  // descriptor and a turn of the loop for every request a module hands on to itself.
  if (t_runningChain == chain) {
    chain->WokenFromWithin = true;
    return;
  }
  uint64_t one = 1;
  // A full counter (EAGAIN) already means "wake"; nothing else can fail here.
  [[maybe_unused]] ssize_t n = ::write(chain->WakeFd.Get(), &one, sizeof one);
}
