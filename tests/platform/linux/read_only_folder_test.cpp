// Read-only folders of the process's own: the passes still make, replace and
// remove entries in them, and each folder keeps its exact mode. Run as an
// unprivileged user, since root passes every permission check.
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "core/run_error.h"
#include "core/run_state.h"
#include "sync/mirror.h"
#include "sync/sweep.h"
#include "tests/support/linux_temp_folder.h"
#include "tests/support/recording_window.h"

namespace fernwise {
namespace {

using testing::kAnyTree;

using ::testing::ElementsAre;

constexpr timespec kFirst{1767139200, 123456789};
constexpr timespec kSecond{1772600767, 987654321};

mode_t ModeOf(const std::string& path) {
  struct stat st {};
  EXPECT_EQ(::lstat(path.c_str(), &st), 0) << path;
  return st.st_mode & 07777;
}

// Becomes the unprivileged owner of the test's tree (handing the tree to
// that user first unless `take_tree` is false) for as long as it lives. Not
// running as root, the process is that owner already.
class AsTreeOwner {
 public:
  explicit AsTreeOwner(const std::string& root, bool take_tree = true) {
    if (::geteuid() != 0) return;
    std::error_code error;
    if (take_tree) {
      ::lchown(root.c_str(), testing::kNobody, testing::kNogroup);
      for (const auto& entry :
           std::filesystem::recursive_directory_iterator(root, error))
        ::lchown(entry.path().c_str(), testing::kNobody, testing::kNogroup);
    }
    nobody_.emplace();
    usable_ = nobody_->dropped() && ::access(root.c_str(), W_OK | X_OK) == 0;
  }
  /// Whether permission checks apply and the tree can be reached.
  bool usable() const { return usable_; }

 private:
  std::optional<testing::AsNobody> nobody_;
  bool usable_ = ::geteuid() != 0;
};

class ReadOnlyFolderTest : public testing::LinuxTempFolderTest {
 protected:
  void SetUp() override {
    LinuxTempFolderTest::SetUp();
    ASSERT_EQ(::chmod(root_.c_str(), 0755), 0);
  }
  // An unprivileged run could not empty read-only folders otherwise.
  void TearDown() override {
    std::error_code error;
    for (const auto& entry :
         std::filesystem::recursive_directory_iterator(root_, error))
      if (entry.is_directory(error) && !entry.is_symlink(error))
        ::chmod(entry.path().c_str(), 0755);
    LinuxTempFolderTest::TearDown();
  }

  // Runs `work` as the tree's unprivileged owner, or skips the test.
  void AsOwner(const std::function<void()>& work, bool take_tree = true) {
    AsTreeOwner owner(root_, take_tree);
    if (!owner.usable()) GTEST_SKIP() << "cannot act as an unprivileged user";
    work();
  }

  testing::RecordingWindow window_;
  RunState state_;
  RunContext run_{fs_, window_, state_, [] { return 0.0; }};
};

// src/ro (0555) holds two files and sub (0555) with a third.
TEST_F(ReadOnlyFolderTest, MirrorFillsAndRefreshesReadOnlyFolders) {
  MakeFolder(Path("src"));
  MakeFolder(Path("dst"));
  MakeFolder(Path("src/ro"));
  MakeFolder(Path("src/ro/sub"));
  WriteFile(Path("src/ro/a.txt"), "first a", 0444);
  WriteFile(Path("src/ro/b.txt"), "b", 0640);
  WriteFile(Path("src/ro/sub/c.txt"), "c");
  for (const char* file : {"ro/a.txt", "ro/b.txt", "ro/sub/c.txt"})
    SetTimes(Path("src/") + file, kFirst);
  ASSERT_EQ(::chmod(Path("src/ro/sub").c_str(), 0555), 0);
  ASSERT_EQ(::chmod(Path("src/ro").c_str(), 0555), 0);

  AsOwner([&] { MirrorFolder(run_, *entry_, Path("src"), Path("dst")); });
  if (IsSkipped()) return;
  EXPECT_EQ(ModeOf(Path("dst/ro")), 0555u);
  EXPECT_EQ(ModeOf(Path("dst/ro/sub")), 0555u);
  EXPECT_THAT(Entries(Path("dst/ro")), ElementsAre("a.txt", "b.txt", "sub"));
  EXPECT_EQ(ReadFile(Path("dst/ro/a.txt")), "first a");
  EXPECT_EQ(ModeOf(Path("dst/ro/a.txt")), 0444u);
  EXPECT_EQ(ModeOf(Path("dst/ro/b.txt")), 0640u);
  EXPECT_EQ(ReadFile(Path("dst/ro/sub/c.txt")), "c");
  EXPECT_EQ(state_.Counters.FilesCreated, 3);
  EXPECT_EQ(state_.Counters.FoldersCreated, 2);

  // The second run replaces a read-only file inside the read-only folder.
  ASSERT_EQ(::chmod(Path("src/ro").c_str(), 0755), 0);
  ASSERT_EQ(::chmod(Path("src/ro/a.txt").c_str(), 0644), 0);
  WriteFile(Path("src/ro/a.txt"), "second a", 0444);
  SetTimes(Path("src/ro/a.txt"), kSecond);
  ASSERT_EQ(::chmod(Path("src/ro").c_str(), 0555), 0);
  state_.Counters = {};
  AsOwner([&] { MirrorFolder(run_, *entry_, Path("src"), Path("dst")); });
  EXPECT_EQ(ReadFile(Path("dst/ro/a.txt")), "second a");
  EXPECT_EQ(Lstat(Path("dst/ro/a.txt")).st_mtim.tv_nsec, kSecond.tv_nsec);
  EXPECT_EQ(state_.Counters.FilesRefreshed, 1);
  EXPECT_EQ(state_.Counters.FilesCreated, 0);
  EXPECT_EQ(ModeOf(Path("dst/ro")), 0555u);
  EXPECT_THAT(Entries(Path("dst/ro")), ElementsAre("a.txt", "b.txt", "sub"));
}

TEST_F(ReadOnlyFolderTest, SweepErasesInsideReadOnlyFoldersAndRemovesThem) {
  MakeFolder(Path("src"));
  MakeFolder(Path("src/ro"));
  WriteFile(Path("src/ro/kept.txt"), "k");
  MakeFolder(Path("dst"));
  MakeFolder(Path("dst/ro"));
  WriteFile(Path("dst/ro/kept.txt"), "k");
  WriteFile(Path("dst/ro/gone.txt"), "g", 0444);
  MakeFolder(Path("dst/ro/vanished"));
  WriteFile(Path("dst/ro/vanished/inner.txt"), "i");
  ASSERT_EQ(::chmod(Path("dst/ro/vanished").c_str(), 0555), 0);
  ASSERT_EQ(::chmod(Path("dst/ro").c_str(), 0555), 0);
  state_.BackupMode = kDuplexDestructive;

  // The sweep checks that the source folder is the one its entry named.
  entry_ = fs_.Enter({Path("src"), "", ""}, {});
  AsOwner([&] { SweepFolder(run_, *entry_, Path("dst"), Path("src")); });
  if (IsSkipped()) return;
  EXPECT_THAT(Entries(Path("dst/ro")), ElementsAre("kept.txt"));
  EXPECT_EQ(ModeOf(Path("dst/ro")), 0555u);
  EXPECT_THAT(window_.statuses,
              ::testing::Contains("Deleting empty Backup folder..."));
}

// Every entry operation on a folder of each mode: it succeeds, and the folder
// ends with exactly the mode it had, odd bits included.
class ReadOnlyFolderModeTest : public ReadOnlyFolderTest,
                               public ::testing::WithParamInterface<mode_t> {};

TEST_P(ReadOnlyFolderModeTest, EntryOperationsSucceedAndKeepTheMode) {
  const mode_t mode = GetParam();
  const std::string folder = Path("d");
  WriteFile(Path("source"), "new");
  MakeFolder(folder);
  WriteFile(folder + "/replaced", "old");
  WriteFile(folder + "/erased", "e");
  MakeFolder(folder + "/removed");
  ASSERT_EQ(::chmod(folder.c_str(), mode), 0);

  std::vector<mode_t> modes_after;
  AsOwner([&] {
    const auto step = [&](const std::function<void()>& operation) {
      operation();
      modes_after.push_back(ModeOf(folder));
    };
    step([&] { entry_->Copy(Path("source"), folder + "/replaced"); });
    step([&] { entry_->Copy(Path("source"), folder + "/created"); });
    step([&] { entry_->Delete(kAnyTree, folder + "/erased"); });
    step([&] { entry_->RemoveFolder(folder + "/removed"); });
    step([&] { entry_->CreateFolder(folder + "/made"); });
  });
  if (IsSkipped()) return;
  EXPECT_EQ(modes_after, std::vector<mode_t>(5, mode));
  ASSERT_EQ(::chmod(folder.c_str(), 0755), 0);
  EXPECT_THAT(Entries(folder), ElementsAre("created", "made", "replaced"));
  EXPECT_EQ(ReadFile(folder + "/replaced"), "new");
}

INSTANTIATE_TEST_SUITE_P(Modes, ReadOnlyFolderModeTest,
                         ::testing::Values(0555, 0500, 0444, 0000, 01555, 02555,
                                           0100, 0200));

int ErrorOf(const std::function<void()>& operation) {
  try {
    operation();
  } catch (const RunError& error) {
    return error.number();
  }
  return 0;
}

// The retry is made, fails for a reason of its own, and the mode comes back.
TEST_F(ReadOnlyFolderTest, FailedRetryKeepsTheModeAndLeavesNothing) {
  MakeFolder(Path("d"));
  MakeFolder(Path("d/full"));
  WriteFile(Path("d/full/x"), "x");
  WriteFile(Path("d/target"), "old");
  WriteFile(Path("big"), std::string(2 << 20, 'b'));
  ASSERT_EQ(::chmod(Path("d").c_str(), 0555), 0);

  int not_empty = 0;
  int too_big = 0;
  AsOwner([&] {
    not_empty = ErrorOf([&] { entry_->RemoveFolder(Path("d/full")); });
    const testing::FileSizeLimit limit(1 << 20);  // refuses the copy part-way
    ASSERT_TRUE(limit.in_force());
    too_big = ErrorOf([&] { entry_->Copy(Path("big"), Path("d/target")); });
  });
  if (IsSkipped()) return;
  EXPECT_EQ(not_empty, ENOTEMPTY);
  EXPECT_EQ(too_big, EFBIG);
  EXPECT_EQ(ModeOf(Path("d")), 0555u);
  EXPECT_THAT(Entries(Path("d")), ElementsAre("full", "target"));
  EXPECT_EQ(ReadFile(Path("d/target")), "old");
}

// A read-only folder of another owner keeps refusing, and is left alone.
TEST_F(ReadOnlyFolderTest, ForeignFolderKeepsItsRefusal) {
  if (::geteuid() != 0) GTEST_SKIP() << "needs a second user";
  WriteFile(Path("source"), "s");
  MakeFolder(Path("mine"));
  std::vector<int> errors;
  const std::string foreign = Path("foreign");
  {
    AsTreeOwner owner(root_);
    if (!owner.usable()) GTEST_SKIP() << "cannot act as an unprivileged user";
  }
  // Made after the tree became the unprivileged user's, so root keeps it.
  MakeFolder(foreign);
  WriteFile(foreign + "/file", "f");
  ASSERT_EQ(::chmod(foreign.c_str(), 0555), 0);
  AsOwner(
      [&] {
        errors.push_back(
            ErrorOf([&] { entry_->Copy(Path("source"), foreign + "/t"); }));
        errors.push_back(
            ErrorOf([&] { entry_->Delete(kAnyTree, foreign + "/file"); }));
        errors.push_back(
            ErrorOf([&] { entry_->CreateFolder(foreign + "/new"); }));
      },
      /*take_tree=*/false);
  EXPECT_THAT(errors, ElementsAre(EACCES, EACCES, EACCES));
  EXPECT_EQ(ModeOf(foreign), 0555u);
  EXPECT_THAT(Entries(foreign), ElementsAre("file"));
}

}  // namespace
}  // namespace fernwise
