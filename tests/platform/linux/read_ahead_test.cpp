// Reading ahead must stay behind the pass's own promises: it ends with the
// pass, follows no link and stays a bounded distance ahead.
#include <sys/vfs.h>

#include <chrono>
#include <filesystem>
#include <functional>
#include <iterator>
#include <thread>

#include <gtest/gtest.h>

#include "platform/linux/linux_read_ahead.h"
#include "tests/support/linux_temp_folder.h"

namespace fernwise {
namespace {

namespace fs = std::filesystem;
using linux_os::ReadAhead;

size_t Threads() {
  return std::distance(fs::directory_iterator("/proc/self/task"), {});
}

// Waits, at most a minute, until the helpers have ended or wait for the pass:
// their count of looks stays still for 50 ms.
uint64_t Settled(const ReadAhead& ahead) {
  const auto end = std::chrono::steady_clock::now() + std::chrono::minutes(1);
  for (uint64_t made = ~uint64_t{0};;) {
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    if (made == ahead.made() || std::chrono::steady_clock::now() > end)
      return made;
    made = ahead.made();
  }
}

class ReadAheadTest : public testing::LinuxTempFolderTest {
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
    tree_.Hold(Folders());
  }
  void Fill(const std::string& folder, int files) {
    fs::create_directories(folder);
    for (int i = 0; i < files; ++i)
      WriteFile(folder + "/f" + std::to_string(i), "");
  }
  EntryFolders Folders() const { return {Path("src"), Path("dst"), ""}; }
  linux_os::TreeAccess tree_;
  std::atomic<uint64_t> looks_{0};  // the pass's
};

TEST_F(ReadAheadTest, EndsWithThePassHoweverItEnds) {
  Fill(Path("src/a"), ReadAhead::kLooksAhead + 64);
  using End = std::function<void(std::unique_ptr<EntryRun>&)>;
  const std::vector<std::pair<const char*, End>> ends = {
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

// Helpers held up at the bound keep the folders they are in open: none of
// them may be outside the trees, in either tree, whichever tree is walked.
TEST_F(ReadAheadTest, FollowsNoLink) {
  Fill(Path("outside/deeper"), ReadAhead::kLooksAhead);
  Fill(Path("src/d"), ReadAhead::kLooksAhead);
  for (const char* link : {"src/link", "dst/link", "dst/d"})
    ASSERT_EQ(::symlink(Path("outside").c_str(), Path(link).c_str()), 0);
  const std::string outside = fs::canonical(Path("outside"));
  for (const Role walked : {Role::kSource, Role::kDestination}) {
    ReadAhead ahead(tree_);
    ahead.Start(walked, looks_);
    Settled(ahead);
    std::error_code closed;  // a descriptor closed while listed
    for (const auto& fd : fs::directory_iterator("/proc/self/fd"))
      EXPECT_NE(fs::read_symlink(fd, closed).string().rfind(outside, 0), 0u)
          << "opened through a link: " << fd.path();
  }
}

TEST_F(ReadAheadTest, StaysABoundedDistanceAheadAndStops) {
  // Two looks for each entry: one at the source, one at the destination.
  for (const char* folder : {"src/a", "dst/a"})
    Fill(Path(folder), ReadAhead::kLooksAhead);
  ReadAhead ahead(tree_);
  ahead.Start(Role::kSource, looks_);
  for (const uint64_t passed : {uint64_t{0}, uint64_t{1000}}) {
    looks_ = passed;
    const uint64_t bound = passed + ReadAhead::kLooksAhead;
    const uint64_t made = Settled(ahead);
    EXPECT_LE(made, bound);
    EXPECT_GT(made + 2, bound) << "it waits for the pass at the bound";
  }
  ahead.Stop();
  const uint64_t made = ahead.made();
  looks_ = 100 * ReadAhead::kLooksAhead;
  EXPECT_EQ(Settled(ahead), made);
}

}  // namespace
}  // namespace fernwise
