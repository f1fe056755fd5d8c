#include <linux/fs.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/sysmacros.h>
#include <sys/un.h>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "core/path_probe.h"
#include "core/run_error.h"
#include "platform/linux/file_system.h"
#include "tests/support/linux_temp_folder.h"

namespace fernwise {
namespace {

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

int CopyError(FileSystem& fs, const std::string& source,
              const std::string& target) {
  try {
    fs.Copy(source, target);
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

  fs_.Copy(Path("source"), Path("target"));
  EXPECT_EQ(ReadFile(Path("target")), content);
  const struct stat st = Lstat(Path("target"));
  EXPECT_EQ(st.st_mode & 07777, 0640u);
  EXPECT_EQ(st.st_mtim.tv_sec, 1'700'000'000);
  EXPECT_EQ(st.st_mtim.tv_nsec, 123'456'789);
  EXPECT_EQ(fs_.LastModified(Path("target")), fs_.LastModified(Path("source")));
  EXPECT_EQ(fs_.ReadAttributes(Path("target")),
            fs_.ReadAttributes(Path("source")));
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

  fs_.Copy(Path("source"), Path("old"));
  fs_.Copy(Path("source"), Path("link"));
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
    fs_.Copy(Path(name), Path("out/") + name);
    char text[64] = {};
    ASSERT_GT(::readlink((Path("out/") + name).c_str(), text, sizeof text), 0);
    char expected[64] = {};
    ASSERT_GT(::readlink(Path(name).c_str(), expected, sizeof expected), 0);
    EXPECT_STREQ(text, expected);
    EXPECT_EQ(fs_.LastModified(Path("out/") + name),
              fs_.LastModified(Path(name)));
  }
  EXPECT_EQ(fs_.LastModified(Path("out/link")).ns, 1'234'567'890'000'000'042);
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

  fs_.Copy(Path("fifo"), Path("fifo copy"));
  fs_.Copy(Path("sock"), Path("sock copy"));
  EXPECT_TRUE(S_ISFIFO(Lstat(Path("fifo copy")).st_mode));
  EXPECT_EQ(Lstat(Path("fifo copy")).st_mode & 07777, 0620u);
  EXPECT_TRUE(S_ISSOCK(Lstat(Path("sock copy")).st_mode));
  EXPECT_EQ(fs_.LastModified(Path("fifo copy")),
            fs_.LastModified(Path("fifo")));
}

TEST_F(LinuxCopyTest, RecreatesDeviceNodeOrLeavesNothingWhenRefused) {
  fs_.Copy("/dev/null", Path("null"));
  if (::geteuid() != 0 && Entries(root_).empty())
    GTEST_SKIP() << "device nodes need privilege; nothing was made";
  const struct stat st = Lstat(Path("null"));
  EXPECT_TRUE(S_ISCHR(st.st_mode));
  EXPECT_EQ(st.st_rdev, makedev(1, 3));
}

TEST_F(LinuxCopyTest, NamesWithAnyByteRoundTripThroughSnapshotAndCopy) {
  const std::vector<std::string> names = {
      "pipe|name",       "back\\slash", "co:lon",   "new\nline",
      "bad\xff\xfeutf8", "star*?",      " spaced ", std::string(255, 'L')};
  MakeFolder(Path("src"));
  MakeFolder(Path("dst"));
  for (const std::string& name : names) WriteFile(Path("src/") + name, name);
  FolderSnapshot snapshot = *TakeSnapshot(fs_, Path("src"));
  std::vector<std::string> listed;
  while (!snapshot.files.Empty()) {
    listed.push_back(snapshot.files.TakeFirst());
    fs_.Copy(Path("src/") + listed.back(), Path("dst/") + listed.back());
  }
  EXPECT_THAT(listed, UnorderedElementsAreArray(names));
  for (const std::string& name : names)
    EXPECT_EQ(ReadFile(Path("dst/") + name), name);
}

TEST_F(LinuxCopyTest, FailureLeavesTargetAsItWasAndNothingBehind) {
  WriteFile(Path("source"), "new");
  WriteFile(Path("target"), "old");
  MakeFolder(Path("busy"));
  WriteFile(Path("busy/inside"), "");
  MakeFolder(Path("folder"));

  EXPECT_EQ(CopyError(fs_, Path("missing"), Path("target")), ENOENT);
  EXPECT_EQ(CopyError(fs_, Path("folder"), Path("target")), EISDIR);
  EXPECT_EQ(CopyError(fs_, Path("source"), Path("busy")), EISDIR);
  EXPECT_EQ(CopyError(fs_, Path("source"), Path("nowhere/target")), ENOENT);
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
    error = CopyError(fs_, Path("source"), Path("target"));
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
  const int error = CopyError(fs_, Path("source"), Path("locked/target"));
  if (immutable) ::ioctl(fd, FS_IOC_SETFLAGS, &flags);
  ::close(fd);

  EXPECT_NE(error, 0);
  EXPECT_EQ(ReadFile(Path("locked/target")), "old");
  EXPECT_THAT(Entries(Path("locked")), ElementsAre("target"));
}

}  // namespace
}  // namespace fernwise
