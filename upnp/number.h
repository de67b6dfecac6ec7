// Decimal and hexadecimal numbers from text that came from outside. Every function
// refuses an empty text, a text without digits, any trailing character and any value out
// of range; on failure the output is left unchanged.
#pragma once

#include <cstdint>
#include <string_view>

// Signed 32-bit decimal: optional leading blanks, an optional sign, digits. 0 or -1.
int FLibText_ToLong(std::string_view text, int32_t* out);

// Unsigned 32-bit decimal: as FLibText_ToLong, but a leading "-" is refused even for
// "-0". 0 or -1.
int FLibText_ToULong(std::string_view text, uint32_t* out);

// Signed and unsigned 64-bit decimal variants (lengths, offsets). 0 or -1.
int FLibText_ToInt64(std::string_view text, int64_t* out);
int FLibText_ToUInt64(std::string_view text, uint64_t* out);

// Unsigned 64-bit hexadecimal digits only (no "0x", no sign, no blanks), upper or lower
// case; for chunk sizes. 0 or -1.
int FLibText_HexToUInt64(std::string_view text, uint64_t* out);
