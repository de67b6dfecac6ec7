// The library's sort order for titles and file names: letters compare without regard to
// case (beyond ASCII too), so "élan" and "Élan" sort together as the user expects.
#pragma once

#include <string_view>

struct sqlite3;

// Registers the collation "ORVEX_NOCASE" on a connection.
void RegisterNoCaseCollation(sqlite3* db);

// <0, 0, >0 like memcmp; the collation's comparison.
int CompareNoCase(std::string_view a, std::string_view b);
