#include "media/avi_check.h"

#include <algorithm>
#include <cstring>
#include <vector>

#include "media/limits.h"

namespace media {
namespace {

constexpr size_t kChunkHeaderSize = 8;

bool IsFourcc(const uint8_t* p, const char* code) { return std::memcmp(p, code, 4) == 0; }

// Walks the chunks of one list body and returns the handler code of the first video
// stream header found in it or in its "strl" sub-lists. `chunks` counts every chunk
// looked at, so nested lists cannot multiply the work.
bool FindVideoHandler(const uint8_t* data, size_t size, int depth, int* chunks,
                      std::string* handler) {
  size_t pos = 0;
  while (size - pos >= kChunkHeaderSize) {
    if (++*chunks > media_limits::kAviMaxChunks) return false;
    const uint8_t* chunk = data + pos;
    uint64_t chunkSize = LoadLe32(chunk + 4);
    size_t bodyStart = pos + kChunkHeaderSize;
    // A chunk that claims more than the list holds is cut to what is there.
    size_t bodySize = static_cast<size_t>(std::min<uint64_t>(chunkSize, size - bodyStart));
    const uint8_t* body = data + bodyStart;
    if (IsFourcc(chunk, "strh") && bodySize >= 8 && IsFourcc(body, "vids")) {
      handler->assign(reinterpret_cast<const char*>(body + 4), 4);
      return true;
    }
    if (IsFourcc(chunk, "LIST") && bodySize >= 4 && IsFourcc(body, "strl") && depth == 0) {
      if (FindVideoHandler(body + 4, bodySize - 4, depth + 1, chunks, handler)) return true;
    }
    // Chunks are padded to an even length.
    uint64_t next = bodyStart + chunkSize + (chunkSize & 1);
    if (next >= size) break;
    pos = static_cast<size_t>(next);
  }
  return false;
}

}  // namespace

bool AviCheck_ReadVideoHandler(ByteSource& source, std::string* handler) {
  uint8_t head[24];
  if (!source.ReadAt(0, head, sizeof head)) return false;
  if (!IsFourcc(head, "RIFF") || !IsFourcc(head + 8, "AVI ") || !IsFourcc(head + 12, "LIST") ||
      !IsFourcc(head + 20, "hdrl")) {
    return false;
  }
  uint32_t listSize = LoadLe32(head + 16);
  if (listSize < 4) return false;
  uint32_t bodySize = std::min<uint32_t>(listSize - 4, media_limits::kAviHeaderListMaxBytes);
  // A list that claims more than the file holds is cut: nothing to allocate for it.
  if (source.Size() < sizeof head + uint64_t{bodySize}) return false;
  std::vector<uint8_t> body(bodySize);
  if (!source.ReadAt(sizeof head, body.data(), body.size())) return false;
  int chunks = 0;
  return FindVideoHandler(body.data(), body.size(), 0, &chunks, handler);
}

uint32_t AviCheck_Flags(ByteSource& source) {
  std::string handler;
  if (!AviCheck_ReadVideoHandler(source, &handler)) return 0;
  for (char& c : handler) {
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
  }
  static const char* const kAccepted[] = {"DIV3", "DIV4", "DIV5", "DIVX", "XVID"};
  for (const char* code : kAccepted) {
    if (handler == code) return 0;
  }
  return kWMTagFlagForeignAviCodec;
}

}  // namespace media
