// The event chain: one thread that drives every socket and timer of the device stack.
// A chain is an ordered list of modules; each turn it asks every module which sockets to
// watch and how long it may block, waits once with poll(), then lets every module handle
// what became ready.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "upnp/socket_util.h"

// A set of sockets. Before the wait a module adds the sockets it wants watched; after the
// wait the set holds those that are ready. Backed by poll(), so it has no size limit.
struct FLibSocketSet {
  std::vector<int> Sockets;
  bool Sorted = false;  // true after the wait, when look-ups may bisect
};

void FLibSocketSet_Add(FLibSocketSet* set, int fd);
bool FLibSocketSet_Has(const FLibSocketSet* set, int fd);
void FLibSocketSet_Clear(FLibSocketSet* set);

struct FLibModule;

// The three operation slots every chain module begins with; each may be empty.
// BeforeWait adds the module's sockets and may lower *blockMs. AfterWait gets poll's
// result (-1 on failure, when the sets arrive empty) and the ready sets. Dispose releases
// the module's resources once the chain has ended; the chain frees the module itself
// when the chain object is destroyed.
using FLibModule_BeforeWait = void (*)(FLibModule* module, FLibSocketSet* read,
                                       FLibSocketSet* write, FLibSocketSet* error,
                                       int32_t* blockMs);
using FLibModule_AfterWait = void (*)(FLibModule* module, int result, FLibSocketSet* read,
                                      FLibSocketSet* write, FLibSocketSet* error);
using FLibModule_Dispose = void (*)(FLibModule* module);

struct FLibModule {
  FLibModule_BeforeWait BeforeWait = nullptr;
  FLibModule_AfterWait AfterWait = nullptr;
  FLibModule_Dispose Dispose = nullptr;
  std::atomic<bool> Disposed{false};

  FLibModule() = default;
  FLibModule(const FLibModule&) = delete;
  FLibModule& operator=(const FLibModule&) = delete;
  virtual ~FLibModule() = default;
};

struct FLibChain {
  std::atomic<int> StopRequested{0};
  FLibFd WakeFd;  // an eventfd; a write makes the waiting poll() return
  std::vector<std::unique_ptr<FLibModule>> Modules;
  std::atomic<bool> Running{false};
  bool Ended = false;
  // A wake asked for by the chain's own thread: the next wait does not block. Only that
  // thread reads or writes it.
  bool WokenFromWithin = false;

  FLibChain() = default;
  FLibChain(const FLibChain&) = delete;
  FLibChain& operator=(const FLibChain&) = delete;
  // Disposes modules that have not been disposed yet (a chain that never ran).
  ~FLibChain();
};

using FLibChainPtr = std::unique_ptr<FLibChain>;

// A new, empty chain; null when the wake descriptor cannot be created.
FLibChainPtr FLibChain_Create();

// Appends a module; the chain owns it from now on and returns it. Modules are added
// before the chain starts or from the chain's own thread.
FLibModule* FLibChain_Add(FLibChain* chain, std::unique_ptr<FLibModule> module);

template <typename T>
T* FLibChain_AddModule(FLibChain* chain, std::unique_ptr<T> module) {
  return static_cast<T*>(FLibChain_Add(chain, std::move(module)));
}

// Runs the loop on the calling thread until FLibChain_Stop, then calls every module's
// Dispose in chain order. Module memory stays until the chain object is destroyed, so
// another thread that still calls FLibChain_Wake, FLibTimer_Add or a send meets a
// disposed module rather than freed memory. A chain runs once.
void FLibChain_Start(FLibChain* chain);

// Asks the loop to end and interrupts its wait. Null is ignored. Any thread.
void FLibChain_Stop(FLibChain* chain);

// Makes a waiting poll() return at once, so that BeforeWait runs again. Any thread.
void FLibChain_Wake(FLibChain* chain);
