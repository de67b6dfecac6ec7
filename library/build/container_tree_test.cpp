#include "library/build/container_tree.h"

#include <gtest/gtest.h>

#include <set>

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

TEST(ContainerTreeTest, BuildsTheSkeletonWithItsChildrenLists) {
  TempLibrary lib;
  ASSERT_TRUE(lib.ok());
  g_nextMyIndex = 12345;
  FST_BuildTree();
  EXPECT_EQ(g_nextMyIndex.load(), 29);
  EXPECT_EQ(db_getCount(sql::AllObjects()), 28);
  EXPECT_EQ(ChildrenOf(0), (std::set<int32_t>{1, 2, 3}));
  EXPECT_EQ(ChildrenOf(1), (std::set<int32_t>{4, 6, 16}));
  EXPECT_EQ(ChildrenOf(2), (std::set<int32_t>{7, 8, 9, 10, 12, 18}));
  EXPECT_EQ(ChildrenOf(3), (std::set<int32_t>{13, 15}));
  EXPECT_EQ(ChildrenOf(16), (std::set<int32_t>{17, 20}));
  EXPECT_EQ(ChildrenOf(18), (std::set<int32_t>{19}));
  EXPECT_EQ(ChildrenOf(20), (std::set<int32_t>{21, 22, 23, 24, 25, 26, 27}));
  EXPECT_EQ(ChildrenOf(-1), (std::set<int32_t>{0, 5, 11, 14}));
  EXPECT_EQ(db_getCount(sql::Children(28)), 0);
  EXPECT_EQ(db_getCount(sql::ObjectByIndex(28)), 0);
}

TEST(ContainerTreeTest, RowsCarryTheirTitlesKindsAndInternetFlags) {
  TempLibrary lib;
  ASSERT_TRUE(lib.ok());
  FST_BuildTree();
  MediaRecord r;
  ASSERT_EQ(db_getOneRecord(sql::ObjectByIndex(0), &r), 1);
  EXPECT_EQ(r.FileName, "Root");
  EXPECT_EQ(r.PIndex, -1);
  EXPECT_EQ(r.FilePathLen, 4);
  ASSERT_EQ(db_getOneRecord(sql::ObjectByIndex(27), &r), 1);
  EXPECT_EQ(r.FileName, "Most responded");
  EXPECT_EQ(r.FilePath, "most responded");
  EXPECT_EQ(r.InternetFlags, 1);
  EXPECT_EQ(r.ObjectType, kObjectContainer);
  ASSERT_EQ(db_getOneRecord(sql::ObjectByIndex(18), &r), 1);
  EXPECT_EQ(r.FileType, "Video");
  EXPECT_EQ(r.InternetFlags, 1);
  ASSERT_EQ(db_getOneRecord(sql::ObjectByIndex(15), &r), 1);
  EXPECT_EQ(r.FileName, "My Folders");
  EXPECT_EQ(r.FileType, "Image");
  EXPECT_EQ(r.InternetFlags, 0);
}

TEST(ContainerTreeTest, BuildingAgainOverAnExistingTreeChangesNothing) {
  TempLibrary lib;
  ASSERT_TRUE(lib.ok());
  FST_BuildTree();
  g_nextMyIndex = 500;
  FST_BuildTree();
  EXPECT_EQ(g_nextMyIndex.load(), 29);
  EXPECT_EQ(db_getCount(sql::AllObjects()), 28);
}

}  // namespace
