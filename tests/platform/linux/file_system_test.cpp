#include <sys/stat.h>

#include <clocale>
#include <cstdlib>
#include <ctime>
#include <functional>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "core/path_probe.h"
#include "core/run_error.h"
#include "platform/linux/linux_file_system.h"
#include "platform/linux/linux_mount_config.h"
#include "tests/support/linux_temp_folder.h"

namespace fernwise {
namespace {

using testing::kAnyTree;

using ::testing::ElementsAre;
using testing::LinuxTempFolderTest;
using ::testing::UnorderedElementsAre;

uint32_t Perms(mode_t mode) { return static_cast<uint32_t>(mode) << 16; }

std::vector<std::string> Drain(NameList list) {
  std::vector<std::string> names;
  while (!list.Empty()) names.push_back(list.TakeFirst());
  return names;
}

class LinuxModeTest : public LinuxTempFolderTest,
                      public ::testing::WithParamInterface<mode_t> {};

TEST_P(LinuxModeTest, MaskCarriesModeAndSettingItRestoresTheMode) {
  const mode_t mode = GetParam();
  WriteFile(Path("source"), "x", mode);
  WriteFile(Path("target"), "y", 0600);
  const uint32_t mask = entry_->ReadAttributes(kAnyTree, Path("source"));
  EXPECT_EQ(mask, Perms(mode) | ((mode & 0200) ? 0u : uint32_t{kAttrReadOnly}));

  entry_->SetAttributes(Path("target"), mask);
  EXPECT_EQ(Lstat(Path("target")).st_mode & 07777, mode);
  EXPECT_EQ(entry_->ReadAttributes(kAnyTree, Path("target")), mask);
}

INSTANTIATE_TEST_SUITE_P(Modes, LinuxModeTest,
                         ::testing::Values(0644, 0600, 0444, 0400, 0755, 0000,
                                           0777, 04755, 02750, 01700));

TEST_F(LinuxTempFolderTest, FolderBitAndHiddenBitFollowKindAndName) {
  MakeFolder(Path("dir"));
  MakeFolder(Path(".config"));
  ASSERT_EQ(::chmod(Path("dir").c_str(), 0555), 0);
  WriteFile(Path(".profile"), "", 0644);
  EXPECT_EQ(entry_->ReadAttributes(kAnyTree, Path("dir")),
            kAttrFolder | kAttrReadOnly | Perms(0555));
  EXPECT_EQ(entry_->ReadAttributes(kAnyTree, Path(".config")),
            kAttrFolder | kAttrHidden | Perms(0755));
  EXPECT_EQ(entry_->ReadAttributes(kAnyTree, Path(".profile")),
            kAttrHidden | Perms(0644));
  EXPECT_EQ(entry_->ReadAttributes(kAnyTree, Path("dir/")) & kAttrHidden, 0u);
}

TEST_F(LinuxTempFolderTest, SettingAMaskSetsOnlyThePermissionBits) {
  WriteFile(Path("plain"), "", 0600);
  // The permission bits were read from the source; they win over a
  // read-only bit that disagrees, and the hidden bit follows the name.
  entry_->SetAttributes(Path("plain"),
                        kAttrReadOnly | kAttrHidden | Perms(0644));
  EXPECT_EQ(Lstat(Path("plain")).st_mode & 07777, 0644u);
  EXPECT_EQ(entry_->ReadAttributes(kAnyTree, Path("plain")), Perms(0644));
}

TEST_F(LinuxTempFolderTest, ListingYieldsEveryEntryAndDotsThenEnds) {
  MakeFolder(Path("dir"));
  MakeFolder(Path("dir/sub"));
  WriteFile(Path("dir/a"), "");
  WriteFile(Path("dir/.b"), "");
  std::vector<std::string> names;
  for (std::string name = entry_->StartListing(kAnyTree, Path("dir/"));
       !name.empty(); name = entry_->NextName()) {
    names.push_back(name);
  }
  EXPECT_THAT(names, UnorderedElementsAre(".", "..", "a", ".b", "sub"));
  EXPECT_EQ(entry_->NextName(), "");
}

struct ProbeCase {
  const char* pattern;
  bool found;
};

class LinuxProbeTest : public LinuxTempFolderTest,
                       public ::testing::WithParamInterface<ProbeCase> {};

TEST_P(LinuxProbeTest, NotFoundIsAnAnswer) {
  MakeFolder(Path("dir"));
  WriteFile(Path("file"), "");
  WriteFile(Path("a1"), "");
  const std::string pattern =
      *GetParam().pattern ? Path(GetParam().pattern) : "";
  const std::string name = entry_->StartListing(kAnyTree, pattern);
  EXPECT_EQ(!name.empty(), GetParam().found) << pattern;
}

INSTANTIATE_TEST_SUITE_P(
    Patterns, LinuxProbeTest,
    ::testing::Values(ProbeCase{"file", true}, ProbeCase{"dir", true},
                      ProbeCase{"dir/", true}, ProbeCase{"missing", false},
                      ProbeCase{"missing/", false}, ProbeCase{"file/", false},
                      ProbeCase{"file/x", false}, ProbeCase{"missing/x", false},
                      // "*" and "?" are ordinary characters in names.
                      ProbeCase{"a*", false}, ProbeCase{"a?", false},
                      ProbeCase{"", false}));

TEST_F(LinuxTempFolderTest, ProbeNamesTheEntryAndEndsTheListing) {
  MakeFolder(Path("dir"));
  WriteFile(Path("a*"), "");
  EXPECT_EQ(entry_->StartListing(kAnyTree, Path("a*")), "a*");
  ASSERT_NE(entry_->StartListing(kAnyTree, Path("dir/")), "");
  EXPECT_EQ(entry_->StartListing(kAnyTree, Path("dir")), "dir");
  EXPECT_EQ(entry_->NextName(), "");
}

TEST_F(LinuxTempFolderTest, SnapshotListsLinksAsFilesAndSkipsOnlyDots) {
  MakeFolder(Path("dir"));
  MakeFolder(Path("dir/.config"));
  MakeFolder(Path("dir/real"));
  WriteFile(Path("dir/.hidden"), "");
  ASSERT_EQ(::symlink("real", Path("dir/to_folder").c_str()), 0);
  ASSERT_EQ(::symlink("nowhere", Path("dir/dangling").c_str()), 0);
  FolderSnapshot snapshot = *TakeSnapshot(fs_, *entry_, kAnyTree, Path("dir"));
  EXPECT_THAT(Drain(std::move(snapshot.folders)),
              UnorderedElementsAre(".config", "real"));
  EXPECT_THAT(Drain(std::move(snapshot.files)),
              UnorderedElementsAre(".hidden", "to_folder", "dangling"));
}

TEST_F(LinuxTempFolderTest, LinkIsReadAndChangedAsItself) {
  WriteFile(Path("target"), "content", 0600);
  SetTimes(Path("target"), {1'000, 5});
  ASSERT_EQ(::symlink("target", Path("link").c_str()), 0);
  SetTimes(Path("link"), {2'000, 7});

  EXPECT_EQ(entry_->ReadAttributes(kAnyTree, Path("link")), Perms(0777));
  EXPECT_EQ(entry_->LastModified(kAnyTree, Path("link")).ns, 2'000'000'000'007);
  EXPECT_EQ(entry_->Length(kAnyTree, Path("link")), 6);  // the target text
  entry_->SetAttributes(Path("link"), Perms(0444) | kAttrReadOnly);
  EXPECT_EQ(Lstat(Path("target")).st_mode & 07777, 0600u);
  entry_->Delete(kAnyTree, Path("link"));
  EXPECT_THAT(Entries(root_), ElementsAre("target"));
}

TEST_F(LinuxTempFolderTest, AttributesAreRightInsideAndOutsideTheListing) {
  MakeFolder(Path("listed"));
  MakeFolder(Path("listed/sub"));
  MakeFolder(Path("other"));
  WriteFile(Path("listed/sub/x"), "", 0400);
  WriteFile(Path("other/x"), "", 0700);
  ASSERT_NE(entry_->StartListing(kAnyTree, Path("listed/")), "");
  EXPECT_EQ(entry_->ReadAttributes(kAnyTree, Path("listed/sub")),
            kAttrFolder | Perms(0755));
  EXPECT_EQ(entry_->ReadAttributes(kAnyTree, Path("listed/sub/x")),
            kAttrReadOnly | Perms(0400));
  EXPECT_EQ(entry_->ReadAttributes(kAnyTree, Path("other/x")), Perms(0700));
  EXPECT_THROW(entry_->ReadAttributes(kAnyTree, Path("listed/missing")),
               RunError);
}

TEST_F(LinuxTempFolderTest, TimesKeepNanosecondsAndLengthsAre64Bit) {
  WriteFile(Path("file"), "");
  SetTimes(Path("file"), {1'700'000'000, 123'456'789});
  EXPECT_EQ(entry_->LastModified(kAnyTree, Path("file")).ns,
            1'700'000'000'123'456'789);
  ASSERT_EQ(::truncate(Path("file").c_str(), int64_t{5} << 30), 0);
  entry_->BeginPass(
      Role::kSource);  // a change from outside shows from the next pass on
  EXPECT_EQ(entry_->Length(kAnyTree, Path("file")), int64_t{5} << 30);
  EXPECT_EQ(entry_->Traits(Role::kSource, root_).time_step_ns, 1);
  EXPECT_EQ(entry_->Traits(kAnyTree, Path("missing")).time_step_ns, 1);
}

// Contents compare byte for byte, past the first slice, and only between
// plain files; a time is set to the nanosecond on the file itself, never
// through a link.
TEST_F(LinuxTempFolderTest, ContentsCompareAndTimesAreSetNeverThroughALink) {
  const std::string big(3 << 20, 'x');
  WriteFile(Path("a"), big);
  WriteFile(Path("same"), big);
  WriteFile(Path("other"), big.substr(1) + "y");
  WriteFile(Path("short"), "x");
  ASSERT_EQ(::symlink("a", Path("link").c_str()), 0);
  EXPECT_TRUE(entry_->SameContent(Path("a"), Path("same")));
  EXPECT_FALSE(entry_->SameContent(Path("a"), Path("other")));
  EXPECT_FALSE(entry_->SameContent(Path("a"), Path("short")));
  EXPECT_FALSE(entry_->SameContent(Path("a"), Path("link")));
  entry_->SetLastModified(Path("same"), FileTime{-1'500'000'000});
  EXPECT_EQ(Lstat(Path("same")).st_mtim.tv_sec, -2);
  EXPECT_EQ(Lstat(Path("same")).st_mtim.tv_nsec, 500'000'000);
  const timespec before = Lstat(Path("a")).st_mtim;
  EXPECT_THROW(entry_->SetLastModified(Path("link"), FileTime{0}), RunError);
  EXPECT_EQ(Lstat(Path("a")).st_mtim.tv_sec, before.tv_sec);
}

// A writer of the backup swaps the entry between the look that decided a
// change and the change (here through the test hook, every time): the change
// must never land on what was swapped in, a hard link to a file she may not
// change herself, or another folder. A mode, a folder's owner or time is
// then not set at all; a file's time ends the run. FERNWISE_RACE_ROUNDS sets
// the rounds.
TEST_F(LinuxTempFolderTest, ChangesNeverLandOnAnEntrySwappedInMeanwhile) {
  const char* rounds_text = std::getenv("FERNWISE_RACE_ROUNDS");
  const int rounds = rounds_text != nullptr ? std::atoi(rounds_text) : 50;
  MakeFolder(Path("dst"));
  MakeFolder(Path("src"));
  MakeFolder(Path("src/d"));
  // Another owner, so that the folder's owner is to change where root runs.
  if (::geteuid() == 0) {
    ASSERT_EQ(::chown(Path("src/d").c_str(), testing::kNobody, 0), 0);
  }
  WriteFile(Path("victim"), "root's", 0600);
  MakeFolder(Path("other"));
  ASSERT_EQ(::chmod(Path("other").c_str(), 0700), 0);
  fs_.set_change_hook([&](const std::string& path) {
    ASSERT_EQ(::rename(path.c_str(), (path + ".gone").c_str()), 0);
    ASSERT_EQ(path.ends_with("/d")
                  ? ::rename(Path("other").c_str(), path.c_str())
                  : ::link(Path("victim").c_str(), path.c_str()),
              0);
  });
  const std::unique_ptr<EntryRun> entry = fs_.Enter({Path("src"), Path("dst"), ""}, {});
  struct Case {
    const char* name;
    std::function<void(const std::string&)> change;
  };
  const Case cases[] = {
      {"f",
       [&](const std::string& f) { entry->SetAttributes(f, Perms(04777)); }},
      {"f",
       [&](const std::string& f) { entry->SetLastModified(f, FileTime{}); }},
      {"d",
       [&](const std::string& d) { entry->SetAttributes(d, Perms(0777)); }},
      {"d",
       [&](const std::string& d) { entry->CarryFolder(Path("src/d"), d); }},
      {"d",
       [&](const std::string& d) { entry->SetFolderTime(d, FileTime{}); }}};
  int refused = 0;
  for (int round = 0; round < rounds; ++round) {
    for (const Case& c : cases) {
      const std::string path = Path("dst/") + c.name;
      const bool folder = *c.name == 'd';
      if (folder) {
        MakeFolder(path);
      } else {
        WriteFile(path, "copy", 0644);
      }
      entry->BeginPass(Role::kSource);
      entry->ReadAttributes(Role::kDestination, path);
      try {
        c.change(path);
      } catch (const RunError&) {
        ++refused;
      }
      ASSERT_EQ(Lstat(Path("victim")).st_mode & 07777, 0600u);
      ASSERT_NE(Lstat(Path("victim")).st_mtim.tv_sec, 0);
      ASSERT_EQ(Lstat(path).st_mode & 07777, folder ? 0700u : 0600u);
      ASSERT_EQ(Lstat(path).st_uid, ::geteuid());
      ASSERT_NE(Lstat(path).st_mtim.tv_sec, 0);
      ASSERT_EQ(folder ? ::rename(path.c_str(), Path("other").c_str())
                       : ::unlink(path.c_str()),
                0);
      const std::string gone = path + ".gone";
      ASSERT_EQ(folder ? ::rmdir(gone.c_str()) : ::unlink(gone.c_str()), 0);
    }
  }
  EXPECT_EQ(refused, rounds);
}

TEST_F(LinuxTempFolderTest, FailuresCarryNumberOperationAndPath) {
  MakeFolder(Path("full"));
  WriteFile(Path("full/x"), "");
  struct Case {
    std::function<void()> call;
    int number;
    std::string report;
  };
  const std::vector<Case> cases = {
      {[&] { entry_->Delete(kAnyTree, Path("missing")); }, ENOENT,
       "Error 2: No such file or directory (delete file " + Path("missing") +
           ")"},
      {[&] { entry_->RemoveFolder(Path("full")); }, ENOTEMPTY, ""},
      {[&] { entry_->CreateFolder(Path("full")); }, EEXIST, ""},
      {[&] { entry_->Delete(kAnyTree, Path("full")); }, EISDIR, ""},
      {[&] { entry_->LastModified(kAnyTree, Path("missing")); }, ENOENT, ""},
      {[&] { fs_.ReadWholeFile(Path("missing")); }, ENOENT, ""},
  };
  for (const Case& c : cases) {
    try {
      c.call();
      ADD_FAILURE() << "no error for the case expecting " << c.number;
    } catch (const RunError& error) {
      EXPECT_EQ(error.number(), c.number) << error.Report();
      if (!c.report.empty()) {
        EXPECT_EQ(error.Report(), c.report);
      }
    }
  }
}

TEST_F(LinuxTempFolderTest, FoldersAreMadeAndRemoved) {
  entry_->CreateFolder(Path("new"));
  EXPECT_EQ(entry_->ReadAttributes(kAnyTree, Path("new")) & kAttrFolder,
            kAttrFolder);
  entry_->RemoveFolder(Path("new"));
  EXPECT_TRUE(Entries(root_).empty());
}

TEST_F(LinuxTempFolderTest, ResolvePathFollowsLinksAndMissIsEmpty) {
  MakeFolder(Path("real"));
  ASSERT_EQ(::symlink("real", Path("link").c_str()), 0);
  const std::string real = fs_.ResolvePath(Path("real"));
  EXPECT_EQ(real.front(), '/');
  EXPECT_EQ(fs_.ResolvePath(Path("link") + "/"), real);
  EXPECT_EQ(fs_.ResolvePath(Path("missing")), "");
  EXPECT_EQ(fs_.ResolvePath(""), "");
  EXPECT_FALSE(fs_.IgnoresCase());
}

TEST_F(LinuxTempFolderTest, ReadWholeFileKeepsEveryByte) {
  const std::string content("a\0b\r\n\xff", 6);
  WriteFile(Path("bytes"), content);
  EXPECT_EQ(fs_.ReadWholeFile(Path("bytes")), content);
  const std::string big(200'000, 'z');  // more than one read
  WriteFile(Path("big"), big);
  EXPECT_EQ(fs_.ReadWholeFile(Path("big")), big);
}

TEST_F(LinuxTempFolderTest, TextFileIsEmptiedAndFlushedOnCloseOrUnwind) {
  WriteFile(Path("list.txt"), "old content that must go");
  auto output = fs_.CreateTextFile(Path("list.txt"));
  EXPECT_EQ(ReadFile(Path("list.txt")), "");
  output->Write("one\r\n");
  output->Write("two");
  output->Close();
  EXPECT_EQ(ReadFile(Path("list.txt")), "one\r\ntwo");
  EXPECT_THROW(output->Write("late"), RunError);

  fs_.CreateTextFile(Path("unclosed.txt"))->Write("kept");
  EXPECT_EQ(ReadFile(Path("unclosed.txt")), "kept");
  EXPECT_THROW(fs_.CreateTextFile(Path("missing/x.txt")), RunError);
}

// A named folder missing when the entry starts stays missing for it: a link
// put at its name meanwhile is not followed into another tree.
TEST_F(LinuxTempFolderTest, NamedFolderNotHeldIsNeverReachedByItsPath) {
  MakeFolder(Path("elsewhere"));
  WriteFile(Path("elsewhere/f"), "not the source's");
  const std::unique_ptr<EntryRun> entry = fs_.Enter({Path("src"), "", ""}, {});
  ASSERT_EQ(::symlink(Path("elsewhere").c_str(), Path("src").c_str()), 0);
  for (const char* path : {"src", "src/f"})
    EXPECT_FALSE(PathExists(*entry, Role::kSource, Path(path))) << path;
}

// Whatever a writer of the folder plants at a replaced text file's name is
// replaced whole at Close, never written through or opened (a FIFO would
// block the run); until then the name keeps what it had, and nothing is
// left beside it.
TEST_F(LinuxTempFolderTest, ReplacedTextFileReplacesWhatStandsAtItsName) {
  WriteFile(Path("victim"), "another's");
  const std::function<void(const std::string&)> plants[] = {
      [&](const std::string& at) { WriteFile(at, "old list"); },
      [&](const std::string& at) { ::symlink(Path("victim").c_str(), at.c_str()); },
      [&](const std::string& at) { ::symlink("missing", at.c_str()); },
      [&](const std::string& at) { ::mkfifo(at.c_str(), 0666); },
  };
  for (const auto& plant : plants) {
    const std::string list = Path("list.txt");
    plant(list);
    const struct stat before = Lstat(list);
    auto output = fs_.ReplaceTextFile(list);
    output->Write("new list");
    EXPECT_EQ(Lstat(list).st_ino, before.st_ino);
    output->Close();
    EXPECT_TRUE(S_ISREG(Lstat(list).st_mode));
    EXPECT_EQ(ReadFile(list), "new list");
    EXPECT_EQ(ReadFile(Path("victim")), "another's");
    EXPECT_THAT(Entries(root_), ElementsAre("list.txt", "victim"));
    ASSERT_EQ(::unlink(list.c_str()), 0);
  }
}

TEST_F(LinuxTempFolderTest, TextFileThatLostWhatItHeldFailsEveryLaterWrite) {
  auto output = fs_.CreateTextFile(Path("list.txt"));
  {
    // The file refuses the first full buffer, then would take anything.
    const testing::FileSizeLimit limit(16);
    if (!limit.in_force()) GTEST_SKIP() << "cannot limit file sizes here";
    EXPECT_THROW(output->Write(std::string(128 * 1024, 'x')), RunError);
  }
  EXPECT_THROW(output->Write("after the hole"), RunError);
  EXPECT_THROW(output->Close(), RunError);
  EXPECT_EQ(ReadFile(Path("list.txt")).find("after"), std::string::npos);
}

class LinuxDateTest : public LinuxTempFolderTest {
 protected:
  void SetUp() override {
    LinuxTempFolderTest::SetUp();
    const char* tz = std::getenv("TZ");
    if (tz != nullptr) saved_tz_ = tz;
    had_tz_ = tz != nullptr;
    ::setenv("TZ", "UTC", 1);
    ::tzset();
  }
  void TearDown() override {
    if (had_tz_)
      ::setenv("TZ", saved_tz_.c_str(), 1);
    else
      ::unsetenv("TZ");
    ::tzset();
    std::setlocale(LC_TIME, "C");
    LinuxTempFolderTest::TearDown();
  }
  static FileTime At(int64_t seconds, int64_t ns = 0) {
    return {seconds * 1'000'000'000 + ns};
  }

 private:
  std::string saved_tz_;
  bool had_tz_ = false;
};

TEST_F(LinuxDateTest, PlainLocaleWritesIsoDateAndTimeOrDateAtMidnight) {
  std::setlocale(LC_TIME, "C");
  constexpr int64_t kMidnight = 1'709'596'800;  // 2024-03-05 00:00:00 UTC
  EXPECT_EQ(fs_.FormatDateTime(At(kMidnight)), "2024-03-05");
  EXPECT_EQ(fs_.FormatDateTime(At(kMidnight, 999'999'999)), "2024-03-05");
  EXPECT_EQ(fs_.FormatDateTime(At(kMidnight + 1)), "2024-03-05 00:00:01");
  EXPECT_EQ(fs_.FormatDateTime(At(kMidnight + 47'045)), "2024-03-05 13:04:05");
  EXPECT_EQ(fs_.FormatDateTime(FileTime{-1}), "1969-12-31 23:59:59");
}

TEST_F(LinuxDateTest, UserLocaleWritesItsOwnDateFormat) {
  if (std::setlocale(LC_TIME, "de_DE.UTF-8") == nullptr)
    GTEST_SKIP() << "the de_DE.UTF-8 locale is not installed";
  EXPECT_EQ(fs_.FormatDateTime(At(1'709'596'800)), "05.03.2024");
  EXPECT_EQ(fs_.FormatDateTime(At(1'709'596'800 + 47'045)),
            "05.03.2024 13:04:05");
}

// Mount points as fstab and systemd units write them: a blank escaped,
// comments and what mounts no folder skipped, the last Where= counting.
TEST(MountConfigTest, ReadsMountPointsAsTheSystemWritesThem) {
  EXPECT_THAT(linux_os::FstabMountPoints(
                  "# /dev/sdc /old ext4\n/dev/sda1 / ext4 defaults 0 1\n\n"
                  "UUID=9A2B\t/mnt/my\\040disk  vfat\n/swapfile none swap\n"),
              ElementsAre("/", "/mnt/my disk"));
  EXPECT_EQ(
      linux_os::UnitMountPoint("[Mount]\nWhere=/a\n Where = /srv/n s\r\n"),
      "/srv/n s");
}

}  // namespace
}  // namespace fernwise
