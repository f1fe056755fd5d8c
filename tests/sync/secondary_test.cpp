#include "sync/secondary.h"

#include <algorithm>
#include <cerrno>
#include <map>
#include <string>
#include <utility>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "core/run_error.h"
#include "tests/support/memory_file_system.h"
#include "tests/support/recording_window.h"

namespace fernwise {
namespace {

using ::testing::ElementsAre;
using ::testing::HasSubstr;
using ::testing::IsEmpty;
using testing::MemoryFileSystem;
using testing::RecordingWindow;

class SecondaryTest : public ::testing::Test {
 protected:
  SecondaryTest() {
    state_.SecondaryFolder = "D:\\Old";
    fs_.AddFolder("D:\\Old");
    fs_.AddFile(kDisplaced, "old contents", FileTime{1234}, kAttrReadOnly);
    fs_.ClearLog();  // the entry's own line
  }

  void Save(const std::string& source_side_path) {
    SaveToSecondaryFolder(run_, *entry_, source_side_path, kDisplaced);
  }

  static constexpr const char* kDisplaced = "E:\\Backup\\a.txt";
  MemoryFileSystem fs_{'\\'};
  RecordingWindow window_;
  RunState state_;
  RunContext run_{fs_, window_, state_, [] { return 0.0; }};
  const std::unique_ptr<EntryRun> entry_ =
      fs_.Enter({"C:\\Data", "E:\\Backup", "D:\\Old"}, {});
};

TEST_F(SecondaryTest, WorkedExampleNumbersSuccessiveCopies) {
  Save("C:\\Data\\a.txt");
  Save("C:\\Data\\a.txt");
  Save("C:\\Data\\a.txt");
  EXPECT_THAT(
      fs_.Tree("D:\\Old"),
      ElementsAre("C..Data.a.txt.1", "C..Data.a.txt.2", "C..Data.a.txt.3"));
  EXPECT_EQ(fs_.Content("D:\\Old\\C..Data.a.txt.2"), "old contents");
  EXPECT_EQ(state_.NameIndex, 3);
  // No text of its own: the caller's stays on view.
  EXPECT_THAT(window_.statuses, IsEmpty());
}

TEST_F(SecondaryTest, GapBelowTakenNumbersIsFilledFirst) {
  fs_.AddFile("D:\\Old\\C..Data.a.txt.2");
  Save("C:\\Data\\a.txt");
  EXPECT_TRUE(fs_.Exists("D:\\Old\\C..Data.a.txt.1"));
  Save("C:\\Data\\a.txt");
  EXPECT_TRUE(fs_.Exists("D:\\Old\\C..Data.a.txt.3"));
}

TEST_F(SecondaryTest, PathsThatFlattenAlikeShareOneSequence) {
  Save("C:\\a\\b.txt");
  Save("C:\\a.b.txt");
  Save("C:/a/b.txt");
  EXPECT_THAT(fs_.Tree("D:\\Old"),
              ElementsAre("C..a.b.txt.1", "C..a.b.txt.2", "C..a.b.txt.3"));
}

TEST_F(SecondaryTest, FolderOccupiesItsNumber) {
  fs_.AddFolder("D:\\Old\\C..Data.a.txt.1");
  Save("C:\\Data\\a.txt");
  EXPECT_TRUE(fs_.IsFolder("D:\\Old\\C..Data.a.txt.1"));
  EXPECT_EQ(fs_.Content("D:\\Old\\C..Data.a.txt.2"), "old contents");
}

struct FlattenCase {
  const char* source_side_path;
  const char* copy_name;
};

class FlattenTest : public SecondaryTest,
                    public ::testing::WithParamInterface<FlattenCase> {};

TEST_P(FlattenTest, ReplacesOnlySeparatorsAndColons) {
  Save(GetParam().source_side_path);
  EXPECT_TRUE(fs_.Exists(GetParam().copy_name)) << GetParam().copy_name;
}

INSTANTIATE_TEST_SUITE_P(
    Names, FlattenTest,
    ::testing::Values(FlattenCase{"\\\\server\\share\\f.txt",
                                  "D:\\Old\\..server.share.f.txt.1"},
                      FlattenCase{"C:\\My Files\\report.final.doc",
                                  "D:\\Old\\C..My Files.report.final.doc.1"},
                      FlattenCase{"/home/u/.profile",
                                  "D:\\Old\\.home.u..profile.1"},
                      FlattenCase{"", "D:\\Old\\.1"}));

TEST_F(SecondaryTest, DisplacedFileAndArgumentsStayUntouched) {
  const std::string source_side_path = "C:\\Data\\a.txt";
  const std::string displaced = kDisplaced;
  SaveToSecondaryFolder(run_, *entry_, source_side_path, displaced);
  EXPECT_EQ(source_side_path, "C:\\Data\\a.txt");
  EXPECT_EQ(displaced, kDisplaced);
  EXPECT_EQ(fs_.Content(kDisplaced), "old contents");
  EXPECT_EQ(fs_.Time(kDisplaced), FileTime{1234});
  EXPECT_EQ(fs_.Mask(kDisplaced), uint32_t{kAttrReadOnly});
  EXPECT_EQ(fs_.Mask("D:\\Old\\C..Data.a.txt.1"), uint32_t{kAttrReadOnly});
}

class OverlongPathTest : public SecondaryTest,
                         public ::testing::WithParamInterface<size_t> {};

TEST_P(OverlongPathTest, EndsTheRunBeforeAnythingIsCopied) {
  try {
    Save("C:\\" + std::string(GetParam() - 3, 'x'));
    FAIL() << "no failure";
  } catch (const RunError& error) {
    EXPECT_EQ(error.number(), EOVERFLOW);
  }
  EXPECT_THAT(fs_.log(), IsEmpty());
}

INSTANTIATE_TEST_SUITE_P(Lengths, OverlongPathTest,
                         ::testing::Values(32767, 32768, 70000));

TEST_F(SecondaryTest, LongestPathThatFitsIsStored) {
  Save("C:\\" + std::string(32766 - 3, 'x'));
  EXPECT_EQ(fs_.LogOf("copy").size(), 1u);
}

TEST_F(SecondaryTest, AllNumbersTakenEndsTheRunNamingTheFlattenedName) {
  for (int number = 1; number <= 32766; ++number)
    fs_.AddFile("D:\\Old\\C..Data.a.txt." + std::to_string(number), "kept");
  try {
    Save("C:\\Data\\a.txt");
    FAIL() << "no failure";
  } catch (const RunError& error) {
    EXPECT_EQ(error.number(), EEXIST);
    EXPECT_EQ(error.path(), "D:\\Old\\C..Data.a.txt");
    EXPECT_THAT(error.Report(), HasSubstr("1 to 32766"));
  }
  EXPECT_THAT(fs_.LogOf("copy"), IsEmpty());
  EXPECT_EQ(fs_.LogOf("list").size(), 32766u);  // 32767 is never probed
  EXPECT_FALSE(fs_.Exists("D:\\Old\\C..Data.a.txt.32767"));
  EXPECT_EQ(fs_.Content("D:\\Old\\C..Data.a.txt.1"), "kept");
  EXPECT_EQ(fs_.Content(kDisplaced), "old contents");
}

// Another run or program may make a copy between the probe and the copy:
// it is never replaced, and the search goes on with the next number.
TEST_F(SecondaryTest, NameTakenAfterItsProbeIsNeverReplaced) {
  const std::string first = "D:\\Old\\C..Data.a.txt.1";
  fs_.set_before_op([&](MemoryFileSystem::Op op, const std::string& path) {
    if (op == MemoryFileSystem::Op::kCopy && path == first)
      fs_.AddFile(first, "another run's");
  });
  EXPECT_TRUE(
      SaveToSecondaryFolder(run_, *entry_, "C:\\Data\\a.txt", kDisplaced));
  EXPECT_EQ(fs_.Content(first), "another run's");
  EXPECT_EQ(fs_.Content("D:\\Old\\C..Data.a.txt.2"), "old contents");
  EXPECT_EQ(state_.NameIndex, 2);
}

/// A copy's name in the secondary folder: its stem and its number.
std::pair<std::string, std::string> StemAndNumber(const std::string& name) {
  const size_t dot = name.rfind('.');
  return {name.substr(0, dot), name.substr(dot + 1)};
}

// A flattened name that would pass the file system's name limit with the
// longest number keeps its end, after a mark made of a hash of the whole:
// one stem for every version of one path, another for another path.
TEST_F(SecondaryTest, LongNamesKeepTheirEndAndOneStemPerPath) {
  constexpr size_t kLimit = 40;
  fs_.set_name_limit(kLimit);
  const std::string fits = "C:\\" + std::string(31, 'f');  // 34 + ".32766"
  const std::string over = "C:\\" + std::string(32, 'o');
  const std::string deep = "C:\\one\\" + std::string(30, 'x') + "\\r.txt";
  const std::string twin = "C:\\two\\" + std::string(30, 'x') + "\\r.txt";
  std::string wide = "C:\\";  // two bytes a letter: the cut falls in one
  for (int i = 0; i < 40; ++i) wide += "\xc3\xa9";
  for (const std::string& path : {fits, over, deep, deep, twin, wide})
    Save(path);
  const std::vector<std::string> names = fs_.Tree("D:\\Old");
  ASSERT_EQ(names.size(), 6u);
  std::map<std::string, std::vector<std::string>> numbers;
  for (const std::string& name : names) {
    EXPECT_LE(name.size(), kLimit) << name;
    const auto [stem, number] = StemAndNumber(name);
    numbers[stem].push_back(number);
    // The longest number fits behind every stem.
    EXPECT_LE(stem.size() + 6, kLimit) << name;
  }
  EXPECT_EQ(numbers["C.." + std::string(31, 'f')],
            std::vector<std::string>{"1"});
  EXPECT_EQ(numbers.size(), 5u);
  std::vector<std::string> ends;
  std::vector<std::vector<std::string>> sequences;
  for (const auto& [stem, kept] : numbers) {
    sequences.push_back(kept);
    if (stem[0] != '~') continue;
    // "~", 16 hexadecimal digits, "~", then the end of the flattened name.
    EXPECT_EQ(stem.find('~', 1), 17u) << stem;
    ends.push_back(stem.substr(18));
  }
  // The two versions of one path share its stem; no other stem has two.
  EXPECT_EQ(std::count(sequences.begin(), sequences.end(),
                       std::vector<std::string>{"1", "2"}),
            1);
  // 16 bytes are left for the end: eight whole two-byte letters.
  std::string eight_wide;
  for (int i = 0; i < 8; ++i) eight_wide += "\xc3\xa9";
  EXPECT_THAT(ends, ::testing::UnorderedElementsAre(
                        std::string(16, 'o'), std::string(10, 'x') + ".r.txt",
                        std::string(10, 'x') + ".r.txt", eight_wide));
}

TEST_F(SecondaryTest, FailingCopyReachesTheCaller) {
  fs_.FailOn(MemoryFileSystem::Op::kCopy, "D:\\Old\\C..Data.a.txt.1", ENOSPC);
  EXPECT_THROW(Save("C:\\Data\\a.txt"), RunError);
  EXPECT_EQ(fs_.Content(kDisplaced), "old contents");
}

}  // namespace
}  // namespace fernwise
