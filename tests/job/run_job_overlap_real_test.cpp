// The run driver refuses overlapping folders on real folders, where a link
// can make two different paths name one tree.
#include <sched.h>
#include <sys/mount.h>
#include <sys/wait.h>
#include <unistd.h>

#include <climits>
#include <string>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "core/run_state.h"
#include "job/run_job.h"
#include "tests/support/linux_temp_folder.h"
#include "tests/support/recording_window.h"

namespace fernwise {
namespace {

struct OverlapCase {
  const char* label;
  const char* link_target;  // made as "link" in the run's folder
  const char* script;
  const char* message;  // "" for none
  bool bind = false;    // "link" is a bind mount of the target instead
};

class RunJobOverlapRealTest
    : public testing::LinuxTempFolderTest,
      public ::testing::WithParamInterface<OverlapCase> {
 protected:
  void SetUp() override {
    LinuxTempFolderTest::SetUp();
    ASSERT_NE(::getcwd(saved_cwd_, sizeof saved_cwd_), nullptr);
    ASSERT_EQ(::chdir(root_.c_str()), 0);
  }
  void TearDown() override {
    EXPECT_EQ(::chdir(saved_cwd_), 0);
    LinuxTempFolderTest::TearDown();
  }

  // Runs the script, and checks that it was refused with `c.message` before
  // anything was copied, or ran.
  void RunAndCheck(const OverlapCase& c);

  char saved_cwd_[PATH_MAX] = {};
  testing::RecordingWindow window_;
  RunState state_;
  RunContext run_{fs_, window_, state_, [] { return 0.0; }};
};

TEST_P(RunJobOverlapRealTest, RefusesOverlapSeenThroughLinks) {
  const OverlapCase& c = GetParam();
  for (const char* folder : {"src", "src/inner", "dst", "dst/old", "src2"})
    MakeFolder(Path(folder));
  WriteFile(Path("src/file.txt"), "f");
  WriteFile(Path("Setup.ini"), c.script);
  if (!c.bind) {
    ASSERT_EQ(::symlink(c.link_target, Path("link").c_str()), 0);
    return RunAndCheck(c);
  }
  MakeFolder(Path("link"));
  const int status = testing::InOwnMounts(
      [&] {
        return ::mount(Path(c.link_target).c_str(), Path("link").c_str(),
                       nullptr, MS_BIND, nullptr) == 0;
      },
      [&] { RunAndCheck(c); });
  if (status == 77) GTEST_SKIP() << "cannot make a mount namespace of its own";
  EXPECT_EQ(status, 0);
}

void RunJobOverlapRealTest::RunAndCheck(const OverlapCase& c) {
  RunBackupJob(run_);
  if (*c.message == '\0') {
    EXPECT_THAT(window_.messages, ::testing::IsEmpty());
  } else {
    EXPECT_THAT(window_.messages, ::testing::ElementsAre(c.message));
    // Refused before either pass: nothing was copied anywhere.
    EXPECT_THAT(Entries(Path("dst")), ::testing::ElementsAre("old"));
    EXPECT_THAT(Entries(Path("src/inner")), ::testing::IsEmpty());
  }
  EXPECT_FALSE(window_.report.empty());
  EXPECT_TRUE(window_.button_enabled);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, RunJobOverlapRealTest,
    ::testing::Values(
        OverlapCase{"DestInsideSource", "src/inner", "BACKUP, src, link\n",
                    "Destination (link) lies inside Source (src)!"},
        OverlapCase{"SourceInsideDest", "dst/old", "BACKUP, link, dst\n",
                    "Source (link) lies inside Destination (dst)!"},
        OverlapCase{"SecondaryInsideDest", "dst/old",
                    "MODE, DUP-PRE, link\nBACKUP, src, dst\n",
                    "Secondary Backup Folder (link) lies inside Destination "
                    "(dst)!"},
        OverlapCase{"SecondaryIsDest", "dst",
                    "MODE, DUP-PRE, link\nBACKUP, src, dst\n",
                    "Secondary Backup Folder (link) lies inside Destination "
                    "(dst)!"},
        // A secondary folder inside the destination matters in mode 3 only.
        OverlapCase{"SecondaryIgnoredOutsideMode3", "dst/old",
                    "MODE, DUP-PRE, link\nMODE, SIM\nBACKUP, src, src2\n", ""},
        OverlapCase{"SameFolderAllowed", "src", "BACKUP, src, link\n", ""},
        // A bind mount makes a folder appear elsewhere without a link.
        OverlapCase{"DestThroughABindOfSource", "src",
                    "BACKUP, src, link/inner\n",
                    "Destination (link/inner) lies inside Source (src)!", true},
        OverlapCase{"SourceThroughABindOfDest", "dst",
                    "BACKUP, link/old, dst\n",
                    "Source (link/old) lies inside Destination (dst)!", true},
        // Mounted away from its parent: no walk up from it meets the source.
        OverlapCase{"DestThroughABindOfASourceFolder", "src/inner",
                    "BACKUP, src, link\n",
                    "Destination (link) lies inside Source (src)!", true},
        OverlapCase{"SiblingWithCommonPrefix", "src2", "BACKUP, src, link\n",
                    ""}),
    [](const auto& info) { return std::string(info.param.label); });

}  // namespace
}  // namespace fernwise
