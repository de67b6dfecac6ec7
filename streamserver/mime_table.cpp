#include "streamserver/mime_table.h"

#include <fstream>
#include <sstream>

#include "platform/path.h"
#include "platform/text.h"

bool MimeTable::LoadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return false;
  std::ostringstream text;
  text << in.rdbuf();
  LoadText(text.str());
  return true;
}

void MimeTable::LoadText(std::string_view text) {
  auto isBlank = [](char c) { return c == ' ' || c == '\t' || c == '\r'; };
  size_t start = 0;
  while (start < text.size()) {
    size_t end = text.find('\n', start);
    if (end == std::string_view::npos) end = text.size();
    std::string_view line = text.substr(start, end - start);
    start = end + 1;
    size_t hash = line.find('#');
    if (hash != std::string_view::npos) line = line.substr(0, hash);
    std::string type;
    size_t i = 0;
    while (i < line.size()) {
      while (i < line.size() && isBlank(line[i])) ++i;
      size_t begin = i;
      while (i < line.size() && !isBlank(line[i])) ++i;
      if (i == begin) break;
      std::string_view word = line.substr(begin, i - begin);
      if (type.empty()) {
        type = std::string(word);
      } else {
        types_[platform::AsciiLower(word)] = type;
      }
    }
  }
}

std::string MimeTable::TypeOfExtension(std::string_view extension) const {
  if (extension.empty()) return "";
  auto it = types_.find(platform::AsciiLower(extension));
  return it == types_.end() ? "" : it->second;
}

std::vector<std::string> MimeTable::Extensions() const {
  std::vector<std::string> extensions;
  for (const auto& entry : types_) extensions.push_back(entry.first);
  return extensions;
}

std::string MimeTable::TypeOfPath(std::string_view path) const {
  return TypeOfExtension(MimeTable_Extension(path));
}

std::string_view MimeTable_Extension(std::string_view path) {
  std::string_view extension = platform::PathExtension(path);
  return extension.empty() ? extension : extension.substr(1);
}

bool MimeTable_LooksLikeText(std::string_view head) {
  for (unsigned char c : head) {
    bool printable = c >= 0x20 && c != 0x7F;
    bool space = c == '\t' || c == '\n' || c == '\r' || c == '\f' || c == '\v';
    if (!printable && !space && c != 0x1A) return false;
  }
  return true;
}

bool MimeTable_LoadFirst(MimeTable* table, const std::string& primary,
                         const std::string& fallback) {
  if (table->LoadFile(primary)) return true;
  return !fallback.empty() && table->LoadFile(fallback);
}
