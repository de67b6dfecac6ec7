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

// A client that reads a resource's type from its protocolInfo must get the same type in
// the answer, whichever server sends the file.
TEST(MimeTable, TheShippedTableTypesEverySharedExtensionLikeTheContentDirectory) {
  MimeTable shipped;
  ASSERT_TRUE(shipped.LoadFile(ORVEX_MIME_TYPES_PATH));
  std::set<std::string> extensions;
  for (const auto* list : {&kDefaultVideoExtensions, &kDefaultAudioExtensions,
                           &kDefaultImageExtensions, &kDefaultPlaylistExtensions}) {
    for (std::string_view ext : *list) extensions.insert(std::string(ext.substr(1)));
  }
  for (const MediaTypeMimeRow& row : MediaType_MimeRows()) extensions.insert(row.extension + 1);
  // Any media type of the stream server's own may be shared by adding its extension.
  for (const std::string& ext : shipped.Extensions()) {
    std::string type = shipped.TypeOfExtension(ext);
    if (type.starts_with("audio/") || type.starts_with("video/") || type.starts_with("image/"))
      extensions.insert(ext);
  }
  for (const std::string& ext : extensions) {
    std::string type = shipped.TypeOfExtension(ext);
    EXPECT_EQ(type.empty() ? kOctetStreamType : type, MediaType_MimeForExtension(ext)) << ext;
  }
}

}  // namespace
