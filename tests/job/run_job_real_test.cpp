// A whole run on real folders: a script with every keyword and every mode.
#include <unistd.h>

#include <algorithm>
#include <climits>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "core/run_state.h"
#include "job/run_job.h"
#include "tests/support/linux_temp_folder.h"
#include "tests/support/recording_window.h"

namespace fernwise {
namespace {

using ::testing::ElementsAre;
using ::testing::HasSubstr;
using ::testing::StartsWith;

constexpr timespec kOlder{1767139200, 0};
constexpr timespec kNewer{1772600767, 0};

// Runs the test inside `folder` and goes back afterwards.
class InFolder {
 public:
  explicit InFolder(const std::string& folder) {
    if (::getcwd(saved_, sizeof saved_) == nullptr) saved_[0] = '\0';
    EXPECT_EQ(::chdir(folder.c_str()), 0) << folder;
  }
  ~InFolder() {
    if (saved_[0] != '\0') {
      EXPECT_EQ(::chdir(saved_), 0);
    }
  }

 private:
  char saved_[PATH_MAX];
};

class RunJobRealTest : public testing::LinuxTempFolderTest {
 protected:
  // The name a secondary copy of `source_side_path` takes.
  static std::string Flattened(std::string source_side_path) {
    std::replace(source_side_path.begin(), source_side_path.end(), '/', '.');
    return source_side_path;
  }

  testing::RecordingWindow window_;
  RunState state_;
  RunContext run_{fs_, window_, state_, [] { return 100.0; }};
};

TEST_F(RunJobRealTest, RunsEveryKeywordInEveryMode) {
  for (const char* folder : {"src", "src/sub", "old", "keep", "wipe", "add"})
    MakeFolder(Path(folder));
  WriteFile(Path("src/a.txt"), "A");
  WriteFile(Path("src/sub/b.txt"), "B");
  SetTimes(Path("src/a.txt"), kNewer);
  WriteFile(Path("keep/a.txt"), "old A");  // refreshed, its old text kept
  SetTimes(Path("keep/a.txt"), kOlder);
  WriteFile(Path("keep/stale.txt"), "stale");  // erased, its text kept
  WriteFile(Path("wipe/gone.txt"), "gone");    // erased outright
  WriteFile(Path("add/extra.txt"), "extra");   // left alone
  WriteFile(Path("Setup.ini"),
            "MODE, DUPLEX-PRESERVING, " + Path("old") + "\r\n" + "BACKUP, " +
                Path("src") + ", " + Path("keep") + "\r\n" +
                "mode, dup-des\r\n" + "Backup, " + Path("src") + ", " +
                Path("wipe") + "\r\n" + "MODE, SIMPLEX\r\n" + "BACKUP, " +
                Path("src") + ", " + Path("add") + "\r\n" +
                "STOREFOLDERTREE, " + Path("wipe") + ", " + Path("tree.txt") +
                "\r\n");
  {
    InFolder in_root(root_);
    RunBackupJob(run_);
  }

  for (const char* folder : {"keep", "wipe"}) {
    EXPECT_THAT(Entries(Path(folder)), ElementsAre("a.txt", "sub")) << folder;
    EXPECT_EQ(ReadFile(Path(folder) + "/a.txt"), "A");
    EXPECT_EQ(ReadFile(Path(folder) + "/sub/b.txt"), "B");
  }
  EXPECT_THAT(Entries(Path("add")), ElementsAre("a.txt", "extra.txt", "sub"));
  const std::string a_copy = Flattened(Path("src/a.txt")) + ".1";
  const std::string stale_copy = Flattened(Path("src/stale.txt")) + ".1";
  EXPECT_THAT(Entries(Path("old")), ElementsAre(a_copy, stale_copy));
  EXPECT_EQ(ReadFile(Path("old/") + a_copy), "old A");
  EXPECT_EQ(ReadFile(Path("old/") + stale_copy), "stale");

  const std::string tree = ReadFile(Path("tree.txt"));
  EXPECT_THAT(tree, StartsWith("nul, " + Path("wipe") + "\r\n"));
  EXPECT_THAT(tree, HasSubstr("sub,<DIR>, "));
  EXPECT_THAT(tree, HasSubstr("\r\na.txt,FILE, 1 ,"));
  EXPECT_THAT(
      tree, HasSubstr("\r\nnul, " + Path("wipe/sub") + "\r\nb.txt,FILE, 1 ,"));
  EXPECT_EQ(std::count(tree.begin(), tree.end(), '\n'), 5) << tree;

  EXPECT_THAT(window_.report, StartsWith("Done in 00:00!\r\n"));
  EXPECT_THAT(window_.report, HasSubstr(" 5 files newly created and\r\n"));
  EXPECT_THAT(window_.report, HasSubstr(" 1 files refreshed."));
  EXPECT_TRUE(window_.messages.empty());
  EXPECT_TRUE(window_.button_enabled);
}

}  // namespace
}  // namespace fernwise
