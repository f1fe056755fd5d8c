#include <linux/fs.h>
#include <sched.h>
#include <sys/ioctl.h>
#include <sys/mount.h>
#include <sys/socket.h>
#include <sys/sysmacros.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <sys/xattr.h>

#include <algorithm>
#include <chrono>
#include <climits>
#include <cstdint>
#include <string>
#include <thread>
#include <tuple>
#include <utility>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "core/path_probe.h"
#include "core/run_error.h"
#include "core/temporary_name.h"
#include "platform/linux/linux_carry.h"
#include "platform/linux/linux_file_system.h"
#include "platform/linux/linux_flush.h"
#include "platform/linux/linux_pending_copies.h"
#include "platform/linux/posix_destination_abilities.h"
#include "sync/drive_rules.h"
#include "tests/support/linux_temp_folder.h"

namespace fernwise {
namespace {

using testing::kAnyTree;

using ::testing::ElementsAre;
using testing::LinuxTempFolderTest;
using ::testing::UnorderedElementsAreArray;

using LinuxCopyTest = LinuxTempFolderTest;

// Fails the test (by ending the program) instead of letting it hang.
class HangGuard {
 public:
  HangGuard() { ::alarm(30); }
  ~HangGuard() { ::alarm(0); }
};

int CopyError(EntryRun& entry, const std::string& source,
              const std::string& target) {
  try {
    entry.Copy(source, target);
  } catch (const RunError& error) {
    EXPECT_EQ(error.operation(), "copy file");
    return error.number();
  }
  return 0;
}

class LinuxCopySizeTest : public LinuxTempFolderTest,
                          public ::testing::WithParamInterface<size_t> {};

TEST_P(LinuxCopySizeTest, CarriesContentNanosecondTimeAndPermissions) {
  std::string content(GetParam(), '\0');
  for (size_t i = 0; i < content.size(); ++i)
    content[i] = static_cast<char>(i * 7 + i / 4096);
  WriteFile(Path("source"), content, 0640);
  SetTimes(Path("source"), {1'700'000'000, 123'456'789});

  entry_->Copy(Path("source"), Path("target"));
  EXPECT_EQ(ReadFile(Path("target")), content);
  const struct stat st = Lstat(Path("target"));
  EXPECT_EQ(st.st_mode & 07777, 0640u);
  EXPECT_EQ(st.st_mtim.tv_sec, 1'700'000'000);
  EXPECT_EQ(st.st_mtim.tv_nsec, 123'456'789);
  EXPECT_EQ(entry_->LastModified(kAnyTree, Path("target")),
            entry_->LastModified(kAnyTree, Path("source")));
  EXPECT_EQ(entry_->ReadAttributes(kAnyTree, Path("target")),
            entry_->ReadAttributes(kAnyTree, Path("source")));
  EXPECT_THAT(Entries(root_), ElementsAre("source", "target"));
}

// Empty, one byte, one page, and more than the 1 MiB copy buffer.
INSTANTIATE_TEST_SUITE_P(Sizes, LinuxCopySizeTest,
                         ::testing::Values(0, 1, 4096, (3 << 20) + 17));

TEST_F(LinuxCopyTest, ReplacesReadOnlyTargetAndLinkTargetItself) {
  WriteFile(Path("source"), "new", 0644);
  WriteFile(Path("old"), "old", 0444);
  WriteFile(Path("pointee"), "pointee", 0644);
  ASSERT_EQ(::symlink("pointee", Path("link").c_str()), 0);

  entry_->Copy(Path("source"), Path("old"));
  entry_->Copy(Path("source"), Path("link"));
  EXPECT_EQ(ReadFile(Path("old")), "new");
  EXPECT_TRUE(S_ISREG(Lstat(Path("link")).st_mode));
  EXPECT_EQ(ReadFile(Path("pointee")), "pointee");
}

TEST_F(LinuxCopyTest, CopiesLinksAsLinksWithTheirOwnTime) {
  MakeFolder(Path("out"));
  WriteFile(Path("file"), "x");
  ASSERT_EQ(::symlink("file", Path("link").c_str()), 0);
  ASSERT_EQ(::symlink("../nowhere", Path("dangling").c_str()), 0);
  SetTimes(Path("link"), {1'234'567'890, 42});
  for (const char* name : {"link", "dangling"}) {
    entry_->Copy(Path(name), Path("out/") + name);
    char text[64] = {};
    ASSERT_GT(::readlink((Path("out/") + name).c_str(), text, sizeof text), 0);
    char expected[64] = {};
    ASSERT_GT(::readlink(Path(name).c_str(), expected, sizeof expected), 0);
    EXPECT_STREQ(text, expected);
    EXPECT_EQ(entry_->LastModified(kAnyTree, Path("out/") + name),
              entry_->LastModified(kAnyTree, Path(name)));
  }
  EXPECT_EQ(entry_->LastModified(kAnyTree, Path("out/link")).ns,
            1'234'567'890'000'000'042);
}

TEST_F(LinuxCopyTest, RecreatesFifoAndSocketWithoutOpeningThem) {
  HangGuard guard;
  ASSERT_EQ(::mkfifo(Path("fifo").c_str(), 0600), 0);
  ASSERT_EQ(::chmod(Path("fifo").c_str(), 0620), 0);  // past the umask
  const int sock = ::socket(AF_UNIX, SOCK_STREAM, 0);
  ASSERT_GE(sock, 0);
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  const std::string socket_path = Path("sock");
  ASSERT_LT(socket_path.size(), sizeof address.sun_path);
  socket_path.copy(address.sun_path, socket_path.size());
  ASSERT_EQ(::bind(sock, reinterpret_cast<sockaddr*>(&address), sizeof address),
            0);
  ::close(sock);

  entry_->Copy(Path("fifo"), Path("fifo copy"));
  entry_->Copy(Path("sock"), Path("sock copy"));
  EXPECT_TRUE(S_ISFIFO(Lstat(Path("fifo copy")).st_mode));
  EXPECT_EQ(Lstat(Path("fifo copy")).st_mode & 07777, 0620u);
  EXPECT_TRUE(S_ISSOCK(Lstat(Path("sock copy")).st_mode));
  EXPECT_EQ(entry_->LastModified(kAnyTree, Path("fifo copy")),
            entry_->LastModified(kAnyTree, Path("fifo")));
}

TEST_F(LinuxCopyTest, RecreatesDeviceNodeOrLeavesNothingWhenRefused) {
  entry_->Copy("/dev/null", Path("null"));
  if (::geteuid() != 0 && Entries(root_).empty())
    GTEST_SKIP() << "device nodes need privilege; nothing was made";
  const struct stat st = Lstat(Path("null"));
  EXPECT_TRUE(S_ISCHR(st.st_mode));
  EXPECT_EQ(st.st_rdev, makedev(1, 3));
}

// What each destination that scripts/fs-images-test.sh mounts keeps and
// holds. The test runs there with FERNWISE_TEST_DESTINATION set to the mount
// and FS_DRIVER (with NTFS_OPTIONS) naming its driver; without them, on the
// test's own temporary folder (the "" row).
struct DestinationCase {
  const char* driver;
  int64_t resolution_ns;
  bool keeps_permissions;
  bool holds_links_and_fifos;
  bool holds_colon;
};
constexpr DestinationCase kDestinations[] = {
    {"", 1, true, true, true},
    {"fusefat", 2'000'000'000, false, false, false},
    {"exfat-fuse", 1'000'000'000, false, false, false},
    {"ntfs-3g", 100, false, true, true},
    {"ntfs-3g+windows_names", 100, false, true, false},
    {"btrfs", 1, true, true, true},
    {"xfs", 1, true, true, true},
};

class LinuxDestinationTest : public LinuxTempFolderTest {
 protected:
  void SetUp() override {
    LinuxTempFolderTest::SetUp();
    const char* mount = std::getenv("FERNWISE_TEST_DESTINATION");
    std::string driver;
    if (mount != nullptr) {
      const char* name = std::getenv("FS_DRIVER");
      const char* options = std::getenv("NTFS_OPTIONS");
      driver = std::string(name ? name : "?") +
               (options && *options ? std::string("+") + options : "");
    }
    for (const DestinationCase& c : kDestinations)
      if (driver == c.driver) case_ = &c;
    if (case_ == nullptr) GTEST_SKIP() << "nothing expected of " << driver;
    dest_ = (mount ? std::string(mount) : root_) + "/dest-XXXXXX";
    ASSERT_NE(::mkdtemp(dest_.data()), nullptr);
    ::chmod(dest_.c_str(), 0755);  // as the source folder; refused on FAT
  }
  void TearDown() override {
    std::error_code ignored;
    if (!dest_.empty()) std::filesystem::remove_all(dest_, ignored);
    LinuxTempFolderTest::TearDown();
  }

  const DestinationCase* case_ = nullptr;
  std::string dest_;
};

TEST_F(LinuxDestinationTest, KeepsWhatItCanAndLeavesOutWhatItCannotHold) {
  HangGuard guard;
  const DestinationCase& c = *case_;
  MakeFolder(Path("src"));
  WriteFile(Path("src/plain"), "content", 0640);
  SetTimes(Path("src/plain"), {1'700'000'001, 123'456'789});
  ASSERT_EQ(::symlink("plain", Path("src/link").c_str()), 0);
  ASSERT_EQ(::mkfifo(Path("src/fifo").c_str(), 0600), 0);
  WriteFile(Path("src/a:b"), "colon");
  entry_ = fs_.Enter({Path("src"), dest_, ""}, {});
  entry_->BeginPass(Role::kSource);
  const timespec before = Lstat(dest_).st_mtim;
  constexpr Role kSrc = Role::kSource;
  constexpr Role kDst = Role::kDestination;

  EXPECT_EQ(entry_->Traits(kDst, dest_).time_step_ns, c.resolution_ns);
  const timespec after = Lstat(dest_).st_mtim;
  EXPECT_EQ(std::tie(after.tv_sec, after.tv_nsec),
            std::tie(before.tv_sec, before.tv_nsec))
      << "a probe leaves the folder's time as it was";
  // The masks that count are those a run compares: it sets none.
  FolderRules rules(*entry_, Path("src"), dest_);
  EXPECT_EQ(rules.MaskToSet(Path("src"), dest_,
                            entry_->ReadAttributes(kSrc, Path("src")),
                            entry_->ReadAttributes(kDst, dest_)),
            std::nullopt);
  ASSERT_TRUE(entry_->Copy(Path("src/plain"), dest_ + "/plain").made());
  // Answered for while it waits for the batch's flush, then named.
  const FileTime copied = entry_->LastModified(kDst, dest_ + "/plain");
  entry_->EndPass();
  EXPECT_EQ(entry_->LastModified(kDst, dest_ + "/plain"), copied);
  EXPECT_EQ(ReadFile(dest_ + "/plain"), "content");
  EXPECT_LT(entry_->LastModified(kSrc, Path("src/plain")).ns -
                entry_->LastModified(kDst, dest_ + "/plain").ns,
            c.resolution_ns);
  // So a second run sets no mask, and only a destination that keeps them
  // shows the source's permission bits.
  EXPECT_EQ(rules.MaskToSet(Path("src/plain"), dest_ + "/plain",
                            entry_->ReadAttributes(kSrc, Path("src/plain")),
                            entry_->ReadAttributes(kDst, dest_ + "/plain")),
            std::nullopt);
  EXPECT_EQ((Lstat(dest_ + "/plain").st_mode & 07777) == 0640,
            c.keeps_permissions);

  std::vector<std::string> held = {"plain"};
  for (const char* name : {"link", "fifo", "a:b"}) {
    const bool holds = name[0] == 'a' ? c.holds_colon : c.holds_links_and_fifos;
    const CopyResult result =
        entry_->Copy(Path("src/") + name, dest_ + "/" + name);
    EXPECT_EQ(result.made(), holds) << name << ": " << result.left_out;
    if (holds) held.push_back(name);
  }
  const CopyResult folder = entry_->CreateFolder(dest_ + "/c:d");
  EXPECT_EQ(folder.made(), c.holds_colon) << folder.left_out;
  if (c.holds_colon) held.push_back("c:d");
  entry_->EndPass();
  // Nothing else: no probe, no temporary file, nothing a refusal left.
  EXPECT_THAT(Entries(dest_), UnorderedElementsAreArray(held));
}

TEST_F(LinuxCopyTest, NamesWithAnyByteRoundTripThroughSnapshotAndCopy) {
  const std::vector<std::string> names = {
      "pipe|name",       "back\\slash", "co:lon",   "new\nline",
      "bad\xff\xfeutf8", "star*?",      " spaced ", std::string(255, 'L')};
  MakeFolder(Path("src"));
  MakeFolder(Path("dst"));
  for (const std::string& name : names) WriteFile(Path("src/") + name, name);
  FolderSnapshot snapshot = *TakeSnapshot(fs_, *entry_, kAnyTree, Path("src"));
  std::vector<std::string> listed;
  while (!snapshot.files.Empty()) {
    listed.push_back(snapshot.files.TakeFirst());
    entry_->Copy(Path("src/") + listed.back(), Path("dst/") + listed.back());
  }
  EXPECT_THAT(listed, UnorderedElementsAreArray(names));
  for (const std::string& name : names)
    EXPECT_EQ(ReadFile(Path("dst/") + name), name);
}

struct SparseCase {
  const char* what;
  off_t size;
  std::vector<off_t> data;  // offsets of 4 KiB of data each
};

class LinuxSparseCopyTest : public LinuxTempFolderTest,
                            public ::testing::WithParamInterface<SparseCase> {};

// A file with holes (a disk image that holds little) keeps them: its copy
// takes no more blocks than the source, but for one block per data extent
// where the two file systems round differently.
TEST_P(LinuxSparseCopyTest, KeepsItsHoles) {
  const SparseCase& c = GetParam();
  const int fd = ::open(Path("image").c_str(), O_WRONLY | O_CREAT, 0644);
  ASSERT_GE(fd, 0);
  ASSERT_EQ(::ftruncate(fd, c.size), 0);
  const std::string data(4096, 'd');
  for (const off_t offset : c.data)
    ASSERT_EQ(::pwrite(fd, data.data(), data.size(), offset), 4096);
  ASSERT_EQ(::close(fd), 0);
  const struct stat source = Lstat(Path("image"));
  if (source.st_blocks * 512 >= source.st_size)
    GTEST_SKIP() << "this file system keeps no holes";
  entry_->Copy(Path("image"), Path("copy"));
  const struct stat copy = Lstat(Path("copy"));
  EXPECT_EQ(copy.st_size, c.size);
  EXPECT_LE(copy.st_blocks,
            source.st_blocks + blkcnt_t(c.data.size()) * copy.st_blksize / 512);
  EXPECT_TRUE(ReadFile(Path("copy")) == ReadFile(Path("image")));
}

INSTANTIATE_TEST_SUITE_P(
    Layouts, LinuxSparseCopyTest,
    ::testing::Values(
        SparseCase{"hole at the end", 64 << 20, {0, 20 << 20}},
        SparseCase{"data at the end", (32 << 20) + 4096, {5 << 20, 32 << 20}},
        SparseCase{"only a hole", 16 << 20, {}}),
    [](const auto& info) {
      std::string name = info.param.what;
      std::replace(name.begin(), name.end(), ' ', '_');
      return name;
    });

class LinuxNewNameTest : public LinuxTempFolderTest,
                         public ::testing::WithParamInterface<bool> {};

// A copy to a new name never replaces what took the name meanwhile, by
// renameat2 where the file system can, else (GetParam()) by a hard link.
TEST_P(LinuxNewNameTest, NeverReplacesATakenName) {
  WriteFile(Path("source"), "new");
  WriteFile(Path("taken"), "another run's");
  linux_os::UniqueFd folder(::open(root_.c_str(), O_PATH | O_DIRECTORY));
  ASSERT_TRUE(folder.valid());
  linux_os::CopyState state;
  state.no_replace_refused = GetParam();
  const struct stat st = Lstat(Path("source"));
  const std::string source = Path("source");
  const auto copy_to = [&](const std::string& name) {
    const std::string path = Path(name);
    return linux_os::CopyEntry(
        {folder.get(), "source", source}, st, {folder.get(), name, path}, state,
        linux_os::DestinationAbilities(), linux_os::TargetName::kNewNameOnly);
  };
  EXPECT_TRUE(copy_to("taken").name_taken);
  EXPECT_TRUE(copy_to("free").made());
  EXPECT_EQ(ReadFile(Path("taken")), "another run's");
  EXPECT_EQ(ReadFile(Path("free")), "new");
  EXPECT_EQ(Lstat(Path("free")).st_nlink, 1u);
  EXPECT_THAT(Entries(root_), ElementsAre("free", "source", "taken"));
}

INSTANTIATE_TEST_SUITE_P(Ways, LinuxNewNameTest, ::testing::Bool());

// A copy into a destination waits, under its temporary name, for one flush
// of its batch. Meanwhile the passes are told what the target will be, and
// anything that reads or changes the target or its folder names it first.
// Copies 1,000 folders deep, each in a chain of its own, fill the batch by
// its bookkeeping long before its count or bytes would.
TEST(PendingCopiesTest, DeepCopiesFillTheBatchByItsBookkeeping) {
  linux_os::PendingCopies batch;
  int added = 0;
  for (; added < 100 && !batch.full(); ++added) {
    std::string folder = "/" + std::to_string(added);
    for (int depth = 0; depth < 1000; ++depth) folder += "/f";
    batch.Add({folder, "t", "n", folder + "/n", {}, {}});
  }
  EXPECT_TRUE(batch.full());
  EXPECT_LT(added, 10);
}

// Enough copies to grow the batch's table several times, over two batches
// (the second after the first's table was emptied to its size).
TEST(PendingCopiesTest, AnswersForEveryTargetAndFolderOfTheBatch) {
  linux_os::PendingCopies batch;
  const auto copy = [](int folder, int file, off_t size) {
    const std::string at = "/d/" + std::to_string(folder);
    linux_os::PendingCopy made{at, "t", "n", at + "/" + std::to_string(file),
                               {}, {}};
    made.status.st_size = size;
    return made;
  };
  for (int round = 0; round < 2; ++round) {
    for (int i = 0; i < 500; ++i) batch.Add(copy(i / 10, i % 10, i));
    batch.Add(copy(7, 3, 1000));  // the same target again: the later copy
    for (int i = 0; i < 500; ++i) {
      const struct stat* found = batch.Find(copy(i / 10, i % 10, 0).path);
      ASSERT_NE(found, nullptr) << i;
      EXPECT_EQ(found->st_size, i == 73 ? 1000 : i);
    }
    for (const char* path : {"/d/7", "/d/49/", "/d/", "/", "/d/7/3"})
      EXPECT_TRUE(batch.Touches(path)) << path;
    for (const char* path : {"/d/50", "/d/7/30", "/d/7/", "/e", "/d/4/10"})
      EXPECT_EQ(batch.Find(path), nullptr) << path;
    for (const char* path : {"/d/50", "/d/7/30", "/d/4/1/x", "/e", "/d/1x"})
      EXPECT_FALSE(batch.Touches(path)) << path;
    EXPECT_EQ(batch.TakeAll().copies.size(), 501u);
    EXPECT_EQ(batch.Find("/d/7/3"), nullptr);
    EXPECT_FALSE(batch.Touches("/d"));
  }
}
TEST_F(LinuxCopyTest, WaitingCopyIsAnsweredForAndNamedBeforeAnythingMeetsIt) {
  using Written = std::vector<std::unique_ptr<WrittenDrive>>;
  using Meet = std::function<void(EntryRun&, const std::string&)>;
  struct Meeting {
    const char* name;
    Meet meet;
    const char* then = "new";  // the target's content afterwards
  };
  constexpr Role kDst = Role::kDestination;
  const Meeting meetings[] = {
      {"its mask set",
       [](EntryRun& entry, const std::string& top) {
         entry.SetAttributes(top + "/dst/a",
                             entry.ReadAttributes(kDst, top + "/dst/a"));
       }},
      {"its folder listed",
       [](EntryRun& entry, const std::string& top) {
         for (std::string n = entry.StartListing(kDst, top + "/dst/");
              !n.empty(); n = entry.NextName()) {
         }
       }},
      {"copied from",
       [](EntryRun& entry, const std::string& top) {
         entry.CopyToNewName(top + "/dst/a", top + "/b");
       }},
      {"deleted",
       [](EntryRun& entry, const std::string& top) {
         entry.Delete(kDst, top + "/dst/a");
       },
       "<missing>"},
      {"the pass ended",
       [](EntryRun& entry, const std::string&) { entry.EndPass(); }},
      {"the entry settled",
       [](EntryRun& entry, const std::string&) {
         Written written;
         EXPECT_EQ(entry.Settle(written), std::nullopt);
       }},
      {"the drive flushed", [](EntryRun& entry, const std::string& top) {
         Written written;
         entry.Settle(written);
         for (const std::unique_ptr<WrittenDrive>& drive : written)
           drive->Flush({});
         EXPECT_EQ(written.size(), 1u) << top;
       }}};
  for (const auto& [meeting, meet, then] : meetings) {
    SCOPED_TRACE(meeting);
    LinuxFileSystem fs;
    const std::string src = Path(meeting) + "/src",
                      dst = Path(meeting) + "/dst";
    MakeFolder(Path(meeting));
    MakeFolder(src);
    MakeFolder(dst);
    WriteFile(src + "/a", "new");
    SetTimes(src + "/a", {1'700'000'001, 5});
    WriteFile(dst + "/a", "old");
    const std::unique_ptr<EntryRun> entry = fs.Enter({src, dst, ""}, {});
    entry->BeginPass(Role::kSource);
    ASSERT_TRUE(entry->Copy(src + "/a", dst + "/a").made());

    // Not yet named: the old file stands beside the finished copy...
    EXPECT_EQ(ReadFile(dst + "/a"), "old");
    EXPECT_EQ(Entries(dst).size(), 2u);
    // ...and the passes see what it will be.
    EXPECT_EQ(entry->LastModified(kDst, dst + "/a"),
              entry->LastModified(Role::kSource, src + "/a"));
    EXPECT_EQ(entry->Length(kDst, dst + "/a"), 3);
    EXPECT_EQ(entry->StartListing(kDst, dst + "/a"), "a");

    meet(*entry, Path(meeting));
    EXPECT_EQ(ReadFile(dst + "/a"), then);
    if (std::string(then) == "new") {
      EXPECT_EQ(Lstat(dst + "/a").st_mtim.tv_nsec, 5);
    }
    for (const std::string& name : Entries(dst))
      EXPECT_FALSE(fs.IsLeftoverTemporary(name)) << name;
  }
}

// An entry that ends unsettled (its run unwinding past it) names none of
// its waiting copies: each target stays as it was, and no temporary file
// is left.
TEST_F(LinuxCopyTest, EntryEndingUnsettledNamesNoWaitingCopy) {
  MakeFolder(Path("src"));
  MakeFolder(Path("dst"));
  WriteFile(Path("src/a"), "new");
  WriteFile(Path("dst/a"), "old");
  {
    const std::unique_ptr<EntryRun> entry =
        fs_.Enter({Path("src"), Path("dst"), ""}, {});
    entry->BeginPass(Role::kSource);
    ASSERT_TRUE(entry->Copy(Path("src/a"), Path("dst/a")).made());
    ASSERT_EQ(Entries(Path("dst")).size(), 2u) << "the copy waits";
  }
  EXPECT_THAT(Entries(Path("dst")), ElementsAre("a"));
  EXPECT_EQ(ReadFile(Path("dst/a")), "old");
}

// Settled entries hand over each drive they wrote to once, shown by the
// named folder first written below it, whichever entry wrote there first.
TEST_F(LinuxCopyTest, SettledEntriesHandOverOneDrivePerDevice) {
  for (const char* folder : {"src", "dst", "old"}) MakeFolder(Path(folder));
  WriteFile(Path("src/a"), "new");
  WriteFile(Path("dst/a"), "old");
  std::vector<std::unique_ptr<WrittenDrive>> written;
  for (const char* kept : {"a.1", "a.2"}) {
    const std::unique_ptr<EntryRun> entry =
        fs_.Enter({Path("src"), Path("dst"), Path("old")}, {});
    entry->BeginPass(Role::kSource);
    ASSERT_TRUE(
        entry->CopyToNewName(Path("dst/a"), Path("old/") + kept).made());
    ASSERT_TRUE(entry->Copy(Path("src/a"), Path("dst/a")).made());
    EXPECT_EQ(entry->Settle(written), std::nullopt);
    EXPECT_EQ(ReadFile(Path("dst/a")), "new") << "named once settled";
  }
  ASSERT_EQ(written.size(), 1u);
  EXPECT_EQ(written[0]->Shown(), Path("old"));
  written[0]->Flush({});
}

// A drive mounted inside the destination is flushed as a drive of its own,
// with the destination's.
TEST_F(LinuxCopyTest, DriveMountedInsideTheDestinationIsHandedOverToo) {
  for (const char* folder : {"src", "dst", "dst/usb"}) MakeFolder(Path(folder));
  WriteFile(Path("src/a"), "new");
  const int status = testing::InOwnMounts(
      [&] {
        return ::mount("tmpfs", Path("dst/usb").c_str(), "tmpfs", 0, nullptr) ==
               0;
      },
      [&] {
        std::vector<std::unique_ptr<WrittenDrive>> written;
        const std::unique_ptr<EntryRun> entry =
            fs_.Enter({Path("src"), Path("dst"), ""}, {});
        entry->BeginPass(Role::kSource);
        for (const char* target : {"dst/a", "dst/usb/a"})
          EXPECT_TRUE(entry->Copy(Path("src/a"), Path(target)).made());
        EXPECT_EQ(entry->Settle(written), std::nullopt);
        std::vector<std::string> shown;
        for (const auto& drive : written) shown.push_back(drive->Shown());
        EXPECT_THAT(shown, ElementsAre(Path("dst"), Path("dst/usb")));
      });
  if (status == 77) GTEST_SKIP() << "cannot mount a drive of its own here";
  EXPECT_EQ(status, 0);
}

// What a copy cut short leaves behind is known by its name, check code and
// all: the names a copy really uses, for any target name, within NAME_MAX;
// a name that merely looks alike (a user's, or the form of earlier
// versions) is not.
TEST_F(LinuxCopyTest, KnowsItsOwnTemporaryNames) {
  const std::string own = MakeTemporaryName(".a.txt.", "");
  std::string altered = own;
  altered[10] = altered[10] == 'a' ? 'b' : 'a';
  const std::pair<std::string, bool> names[] = {
      {own, true},
      {altered, false},
      {own + "x", false},
      {own.substr(1), false},
      {".a.txt.fernwise-AbC123", false},
      {".report.fernwise-backup", false},
      {".a.txt.fernwise-" + std::string(24, 'a'), false}};
  for (const auto& [name, temporary] : names)
    EXPECT_EQ(fs_.IsLeftoverTemporary(name), temporary) << name;
  // NAME_MAX bytes, whose start must be cut between two-byte characters.
  std::string longest = "x";
  while (longest.size() + 2 <= NAME_MAX) longest += "\xc3\xa9";
  for (const std::string& target : {std::string("target"), longest}) {
    WriteFile(Path("source"), std::string(1 << 20, 's'));
    const std::vector<std::string> before = Entries(root_);
    std::vector<std::string> seen;
    fs_.set_copy_hook([&](int64_t) {
      for (const std::string& name : Entries(root_))
        if (name != target &&
            std::count(before.begin(), before.end(), name) == 0)
          seen.push_back(name);
    });
    entry_ = fs_.Enter({}, {});
    ASSERT_TRUE(entry_->Copy(Path("source"), Path(target)).made());
    ASSERT_FALSE(seen.empty());
    for (const std::string& name : seen) {
      EXPECT_TRUE(fs_.IsLeftoverTemporary(name)) << name;
      EXPECT_LE(name.size(), size_t{NAME_MAX}) << name;
    }
  }
  EXPECT_EQ(entry_->Traits(kAnyTree, root_).name_limit, size_t{NAME_MAX});
}

TEST_F(LinuxCopyTest, FailureLeavesTargetAsItWasAndNothingBehind) {
  WriteFile(Path("source"), "new");
  WriteFile(Path("target"), "old");
  MakeFolder(Path("busy"));
  WriteFile(Path("busy/inside"), "");
  MakeFolder(Path("folder"));

  EXPECT_EQ(CopyError(*entry_, Path("missing"), Path("target")), ENOENT);
  EXPECT_EQ(CopyError(*entry_, Path("folder"), Path("target")), EISDIR);
  EXPECT_EQ(CopyError(*entry_, Path("source"), Path("busy")), EISDIR);
  EXPECT_EQ(CopyError(*entry_, Path("source"), Path("nowhere/target")), ENOENT);
  EXPECT_EQ(ReadFile(Path("target")), "old");
  EXPECT_THAT(Entries(root_),
              ElementsAre("busy", "folder", "source", "target"));
  EXPECT_THAT(Entries(Path("busy")), ElementsAre("inside"));
}

TEST_F(LinuxCopyTest, WriteFailingMidWayLeavesTargetAsItWas) {
  WriteFile(Path("source"), std::string(3 << 20, 'n'));
  WriteFile(Path("target"), "old");
  int error = 0;
  {
    const testing::FileSizeLimit limit(1 << 20);  // refuses the write part-way
    ASSERT_TRUE(limit.in_force());
    error = CopyError(*entry_, Path("source"), Path("target"));
  }

  EXPECT_EQ(error, EFBIG);
  EXPECT_EQ(ReadFile(Path("target")), "old");
  EXPECT_THAT(Entries(root_), ElementsAre("source", "target"));
}

TEST_F(LinuxCopyTest, ReadOnlyTargetFolderRefusesCopyAndKeepsNothing) {
  WriteFile(Path("source"), "new");
  MakeFolder(Path("locked"));
  WriteFile(Path("locked/target"), "old");
  ASSERT_EQ(::chmod(Path("locked").c_str(), 0555), 0);
  // A read-only folder of one's own does not refuse a copy (the copy opens
  // it up for itself), and root passes permission checks; the immutable flag
  // stops both.
  const int fd = ::open(Path("locked").c_str(), O_RDONLY | O_DIRECTORY);
  ASSERT_GE(fd, 0);
  int flags = 0;
  bool immutable = false;
  if (::geteuid() == 0 && ::ioctl(fd, FS_IOC_GETFLAGS, &flags) == 0) {
    int locked = flags | FS_IMMUTABLE_FL;
    immutable = ::ioctl(fd, FS_IOC_SETFLAGS, &locked) == 0;
  }
  if (!immutable) {
    ::close(fd);
    GTEST_SKIP() << "the immutable flag cannot be set";
  }
  const int error = CopyError(*entry_, Path("source"), Path("locked/target"));
  if (immutable) ::ioctl(fd, FS_IOC_SETFLAGS, &flags);
  ::close(fd);

  EXPECT_NE(error, 0);
  EXPECT_EQ(ReadFile(Path("locked/target")), "old");
  EXPECT_THAT(Entries(Path("locked")), ElementsAre("target"));
}

// A POSIX ACL as the kernel stores it in system.posix_acl_access: version 2,
// then (tag, permissions, id) entries, little-endian.
std::string AclValue(
    std::initializer_list<std::tuple<uint16_t, uint16_t, uint32_t>> entries) {
  std::string value;
  const auto put = [&](uint32_t number, int bytes) {
    for (int i = 0; i < bytes; ++i)
      value += static_cast<char>((number >> (8 * i)) & 0xff);
  };
  put(2, 4);
  for (const auto& [tag, permissions, id] : entries) {
    put(tag, 2);
    put(permissions, 2);
    put(id, 4);
  }
  return value;
}

constexpr uint32_t kNoId = 0xffffffff;
// user::rw- user:nobody:r-- group::--- mask::r-- other::---
const std::string kNamedUserAcl = AclValue({{0x01, 6, kNoId},
                                            {0x02, 4, testing::kNobody},
                                            {0x04, 0, kNoId},
                                            {0x10, 4, kNoId},
                                            {0x20, 0, kNoId}});

TEST(CarriedModeTest, GrantsNothingTheCopyDidNotKeep) {
  using linux_os::AclFacts;
  using linux_os::CarriedOwner;
  struct Case {
    const char* what;
    mode_t mode;
    CarriedOwner carried;
    AclFacts acl;
    bool nosuid;
    mode_t expected;
  };
  const Case cases[] = {
      {"all kept", 06755, {true, true}, {}, false, 06755},
      {"owner lost", 06755, {false, true}, {}, false, 02755},
      {"group lost", 06755, {true, false}, {}, false, 04755},
      {"nosuid source", 06755, {true, true}, {}, true, 0755},
      {"acl kept", 0640, {true, true}, {true, true, 0}, false, 0640},
      {"acl lost, group ---",
       0640,
       {true, true},
       {true, false, 0},
       false,
       0600},
      {"acl lost, group r-x",
       0770,
       {true, true},
       {true, false, 05},
       false,
       0750},
  };
  for (const Case& c : cases)
    EXPECT_EQ(linux_os::CarriedMode(c.mode, c.carried, c.acl, c.nosuid),
              c.expected)
        << c.what;
}

// Where permission bits are not kept, a source's mask is its copy's own,
// but for the read-only attribute where the destination keeps that.
TEST(DestinationAbilitiesTest, KeptModeIsTheCopysOwnButForReadOnly) {
  linux_os::DestinationAbilities none;
  none.keeps_permissions = false;
  none.keeps_read_only = false;
  linux_os::DestinationAbilities read_only = none;
  read_only.keeps_read_only = true;
  read_only.write_bits = 0222;
  struct Case {
    const char* what;
    mode_t source;
    mode_t onto;
    const linux_os::DestinationAbilities& abilities;
    mode_t expected;
  };
  const Case cases[] = {
      {"fusefat file", S_IFREG | 0600, S_IFREG | 0700, none, 0700},
      {"exfat-fuse read-only file", S_IFREG | 0444, S_IFREG | 0777, none, 0777},
      {"vfat file made read-only", S_IFREG | 0444, S_IFREG | 0777, read_only,
       0555},
      {"vfat file made writable", S_IFREG | 0644, S_IFREG | 0555, read_only,
       0777},
      {"vfat writable file", S_IFREG | 0600, S_IFREG | 0755, read_only, 0755},
      {"vfat folder", S_IFDIR | 0555, S_IFDIR | 0755, read_only, 0755},
  };
  for (const Case& c : cases)
    EXPECT_EQ(
        linux_os::KeptMode((c.source & S_IWUSR) == 0, c.onto, c.abilities),
        c.expected)
        << c.what;
}

TEST(CarriedModeTest, ReadsTheOwningGroupEntryOfAnAcl) {
  EXPECT_EQ(linux_os::AclGroupEntry(kNamedUserAcl), mode_t{0});
  EXPECT_EQ(linux_os::AclGroupEntry(AclValue({{0x04, 5, kNoId}})), mode_t{05});
  EXPECT_EQ(linux_os::AclGroupEntry(AclValue({{0x01, 6, kNoId}})),
            std::nullopt);
  EXPECT_EQ(linux_os::AclGroupEntry(kNamedUserAcl.substr(0, 9)), std::nullopt);
  std::string version_one = kNamedUserAcl;
  version_one[0] = 1;
  EXPECT_EQ(linux_os::AclGroupEntry(version_one), std::nullopt);
}

// A file readable by one named user must stay so, and no more: the ACL goes
// with the copy, as do the user's own extended attributes.
TEST_F(LinuxCopyTest, AclAndUserAttributesTravelWithTheCopy) {
  WriteFile(Path("source"), "secret", 0600);
  if (::setxattr(Path("source").c_str(), "system.posix_acl_access",
                 kNamedUserAcl.data(), kNamedUserAcl.size(), 0) != 0 ||
      ::setxattr(Path("source").c_str(), "user.origin", "scan", 4, 0) != 0)
    GTEST_SKIP() << "this file system keeps no ACLs or user attributes";
  entry_->Copy(Path("source"), Path("target"));
  for (const char* name : {"system.posix_acl_access", "user.origin"}) {
    char source[256], target[256];
    const ssize_t in = ::getxattr(Path("source").c_str(), name, source, 256);
    const ssize_t out = ::getxattr(Path("target").c_str(), name, target, 256);
    ASSERT_GT(in, 0) << name;
    EXPECT_EQ(std::string(target, out > 0 ? out : 0), std::string(source, in))
        << name;
  }
  EXPECT_EQ(Lstat(Path("target")).st_mode & 07777,
            Lstat(Path("source")).st_mode & 07777);
}

// A file system mounted nosuid gives its set-ID bits no meaning; a copy
// from it must not give them one elsewhere. Needs root, for a mount of its
// own in a mount namespace of its own.
TEST_F(LinuxCopyTest, NosuidSourceYieldsNoSetIdBits) {
  MakeFolder(Path("mount"));
  WriteFile(Path("before"), "");
  const int status = testing::InOwnMounts(
      [&] {
        return ::mount("fernwise", Path("mount").c_str(), "tmpfs", MS_NOSUID,
                       nullptr) == 0;
      },
      [&] {
        const std::string source = Path("mount/tool");
        const int fd = ::open(source.c_str(), O_WRONLY | O_CREAT, 0755);
        ASSERT_TRUE(fd >= 0 && ::close(fd) == 0 &&
                    ::chmod(source.c_str(), 06755) == 0);
        LinuxFileSystem fs;
        EXPECT_NO_THROW(fs.Enter({}, {})->Copy(source, Path("tool")));
        struct stat st;
        ASSERT_EQ(::lstat(Path("tool").c_str(), &st), 0);
        EXPECT_EQ(st.st_mode & 07777, 0755u);
      });
  if (status == 77)
    GTEST_SKIP() << "cannot mount a file system of the test's own";
  EXPECT_EQ(status, 0);
}

// A long copy tells the run how far it is, slice by slice, never after more
// than a tenth of a second of copying, however slow the drive: here one of
// 20 MB/s, whose time the copy hook keeps instead of a real slow drive.
TEST_F(LinuxCopyTest, LongCopyReportsASliceAtLeastEveryTenthOfASecond) {
  std::string content(24 << 20, '\0');
  for (size_t i = 0; i < content.size(); i += 4096) content[i] = char(i >> 12);
  WriteFile(Path("source"), content);
  double clock = 0;
  fs_.set_copy_hook([&](int64_t bytes) { clock += double(bytes) / 20e6; },
                    [&] { return clock; });
  std::vector<double> at;
  int64_t last_done = 0;
  entry_ = fs_.Enter({}, [&](int64_t done, int64_t total) {
    EXPECT_EQ(total, int64_t(content.size()));
    EXPECT_GT(done, last_done);
    last_done = done;
    at.push_back(clock);
  });
  entry_->Copy(Path("source"), Path("target"));
  EXPECT_EQ(ReadFile(Path("target")), content);
  EXPECT_EQ(last_done, int64_t(content.size()));
  EXPECT_GT(at.size(), 10u);
  double before = 0;
  for (const double time : at) {
    EXPECT_LE(time - before, 0.1) << "at " << time;
    before = time;
  }
}

// A flush that takes long runs beside the window, which is told every few
// hundredths of a second until it ends, and of its end; its result and
// errno come back as the flush left them.
TEST(FlushAnsweringTest, TellsTheRunUntilTheFlushEnds) {
  for (const int error : {0, EIO}) {
    std::vector<std::chrono::steady_clock::time_point> at;
    std::vector<std::pair<int64_t, int64_t>> ticks;
    const auto start = std::chrono::steady_clock::now();
    const int result = linux_os::FlushAnswering(
        [error] {
          std::this_thread::sleep_for(std::chrono::milliseconds(300));
          errno = error;
          return error == 0 ? 0 : -1;
        },
        [&](int64_t done, int64_t total) {
          at.push_back(std::chrono::steady_clock::now());
          ticks.emplace_back(done, total);
        });
    const int left = errno;
    EXPECT_EQ(result, error == 0 ? 0 : -1);
    if (error != 0) {
      EXPECT_EQ(left, error);
    }
    ASSERT_GE(at.size(), 4u);
    EXPECT_EQ(ticks.back().first, ticks.back().second) << "the end is told";
    auto before = start;
    for (const auto time : at) {
      EXPECT_LE(time - before, std::chrono::milliseconds(100));
      before = time;
    }
  }
}

}  // namespace
}  // namespace fernwise
