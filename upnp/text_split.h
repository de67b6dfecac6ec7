// Cutting byte ranges into views: the first step of every text parser of the device stack.
// Pieces are views into the caller's buffer, which must outlive them.
#pragma once

#include <cstddef>
#include <string_view>
#include <vector>

// The pieces of one split, in order. Views, not copies.
using FLibSplitList = std::vector<std::string_view>;

// Cuts `text` at every occurrence of `delimiter`. The piece after the last delimiter is
// always kept, so n delimiters give n + 1 pieces, empty pieces included; an empty text
// gives one empty piece. An empty delimiter gives the whole text as the only piece.
FLibSplitList FLibText_Split(std::string_view text, std::string_view delimiter);

// `text` without leading and trailing spaces, tabs, CR and LF.
std::string_view FLibText_Trim(std::string_view text);
