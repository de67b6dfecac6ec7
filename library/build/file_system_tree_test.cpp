#include "library/build/file_system_tree.h"

#include <gtest/gtest.h>

#include <set>
#include <tuple>

#include "library/library.h"
#include "library/object_numbers.h"
#include "library/statements.h"
#include "library/testing/temp_library.h"

namespace {

std::set<int32_t> ChildrenOf(int32_t parent) {
  std::set<int32_t> out;
  int n = db_selectT(sql::Children(parent));
  for (int i = 0; i < n; ++i) out.insert(db_selectResults()[static_cast<size_t>(i)].MyIndex);
  return out;
}

// Every other subsystem numbers its containers by this tree; building it again over an
// existing tree changes nothing.
TEST(ContainerTreeTest, BuildsTheSkeletonOnceWithItsChildrenTitlesAndKinds) {
  TempLibrary lib;
  ASSERT_TRUE(lib.ok());
  for (int32_t counter : {12345, 500}) {
    g_nextMyIndex = counter;
    FST_BuildTree();
    EXPECT_EQ(g_nextMyIndex.load(), 29);
    EXPECT_EQ(db_getCount(sql::AllObjects()), 28);
  }
  EXPECT_EQ(ChildrenOf(0), (std::set<int32_t>{1, 2, 3}));
  EXPECT_EQ(ChildrenOf(1), (std::set<int32_t>{4, 6, 16}));
  EXPECT_EQ(ChildrenOf(2), (std::set<int32_t>{7, 8, 9, 10, 12, 18}));
  EXPECT_EQ(ChildrenOf(3), (std::set<int32_t>{13, 15}));
  EXPECT_EQ(ChildrenOf(16), (std::set<int32_t>{17, 20}));
  EXPECT_EQ(ChildrenOf(18), (std::set<int32_t>{19}));
  EXPECT_EQ(ChildrenOf(20), (std::set<int32_t>{21, 22, 23, 24, 25, 26, 27}));
  EXPECT_EQ(ChildrenOf(-1), (std::set<int32_t>{0, 5, 11, 14}));
  EXPECT_EQ(db_getCount(sql::ObjectByIndex(28)), 0);
  struct Row {
    int32_t index;
    const char* name;
    const char* path;
    const char* type;
    int32_t internet;
  };
  for (const Row& want :
       {Row{0, "Root", "Root", "", 0}, Row{27, "Most responded", "most responded", "Video", 1},
        Row{18, "Internet Audio", "Internet Audio", "Video", 1},
        Row{15, "My Folders", "My Folders", "Image", 0}}) {
    MediaRecord r;
    ASSERT_EQ(db_getOneRecord(sql::ObjectByIndex(want.index), &r), 1);
    EXPECT_EQ(std::tie(r.FileName, r.FilePath, r.FileType, r.InternetFlags, r.ObjectType),
              std::make_tuple(want.name, want.path, want.type, want.internet, kObjectContainer))
        << want.index;
  }
}

}  // namespace
