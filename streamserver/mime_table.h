// The extension-to-type table of the stream server, read from a "mime.types" file: each
// line is a type followed by its extensions, separated by blanks.
#pragma once

#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

inline constexpr const char* kOctetStreamType = "application/octet-stream";

class MimeTable {
 public:
  // Adds the lines of the file; lines without extensions and "#" comments are ignored.
  // False when the file cannot be read.
  bool LoadFile(const std::string& path);
  void LoadText(std::string_view text);

  // The type of an extension (without the dot, any case); empty when unknown.
  std::string TypeOfExtension(std::string_view extension) const;
  // The type of a path by its last extension: the text after the last "." that follows
  // the last "/". Empty when the path has no extension or it is unknown.
  std::string TypeOfPath(std::string_view path) const;
  // Every extension of the table, lower case, without the dot.
  std::vector<std::string> Extensions() const;

 private:
  std::unordered_map<std::string, std::string> types_;
};

// The extension of a path (platform::PathExtension) without the dot; "" when none.
std::string_view MimeTable_Extension(std::string_view path);

// True when the bytes look like text: every one printable, white space or 0x1A.
bool MimeTable_LooksLikeText(std::string_view head);

// Whether the MIME file was found at `primary`, else at `fallback`; loads the first that
// can be read. False when neither can.
bool MimeTable_LoadFirst(MimeTable* table, const std::string& primary, const std::string& fallback);
