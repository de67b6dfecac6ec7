// The seek index cache: a queue of video files and one low-priority worker that builds a
// table from playing time to file position for each of them, kept as the file
// "cache/<MyIndex><FileName>.hdx" of the program directory. The scanner queues the files
// it adds and removes the indexes of the files it drops; time seeking reads the finished
// files. Files appear only by renaming a finished "<...>.tmp", so a reader never sees a
// half-written index.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>

// Set (release) by the exit path and by the pages that rebuild the library: the worker
// finishes the file it is building and drops the rest of the queue. Every enqueue clears
// it.
extern std::atomic<bool> IndexStopFlag;

// Creates the queue and starts the worker. 1 on success (also when already running), 0
// when the worker cannot be started.
int IndexCacheStart();

// Stops the worker wherever it is (a build in progress ends within one read and leaves
// no ".tmp" behind), waits for it and frees the queue. Must not be called while holding
// the library mutex, since the worker may be waiting for it.
void IndexCacheShutdown();

// Appends a media file path to the queue. Returns the new count, or 0 when the cache is
// not running, the queue cannot grow, or the path does not fit an entry (a path is never
// cut, since a cut path would name another file).
int IndexQueueAdd(std::string_view path);

// Deletes the index file of the library record with this path, if there is one.
void IndexRemove(std::string_view path);

// Builds the index of one media file, replacing any index it had. True when a new index
// file was written; every failure is otherwise silent and leaves no index and no ".tmp".
bool IndexBuild(const std::string& path);

// The index file of a record: AppDirectory "/cache/" MyIndex FileName ".hdx". Empty when
// the name cannot be a file name in the cache directory (it holds "/" or a NUL byte).
std::string IndexFileName(int32_t myIndex, std::string_view fileName);

// The number of paths queued and not yet built, for tests.
size_t IndexQueueCount();

// Test hooks: the worker's idle interval (takes effect at its next sleep), and a function
// the worker calls with each path just before it builds it (nullptr removes it).
void IndexCacheSetIdleIntervalForTest(int ms);
void IndexCacheSetBuildHookForTest(std::function<void(const std::string&)> hook);
