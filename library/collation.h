// The library's sort order for titles and file names: letters compare without regard to
// case (beyond ASCII too), so "élan" and "Élan" sort together as the user expects.
#pragma once

#include <string>
#include <string_view>

struct sqlite3;

// Registers on a connection the collation "ORVEX_NOCASE" (for the program's own
// statements) and the function orvex_sort_key(text), which gives NoCaseSortKey. No table,
// index or view of the library names either, so the file stays readable by any SQLite
// tool.
void RegisterNoCaseCollation(sqlite3* db);

// <0, 0, >0 like memcmp; the collation's comparison.
int CompareNoCase(std::string_view a, std::string_view b);

// The bytes that, compared as plain bytes (SQLite's BINARY order), order texts exactly as
// CompareNoCase does. The library stores them beside Album and FileName and sorts by
// them, so an ordinary index serves the sorted listings.
std::string NoCaseSortKey(std::string_view text);
