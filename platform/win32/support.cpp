#include "platform/win32/support.h"

#include <cstdint>
#include <limits>

#include "core/temporary_name.h"
#include "platform/win32/text.h"

namespace fernwise::win32 {

namespace {

// FILETIME counts 100 ns units from 1601; FileTime nanoseconds from 1970.
constexpr int64_t kTicksTo1970 = 116444736000000000;
constexpr int64_t kNanosPerTick = 100;
// How a temporary name frames the program's mark (core/temporary_name.h):
// it holds none of the target's name, so it is 38 units long whatever the
// target's, and its ".tmp" tells other programs what it is.
constexpr char kTemporaryHead[] = "~";
constexpr char kTemporaryTail[] = ".tmp";

}  // namespace

bool IsNotFound(DWORD error) {
  return error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND ||
         error == ERROR_NO_MORE_FILES;
}

bool IsInUse(DWORD error) {
  return error == ERROR_SHARING_VIOLATION || error == ERROR_LOCK_VIOLATION;
}

DWORD DisposeThroughHandle(HANDLE handle, DWORD attributes) {
  const auto set_attributes = [handle](DWORD bits) {
    FILE_BASIC_INFO basic{};
    basic.FileAttributes = bits ? bits : FILE_ATTRIBUTE_NORMAL;
    return SetFileInformationByHandle(handle, FileBasicInfo, &basic,
                                      sizeof basic) != 0;
  };
  attributes &= kSettableBits;
  const bool read_only = (attributes & FILE_ATTRIBUTE_READONLY) != 0;
  if (read_only &&
      !set_attributes(attributes & ~DWORD(FILE_ATTRIBUTE_READONLY)))
    return GetLastError();
  FILE_DISPOSITION_INFO dispose{TRUE};
  if (SetFileInformationByHandle(handle, FileDispositionInfo, &dispose,
                                 sizeof dispose))
    return 0;
  const DWORD error = GetLastError();
  if (read_only) set_attributes(attributes);
  return error;
}

FileTime FileTimeOf(const FILETIME& stamp) {
  constexpr int64_t kMax = std::numeric_limits<int64_t>::max();
  constexpr int64_t kMin = std::numeric_limits<int64_t>::min();
  // The range of ticks whose nanoseconds since 1970 fit in 64 bits.
  constexpr uint64_t kLowest = uint64_t(kTicksTo1970 + kMin / kNanosPerTick);
  constexpr uint64_t kHighest = uint64_t(kTicksTo1970 + kMax / kNanosPerTick);
  const uint64_t ticks =
      uint64_t(stamp.dwHighDateTime) << 32 | stamp.dwLowDateTime;
  if (ticks < kLowest) return {kMin};
  if (ticks > kHighest) return {kMax};
  return {(int64_t(ticks) - kTicksTo1970) * kNanosPerTick};
}

bool FiletimeOf(FileTime time, FILETIME& stamp) {
  // Floor division, so a time before 1970 lands on the right 100 ns unit.
  const int64_t ticks = time.ns / kNanosPerTick -
                        (time.ns % kNanosPerTick < 0 ? 1 : 0) + kTicksTo1970;
  if (ticks < 0) return false;
  stamp.dwLowDateTime = DWORD(uint64_t(ticks));
  stamp.dwHighDateTime = DWORD(uint64_t(ticks) >> 32);
  return true;
}

EntryKind KindOf(DWORD attributes, DWORD reparse_tag) {
  const bool folder = (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
  // Only a name-surrogate tag names another entry; the other reparse points
  // hold the entry's own data. Wine shows a host link to a folder as a
  // reparse point without a tag, which Windows never gives; it counts as a
  // link. (Wine shows a host link to a file as a plain file.)
  const bool link =
      (attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0 &&
      (reparse_tag == 0 || IsReparseTagNameSurrogate(reparse_tag));
  if (link) return folder ? EntryKind::kFolderLink : EntryKind::kFileLink;
  return folder ? EntryKind::kFolder : EntryKind::kFile;
}

bool SameName(const wchar_t* listed, const std::wstring& asked) {
  return CompareStringOrdinal(listed, -1, asked.c_str(), int(asked.size()),
                              TRUE) == CSTR_EQUAL;
}

bool HasWildcard(const std::wstring& name) {
  return name.find_first_of(L"*?") != std::wstring::npos;
}

DriveType DriveTypeOf(const std::wstring& file_system, bool remote) {
  if (remote) return DriveType::kNetworkShare;
  if (file_system == L"FAT" || file_system == L"FAT32" ||
      file_system == L"FAT12" || file_system == L"FAT16")
    return DriveType::kFat;
  if (file_system == L"exFAT") return DriveType::kExfat;
  if (file_system == L"NTFS" || file_system == L"ReFS") return DriveType::kNtfs;
  // An unknown file system is taken to keep everything until its probe
  // shows otherwise; a source on one is compared exactly, which at worst
  // copies a file again.
  return DriveType::kOther;
}

std::wstring NextTemporaryName() {
  return Widen(MakeTemporaryName(kTemporaryHead, kTemporaryTail));
}

bool IsTemporaryName(std::string_view name) {
  return fernwise::IsTemporaryName(name, kTemporaryTail);
}

size_t Utf16Units(std::string_view text) {
  size_t units = 0;
  for (const char c : text) {
    const auto byte = static_cast<unsigned char>(c);
    // Every character's first byte is one unit; a four-byte one is two.
    if ((byte & 0xC0) != 0x80) ++units;
    if (byte >= 0xF0) ++units;
  }
  return units;
}

}  // namespace fernwise::win32
