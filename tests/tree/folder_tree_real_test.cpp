// The folder-tree listing and the sweep on real temporary folders.
#include <sys/stat.h>
#include <unistd.h>

#include <clocale>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <map>
#include <optional>
#include <string_view>

#include <gtest/gtest.h>

#include "core/run_state.h"
#include "sync/sweep.h"
#include "tests/support/linux_temp_folder.h"
#include "tests/support/recording_window.h"
#include "tree/folder_tree.h"

namespace fernwise {
namespace {

// 2026-03-04 05:06:07.25 UTC, 2025-12-31 00:00:00 UTC.
constexpr timespec kMorning{1772600767, 250000000};
constexpr timespec kMidnight{1767139200, 0};

// The attribute mask the POSIX services give an entry of `mode` and `name`.
std::string MaskField(mode_t mode, std::string_view name) {
  uint32_t mask = static_cast<uint32_t>(mode & 07777) << linux_os::kPermissionShift;
  if (S_ISDIR(mode)) mask |= kAttrFolder;
  if ((mode & S_IWUSR) == 0) mask |= kAttrReadOnly;
  if (name.front() == '.') mask |= kAttrHidden;
  return " " + std::to_string(mask) + " ";
}

class FolderTreeRealTest : public testing::LinuxTempFolderTest {
 protected:
  void SetUp() override {
    LinuxTempFolderTest::SetUp();
    // The library never calls setlocale, so the C locale's ISO form applies;
    // UTC keeps the local time of day independent of the machine.
    ASSERT_STREQ(std::setlocale(LC_TIME, nullptr), "C");
    if (const char* tz = std::getenv("TZ")) saved_tz_ = tz;
    ::setenv("TZ", "UTC", 1);
    ::tzset();
    // Searchable by the unprivileged user of the unreadable-folder test.
    ASSERT_EQ(::chmod(root_.c_str(), 0755), 0);
  }
  void TearDown() override {
    if (saved_tz_) {
      ::setenv("TZ", saved_tz_->c_str(), 1);
    } else {
      ::unsetenv("TZ");
    }
    ::tzset();
    LinuxTempFolderTest::TearDown();
  }

  // The line of one entry, read through plain lstat.
  std::string Line(const std::string& folder, const std::string& name,
                   const std::string& date) {
    const struct stat st = Lstat(folder + "/" + name);
    return name + (S_ISDIR(st.st_mode) ? ",<DIR>," : ",FILE,") + " " +
           std::to_string(st.st_size) + " ," + date + "," +
           MaskField(st.st_mode, name) + "\r\n";
  }

  // A folder's section: its header, then the lines of `dates` (name to date
  // text) in the order readdir yields them, subfolders first.
  std::string Section(const std::string& folder,
                      const std::map<std::string, std::string>& dates) {
    std::string folders, files;
    DIR* dir = ::opendir(folder.c_str());
    while (const dirent* entry = dir ? ::readdir(dir) : nullptr) {
      const auto it = dates.find(entry->d_name);
      if (it == dates.end()) continue;
      const bool is_folder = S_ISDIR(Lstat(folder + "/" + it->first).st_mode);
      (is_folder ? folders : files) += Line(folder, it->first, it->second);
    }
    if (dir) ::closedir(dir);
    return "nul, " + folder + "\r\n" + folders + files;
  }

  std::string List(const std::string& folder) {
    std::unique_ptr<TextOutput> out = fs_.CreateTextFile(Path("listing.txt"));
    StoreFolderTree(run_, *fs_.Enter({folder, "", ""}, {}), folder, *out);
    out->Close();
    return ReadFile(Path("listing.txt"));
  }

  std::optional<std::string> saved_tz_;
  testing::RecordingWindow window_;
  RunState state_;
  RunContext run_{fs_, window_, state_, [] { return 0.0; }};
};

TEST_F(FolderTreeRealTest, ListsASmallTreeExactly) {
  const std::string top = Path("t");
  MakeFolder(top);
  WriteFile(top + "/notes.txt", std::string(512, 'n'));
  WriteFile(top + "/.hidden", "h", 0400);
  WriteFile(top + "/a,b.txt", "xyz");
  ASSERT_EQ(::symlink("notes.txt", (top + "/link").c_str()), 0);
  MakeFolder(top + "/.config");
  WriteFile(top + "/.config/settings", "ab");
  MakeFolder(top + "/empty");
  for (const char* name : {"notes.txt", ".hidden", "a,b.txt", "link"})
    SetTimes(top + "/" + name, kMorning);
  SetTimes(top + "/.config/settings", kMidnight);
  SetTimes(top + "/.config", kMidnight);
  SetTimes(top + "/empty", kMorning);

  const std::string morning = "2026-03-04 05:06:07";
  const std::string expected = Section(top, {{"notes.txt", morning},
                                             {".hidden", morning},
                                             {"a,b.txt", morning},
                                             {"link", morning},
                                             {".config", "2025-12-31"},
                                             {"empty", morning}});
  const std::string config =
      Section(top + "/.config", {{"settings", "2025-12-31"}});
  const std::string empty = Section(top + "/empty", {});
  const std::string listing = List(top);
  // The subfolders' sections follow in the order of their entry lines.
  const bool config_first = expected.find(".config,") < expected.find("empty,");
  EXPECT_EQ(listing,
            expected + (config_first ? config + empty : empty + config));
  // A link is an entry of its own: its size is its target text's length.
  EXPECT_NE(listing.find("link,FILE, 9 ,"), std::string::npos) << listing;
}

TEST_F(FolderTreeRealTest, MissingTopFolderGivesOneHeaderLine) {
  EXPECT_EQ(List(Path("missing")), "nul, " + Path("missing") + "\r\n");
}

TEST_F(FolderTreeRealTest, UnreadableFolderKeepsItsHeaderAndTheRunGoesOn) {
  const std::string top = Path("t");
  MakeFolder(top);
  MakeFolder(top + "/locked");
  WriteFile(top + "/locked/secret.txt", "s");
  MakeFolder(top + "/open");
  WriteFile(top + "/open/seen.txt", "x");
  for (const char* name : {"locked", "open", "open/seen.txt"})
    SetTimes(top + "/" + name, {0, 0});
  ASSERT_EQ(::chmod((top + "/locked").c_str(), 0), 0);
  const std::string expected =
      Section(top, {{"locked", "1970-01-01"}, {"open", "1970-01-01"}});
  const std::string locked = "nul, " + top + "/locked\r\n";
  const std::string open = Section(top + "/open", {{"seen.txt", "1970-01-01"}});

  std::unique_ptr<TextOutput> out = fs_.CreateTextFile(Path("listing.txt"));
  {
    testing::AsNobody nobody;
    if (!nobody.dropped()) {
      ::chmod((top + "/locked").c_str(), 0755);
      GTEST_SKIP() << "running as root without the right to drop it, so "
                      "a folder without permissions stays readable";
    }
    StoreFolderTree(run_, *fs_.Enter({top, "", ""}, {}), top, *out);
  }
  out->Close();
  ASSERT_EQ(::chmod((top + "/locked").c_str(), 0755), 0);
  const bool locked_first = expected.find("locked,") < expected.find("open,");
  EXPECT_EQ(ReadFile(Path("listing.txt")),
            expected + (locked_first ? locked + open : open + locked));
}

using SweepRealTest = FolderTreeRealTest;

// A link in the destination is a file entry: erased as a link when its
// counterpart is gone, never followed into its target.
TEST_F(SweepRealTest, LinksAreErasedOrKeptAsLinksNeverFollowed) {
  MakeFolder(Path("src"));
  MakeFolder(Path("dst"));
  MakeFolder(Path("outside"));
  WriteFile(Path("outside/precious"), "p");
  ASSERT_EQ(::symlink(Path("outside").c_str(), Path("dst/gone").c_str()), 0);
  ASSERT_EQ(::symlink(Path("outside").c_str(), Path("dst/kept").c_str()), 0);
  WriteFile(Path("src/kept"), "");
  // The sweep checks that the source folder is the one its entry named.
  entry_ = fs_.Enter({Path("src"), "", ""}, {});
  SweepFolder(run_, *entry_, Path("dst"), Path("src"));
  EXPECT_EQ(Entries(Path("dst")), std::vector<std::string>{"kept"});
  EXPECT_TRUE(S_ISLNK(Lstat(Path("dst/kept")).st_mode));
  EXPECT_EQ(ReadFile(Path("outside/precious")), "p");
}

// A listing goes to the file a buffer at a time, and each line is written in
// two pieces, the mask last, whose failure the listing absorbs with -1. When
// the mask is the piece that fills the buffer and the file refuses it, what
// was lost is every line before it: the listing must end with the failure,
// even if the file takes all that comes after.
TEST_F(FolderTreeRealTest, RefusedBufferEndsTheListingEvenWhenAMaskFillsIt) {
  const std::string top = Path("t");
  MakeFolder(top);
  MakeFolder(top + "/sub");  // its "Seeking " text comes after top's lines
  for (int i = 0; i < 1600; ++i) {  // lines of one length, past 64 KiB
    char name[16];
    std::snprintf(name, sizeof name, "f%04d", i);
    WriteFile(top + "/" + name, "x");
    SetTimes(top + "/" + name, kMorning);
  }
  // Lengthen the top folder's name, and so its header line, until the
  // buffer fills at the end of a mask.
  const std::string whole = List(top);
  constexpr size_t kBuffer = BufferedTextOutput::kFlushBytes;
  const auto mask_fills_buffer = [&](size_t shift) {
    for (size_t end = whole.find("\r\n"); end != std::string::npos;
         end = whole.find("\r\n", end + 2)) {
      if (whole.rfind(',', end) + 1 + shift >= kBuffer) return false;
      if (end + 2 + shift >= kBuffer) return true;
    }
    return false;
  };
  size_t shift = 0;
  while (!mask_fills_buffer(shift)) ASSERT_LT(++shift, 100u);
  const std::string shifted = top + std::string(shift, 'x');
  ASSERT_EQ(::rename(top.c_str(), shifted.c_str()), 0);

  std::optional<testing::FileSizeLimit> refusal;
  refusal.emplace(16);
  if (!refusal->in_force()) GTEST_SKIP() << "cannot limit file sizes here";
  window_.on_status = [&](const std::string& text) {
    if (text == "Seeking " + shifted + "/sub...") refusal.reset();
  };
  EXPECT_THROW(List(shifted), RunError);
}

}  // namespace
}  // namespace fernwise
