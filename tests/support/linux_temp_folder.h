// The fixture of the POSIX file-system tests: a fresh temporary folder per
// test, removed afterwards, and plain POSIX helpers that do not go through
// the code under test.
#pragma once

#include <dirent.h>
#include <fcntl.h>
#include <grp.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "core/entry_run.h"
#include "platform/linux/linux_file_system.h"

namespace fernwise::testing {

/// The tree a test of single operations names: its entry names no folders,
/// so every path is opened as the kernel resolves it, in any tree.
inline constexpr Role kAnyTree = Role::kDestination;

inline constexpr uid_t kNobody = 65534;
inline constexpr gid_t kNogroup = 65534;

/// Acts as the unprivileged user nobody, with no supplementary groups, for
/// as long as it lives, when the tests run as root: permission checks then
/// apply, and a chown to another user is refused. Only the effective ids
/// change, so root comes back at the end.
class AsNobody {
 public:
  AsNobody() {
    if (::geteuid() != 0) return;
    const int count = ::getgroups(0, nullptr);
    groups_.resize(count > 0 ? static_cast<size_t>(count) : 0);
    if (count > 0 && ::getgroups(count, groups_.data()) != count) return;
    was_root_ = true;
    dropped_ = ::setgroups(0, nullptr) == 0 && ::setegid(kNogroup) == 0 &&
               ::seteuid(kNobody) == 0;
  }
  AsNobody(const AsNobody&) = delete;
  AsNobody& operator=(const AsNobody&) = delete;
  ~AsNobody() {
    if (!was_root_) return;
    EXPECT_EQ(::seteuid(0), 0);
    EXPECT_EQ(::setegid(0), 0);
    EXPECT_EQ(::setgroups(groups_.size(), groups_.data()), 0);
  }
  bool dropped() const { return dropped_; }

 private:
  std::vector<gid_t> groups_;
  bool was_root_ = false;
  bool dropped_ = false;
};

/// Runs `body` in a child process with a mount namespace of its own, every
/// mount private so that none outlives it, once `mount` has made the mounts
/// the test needs: the child's exit status, 1 where a check failed, 77 where
/// no such namespace or mount can be made here (the caller skips).
inline int InOwnMounts(const std::function<bool()>& mount,
                       const std::function<void()>& body) {
  const pid_t child = ::fork();
  if (child == 0) {
    if (::unshare(CLONE_NEWNS) != 0 ||
        ::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0 ||
        !mount())
      ::_exit(77);
    body();
    ::_exit(::testing::Test::HasFailure() ? 1 : 0);
  }
  int status = -1;
  if (child > 0) ::waitpid(child, &status, 0);
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

class LinuxTempFolderTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string pattern = ::testing::TempDir() + "/fernwise-linux-XXXXXX";
    ASSERT_NE(::mkdtemp(pattern.data()), nullptr);
    root_ = pattern;
  }
  void TearDown() override {
    std::error_code ignored;
    std::filesystem::remove_all(root_, ignored);
  }

  std::string Path(const std::string& name) const { return root_ + "/" + name; }

  void WriteFile(const std::string& path, const std::string& content,
                 mode_t mode = 0644) {
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    ASSERT_GE(fd, 0) << path;
    ASSERT_EQ(::write(fd, content.data(), content.size()),
              static_cast<ssize_t>(content.size()));
    ASSERT_EQ(::close(fd), 0);
    ASSERT_EQ(::chmod(path.c_str(), mode), 0);
  }
  std::string ReadFile(const std::string& path) {
    std::string content;
    const int fd = ::open(path.c_str(), O_RDONLY);
    if (fd < 0) return "<missing>";
    char chunk[65536];
    for (ssize_t got; (got = ::read(fd, chunk, sizeof chunk)) > 0;)
      content.append(chunk, static_cast<size_t>(got));
    ::close(fd);
    return content;
  }
  struct stat Lstat(const std::string& path) {
    struct stat st {};
    EXPECT_EQ(::lstat(path.c_str(), &st), 0) << path;
    return st;
  }
  void MakeFolder(const std::string& path) {
    ASSERT_EQ(::mkdir(path.c_str(), 0755), 0) << path;
  }
  void SetTimes(const std::string& path, timespec mtime) {
    const timespec times[2] = {mtime, mtime};
    ASSERT_EQ(::utimensat(AT_FDCWD, path.c_str(), times, AT_SYMLINK_NOFOLLOW),
              0);
  }
  /// The folder's entry names but "." and "..", sorted.
  std::vector<std::string> Entries(const std::string& folder) {
    std::vector<std::string> names;
    DIR* dir = ::opendir(folder.c_str());
    if (dir == nullptr) return {"<not a folder>"};
    while (const dirent* entry = ::readdir(dir)) {
      const std::string name = entry->d_name;
      if (name != "." && name != "..") names.push_back(name);
    }
    ::closedir(dir);
    std::sort(names.begin(), names.end());
    return names;
  }

  LinuxFileSystem fs_;
  /// An entry that names no folders (see kAnyTree); a test that names its
  /// folders enters anew.
  std::unique_ptr<EntryRun> entry_ = fs_.Enter({}, {});
  std::string root_;
};

/// While it lives, the kernel refuses to write a file past `bytes` (even for
/// root), with EFBIG rather than the signal it sends by default.
class FileSizeLimit {
 public:
  explicit FileSizeLimit(rlim_t bytes) {
    if (::getrlimit(RLIMIT_FSIZE, &saved_) != 0) return;
    old_handler_ = ::signal(SIGXFSZ, SIG_IGN);
    struct rlimit small = saved_;
    small.rlim_cur = bytes;
    in_force_ = ::setrlimit(RLIMIT_FSIZE, &small) == 0;
  }
  FileSizeLimit(const FileSizeLimit&) = delete;
  FileSizeLimit& operator=(const FileSizeLimit&) = delete;
  ~FileSizeLimit() {
    if (old_handler_ == SIG_ERR) return;
    ::setrlimit(RLIMIT_FSIZE, &saved_);
    ::signal(SIGXFSZ, old_handler_);
  }

  bool in_force() const { return in_force_; }

 private:
  struct rlimit saved_ {};
  sighandler_t old_handler_ = SIG_ERR;
  bool in_force_ = false;
};

}  // namespace fernwise::testing
