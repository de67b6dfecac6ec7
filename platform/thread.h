// Thread priorities and names. Priorities are best effort: where the system does not
// permit a change, the thread keeps what it has.
#pragma once

#include <string_view>

namespace platform {

// Raises the calling thread's priority a little above normal (a lower nice value).
// Returns false when that is not permitted; nothing changes then.
bool SetCurrentThreadPriorityHighest();

// Makes the calling thread run only when nothing else wants the processor: SCHED_IDLE,
// or nice 19 when that is refused. Returns false when neither could be set.
bool SetCurrentThreadPriorityIdle();

// Puts the calling thread behind all others without starving it: nice 19, and its disk
// reads and writes served only when the disk is otherwise idle. Unlike the idle policy
// above, the thread keeps a small share of a busy processor, so a lock it takes is given
// back within milliseconds and its end is not put off for seconds. Returns false when
// neither could be set.
bool SetCurrentThreadPriorityBackground();

// Names the calling thread for debuggers and top; cut to 15 bytes, never inside a
// UTF-8 sequence.
void SetCurrentThreadName(std::string_view name);

}  // namespace platform
