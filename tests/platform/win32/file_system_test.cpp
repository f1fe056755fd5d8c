#include "platform/win32/file_system.h"

#include <cstdlib>
#include <limits>
#include <string>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "core/path_probe.h"
#include "core/run_error.h"
#include "platform/win32/support.h"
#include "platform/win32/text.h"
#include "tests/platform/win32/temp_folder.h"

namespace fernwise {
namespace {

using ::testing::ElementsAre;
using ::testing::HasSubstr;
using ::testing::IsEmpty;
using ::testing::UnorderedElementsAre;
using testing::Win32TempFolderTest;

std::vector<std::string> Drain(NameList list) {
  std::vector<std::string> names;
  while (!list.Empty()) names.push_back(list.TakeFirst());
  return names;
}

struct WidenCase {
  const char* path;
  const wchar_t* wide;
};

class WidenPathTest : public ::testing::TestWithParam<WidenCase> {};

TEST_P(WidenPathTest, GivesTheLongFormWindowsWouldClean) {
  EXPECT_EQ(win32::WidenPath(GetParam().path), GetParam().wide);
}

INSTANTIATE_TEST_SUITE_P(
    Paths, WidenPathTest,
    ::testing::Values(
        WidenCase{"C:\\Data\\a.txt", L"\\\\?\\C:\\Data\\a.txt"},
        WidenCase{"C:\\Data\\", L"\\\\?\\C:\\Data\\"},
        WidenCase{"C:/Data/x/../b", L"\\\\?\\C:\\Data\\b"},
        WidenCase{"\\\\server\\share\\x", L"\\\\?\\UNC\\server\\share\\x"},
        WidenCase{"\\\\?\\C:\\as is\\..", L"\\\\?\\C:\\as is\\.."},
        WidenCase{"C:\\D\\Gr\xC3\xBC\xC3\x9F"
                  "e",
                  L"\\\\?\\C:\\D\\Gr\u00FC\u00DFe"},
        WidenCase{"", L""}));

struct Wtf8Case {
  const wchar_t* wide;
  const char* bytes;
};

class Wtf8Test : public ::testing::TestWithParam<Wtf8Case> {};

// Every name a listing can yield must convert back to the units it came
// from, or it could never be found again.
TEST_P(Wtf8Test, NamesConvertBothWaysWithoutLoss) {
  EXPECT_EQ(win32::Narrow(GetParam().wide), GetParam().bytes);
  EXPECT_EQ(win32::Widen(GetParam().bytes), GetParam().wide);
}

INSTANTIATE_TEST_SUITE_P(
    Names, Wtf8Test,
    ::testing::Values(
        Wtf8Case{L"Gr\u00FC\u00DFe",
                 "Gr\xC3\xBC\xC3\x9F"
                 "e"},
        // A pair is one code point, in four bytes as in UTF-8.
        Wtf8Case{L"\xD83C\xDF3F.txt", "\xF0\x9F\x8C\xBF.txt"},
        // A unit without its partner keeps its value, in three bytes.
        Wtf8Case{L"a\xD800_z.txt", "a\xED\xA0\x80_z.txt"},
        Wtf8Case{L"\xDC00", "\xED\xB0\x80"},
        Wtf8Case{L"end\xDBFF", "end\xED\xAF\xBF"},
        // A trail unit before a lead unit is two lone units, not a pair.
        Wtf8Case{L"\xDC00\xD800", "\xED\xB0\x80\xED\xA0\x80"},
        Wtf8Case{L"", ""}));

TEST(Win32TextTest, BadUtf8AndSystemErrorsCarryText) {
  EXPECT_THROW(win32::Widen("C:\\bad\xFF"), RunError);
  // Overlong, past U+10FFFF, cut short, and a pair spelled as two halves
  // (which would give one name two spellings).
  for (const char* bad :
       {"\xC0\xAF", "\xF4\x90\x80\x80", "\xE2\x9C", "\xED\xA0\xBC\xED\xBC\xBF"})
    EXPECT_THROW(win32::Widen(bad), RunError) << bad;
  const std::string text = win32::ErrorText(ERROR_ACCESS_DENIED);
  EXPECT_FALSE(text.empty());
  EXPECT_NE(text.back(), '\n');
  EXPECT_NE(text.back(), '\r');
}

struct NameCase {
  const wchar_t* listed;
  const wchar_t* asked;
  bool same;
};

class Win32NameTest : public ::testing::TestWithParam<NameCase> {};

// Unit by unit, each folded alone: what NTFS (and Wine's lookup) calls the
// same name.
TEST_P(Win32NameTest, ComparesAsTheFileSystemDoes) {
  EXPECT_EQ(win32::SameName(GetParam().listed, GetParam().asked),
            GetParam().same);
}

INSTANTIATE_TEST_SUITE_P(
    Names, Win32NameTest,
    ::testing::Values(
        NameCase{L"Report for 2025.txt", L"REPORT FOR 2025.TXT", true},
        NameCase{L"Report for 2025.txt", L"REPORT~1.TXT", false},
        NameCase{L"\u00C9t\u00E9.txt", L"\u00E9T\u00C9.TXT", true},
        NameCase{L"stra\u00DF"
                 L"e.txt",
                 L"STRASSE.TXT", false},
        NameCase{L"a\xD800"
                 L"b",
                 L"A\xD800"
                 L"B",
                 true},
        NameCase{L"a\xD800", L"a\xD801", false},
        NameCase{L"a.txt", L"a.txt.", false}));

struct KindCase {
  DWORD attributes;
  DWORD tag;
  win32::EntryKind kind;
};

class Win32KindTest : public ::testing::TestWithParam<KindCase> {};

TEST_P(Win32KindTest, LinksAreToldFromEntriesThatHoldTheirOwnData) {
  EXPECT_EQ(win32::KindOf(GetParam().attributes, GetParam().tag),
            GetParam().kind);
}

constexpr DWORD kFile = FILE_ATTRIBUTE_ARCHIVE;
constexpr DWORD kFolder = FILE_ATTRIBUTE_DIRECTORY;
constexpr DWORD kReparse = FILE_ATTRIBUTE_REPARSE_POINT;
constexpr DWORD kCloudFileTag = 0x9000601A;    // IO_REPARSE_TAG_CLOUD_6
constexpr DWORD kCloudFolderTag = 0x9000001A;  // IO_REPARSE_TAG_CLOUD
constexpr DWORD kDedupTag = 0x80000013;        // IO_REPARSE_TAG_DEDUP

INSTANTIATE_TEST_SUITE_P(
    Entries, Win32KindTest,
    ::testing::Values(
        KindCase{kFile, 0, win32::EntryKind::kFile},
        KindCase{kFolder | FILE_ATTRIBUTE_HIDDEN, 0, win32::EntryKind::kFolder},
        // A symbolic link to a file is backed up as the file it names.
        KindCase{kFile | kReparse, IO_REPARSE_TAG_SYMLINK,
                 win32::EntryKind::kFileLink},
        KindCase{kFolder | kReparse, IO_REPARSE_TAG_SYMLINK,
                 win32::EntryKind::kFolderLink},
        KindCase{kFolder | kReparse, IO_REPARSE_TAG_MOUNT_POINT,
                 win32::EntryKind::kFolderLink},
        // How Wine shows a host link to a folder.
        KindCase{kFolder | kReparse, 0, win32::EntryKind::kFolderLink},
        // Cloud placeholders and deduplicated files hold their own data.
        KindCase{kFile | kReparse, kCloudFileTag, win32::EntryKind::kFile},
        KindCase{kFolder | kReparse, kCloudFolderTag,
                 win32::EntryKind::kFolder},
        KindCase{kFile | kReparse, kDedupTag, win32::EntryKind::kFile}));

TEST(Win32TimeRulesTest, FatKeepsLocalTimeInEvenSeconds) {
  constexpr int64_t kSecond = 1'000'000'000;
  struct {
    const wchar_t* file_system;
    int64_t resolution_ns, shift_ns;
  } const cases[] = {{L"FAT32", 2 * kSecond, 3600 * kSecond},
                     {L"FAT", 2 * kSecond, 3600 * kSecond},
                     {L"exFAT", 10'000'000, 0},
                     {L"NTFS", 100, 0},
                     {L"", 1, 0}};
  for (const auto& c : cases) {
    const DriveTraits traits =
        TraitsOfType(win32::DriveTypeOf(c.file_system, false), 255);
    EXPECT_EQ(traits.time_step_ns, c.resolution_ns) << c.file_system;
    EXPECT_EQ(traits.local_time_shift_ns, c.shift_ns) << c.file_system;
  }
  // A share hands on its server's times in 100 ns units, whatever its disk.
  EXPECT_EQ(win32::DriveTypeOf(L"FAT32", true), DriveType::kNetworkShare);
}

TEST_F(Win32TempFolderTest, MaskBitsRoundTripOnFilesAndFolders) {
  WriteFile(Path("f"), "x");
  MakeFolder(Path("d"));
  const bool wine = testing::UnderWine();
  for (uint32_t mask :
       {kAttrReadOnly | kAttrArchive, kAttrHidden | kAttrSystem,
        kAttrHidden | kAttrArchive, uint32_t(kAttrArchive), 0u}) {
    entry_->SetAttributes(Path("f"), mask);
    EXPECT_EQ(entry_->ReadAttributes(Role::kDestination, Path("f")),
              wine ? mask | kAttrArchive : mask);
    entry_->SetAttributes(Path("d"), mask | kAttrFolder);
    const uint32_t kept = wine ? mask & (kAttrHidden | kAttrSystem) : mask;
    EXPECT_EQ(entry_->ReadAttributes(Role::kDestination, Path("d")),
              kept | kAttrFolder);
  }
}

TEST_F(Win32TempFolderTest, SnapshotHoldsHiddenSystemAndDotNamesSkipsDots) {
  WriteFile(Path("plain.txt"), "");
  WriteFile(Path("desktop.ini"), "",
            FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM);
  MakeFolder(Path(".config"));
  MakeFolder(Path("Secret"));
  SetMask(Path("Secret"), FILE_ATTRIBUTE_HIDDEN);
  const FolderSnapshot snapshot =
      *TakeSnapshot(fs_, *entry_, Role::kSource, root_);
  EXPECT_THAT(Drain(snapshot.folders),
              UnorderedElementsAre(".config", "Secret"));
  EXPECT_THAT(Drain(snapshot.files),
              UnorderedElementsAre("plain.txt", "desktop.ini"));
}

TEST_F(Win32TempFolderTest, TheListingTellsFoldersAsTheirAttributesWould) {
  WriteFile(Path("f"), "", FILE_ATTRIBUTE_HIDDEN);
  MakeFolder(Path("d"));
  SetMask(Path("d"), FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_SYSTEM);
  int named = 0;
  for (std::string name = entry_->StartListing(Role::kSource, root_ + "\\");
       !name.empty(); name = entry_->NextName()) {
    const std::optional<bool> listed = entry_->ListedIsFolder();
    ASSERT_TRUE(listed.has_value()) << name;
    const bool folder =
        (entry_->ReadAttributes(Role::kDestination, root_ + "\\" + name) &
         kAttrFolder) != 0;
    EXPECT_EQ(*listed, folder) << name;
    ++named;
  }
  EXPECT_EQ(named, 4);  // ".", "..", f, d
  EXPECT_FALSE(entry_->ListedIsFolder().has_value());
  EXPECT_NE(entry_->StartListing(Role::kSource, Path("f")), "");
  EXPECT_FALSE(entry_->ListedIsFolder().has_value());  // a probe lists nothing
}

TEST_F(Win32TempFolderTest, ListingOfAnEmptyFolderYieldsOnlyDots) {
  MakeFolder(Path("empty"));
  std::vector<std::string> names;
  for (std::string name = entry_->StartListing(Role::kSource, Path("empty\\"));
       !name.empty(); name = entry_->NextName())
    names.push_back(name);
  EXPECT_THAT(names, UnorderedElementsAre(".", ".."));
  EXPECT_EQ(entry_->NextName(), "");
}

struct ProbeCase {
  const char* relative;  // below the test's folder; "" alone is the empty path
  bool exists;
};

class Win32ProbeTest : public Win32TempFolderTest,
                       public ::testing::WithParamInterface<ProbeCase> {};

TEST_P(Win32ProbeTest, NotFoundIsAnAnswer) {
  WriteFile(Path("notes.txt"), "x");
  WriteFile(Path("hidden.sys"), "x",
            FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM);
  MakeFolder(Path("Photos"));
  const std::string relative = GetParam().relative;
  const std::string path = relative.empty() ? "" : Path(relative);
  EXPECT_EQ(PathExists(*entry_, Role::kSource, path), GetParam().exists)
      << path;
}

INSTANTIATE_TEST_SUITE_P(
    Paths, Win32ProbeTest,
    ::testing::Values(
        ProbeCase{"notes.txt", true}, ProbeCase{"NOTES.TXT", true},
        ProbeCase{"hidden.sys", true}, ProbeCase{"Photos", true},
        ProbeCase{"missing", false}, ProbeCase{"missing\\deeper", false},
        ProbeCase{"", false},
        // A trailing "\" probes the folder's contents: "." counts.
        ProbeCase{"Photos\\", true},
        // Wildcards are the listing's own.
        ProbeCase{"*.txt", true}, ProbeCase{"note?.txt", true},
        ProbeCase{"*.none", false}, ProbeCase{"Pho*", true}));

// The 8.3 short name Windows gave `path`'s entry, or "" where it gave none
// (8.3 names are often off on volumes other than the system's).
std::string ShortName(const std::string& path) {
  wchar_t short_path[MAX_PATH * 4] = {};
  if (GetShortPathNameW(win32::WidenPath(path).c_str(), short_path,
                        MAX_PATH * 4) == 0)
    return "";
  // Every component is short now; the last is the entry's.
  const std::string shortened = win32::Narrow(short_path);
  const std::string name = shortened.substr(shortened.find_last_of('\\') + 1);
  return name == path.substr(path.find_last_of('\\') + 1) ? "" : name;
}

// FindFirstFileExW matches short names too: a probe of another entry's short
// name must not find that entry, a probe in other letter case still finds
// its own, and wildcards keep matching whatever the listing matches.
TEST_F(Win32TempFolderTest, ProbeFindsAnEntryByItsOwnNameOnly) {
  WriteFile(Path("Report for 2025.txt"), "kept");
  const std::string short_name = ShortName(Path("Report for 2025.txt"));
  if (short_name.empty()) GTEST_SKIP() << "no 8.3 names on this volume";
  EXPECT_FALSE(PathExists(*entry_, Role::kSource, Path(short_name)))
      << short_name;
  EXPECT_TRUE(PathExists(*entry_, Role::kSource, Path("report FOR 2025.TXT")));
  EXPECT_TRUE(
      PathExists(*entry_, Role::kSource, Path(short_name.substr(0, 4) + "*")));
  // What a copy to the short name reaches is never that entry.
  WriteFile(Path("new"), "new");
  try {
    entry_->Copy(Path("new"), Path(short_name));
    EXPECT_EQ(ReadFile(Path(short_name)), "new");
  } catch (const RunError& error) {
    EXPECT_EQ(error.path(), Path(short_name));
  }
  EXPECT_EQ(ReadFile(Path("Report for 2025.txt")), "kept");
}

// NTFS allows names that are not valid UTF-16; Wine refuses to make them
// (error 2), so there this ends after the conversions checked above.
TEST_F(Win32TempFolderTest, NameWithAnUnpairedSurrogateIsListedCopiedErased) {
  const std::wstring wide_name = L"odd\xD800name.txt";
  const std::string name = win32::Narrow(wide_name);
  HANDLE file = CreateFileW(
      (win32::WidenPath(root_) + L"\\" + wide_name).c_str(), GENERIC_WRITE, 0,
      nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE)
    GTEST_SKIP() << "this file system refuses such names: " << GetLastError();
  CloseHandle(file);
  MakeFolder(Path("out"));
  const FolderSnapshot snapshot =
      *TakeSnapshot(fs_, *entry_, Role::kSource, root_);
  EXPECT_THAT(Drain(snapshot.files), ElementsAre(name));
  EXPECT_TRUE(PathExists(*entry_, Role::kSource, Path(name)));
  entry_->Copy(Path(name), Path("out\\" + name));
  EXPECT_EQ(entry_->LastModified(Role::kDestination, Path("out\\" + name)),
            entry_->LastModified(Role::kDestination, Path(name)));
  entry_->Delete(Role::kDestination, Path(name));
  entry_->Delete(Role::kDestination, Path("out\\" + name));
  EXPECT_THAT(Entries(root_), ElementsAre("out"));
}

// What the listing told answers the pass's questions, so a change made by
// another program meanwhile shows from the next pass on; a change the pass
// makes itself shows at once.
TEST_F(Win32TempFolderTest, APassTrustsItsListingUntilItChangesTheEntry) {
  constexpr int64_t kListed = 132592959671234567, kLater = kListed + 10'000;
  WriteFile(Path("f"), "12345");
  SetWriteTime(Path("f"), kListed);
  entry_->BeginPass(Role::kSource);
  TakeSnapshot(fs_, *entry_, Role::kSource, root_);
  SetWriteTime(Path("f"), kLater);
  WriteFile(Path("f"), "1234567", FILE_ATTRIBUTE_HIDDEN);
  SetWriteTime(Path("f"), kLater);
  const FileTime listed_time =
      entry_->LastModified(Role::kDestination, Path("f"));
  EXPECT_EQ(entry_->Length(Role::kDestination, Path("f")), 5);
  EXPECT_EQ(entry_->ReadAttributes(Role::kDestination, Path("f")) & kAttrHidden,
            0u);
  entry_->SetAttributes(Path("f"), kAttrHidden | kAttrArchive);
  EXPECT_NE(entry_->LastModified(Role::kDestination, Path("f")), listed_time);
  EXPECT_EQ(entry_->Length(Role::kDestination, Path("f")), 7);
  entry_->BeginPass(Role::kSource);
  EXPECT_EQ(entry_->ReadAttributes(Role::kDestination, Path("f")) & kAttrHidden,
            kAttrHidden);
}

TEST_F(Win32TempFolderTest, TimesKeep100nsHoldAtTheLimitAndLengthsAre64Bit) {
  WriteFile(Path("f"), "12345");
  struct {
    int64_t ticks;  // FILETIME units
    int64_t ns;
  } const stamps[] = {
      // 2021-03-04 05:06:07.1234567 UTC.
      {132592959671234567, (132592959671234567 - 116444736000000000) * 100},
      // 2400-01-01 UTC: past what nanoseconds since 1970 hold in 64 bits.
      {252139392000000000, std::numeric_limits<int64_t>::max()},
  };
  for (const auto& stamp : stamps) {
    SetWriteTime(Path("f"), stamp.ticks);
    entry_->BeginPass(
        Role::kSource);  // a change from outside shows from the next pass on
    EXPECT_EQ(entry_->LastModified(Role::kDestination, Path("f")).ns, stamp.ns)
        << stamp.ticks;
  }
  EXPECT_EQ(entry_->Length(Role::kDestination, Path("f")), 5);
}

// Contents compare byte for byte, past the first slice; a time is set to
// its 100 ns unit on a read-only file too, and the next look sees it.
TEST_F(Win32TempFolderTest, ContentsCompareAndTimesAreSet) {
  const std::string big(1 << 20, 'x');
  WriteFile(Path("a"), big);
  WriteFile(Path("same"), big, FILE_ATTRIBUTE_READONLY);
  WriteFile(Path("other"), big.substr(1) + "y");
  WriteFile(Path("short"), "x");
  EXPECT_TRUE(entry_->SameContent(Path("a"), Path("same")));
  EXPECT_FALSE(entry_->SameContent(Path("a"), Path("other")));
  EXPECT_FALSE(entry_->SameContent(Path("a"), Path("short")));
  const FileTime time{(132592959671234567 - 116444736000000000) * 100};
  entry_->LastModified(Role::kDestination, Path("same"));
  entry_->SetLastModified(Path("same"), time);
  EXPECT_EQ(entry_->LastModified(Role::kDestination, Path("same")), time);
  EXPECT_THROW(entry_->SetLastModified(Path("missing"), time), RunError);
}

TEST_F(Win32TempFolderTest, FailuresCarryNumberTextOperationAndPath) {
  try {
    entry_->ReadAttributes(Role::kDestination, Path("missing"));
    FAIL() << "no error";
  } catch (const RunError& error) {
    EXPECT_EQ(error.number(), ERROR_FILE_NOT_FOUND);
    EXPECT_FALSE(error.text().empty());
    EXPECT_THAT(error.Report(),
                HasSubstr("(read attributes " + Path("missing")));
  }
  EXPECT_THROW(entry_->LastModified(Role::kDestination, Path("missing")),
               RunError);
  EXPECT_THROW(entry_->Delete(Role::kDestination, Path("missing")), RunError);
  EXPECT_THROW(entry_->CreateFolder(Path("missing\\sub")), RunError);
  MakeFolder(Path("full"));
  WriteFile(Path("full\\f"), "");
  EXPECT_THROW(entry_->RemoveFolder(Path("full")), RunError);
}

TEST_F(Win32TempFolderTest, ReadOnlyFolderIsRemovedAndFolderMadeAgain) {
  entry_->CreateFolder(Path("d"));
  SetMask(Path("d"), FILE_ATTRIBUTE_READONLY);
  entry_->RemoveFolder(Path("d"));
  EXPECT_THAT(Entries(root_), IsEmpty());
  entry_->CreateFolder(Path("d"));
  EXPECT_THAT(Entries(root_), ElementsAre("d"));
}

TEST_F(Win32TempFolderTest, ResolvePathIgnoresCaseAndMissIsEmpty) {
  MakeFolder(Path("Data"));
  const std::string resolved = fs_.ResolvePath(Path("Data"));
  EXPECT_FALSE(resolved.empty());
  EXPECT_EQ(resolved.rfind("\\\\?\\", 0), std::string::npos) << resolved;
  EXPECT_EQ(CompareStringOrdinal(
                win32::Widen(resolved).c_str(), -1,
                win32::Widen(fs_.ResolvePath(Path("DATA"))).c_str(), -1, TRUE),
            CSTR_EQUAL);
  EXPECT_EQ(fs_.ResolvePath(Path("missing")), "");
  EXPECT_TRUE(fs_.IgnoresCase());
  EXPECT_TRUE(PathExists(*entry_, Role::kSource, fs_.CurrentDirectory()));
}

TEST_F(Win32TempFolderTest, TextFileIsEmptiedAndReadBackWhole) {
  WriteFile(Path("out.txt"), "old content that is longer");
  auto out = fs_.CreateTextFile(Path("out.txt"));
  out->Write(
      "Gr\xC3\xBC\xC3\x9F"
      "e\r\n");
  out->Write(std::string("nul\0byte", 8));
  out->Close();
  EXPECT_EQ(fs_.ReadWholeFile(Path("out.txt")), std::string("Gr\xC3\xBC\xC3\x9F"
                                                            "e\r\nnul\0byte",
                                                            17));
  EXPECT_THROW(fs_.ReadWholeFile(Path("missing")), RunError);
}

// scripts/wine-tests.sh runs this once more with the file size limited to
// FERNWISE_FILE_LIMIT_KIB, so that the file refuses a buffer part-way.
TEST_F(Win32TempFolderTest, TextFileThatLostWhatItHeldFailsEveryLaterWrite) {
  const char* limit_kib = std::getenv("FERNWISE_FILE_LIMIT_KIB");
  if (limit_kib == nullptr) GTEST_SKIP() << "no file-size limit in force";
  auto output = fs_.CreateTextFile(Path("list.txt"));
  const std::string piece(16 * 1024, 'x');
  const size_t past_limit = 2 * 1024 * std::stoul(limit_kib);
  EXPECT_THROW(
      {
        for (size_t written = 0; written < past_limit; written += piece.size())
          output->Write(piece);
      },
      RunError);
  EXPECT_THROW(output->Write("after the hole"), RunError);
  EXPECT_THROW(output->Close(), RunError);
}

TEST_F(Win32TempFolderTest, UnicodeNamesRoundTripThroughSnapshotAndCopy) {
  const std::string name = "\xE2\x9C\x93 \xD0\x96 \xF0\x9F\x8C\xBF.txt";
  WriteFile(Path(name), "leaf");
  MakeFolder(Path("out"));
  const FolderSnapshot snapshot =
      *TakeSnapshot(fs_, *entry_, Role::kSource, root_);
  EXPECT_THAT(Drain(snapshot.files), ElementsAre(name));
  entry_->Copy(Path(name), Path("out\\" + name));
  EXPECT_EQ(ReadFile(Path("out\\" + name)), "leaf");
}

// Local date-time, as the user sees it, to FileTime.
FileTime LocalTime(WORD year, WORD month, WORD day, WORD hour, WORD minute) {
  SYSTEMTIME local{year, month, 0, day, hour, minute, 0, 0}, utc{};
  EXPECT_TRUE(TzSpecificLocalTimeToSystemTime(nullptr, &local, &utc));
  FILETIME stamp{};
  EXPECT_TRUE(SystemTimeToFileTime(&utc, &stamp));
  const int64_t ticks =
      int64_t(uint64_t(stamp.dwHighDateTime) << 32 | stamp.dwLowDateTime);
  return FileTime{(ticks - 116444736000000000) * 100};
}

TEST_F(Win32TempFolderTest, DateTimeUsesShortFormatsAndDateAloneAtMidnight) {
  const std::string midnight = fs_.FormatDateTime(LocalTime(2024, 7, 9, 0, 0));
  const std::string afternoon =
      fs_.FormatDateTime(LocalTime(2024, 7, 9, 15, 4));
  EXPECT_THAT(midnight, HasSubstr("2024"));
  EXPECT_EQ(midnight.find(' '), std::string::npos) << midnight;
  EXPECT_EQ(afternoon.rfind(midnight + " ", 0), 0u) << afternoon;
  EXPECT_THAT(afternoon, HasSubstr("04"));
}

// A run record's file: only a free name is taken, in the state folder
// under %LOCALAPPDATA%, made where missing; its name's time in any locale.
TEST_F(Win32TempFolderTest, NewTextFileTakesOnlyAFreeNameInTheStateFolder) {
  WriteFile(Path("taken.txt"), "kept");
  EXPECT_EQ(fs_.CreateNewTextFile(Path("taken.txt")), nullptr);
  EXPECT_EQ(ReadFile(Path("taken.txt")), "kept");
  wchar_t saved[MAX_PATH + 1] = {};
  ASSERT_NE(GetEnvironmentVariableW(L"LOCALAPPDATA", saved, MAX_PATH + 1), 0u);
  SetEnvironmentVariableW(L"LOCALAPPDATA", win32::Widen(root_).c_str());
  const std::string folder = fs_.StateFolder();
  SetEnvironmentVariableW(L"LOCALAPPDATA", saved);
  EXPECT_EQ(folder, root_ + "\\Fernwise");
  auto out = fs_.CreateNewTextFile(folder + "\\record.txt");
  ASSERT_NE(out, nullptr);
  out->Write("started\n");
  out->Close();
  EXPECT_EQ(ReadFile(folder + "\\record.txt"), "started\n");
  EXPECT_EQ(fs_.IsoDateTime(LocalTime(2024, 7, 9, 15, 4)),
            "2024-07-09 15:04:00");
}

// A replaced text file takes its name at Close, over the file there, and
// leaves nothing beside it.
TEST_F(Win32TempFolderTest, ReplacedTextFileTakesItsNameAtClose) {
  WriteFile(Path("list.txt"), "old list");
  auto out = fs_.ReplaceTextFile(Path("list.txt"));
  out->Write("new list");
  EXPECT_EQ(ReadFile(Path("list.txt")), "old list");
  out->Close();
  EXPECT_EQ(ReadFile(Path("list.txt")), "new list");
  EXPECT_EQ(Entries(root_), std::vector<std::string>{"list.txt"});
}

}  // namespace
}  // namespace fernwise
