// UTF-8 helpers shared by every subsystem: fixed-size text fields become caps
// on std::string, and a cap never splits a multi-byte sequence.
#pragma once

#include <string>
#include <string_view>

namespace platform {

// Decodes the UTF-8 sequence at text[i]: its length, with the code point in *cp, or 0
// when the bytes there are malformed (overlong, a surrogate, past U+10FFFF or cut off).
size_t DecodeUtf8(std::string_view text, size_t i, char32_t* cp);

// Appends the UTF-8 form of `cp`. Values past U+10FFFF, up to 0x1FFFFF, go on in the
// four-byte form: the forms of all these values compare bytewise in the order of the
// values, and none is the beginning of another.
void AppendUtf8(std::string& out, char32_t cp);

// True when `text` is well-formed UTF-8 (no overlongs, surrogates or values past U+10FFFF).
bool IsValidUtf8(std::string_view text);

// The longest prefix of `text` that fits a zero-terminated field of `fieldSize` bytes
// (at most fieldSize - 1 bytes) and does not end inside a UTF-8 sequence.
std::string Utf8Cap(std::string_view text, size_t fieldSize);

// Same, in place.
void Utf8CapInPlace(std::string& text, size_t fieldSize);
// The length Utf8CapInPlace would leave, for cutting before a copy is made.
size_t Utf8CappedLength(std::string_view text, size_t fieldSize);

// Lower-cases ASCII letters only; for protocol tokens and extensions.
std::string AsciiLower(std::string_view text);

// The lower-case form of a code point by the C library's Unicode tables (the C.UTF-8
// locale, whatever the process's own locale is); `cp` itself when it has none, or when
// that locale is missing.
char32_t UnicodeLower(char32_t cp);

// Case-insensitive comparison of ASCII letters (other bytes compare exactly).
bool AsciiEqualsNoCase(std::string_view a, std::string_view b);

// True when `text` ends with `suffix`, ASCII letters compared without case; for extensions.
bool EndsWithNoCase(std::string_view text, std::string_view suffix);

}  // namespace platform
