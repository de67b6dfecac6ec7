// Byte helpers and the index entry reader shared by the seek index tests.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <ostream>
#include <vector>

namespace seek_index_test {

using Bytes = std::vector<uint8_t>;
inline constexpr size_t kSector = 2048;

inline void PutBe32(Bytes& b, size_t at, uint32_t v) {
  for (int i = 0; i < 4; ++i) b[at + i] = static_cast<uint8_t>(v >> (24 - 8 * i));
}

inline void PutLe32(Bytes& b, size_t at, uint32_t v) {
  for (int i = 0; i < 4; ++i) b[at + i] = static_cast<uint8_t>(v >> (8 * i));
}

inline uint32_t Le32(const Bytes& b, size_t at) {
  return uint32_t{b[at]} | uint32_t{b[at + 1]} << 8 | uint32_t{b[at + 2]} << 16 |
         uint32_t{b[at + 3]} << 24;
}

struct MpegEntry {
  uint32_t start, time, end;
  bool operator==(const MpegEntry&) const = default;
};

inline std::ostream& operator<<(std::ostream& os, const MpegEntry& e) {
  return os << "{" << e.start << "," << e.time << "," << e.end << "}";
}

// The entries of an MPEG index file; checks its magic and that it holds whole entries.
inline std::vector<MpegEntry> MpegEntries(const Bytes& index) {
  std::vector<MpegEntry> entries;
  EXPECT_GE(index.size(), 4u);
  if (index.size() < 4) return entries;
  EXPECT_EQ(std::memcmp(index.data(), "hidx", 4), 0);
  EXPECT_EQ((index.size() - 4) % 12, 0u);
  for (size_t at = 4; at + 12 <= index.size(); at += 12) {
    entries.push_back({Le32(index, at), Le32(index, at + 4), Le32(index, at + 8)});
  }
  return entries;
}

}  // namespace seek_index_test
