// Escaping for XML text and attribute values and for URLs, and the in-place reversals.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

// XML: '"' -> "&quot;", '\'' -> "&apos;", '<' -> "&lt;", '>' -> "&gt;", '&' -> "&amp;";
// every other byte is copied.
std::string FLibXml_Escape(std::string_view text);
void FLibXml_EscapeAppend(std::string* out, std::string_view text);

// The length of FLibXml_Escape(text), without building it.
size_t FLibXml_EscapedLength(std::string_view text);

// Replaces exactly the five entities above by their characters, in place; anything else
// (other entities, a lone '&') is kept as it is. Returns the new length; the std::string
// form also shrinks the string.
size_t FLibXml_UnescapeInPlace(char* text, size_t length);
size_t FLibXml_UnescapeInPlace(std::string* text);

// URL: keeps letters, digits and ";/?:@=+$-_.*" and writes every other byte as "%XX"
// (upper-case hexadecimal): "a b" -> "a%20b".
std::string FLibUrl_Escape(std::string_view text);
// FLibUrl_Escape(text) added to the end of *out.
void FLibUrl_EscapeAppend(std::string* out, std::string_view text);

// The length of FLibUrl_Escape(text) (no terminator counted).
size_t FLibUrl_EscapedLength(std::string_view text);

// Turns every "%" followed by two hexadecimal digits into that byte, in place; a "%" not
// so followed is kept. "+" stays "+". The result may contain any byte, NUL included.
// Returns the new length; the std::string form also shrinks the string.
size_t FLibUrl_UnescapeInPlace(char* text, size_t length);
size_t FLibUrl_UnescapeInPlace(std::string* text);
