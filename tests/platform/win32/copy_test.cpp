// Copies, deletes, long paths and links on real folders under Windows (or
// Wine), checked with plain Win32 calls.
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "core/path_probe.h"
#include "core/run_error.h"
#include "core/run_state.h"
#include "platform/win32/handle.h"
#include "sync/mirror.h"
#include "sync/sweep.h"
#include "tests/platform/win32/temp_folder.h"
#include "tests/support/recording_window.h"

namespace fernwise {
namespace {

using ::testing::ElementsAre;
using ::testing::HasSubstr;
using ::testing::IsEmpty;

class Win32CopyTest : public testing::Win32TempFolderTest {
 protected:
  testing::RecordingWindow window_;
  RunState state_;
  RunContext run_{fs_, window_, state_, [] { return 0.0; }};
};

TEST_F(Win32CopyTest, CarriesContentTimeAndMask) {
  WriteFile(
      Path("src"), std::string(70000, 'x'),
      FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_ARCHIVE);
  SetMask(Path("src"), FILE_ATTRIBUTE_ARCHIVE);
  SetWriteTime(Path("src"), 132592959671234567);
  SetMask(Path("src"), FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_READONLY |
                           FILE_ATTRIBUTE_ARCHIVE);
  entry_->Copy(Path("src"), Path("dst"));
  EXPECT_EQ(ReadFile(Path("dst")), std::string(70000, 'x'));
  EXPECT_EQ(entry_->LastModified(Role::kDestination, Path("dst")),
            entry_->LastModified(Role::kDestination, Path("src")));
  EXPECT_EQ(entry_->ReadAttributes(Role::kDestination, Path("dst")),
            entry_->ReadAttributes(Role::kDestination, Path("src")));
  EXPECT_EQ(Entries(root_), (std::vector<std::string>{"dst", "src"}));
}

class Win32LockedTargetTest : public Win32CopyTest,
                              public ::testing::WithParamInterface<DWORD> {};

// The destination tree is the program's own: a read-only, hidden or system
// file there is replaced and deleted like any other, or a backup that once
// copied such a file would stop at it on every later run.
TEST_P(Win32LockedTargetTest, IsReplacedAndDeleted) {
  WriteFile(Path("src"), "new", FILE_ATTRIBUTE_ARCHIVE);
  WriteFile(Path("dst"), "old", GetParam());
  entry_->Copy(Path("src"), Path("dst"));
  EXPECT_EQ(ReadFile(Path("dst")), "new");
  EXPECT_EQ(entry_->ReadAttributes(Role::kDestination, Path("dst")),
            entry_->ReadAttributes(Role::kDestination, Path("src")));
  SetMask(Path("dst"), GetParam());
  entry_->Delete(Role::kDestination, Path("dst"));
  EXPECT_EQ(Entries(root_), std::vector<std::string>{"src"});
}

INSTANTIATE_TEST_SUITE_P(Masks, Win32LockedTargetTest,
                         ::testing::Values(DWORD(FILE_ATTRIBUTE_READONLY),
                                           DWORD(FILE_ATTRIBUTE_HIDDEN),
                                           DWORD(FILE_ATTRIBUTE_SYSTEM),
                                           DWORD(FILE_ATTRIBUTE_READONLY |
                                                 FILE_ATTRIBUTE_HIDDEN |
                                                 FILE_ATTRIBUTE_SYSTEM)));

TEST_F(Win32CopyTest, FailureLeavesTargetAsItWasAndNothingBehind) {
  WriteFile(Path("dst"), "old", FILE_ATTRIBUTE_READONLY);
  EXPECT_THROW(entry_->Copy(Path("missing"), Path("dst")), RunError);
  // A folder cannot be replaced by a file: the rename fails after the copy.
  WriteFile(Path("src"), "new");
  MakeFolder(Path("folder"));
  WriteFile(Path("folder\\inside"), "kept");
  EXPECT_THROW(entry_->Copy(Path("src"), Path("folder")), RunError);
  EXPECT_EQ(ReadFile(Path("dst")), "old");
  EXPECT_EQ(Mask(Path("dst")) & FILE_ATTRIBUTE_READONLY,
            DWORD(FILE_ATTRIBUTE_READONLY));
  EXPECT_EQ(ReadFile(Path("folder\\inside")), "kept");
  EXPECT_EQ(Entries(root_), (std::vector<std::string>{"dst", "folder", "src"}));
}

// A copy's temporary names are known again by their check code: a name that
// merely looks alike (a user's, or the form of earlier versions) is not, and
// a copy leaves a leftover where it is.
TEST_F(Win32CopyTest, OnlyTheProgramsOwnTemporaryNamesAreKnown) {
  WriteFile(Path("src"), "new");
  const std::string leftover = win32::Narrow(win32::NextTemporaryName());
  WriteFile(Path(leftover), "left over");
  std::string altered = leftover;
  altered[12] = altered[12] == 'a' ? 'b' : 'a';
  EXPECT_TRUE(fs_.IsLeftoverTemporary(leftover)) << leftover;
  for (const std::string& name :
       {altered, leftover.substr(0, leftover.size() - 4), "~" + leftover,
        std::string("~fernwise-12-3.tmp")})
    EXPECT_FALSE(fs_.IsLeftoverTemporary(name)) << name;
  entry_->Copy(Path("src"), Path("dst"));
  EXPECT_EQ(ReadFile(Path("dst")), "new");
  EXPECT_EQ(ReadFile(Path(leftover)), "left over");
  EXPECT_EQ(Entries(root_).size(), 3u);
}

// A copy to a new name never replaces what has taken the name meanwhile,
// and names are measured as Windows measures them.
TEST_F(Win32CopyTest, CopyToANewNameNeverReplaces) {
  WriteFile(Path("src"), "new");
  WriteFile(Path("taken"), "another run's");
  EXPECT_TRUE(entry_->CopyToNewName(Path("src"), Path("taken")).name_taken);
  EXPECT_TRUE(entry_->CopyToNewName(Path("src"), Path("free")).made());
  EXPECT_EQ(ReadFile(Path("taken")), "another run's");
  EXPECT_EQ(ReadFile(Path("free")), "new");
  EXPECT_EQ(Entries(root_), (std::vector<std::string>{"free", "src", "taken"}));
  EXPECT_EQ(entry_->Traits(Role::kSecondary, root_).name_limit, 255u);
  // "a", "é" and a letter outside the BMP, which takes two units.
  EXPECT_EQ(fs_.NameSize("a\xc3\xa9\xf0\x9d\x84\x9e"), 4u);
}

// The preserving mode keeps a file's old version, then erases or replaces
// the file: only while it is still the file that was kept. One put in its
// place meanwhile (by another program, or with a replaced folder) stays,
// and the run ends.
TEST_F(Win32CopyTest, OnlyTheFileWhoseVersionWasKeptIsErasedOrReplaced) {
  for (const bool erase : {true, false}) {
    SCOPED_TRACE(erase ? "erase" : "refresh");
    WriteFile(Path("src"), "source");
    WriteFile(Path("dst"), "kept", FILE_ATTRIBUTE_READONLY);
    ASSERT_TRUE(entry_->CopyToNewName(Path("dst"), Path("old.1")).made());
    WriteFile(Path("other"), "never kept");
    SetMask(Path("dst"), FILE_ATTRIBUTE_NORMAL);
    ASSERT_TRUE(MoveFileExW(win32::WidenPath(Path("other")).c_str(),
                            win32::WidenPath(Path("dst")).c_str(),
                            MOVEFILE_REPLACE_EXISTING));
    try {
      if (erase) entry_->Delete(Role::kDestination, Path("dst"));
      if (!erase) entry_->Copy(Path("src"), Path("dst"));
      ADD_FAILURE() << "the file that was never kept went";
    } catch (const RunError& error) {
      EXPECT_THAT(error.text(), HasSubstr("changed after its old version"));
    }
    EXPECT_EQ(ReadFile(Path("dst")), "never kept");
    // Unchanged since it was kept, a read-only file goes through the handle
    // that checked it.
    SetMask(Path("dst"), FILE_ATTRIBUTE_READONLY);
    ASSERT_TRUE(entry_->CopyToNewName(Path("dst"), Path("old.2")).made());
    if (erase) entry_->Delete(Role::kDestination, Path("dst"));
    if (!erase) entry_->Copy(Path("src"), Path("dst"));
    EXPECT_EQ(ReadFile(Path("dst")), erase ? "<missing>" : "source");
    EXPECT_EQ(ReadFile(Path("old.2")), "never kept");
    for (const char* name : {"dst", "old.1", "old.2"}) {
      SetFileAttributesW(win32::WidenPath(Path(name)).c_str(),
                         FILE_ATTRIBUTE_NORMAL);
      DeleteFileW(win32::WidenPath(Path(name)).c_str());
    }
  }
}

struct CopyFailureCase {
  const char* source;
  const char* target;
  const char* operation;
  bool target_failed;
};

class Win32CopyFailureTest
    : public Win32CopyTest,
      public ::testing::WithParamInterface<CopyFailureCase> {};

// CopyFileExW does not say which side failed; the report must.
TEST_P(Win32CopyFailureTest, NamesThePathThatFailed) {
  const CopyFailureCase& c = GetParam();
  WriteFile(Path("file"), "x");
  MakeFolder(Path("folder"));
  try {
    entry_->Copy(Path(c.source), Path(c.target));
    FAIL() << "no error";
  } catch (const RunError& error) {
    EXPECT_EQ(error.operation(), c.operation);
    EXPECT_EQ(error.path(), Path(c.target_failed ? c.target : c.source));
  }
  EXPECT_THAT(Entries(root_), ElementsAre("file", "folder"));
}

INSTANTIATE_TEST_SUITE_P(
    Sides, Win32CopyFailureTest,
    ::testing::Values(CopyFailureCase{"missing", "copy", "copy file", false},
                      CopyFailureCase{"folder", "copy", "copy file", false},
                      CopyFailureCase{"file", "missing\\copy", "copy file to",
                                      true},
                      CopyFailureCase{"file", "folder", "replace file", true}));

class Win32HeldSourceTest : public Win32CopyTest,
                            public ::testing::WithParamInterface<BackupModeValue> {};

// Another program holds the source open without read sharing (a mail store,
// a running virtual machine) and lets it go after GetParam() ms, or never
// (-1). A brief hold is waited out; a lasting one ends the copy naming the
// file, with advice, and leaves the target as it was.
TEST_P(Win32HeldSourceTest, IsWaitedForThenNamedWithAdvice) {
  WriteFile(Path("mail.pst"), "new");
  WriteFile(Path("copy"), "old");
  HANDLE holder =
      CreateFileW(win32::WidenPath(Path("mail.pst")).c_str(), GENERIC_READ, 0,
                  nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  ASSERT_NE(holder, INVALID_HANDLE_VALUE);
  std::thread release;
  if (GetParam() >= 0)
    release = std::thread([holder] {
      Sleep(GetParam());
      CloseHandle(holder);
    });
  try {
    entry_->Copy(Path("mail.pst"), Path("copy"));
    EXPECT_GE(GetParam(), 0) << "copied while held";
    EXPECT_EQ(ReadFile(Path("copy")), "new");
  } catch (const RunError& error) {
    EXPECT_LT(GetParam(), 0) << error.Report();
    EXPECT_EQ(error.number(), ERROR_SHARING_VIOLATION);
    EXPECT_EQ(error.path(), Path("mail.pst"));
    EXPECT_THAT(error.text(), HasSubstr("only while that program is closed"));
    EXPECT_EQ(ReadFile(Path("copy")), "old");
  }
  if (release.joinable()) release.join();
  if (GetParam() < 0) CloseHandle(holder);
  EXPECT_THAT(Entries(root_), ElementsAre("copy", "mail.pst"));
}

INSTANTIATE_TEST_SUITE_P(HeldFor, Win32HeldSourceTest,
                         ::testing::Values(300, -1));

// What the listing tells of every entry answers the mirror's questions: an
// unchanged tree costs no read by path but the top source folder's mask
// (the destination's top folder is known from its probe), however many
// entries it has; the sweep reads none.
TEST_F(Win32CopyTest, AnUnchangedPassReadsNothingTheListingTold) {
  MakeFolder(Path("src"));
  MakeFolder(Path("src\\sub"));
  for (const char* name : {"a", "b", "c", "sub\\d", "sub\\e"})
    WriteFile(Path("src\\") + name, name);
  MakeFolder(Path("dst"));
  Win32EntryRun entry({Path("src"), Path("dst"), ""}, nullptr);
  MirrorFolder(run_, entry, Path("src"), Path("dst"));
  ASSERT_EQ(state_.Counters.FilesCreated, 5);
  const Win32EntryRun::Calls before = entry.calls();
  MirrorFolder(run_, entry, Path("src"), Path("dst"));
  const Win32EntryRun::Calls mirrored = entry.calls();
  SweepFolder(run_, entry, Path("dst"), Path("src"));
  EXPECT_EQ(mirrored.read - before.read, 1u);
  EXPECT_EQ(entry.calls().read, mirrored.read);
  EXPECT_EQ(state_.Counters.FilesCreated, 5);
  EXPECT_EQ(state_.Counters.FilesRefreshed, 0);
  EXPECT_EQ(state_.Counters.FilesScanned, 10);
}

// Deeper than the 260 characters an unprefixed path may hold.
TEST_F(Win32CopyTest, MirrorsAndSweepsATreeDeeperThan260Characters) {
  std::string source = Path("src");
  std::string relative;
  MakeFolder(source);
  while (source.size() < 300) {
    relative += "\\" + std::string(40, 'd');
    source = Path("src") + relative;
    MakeFolder(source);
  }
  WriteFile(source + "\\deep.txt", "deep");
  MakeFolder(Path("dst"));
  MirrorFolder(run_, *entry_, Path("src"), Path("dst"));
  const std::string copy = Path("dst") + relative + "\\deep.txt";
  ASSERT_GT(copy.size(), 300u);
  EXPECT_EQ(ReadFile(copy), "deep");
  EXPECT_EQ(state_.Counters.FilesCreated, 1);
  EXPECT_TRUE(PathExists(*entry_, Role::kSource, copy));
  DeleteFileW(win32::WidenPath(source + "\\deep.txt").c_str());
  SweepFolder(run_, *entry_, Path("dst"), Path("src"));
  EXPECT_EQ(ReadFile(copy), "<missing>");
}

// Writes `content` to the file at `wide`, a \\?\ path taken as it is.
bool WriteExact(const std::wstring& wide, const std::string& content) {
  const win32::FileHandle file(CreateFileW(wide.c_str(), GENERIC_WRITE, 0,
                                           nullptr, CREATE_NEW, 0, nullptr));
  DWORD written = 0;
  return file.valid() && ::WriteFile(file.get(), content.data(),
                                     DWORD(content.size()), &written, nullptr);
}

std::string ReadExact(const std::wstring& wide) {
  const win32::FileHandle file(CreateFileW(wide.c_str(), GENERIC_READ, 0,
                                           nullptr, OPEN_EXISTING, 0, nullptr));
  char chunk[64];
  DWORD got = 0;
  if (!file.valid() || !::ReadFile(file.get(), chunk, sizeof chunk, &got, 0))
    return "<missing>";
  return std::string(chunk, got);
}

// Names Windows' clean-up of a path would change (a trailing dot or space)
// or take for devices are backed up, compared and erased by their own
// names, beside the plain names they would otherwise become.
TEST_F(Win32CopyTest, NamesPathsCannotSpellAreBackedUpByTheirOwnNames) {
  const std::vector<std::string> names = {"aux",  "bar ",    "com1",  "con",
                                          "foo",  "foo.",    "lpt1",  "nul",
                                          "nul.txt"};
  MakeFolder(Path("src"));
  MakeFolder(Path("dst"));
  const std::wstring src = win32::WidenPath(Path("src"));
  const std::wstring dst = win32::WidenPath(Path("dst"));
  for (const std::string& name : names)
    if (!WriteExact(win32::JoinName(src, name), name))
      GTEST_SKIP() << "this file system refuses \"" << name << "\"";
  MirrorFolder(run_, *entry_, Path("src"), Path("dst"));
  for (const std::string& name : names)
    EXPECT_EQ(ReadExact(win32::JoinName(dst, name)), name);
  MirrorFolder(run_, *entry_, Path("src"), Path("dst"));
  EXPECT_EQ(state_.Counters.FilesCreated, int32_t(names.size()));
  EXPECT_EQ(state_.Counters.FilesRefreshed, 0);
  ASSERT_TRUE(DeleteFileW(win32::JoinName(src, "foo.").c_str()));
  ASSERT_TRUE(DeleteFileW(win32::JoinName(src, "aux").c_str()));
  SweepFolder(run_, *entry_, Path("dst"), Path("src"));
  EXPECT_THAT(Entries(Path("dst")), ElementsAre("bar ", "com1", "con", "foo",
                                                "lpt1", "nul", "nul.txt"));
}

// A link to a folder, made the way the platform allows. Wine 8 makes none
// (CreateSymbolicLinkW reports success and makes nothing), so the test script
// prepares host links, which Wine shows as reparse points, in the folder
// FERNWISE_LINK_FOLDER names: src\AppData and dst\Gone linking to outside.
std::string LinkFolder(const std::string& root) {
  const std::wstring link = win32::WidenPath(root + "\\src\\AppData");
  const std::wstring target = win32::WidenPath(root + "\\outside");
  CreateDirectoryW(win32::WidenPath(root + "\\src").c_str(), nullptr);
  CreateSymbolicLinkW(link.c_str(), target.c_str(),
                      SYMBOLIC_LINK_FLAG_DIRECTORY |
                          SYMBOLIC_LINK_FLAG_ALLOW_UNPRIVILEGED_CREATE);
  CreateDirectoryW(win32::WidenPath(root + "\\dst").c_str(), nullptr);
  CreateSymbolicLinkW(win32::WidenPath(root + "\\dst\\Gone").c_str(),
                      target.c_str(),
                      SYMBOLIC_LINK_FLAG_DIRECTORY |
                          SYMBOLIC_LINK_FLAG_ALLOW_UNPRIVILEGED_CREATE);
  const DWORD mask = GetFileAttributesW(link.c_str());
  if (mask != INVALID_FILE_ATTRIBUTES && (mask & FILE_ATTRIBUTE_REPARSE_POINT))
    return root;
  const char* prepared = std::getenv("FERNWISE_LINK_FOLDER");
  return prepared ? prepared : "";
}

TEST_F(Win32CopyTest, LinksToFoldersAreNeitherCopiedNorDescendedNorSwept) {
  MakeFolder(Path("outside"));
  const std::string folder = LinkFolder(root_);
  if (folder.empty())
    GTEST_SKIP() << "no folder links here: CreateSymbolicLinkW makes none and "
                    "FERNWISE_LINK_FOLDER is not set";
  WriteFile(folder + "\\outside\\precious", "p");
  WriteFile(folder + "\\src\\plain", "x");
  MirrorFolder(run_, *entry_, folder + "\\src", folder + "\\dst");
  SweepFolder(run_, *entry_, folder + "\\dst", folder + "\\src");
  EXPECT_THAT(Entries(folder + "\\dst"), ElementsAre("Gone", "plain"));
  EXPECT_THAT(Entries(folder + "\\outside"), ElementsAre("precious"));
  EXPECT_EQ(state_.Counters.FoldersScanned, 0);
  EXPECT_EQ(state_.Counters.FilesScanned, 1);
  EXPECT_TRUE(PathExists(*entry_, Role::kSource, folder + "\\src\\AppData"));
}

// The folder the test script prepared with host links for `test`, or "".
std::string Prepared(const std::string& test) {
  const char* prepared = std::getenv("FERNWISE_LINK_FOLDER");
  return prepared ? prepared + ("\\" + test) : "";
}

bool MakeLink(const std::string& link, const std::string& target, DWORD flags) {
  CreateSymbolicLinkW(win32::WidenPath(link).c_str(),
                      win32::WidenPath(target).c_str(),
                      flags | SYMBOLIC_LINK_FLAG_ALLOW_UNPRIVILEGED_CREATE);
  const DWORD mask = GetFileAttributesW(win32::WidenPath(link).c_str());
  return mask != INVALID_FILE_ATTRIBUTES &&
         (mask & FILE_ATTRIBUTE_REPARSE_POINT) != 0;
}

// A link to a file is backed up as the file it names, and one in the
// destination is erased as the link it is. Under Wine the host link of the
// test script stands in for the source's; there is no destination link,
// since Wine would delete what a host link names.
TEST_F(Win32CopyTest, FileLinksAreBackedUpAsTheFileTheyName) {
  std::string folder = Path("files");
  MakeFolder(folder);
  MakeFolder(folder + "\\src");
  MakeFolder(folder + "\\dst");
  WriteFile(folder + "\\target.txt", "target content");
  const bool native =
      MakeLink(folder + "\\src\\note.txt", folder + "\\target.txt", 0) &&
      MakeLink(folder + "\\dst\\stale.txt", folder + "\\target.txt", 0);
  if (!native) folder = Prepared("files");
  if (folder.empty()) GTEST_SKIP() << "no file links here";
  DeleteFileW(win32::WidenPath(folder + "\\dst\\note.txt").c_str());
  MirrorFolder(run_, *entry_, folder + "\\src", folder + "\\dst");
  SweepFolder(run_, *entry_, folder + "\\dst", folder + "\\src");
  EXPECT_EQ(state_.Counters.FilesCreated, 1);
  EXPECT_EQ(ReadFile(folder + "\\dst\\note.txt"), "target content");
  EXPECT_EQ(Mask(folder + "\\dst\\note.txt") & FILE_ATTRIBUTE_REPARSE_POINT,
            0u);
  EXPECT_THAT(Entries(folder + "\\dst"), ElementsAre("note.txt"));
  EXPECT_EQ(ReadFile(folder + "\\target.txt"), "target content");
}

struct KindChange {
  BackupModeValue mode;
  bool source_folder;  // else the source has a file where the link stands
};

class Win32KindChangeTest : public Win32CopyTest,
                            public ::testing::WithParamInterface<KindChange> {};

// A link to a folder where the source has a file or a folder goes as the
// link it is, in both duplex modes: nothing it leads to is listed, erased or
// written to, and a folder takes its place where the source has one; the
// simplex mode refuses the change. Wine opens a host link's target even
// when asked for the link itself, so there the run ends instead, naming the
// link, and the target stays as it was all the same.
TEST_P(Win32KindChangeTest, AFolderLinkGoesAsALinkNeverErasedThrough) {
  const auto [mode, source_folder] = GetParam();
  state_.BackupMode = mode;
  std::string folder = Path("kind");
  MakeFolder(folder);
  MakeFolder(folder + "\\src");
  MakeFolder(folder + "\\dst");
  MakeFolder(folder + "\\outside");
  const bool native = MakeLink(folder + "\\dst\\X", folder + "\\outside",
                               SYMBOLIC_LINK_FLAG_DIRECTORY);
  if (!native) folder = Prepared(source_folder ? "kind-folder" : "kind");
  if (folder.empty()) GTEST_SKIP() << "no folder links here";
  const std::string x = source_folder ? "\\X\\new" : "\\X";
  if (source_folder && native) MakeFolder(folder + "\\src\\X");
  WriteFile(folder + "\\src" + x, "new");
  WriteFile(folder + "\\outside\\precious", "p");
  try {
    MirrorFolder(run_, *entry_, folder + "\\src", folder + "\\dst");
    EXPECT_NE(mode, kSimplex);
    EXPECT_EQ(ReadFile(folder + "\\dst" + x), "new");
    EXPECT_EQ(Mask(folder + "\\dst\\X") & FILE_ATTRIBUTE_REPARSE_POINT, 0u);
  } catch (const EntryRejected&) {
    EXPECT_EQ(mode, kSimplex);
  } catch (const RunError& error) {
    EXPECT_FALSE(native) << error.Report();
    EXPECT_EQ(error.path(), folder + "\\dst\\X") << error.Report();
  }
  EXPECT_THAT(Entries(folder + "\\outside"), ElementsAre("precious"));
}

INSTANTIATE_TEST_SUITE_P(
    Modes, Win32KindChangeTest,
    ::testing::Values(KindChange{kDuplexDestructive, false},
                      KindChange{kDuplexPreserving, false},
                      KindChange{kDuplexDestructive, true},
                      KindChange{kDuplexPreserving, true},
                      KindChange{kSimplex, true}));

// A folder the sweep removes may hold links to folders, which no listing
// shows: they go as links, and what they name stays. Under Wine the test
// script's host link stands in; Wine opens its target even when asked for
// the link itself, so the program sees no link to remove and the folder
// stays (removing through it would remove the empty target).
TEST_F(Win32CopyTest, FolderLinksGoAsLinksWithTheFolderThatHoldsThem) {
  std::string folder = Path("swept");
  MakeFolder(folder);
  MakeFolder(folder + "\\src");
  MakeFolder(folder + "\\dst");
  MakeFolder(folder + "\\dst\\Old");
  MakeFolder(folder + "\\target");
  const bool native = MakeLink(folder + "\\dst\\Old\\Link", folder + "\\target",
                               SYMBOLIC_LINK_FLAG_DIRECTORY);
  if (!native) folder = Prepared("swept");
  if (folder.empty()) GTEST_SKIP() << "no folder links here";
  bool removed = true;
  try {
    SweepFolder(run_, *entry_, folder + "\\dst", folder + "\\src");
  } catch (const RunError& error) {
    removed = false;
    EXPECT_EQ(error.path(), folder + "\\dst\\Old") << error.Report();
  }
  EXPECT_NE(Mask(folder + "\\target"), INVALID_FILE_ATTRIBUTES);
  EXPECT_EQ(removed, native);
  EXPECT_EQ(Entries(folder + "\\dst"), native
                                           ? std::vector<std::string>{}
                                           : std::vector<std::string>{"Old"});
}

}  // namespace
}  // namespace fernwise
