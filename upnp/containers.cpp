#include "upnp/containers.h"

FLibQueuePtr FLibQueue_Create() { return std::make_unique<FLibQueue>(); }

void FLibQueue_Enqueue(FLibQueue* queue, void* item) { queue->Items.push_back(item); }

void* FLibQueue_Dequeue(FLibQueue* queue) {
  if (queue->Items.empty()) return nullptr;
  void* item = queue->Items.front();
  queue->Items.pop_front();
  return item;
}

void* FLibQueue_Peek(const FLibQueue* queue) {
  return queue->Items.empty() ? nullptr : queue->Items.front();
}

bool FLibQueue_IsEmpty(const FLibQueue* queue) { return queue->Items.empty(); }

size_t FLibQueue_Count(const FLibQueue* queue) { return queue->Items.size(); }

void FLibQueue_Lock(FLibQueue* queue) { queue->Guard.lock(); }

void FLibQueue_Unlock(FLibQueue* queue) { queue->Guard.unlock(); }

FLibQueuePtr FLibQueue_Copy(const FLibQueue* queue) {
  auto copy = FLibQueue_Create();
  copy->Items = queue->Items;
  return copy;
}

void FLibStack_Push(FLibStack* stack, void* item) { stack->Items.push_back(item); }

void* FLibStack_Pop(FLibStack* stack) {
  if (stack->Items.empty()) return nullptr;
  void* item = stack->Items.back();
  stack->Items.pop_back();
  return item;
}

void* FLibStack_Peek(const FLibStack* stack) {
  return stack->Items.empty() ? nullptr : stack->Items.back();
}

void FLibStack_Clear(FLibStack* stack) { stack->Items.clear(); }
