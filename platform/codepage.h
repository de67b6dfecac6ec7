// Conversions between 8-bit code pages, UTF-16 and UTF-8. Tags and playlists carry
// 8-bit text of unknown encoding and language files are UTF-16; the rest of the
// program works in UTF-8. No conversion fails: what cannot be decoded becomes U+FFFD.
#pragma once

#include <string>
#include <string_view>

namespace platform {

// The code page for 8-bit text that is not UTF-8; set with the language (1252 until
// then). Safe from any thread.
int TextCodePage();
void SetTextCodePage(int codePage);

// Decodes `bytes` from a Windows code page: 950, 936, 932, 1252 and any other that
// iconv knows as "CPnnn" or "WINDOWS-nnn"; 65001 is UTF-8. Each byte that does not
// begin a valid character becomes U+FFFD and decoding goes on after it; a character
// cut off at the end becomes one U+FFFD. An unknown code page keeps ASCII and turns
// every other byte into U+FFFD.
std::string CodePageToUtf8(std::string_view bytes, int codePage);

// 8-bit text of unknown encoding: kept as it is when it is valid UTF-8, else decoded
// from `codePage`.
std::string Text8ToUtf8(std::string_view bytes, int codePage);
// Same with TextCodePage().
std::string Text8ToUtf8(std::string_view bytes);

// Decodes UTF-16 code units given as bytes in the stated order. A byte-order mark is
// not special here (see DecodeUtf16WithBom). Surrogate pairs are joined; a lone
// surrogate and an odd last byte become U+FFFD.
std::string Utf16ToUtf8(std::string_view bytes, bool bigEndian);

// For a file's text: when `bytes` begins with a UTF-16 byte-order mark (FF FE or FE FF),
// sets `*text` to the rest decoded in that order and returns true; otherwise returns
// false and leaves `*text` alone.
bool DecodeUtf16WithBom(std::string_view bytes, std::string* text);

// Encodes UTF-8 as UTF-16 little-endian bytes without a byte-order mark; each byte of an
// invalid sequence becomes U+FFFD.
std::string Utf8ToUtf16LE(std::string_view text);

}  // namespace platform
