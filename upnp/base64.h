// Base64 with the standard alphabet and "=" padding.
#pragma once

#include <string>
#include <string_view>

// Encodes any bytes; the output length is 4 * ceil(n / 3).
std::string FLibBase64_Encode(std::string_view data);

// Decodes, skipping every character outside the alphabet ("=", blanks, line breaks and
// junk alike). A final group of 2 or 3 characters yields 1 or 2 bytes; a single final
// character carries too few bits for a byte and is dropped. Never fails.
std::string FLibBase64_Decode(std::string_view text);
