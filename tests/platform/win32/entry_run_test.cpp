// What keeps an entry's run safe on Windows (or Wine): held folders, the
// source checked by its file ID, what a drive keeps, the flush before the
// report and the settling of an entry, however it ended.
#include <atomic>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "core/path_probe.h"
#include "core/run_error.h"
#include "core/run_state.h"
#include "platform/win32/flush.h"
#include "sync/mirror.h"
#include "tests/platform/win32/temp_folder.h"
#include "tests/support/recording_window.h"

namespace fernwise {
namespace {

using ::testing::ElementsAre;
using ::testing::Contains;
using ::testing::HasSubstr;
using ::testing::IsEmpty;
using ::testing::Not;
using testing::UnderWine;

constexpr int64_t kSecond = 1'000'000'000;

class Win32EntryRunTest : public testing::Win32TempFolderTest {
 protected:
  std::unique_ptr<EntryRun> Enter(const std::string& source,
                                  const std::string& dest,
                                  const std::string& secondary = "") {
    return fs_.Enter({source, dest, secondary}, nullptr);
  }
  bool Rename(const std::string& from, const std::string& to) {
    return MoveFileExW(win32::WidenPath(from).c_str(),
                       win32::WidenPath(to).c_str(), 0);
  }

  // A folder of this test's own on `drive`, named as its temporary folder.
  std::string MakeFolderOn(const char* drive) {
    const std::string folder =
        std::string(drive) + "\\" + root_.substr(root_.find_last_of('\\') + 1);
    MakeFolder(folder);
    return folder;
  }

  std::vector<std::unique_ptr<WrittenDrive>> written_;
};

// Nothing can rename, remove or replace a named folder while its entry
// runs; below it, everything goes on as usual; settled, it is let go.
TEST_F(Win32EntryRunTest, NamedFoldersAreHeldUntilTheEntryIsSettled) {
  for (const char* name : {"src", "dst", "old"}) MakeFolder(Path(name));
  auto entry = Enter(Path("src"), Path("dst"), Path("old"));
  for (const char* name : {"src", "dst", "old"}) {
    EXPECT_FALSE(Rename(Path(name), Path("moved"))) << name;
    EXPECT_EQ(GetLastError(), DWORD(ERROR_SHARING_VIOLATION)) << name;
    EXPECT_FALSE(RemoveDirectoryW(win32::WidenPath(Path(name)).c_str()));
  }
  WriteFile(Path("dst\\f"), "x");
  EXPECT_TRUE(Rename(Path("dst\\f"), Path("dst\\g")));
  EXPECT_FALSE(entry->Settle(written_).has_value());
  EXPECT_TRUE(Rename(Path("src"), Path("moved")));
}

// Where another program holds the source with leave to delete it, the entry
// holds it sharing that; a folder put in its place is then told by its file
// ID, where a look by the path would find "the source" there.
TEST_F(Win32EntryRunTest, ASourceReplacedIsToldByItsFileId) {
  MakeFolder(Path("src"));
  MakeFolder(Path("dst"));
  HANDLE other = CreateFileW(
      win32::WidenPath(Path("src")).c_str(), DELETE | FILE_READ_ATTRIBUTES,
      FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
      OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
  ASSERT_NE(other, INVALID_HANDLE_VALUE);
  auto entry = Enter(Path("src"), Path("dst"));
  CloseHandle(other);
  EXPECT_TRUE(entry->SourceStillThere());
  ASSERT_TRUE(Rename(Path("src"), Path("src-old")));
  EXPECT_FALSE(entry->SourceStillThere());
  MakeFolder(Path("src"));
  EXPECT_TRUE(entry->ExistsAfresh(Role::kSource, Path("src")));
  EXPECT_FALSE(entry->SourceStillThere());
  ASSERT_TRUE(RemoveDirectoryW(win32::WidenPath(Path("src")).c_str()));
  ASSERT_TRUE(Rename(Path("src-old"), Path("src")));
  EXPECT_TRUE(entry->SourceStillThere());
  // A file named as the source is no folder to hold.
  WriteFile(Path("file"), "x");
  EXPECT_FALSE(Enter(Path("file"), Path("dst"))->SourceStillThere());
}

TEST_F(Win32EntryRunTest, ExistsAfreshLooksPastWhatThePassRead) {
  WriteFile(Path("f"), "x");
  entry_->BeginPass(Role::kSource);
  EXPECT_EQ(entry_->Length(Role::kDestination, Path("f")), 1);
  ASSERT_TRUE(DeleteFileW(win32::WidenPath(Path("f")).c_str()));
  EXPECT_EQ(entry_->Length(Role::kDestination, Path("f")), 1);
  EXPECT_FALSE(entry_->ExistsAfresh(Role::kDestination, Path("f")));
}

// What the drive keeps is learnt with a probe file that leaves nothing
// behind, not even a moved folder time; the source, never written to, is
// taken by its type.
TEST_F(Win32EntryRunTest, ADestinationsTraitsAreLearntWithoutATrace) {
  constexpr int64_t kTicks = 132592959671234567;
  MakeFolder(Path("src"));
  MakeFolder(Path("dst"));
  SetWriteTime(Path("dst"), kTicks);
  auto entry = Enter(Path("src"), Path("dst"));
  const DriveTraits traits = entry->Traits(Role::kDestination, Path("dst"));
  // Wine keeps read-only, hidden and system, and shows every file archived.
  const uint32_t kept =
      kAttrReadOnly | kAttrHidden | kAttrSystem | kAttrFolder |
      (UnderWine() ? 0 : kAttrArchive | FILE_ATTRIBUTE_NOT_CONTENT_INDEXED);
  EXPECT_EQ(traits.kept_bits & win32::kMaskBits, kept);
  EXPECT_EQ(traits.time_step_ns, 100);
  EXPECT_TRUE(traits.ignores_case);
  EXPECT_TRUE(traits.rename_keeps_time);
  EXPECT_EQ(traits.name_limit, 255u);
  EXPECT_THAT(Entries(Path("dst")), IsEmpty());
  EXPECT_EQ(WriteTicks(Path("dst")), kTicks);
  EXPECT_EQ(entry->Traits(Role::kSource, Path("src")).kept_bits, ~uint32_t{0});
}

// On a FAT32 drive (scripts/wine-tests.sh mounts one as FERNWISE_FAT_DRIVE,
// which Wine calls NTFS): 2-second steps, "not content indexed" dropped, and
// a copy keeps its time though fusefat gives a renamed file the time of the
// rename.
TEST_F(Win32EntryRunTest, AFatDriveIsLearntWhateverItCallsItself) {
  const char* drive = std::getenv("FERNWISE_FAT_DRIVE");
  if (drive == nullptr) GTEST_SKIP() << "no FAT drive (FERNWISE_FAT_DRIVE)";
  const std::string dest = MakeFolderOn(drive);
  WriteFile(Path("f"), "x");
  SetWriteTime(Path("f"), 132592959671234567);
  auto entry = Enter(root_, dest);
  const DriveTraits traits = entry->Traits(Role::kDestination, dest);
  EXPECT_EQ(traits.time_step_ns, 2 * kSecond);
  EXPECT_EQ(traits.kept_bits & FILE_ATTRIBUTE_NOT_CONTENT_INDEXED, 0u);
  entry->Copy(Path("f"), dest + "\\f");
  const int64_t copied = WriteTicks(dest + "\\f");
  EXPECT_LT(132592959671234567 - copied, 2 * kSecond / 100);
  EXPECT_GE(132592959671234567 - copied, 0);
  entry->Delete(Role::kDestination, dest + "\\f");
  entry.reset();
  EXPECT_TRUE(RemoveDirectoryW(win32::WidenPath(dest).c_str()));
}

class Win32FatDriveRootTest : public Win32EntryRunTest,
                              public ::testing::WithParamInterface<const char*> {
};

// A FAT drive's root ("E:" or "E:\\") as destination of a folder with the
// read-only, hidden and system bits (those Windows keeps on folders): the
// empty root is found, keeps the volume's own bits, and a second run finds
// everything intact.
TEST_P(Win32FatDriveRootTest, TakesABackupTwice) {
  const char* drive = std::getenv("FERNWISE_FAT_DRIVE");
  if (drive == nullptr) GTEST_SKIP() << "no FAT drive (FERNWISE_FAT_DRIVE)";
  const std::string dest = std::string(drive) + GetParam();
  std::string source = Path("src");
  MakeFolder(source);
  WriteFile(source + "\\a", "a");
  SetMask(source, FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN |
                      FILE_ATTRIBUTE_SYSTEM);
  // Wine reads a folder as read-only by its host mode alone, which the test
  // script gives a folder of its own.
  if (const char* prepared = std::getenv("FERNWISE_LINK_FOLDER");
      prepared && !(Mask(source) & FILE_ATTRIBUTE_READONLY))
    source = prepared + std::string("\\readonly");
  testing::RecordingWindow window;
  RunState state;
  RunContext run{fs_, window, state, [] { return 0.0; }};
  for (int pass = 0; pass < 2; ++pass) {
    auto entry = Enter(source, dest);
    EXPECT_TRUE(PathExists(*entry, Role::kDestination, dest));
    EXPECT_NO_THROW(MirrorFolder(run, *entry, source, dest));
  }
  EXPECT_EQ(state.Counters.FilesCreated, 1);
  EXPECT_EQ(state.Counters.FilesRefreshed, 0);
  EXPECT_THAT(window.statuses, Not(Contains(HasSubstr("Refreshing"))));
  EXPECT_EQ(ReadFile(std::string(drive) + "\\a"), "a");
  SetMask(Path("src"), FILE_ATTRIBUTE_NORMAL);
  EXPECT_TRUE(DeleteFileW(win32::WidenPath(std::string(drive) + "\\a").c_str()));
}

INSTANTIATE_TEST_SUITE_P(Spellings, Win32FatDriveRootTest,
                         ::testing::Values("", "\\"));

// What a FAT drive cannot hold is left out with its reason: names it
// refuses (fusefat takes no name that is not ASCII), a folder with all it
// holds, and a file of 4 GiB, before anything is written. The run goes on,
// and a second one leaves them out again and changes nothing.
TEST_F(Win32EntryRunTest, EntriesAFatDriveCannotHoldAreLeftOut) {
  const char* drive = std::getenv("FERNWISE_FAT_DRIVE");
  if (drive == nullptr) GTEST_SKIP() << "no FAT drive (FERNWISE_FAT_DRIVE)";
  const std::string dest = MakeFolderOn(drive);
  MakeFolder(Path("src"));
  MakeFolder(Path("src\\\xc3\xbc"));
  for (const char* name : {"a", "\xc3\xa9.txt", "\xc3\xbc\\b"})
    WriteFile(Path("src\\") + name, name);
  {  // sparse: nothing of it is written
    const win32::FileHandle big(CreateFileW(
        win32::WidenPath(Path("src\\big")).c_str(), GENERIC_WRITE, 0, nullptr,
        CREATE_NEW, 0, nullptr));
    LARGE_INTEGER end{};
    end.QuadPart = int64_t{1} << 32;
    ASSERT_TRUE(SetFilePointerEx(big.get(), end, nullptr, FILE_BEGIN) &&
                SetEndOfFile(big.get()));
  }
  testing::RecordingWindow window;
  RunState state;
  RunContext run{fs_, window, state, [] { return 0.0; }};
  for (int pass = 0; pass < 2; ++pass) {
    auto entry = Enter(Path("src"), dest);
    EXPECT_NO_THROW(MirrorFolder(run, *entry, Path("src"), dest));
  }
  EXPECT_THAT(Entries(dest), ElementsAre("a"));
  EXPECT_EQ(state.Counters.FilesCreated, 1);
  ASSERT_EQ(state.LeftOut.size(), 6u);
  EXPECT_THAT(state.LeftOut[0], HasSubstr("a file this large"));
  EXPECT_THAT(state.LeftOut[1], HasSubstr("cannot hold this name"));
  EXPECT_TRUE(DeleteFileW(win32::WidenPath(dest + "\\a").c_str()));
  EXPECT_TRUE(RemoveDirectoryW(win32::WidenPath(dest).c_str()));
}

// Everything an entry changed, a failed copy after it too, goes to one
// drive for each volume; a later entry on the same volume adds its folders
// to that drive; the flush reaches them all, one removed since included,
// without failing.
TEST_F(Win32EntryRunTest, SettleHandsEachDriveOverOnceForTheFlush) {
  for (const char* name : {"src", "dst", "old"}) MakeFolder(Path(name));
  WriteFile(Path("src\\f"), "x");
  auto entry = Enter(Path("src"), Path("dst"), Path("old"));
  entry->CreateFolder(Path("dst\\sub"));
  entry->Copy(Path("src\\f"), Path("dst\\sub\\f"));
  entry->CopyToNewName(Path("dst\\sub\\f"), Path("old\\f.1"));
  EXPECT_THROW(entry->Copy(Path("src\\missing"), Path("dst\\sub\\g")),
               RunError);
  EXPECT_FALSE(entry->Settle(written_).has_value());
  ASSERT_EQ(written_.size(), 1u);
  EXPECT_EQ(written_[0]->Shown(), Path("dst"));
  auto later = Enter(Path("src"), Path("old"));
  later->CreateFolder(Path("old\\gone"));
  later->RemoveFolder(Path("old\\gone"));
  EXPECT_FALSE(later->Settle(written_).has_value());
  EXPECT_EQ(written_.size(), 1u);
  EXPECT_THAT(Entries(Path("dst\\sub")), ElementsAre("f"));
  ASSERT_TRUE(DeleteFileW(win32::WidenPath(Path("dst\\sub\\f")).c_str()));
  ASSERT_TRUE(RemoveDirectoryW(win32::WidenPath(Path("dst\\sub")).c_str()));
  std::vector<std::pair<int64_t, int64_t>> told;
  written_[0]->Flush(
      [&](int64_t done, int64_t total) { told.emplace_back(done, total); });
  // A quick flush tells nothing; a slow one ends its step (see below).
  if (!told.empty()) {
    EXPECT_EQ(told.back().first, told.back().second);
  }
}

// A flush that takes long (a large copy onto a USB disk) runs on a helper
// thread; the calling thread, the window's, is told meanwhile how far it is
// and answers, until it ends.
TEST(Win32FlushTest, ASlowFlushLetsTheCallingThreadAnswer) {
  const std::thread::id caller = std::this_thread::get_id();
  std::atomic<int64_t> done{0};
  std::vector<std::pair<int64_t, int64_t>> told;
  bool on_caller = true;
  const DWORD result = win32::FlushAnswering(
      [&]() -> DWORD {
        for (int folder = 0; folder < 3; ++folder, ++done) Sleep(100);
        return ERROR_DISK_FULL;
      },
      [&](int64_t now, int64_t total) {
        on_caller &= std::this_thread::get_id() == caller;
        told.emplace_back(now, total);
      },
      &done, 3);
  EXPECT_EQ(result, DWORD(ERROR_DISK_FULL));
  EXPECT_TRUE(on_caller);
  ASSERT_GE(told.size(), 4u);
  EXPECT_EQ(told.back(), std::make_pair(int64_t{1}, int64_t{1}));
  for (size_t i = 0; i + 1 < told.size(); ++i) {
    EXPECT_EQ(told[i].second, 3);
    EXPECT_LT(told[i].first, 3);
  }
}

}  // namespace
}  // namespace fernwise
