#include "streamserver/dir_index.h"

#include <gtest/gtest.h>

namespace {

// The listing itself is proven through the server by the media handler's folder test.

TEST(StreamDirIndexName, PadsShortNamesAndCutsLongOnesByCharacters) {
  EXPECT_EQ(StreamDirIndex_NameColumn("a.mp3"), "a.mp3" + std::string(20, ' '));
  EXPECT_EQ(StreamDirIndex_NameColumn("abcdefghijklmnopqrstuvwxyz.mp3"),
            "abcdefghij...tuvwxyz.mp3 ");
  // A name of 30 two-byte letters keeps whole letters.
  std::string wide;
  for (int i = 0; i < 30; ++i) wide += "\xc3\xa9";
  EXPECT_EQ(StreamDirIndex_NameColumn(wide),
            std::string(wide, 0, 20) + "..." + std::string(wide, 0, 22) + " ");
}

}  // namespace
