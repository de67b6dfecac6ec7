// The record of looked-at files behind kept answers: where an answer only identified names,
// their settled folder stands for them, and still every change that could alter such an
// answer shows.
#include "platform/file_info.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <functional>
#include <string>
#include <vector>

#include "gtest/gtest.h"
#include "platform/testing/test_support.h"
#include "platform/tick.h"

namespace platform {
namespace {

TEST(FileLookupRecordTest, ASettledFolderStandsForTheNamesItHolds) {
  testing::TempDir root;
  // One folder per change below, each holding a.jpg and b.jpg, a spare file, no c.jpg, and
  // a link to a file kept elsewhere.
  struct Case {
    const char* change;
    std::function<void(const std::string& folder, const std::string& target)> apply;
  };
  const std::vector<Case> cases = {
      {"a name removed", [](const auto& f, const auto&) { ::unlink((f + "/b.jpg").c_str()); }},
      {"a name made", [](const auto& f, const auto&) { testing::WriteFile(f + "/c.jpg", "3"); }},
      {"a name given to another file",
       [](const auto& f, const auto&) { ::rename((f + "/spare").c_str(), (f + "/a.jpg").c_str()); }},
      {"the folder replaced",
       [](const auto& f, const auto&) {
         ::rename(f.c_str(), (f + "-old").c_str());
         ::mkdir(f.c_str(), 0755);
         for (const char* name : {"/a.jpg", "/b.jpg", "/link.jpg"}) testing::WriteFile(f + name, "1");
       }},
      {"a linked file gone", [](const auto&, const auto& t) { ::unlink(t.c_str()); }},
  };
  auto folderOf = [&](size_t i) { return root.Join("f" + std::to_string(i)); };
  auto targetOf = [&](size_t i) { return root.Join("target" + std::to_string(i)); };
  for (size_t i = 0; i <= cases.size(); ++i) {
    std::string folder = folderOf(i);
    ASSERT_EQ(::mkdir(folder.c_str(), 0755), 0);
    testing::WriteFile(folder + "/a.jpg", "1");
    testing::WriteFile(folder + "/b.jpg", "2");
    testing::WriteFile(folder + "/spare", "spare");
    testing::WriteFile(targetOf(i), "t");
    ASSERT_EQ(::symlink(targetOf(i).c_str(), (folder + "/link.jpg").c_str()), 0);
  }
  // A name given to another file between the answer's look at it and the next name's look,
  // over a second before the folder is first looked at: the folder by then looks settled.
  std::string raced = root.Join("raced");
  ASSERT_EQ(::mkdir(raced.c_str(), 0755), 0);
  for (const char* name : {"/a.jpg", "/b.jpg", "/spare"}) testing::WriteFile(raced + name, "1");
  std::optional<FileLookupRecord> racedRecord;
  {
    FileLookupMemo memo;
    EXPECT_TRUE(FileExists(raced + "/a.jpg"));
    ::rename((raced + "/spare").c_str(), (raced + "/a.jpg").c_str());
    SleepMs(1100);  // no folder changed within the last second: each may stand for its names
    EXPECT_TRUE(FileExists(raced + "/b.jpg"));
    racedRecord = memo.TakeRecord();
  }
  ASSERT_TRUE(racedRecord.has_value());
  EXPECT_FALSE(racedRecord->Unchanged());

  // What an answer about the folder's pictures asks: whether they are there and when they
  // were made; with `sized`, also a.jpg's size.
  auto record = [](const std::string& folder, bool sized) {
    FileLookupMemo memo;
    EXPECT_TRUE(FileExists(folder + "/a.jpg"));
    EXPECT_TRUE(FileBirthTime(folder + "/b.jpg").has_value());
    EXPECT_FALSE(FileExists(folder + "/c.jpg"));
    EXPECT_TRUE(FileExists(folder + "/link.jpg"));
    if (sized) {
      EXPECT_EQ(FileSize64(folder + "/a.jpg"), 1);
    }
    std::optional<FileLookupRecord> taken = memo.TakeRecord();
    EXPECT_TRUE(taken.has_value());
    return taken.value_or(FileLookupRecord());
  };

  // A file whose name alone was asked about may grow: the answer did not use its content.
  // Had its size been asked, the growth shows.
  std::string last = folderOf(cases.size());
  FileLookupRecord names = record(last, false);
  FileLookupRecord sized = record(last, true);
  EXPECT_TRUE(names.Unchanged());
  EXPECT_TRUE(sized.Unchanged());
  testing::WriteFile(last + "/a.jpg", "grown");
  EXPECT_TRUE(names.Unchanged());
  EXPECT_FALSE(sized.Unchanged());
  // Both lie on the test's own disk. A kernel-made file system's entry (or a missing one in
  // its folder) is not known to be local, and one such path makes the whole record so.
  EXPECT_TRUE(names.Local());
  {
    FileLookupMemo memo;
    EXPECT_TRUE(FileExists(last + "/b.jpg"));
    EXPECT_FALSE(FileExists("/proc/no-such-entry"));
    std::optional<FileLookupRecord> mixed = memo.TakeRecord();
    ASSERT_TRUE(mixed.has_value());
    EXPECT_FALSE(mixed->Local());
  }

  // Each change shows to a look, and to the folder's watch once a check trusts watches:
  // the second such check looks at the link alone.
  for (size_t i = 0; i < cases.size(); ++i) {
    FileLookupRecord before = record(folderOf(i), false);
    FileLookupRecord watched = record(folderOf(i), false);
    ASSERT_TRUE(before.Unchanged()) << cases[i].change;
    bool lookedAll = true;
    ASSERT_TRUE(watched.Unchanged(true, &lookedAll)) << cases[i].change;
    ASSERT_TRUE(watched.Unchanged(true, &lookedAll)) << cases[i].change;
    EXPECT_FALSE(lookedAll) << "the folder's watch was not trusted";
    cases[i].apply(folderOf(i), targetOf(i));
    EXPECT_FALSE(before.Unchanged()) << cases[i].change;
    EXPECT_FALSE(watched.Unchanged(true)) << cases[i].change << ", the folder watched";
  }
}

// A file whose content an answer read is watched once its folder is settled; while the
// watch is quiet the file need not be looked at, and every way of changing what the name
// holds still shows.
TEST(FileLookupRecordTest, AWatchedFileIsTrustedOnlyWhileNothingHappenedToIt) {
  testing::TempDir root;
  std::string elsewhere = root.Join("elsewhere");
  ASSERT_EQ(::mkdir(elsewhere.c_str(), 0755), 0);
  // Each change in a folder of its own, holding a.jpg ("1"), a spare file, a hard link of
  // a.jpg kept elsewhere and a link to a file kept elsewhere.
  struct Case {
    const char* change;
    std::function<void(const std::string& folder, const std::string& other)> apply;
  };
  const std::vector<Case> cases = {
      {"rewritten in place at the same size",
       [](const auto& f, const auto&) { testing::WriteFile(f + "/a.jpg", "2"); }},
      {"written through another hard link",
       [](const auto&, const auto& o) { testing::WriteFile(o + ".hard", "2"); }},
      {"replaced by a rename",
       [](const auto& f, const auto&) {
         ::rename((f + "/spare").c_str(), (f + "/a.jpg").c_str());
       }},
      {"the folder replaced",
       [](const auto& f, const auto&) {
         ::rename(f.c_str(), (f + "-old").c_str());
         ::mkdir(f.c_str(), 0755);
         testing::WriteFile(f + "/a.jpg", "1");
       }},
      {"a linked file rewritten",
       [](const auto&, const auto& o) { testing::WriteFile(o + ".target", "22"); }},
  };
  auto folderOf = [&](size_t i) { return root.Join("f" + std::to_string(i)); };
  auto otherOf = [&](size_t i) { return elsewhere + "/" + std::to_string(i); };
  for (size_t i = 0; i <= cases.size(); ++i) {
    std::string folder = folderOf(i);
    ASSERT_EQ(::mkdir(folder.c_str(), 0755), 0);
    testing::WriteFile(folder + "/a.jpg", "1");
    testing::WriteFile(folder + "/spare", "3");
    ASSERT_EQ(::link((folder + "/a.jpg").c_str(), (otherOf(i) + ".hard").c_str()), 0);
    testing::WriteFile(otherOf(i) + ".target", "1");
    ASSERT_EQ(::symlink((otherOf(i) + ".target").c_str(), (folder + "/link.jpg").c_str()), 0);
  }
  SleepMs(1100);  // no folder changed within the last second: each may stand for its names

  // What an answer about a picture reads: its size. `between` runs after the look and
  // before the record is taken (and its watches made).
  auto record = [](const std::string& path, const std::function<void()>& between = {}) {
    FileLookupMemo memo;
    EXPECT_GT(FileSize64(path), 0);
    if (between) between();
    std::optional<FileLookupRecord> taken = memo.TakeRecord();
    EXPECT_TRUE(taken.has_value());
    return taken.value_or(FileLookupRecord());
  };
  auto trusted = [](FileLookupRecord& r, bool* lookedAll) {
    return r.Unchanged(true, lookedAll);
  };

  // Untouched: the first check that trusts watches starts the watch and looks at the
  // file; from then on the watch is trusted and the file not looked at. A full look agrees.
  std::string quiet = folderOf(cases.size()) + "/a.jpg";
  FileLookupRecord untouched = record(quiet);
  bool lookedAll = false;
  EXPECT_TRUE(trusted(untouched, &lookedAll));
  EXPECT_TRUE(lookedAll) << "a watch was trusted before any look began under it";
  EXPECT_TRUE(trusted(untouched, &lookedAll));
  EXPECT_TRUE(untouched.Unchanged(false, &lookedAll));
  EXPECT_TRUE(lookedAll);
  // Records of one file share its watch: one dropped leaves the other's.
  {
    FileLookupRecord second = record(quiet);
    EXPECT_TRUE(trusted(second, &lookedAll));
  }
  // A file opened for writing and closed as it was makes its watch speak; once a look
  // finds the file as it was, the watch is trusted again.
  ::close(::open(quiet.c_str(), O_WRONLY | O_CLOEXEC));
  EXPECT_TRUE(trusted(untouched, &lookedAll));
  {
    // A write through a shared mapping dates the file at once, but makes its watch speak
    // only when the mapping and its file are let go: meanwhile only a look sees it. So it
    // shows which checks looked at the file.
    int fd = ::open(quiet.c_str(), O_RDWR | O_CLOEXEC);
    ASSERT_GE(fd, 0);
    void* mapped = ::mmap(nullptr, 1, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
    ASSERT_NE(mapped, MAP_FAILED);
    *static_cast<volatile char*>(mapped) = '1';
    EXPECT_TRUE(trusted(untouched, &lookedAll))
        << "the watched file was looked at: a watch that spoke of nothing, or whose other "
           "record was dropped, was not trusted again";
    EXPECT_FALSE(untouched.Unchanged(false, &lookedAll)) << "the mapped write left no trace";
    ::munmap(mapped, 1);
    ::close(fd);
  }
  EXPECT_FALSE(trusted(untouched, &lookedAll)) << "the close after the mapped write not seen";
  // Nor is a file in a folder changed within the last second, which cannot yet stand for
  // which file the name is, though another file of the answer is watched.
  std::string young = root.Join("young");
  ASSERT_EQ(::mkdir(young.c_str(), 0755), 0);
  testing::WriteFile(young + "/a.jpg", "1");
  FileLookupRecord mixed = record(young + "/a.jpg", [&] {
    EXPECT_EQ(FileSize64(folderOf(cases.size()) + "/spare"), 1);
  });
  EXPECT_TRUE(trusted(mixed, &lookedAll));
  EXPECT_TRUE(trusted(mixed, &lookedAll));
  ::rename(young.c_str(), (young + "-old").c_str());
  ::mkdir(young.c_str(), 0755);
  testing::WriteFile(young + "/a.jpg", "1");
  EXPECT_FALSE(trusted(mixed, &lookedAll)) << "a file in an unsettled folder was trusted";
  // A file changed after the answer read it, before its watch began, is never trusted on
  // the watch.
  FileLookupRecord late = record(quiet, [&quiet] { testing::WriteFile(quiet, "22"); });
  EXPECT_FALSE(trusted(late, &lookedAll));

  for (size_t i = 0; i < cases.size(); ++i) {
    std::string name = folderOf(i) + (i + 1 == cases.size() ? "/link.jpg" : "/a.jpg");
    FileLookupRecord before = record(name);
    ASSERT_TRUE(trusted(before, &lookedAll)) << cases[i].change;
    ASSERT_TRUE(trusted(before, &lookedAll)) << cases[i].change;
    cases[i].apply(folderOf(i), otherOf(i));
    EXPECT_FALSE(trusted(before, &lookedAll)) << cases[i].change;
  }
}

}  // namespace
}  // namespace platform
