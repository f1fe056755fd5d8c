#include "core/path_probe.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "core/run_error.h"
#include "tests/support/memory_file_system.h"

namespace fernwise {
namespace {

using ::testing::ElementsAre;
using ::testing::IsEmpty;
using testing::MemoryFileSystem;

std::vector<std::string> Drain(NameList list) {
  std::vector<std::string> names;
  while (!list.Empty()) names.push_back(list.TakeFirst());
  return names;
}

TEST(NameListTest, TakesNamesFromTheFrontInAppendOrder) {
  NameList list;
  EXPECT_TRUE(list.Empty());
  list.Append("a");
  list.Append("b|c\nd");  // any byte but the separator survives
  EXPECT_EQ(list.TakeFirst(), "a");
  EXPECT_FALSE(list.Empty());
  EXPECT_EQ(list.TakeFirst(), "b|c\nd");
  EXPECT_TRUE(list.Empty());
}

struct ProbeCase {
  const char* path;
  bool exists;
};

class PathExistsTest : public ::testing::TestWithParam<ProbeCase> {};

TEST_P(PathExistsTest, AnswersForEveryKindOfEntry) {
  MemoryFileSystem fs;
  fs.AddFolder("/data/photos", kAttrFolder | kAttrHidden);
  fs.AddFile("/data/notes.txt", "x", {}, kAttrSystem | kAttrHidden);
  fs.AddFolder("/data/empty");
  EXPECT_EQ(PathExists(*fs.Enter({}, {}), Role::kSource, GetParam().path),
            GetParam().exists)
      << GetParam().path;
}

INSTANTIATE_TEST_SUITE_P(
    Paths, PathExistsTest,
    ::testing::Values(
        ProbeCase{"/data/photos", true}, ProbeCase{"/data/notes.txt", true},
        ProbeCase{"/data/missing", false}, ProbeCase{"/nowhere/missing", false},
        ProbeCase{"", false},
        // A trailing separator probes the folder's contents,
        // where "." and ".." count.
        ProbeCase{"/data/empty/", true}, ProbeCase{"/data/notes.txt/", false}));

TEST(PathExistsTest, EmptyFolderWithoutDotsCountsAsMissingWithSeparator) {
  MemoryFileSystem fs;
  fs.set_list_dots(false);
  fs.AddFolder("/data/empty");
  EXPECT_FALSE(PathExists(*fs.Enter({}, {}), Role::kSource, "/data/empty/"));
  EXPECT_TRUE(PathExists(*fs.Enter({}, {}), Role::kSource, "/data/empty"));
}

TEST(PathExistsTest, ListingFailureReachesTheCaller) {
  MemoryFileSystem fs;
  fs.FailOn(MemoryFileSystem::Op::kList, "/data/x", EIO);
  EXPECT_THROW(PathExists(*fs.Enter({}, {}), Role::kSource, "/data/x"),
               RunError);
}

TEST(SnapshotTest, SortsEntriesByMaskKeepingListingOrder) {
  MemoryFileSystem fs;
  fs.AddFile("/f/b.txt");
  fs.AddFolder("/f/.config");
  fs.AddFile("/f/.hidden", "", {}, kAttrHidden);
  fs.AddFolder("/f/Sub", kAttrFolder | kAttrSystem);
  fs.AddFile("/f/A.txt");
  fs.SetListingOrder("/f", {"Sub", "b.txt", ".hidden", ".config", "A.txt"});
  FolderSnapshot snapshot =
      *TakeSnapshot(fs, *fs.Enter({}, {}), Role::kSource, "/f");
  EXPECT_THAT(Drain(std::move(snapshot.folders)),
              ElementsAre("Sub", ".config"));
  EXPECT_THAT(Drain(std::move(snapshot.files)),
              ElementsAre("b.txt", ".hidden", "A.txt"));
}

TEST(SnapshotTest, FolderOfOnlyDotsYieldsTwoEmptyLists) {
  MemoryFileSystem fs;
  fs.AddFolder("/f");
  FolderSnapshot snapshot =
      *TakeSnapshot(fs, *fs.Enter({}, {}), Role::kSource, "/f");
  EXPECT_TRUE(snapshot.folders.Empty());
  EXPECT_TRUE(snapshot.files.Empty());
}

TEST(SnapshotTest, ReadsEveryEntryIncludingDotsInOneUninterruptedListing) {
  MemoryFileSystem fs;
  fs.AddFile("/f/a");
  fs.AddFolder("/f/d");
  const std::unique_ptr<EntryRun> entry = fs.Enter({}, {});
  fs.ClearLog();
  TakeSnapshot(fs, *entry, Role::kSource, "/f");
  EXPECT_THAT(fs.log(),
              ElementsAre("list /f/", "attr /f/.", "next", "attr /f/..", "next",
                          "attr /f/a", "next", "attr /f/d", "next"));
}

TEST(SnapshotTest, AListingThatTellsKindsSortsAlikeWithoutReadingAttributes) {
  MemoryFileSystem fs;
  fs.AddFile("/f/a");
  fs.AddFolder("/f/d");
  fs.AddFile("/f/.x", "", {}, kAttrHidden);
  fs.AddFolder("/f/e", kAttrFolder | kAttrReadOnly);
  std::vector<std::vector<std::string>> sorted;
  for (bool tells : {false, true}) {
    fs.set_listing_tells_kind(tells);
    fs.ClearLog();
    FolderSnapshot snapshot =
        *TakeSnapshot(fs, *fs.Enter({}, {}), Role::kSource, "/f");
    sorted.push_back(Drain(std::move(snapshot.folders)));
    sorted.push_back(Drain(std::move(snapshot.files)));
    EXPECT_EQ(fs.LogOf("attr ").empty(), tells);
  }
  EXPECT_THAT(sorted,
              ElementsAre(ElementsAre("d", "e"), ElementsAre("a", ".x"),
                          ElementsAre("d", "e"), ElementsAre("a", ".x")));
}

TEST(SnapshotTest, UsesTheFileSystemsSeparator) {
  MemoryFileSystem fs('\\');
  fs.AddFile("C:\\Data\\a.txt");
  const std::unique_ptr<EntryRun> entry = fs.Enter({}, {});
  fs.ClearLog();
  FolderSnapshot snapshot =
      *TakeSnapshot(fs, *entry, Role::kSource, "C:\\Data");
  EXPECT_THAT(Drain(std::move(snapshot.files)), ElementsAre("a.txt"));
  EXPECT_EQ(fs.log()[0], "list C:\\Data\\");
  EXPECT_EQ(ChildPath(fs, "C:\\Data", "a.txt"), "C:\\Data\\a.txt");
}

TEST(SnapshotTest, StrictPolicyPassesFailuresOn) {
  MemoryFileSystem fs;
  fs.AddFile("/f/gone");
  fs.FailOn(MemoryFileSystem::Op::kReadAttributes, "/f/gone", ENOENT);
  EXPECT_THROW(TakeSnapshot(fs, *fs.Enter({}, {}), Role::kSource, "/f"),
               RunError);
  fs.FailOn(MemoryFileSystem::Op::kList, "/g", EACCES);
  EXPECT_THROW(TakeSnapshot(fs, *fs.Enter({}, {}), Role::kSource, "/g"),
               RunError);
}

TEST(SnapshotTest,
     AbsorbingPolicyListsUnreadableEntryAsFileAndSkipsUnlistable) {
  MemoryFileSystem fs;
  fs.AddFolder("/f/locked");
  fs.FailOn(MemoryFileSystem::Op::kReadAttributes, "/f/locked", EACCES);
  auto snapshot = TakeSnapshot(fs, *fs.Enter({}, {}), Role::kSource, "/f",
                               SnapshotFailures::kAbsorb);
  ASSERT_TRUE(snapshot.has_value());
  EXPECT_TRUE(snapshot->folders.Empty());
  EXPECT_THAT(Drain(std::move(snapshot->files)), ElementsAre("locked"));

  fs.FailOn(MemoryFileSystem::Op::kList, "/g", EACCES);
  EXPECT_FALSE(TakeSnapshot(fs, *fs.Enter({}, {}), Role::kSource, "/g",
                            SnapshotFailures::kAbsorb)
                   .has_value());
}

TEST(SnapshotTest, MissingFolderYieldsEmptyLists) {
  MemoryFileSystem fs;
  FolderSnapshot snapshot =
      *TakeSnapshot(fs, *fs.Enter({}, {}), Role::kSource, "/missing");
  EXPECT_TRUE(snapshot.files.Empty());
  EXPECT_THAT(Drain(std::move(snapshot.folders)), IsEmpty());
}

}  // namespace
}  // namespace fernwise
