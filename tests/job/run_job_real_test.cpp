// A whole run on real folders: a script with every keyword and every mode.
#include <dirent.h>
#include <fcntl.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/wait.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <algorithm>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <functional>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <tuple>
#include <utility>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "core/run_error.h"
#include "core/run_state.h"
#include "core/temporary_name.h"
#include "job/run_job.h"
#include "tests/support/linux_temp_folder.h"
#include "tests/support/recording_window.h"

namespace fernwise {
namespace {

using ::testing::Contains;
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

std::string Facts(const std::string& path) {
  struct stat st {};
  if (::lstat(path.c_str(), &st) != 0) return "<missing>";
  std::string facts =
      std::to_string(st.st_mode) + " " + std::to_string(st.st_uid) + ":" +
      std::to_string(st.st_gid) + " " + std::to_string(st.st_size) + " " +
      std::to_string(st.st_mtim.tv_sec) + "." +
      std::to_string(st.st_mtim.tv_nsec);
  if (S_ISREG(st.st_mode)) {
    std::error_code error;
    facts += " " + std::to_string(std::filesystem::file_size(path, error));
  }
  return facts;
}

class RunJobRealTest : public testing::LinuxTempFolderTest {
 protected:
  // Every run's record goes into the test's own folder, named by kNewer.
  void SetUp() override {
    LinuxTempFolderTest::SetUp();
    if (const char* saved = std::getenv("XDG_STATE_HOME")) saved_ = saved;
    ::setenv("XDG_STATE_HOME", Path("state").c_str(), 1);
    run_.now = [] { return FileTime{kNewer.tv_sec * 1000000000LL}; };
  }
  void TearDown() override {
    if (saved_) {
      ::setenv("XDG_STATE_HOME", saved_->c_str(), 1);
    } else {
      ::unsetenv("XDG_STATE_HOME");
    }
    LinuxTempFolderTest::TearDown();
  }

  // The name a secondary copy of `source_side_path` takes.
  static std::string Flattened(std::string source_side_path) {
    std::replace(source_side_path.begin(), source_side_path.end(), '/', '.');
    return source_side_path;
  }

  std::string Backup(const char* source, const char* dest) {
    return "BACKUP, " + Path(source) + ", " + Path(dest) + "\r\n";
  }

  // Runs `script` as the Setup.ini of the test's folder; the failure that
  // ended the run, if one did.
  std::optional<RunError> Run(const std::string& script) {
    WriteFile(Path("Setup.ini"), script);
    return RunAgain();
  }
  // Runs the Setup.ini that stands in the test's folder.
  std::optional<RunError> RunAgain() {
    InFolder in_root(root_);
    try {
      RunBackupJob(run_);
      return std::nullopt;
    } catch (const RunError& error) {
      return error;
    }
  }

  // Everything about the tree at `folder` that a pass could change, read
  // without following a link: kind, mode, owner, size, times, content.
  std::map<std::string, std::string> State(const std::string& folder) {
    std::map<std::string, std::string> state;
    std::error_code error;
    state[""] = Facts(folder);
    for (const auto& entry :
         std::filesystem::recursive_directory_iterator(folder, error))
      state[entry.path().string().substr(folder.size())] =
          Facts(entry.path().string());
    return state;
  }

  // What a backup must reproduce of the tree at `folder`: each entry's
  // kind, and a file's content.
  std::map<std::string, std::string> Contents(const std::string& folder) {
    std::map<std::string, std::string> contents;
    std::error_code error;
    for (const auto& entry :
         std::filesystem::recursive_directory_iterator(folder, error)) {
      const std::string path = entry.path().string();
      const mode_t kind = Lstat(path).st_mode & S_IFMT;
      contents[path.substr(folder.size())] =
          kind == S_IFREG   ? ReadFile(path)
          : kind == S_IFDIR ? "<folder>"
                            : "<kind " + std::to_string(kind) + ">";
    }
    return contents;
  }

  // Empties the test's folder but for the script, and makes `folders`.
  void Fresh(std::initializer_list<const char*> folders) {
    std::error_code error;
    for (const std::string& name : Entries(root_))
      if (name != "Setup.ini" && name != "fstab")
        std::filesystem::remove_all(Path(name), error);
    for (const char* folder : folders) MakeFolder(Path(folder));
    window_.messages.clear();
    window_.on_status = nullptr;
  }

  static std::string Script(const std::string& mode) {
    return "MODE, " + mode + "\r\n";
  }

  // Runs `change` once, at the `nth` status text that begins with `text`.
  void AtStatus(const std::string& text, std::function<void()> change,
                int nth = 1) {
    window_.on_status = [text, change, seen = 0,
                         nth](const std::string& status) mutable {
      if (status.rfind(text, 0) == 0 && ++seen == nth) change();
    };
  }

  // Renames the folder `path` away and puts a link to `target` in its place.
  void SwapForLink(const std::string& path, const std::string& target) {
    ASSERT_EQ(::rename(path.c_str(), (path + "-moved").c_str()), 0);
    ASSERT_EQ(::symlink(target.c_str(), path.c_str()), 0);
  }

  // Runs `body` in a child with a mount namespace of its own, all mounts
  // private and the folder's "fstab" at /etc/fstab: its exit status, 77
  // where no such namespace can be made.
  int InPrivateMounts(const std::function<void()>& body) {
    WriteFile(Path("fstab"), "");
    return testing::InOwnMounts(
        [&] {
          return ::mount(Path("fstab").c_str(), "/etc/fstab", nullptr, MS_BIND,
                         nullptr) == 0;
        },
        body);
  }

  // The path of the record of a run started at kNewer, the `suffix`ed one
  // of its second.
  std::string RecordPath(const std::string& suffix = "") {
    std::tm local{};
    ::localtime_r(&kNewer.tv_sec, &local);
    char name[64];
    std::strftime(name, sizeof name, "%Y-%m-%dT%H-%M-%S", &local);
    return Path("state/fernwise/") + name + suffix + ".txt";
  }

  testing::RecordingWindow window_;
  RunState state_;
  RunContext run_{fs_, window_, state_, [] { return 100.0; }};
  std::optional<std::string> saved_;
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

// A link to a folder outside the trees, copied as a link by one run, must
// not become a way out of them when the next run finds a real folder of
// that name in the source: the backup is never written through it. The
// duplex modes replace the link by the folder; the simplex mode, which
// deletes nothing, ends the run with a message naming it.
TEST_F(RunJobRealTest, LinkLeftInTheBackupIsNeverWrittenThrough) {
  for (const char* mode : {"SIMPLEX", "DUPLEX-DESTRUCTIVE"}) {
    SCOPED_TRACE(mode);
    std::error_code error;
    for (const char* folder : {"src", "dst", "outside"})
      std::filesystem::remove_all(Path(folder), error);
    for (const char* folder : {"src", "dst", "outside"})
      MakeFolder(Path(folder));
    WriteFile(Path("outside/passwd"), "root:x:0:0:root", 0644);
    ASSERT_EQ(::symlink(Path("outside").c_str(), Path("src/evil").c_str()), 0);
    const std::string script =
        "MODE, " + std::string(mode) + "\r\n" + Backup("src", "dst");
    ASSERT_FALSE(Run(script));
    ASSERT_TRUE(S_ISLNK(Lstat(Path("dst/evil")).st_mode));
    const auto outside = State(Path("outside"));

    ASSERT_EQ(::unlink(Path("src/evil").c_str()), 0);
    MakeFolder(Path("src/evil"));
    WriteFile(Path("src/evil/passwd"), "planted::0:0", 0644);
    window_.messages.clear();
    EXPECT_FALSE(Run(script));
    EXPECT_EQ(State(Path("outside")), outside);
    if (std::string(mode) == "SIMPLEX") {
      ASSERT_THAT(window_.messages, ElementsAre(HasSubstr(Path("dst/evil"))));
      EXPECT_TRUE(S_ISLNK(Lstat(Path("dst/evil")).st_mode));
    } else {
      EXPECT_TRUE(window_.messages.empty());
      EXPECT_EQ(ReadFile(Path("dst/evil/passwd")), "planted::0:0");
    }
  }
}

// A destination folder swapped for a link to an outside folder while a pass
// works in it: neither the mirror's copy nor the sweep's erase goes through.
TEST_F(RunJobRealTest, FolderSwappedForALinkMidRunIsNeverWrittenThrough) {
  struct Case {
    const char* pass;
    const char* mode;
    std::string status;
  };
  const Case cases[] = {
      {"mirror", "SIMPLEX", "Comparing " + Path("src/sub/new.txt")},
      {"sweep", "DUPLEX-DESTRUCTIVE", "Comparing " + Path("dst/sub/gone.txt")},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.pass);
    std::error_code error;
    for (const char* folder : {"src", "dst", "outside", "dst/sub-moved"})
      std::filesystem::remove_all(Path(folder), error);
    for (const char* folder : {"src", "src/sub", "dst", "dst/sub", "outside"})
      MakeFolder(Path(folder));
    WriteFile(Path("src/sub/new.txt"), "new");
    WriteFile(Path("dst/sub/gone.txt"), "gone");
    WriteFile(Path("outside/gone.txt"), "precious");
    const auto outside = State(Path("outside"));
    AtStatus(c.status, [&] { SwapForLink(Path("dst/sub"), Path("outside")); });
    const std::optional<RunError> failure =
        Run("MODE, " + std::string(c.mode) + "\r\n" + Backup("src", "dst"));
    EXPECT_EQ(State(Path("outside")), outside);
    ASSERT_TRUE(failure);
    EXPECT_EQ(failure->path(), Path("dst/sub")) << failure->Report();
  }
}

// A folder the run has just made is known empty, so its names are taken as
// free without a look; a file another program puts there meanwhile is never
// replaced: the copy fails instead, in both modes that copy.
TEST_F(RunJobRealTest, FilePutInAFolderJustMadeIsNeverReplaced) {
  for (const char* mode : {"SIMPLEX", "DUPLEX-DESTRUCTIVE"}) {
    SCOPED_TRACE(mode);
    std::error_code error;
    for (const char* folder : {"src", "dst"})
      std::filesystem::remove_all(Path(folder), error);
    for (const char* folder : {"src", "src/sub", "dst"}) MakeFolder(Path(folder));
    WriteFile(Path("src/sub/f"), "source");
    AtStatus("Copying " + Path("src/sub/f"),
             [&] { WriteFile(Path("dst/sub/f"), "theirs"); });
    const std::optional<RunError> failure =
        Run("MODE, " + std::string(mode) + "\r\n" + Backup("src", "dst"));
    ASSERT_TRUE(failure);
    EXPECT_EQ(failure->path(), Path("dst/sub/f")) << failure->Report();
    EXPECT_EQ(ReadFile(Path("dst/sub/f")), "theirs");
  }
}

TEST_F(RunJobRealTest, FileSwappedForALinkBeforeItsMaskIsSetKeepsItsMode) {
  for (const char* folder : {"src", "dst", "outside"}) MakeFolder(Path(folder));
  WriteFile(Path("src/f"), "same", 0600);
  WriteFile(Path("dst/f"), "same", 0644);
  SetTimes(Path("src/f"), kOlder);
  SetTimes(Path("dst/f"), kOlder);
  WriteFile(Path("outside/f"), "precious", 0644);
  const auto outside = State(Path("outside"));
  AtStatus("Refreshing attributes of " + Path("dst/f"), [&] {
    ASSERT_EQ(::unlink(Path("dst/f").c_str()), 0);
    ASSERT_EQ(::symlink(Path("outside/f").c_str(), Path("dst/f").c_str()), 0);
  });
  EXPECT_FALSE(Run("MODE, SIMPLEX\r\n" + Backup("src", "dst")));
  EXPECT_EQ(State(Path("outside")), outside);
}

// A read-only folder of the user's own lends its write bit for one change;
// it must never be a folder reached through a link, here swapped in for the
// destination folder the run has just made.
TEST_F(RunJobRealTest, ReadOnlyFolderBehindALinkLendsNothing) {
  for (const char* folder : {"src", "src/ro", "dst", "outside", "outside/ro"})
    MakeFolder(Path(folder));
  WriteFile(Path("src/ro/x.txt"), "x");
  ASSERT_EQ(::chmod(Path("outside/ro").c_str(), 0555), 0);
  ASSERT_EQ(::chmod(root_.c_str(), 0755), 0);
  std::error_code error;
  for (const auto& entry :
       std::filesystem::recursive_directory_iterator(root_, error))
    ::lchown(entry.path().c_str(), testing::kNobody, testing::kNogroup);
  const auto outside = State(Path("outside"));
  WriteFile(Path("Setup.ini"), "MODE, SIMPLEX\r\n" + Backup("src", "dst"));
  AtStatus("Comparing " + Path("src/ro/x.txt"),
           [&] { SwapForLink(Path("dst/ro"), Path("outside/ro")); });
  std::optional<RunError> failure;
  {
    testing::AsNobody nobody;
    if (::geteuid() == 0 || ::access(Path("dst").c_str(), W_OK) != 0)
      GTEST_SKIP() << "cannot act as the unprivileged owner of the tree";
    failure = RunAgain();
  }
  EXPECT_EQ(State(Path("outside")), outside);
  ASSERT_TRUE(failure);
  EXPECT_EQ(failure->path(), Path("dst/ro")) << failure->Report();
}

// A named folder that is a link to a folder is that folder: its mask is
// the folder's, not the link's 0777, so the backup is not opened to all.
TEST_F(RunJobRealTest, LinkedTopFolderLendsItsFoldersMask) {
  MakeFolder(Path("real"));
  MakeFolder(Path("dst"));
  ASSERT_EQ(::chmod(Path("real").c_str(), 0750), 0);
  WriteFile(Path("real/a.txt"), "a");
  ASSERT_EQ(::symlink("real", Path("linked").c_str()), 0);
  for (int run = 0; run < 2; ++run) {
    ASSERT_FALSE(Run(Backup("linked", "dst")));
    EXPECT_EQ(Lstat(Path("dst")).st_mode & 07777, 0750u) << run;
  }
  EXPECT_THAT(window_.report, HasSubstr(" 0 folders refreshed,"));
}

// The copy an unprivileged user makes of another user's set-ID program is
// that user's own: it must not keep the set-ID bits, nor get them back from
// a later run's mask refresh.
TEST_F(RunJobRealTest, SetIdBitsStayOnlyWithTheOwnerAndGroupTheyBelongTo) {
  struct Case {
    const char* name;
    uid_t owner;
    gid_t group;
    mode_t mode;
    mode_t copied;
  };
  const Case cases[] = {
      {"setuid-of-root", 0, testing::kNogroup, 04755, 0755},
      {"setgid-of-root", testing::kNobody, 0, 02755, 0755},
      {"setuid-own", testing::kNobody, testing::kNogroup, 04755, 04755},
  };
  MakeFolder(Path("src"));
  MakeFolder(Path("dst"));
  ASSERT_EQ(::chmod(root_.c_str(), 0755), 0);
  for (const char* folder : {"src", "dst"})
    ASSERT_EQ(
        ::lchown(Path(folder).c_str(), testing::kNobody, testing::kNogroup), 0);
  for (const Case& c : cases) {
    const std::string source = Path("src/") + c.name;
    WriteFile(source, "#!/bin/sh\n");
    ASSERT_EQ(::lchown(source.c_str(), c.owner, c.group), 0);
    ASSERT_EQ(::chmod(source.c_str(), c.mode), 0);
  }
  WriteFile(Path("Setup.ini"), "MODE, SIMPLEX\r\n" + Backup("src", "dst"));
  {
    testing::AsNobody nobody;
    if (!nobody.dropped()) GTEST_SKIP() << "needs root to act as nobody";
    for (int run = 0; run < 2; ++run) ASSERT_FALSE(RunAgain());
  }
  for (const Case& c : cases)
    EXPECT_EQ(Lstat(Path("dst/") + c.name).st_mode & 07777, c.copied) << c.name;
  EXPECT_THAT(window_.report, HasSubstr("\r\n 0 files refreshed."));
}

// What `cp -a` keeps of each entry below `folder`, folders included: mode,
// owner, group, last-modified time and extended attributes (ACLs among
// them); with `changed`, the time of the last change of status too.
std::map<std::string, std::string> Kept(const std::string& folder,
                                        bool changed = false) {
  std::map<std::string, std::string> kept;
  std::error_code error;
  for (const auto& entry :
       std::filesystem::recursive_directory_iterator(folder, error)) {
    const std::string path = entry.path().string();
    struct stat st {};
    ::lstat(path.c_str(), &st);
    std::string facts = std::to_string(st.st_mode) + " " +
                        std::to_string(st.st_uid) + ":" +
                        std::to_string(st.st_gid) + " " +
                        std::to_string(st.st_mtim.tv_sec) + "." +
                        std::to_string(st.st_mtim.tv_nsec);
    if (changed)
      facts += " " + std::to_string(st.st_ctim.tv_sec) + "." +
               std::to_string(st.st_ctim.tv_nsec);
    char names[1024];
    const ssize_t length = ::llistxattr(path.c_str(), names, sizeof names);
    for (ssize_t at = 0; at < length; at += std::strlen(names + at) + 1) {
      char value[256];
      const ssize_t size = ::lgetxattr(path.c_str(), names + at, value, 256);
      facts += std::string(" ") + (names + at) + "=" +
               std::string(value, size > 0 ? size_t(size) : 0);
    }
    kept[path.substr(folder.size())] = facts;
  }
  return kept;
}

// An ACL in the kernel's form: one entry (tag, permissions, id) of each
// kind, a named user (daemon) among them, masked to read and search.
std::string NamedUserAcl() {
  std::string acl("\2\0\0\0", 4);
  for (auto [tag, perm, id] : {std::tuple{1, 7, -1}, {2, 5, 1},
                               {4, 0, -1}, {0x10, 5, -1}, {0x20, 0, -1}}) {
    const uint16_t head[2] = {uint16_t(tag), uint16_t(perm)};
    const uint32_t who = uint32_t(id);
    acl.append(reinterpret_cast<const char*>(head), 4);
    acl.append(reinterpret_cast<const char*>(&who), 4);
  }
  return acl;
}

// Another user's tree, backed up by root and by its owner: every folder
// comes back as cp -a would make it, the owner can open her backup, and a
// second run changes nothing, not even a folder's status.
TEST_F(RunJobRealTest, FoldersComeBackWithOwnerModeAclAttributesAndTime) {
  if (::geteuid() != 0) GTEST_SKIP() << "needs root to make another's tree";
  const std::string acl = NamedUserAcl();
  for (const bool as_owner : {false, true}) {
    SCOPED_TRACE(as_owner ? "as the owner" : "as root");
    Fresh({"src", "src/private", "src/private/deep", "src/shared", "dst"});
    ASSERT_EQ(::chmod(root_.c_str(), 0755), 0);
    WriteFile(Path("src/private/deep/a.txt"), "a");
    for (const char* path : {"src", "src/private", "src/private/deep",
                             "src/private/deep/a.txt", "src/shared", "dst"})
      ASSERT_EQ(::lchown(Path(path).c_str(), testing::kNobody,
                         testing::kNogroup), 0);
    ASSERT_EQ(::chmod(Path("src/private").c_str(), 0700), 0);
    ASSERT_EQ(::chmod(Path("src/private/deep").c_str(), 02750), 0);
    ASSERT_EQ(::setxattr(Path("src/private").c_str(), "user.note", "n", 1, 0), 0);
    for (const char* name : {"system.posix_acl_access", "system.posix_acl_default"})
      ASSERT_EQ(::setxattr(Path("src/shared").c_str(), name, acl.data(),
                           acl.size(), 0), 0) << name;
    for (const char* folder : {"src/private/deep", "src/private", "src/shared"})
      SetTimes(Path(folder), {kOlder.tv_sec, 123456789});
    WriteFile(Path("Setup.ini"), "MODE, DUPLEX-DESTRUCTIVE\r\n" + Backup("src", "dst"));
    std::map<std::string, std::string> after_first;
    for (int run = 0; run < 2; ++run) {
      std::optional<testing::AsNobody> nobody;
      if (as_owner) nobody.emplace();
      ASSERT_FALSE(RunAgain());
      if (run == 0) after_first = Kept(Path("dst"), true);
    }
    EXPECT_EQ(Kept(Path("dst")), Kept(Path("src")));
    EXPECT_EQ(Kept(Path("dst"), true), after_first);
    testing::AsNobody nobody;
    EXPECT_EQ(::faccessat(AT_FDCWD, Path("dst/private/deep").c_str(),
                          R_OK | X_OK, AT_EACCESS), 0);
  }
}

// The source vanishes while the sweep erases: renamed away, or replaced by
// the empty folder an unmounted drive leaves at its mount point. Nothing
// more is erased after that, though the pass read the folder before.
TEST_F(RunJobRealTest, SourceVanishingMidSweepStopsTheErasing) {
  struct Case {
    const char* what;
    bool leave_empty_folder;
  };
  for (const Case& c :
       {Case{"renamed away", false}, Case{"mount point left behind", true}}) {
    SCOPED_TRACE(c.what);
    std::error_code error;
    for (const char* folder : {"src", "src-moved", "dst"})
      std::filesystem::remove_all(Path(folder), error);
    for (const char* folder : {"src", "dst", "dst/sub"})
      MakeFolder(Path(folder));
    WriteFile(Path("src/kept.txt"), "kept");
    for (int i = 0; i < 10; ++i) {
      WriteFile(Path("dst/stale") + std::to_string(i), "stale");
      WriteFile(Path("dst/sub/stale") + std::to_string(i), "stale");
    }
    AtStatus("Erasing ", [&] {
      ASSERT_EQ(::rename(Path("src").c_str(), Path("src-moved").c_str()), 0);
      if (c.leave_empty_folder) MakeFolder(Path("src"));
    });
    const std::optional<RunError> failure = Run(Backup("src", "dst"));
    ASSERT_TRUE(failure);
    EXPECT_THAT(failure->text(),
                HasSubstr("The source folder has disappeared"));
    EXPECT_GE(Entries(Path("dst")).size() + Entries(Path("dst/sub")).size(),
              20u);  // 21 entries and the kept copy, less one erase at most
    EXPECT_EQ(ReadFile(Path("dst/kept.txt")), "kept");
  }
}

// A source folder replaced while the sweep is in it (a restore from another
// copy, say): the folder the pass read is no longer the one the path names,
// and what it lacks must not be erased before a fresh look.
TEST_F(RunJobRealTest, SourceFolderReplacedMidSweepIsLookedAtAfresh) {
  for (const char* folder : {"src", "src/sub", "dst", "dst/sub"})
    MakeFolder(Path(folder));
  for (const char* name : {"a", "b", "c"})
    WriteFile(Path("dst/sub/") + name, name);
  // The sweep takes names in the listing's order: the first it compares is
  // in the source, and its probe reads the source folder as it was then.
  std::vector<std::string> order;
  DIR* dir = ::opendir(Path("dst/sub").c_str());
  while (const dirent* entry = dir ? ::readdir(dir) : nullptr)
    if (entry->d_name[0] != '.') order.push_back(entry->d_name);
  if (dir) ::closedir(dir);
  ASSERT_EQ(order.size(), 3u);
  WriteFile(Path("src/sub/") + order[0], "first");
  AtStatus(
      "Comparing " + Path("dst/sub/"),
      [&] {
        ASSERT_EQ(::rename(Path("src/sub").c_str(), Path("src/old").c_str()),
                  0);
        MakeFolder(Path("src/sub"));
        for (const std::string& name : order)
          WriteFile(Path("src/sub/") + name, name);
      },
      2);
  ASSERT_FALSE(Run(Backup("src", "dst")));
  EXPECT_THAT(Entries(Path("dst/sub")), ElementsAre("a", "b", "c"));
}

// A destination folder replaced by another full one while the preserving
// mode erases in it (another program, a second run): the sweep's, or the
// mirror's when a folder became a file. Every file that leaves the backup
// is kept first, and the run ends naming what happened.
TEST_F(RunJobRealTest, FolderReplacedWhileErasingLosesNothing) {
  struct Case {
    const char* what;
    bool source_is_file;  // the mirror erases the folder; else the sweep
    bool during_keep;     // swapped while the first old version is copied
  };
  for (const Case& c : {Case{"sweep, before the keep", false, false},
                        Case{"sweep, during the keep", false, true},
                        Case{"mirror, before the keep", true, false}}) {
    SCOPED_TRACE(c.what);
    Fresh({"src", "dst", "dst/sub", "old", "other"});
    if (c.source_is_file) WriteFile(Path("src/sub"), "file");
    if (!c.source_is_file) MakeFolder(Path("src/sub"));
    std::multiset<std::string> all;
    for (int i = 0; i < 5; ++i) {
      const std::string name = "/f" + std::to_string(i);
      WriteFile(Path("dst/sub") + name, "old" + name);
      WriteFile(Path("other") + name, "new" + name);
      all.insert({"old" + name, "new" + name});
    }
    bool armed = false;
    const auto swap = [&] {
      ASSERT_EQ(::rename(Path("dst/sub").c_str(), Path("moved").c_str()), 0);
      ASSERT_EQ(::rename(Path("other").c_str(), Path("dst/sub").c_str()), 0);
    };
    AtStatus("Erasing ", [&] {
      if (c.during_keep) armed = true;
      if (!c.during_keep) swap();
    });
    fs_.set_copy_hook([&](int64_t) {
      if (std::exchange(armed, false)) swap();
    });
    const std::optional<RunError> failure =
        Run(Script("DUPLEX-PRESERVING, " + Path("old")) + Backup("src", "dst"));
    fs_.set_copy_hook(nullptr);
    ASSERT_TRUE(failure);
    EXPECT_THAT(failure->text(), HasSubstr("folder was replaced"));
    std::multiset<std::string> found;
    for (const char* folder : {"dst/sub", "moved", "old"})
      for (const auto& [name, content] : Contents(Path(folder)))
        found.insert(content);
    EXPECT_TRUE(
        std::includes(found.begin(), found.end(), all.begin(), all.end()));
  }
}

// A run that fails while copies wait for their batch's flush, whose commit
// then fails too (their folder replaced by a link): the run's own error is
// reported with the commit's after it, the program goes on to say so, the
// copies made before are named and no temporary file is left.
TEST_F(RunJobRealTest, CommitFailingAfterTheRunsFailureIsAddedToItsReport) {
  for (const char* folder : {"src", "src/sub", "dst", "outside"})
    MakeFolder(Path(folder));
  WriteFile(Path("src/a.txt"), "a");
  for (const char* name : {"f0", "f1", "f2", "f3"})
    WriteFile(Path("src/sub/") + name, name);
  AtStatus(
      "Copying " + Path("src/sub/"),
      [&] { SwapForLink(Path("dst/sub"), Path("outside")); }, 3);
  WriteFile(Path("Setup.ini"), Backup("src", "dst"));
  std::optional<std::string> report;
  {
    InFolder in_root(root_);
    report = RunBackupJobReportingFailure(run_);
  }
  ASSERT_TRUE(report);
  const size_t second = report->find("\r\nError ");
  ASSERT_NE(second, std::string::npos) << *report;
  EXPECT_THAT(report->substr(0, second),
              HasSubstr("A link stands where a folder belongs"));
  EXPECT_THAT(report->substr(second), HasSubstr(Path("dst/sub/")));
  EXPECT_EQ(ReadFile(Path("dst/a.txt")), "a");
  for (const char* folder : {"dst", "dst/sub-moved", "outside"})
    for (const std::string& name : Entries(Path(folder)))
      EXPECT_FALSE(fs_.IsLeftoverTemporary(name)) << folder << "/" << name;
}

// A copy cut short by a kill leaves its temporary file beside the target,
// or in the secondary folder. The next run removes it in every mode (the
// secondary folder's in the preserving mode), keeps no version of it and
// counts nothing for it; a file of that form that the source has is the
// user's, and so is a destination file that merely looks alike: the
// simplex mode keeps it, the duplex modes sweep it as any other.
TEST_F(RunJobRealTest, LeftoverTemporaryFilesGoInEveryMode) {
  // What a killed run left while it kept version 1 of the look-alike: it
  // does not take that number.
  const std::string look_alike = ".report.fernwise-backup";
  const std::string version = Flattened(Path("src/" + look_alike)) + ".1";
  const std::string kept_leftover = MakeTemporaryName("." + version + ".", "");
  for (const std::string& mode :
       {std::string("SIMPLEX"), std::string("DUPLEX-DESTRUCTIVE"),
        "DUPLEX-PRESERVING, " + Path("old")}) {
    SCOPED_TRACE(mode);
    Fresh({"src", "src/sub", "dst", "old"});
    window_.statuses.clear();
    WriteFile(Path("src/a.txt"), "a");
    WriteFile(Path("src/sub/" + MakeTemporaryName(".mine.", "")), "mine");
    const std::string script = Script(mode) + Backup("src", "dst");
    ASSERT_FALSE(Run(script));
    WriteFile(Path("dst/" + MakeTemporaryName(".a.txt.", "")),
              std::string(1 << 20, 'j'));
    WriteFile(Path("dst/sub/" + MakeTemporaryName(".b.", "")), "half");
    WriteFile(Path("dst/" + look_alike), "the user's");
    WriteFile(Path("old/") + kept_leftover, "half a version");
    ASSERT_FALSE(Run(script));
    std::map<std::string, std::string> expected = Contents(Path("src"));
    if (mode == "SIMPLEX") expected["/" + look_alike] = "the user's";
    EXPECT_EQ(Contents(Path("dst")), expected);
    const bool preserving = mode != "SIMPLEX" && mode != "DUPLEX-DESTRUCTIVE";
    EXPECT_EQ(Entries(Path("old")),
              preserving ? std::vector<std::string>{version}
                         : std::vector<std::string>{kept_leftover});
    const std::vector<std::string>& shown = window_.statuses;
    EXPECT_EQ(std::count(shown.begin(), shown.end(),
                         "Erasing " + Path("old/") + kept_leftover + "..."),
              preserving ? 1 : 0);
    EXPECT_THAT(window_.report, HasSubstr("\r\n 0 files newly created and"));
  }
}

// A source entry that changed kind (a file became a folder, a folder a
// file): the duplex modes replace the backup's entry, keeping every file
// that goes in the preserving mode; the simplex mode names it and stops.
TEST_F(RunJobRealTest, KindChangesAreReplacedOrNamed) {
  struct Case {
    const char* mode;
    bool to_folder;  // the source's file became a folder; else the reverse
    std::vector<std::string> kept;
  };
  const std::string x = Flattened(Path("src/x"));
  const Case cases[] = {
      {"SIMPLEX", true, {}},
      {"SIMPLEX", false, {}},
      {"DUPLEX-DESTRUCTIVE", true, {}},
      {"DUPLEX-DESTRUCTIVE", false, {}},
      {"DUPLEX-PRESERVING", true, {x + ".1"}},
      {"DUPLEX-PRESERVING", false, {x + ".deep.z.1", x + ".inner.1"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.mode) +
                 (c.to_folder ? " to folder" : " to file"));
    Fresh({"src", "dst", "old"});
    const auto make_folder = [&] {
      MakeFolder(Path("src/x"));
      MakeFolder(Path("src/x/deep"));
      WriteFile(Path("src/x/inner"), "inner");
      WriteFile(Path("src/x/deep/z"), "z");
    };
    if (c.to_folder) {
      WriteFile(Path("src/x"), "file");
    } else {
      make_folder();
    }
    const std::string script =
        Script(c.mode + std::string(std::string(c.mode) == "DUPLEX-PRESERVING"
                                        ? ", " + Path("old")
                                        : "")) +
        Backup("src", "dst");
    ASSERT_FALSE(Run(script));
    const auto before = Contents(Path("dst"));
    std::error_code error;
    std::filesystem::remove_all(Path("src/x"), error);
    if (c.to_folder) {
      make_folder();
    } else {
      WriteFile(Path("src/x"), "file");
    }
    EXPECT_FALSE(Run(script));
    EXPECT_EQ(Entries(Path("old")), c.kept);
    if (std::string(c.mode) == "SIMPLEX") {
      ASSERT_EQ(window_.messages.size(), 1u);
      EXPECT_THAT(window_.messages[0],
                  HasSubstr("(" + Path("dst/x") + ") is a"));
      EXPECT_THAT(window_.messages[0],
                  HasSubstr(c.to_folder ? "a folder!" : "a file!"));
      EXPECT_EQ(Contents(Path("dst")), before);
    } else {
      EXPECT_TRUE(window_.messages.empty());
      EXPECT_EQ(Contents(Path("dst")), Contents(Path("src")));
      EXPECT_THAT(window_.report,
                  HasSubstr(c.to_folder ? "\r\n 2 folders newly created,"
                                        : "\r\n 1 files newly created and"));
    }
  }
}

// A source-side path longer than a name may be: its versions are kept
// under a shortened name within the file system's limit, one for the path.
TEST_F(RunJobRealTest, LongSourcePathsKeepTheirVersionsUnderOneShortName) {
  std::string deep = "src";
  for (const char* folder : {"src", "dst", "old"}) MakeFolder(Path(folder));
  while (Path(deep).size() < 300) {
    deep += "/" + std::string(60, 'd');
    MakeFolder(Path(deep));
  }
  const std::string file = deep + "/report.txt";
  const std::string script =
      Script("DUPLEX-PRESERVING, " + Path("old")) + Backup("src", "dst");
  for (int version = 1; version <= 3; ++version) {
    WriteFile(Path(file), "version " + std::to_string(version));
    SetTimes(Path(file), {kOlder.tv_sec + version, 0});
    ASSERT_FALSE(Run(script)) << version;
  }
  const std::vector<std::string> kept = Entries(Path("old"));
  ASSERT_EQ(kept.size(), 2u);
  for (const std::string& name : kept) EXPECT_LE(name.size(), size_t{NAME_MAX});
  EXPECT_THAT(kept[0], ::testing::EndsWith(".report.txt.1"));
  EXPECT_EQ(kept[1], kept[0].substr(0, kept[0].size() - 1) + "2");
  EXPECT_EQ(ReadFile(Path("old/") + kept[1]), "version 2");
}

// A device node the user may not make is left out and the run goes on; in
// the preserving mode one the sweep would erase is kept, since no copy of
// it can be stored.
TEST_F(RunJobRealTest, DeviceNodesTheUserMayNotMakeAreLeftOut) {
  for (const char* folder : {"src", "dst", "old"}) MakeFolder(Path(folder));
  WriteFile(Path("src/a.txt"), "a");
  if (::mknod(Path("src/null").c_str(), S_IFCHR | 0666, makedev(1, 3)) != 0 ||
      ::mknod(Path("dst/gone").c_str(), S_IFCHR | 0666, makedev(1, 3)) != 0)
    GTEST_SKIP() << "cannot make device nodes here";
  ASSERT_EQ(::chmod(root_.c_str(), 0755), 0);
  std::error_code error;
  for (const auto& entry :
       std::filesystem::recursive_directory_iterator(root_, error))
    if (entry.is_directory())
      ::lchown(entry.path().c_str(), testing::kNobody, testing::kNogroup);
  for (const std::string& mode :
       {std::string("SIMPLEX"), "DUPLEX-PRESERVING, " + Path("old")}) {
    SCOPED_TRACE(mode);
    WriteFile(Path("Setup.ini"), Script(mode) + Backup("src", "dst"));
    std::optional<RunError> failure;
    {
      testing::AsNobody nobody;
      if (!nobody.dropped()) GTEST_SKIP() << "needs root to act as nobody";
      failure = RunAgain();
    }
    EXPECT_FALSE(failure) << failure->Report();
    EXPECT_THAT(Entries(Path("dst")), ElementsAre("a.txt", "gone"));
    EXPECT_THAT(Entries(Path("old")), ::testing::IsEmpty());
    EXPECT_THAT(state_.LeftOut, Contains(HasSubstr(Path("src/null"))));
  }
}

// A file another program changes while it is copied: truncated, swapped
// for a FIFO, or written to without end. A copy is only ever of one whole
// version. A file that changes at every try (the source, or in the
// preserving mode the backup whose old version is being kept) is left out
// and listed; its backup stays as it was, and the run goes on.
TEST_F(RunJobRealTest, SourcesChangedDuringTheCopyAreCopiedAsTheyAreNow) {
  struct Case {
    const char* what;
    std::function<void(const std::string& path)> change;
    bool every_time;  // else once
    mode_t kind;      // of the backup; 0 when the file is left out
    const char* changed = "src/big";  // what the change is made to
    const char* mode = "SIMPLEX";
  };
  const auto append = [](const std::string& path) {
    std::FILE* file = std::fopen(path.c_str(), "a");
    std::fputs("more", file);
    std::fclose(file);
  };
  const Case cases[] = {
      {"truncated", [](const std::string& path) { ::truncate(path.c_str(), 9); },
       false, S_IFREG},
      {"swapped for a FIFO",
       [](const std::string& path) {
         ::unlink(path.c_str());
         ::mkfifo(path.c_str(), 0644);
       },
       false, S_IFIFO},
      {"written to throughout", append, true, 0},
      {"its old version written to throughout", append, true, 0, "dst/big",
       "DUPLEX-PRESERVING, "},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    Fresh({"src", "dst", "old"});
    const std::string source = Path("src/big");
    const std::string changed = Path(c.changed);
    WriteFile(source, std::string(3 << 20, 'b'));
    for (const char* other : {"src/a", "src/z"}) WriteFile(Path(other), other);
    WriteFile(Path("dst/big"), "old backup");
    SetTimes(Path("dst/big"), kOlder);
    const std::map<std::string, std::string> before = State(Path("dst"));
    // A FIFO swapped in before the copy opens it; the others while it runs.
    bool armed = false;
    AtStatus("Refresing ", [&] {
      if (c.kind == S_IFIFO) c.change(changed);
      armed = c.kind != S_IFIFO;
    });
    fs_.set_copy_hook([&](int64_t) {
      if (!armed) return;
      armed = c.every_time;
      c.change(changed);
    });
    const std::string mode =
        c.mode + std::string(*c.mode == 'D' ? Path("old") : "");
    const std::optional<RunError> failure =
        Run(Script(mode) + Backup("src", "dst"));
    fs_.set_copy_hook(nullptr);
    ASSERT_FALSE(failure) << failure->Report();
    EXPECT_EQ(ReadFile(Path("dst/a")), "src/a");
    EXPECT_EQ(ReadFile(Path("dst/z")), "src/z");
    if (c.kind == 0) {
      EXPECT_THAT(state_.LeftOut, ElementsAre(StartsWith(changed + " (it kept "
                                                                   "changing")));
      ASSERT_EQ(window_.messages.size(), 1u);
      EXPECT_THAT(window_.messages[0], HasSubstr(changed + " ("));
      EXPECT_THAT(ReadFile(Path("Not backed up.txt")), HasSubstr(changed));
      EXPECT_THAT(Entries(Path("old")), ::testing::IsEmpty());
      if (changed == source) {
        EXPECT_EQ(State(Path("dst"))["/big"], before.at("/big"));
        EXPECT_EQ(ReadFile(Path("dst/big")), "old backup");
      } else {
        EXPECT_THAT(ReadFile(changed), StartsWith("old backupmore"));
      }
      continue;
    }
    EXPECT_EQ(Contents(Path("dst")), Contents(Path("src")));
    EXPECT_EQ(Lstat(Path("dst/big")).st_mode & S_IFMT, c.kind);
    const timespec copied = Lstat(Path("dst/big")).st_mtim;
    const timespec now = Lstat(source).st_mtim;
    EXPECT_EQ(copied.tv_sec, now.tv_sec);
    EXPECT_EQ(copied.tv_nsec, now.tv_nsec);
  }
}

// Another run or program may store a version between the probe that found
// a number free and the copy: it is never replaced, and the next number is
// taken.
TEST_F(RunJobRealTest, SecondaryNameTakenAfterItsProbeIsNeverReplaced) {
  for (const char* folder : {"src", "dst", "old"}) MakeFolder(Path(folder));
  WriteFile(Path("src/a.txt"), "A");
  WriteFile(Path("dst/a.txt"), "old A");
  SetTimes(Path("dst/a.txt"), kOlder);
  const std::string copy = Path("old/") + Flattened(Path("src/a.txt"));
  bool armed = false;
  AtStatus("Refresing ", [&] { armed = true; });
  fs_.set_copy_hook([&](int64_t) {
    if (armed) WriteFile(copy + ".1", "another run's");
    armed = false;
  });
  EXPECT_FALSE(
      Run(Script("DUPLEX-PRESERVING, " + Path("old")) + Backup("src", "dst")));
  fs_.set_copy_hook(nullptr);
  EXPECT_EQ(ReadFile(copy + ".1"), "another run's");
  EXPECT_EQ(ReadFile(copy + ".2"), "old A");
  EXPECT_EQ(ReadFile(Path("dst/a.txt")), "A");
}

// A displaced set-user-ID program with a file capability (cap_net_raw=ep)
// is kept as an archive: neither bits nor capability, though root's run
// gives the new copy both.
TEST_F(RunJobRealTest, KeptVersionsOfProgramsCannotBeRun) {
  for (const char* folder : {"src", "dst", "old"}) MakeFolder(Path(folder));
  const uint32_t capability[5] = {0x02000001, 1u << 13, 0, 0, 0};
  for (const char* file : {"src/prog", "dst/prog"}) {
    WriteFile(Path(file), file, 06755);
    if (::setxattr(Path(file).c_str(), "security.capability", capability,
                   sizeof capability, 0) != 0)
      GTEST_SKIP() << "cannot give a file capabilities here";
  }
  SetTimes(Path("dst/prog"), kOlder);
  EXPECT_FALSE(
      Run(Script("DUPLEX-PRESERVING, " + Path("old")) + Backup("src", "dst")));
  const std::string kept = Path("old/") + Flattened(Path("src/prog")) + ".1";
  EXPECT_EQ(ReadFile(kept), "dst/prog");
  EXPECT_EQ(Lstat(kept).st_mode & 07777, 0755u);
  EXPECT_LT(::getxattr(kept.c_str(), "security.capability", nullptr, 0), 0);
  EXPECT_EQ(Lstat(Path("dst/prog")).st_mode & 07777, 06755u);
  EXPECT_GT(::getxattr(Path("dst/prog").c_str(), "security.capability",
                       nullptr, 0), 0);
}

// Below `at`, `levels` folders named `name`, one in the other, made (or,
// with `remove`, removed with all they hold) by descriptor, as no path to
// them fits PATH_MAX; the deepest one's descriptor, or -1.
int DeepFolders(int at, const std::string& name, int levels, bool remove) {
  if (levels == 0) return ::dup(at);
  if (!remove) ::mkdirat(at, name.c_str(), 0755);
  const int below = ::openat(at, name.c_str(), O_RDONLY | O_DIRECTORY);
  if (below < 0) return -1;
  const int deepest = DeepFolders(below, name, levels - 1, remove);
  if (remove) {
    ::unlinkat(below, "deep.txt", 0);
    ::close(below);
    ::unlinkat(at, name.c_str(), AT_REMOVEDIR);
    return -1;
  }
  ::close(below);
  return deepest;
}

// A tree 25 levels of 200-byte names deep is backed up whole and listed,
// though no path to its deepest file fits PATH_MAX.
TEST_F(RunJobRealTest, TreesDeeperThanAnyPathAreBackedUpAndListed) {
  const std::string name(200, 'n');
  Fresh({"src", "dst"});
  const int src = ::open(Path("src").c_str(), O_RDONLY | O_DIRECTORY);
  const int deepest = DeepFolders(src, name, 25, false);
  ASSERT_GE(deepest, 0);
  const int file = ::openat(deepest, "deep.txt", O_WRONLY | O_CREAT, 0644);
  ASSERT_EQ(::write(file, "deep", 4), 4);
  for (const int fd : {file, deepest}) ::close(fd);
  const std::optional<RunError> failure =
      Run(Backup("src", "dst") + "STOREFOLDERTREE, " + Path("dst") + ", " +
          Path("tree.txt") + "\r\n");
  EXPECT_FALSE(failure) << failure->Report();
  const int dst = ::open(Path("dst").c_str(), O_RDONLY | O_DIRECTORY);
  const int copied = DeepFolders(dst, name, 25, false);
  char content[8] = {};
  EXPECT_EQ(::pread(::openat(copied, "deep.txt", O_RDONLY), content, 8, 0), 4);
  EXPECT_STREQ(content, "deep");
  const std::string tree = ReadFile(Path("tree.txt"));
  EXPECT_EQ(std::count(tree.begin(), tree.end(), '\n'), 26 + 25 + 1) << tree;
  EXPECT_THAT(tree, HasSubstr("deep.txt,FILE, 4 ,"));
  for (const int top : {src, dst}) {
    DeepFolders(top, name, 25, true);
    ::close(top);
  }
  ::close(copied);
}

// A drive that fstab names but that is not mounted (a tmpfs, unmounted after
// the first backup), as the source or below it, keeps its backup however its
// mount point is filled; an empty source that fstab does not name is refused.
TEST_F(RunJobRealTest, DrivesThatAreNotMountedKeepTheirBackups) {
  if (::geteuid() != 0) GTEST_SKIP() << "needs root to mount";
  const int status = InPrivateMounts([&] {
    for (const std::string drive : {"src", "src/my drive", ""}) {
      SCOPED_TRACE(drive);
      Fresh({"src", "dst", "old"});
      const bool below = drive.size() > 3, in_fstab = !drive.empty();
      const std::string mount_point = Path(in_fstab ? drive : "src");
      if (below) MakeFolder(mount_point);
      std::string escaped = mount_point;
      if (below) escaped.replace(escaped.find(' '), 1, "\\040");
      WriteFile(Path("fstab"), in_fstab ? "d " + escaped + " tmpfs 0 0\n" : "");
      ASSERT_EQ(::mount("d", mount_point.c_str(), "tmpfs", 0, nullptr), 0);
      for (int i = 0; i < 30; ++i)
        WriteFile(mount_point + "/f" + std::to_string(i), "data");
      ASSERT_FALSE(Run(Backup("src", "dst")));
      ASSERT_EQ(::umount2(mount_point.c_str(), MNT_DETACH), 0);
      std::map<std::string, std::string> backup = Contents(Path("dst"));
      ASSERT_EQ(backup.size(), below ? 31u : 30u);
      if (in_fstab) WriteFile(Path("src/new.txt"), "new");
      if (below) backup["/new.txt"] = "new";
      for (const std::string& mode :
           std::vector<std::string>{"DUP-DES", "DUP-PRE, " + Path("old")}) {
        window_.messages.clear();
        ASSERT_FALSE(Run(Script(mode) + Backup("src", "dst")));
        EXPECT_EQ(Contents(Path("dst")), backup) << mode;
        EXPECT_THAT(window_.messages,
                    ElementsAre(HasSubstr(
                        in_fstab ? mount_point + " (its drive is not mounted)"
                                 : "is empty but Destination")));
      }
    }
  });
  if (status == 77) GTEST_SKIP() << "cannot make a mount namespace of its own";
  EXPECT_EQ(status, 0);
}

// Whatever stands at the record's name is passed by, never written through
// or opened: the record takes the next name.
TEST_F(RunJobRealTest, RecordIsNeverWrittenThroughWhatStandsAtItsName) {
  const std::vector<std::pair<const char*, std::function<void(std::string)>>>
      plants = {
          {"link",
           [&](std::string at) {
             ASSERT_EQ(::symlink(Path("outside/f").c_str(), at.c_str()), 0);
           }},
          {"dangling link",
           [&](std::string at) {
             ASSERT_EQ(::symlink(Path("outside/new").c_str(), at.c_str()), 0);
           }},
          {"FIFO",
           [](std::string at) { ASSERT_EQ(::mkfifo(at.c_str(), 0644), 0); }},
      };
  for (const auto& [what, plant] : plants) {
    SCOPED_TRACE(what);
    Fresh({"src", "dst", "outside", "state", "state/fernwise"});
    WriteFile(Path("src/a.txt"), "a");
    WriteFile(Path("outside/f"), "precious");
    plant(RecordPath());
    const auto outside = State(Path("outside"));
    const mode_t kind = Lstat(RecordPath()).st_mode & S_IFMT;
    ASSERT_FALSE(Run(Backup("src", "dst")));
    EXPECT_EQ(State(Path("outside")), outside);
    EXPECT_EQ(Lstat(RecordPath()).st_mode & S_IFMT, kind);
    EXPECT_THAT(ReadFile(RecordPath("_02")),
                HasSubstr("\ncreated file " + Path("dst/a.txt") + "\n"));
  }
}

// A record that cannot be written leaves the run as it is with one.
TEST_F(RunJobRealTest, UnwritableStateFolderLeavesTheRunAsItIs) {
  struct Case {
    const char* what;
    std::function<void()> spoil;
    bool recorded;
  };
  const char* home = std::getenv("HOME");
  const std::optional<std::string> saved_home =
      home ? std::optional<std::string>(home) : std::nullopt;
  const Case cases[] = {
      {"written", [] {}, true},
      {"a file in the way", [&] { WriteFile(Path("state"), "file"); }, false},
      {"no home folder",
       [] {
         ::unsetenv("XDG_STATE_HOME");
         ::unsetenv("HOME");
       },
       false},
  };
  std::string report;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    Fresh({"src", "dst"});
    WriteFile(Path("src/a.txt"), "a");
    WriteFile(Path("dst/gone.txt"), "gone");
    c.spoil();
    const std::optional<RunError> failure = Run(Backup("src", "dst"));
    ::setenv("XDG_STATE_HOME", Path("state").c_str(), 1);
    if (saved_home) ::setenv("HOME", saved_home->c_str(), 1);
    ASSERT_FALSE(failure) << failure->Report();
    EXPECT_TRUE(window_.messages.empty());
    EXPECT_EQ(Contents(Path("dst")), Contents(Path("src")));
    if (report.empty()) report = window_.report;
    EXPECT_EQ(window_.report, report);
    EXPECT_EQ(std::filesystem::exists(RecordPath()), c.recorded);
  }
}

}  // namespace
}  // namespace fernwise
