#include "sync/mirror.h"

#include <cerrno>
#include <cstdlib>
#include <limits>
#include <string>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "core/run_error.h"
#include "job/report.h"
#include "tests/support/memory_file_system.h"
#include "tests/support/recording_window.h"

namespace fernwise {
namespace {

using ::testing::ElementsAre;
using ::testing::ElementsAreArray;
using ::testing::HasSubstr;
using ::testing::IsEmpty;
using testing::MemoryFileSystem;
using testing::RecordingWindow;

constexpr int64_t kSecond = 1'000'000'000;
constexpr int64_t kHour = 3600 * kSecond;

/// FilesScanned, FoldersScanned, FilesCreated, FoldersCreated,
/// FilesRefreshed, FoldersRefreshed.
std::vector<int32_t> Counts(const RunCounters& c) {
  return {c.FilesScanned,   c.FoldersScanned, c.FilesCreated,
          c.FoldersCreated, c.FilesRefreshed, c.FoldersRefreshed};
}

class MirrorTest : public ::testing::Test {
 protected:
  MirrorTest() { fs_.AddFolder("/dst"); }

  void Mirror() {
    const bool preserving = state_.BackupMode == kDuplexPreserving;
    const std::unique_ptr<EntryRun> entry = fs_.Enter(
        {"/src", "/dst", preserving ? state_.SecondaryFolder : ""}, {});
    MirrorFolder(run_, *entry, "/src", "/dst");
  }
  /// A second run: fresh counters, texts and log.
  void MirrorAgain() {
    state_.Counters = {};
    window_.statuses.clear();
    fs_.ClearLog();
    Mirror();
  }

  MemoryFileSystem fs_;
  RecordingWindow window_;
  RunState state_;
  RunContext run_{fs_, window_, state_, [] { return 0.0; }};
};

TEST_F(MirrorTest, FirstRunCopiesAndSecondRunOnlyCompares) {
  fs_.AddFile("/src/a.txt", "a", FileTime{5 * kSecond});
  fs_.AddFile("/src/sub/b.txt", "b", FileTime{7});
  Mirror();
  EXPECT_THAT(
      window_.statuses,
      ElementsAre("Seeking /src...", "Comparing /src/a.txt and /dst/a.txt...",
                  "Copying /src/a.txt to /dst/a.txt...",
                  "Creating Destination folder...", "Seeking /src/sub...",
                  "Comparing /src/sub/b.txt and /dst/sub/b.txt...",
                  "Copying /src/sub/b.txt to /dst/sub/b.txt..."));
  EXPECT_THAT(Counts(state_.Counters), ElementsAre(2, 1, 2, 1, 0, 0));
  EXPECT_EQ(fs_.Content("/dst/sub/b.txt"), "b");

  MirrorAgain();
  EXPECT_THAT(
      window_.statuses,
      ElementsAre("Seeking /src...", "Comparing /src/a.txt and /dst/a.txt...",
                  "Seeking /src/sub...",
                  "Comparing /src/sub/b.txt and /dst/sub/b.txt..."));
  EXPECT_THAT(Counts(state_.Counters), ElementsAre(2, 1, 0, 0, 0, 0));
  EXPECT_THAT(fs_.LogOf("copy"), IsEmpty());
  EXPECT_THAT(fs_.LogOf("setattr"), IsEmpty());
  EXPECT_THAT(fs_.LogOf("mkdir"), IsEmpty());
  EXPECT_THAT(fs_.LogOf("learn"), IsEmpty()) << "no probe where all agrees";
}

// Masks are compared and set on the bits the destination's drive keeps,
// learnt once per drive and entry; a bit a copy may not carry is cleared.
TEST_F(MirrorTest, MasksFollowWhatTheDestinationsDriveKeeps) {
  constexpr uint32_t kNotIndexed = 8192;
  fs_.SetDrive("/dst", {DriveType::kOther, 1, ~kNotIndexed});
  fs_.set_carriable_bits(~uint32_t{kAttrSystem});
  for (const char* folder : {"/src/", "/src/sub/"})
    fs_.AddFile(std::string(folder) + "dropped", "", {},
                kAttrArchive | kNotIndexed);
  fs_.AddFile("/dst/dropped");
  fs_.AddFile("/dst/sub/dropped");
  fs_.AddFile("/src/locked", "", {}, kAttrArchive | kAttrReadOnly);
  fs_.AddFile("/dst/locked");
  fs_.AddFile("/src/system", "", {}, kAttrArchive | kAttrSystem | kAttrHidden);
  fs_.AddFile("/dst/system", "", {}, kAttrArchive | kAttrSystem);
  Mirror();
  EXPECT_THAT(fs_.LogOf("setattr"),
              ElementsAre("setattr /dst/locked 33", "setattr /dst/system 34"));
  EXPECT_THAT(fs_.LogOf("learn"), ElementsAre("learn /dst"));
  MirrorAgain();
  EXPECT_THAT(fs_.LogOf("setattr"), IsEmpty());
}

TEST_F(MirrorTest, NewerDestinationIsReplacedByTheOlderSource) {
  fs_.AddFile("/src/a.txt", "source", FileTime{100});
  fs_.AddFile("/dst/a.txt", "newer", FileTime{200});
  Mirror();
  EXPECT_THAT(
      window_.statuses,
      ElementsAre("Seeking /src...", "Comparing /src/a.txt and /dst/a.txt...",
                  "Refresing /dst/a.txt..."));
  EXPECT_EQ(fs_.Content("/dst/a.txt"), "source");
  EXPECT_EQ(fs_.Time("/dst/a.txt"), FileTime{100});
  EXPECT_THAT(Counts(state_.Counters), ElementsAre(1, 0, 0, 0, 1, 0));
}

TEST_F(MirrorTest, SameTimeWithOtherContentIsLeftAlone) {
  fs_.AddFile("/src/a.txt", "source", FileTime{100});
  fs_.AddFile("/dst/a.txt", "other and longer", FileTime{100});
  Mirror();
  EXPECT_THAT(
      window_.statuses,
      ElementsAre("Seeking /src...", "Comparing /src/a.txt and /dst/a.txt..."));
  EXPECT_EQ(fs_.Content("/dst/a.txt"), "other and longer");
  EXPECT_THAT(Counts(state_.Counters), ElementsAre(1, 0, 0, 0, 0, 0));
}

TEST_F(MirrorTest, MaskOnlyChangeSetsTheMaskAndStoresNothing) {
  state_.BackupMode = kDuplexPreserving;
  state_.SecondaryFolder = "/old";
  fs_.AddFolder("/old");
  fs_.AddFile("/src/a.txt", "x", FileTime{100}, kAttrArchive | kAttrReadOnly);
  fs_.AddFile("/dst/a.txt", "x", FileTime{100}, kAttrArchive);
  Mirror();
  EXPECT_THAT(
      window_.statuses,
      ElementsAre("Seeking /src...", "Comparing /src/a.txt and /dst/a.txt...",
                  "Refreshing attributes of /dst/a.txt..."));
  EXPECT_THAT(fs_.LogOf("setattr"), ElementsAre("setattr /dst/a.txt 33"));
  EXPECT_THAT(fs_.LogOf("copy"), IsEmpty());
  EXPECT_THAT(fs_.Tree("/old"), IsEmpty());
  EXPECT_THAT(Counts(state_.Counters), ElementsAre(1, 0, 0, 0, 1, 0));
}

TEST_F(MirrorTest, MissingHiddenSubfolderIsMadeThenGivenItsMask) {
  fs_.AddFolder("/src/sub", kAttrFolder | kAttrHidden);
  fs_.AddFolder("/src/plain");
  fs_.SetListingOrder("/src", {"sub", "plain"});
  Mirror();
  EXPECT_THAT(
      window_.statuses,
      ElementsAre("Seeking /src...", "Creating Destination folder...",
                  "Refreshing /dst/sub...", "Seeking /src/sub...",
                  "Creating Destination folder...", "Seeking /src/plain..."));
  // The folder bit is cleared from the mask that is set.
  EXPECT_THAT(fs_.LogOf("setattr"), ElementsAre("setattr /dst/sub 2"));
  EXPECT_EQ(fs_.Mask("/dst/sub"), uint32_t{kAttrFolder | kAttrHidden});
  EXPECT_THAT(Counts(state_.Counters), ElementsAre(0, 2, 0, 2, 0, 1));
}

TEST_F(MirrorTest, TopFolderTakesTheSourceMaskButIsNotScanned) {
  fs_.AddFolder("/src", kAttrFolder | kAttrHidden | kAttrSystem);
  Mirror();
  EXPECT_THAT(window_.statuses,
              ElementsAre("Refreshing /dst...", "Seeking /src..."));
  EXPECT_EQ(fs_.Mask("/dst"), fs_.Mask("/src"));
  EXPECT_THAT(Counts(state_.Counters), ElementsAre(0, 0, 0, 0, 0, 1));
}

// A volume's root as destination (a USB stick's E:) keeps its own bits,
// which are the volume's, however the source folder's differ; the entries
// in it still take theirs, and a second run finds everything alike.
TEST_F(MirrorTest, AVolumesRootTakesNoMaskButItsEntriesDo) {
  testing::MemoryDrive stick;
  stick.root_takes_mask = false;
  fs_.SetDrive("/dst", stick);
  fs_.AddFolder("/src", kAttrFolder | kAttrReadOnly);
  fs_.AddFile("/src/a", "x", FileTime{5}, kAttrArchive | kAttrHidden);
  fs_.AddFile("/dst/a", "x", FileTime{5}, kAttrArchive);
  Mirror();
  EXPECT_THAT(fs_.LogOf("setattr"), ElementsAre("setattr /dst/a 34"));
  EXPECT_THAT(Counts(state_.Counters), ElementsAre(1, 0, 0, 0, 1, 0));
  MirrorAgain();
  EXPECT_THAT(window_.statuses,
              ElementsAre("Seeking /src...", "Comparing /src/a and /dst/a..."));
  EXPECT_EQ(fs_.Mask("/dst"), uint32_t{kAttrFolder});
}

TEST_F(MirrorTest, CountsEveryFileAndEveryFolderBelowTheTopDepthFirst) {
  fs_.AddFile("/src/top.txt");
  fs_.AddFile("/src/.hidden", "", {}, kAttrHidden | kAttrSystem);
  fs_.AddFolder("/src/b");
  fs_.AddFile("/src/b/one");
  fs_.AddFolder("/src/b/deep/deeper");
  fs_.AddFile("/src/b/deep/deeper/two");
  fs_.AddFolder("/src/a");
  fs_.SetListingOrder("/src", {"b", "top.txt", "a", ".hidden"});
  fs_.AddFile("/dst/extra.txt", "kept");  // no source counterpart
  Mirror();
  std::vector<std::string> seeking;
  for (const std::string& text : window_.statuses)
    if (text.rfind("Seeking ", 0) == 0) seeking.push_back(text);
  EXPECT_THAT(seeking, ElementsAre("Seeking /src...", "Seeking /src/b...",
                                   "Seeking /src/b/deep...",
                                   "Seeking /src/b/deep/deeper...",
                                   "Seeking /src/a..."));
  // Files of a folder come before its first subfolder.
  EXPECT_EQ(window_.statuses[1], "Comparing /src/top.txt and /dst/top.txt...");
  EXPECT_THAT(Counts(state_.Counters), ElementsAre(4, 4, 4, 4, 0, 0));
  EXPECT_EQ(fs_.Mask("/dst/.hidden"), uint32_t{kAttrHidden | kAttrSystem});
  EXPECT_EQ(fs_.Content("/dst/extra.txt"), "kept");
}

struct KindCase {
  const char* name;
  BackupModeValue mode;
  bool dest_is_folder;  // else a file stands where the source has a folder
  /// The destination's tree afterwards, and the secondary folder's.
  std::vector<std::string> dest;
  std::vector<std::string> kept;
  std::vector<int32_t> counts;  // when the run goes on

  friend void PrintTo(const KindCase& c, std::ostream* os) { *os << c.name; }
};

class MirrorKindTest : public MirrorTest,
                       public ::testing::WithParamInterface<KindCase> {};

// An entry of another kind than its source's: the duplex modes replace it
// (keeping every file that goes in the preserving mode, named after its
// source-side path) and count it as created; the simplex mode, which
// deletes nothing, ends the run with a message naming both.
TEST_P(MirrorKindTest, ReplacesInTheDuplexModesAndRejectsInSimplex) {
  const KindCase& c = GetParam();
  state_.BackupMode = c.mode;
  state_.SecondaryFolder = "/old";
  fs_.AddFolder("/old");
  if (c.dest_is_folder) {
    fs_.AddFile("/src/x", "file", FileTime{100});
    fs_.AddFile("/dst/x/inner.txt", "in");
    fs_.AddFile("/dst/x/deep/z.txt", "z");
  } else {
    fs_.AddFile("/src/x/inner.txt", "in");
    fs_.AddFile("/dst/x", "old file");
  }
  if (c.mode == kSimplex) {
    try {
      Mirror();
      FAIL() << "no rejection";
    } catch (const EntryRejected& rejected) {
      const std::string message = rejected.what();
      EXPECT_THAT(message, HasSubstr("Destination (/dst/x) is a"));
      EXPECT_THAT(message, HasSubstr("Source (/src/x) is a"));
      EXPECT_THAT(message,
                  HasSubstr(c.dest_is_folder ? "a folder but" : "a file but"));
    }
    // Nothing is made in its place, and nothing goes.
    EXPECT_THAT(fs_.LogOf("mkdir"), IsEmpty());
    EXPECT_THAT(fs_.LogOf("copy"), IsEmpty());
    EXPECT_THAT(fs_.LogOf("delete"), IsEmpty());
  } else {
    Mirror();
    EXPECT_THAT(Counts(state_.Counters), ElementsAreArray(c.counts));
  }
  EXPECT_THAT(fs_.Tree("/dst"), ElementsAreArray(c.dest));
  EXPECT_THAT(fs_.Tree("/old"), ElementsAreArray(c.kept));
  if (c.mode == kDuplexPreserving) {
    EXPECT_EQ(fs_.Content(c.dest_is_folder ? "/old/.src.x.deep.z.txt.1"
                                           : "/old/.src.x.1"),
              c.dest_is_folder ? "z" : "old file");
  }
}

const std::vector<std::string> kFolderThere = {"x/", "x/deep/", "x/deep/z.txt",
                                               "x/inner.txt"};
INSTANTIATE_TEST_SUITE_P(
    Modes, MirrorKindTest,
    ::testing::Values(
        KindCase{
            "FolderForAFileInSimplex", kSimplex, true, kFolderThere, {}, {}},
        KindCase{"FileForAFolderInSimplex", kSimplex, false, {"x"}, {}, {}},
        KindCase{"FolderForAFileDestructive",
                 kDuplexDestructive,
                 true,
                 {"x"},
                 {},
                 {1, 0, 1, 0, 0, 0}},
        KindCase{"FileForAFolderDestructive",
                 kDuplexDestructive,
                 false,
                 {"x/", "x/inner.txt"},
                 {},
                 {1, 1, 1, 1, 0, 0}},
        KindCase{"FolderForAFilePreserving",
                 kDuplexPreserving,
                 true,
                 {"x"},
                 {".src.x.deep.z.txt.1", ".src.x.inner.txt.1"},
                 {1, 0, 1, 0, 0, 0}},
        KindCase{"FileForAFolderPreserving",
                 kDuplexPreserving,
                 false,
                 {"x/", "x/inner.txt"},
                 {".src.x.1"},
                 {1, 1, 1, 1, 0, 0}}),
    [](const auto& info) { return std::string(info.param.name); });

// What cannot be kept in the secondary folder is not erased, and nothing
// takes its place.
TEST_F(MirrorTest, KindChangeStopsWhereAnOldVersionCannotBeKept) {
  state_.BackupMode = kDuplexPreserving;
  state_.SecondaryFolder = "/old";
  fs_.AddFolder("/old");
  fs_.AddFile("/src/x", "file", FileTime{100});
  fs_.AddFile("/dst/x/node", "n");
  fs_.AddFile("/dst/x/plain", "p");
  fs_.AddFile("/src/y/inner.txt", "in");
  fs_.AddFile("/dst/y", "node");
  fs_.LeaveOutCopiesOf("/dst/x/node", "cannot be kept here");
  fs_.LeaveOutCopiesOf("/dst/y", "cannot be kept here");
  Mirror();
  EXPECT_THAT(fs_.Tree("/dst"), ElementsAre("x/", "x/node", "y"));
  EXPECT_THAT(fs_.Tree("/old"), ElementsAre(".src.x.plain.1"));
  EXPECT_THAT(Counts(state_.Counters), ElementsAre(1, 1, 0, 0, 0, 0));
  EXPECT_THAT(state_.LeftOut, ::testing::Contains(HasSubstr("/src/y (")));
}

// The simplex mode has no sweep: the temporary files a killed copy left in
// the destination go as the mirror passes, uncounted, while a file of that
// form that the source has too is the user's and is mirrored like any
// other, run after run.
TEST_F(MirrorTest, SimplexErasesLeftoverTemporaryFilesButNotTheUsers) {
  state_.BackupMode = kSimplex;
  fs_.AddFile("/src/a", "a");
  fs_.AddFile("/src/.~copy-mine", "mine");
  fs_.AddFile("/dst/.~copy-a1", "half");
  fs_.AddFile("/dst/sub/.~copy-b2", "half");
  fs_.AddFolder("/dst/.~copy-folder");
  fs_.AddFolder("/src/sub");
  Mirror();
  EXPECT_THAT(fs_.Tree("/dst"),
              ElementsAre(".~copy-folder/", ".~copy-mine", "a", "sub/"));
  EXPECT_THAT(Counts(state_.Counters), ElementsAre(2, 1, 2, 0, 0, 0));
  EXPECT_THAT(window_.statuses,
              ::testing::Contains("Erasing /dst/.~copy-a1..."));
  MirrorAgain();
  EXPECT_EQ(fs_.Content("/dst/.~copy-mine"), "mine");
  EXPECT_THAT(fs_.LogOf("delete"), IsEmpty());
  EXPECT_THAT(Counts(state_.Counters), ElementsAre(2, 1, 0, 0, 0, 0));
}

TEST_F(MirrorTest, CopiesThatLoseTimeAndMaskCountTwiceAndGoNegative) {
  fs_.set_copy_keeps_time(false);
  fs_.set_copy_keeps_mask(false);
  fs_.AddFile("/src/a.txt", "a", FileTime{100}, kAttrArchive | kAttrReadOnly);
  Mirror();
  EXPECT_THAT(
      window_.statuses,
      ElementsAre("Seeking /src...", "Comparing /src/a.txt and /dst/a.txt...",
                  "Copying /src/a.txt to /dst/a.txt...",
                  "Refresing /dst/a.txt...",
                  "Refreshing attributes of /dst/a.txt..."));
  EXPECT_THAT(Counts(state_.Counters), ElementsAre(1, 0, 1, 0, 2, 0));
  const std::string report = CompletionReport(0, state_.Counters);
  EXPECT_NE(report.find("\r\n-2 files scanned, but intact, \r\n"),
            std::string::npos)
      << report;
}

TEST_F(MirrorTest, CounterAtItsLargestValueIsTheOverflowFailure) {
  fs_.AddFile("/src/a.txt");
  state_.Counters.FilesScanned = std::numeric_limits<int32_t>::max();
  try {
    Mirror();
    FAIL() << "no failure";
  } catch (const RunError& error) {
    EXPECT_EQ(error.number(), EOVERFLOW);
  }
  // The count comes before the file is handled.
  EXPECT_EQ(window_.statuses.back(), "Seeking /src...");
}

TEST_F(MirrorTest, FolderCountOverflowsOnlyAfterTheSubtreeIsDone) {
  fs_.AddFile("/src/sub/a.txt");
  state_.Counters.FoldersScanned = std::numeric_limits<int32_t>::max();
  EXPECT_THROW(Mirror(), RunError);
  EXPECT_TRUE(fs_.Exists("/dst/sub/a.txt"));
}

TEST_F(MirrorTest, PreservingModeStoresTheOldFileBeforeTheOverwrite) {
  state_.BackupMode = kDuplexPreserving;
  state_.SecondaryFolder = "/old";
  fs_.AddFolder("/old");
  fs_.AddFile("/src/a.txt", "new", FileTime{200});
  fs_.AddFile("/dst/a.txt", "old", FileTime{100});
  fs_.AddFile("/src/b.txt", "b", FileTime{100});  // missing: no copy stored
  window_.on_status = [this](const std::string& text) {
    if (text == "Refresing /dst/a.txt...") fs_.ClearLog();
  };
  Mirror();
  EXPECT_THAT(fs_.LogOf("copy"),
              ElementsAre("copy /dst/a.txt -> /old/.src.a.txt.1",
                          "copy /src/a.txt -> /dst/a.txt",
                          "copy /src/b.txt -> /dst/b.txt"));
  EXPECT_EQ(fs_.Content("/old/.src.a.txt.1"), "old");
  EXPECT_EQ(fs_.Content("/dst/a.txt"), "new");
}

// An entry the destination cannot hold is left out: no time or mask of a
// target that was not made is read, nothing is counted, and in the
// preserving mode a target whose old version cannot be kept is not
// overwritten. A folder whose name it cannot hold is left out with all it
// holds: never entered, its files neither scanned nor copied.
TEST_F(MirrorTest, EntriesLeftOutAreNotComparedCountedOrOverwritten) {
  state_.BackupMode = kDuplexPreserving;
  state_.SecondaryFolder = "/old";
  fs_.AddFolder("/old");
  fs_.AddFile("/src/new", "n", FileTime{100});
  fs_.AddFile("/src/changed", "c", FileTime{200});
  fs_.AddFile("/dst/changed", "old", FileTime{100});
  fs_.AddFile("/src/a:b/inner", "i", FileTime{300});
  fs_.LeaveOutCopiesOf("/src/new", "cannot be made here");
  fs_.LeaveOutCopiesOf("/dst/changed", "cannot be kept here");
  fs_.LeaveOutCopiesOf("/dst/a:b", "cannot hold this name");
  Mirror();
  EXPECT_FALSE(fs_.Exists("/dst/new"));
  EXPECT_THAT(fs_.LogOf("time /dst/new"), IsEmpty());
  EXPECT_THAT(fs_.LogOf("attr /dst/new"), IsEmpty());
  EXPECT_EQ(fs_.Content("/dst/changed"), "old");
  EXPECT_FALSE(fs_.Exists("/dst/a:b"));
  EXPECT_THAT(fs_.LogOf("list /src/a:b/"), IsEmpty());
  EXPECT_THAT(fs_.LogOf("attr /dst/a:b"), IsEmpty());
  EXPECT_THAT(Counts(state_.Counters), ElementsAre(2, 1, 0, 0, 0, 0));
  EXPECT_THAT(state_.LeftOut, ::testing::UnorderedElementsAre(
                                  "/src/new (cannot be made here)",
                                  "/dst/changed (cannot be kept here)",
                                  "/src/a:b (cannot hold this name)"));
}

TEST_F(MirrorTest, DestructiveModeStoresNothing) {
  state_.SecondaryFolder = "/old";
  fs_.AddFolder("/old");
  fs_.AddFile("/src/a.txt", "new", FileTime{200});
  fs_.AddFile("/dst/a.txt", "old", FileTime{100});
  Mirror();
  EXPECT_THAT(fs_.LogOf("copy"), ElementsAre("copy /src/a.txt -> /dst/a.txt"));
  EXPECT_THAT(fs_.Tree("/old"), IsEmpty());
}

struct ToleranceCase {
  const char* coarse_prefix;  // "" for none
  int64_t resolution_ns;
  int64_t difference_ns;
  bool refreshed;
  int64_t local_shift_ns = 0;  // of the coarse side
  /// The destination's content; where it is the source's ("a") and only the
  /// local-time shift parts the times, the time is set again instead.
  const char* dest_content = "a";
  BackupModeValue mode = kDuplexDestructive;
};

class MirrorToleranceTest
    : public MirrorTest,
      public ::testing::WithParamInterface<ToleranceCase> {};

TEST_P(MirrorToleranceTest, TimesCloserThanTheCoarserStepCountAsEqual) {
  const ToleranceCase& c = GetParam();
  if (*c.coarse_prefix) {
    // A drive in local time is FAT, and so is a coarse source, whose traits
    // its type alone tells; a coarse destination's step is learnt.
    const bool fat =
        c.local_shift_ns != 0 || std::string(c.coarse_prefix) == "/src";
    fs_.SetDrive(c.coarse_prefix,
                 {fat ? DriveType::kFat : DriveType::kOther, c.resolution_ns});
  }
  state_.BackupMode = c.mode;
  state_.SecondaryFolder = "/old";
  fs_.AddFolder("/old");
  const int64_t base = 1'700'000'000 * kSecond;
  fs_.AddFile("/src/a.txt", "a", FileTime{base});
  fs_.AddFile("/dst/a.txt", c.dest_content, FileTime{base + c.difference_ns});
  Mirror();
  EXPECT_EQ(state_.Counters.FilesRefreshed, c.refreshed ? 1 : 0);
  EXPECT_EQ(fs_.Content("/dst/a.txt"), c.refreshed ? "a" : c.dest_content);
  EXPECT_EQ(fs_.Tree("/old").size(),
            c.refreshed && c.mode == kDuplexPreserving ? 1u : 0u);
  // Only the local-time shift apart: the contents are compared, and the same
  // content gets the source's time, copying and counting nothing.
  const bool shifted =
      c.local_shift_ns != 0 && std::llabs(std::llabs(c.difference_ns) -
                                          c.local_shift_ns) < c.resolution_ns;
  EXPECT_EQ(fs_.LogOf("same").size(), shifted ? 1u : 0u);
  if (shifted && !c.refreshed) {
    EXPECT_THAT(fs_.LogOf("settime"),
                ElementsAre("settime /dst/a.txt " + std::to_string(base)));
    EXPECT_EQ(window_.statuses.back(), "Refreshing time of /dst/a.txt...");
    MirrorAgain();
    EXPECT_THAT(fs_.LogOf("same"), IsEmpty());
  } else {
    EXPECT_THAT(fs_.LogOf("settime"), IsEmpty());
  }
}

INSTANTIATE_TEST_SUITE_P(
    Cases, MirrorToleranceTest,
    ::testing::Values(
        ToleranceCase{"/dst", 2 * kSecond, kSecond, false},
        ToleranceCase{"/dst", 2 * kSecond, -kSecond, false},
        ToleranceCase{"/dst", 2 * kSecond, 2 * kSecond - 1, false},
        ToleranceCase{"/dst", 2 * kSecond, 2 * kSecond, true},
        ToleranceCase{"/dst", 2 * kSecond, -2 * kSecond, true},
        ToleranceCase{"/src", 2 * kSecond, kSecond, false},
        // Full resolution on both sides: exact to the nanosecond.
        ToleranceCase{"", 1, 1, true}, ToleranceCase{"/dst", 1, 1, true},
        // A side in local time (FAT) after a daylight-saving change:
        // exactly an hour off, within the step, is the same time where the
        // contents agree; anything else is a change.
        ToleranceCase{"/dst", 2 * kSecond, kHour, false, kHour},
        ToleranceCase{"/dst", 2 * kSecond, -kHour, false, kHour},
        ToleranceCase{"/src", 2 * kSecond, kHour, false, kHour},
        ToleranceCase{"/dst", 2 * kSecond, kHour + kSecond, false, kHour},
        ToleranceCase{"/dst", 2 * kSecond, kHour - 2 * kSecond + 1, false,
                      kHour},
        ToleranceCase{"/dst", 2 * kSecond, kHour + 2 * kSecond, true, kHour},
        ToleranceCase{"/dst", 2 * kSecond, kHour - 2 * kSecond, true, kHour},
        ToleranceCase{"/dst", 2 * kSecond, 2 * kHour, true, kHour},
        ToleranceCase{"/dst", 2 * kSecond, kHour, true},
        // A file changed exactly an hour after its backup is copied, its
        // old version kept in the preserving mode.
        ToleranceCase{"/dst", 2 * kSecond, -kHour, true, kHour, "b"},
        ToleranceCase{"/dst", 2 * kSecond, kHour, true, kHour, "ab",
                      kDuplexPreserving}));

}  // namespace
}  // namespace fernwise
