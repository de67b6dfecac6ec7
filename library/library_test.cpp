#include "library/library.h"

#include <gtest/gtest.h>
#include <sqlite3.h>

#include <cerrno>
#include <cstdio>
#include <filesystem>

#include "library/collation.h"
#include "library/statements.h"
#include "library/testing/temp_library.h"

namespace {

// A fresh program directory with an open library; closes (and compacts) at the end.
class LibraryTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(lib_.ok());
    dir_ = lib_.dir();
  }
  void TearDown() override { db_setRenameForTest(nullptr); }

  static ObjectRow Item(int32_t index, int32_t parent, std::string name, std::string album = "") {
    ObjectRow row;
    row.MyIndex = index;
    row.pIndex = parent;
    row.ObjectType = kObjectItem;
    row.ProcessObjectType = kObjectItem;
    row.FilePath = "/media/" + name;
    row.FileName = std::move(name);
    row.Album = std::move(album);
    row.FileType = "Audio";
    return row;
  }

  static ObjectRow Container(int32_t index, int32_t parent, std::string name) {
    ObjectRow row = Item(index, parent, std::move(name));
    row.ObjectType = kObjectContainer;
    row.ProcessObjectType = kObjectContainer;
    return row;
  }

  static void Insert(const ObjectRow& row) { ASSERT_EQ(db_execute(sql::InsertObject(row)), 1); }

  // A write the library's own connection does not make, as another program's would be.
  void DeleteThroughAnotherConnection(int32_t index) {
    sqlite3* other = nullptr;
    ASSERT_EQ(sqlite3_open((dir_ + "/" + kLibraryFileName).c_str(), &other), SQLITE_OK);
    std::string statement = "delete from FSE_QueryState where MyIndex = " + std::to_string(index);
    EXPECT_EQ(sqlite3_exec(other, statement.c_str(), nullptr, nullptr, nullptr), SQLITE_OK);
    sqlite3_close(other);
  }

  static std::vector<int32_t> Indexes(const std::vector<MediaRecord>& rows, size_t count = 0) {
    std::vector<int32_t> out;
    for (const auto& r : rows) out.push_back(r.MyIndex);
    if (count > 0 && out.size() > count) out.resize(count);
    return out;
  }

  TempLibrary lib_;
  std::string dir_;
};

// The stored keys order texts exactly as the collation compares them, malformed bytes
// included, so a listing sorted by the keys is sorted by the collation.
TEST(SortKeyTest, KeysCompareAsTheCollationDoes) {
  // Every pair of these pieces: case pairs, letters beyond ASCII ("é", "É", "ǅ", "日"),
  // malformed bytes, code points past U+10FFFF and a NUL, next to each other.
  const std::string pieces[] = {"",
                                "a",
                                "A",
                                "B",
                                "\xc3\xa9",
                                "\xc3\x89",
                                "\xc7\x85",
                                "\xe6\x97\xa5",
                                "\x7f",
                                "\xc3",
                                "\xff",
                                "\xf4\x8f\xbf\xbf",
                                "\xf4\x90\x80\x80",
                                "\xf7\xbf\xbf\xbf",
                                {"\0", 1}};
  std::vector<std::pair<std::string, std::string>> texts;  // each with its key
  for (const std::string& a : pieces) {
    for (const std::string& b : pieces) texts.emplace_back(a + b, NoCaseSortKey(a + b));
  }
  auto sign = [](int v) { return (v > 0) - (v < 0); };
  for (const auto& [a, keyA] : texts) {
    for (const auto& [b, keyB] : texts) {
      ASSERT_EQ(sign(keyA.compare(keyB)), sign(CompareNoCase(a, b))) << a << " / " << b;
    }
  }
}

// What the stock sqlite3 tool prints for `command` on a file, error messages included.
std::string StockTool(const std::string& file, const std::string& command) {
  std::string line = "sqlite3 '" + file + "' \"" + command + "\" 2>&1";
  std::string out;
  if (FILE* pipe = ::popen(line.c_str(), "r")) {
    char buffer[4096];
    size_t n;
    while ((n = std::fread(buffer, 1, sizeof buffer, pipe)) > 0) out.append(buffer, n);
    ::pclose(pipe);
  }
  return out;
}

// A library written before the sort keys were stored had an index that only the program
// could read. Opening it converts it: the stock sqlite3 tool can then check, query, dump
// and compact it, the listing keeps its order (containers first, then album and name
// without case), and a container's children are still read through the index.
TEST_F(LibraryTest, OldLibraryIsConvertedSoThatAnySqliteToolCanUseIt) {
  Insert(Item(50, 7, "b.mp3", "beta"));
  Insert(Item(51, 7, "a.mp3", "Beta"));
  Insert(Item(52, 7, "c.mp3", "alpha"));
  Insert(Container(53, 7, "zz"));
  Insert(Item(54, 7, "d.mp3", "Éclair"));
  Insert(Item(55, 7, "e.mp3", "éclair"));
  db_close();
  const std::string file = dir_ + "/Orvex.mdb";
  sqlite3* old = nullptr;
  ASSERT_EQ(sqlite3_open(file.c_str(), &old), SQLITE_OK);
  RegisterNoCaseCollation(old);
  ASSERT_EQ(sqlite3_exec(old,
                         "drop index FSE_ByParent;"
                         "alter table FSE_QueryState drop column AlbumSortKey;"
                         "alter table FSE_QueryState drop column FileNameSortKey;"
                         "alter table FSE_QueryState drop column Year;"
                         "alter table FSE_QueryState drop column Subtitle;"
                         "alter table FSE_QueryState drop column AlbumArt;"
                         "create index FSE_ByParent on FSE_QueryState (pIndex, ObjectType desc, "
                         "Album collate ORVEX_NOCASE, FileName collate ORVEX_NOCASE);"
                         "delete from AVP where my_attribute in ('UDN', 'SystemUpdateID');",
                         nullptr, nullptr, nullptr),
            SQLITE_OK);
  sqlite3_close(old);
  ASSERT_NE(StockTool(file, "pragma integrity_check").find("no such collation"), std::string::npos);

  ASSERT_EQ(db_open(), 1);
  ASSERT_EQ(db_selectT(sql::Children(7)), 6);
  EXPECT_EQ(Indexes(db_selectResults(), 6), (std::vector<int32_t>{53, 52, 51, 50, 54, 55}));
  // The rows that earlier versions did not have are there to be written.
  std::string value;
  bool found = false;
  for (const char* key : {"UDN", "SystemUpdateID"}) {
    EXPECT_EQ(db_getAVP(key, &value, &found), 1);
    EXPECT_TRUE(found) << key;
  }
  ObjectRow tagged = Item(56, 7, "f.mp3", "ÉCLAIR");
  tagged.Year = 1999;
  tagged.Subtitle = "f.srt";
  Insert(tagged);
  EXPECT_EQ(db_systemUpdateId(), 1u);
  db_execute(sql::UpdateAlbumArt(56, tagged.FilePath, "0123abcd.jpg"));
  MediaRecord stored;
  ASSERT_EQ(db_getOneRecord(sql::ObjectByIndex(56), &stored), 1);
  EXPECT_EQ(stored.Year, 1999);
  EXPECT_EQ(stored.Subtitle, "f.srt");
  EXPECT_EQ(stored.AlbumArt, "0123abcd.jpg");
  db_close();

  EXPECT_EQ(StockTool(file, "pragma integrity_check"), "ok\n");
  EXPECT_EQ(StockTool(file, "select count(*) from FSE_QueryState where AlbumSortKey = 'éclair'"),
            "3\n");
  EXPECT_NE(StockTool(file, ".dump").find("INSERT INTO FSE_QueryState"), std::string::npos);
  EXPECT_EQ(StockTool(file, "vacuum"), "");
  std::string plan = StockTool(file, "explain query plan " + sql::Children(7).text + kSortedOrder);
  EXPECT_NE(plan.find("FSE_ByParent"), std::string::npos) << plan;
  EXPECT_EQ(plan.find("TEMP B-TREE"), std::string::npos) << plan;
  // A Search's walk to the containers below it seeks them, never every item on its way.
  plan = StockTool(file, "explain query plan " + sql::SubtreeRows(0).text);
  EXPECT_NE(plan.find("FSE_ByParent (pIndex=? AND ObjectType>?)"), std::string::npos) << plan;
  ASSERT_EQ(db_open(), 1);
}

// A jump deep into a long listing reads its page by row number; it lands where walking
// would, and a write of this connection or of another one moves it, and the remembered
// count, at once.
TEST_F(LibraryTest, DeepJumpsLandWhereWalkingWouldAndFollowWrites) {
  {
    LibraryTransaction batch;
    for (int i = 0; i < 5000; ++i) {
      char name[16];
      std::snprintf(name, sizeof name, "a%05d.mp3", i);
      Insert(Item(1000 + i, 7, name));
    }
    ASSERT_TRUE(batch.Commit());
  }
  std::vector<MediaRecord> page;
  ASSERT_EQ(db_browsePage(sql::Children(7), &page, 4500, 3), 3);
  EXPECT_EQ(Indexes(page), (std::vector<int32_t>{5500, 5501, 5502}));
  EXPECT_EQ(page[1].FileName, "a04501.mp3");
  EXPECT_EQ(db_browsePage(sql::Children(7), &page, 4998, 5), 2);
  EXPECT_EQ(db_browsePage(sql::Children(7), &page, -1, 5), 0);
  EXPECT_EQ(db_getCount(sql::Children(7)), 5000);
  Insert(Item(900, 7, "0first.mp3"));
  EXPECT_EQ(db_getCount(sql::Children(7)), 5001);
  ASSERT_EQ(db_browsePage(sql::Children(7), &page, 4500, 1), 1);
  EXPECT_EQ(page[0].MyIndex, 5499);
  DeleteThroughAnotherConnection(900);
  EXPECT_EQ(db_getCount(sql::Children(7)), 5000);
  ASSERT_EQ(db_browsePage(sql::Children(7), &page, 4500, 1), 1);
  EXPECT_EQ(page[0].MyIndex, 5500);
}

// A copy that cannot replace the library, or one an earlier run left behind, leaves the
// library in use untouched.
TEST_F(LibraryTest, FailedCompactionKeepsTheCopyAndTheLibraryInUse) {
  Insert(Item(5, 7, "kept.mp3"));
  db_setRenameForTest([](const char*, const char*) {
    errno = EACCES;
    return -1;
  });
  db_close();
  db_setRenameForTest(nullptr);
  EXPECT_TRUE(std::filesystem::exists(dir_ + "/temp.mdb"));
  ASSERT_EQ(db_open(), 1);
  EXPECT_EQ(db_getCount(sql::Children(7)), 1);
  Insert(Item(6, 7, "also.mp3"));
  platform::testing::WriteFile(dir_ + "/temp.mdb", "an older copy");
  db_close();
  EXPECT_EQ(platform::testing::ReadFile(dir_ + "/temp.mdb"), "an older copy");
  ASSERT_EQ(db_open(), 1);
  EXPECT_EQ(db_getCount(sql::Children(7)), 2);
  std::filesystem::remove(dir_ + "/temp.mdb");
}

// A statement that cannot be prepared, fails while it runs, or meets a closed library
// gives nothing and says so, rather than a half answer.
TEST_F(LibraryTest, StatementsThatFailGiveNothingAndSaySo) {
  MediaRecord record;
  std::vector<MediaRecord> page;
  for (bool open : {true, false}) {
    if (!open) db_close();
    for (const char* text :
         {"select * from NoSuchTable", "select abs(-9223372036854775807 - 1) as MyIndex"}) {
      const Sql broken{text, {}};
      EXPECT_EQ(db_execute(broken), 0) << text;
      EXPECT_EQ(db_getCount(broken), 0) << text;
      EXPECT_EQ(db_getOneRecord(broken, &record), 0) << text;
      EXPECT_EQ(db_selectT(broken), 0) << text;
      EXPECT_EQ(db_browsePage(broken, &page, 0, 5), 0) << text;
      EXPECT_EQ(db_getRecordAt(broken, &record, 0), 0) << text;
    }
  }
  SharedFolderRecord folder;
  EXPECT_EQ(db_getSharedFolder("/m", &folder), 0);
  EXPECT_TRUE(db_listSharedFolders().empty());
  EXPECT_EQ(db_countSharedFolders(), 0);
  EXPECT_FALSE(LibraryTransaction().Commit());
  EXPECT_GE(lib_.messages().size(), 8u);
  EXPECT_EQ(db_openAt(dir_ + "/no/folder.mdb"), 0);
  ASSERT_EQ(db_open(), 1);
}

// Names stored beside a record are plain file names; anything else names no file.
TEST(SiblingPathTest, OnlyPlainNamesNameAFile) {
  MediaRecord r;
  r.FilePath = "/m/a.mp3";
  for (const char* name : {"", " \t", ".", "..", "x/y.jpg"}) {
    r.CDCover = name;
    EXPECT_EQ(CoverPath(r), "") << name;
  }
  for (const char* name : {"", "-", ".", "..", "x/y.jpg"}) {
    r.AlbumArt = name;
    EXPECT_EQ(AlbumArtPath(r), "") << name;
  }
  r.Subtitle = "a.srt";
  EXPECT_EQ(SubtitlePath(r), "/m/a.srt");
  r.FilePath = "a.mp3";
  EXPECT_EQ(SubtitlePath(r), "");
}

}  // namespace
