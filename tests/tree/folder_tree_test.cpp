#include "tree/folder_tree.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "core/run_error.h"
#include "tests/support/memory_file_system.h"
#include "tests/support/recording_window.h"

namespace fernwise {
namespace {

using ::testing::ElementsAre;
using testing::MemoryFileSystem;
using testing::RecordingWindow;
using Op = MemoryFileSystem::Op;

constexpr char kListing[] = "/out/list.txt";
// 2026-03-04 05:06:07 UTC and 2025-12-31 00:00:00 UTC.
constexpr FileTime kMorning{1772600767LL * 1000000000};
constexpr FileTime kMidnight{1767139200LL * 1000000000};

class FolderTreeTest : public ::testing::Test {
 protected:
  FolderTreeTest() { fs_.AddFolder("/out"); }

  // Lists `folder` the way the run driver does: create, list, close. A
  // failure unwinds past the file, which still keeps what was written.
  std::string List(const std::string& folder) {
    std::unique_ptr<TextOutput> out = fs_.CreateTextFile(kListing);
    StoreFolderTree(run_, *fs_.Enter({folder, "", ""}, {}), folder, *out);
    out->Close();
    return fs_.Content(kListing);
  }

  MemoryFileSystem fs_;
  RecordingWindow window_;
  RunState state_;
  RunContext run_{fs_, window_, state_, [] { return 0.0; }};
};

TEST_F(FolderTreeTest, WritesSectionsDepthFirstWithSubfoldersFirst) {
  fs_.AddFile("/t/notes.txt", std::string(512, 'n'), kMorning);
  fs_.AddFolder("/t/.config", kAttrFolder | kAttrHidden);
  fs_.AddFile("/t/.config/settings", "ab", kMidnight,
              kAttrArchive | kAttrReadOnly);
  fs_.AddFile("/t/.hidden", "", kMorning, kAttrHidden | kAttrArchive);
  fs_.AddFolder("/t/empty");
  fs_.SetTime("/t/empty", kMorning);
  fs_.AddFile("/t/a,b.txt", "xyz", kMidnight);
  // Files and folders mixed, as a file system may yield them.
  fs_.SetListingOrder("/t", {"notes.txt", "empty", ".hidden", ".config"});

  EXPECT_EQ(List("/t"),
            "nul, /t\r\n"
            "empty,<DIR>, 0 ,2026-03-04 05:06:07, 16 \r\n"
            ".config,<DIR>, 0 ,1970-01-01, 18 \r\n"
            "notes.txt,FILE, 512 ,2026-03-04 05:06:07, 32 \r\n"
            ".hidden,FILE, 0 ,2026-03-04 05:06:07, 34 \r\n"
            "a,b.txt,FILE, 3 ,2025-12-31, 32 \r\n"
            "nul, /t/empty\r\n"
            "nul, /t/.config\r\n"
            "settings,FILE, 2 ,2025-12-31, 33 \r\n");
  EXPECT_THAT(window_.statuses,
              ElementsAre("Seeking /t...", "Seeking /t/empty...",
                          "Seeking /t/.config..."));
  // One write per header line, two per entry line.
  EXPECT_EQ(fs_.LogOf("write ").size(), 3u + 2u * 6u);
}

TEST_F(FolderTreeTest, HeaderLinesCarryTheFullPathFromTheTop) {
  fs_.AddFile("/t/a/b/c/deep.txt");
  EXPECT_EQ(List("/t"),
            "nul, /t\r\n"
            "a,<DIR>, 0 ,1970-01-01, 16 \r\n"
            "nul, /t/a\r\n"
            "b,<DIR>, 0 ,1970-01-01, 16 \r\n"
            "nul, /t/a/b\r\n"
            "c,<DIR>, 0 ,1970-01-01, 16 \r\n"
            "nul, /t/a/b/c\r\n"
            "deep.txt,FILE, 0 ,1970-01-01, 32 \r\n");
}

TEST_F(FolderTreeTest, FolderWithoutEntriesGivesItsHeaderLineAlone) {
  fs_.AddFolder("/t");
  EXPECT_EQ(List("/t"), "nul, /t\r\n");
  fs_.set_list_dots(false);
  EXPECT_EQ(List("/t"), "nul, /t\r\n");
}

TEST_F(FolderTreeTest, MissingTopFolderGivesOneHeaderLine) {
  EXPECT_EQ(List("/nowhere"), "nul, /nowhere\r\n");
}

TEST_F(FolderTreeTest, UnlistableFolderKeepsItsHeaderAndTheRunGoesOn) {
  fs_.AddFile("/t/locked/secret.txt");
  fs_.AddFile("/t/open/seen.txt");
  fs_.FailOn(Op::kList, "/t/locked");
  EXPECT_EQ(List("/t"),
            "nul, /t\r\n"
            "locked,<DIR>, 0 ,1970-01-01, 16 \r\n"
            "open,<DIR>, 0 ,1970-01-01, 16 \r\n"
            "nul, /t/locked\r\n"
            "nul, /t/open\r\n"
            "seen.txt,FILE, 0 ,1970-01-01, 32 \r\n");
}

TEST_F(FolderTreeTest, FolderWithUnreadableMaskIsListedAsFileNotEntered) {
  fs_.AddFile("/t/sub/inner.txt");
  fs_.FailOn(Op::kReadAttributes, "/t/sub");
  EXPECT_EQ(List("/t"),
            "nul, /t\r\n"
            "sub,FILE, 0 ,1970-01-01,-1 \r\n");
}

TEST_F(FolderTreeTest, MaskUnreadableForItsLineOnlyGivesMinusOne) {
  fs_.AddFile("/t/a.txt", "a");
  fs_.AddFile("/t/b.txt", "b");
  // The snapshot's read succeeds; the line's read fails.
  fs_.FailOn(Op::kReadAttributes, "/t/a.txt", EACCES, 1);
  EXPECT_EQ(List("/t"),
            "nul, /t\r\n"
            "a.txt,FILE, 1 ,1970-01-01,-1 \r\n"
            "b.txt,FILE, 1 ,1970-01-01, 32 \r\n");
}

TEST_F(FolderTreeTest, FailedMaskWriteIsReplacedByMinusOne) {
  fs_.AddFile("/t/a.txt", "a");
  int writes = 0;
  fs_.set_before_op([&](Op op, const std::string&) {
    // The third write is a.txt's mask: header, then the line's first part.
    if (op == Op::kWrite && ++writes == 3)
      throw RunError(EIO, "I/O error", "write", kListing);
  });
  EXPECT_EQ(List("/t"), "nul, /t\r\na.txt,FILE, 1 ,1970-01-01,-1 \r\n");
}

TEST_F(FolderTreeTest, FailureToWriteTheMinusOneEndsTheRun) {
  fs_.AddFile("/t/a.txt", "a");
  fs_.FailOn(Op::kWrite, kListing, ENOSPC, 2);
  EXPECT_THROW(List("/t"), RunError);
}

TEST_F(FolderTreeTest, EntryGoneSinceTheSnapshotEndsTheRun) {
  fs_.AddFile("/t/a.txt", "a");
  fs_.AddFile("/t/b.txt", "b");
  fs_.AddFile("/t/sub/c.txt");
  // b.txt goes while a.txt's line is made, after the snapshot.
  fs_.set_before_op([&](Op op, const std::string& path) {
    if (op == Op::kLength && path == "/t/a.txt") fs_.Remove("/t/b.txt");
  });
  EXPECT_THROW(List("/t"), RunError);
  EXPECT_EQ(fs_.Content(kListing),
            "nul, /t\r\n"
            "sub,<DIR>, 0 ,1970-01-01, 16 \r\n"
            "a.txt,FILE, 1 ,1970-01-01, 32 \r\n");
}

class UnreadableEntryTest : public FolderTreeTest,
                            public ::testing::WithParamInterface<Op> {};

TEST_P(UnreadableEntryTest, WritesNothingOfTheLineAndEndsTheRun) {
  fs_.AddFile("/t/a.txt", "a");
  fs_.AddFile("/t/b.txt", "b");
  fs_.FailOn(GetParam(), "/t/b.txt", ENOENT);
  EXPECT_THROW(List("/t"), RunError);
  EXPECT_EQ(fs_.Content(kListing),
            "nul, /t\r\na.txt,FILE, 1 ,1970-01-01, 32 \r\n");
}

INSTANTIATE_TEST_SUITE_P(LengthOrTime, UnreadableEntryTest,
                         ::testing::Values(Op::kLength, Op::kLastModified));

TEST_F(FolderTreeTest, FailureInASubfolderPassesThroughItsParents) {
  fs_.AddFile("/t/sub/c.txt");
  fs_.AddFile("/t/z.txt");
  fs_.FailOn(Op::kLastModified, "/t/sub/c.txt", EIO);
  EXPECT_THROW(List("/t"), RunError);
  EXPECT_EQ(fs_.Content(kListing),
            "nul, /t\r\n"
            "sub,<DIR>, 0 ,1970-01-01, 16 \r\n"
            "z.txt,FILE, 0 ,1970-01-01, 32 \r\n"
            "nul, /t/sub\r\n");
}

struct SizeCase {
  int64_t length;
  const char* field;

  friend void PrintTo(const SizeCase& c, std::ostream* os) { *os << c.length; }
};

class SizeFieldTest : public FolderTreeTest,
                      public ::testing::WithParamInterface<SizeCase> {};

TEST_P(SizeFieldTest, WritesTheTrueSizeInNumberForm) {
  fs_.AddFile("/t/f");
  fs_.SetLength("/t/f", GetParam().length);
  EXPECT_EQ(List("/t"), std::string("nul, /t\r\nf,FILE,") + GetParam().field +
                            ",1970-01-01, 32 \r\n");
}

INSTANTIATE_TEST_SUITE_P(
    Sizes, SizeFieldTest,
    ::testing::Values(SizeCase{0, " 0 "}, SizeCase{2147483647, " 2147483647 "},
                      // 2 GiB and more: not wrapped to a negative 32-bit value.
                      SizeCase{2147483648LL, " 2147483648 "},
                      SizeCase{5000000000LL, " 5000000000 "},
                      SizeCase{-12, "-12 "}));

}  // namespace
}  // namespace fernwise
