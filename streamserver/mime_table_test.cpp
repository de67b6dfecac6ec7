#include "streamserver/mime_table.h"

#include <gtest/gtest.h>

#include <set>
#include <string>

#include "library/schema.h"
#include "media/media_type.h"
#include "platform/testing/test_support.h"

namespace {

// Comment lines and lines of several extensions are read in the shipped table's case.
TEST(MimeTable, ReadsTypesByExtensionAndSkipsLinesWithoutExtensions) {
  MimeTable table;
  table.LoadText(
      "audio/mpeg mp3\tmp2\r\n"
      "application/x-lonely\n"
      "video/x-ms-avi   avi # trailing comment\n"
      "application/gzip gz");
  EXPECT_EQ(table.Extensions().size(), 4u);
  EXPECT_EQ(table.TypeOfExtension("MP3"), "audio/mpeg");
  // The last extension counts, and only in the last segment.
  EXPECT_EQ(table.TypeOfPath("/m/a.tar.gz"), "application/gzip");
  for (const char* path : {"/m/dir.mp3/README", "/m/trailing.", "/m/x.comment"})
    EXPECT_EQ(table.TypeOfPath(path), "") << path;
  platform::testing::TempDir dir;
  platform::testing::WriteFile(dir.Join("second"), "text/x-a aa\n");
  EXPECT_TRUE(MimeTable_LoadFirst(&table, dir.Join("missing"), dir.Join("second")));
  EXPECT_EQ(table.TypeOfExtension("aa"), "text/x-a");
  EXPECT_FALSE(MimeTable_LoadFirst(&table, dir.Join("missing"), dir.Join("also-missing")));
}

}  // namespace
