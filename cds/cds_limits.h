// Limits and fixed texts of the content directory.
#pragma once

#include <cstddef>
#include <cstdint>

// Search criteria: longer texts, deeper nesting or more conditions are refused as
// invalid criteria rather than built into an unbounded statement.
inline constexpr size_t kSearchCriteriaMaxBytes = 4096;
inline constexpr int kSearchMaxDepth = 32;
inline constexpr int kSearchMaxConditions = 64;

// A playlist's list file is read up to this many bytes (the import writes at most 100000
// entries of a number and a file name).
inline constexpr size_t kPlaylistListMaxBytes = 64 * 1024 * 1024;

// Answers kept to be given again while nothing they were made from changed: most useful
// for the pages a client goes back and forth between, so a few dozen of them, and none
// large enough to matter for memory.
inline constexpr size_t kKeptAnswersMax = 64;
inline constexpr size_t kKeptAnswersBytesMax = 2 << 20;
inline constexpr size_t kKeptAnswerBytesMax = 256 << 10;
// The device chain gives a kept answer itself only when its files were looked at this
// recently: their entries are then still in the kernel's caches, so looking at them again
// cannot wait on a sleeping disk. Older ones are checked on the content directory's chain.
// It is also the longest an answer is given on the watches of its files alone.
inline constexpr uint64_t kKeptAnswerWarmMs = 10000;
// Nor more files than this, about a millisecond of looking: the device chain also answers
// discovery and events.
inline constexpr size_t kKeptAnswerAtOncePathsMax = 512;

// UPnP error codes answered by the content directory.
inline constexpr int kCdsErrorNone = 0;
inline constexpr int kCdsErrorActionFailed = 501;
inline constexpr int kCdsErrorNoSuchObject = 701;
inline constexpr int kCdsErrorBadSearchCriteria = 708;
inline constexpr int kCdsErrorNoSuchContainer = 710;

// Events of library changes go out at most once in this many milliseconds, carrying the
// newest SystemUpdateID: a copy of many files makes one event, not one per file.
inline constexpr uint64_t kUpdateEventIntervalMs = 2000;
// An event names at most this many containers in ContainerUpdateIDs; when more changed it
// carries SystemUpdateID alone, which tells a control point to refresh all it holds.
inline constexpr size_t kContainerUpdateIdsMax = 100;
