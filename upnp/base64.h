// Base64 with the standard alphabet and "=" padding.
#pragma once

#include <string>
#include <string_view>

// Encodes any bytes; the output length is 4 * ceil(n / 3).
std::string FLibBase64_Encode(std::string_view data);
