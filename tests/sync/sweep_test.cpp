#include "sync/sweep.h"

#include <algorithm>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "core/run_error.h"
#include "tests/support/memory_file_system.h"
#include "tests/support/recording_window.h"

namespace fernwise {
namespace {

using ::testing::Contains;
using ::testing::ElementsAre;
using ::testing::IsEmpty;
using testing::MemoryFileSystem;
using ::testing::Not;
using testing::RecordingWindow;
using Op = MemoryFileSystem::Op;

class SweepTest : public ::testing::Test {
 protected:
  SweepTest() {
    fs_.AddFolder("/src");
    fs_.AddFolder("/dst");
  }

  void Sweep() {
    const bool preserving = state_.BackupMode == kDuplexPreserving;
    const std::unique_ptr<EntryRun> entry = fs_.Enter(
        {"/src", "/dst", preserving ? state_.SecondaryFolder : ""}, {});
    SweepFolder(run_, *entry, "/dst", "/src");
  }

  void UsePreservingMode() {
    fs_.AddFolder("/old");
    state_.BackupMode = kDuplexPreserving;
    state_.SecondaryFolder = "/old";
  }

  // Where in the log `line` first stands; the log's size when it is absent.
  size_t LogIndex(const std::string& line) const {
    const auto& log = fs_.log();
    return std::find(log.begin(), log.end(), line) - log.begin();
  }

  size_t ProbesOf(const std::string& path) const {
    const auto& log = fs_.log();
    return std::count(log.begin(), log.end(), "list " + path);
  }

  MemoryFileSystem fs_;
  RecordingWindow window_;
  RunState state_;
  RunContext run_{fs_, window_, state_, [] { return 0.0; }};
};

TEST_F(SweepTest, EmptyFolderWithCounterpartStays) {
  fs_.AddFolder("/src/e");
  fs_.AddFolder("/dst/e");
  Sweep();
  EXPECT_THAT(window_.statuses,
              ElementsAre("Sweeping /dst...", "Sweeping /dst/e..."));
  EXPECT_TRUE(fs_.IsFolder("/dst/e"));
}

TEST_F(SweepTest, EmptyFolderWithoutCounterpartIsRemoved) {
  fs_.AddFolder("/dst/e");
  Sweep();
  EXPECT_THAT(window_.statuses,
              ElementsAre("Sweeping /dst...", "Sweeping /dst/e...",
                          "Deleting empty Backup folder..."));
  EXPECT_FALSE(fs_.Exists("/dst/e"));
  EXPECT_TRUE(fs_.IsFolder("/dst"));
}

TEST_F(SweepTest, FileWithCounterpartStaysWhateverItsContentOrTime) {
  fs_.AddFile("/src/a.txt", "new and longer", FileTime{5}, kAttrArchive);
  fs_.AddFile("/dst/a.txt", "old", FileTime{9}, kAttrReadOnly | kAttrHidden);
  Sweep();
  EXPECT_THAT(window_.statuses,
              ElementsAre("Sweeping /dst...",
                          "Comparing /dst/a.txt and /src/a.txt..."));
  EXPECT_EQ(fs_.Content("/dst/a.txt"), "old");
  EXPECT_EQ(fs_.Time("/dst/a.txt"), FileTime{9});
  EXPECT_EQ(fs_.Mask("/dst/a.txt"), kAttrReadOnly | kAttrHidden);
  // The final check probes the source folder once; the check that guards
  // erasing is paid only on the erase path.
  EXPECT_EQ(ProbesOf("/src"), 1u);
  EXPECT_THAT(fs_.LogOf("delete"), IsEmpty());
  EXPECT_THAT(fs_.LogOf("copy"), IsEmpty());
}

TEST_F(SweepTest, FileWithoutCounterpartIsErasedInDestructiveMode) {
  fs_.AddFolder("/old");
  state_.SecondaryFolder = "/old";  // left over from an earlier run
  fs_.AddFile("/dst/gone.txt", "x");
  Sweep();
  EXPECT_THAT(window_.statuses,
              ElementsAre("Sweeping /dst...",
                          "Comparing /dst/gone.txt and /src/gone.txt...",
                          "Erasing /dst/gone.txt..."));
  EXPECT_FALSE(fs_.Exists("/dst/gone.txt"));
  EXPECT_THAT(fs_.Tree("/old"), IsEmpty());
  EXPECT_THAT(fs_.LogOf("copy"), IsEmpty());
}

TEST_F(SweepTest, FileWithoutCounterpartIsKeptThenErasedInPreservingMode) {
  UsePreservingMode();
  fs_.AddFolder("/src/sub");
  fs_.AddFile("/dst/sub/gone.txt", "keep me");
  Sweep();
  // Named after the source-side path, not the destination path.
  EXPECT_THAT(fs_.Tree("/old"), ElementsAre(".src.sub.gone.txt.1"));
  EXPECT_EQ(fs_.Content("/old/.src.sub.gone.txt.1"), "keep me");
  EXPECT_FALSE(fs_.Exists("/dst/sub/gone.txt"));
  EXPECT_LT(LogIndex("copy /dst/sub/gone.txt -> /old/.src.sub.gone.txt.1"),
            LogIndex("delete /dst/sub/gone.txt"));
  EXPECT_LT(LogIndex("delete /dst/sub/gone.txt"), fs_.log().size());
}

TEST_F(SweepTest, FailingSecondaryCopyLeavesTheFileInPlace) {
  UsePreservingMode();
  fs_.AddFile("/dst/gone.txt", "x");
  fs_.FailOn(Op::kCopy, "/dst/gone.txt", ENOSPC);
  EXPECT_THROW(Sweep(), RunError);
  EXPECT_EQ(fs_.Content("/dst/gone.txt"), "x");
  EXPECT_THAT(fs_.LogOf("delete"), IsEmpty());
}

// An entry whose old version cannot be kept (a device node the user may not
// make) is kept where it is, and named among what was left out.
TEST_F(SweepTest, EntryWhoseCopyIsLeftOutIsNotErased) {
  UsePreservingMode();
  fs_.AddFile("/dst/node", "x");
  fs_.LeaveOutCopiesOf("/dst/node", "cannot be made here");
  Sweep();
  EXPECT_EQ(fs_.Content("/dst/node"), "x");
  EXPECT_THAT(fs_.LogOf("delete"), IsEmpty());
  EXPECT_THAT(state_.LeftOut, ElementsAre("/dst/node (cannot be made here)"));
}

// A temporary file that a killed copy left behind is no version of
// anything: it goes without a copy. One whose name the source has too is
// the user's own file, mirrored like any other, and stays.
TEST_F(SweepTest, LeftoverTemporaryFileIsErasedWithoutACopy) {
  UsePreservingMode();
  fs_.AddFile("/dst/.~copy-a1", "half");
  fs_.AddFile("/dst/gone/.~copy-b2", "half");
  fs_.AddFile("/src/.~copy-mine", "mine");
  fs_.AddFile("/dst/.~copy-mine", "mine");
  Sweep();
  EXPECT_THAT(fs_.Tree("/dst"), ElementsAre(".~copy-mine"));
  EXPECT_THAT(fs_.Tree("/old"), IsEmpty());
  EXPECT_THAT(fs_.LogOf("copy"), IsEmpty());
}

TEST_F(SweepTest, VanishedSubtreeIsEmptiedInsideOutAndRemovedDeepestFirst) {
  fs_.AddFile("/dst/old/f1");
  fs_.AddFile("/dst/old/a/f2");
  fs_.AddFile("/dst/old/a/b/f3");
  fs_.AddFolder("/dst/old/c");
  fs_.AddFile("/dst/old/z");
  Sweep();
  EXPECT_THAT(
      window_.statuses,
      ElementsAre(
          "Sweeping /dst...", "Sweeping /dst/old...",
          "Comparing /dst/old/f1 and /src/old/f1...", "Erasing /dst/old/f1...",
          "Comparing /dst/old/z and /src/old/z...", "Erasing /dst/old/z...",
          "Sweeping /dst/old/a...",
          "Comparing /dst/old/a/f2 and /src/old/a/f2...",
          "Erasing /dst/old/a/f2...", "Sweeping /dst/old/a/b...",
          "Comparing /dst/old/a/b/f3 and /src/old/a/b/f3...",
          "Erasing /dst/old/a/b/f3...", "Deleting empty Backup folder...",
          "Deleting empty Backup folder...", "Sweeping /dst/old/c...",
          "Deleting empty Backup folder...",
          "Deleting empty Backup folder..."));
  EXPECT_THAT(fs_.LogOf("rmdir"),
              ElementsAre("rmdir /dst/old/a/b", "rmdir /dst/old/a",
                          "rmdir /dst/old/c", "rmdir /dst/old"));
  EXPECT_THAT(fs_.Tree("/dst"), IsEmpty());
}

TEST_F(SweepTest, PresenceCountsWhateverTheKindOnTheSourceSide) {
  fs_.AddFolder("/src/x");  // a folder where the destination has a file
  fs_.AddFile("/dst/x", "kept");
  fs_.AddFile("/src/y");  // a file where the destination has a folder
  fs_.AddFile("/dst/y/inner.txt");
  fs_.AddFile("/dst/y/deep/z.txt");
  Sweep();
  EXPECT_EQ(fs_.Content("/dst/x"), "kept");
  // Nothing can exist below a file, so the folder is emptied but stays.
  EXPECT_THAT(fs_.Tree("/dst"), ElementsAre("x", "y/"));
}

TEST_F(SweepTest, TopDestinationStaysWhileItsSourceExists) {
  fs_.AddFile("/dst/gone.txt");
  fs_.AddFolder("/dst/gone");
  Sweep();
  EXPECT_TRUE(fs_.IsFolder("/dst"));
  EXPECT_THAT(fs_.Tree("/dst"), IsEmpty());
  EXPECT_THAT(fs_.LogOf("rmdir"), ElementsAre("rmdir /dst/gone"));
}

TEST_F(SweepTest, CountersAreUnchanged) {
  state_.Counters = RunCounters{1, 2, 3, 4, 5, 6};
  fs_.AddFile("/src/kept.txt");
  fs_.AddFile("/dst/kept.txt");
  fs_.AddFile("/dst/gone/f.txt");
  UsePreservingMode();
  Sweep();
  const RunCounters& c = state_.Counters;
  EXPECT_EQ(std::vector<int32_t>({c.FilesScanned, c.FoldersScanned,
                                  c.FilesCreated, c.FoldersCreated,
                                  c.FilesRefreshed, c.FoldersRefreshed}),
            std::vector<int32_t>({1, 2, 3, 4, 5, 6}));
  EXPECT_FALSE(fs_.Exists("/dst/gone"));
}

TEST_F(SweepTest, DotEntriesAreNeverSweptButDottedNamesAre) {
  fs_.AddFolder("/dst/...");  // an ordinary name on POSIX
  fs_.AddFile("/dst/..x");
  Sweep();
  EXPECT_THAT(
      window_.statuses,
      ElementsAre("Sweeping /dst...", "Comparing /dst/..x and /src/..x...",
                  "Erasing /dst/..x...", "Sweeping /dst/......",
                  "Deleting empty Backup folder..."));
  EXPECT_THAT(fs_.Tree("/dst"), IsEmpty());
  EXPECT_THAT(fs_.log(), Not(Contains("list /src/.")));
  EXPECT_THAT(fs_.log(), Not(Contains("list /src/..")));
}

struct VanishCase {
  const char* name;
  /// The source folder goes when this status text is shown.
  const char* trigger;
  /// What the destination still holds afterwards.
  std::vector<std::string> left;
  size_t deletes;
  size_t removals;
  /// An empty folder takes its place, as a drive unmounted from under its
  /// mount point leaves one.
  bool replaced = false;

  friend void PrintTo(const VanishCase& c, std::ostream* os) { *os << c.name; }
};

class VanishedSourceTest : public SweepTest,
                           public ::testing::WithParamInterface<VanishCase> {};

TEST_P(VanishedSourceTest, ErasesNothingMoreAndNamesTheSource) {
  fs_.AddFile("/dst/a");
  fs_.AddFile("/dst/b");
  fs_.AddFolder("/dst/empty");
  fs_.AddFile("/dst/sub/c");
  fs_.AddFile("/src/sub/c");
  const std::string trigger = GetParam().trigger;
  window_.on_status = [&](const std::string& text) {
    if (text != trigger) return;
    fs_.Remove("/src");
    if (GetParam().replaced) fs_.AddFolder("/src");
  };
  try {
    Sweep();
    FAIL() << "the sweep went on without its source";
  } catch (const RunError& error) {
    EXPECT_EQ(error.number(), ENOENT);
    EXPECT_EQ(error.path(), "/src");
    EXPECT_THAT(error.Report(), ::testing::HasSubstr("/src"));
  }
  EXPECT_EQ(fs_.Tree("/dst"), GetParam().left);
  EXPECT_EQ(fs_.LogOf("delete").size(), GetParam().deletes);
  EXPECT_EQ(fs_.LogOf("rmdir").size(), GetParam().removals);
}

INSTANTIATE_TEST_SUITE_P(
    Moments, VanishedSourceTest,
    ::testing::Values(
        VanishCase{"BeforeTheSweep",
                   "Sweeping /dst...",
                   {"a", "b", "empty/", "sub/", "sub/c"},
                   0,
                   0},
        VanishCase{"WhileAFileIsErased",
                   "Erasing /dst/a...",
                   {"b", "empty/", "sub/", "sub/c"},
                   1,
                   0},
        VanishCase{"BeforeAnEmptyFolderIsRemoved",
                   "Sweeping /dst/empty...",
                   {"empty/", "sub/", "sub/c"},
                   2,
                   0},
        // sub/c is compared while its own counterpart is gone too.
        VanishCase{"InsideAKeptSubfolder",
                   "Sweeping /dst/sub...",
                   {"sub/", "sub/c"},
                   2,
                   1},
        VanishCase{"ReplacedByAnEmptyFolder",
                   "Erasing /dst/a...",
                   {"b", "empty/", "sub/", "sub/c"},
                   1,
                   0,
                   true}),
    [](const auto& info) { return std::string(info.param.name); });

// What a pass read may be out of date; an erase goes ahead only when a fresh
// look agrees that the source-side entry is gone.
TEST_F(SweepTest, FreshLookThatFindsTheSourceSideKeepsTheEntry) {
  fs_.AddFile("/dst/a", "kept");
  fs_.AddFolder("/dst/sub");
  fs_.set_before_op([&](Op op, const std::string& path) {
    if (op != Op::kFreshLook) return;
    if (path == "/src/a") fs_.AddFile("/src/a");
    if (path == "/src/sub") fs_.AddFolder("/src/sub");
  });
  Sweep();
  EXPECT_THAT(fs_.Tree("/dst"), ElementsAre("a", "sub/"));
  EXPECT_THAT(fs_.LogOf("fresh"),
              ElementsAre("fresh /src/a", "fresh /src/sub"));
  EXPECT_THAT(window_.statuses, Not(Contains("Erasing /dst/a...")));
}

// A source folder removed while the sweep is inside its backup: that backup
// goes, the folder found gone afresh, and the run does not fail on its time.
TEST_F(SweepTest, SourceFolderRemovedMidwayTakesItsBackupAlong) {
  fs_.AddFile("/src/sub/c");
  fs_.AddFile("/dst/sub/c");
  window_.on_status = [&](const std::string& text) {
    if (text == "Sweeping /dst/sub...") fs_.Remove("/src/sub");
  };
  Sweep();
  EXPECT_THAT(fs_.Tree("/dst"), IsEmpty());
  EXPECT_THAT(window_.statuses, Contains("Deleting empty Backup folder..."));
}

// A source file and folder renamed only in letter case. Where the
// destination finds a name in any case, the old spelling is the renamed
// entries' backup, brought up to date by the mirror, and stays; where it
// does not, the old spelling is an entry of its own and goes.
struct CaseRenameCase {
  const char* name;
  bool destination_ignores_case;
  std::vector<std::string> left;
  std::vector<std::string> kept_versions;

  friend void PrintTo(const CaseRenameCase& c, std::ostream* os) {
    *os << c.name;
  }
};

class CaseRenameTest : public SweepTest,
                       public ::testing::WithParamInterface<CaseRenameCase> {};

TEST_P(CaseRenameTest, OldSpellingGoesOnlyWhereItIsAnEntryOfItsOwn) {
  UsePreservingMode();
  fs_.AddFile("/src/Notes.md", "notes", FileTime{7});
  fs_.AddFile("/src/Bin/run.sh", "script", FileTime{8});
  fs_.AddFile("/dst/notes.md", "notes", FileTime{7});
  fs_.AddFile("/dst/bin/run.sh", "script", FileTime{8});
  // A name alike but for a letter with an accent: another entry.
  fs_.AddFile("/src/caf\u00e9.txt", "menu", FileTime{9});
  fs_.AddFile("/dst/caf\u00eb.txt", "menu", FileTime{9});
  if (GetParam().destination_ignores_case) {
    fs_.set_ignores_case_below("/dst");
  } else {
    fs_.AddFile("/dst/Notes.md", "notes", FileTime{7});
    fs_.AddFile("/dst/Bin/run.sh", "script", FileTime{8});
    fs_.AddFile("/dst/caf\u00e9.txt", "menu", FileTime{9});
  }
  Sweep();
  EXPECT_EQ(fs_.Tree("/dst"), GetParam().left);
  EXPECT_EQ(fs_.Tree("/old"), GetParam().kept_versions);
}

INSTANTIATE_TEST_SUITE_P(
    Destinations, CaseRenameTest,
    ::testing::Values(CaseRenameCase{"IgnoringCase",
                                     true,
                                     {"bin/", "bin/run.sh", "notes.md"},
                                     {".src.caf\u00eb.txt.1"}},
                      CaseRenameCase{
                          "KeepingCase",
                          false,
                          {"Bin/", "Bin/run.sh", "Notes.md", "caf\u00e9.txt"},
                          {".src.bin.run.sh.1", ".src.caf\u00eb.txt.1",
                           ".src.notes.md.1"}}),
    [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace fernwise
