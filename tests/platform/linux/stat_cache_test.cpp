// Reading an entry once per pass must never show a state the program itself
// has since changed, nor outlast the pass.
#include <functional>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "core/path_probe.h"
#include "core/run_error.h"
#include "platform/linux/linux_file_system.h"
#include "tests/support/linux_temp_folder.h"

namespace fernwise {
namespace {

using testing::kAnyTree;

using testing::LinuxTempFolderTest;

uint32_t Perms(mode_t mode) { return static_cast<uint32_t>(mode) << 16; }

class LinuxStatCacheTest : public LinuxTempFolderTest {
 protected:
  void SetUp() override {
    LinuxTempFolderTest::SetUp();
    MakeFolder(Path("src"));
    MakeFolder(Path("dst"));
    WriteFile(Path("src/f"), "new content", 0640);
    SetTimes(Path("src/f"), {2'000, 0});
    WriteFile(Path("dst/f"), "old", 0600);
    SetTimes(Path("dst/f"), {1'000, 0});
  }

  // Every question a pass asks of one entry, so that each is cached first.
  void ReadAll(const std::string& path) {
    ASSERT_TRUE(PathExists(*entry_, kAnyTree, path));
    entry_->ReadAttributes(kAnyTree, path);
    entry_->LastModified(kAnyTree, path);
    entry_->Length(kAnyTree, path);
  }
};

TEST_F(LinuxStatCacheTest, TheProgramsOwnChangesShowAtOnce) {
  struct Case {
    const char* what;
    std::function<void()> change;
    std::function<void()> check;
  };
  const std::string f = Path("dst/f");
  const std::vector<Case> cases = {
      {"copy over", [&] { entry_->Copy(Path("src/f"), f); },
       [&] {
         EXPECT_EQ(entry_->LastModified(kAnyTree, f).ns, 2'000'000'000'000);
         EXPECT_EQ(entry_->Length(kAnyTree, f), 11);
         EXPECT_EQ(entry_->ReadAttributes(kAnyTree, f), Perms(0640));
       }},
      {"mask set",
       [&] { entry_->SetAttributes(f, Perms(0444) | kAttrReadOnly); },
       [&] {
         EXPECT_EQ(entry_->ReadAttributes(kAnyTree, f),
                   Perms(0444) | kAttrReadOnly);
       }},
      {"delete", [&] { entry_->Delete(kAnyTree, f); },
       [&] {
         EXPECT_FALSE(PathExists(*entry_, kAnyTree, f));
         EXPECT_THROW(entry_->ReadAttributes(kAnyTree, f), RunError);
       }},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    WriteFile(f, "old", 0600);
    SetTimes(f, {1'000, 0});
    entry_->BeginPass(Role::kSource);
    ReadAll(Path("src/f"));
    ReadAll(f);
    c.change();
    c.check();
  }
}

// The sweep's looks for source sides are answered by one listing of the
// source folder: a name it lacks is still looked for, an erase's look afresh
// sees past it, and the next pass lists anew.
TEST_F(LinuxStatCacheTest, ASweepsSourceListingHidesNoChange) {
  const std::unique_ptr<EntryRun> entry =
      fs_.Enter({Path("src"), Path("dst"), ""}, {});
  entry->BeginPass(Role::kDestination);
  EXPECT_TRUE(PathExists(*entry, Role::kSource, Path("src/f")));
  WriteFile(Path("src/g"), "");
  ASSERT_EQ(::unlink(Path("src/f").c_str()), 0);
  EXPECT_TRUE(PathExists(*entry, Role::kSource, Path("src/g")));
  EXPECT_FALSE(entry->ExistsAfresh(Role::kSource, Path("src/f")));
  entry->BeginPass(Role::kDestination);
  EXPECT_FALSE(PathExists(*entry, Role::kSource, Path("src/f")));
  // A folder of many names: each is answered for, and no other.
  for (int i = 0; i < 60; i += 2)
    WriteFile(Path("src/n" + std::to_string(i)), "");
  entry->BeginPass(Role::kDestination);
  for (int i = 0; i < 60; ++i)
    EXPECT_EQ(
        PathExists(*entry, Role::kSource, Path("src/n" + std::to_string(i))),
        i % 2 == 0)
        << i;
  // Folders inside one another, more than are kept listed at once, walked
  // down and back up as the sweep walks them: each answers for its own names.
  std::vector<std::string> chain{Path("src/d")};
  for (int i = 0; i < 10; ++i) {
    if (i > 0) chain.push_back(chain.back() + "/d");
    MakeFolder(chain[i]);
    WriteFile(chain[i] + "/f" + std::to_string(i), "");
  }
  entry->BeginPass(Role::kDestination);
  for (int step = 0; step < 20; ++step) {
    const int i = step < 10 ? step : 19 - step;
    for (int name : {i - 1, i, i + 1})
      EXPECT_EQ(PathExists(*entry, Role::kSource,
                           chain[i] + "/f" + std::to_string(name)),
                name == i)
          << chain[i] << " f" << name;
  }
}

TEST_F(LinuxStatCacheTest, AMaskSetThroughAHardLinkShowsOnEveryName) {
  ASSERT_EQ(::link(Path("dst/f").c_str(), Path("dst/g").c_str()), 0);
  ReadAll(Path("dst/g"));
  ReadAll(Path("dst/f"));
  entry_->SetAttributes(Path("dst/f"), Perms(0700));
  EXPECT_EQ(entry_->ReadAttributes(kAnyTree, Path("dst/g")), Perms(0700));
}

TEST_F(LinuxStatCacheTest, AFolderRemovedAndMadeAgainIsReadAfresh) {
  MakeFolder(Path("dst/sub"));
  WriteFile(Path("dst/sub/x"), "", 0600);
  ReadAll(Path("dst/sub/x"));
  entry_->Delete(kAnyTree, Path("dst/sub/x"));
  entry_->RemoveFolder(Path("dst/sub"));
  entry_->CreateFolder(Path("dst/sub"));
  EXPECT_FALSE(PathExists(*entry_, kAnyTree, Path("dst/sub/x")));
  WriteFile(Path("dst/sub/x"), "", 0444);
  EXPECT_EQ(entry_->ReadAttributes(kAnyTree, Path("dst/sub/x")),
            Perms(0444) | kAttrReadOnly);
}

TEST_F(LinuxStatCacheTest, AChangeFromOutsideShowsFromTheNextPass) {
  ReadAll(Path("dst/f"));
  ASSERT_EQ(::chmod(Path("dst/f").c_str(), 0400), 0);
  entry_->BeginPass(Role::kSource);
  EXPECT_EQ(entry_->ReadAttributes(kAnyTree, Path("dst/f")),
            Perms(0400) | kAttrReadOnly);
  ASSERT_EQ(::unlink(Path("dst/f").c_str()), 0);
  entry_->BeginPass(Role::kSource);
  EXPECT_FALSE(PathExists(*entry_, kAnyTree, Path("dst/f")));
}

// Read by name in a held folder, a path must still mean what lstat makes of
// it: a trailing slash follows a link, and "." and ".." are not names.
TEST_F(LinuxStatCacheTest, PathsReadByNameMeanWhatTheWholePathMeans) {
  ASSERT_EQ(::symlink("src", Path("link").c_str()), 0);
  ASSERT_EQ(::chmod(Path("src").c_str(), 0750), 0);
  struct Case {
    std::string path;
    uint32_t mask;
  };
  const std::vector<Case> cases = {
      {Path("link"), Perms(0777)},
      {Path("link/"), kAttrFolder | Perms(0750)},
      {Path("link/f"), Perms(0640)},
      // The hidden bit follows the last name, dots included.
      {Path("src/."), kAttrFolder | kAttrHidden | Perms(0750)},
      {Path("src/.."),
       kAttrFolder | kAttrHidden | Perms(Lstat(root_).st_mode & 07777)},
      {Path("dst/../src/f"), Perms(0640)},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(entry_->ReadAttributes(kAnyTree, c.path), c.mask) << c.path;
    entry_->ReadAttributes(kAnyTree,
                           Path("dst/f"));  // evicts, so the next is read anew
  }
}

TEST_F(LinuxStatCacheTest, EntriesUnderAFileOrAMissingFolderAreMissing) {
  EXPECT_FALSE(PathExists(*entry_, kAnyTree, Path("dst/f/x")));
  EXPECT_FALSE(PathExists(*entry_, kAnyTree, Path("nowhere/x")));
  EXPECT_FALSE(PathExists(*entry_, kAnyTree, Path("nowhere/x")));
  MakeFolder(Path("nowhere"));
  WriteFile(Path("nowhere/x"), "");
  entry_->BeginPass(Role::kSource);
  EXPECT_TRUE(PathExists(*entry_, kAnyTree, Path("nowhere/x")));
}

TEST_F(LinuxStatCacheTest, TheListingSortsEntriesAsTheirAttributesWould) {
  MakeFolder(Path("src/sub"));
  ASSERT_EQ(::symlink("sub", Path("src/to_sub").c_str()), 0);
  ASSERT_EQ(::mkfifo(Path("src/pipe").c_str(), 0600), 0);
  int named = 0;
  for (std::string name = entry_->StartListing(kAnyTree, Path("src/"));
       !name.empty(); name = entry_->NextName()) {
    const std::optional<bool> listed = entry_->ListedIsFolder();
    if (!listed) continue;  // a file system that does not tell
    const uint32_t mask = entry_->ReadAttributes(kAnyTree, Path("src/") + name);
    EXPECT_EQ(*listed, (mask & kAttrFolder) != 0) << name;
    ++named;
  }
  EXPECT_FALSE(entry_->ListedIsFolder().has_value());
  if (named == 0) GTEST_SKIP() << "this file system gives no kinds";
  EXPECT_EQ(named, 6);  // ".", "..", f, sub, to_sub, pipe
}

}  // namespace
}  // namespace fernwise
