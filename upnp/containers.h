// The generic containers of the device stack: a queue with its own lock and a push-down
// stack, both of untyped pointers as the modules pass them around.
#pragma once

#include <cstddef>
#include <deque>
#include <memory>
#include <mutex>
#include <vector>

// A FIFO of pointers. Enqueue and dequeue do not lock: callers that share the queue take
// FLibQueue_Lock / FLibQueue_Unlock around them.
struct FLibQueue {
  std::deque<void*> Items;
  std::mutex Guard;
};

using FLibQueuePtr = std::unique_ptr<FLibQueue>;

FLibQueuePtr FLibQueue_Create();
void FLibQueue_Enqueue(FLibQueue* queue, void* item);
// The head item, removed; null when empty.
void* FLibQueue_Dequeue(FLibQueue* queue);
// The head item, kept; null when empty.
void* FLibQueue_Peek(const FLibQueue* queue);
bool FLibQueue_IsEmpty(const FLibQueue* queue);
size_t FLibQueue_Count(const FLibQueue* queue);
void FLibQueue_Lock(FLibQueue* queue);
void FLibQueue_Unlock(FLibQueue* queue);
// A new queue with the same items in the same order (the items are not copied).
FLibQueuePtr FLibQueue_Copy(const FLibQueue* queue);

// A push-down stack of pointers.
struct FLibStack {
  std::vector<void*> Items;
};

void FLibStack_Push(FLibStack* stack, void* item);
// The top item, removed; null when empty.
void* FLibStack_Pop(FLibStack* stack);
// The top item, kept; null when empty.
void* FLibStack_Peek(const FLibStack* stack);
void FLibStack_Clear(FLibStack* stack);
