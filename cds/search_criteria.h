// SearchCriteria of ContentDirectory:1, compiled into a condition on rows of the object
// table. The statement text depends only on the shape of the criteria; every value a
// client sends travels as a bound parameter.
#pragma once

#include <string>
#include <string_view>

#include "library/sql.h"

// Properties that may be searched: dc:title, dc:creator, upnp:artist, upnp:album,
// upnp:genre, upnp:class and res@protocolInfo. Operators: =, !=, <, <=, >, >=, contains,
// doesNotContain, derivedfrom, exists; and/or with parentheses ("and" binds tighter).
// String comparisons ignore case. "*" (or an empty text) matches every item.
//
// Returns true and sets *condition to an SQL condition over one FSE_QueryState row.
// Malformed or unsupported criteria return false with a short reason in *error; any
// input is safe to pass.
bool Search_CompileCriteria(std::string_view criteria, Sql* condition, std::string* error);
