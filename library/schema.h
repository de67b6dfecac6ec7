// The library as it ships with the program: its tables, indexes and one row for every
// settings key. Written to disk when the library file is missing.
#pragma once

#include <string>
#include <string_view>
#include <vector>

// The default file-type filter lists, in slot order. The shipped library stores each one
// joined by single spaces under its settings key.
extern const std::vector<std::string_view> kDefaultVideoExtensions;
extern const std::vector<std::string_view> kDefaultAudioExtensions;
extern const std::vector<std::string_view> kDefaultImageExtensions;
extern const std::vector<std::string_view> kDefaultPlaylistExtensions;
std::string JoinExtensions(const std::vector<std::string_view>& list);

// Statements that create an empty library; run in one transaction. The filter rows are
// created empty and then filled with the joined default lists.
extern const char* const kLibrarySchema;

// Statements that bring an existing library's indexes up to date (idempotent).
extern const char* const kLibraryIndexes;

// The conversion of a library written before the sort keys were stored: the key columns
// are added, then every row's keys are computed (orvex_sort_key, RegisterNoCaseCollation).
extern const char* const kAddSortKeyColumns;
// Adds the tag year column to a library written before it was stored.
extern const char* const kAddYearColumn;
// Adds the subtitle column to a library written before it was stored.
extern const char* const kAddSubtitleColumn;
extern const char* const kFillSortKeys;
// The collation that indexes of such a library name; the stock SQLite tool lacks it.
extern const char* const kProgramCollation;

// The triggers that report every insert, delete and update of an object, with its parent,
// to the connection's orvex_note_change(). They live in the connection's temporary schema,
// so the file itself never needs the program.
extern const char* const kChangeTriggers;

// Settings rows that libraries written by earlier versions lack, with their first values.
extern const char* const kAddMissingSettingsRows;
extern const char* const kCountAddedSettingsRows;
inline constexpr int kAddedSettingsRows = 3;
