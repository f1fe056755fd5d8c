// Reading ahead must stay behind the pass's own promises: it ends with the
// pass, follows no link and stays a bounded distance ahead.
#include <dirent.h>
#include <sys/inotify.h>
#include <sys/vfs.h>

#include <chrono>
#include <functional>
#include <thread>

#include <gtest/gtest.h>

#include "platform/linux/linux_read_ahead.h"
#include "tests/support/linux_temp_folder.h"

namespace fernwise {
namespace {

using linux_os::ReadAhead;
using linux_os::TreeAccess;
using testing::LinuxTempFolderTest;

size_t Threads() {
  size_t count = 0;
  DIR* tasks = ::opendir("/proc/self/task");
  while (tasks != nullptr && ::readdir(tasks) != nullptr) ++count;
  if (tasks != nullptr) ::closedir(tasks);
  return count;
}

// Waits, at most a minute, for `done`.
bool Within(const std::function<bool()>& done) {
  const auto end = std::chrono::steady_clock::now() + std::chrono::minutes(1);
  while (!done()) {
    if (std::chrono::steady_clock::now() > end) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  return true;
}

class ReadAheadTest : public LinuxTempFolderTest {
 protected:
  void SetUp() override {
    LinuxTempFolderTest::SetUp();
    struct statfs info;
    ASSERT_EQ(::statfs(root_.c_str(), &info), 0);
    // In memory nothing is read ahead: there is nothing to see here.
    if (info.f_type == 0x01021994 || info.f_type == 0x858458f6)
      GTEST_SKIP() << "the test folder is in memory";
    MakeFolder(Path("src"));
    MakeFolder(Path("dst"));
  }
  void Fill(const std::string& folder, int files) {
    for (int i = 0; i < files; ++i)
      WriteFile(folder + "/f" + std::to_string(i), "");
  }
  EntryFolders Folders() const { return {Path("src"), Path("dst"), ""}; }
};

TEST_F(ReadAheadTest, EndsWithThePassHoweverItEnds) {
  MakeFolder(Path("src/a"));
  Fill(Path("src/a"), ReadAhead::kLooksAhead + 64);
  const std::vector<
      std::pair<const char*, std::function<void(std::unique_ptr<EntryRun>&)>>>
      ends = {
          {"end of pass", [](auto& entry) { entry->EndPass(); }},
          {"settled",
           [](auto& entry) {
             std::vector<std::unique_ptr<WrittenDrive>> written;
             EXPECT_FALSE(entry->Settle(written));
           }},
          {"let go unsettled", [](auto& entry) { entry.reset(); }},
      };
  const size_t before = Threads();
  for (const auto& [how, end] : ends) {
    SCOPED_TRACE(how);
    std::unique_ptr<EntryRun> entry = fs_.Enter(Folders(), {});
    entry->BeginPass(Role::kSource);
    EXPECT_GT(Threads(), before);
    end(entry);
    EXPECT_EQ(Threads(), before);
  }
}

TEST_F(ReadAheadTest, FollowsNoLink) {
  MakeFolder(Path("outside"));
  MakeFolder(Path("outside/deeper"));
  Fill(Path("outside/deeper"), 3);
  ASSERT_EQ(::symlink(Path("outside").c_str(), Path("src/link").c_str()), 0);
  ASSERT_EQ(::symlink(Path("outside").c_str(), Path("dst/link").c_str()), 0);
  MakeFolder(Path("src/real"));
  ASSERT_EQ(::symlink("../../outside", Path("src/real/up").c_str()), 0);
  const int watch = ::inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
  ASSERT_GE(watch, 0);
  for (const char* folder : {"outside", "outside/deeper"})
    ASSERT_GE(::inotify_add_watch(watch, Path(folder).c_str(), IN_ALL_EVENTS),
              0);
  for (const Role walked : {Role::kSource, Role::kDestination}) {
    const size_t before = Threads();
    std::unique_ptr<EntryRun> entry = fs_.Enter(Folders(), {});
    entry->BeginPass(walked);
    // The helpers end by themselves once the whole tree is read.
    EXPECT_TRUE(Within([&] { return Threads() == before; }));
    entry->EndPass();
  }
  char events[4096];
  EXPECT_LT(::read(watch, events, sizeof events), 0)
      << "a folder outside the trees was opened";
  ::close(watch);
}

TEST_F(ReadAheadTest, StaysABoundedDistanceAheadAndStops) {
  // Two looks for each entry: one at the source, one at the destination.
  for (const char* folder : {"src/a", "dst/a"}) {
    MakeFolder(Path(folder));
    Fill(Path(folder), ReadAhead::kLooksAhead);
  }
  TreeAccess tree;
  tree.Hold(Folders());
  std::atomic<uint64_t> looks{0};
  ReadAhead ahead(tree);
  ahead.Start(Role::kSource, looks);
  for (const uint64_t passed : {uint64_t{0}, uint64_t{1000}}) {
    looks = passed;
    const uint64_t bound = passed + ReadAhead::kLooksAhead;
    // Where it waits for the pass, it waits within the bound.
    ASSERT_TRUE(Within([&] { return ahead.made() + 2 > bound; }));
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    EXPECT_LE(ahead.made(), bound);
  }
  ahead.Stop();
  const uint64_t made = ahead.made();
  looks = 100 * ReadAhead::kLooksAhead;
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  EXPECT_EQ(ahead.made(), made);
}

}  // namespace
}  // namespace fernwise
