// The mirror pass on real temporary folders, compared with plain lstat.
#include <sys/stat.h>

#include <cstdint>
#include <map>
#include <memory>
#include <string>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "core/file_system.h"
#include "core/run_state.h"
#include "sync/mirror.h"
#include "tests/support/linux_temp_folder.h"
#include "tests/support/recording_window.h"

namespace fernwise {
namespace {

using ::testing::Contains;
using ::testing::ElementsAre;

/// What two mirrored entries must share. Folders carry no time: the pass has
/// no operation that sets one, and filling a folder changes its own.
struct Entry {
  mode_t kind;
  mode_t permissions;
  int64_t mtime_ns;
  std::string content;
  friend bool operator==(const Entry&, const Entry&) = default;
};

std::ostream& operator<<(std::ostream& out, const Entry& e) {
  return out << "{kind " << std::oct << e.kind << " mode " << e.permissions
             << std::dec << " mtime " << e.mtime_ns << " \"" << e.content
             << "\"}";
}

class MirrorRealTest : public testing::LinuxTempFolderTest {
 protected:
  void SetUp() override {
    LinuxTempFolderTest::SetUp();
    source_ = Path("src");
    dest_ = Path("dst");
    MakeFolder(source_);
    MakeFolder(dest_);
  }

  void Mirror() {
    state_.Counters = {};
    const std::unique_ptr<EntryRun> entry =
        fs_->Enter({source_, dest_, ""}, {});
    MirrorFolder(run_, *entry, source_, dest_);
  }

  /// Every entry below `folder` by its relative path, read without the code
  /// under test.
  std::map<std::string, Entry> Describe(const std::string& folder,
                                        const std::string& relative = "") {
    std::map<std::string, Entry> entries;
    for (const std::string& name : Entries(folder)) {
      const std::string path = folder + "/" + name;
      const struct stat st = Lstat(path);
      const bool is_folder = S_ISDIR(st.st_mode);
      const int64_t mtime_ns =
          st.st_mtim.tv_sec * int64_t{1'000'000'000} + st.st_mtim.tv_nsec;
      entries[relative + name] = {st.st_mode & S_IFMT, st.st_mode & 07777,
                                  is_folder ? 0 : mtime_ns,
                                  is_folder ? "" : ReadFile(path)};
      if (is_folder) entries.merge(Describe(path, relative + name + "/"));
    }
    return entries;
  }

  void BuildSourceTree() {
    ASSERT_EQ(::chmod(source_.c_str(), 0750), 0);
    WriteFile(source_ + "/plain.txt", "plain", 0644);
    WriteFile(source_ + "/.hidden", "hidden", 0600);
    WriteFile(source_ + "/script.sh", "#!/bin/sh\n", 0755);
    WriteFile(source_ + "/locked.txt", "read only", 0444);
    WriteFile(source_ + "/empty", "", 0640);
    MakeFolder(source_ + "/sub");
    MakeFolder(source_ + "/sub/deeper");
    MakeFolder(source_ + "/.config");
    WriteFile(source_ + "/sub/data.bin", std::string(100000, '\x7f'), 0664);
    WriteFile(source_ + "/sub/deeper/note", "deep", 0400);
    ASSERT_EQ(::chmod((source_ + "/sub/deeper").c_str(), 0700), 0);
    ASSERT_EQ(::chmod((source_ + "/.config").c_str(), 01777), 0);
    int nanos = 123456789;
    for (const char* name : {"plain.txt", ".hidden", "script.sh", "locked.txt",
                             "empty", "sub/data.bin", "sub/deeper/note"})
      SetTimes(source_ + "/" + name, {1772600767, nanos += 1111});
  }

  std::unique_ptr<FileSystem> fs_ = MakePlatformFileSystem();
  testing::RecordingWindow window_;
  RunState state_;
  RunContext run_{*fs_, window_, state_, [] { return 0.0; }};
  std::string source_;
  std::string dest_;
};

TEST_F(MirrorRealTest, MirroredTreeIsIdenticalAndSecondRunChangesNothing) {
  BuildSourceTree();
  Mirror();
  const std::map<std::string, Entry> source = Describe(source_);
  EXPECT_EQ(Describe(dest_), source);
  EXPECT_EQ(source.size(), 10u);
  EXPECT_EQ(Lstat(dest_).st_mode & 07777, 0750u);
  const RunCounters& first = state_.Counters;
  EXPECT_EQ(first.FilesCreated, 7);
  EXPECT_EQ(first.FoldersCreated, 3);
  EXPECT_EQ(first.FilesRefreshed, 0);

  window_.statuses.clear();
  Mirror();
  const RunCounters& second = state_.Counters;
  EXPECT_EQ(second.FilesScanned, 7);
  EXPECT_EQ(second.FoldersScanned, 3);
  EXPECT_EQ(second.FilesCreated + second.FoldersCreated +
                second.FilesRefreshed + second.FoldersRefreshed,
            0);
  for (const std::string& text : window_.statuses)
    EXPECT_TRUE(text.rfind("Seeking ", 0) == 0 ||
                text.rfind("Comparing ", 0) == 0)
        << text;
  EXPECT_EQ(Describe(dest_), source);
}

TEST_F(MirrorRealTest, PermissionOrTimeChangeAloneIsMirrored) {
  BuildSourceTree();
  Mirror();
  ASSERT_EQ(::chmod((source_ + "/plain.txt").c_str(), 0600), 0);
  ASSERT_EQ(::chmod((source_ + "/sub").c_str(), 0711), 0);
  SetTimes(source_ + "/sub/data.bin", {1772600767, 1});  // an older time
  window_.statuses.clear();
  Mirror();
  EXPECT_THAT(window_.statuses,
              Contains("Refreshing attributes of " + dest_ + "/plain.txt..."));
  EXPECT_THAT(window_.statuses, Contains("Refreshing " + dest_ + "/sub..."));
  EXPECT_THAT(window_.statuses,
              Contains("Refresing " + dest_ + "/sub/data.bin..."));
  EXPECT_EQ(state_.Counters.FilesRefreshed, 2);
  EXPECT_EQ(state_.Counters.FoldersRefreshed, 1);
  EXPECT_EQ(Describe(dest_), Describe(source_));
}

}  // namespace
}  // namespace fernwise
