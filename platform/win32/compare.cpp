// Comparing two files' contents and setting a file's last-modified time:
// what settles a time that reads exactly an hour off on a FAT volume (see
// sync/mirror.cpp).
#include <windows.h>

#include <algorithm>
#include <cstring>
#include <memory>

#include "core/run_error.h"
#include "platform/win32/entry_run.h"
#include "platform/win32/handle.h"
#include "platform/win32/support.h"
#include "platform/win32/text.h"

namespace fernwise {

using win32::ThrowError;

namespace {

constexpr DWORD kShareAll =
    FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;
constexpr DWORD kSliceBytes = 256 * 1024;
constexpr char kCompare[] = "compare";

// Whether the entry `path` names, itself and not what it leads to, is a
// link (a symbolic link, a junction, a mount point).
bool IsLink(HANDLE entry) {
  FILE_ATTRIBUTE_TAG_INFO tag{};
  return GetFileInformationByHandleEx(entry, FileAttributeTagInfo, &tag,
                                      sizeof tag) &&
         (tag.FileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) &&
         IsReparseTagNameSurrogate(tag.ReparseTag);
}

win32::FileHandle OpenEntry(const std::wstring& path, DWORD access,
                            DWORD flags) {
  return win32::FileHandle(CreateFileW(path.c_str(), access, kShareAll, nullptr,
                                       OPEN_EXISTING, flags, nullptr));
}

// What writing to a file changes: its length and last-write time.
bool ReadFacts(HANDLE file, BY_HANDLE_FILE_INFORMATION& facts) {
  return GetFileInformationByHandle(file, &facts) != 0;
}

bool SameFacts(const BY_HANDLE_FILE_INFORMATION& a,
               const BY_HANDLE_FILE_INFORMATION& b) {
  return a.nFileSizeHigh == b.nFileSizeHigh &&
         a.nFileSizeLow == b.nFileSizeLow &&
         a.ftLastWriteTime.dwLowDateTime == b.ftLastWriteTime.dwLowDateTime &&
         a.ftLastWriteTime.dwHighDateTime == b.ftLastWriteTime.dwHighDateTime;
}

// Reads `want` bytes, or fewer only at the file's end.
DWORD ReadUpTo(HANDLE file, char* buffer, DWORD want, const std::string& path) {
  DWORD got = 0;
  while (got < want) {
    DWORD read = 0;
    if (!ReadFile(file, buffer + got, want - got, &read, nullptr))
      ThrowError(GetLastError(), kCompare, path);
    if (read == 0) break;
    got += read;
  }
  return got;
}

// `path` opened for reading, a file link as the file it names (as a copy
// reads it); invalid where another program keeps it to itself, which the
// copy that follows then meets and reports.
win32::FileHandle OpenToRead(const std::wstring& wide,
                             const std::string& path) {
  win32::FileHandle file =
      OpenEntry(wide, GENERIC_READ, FILE_FLAG_SEQUENTIAL_SCAN);
  if (!file.valid() && !win32::IsInUse(GetLastError()))
    ThrowError(GetLastError(), kCompare, path);
  return file;
}

}  // namespace

bool Win32EntryRun::SameContent(const std::string& a, const std::string& b) {
  // A link in the destination is never taken for the file it leads to: the
  // copy that follows replaces it.
  const std::wstring a_wide = Wide(Role::kSource, a);
  const std::wstring b_wide = Wide(Role::kDestination, b);
  if (const win32::FileHandle entry =
          OpenEntry(b_wide, FILE_READ_ATTRIBUTES, FILE_FLAG_OPEN_REPARSE_POINT);
      !entry.valid() || IsLink(entry.get()))
    return false;
  const win32::FileHandle a_file = OpenToRead(a_wide, a);
  const win32::FileHandle b_file = OpenToRead(b_wide, b);
  BY_HANDLE_FILE_INFORMATION a_facts{};
  BY_HANDLE_FILE_INFORMATION b_facts{};
  if (!a_file.valid() || !b_file.valid() || !ReadFacts(a_file.get(), a_facts) ||
      !ReadFacts(b_file.get(), b_facts) ||
      a_facts.nFileSizeHigh != b_facts.nFileSizeHigh ||
      a_facts.nFileSizeLow != b_facts.nFileSizeLow)
    return false;
  const int64_t size =
      int64_t(uint64_t(a_facts.nFileSizeHigh) << 32 | a_facts.nFileSizeLow);
  const auto buffer = std::make_unique<char[]>(2 * kSliceBytes);
  for (int64_t done = 0; done < size;) {
    const DWORD want = DWORD(std::min<int64_t>(size - done, kSliceBytes));
    const bool same =
        ReadUpTo(a_file.get(), buffer.get(), want, a) == want &&
        ReadUpTo(b_file.get(), buffer.get() + kSliceBytes, want, b) == want &&
        std::memcmp(buffer.get(), buffer.get() + kSliceBytes, want) == 0;
    // A difference ends the step: the window is told it is over.
    done = same ? done + want : size;
    if (progress_) progress_(done, size);
    if (!same) return false;
  }
  // A file written to while it was read was read as no one version of it.
  BY_HANDLE_FILE_INFORMATION a_after{};
  BY_HANDLE_FILE_INFORMATION b_after{};
  return ReadFacts(a_file.get(), a_after) && ReadFacts(b_file.get(), b_after) &&
         SameFacts(a_facts, a_after) && SameFacts(b_facts, b_after);
}

void Win32EntryRun::SetLastModified(const std::string& path, FileTime time) {
  SetWriteTime(path, time, false);
}

void Win32EntryRun::SetFolderTime(const std::string& dest, FileTime time) {
  // A volume's root keeps no time of its own on FAT, whose driver refuses
  // any change to it: tried, it would end every run onto a stick's root.
  const win32::HeldFolder& named = Held(Role::kDestination);
  if (dest == named.path() && named.is_root()) return;
  SetWriteTime(dest, time, true);
}

void Win32EntryRun::SetWriteTime(const std::string& path, FileTime time,
                                 bool folder) {
  constexpr char kOperation[] = "set time";
  entries_.Forget(path);
  FILETIME stamp{};
  if (!win32::FiletimeOf(time, stamp))
    ThrowError(ERROR_INVALID_PARAMETER, kOperation, path);
  // The entry itself, never what a link leads to.
  const win32::FileHandle file = OpenEntry(
      Wide(Role::kDestination, path),
      FILE_READ_ATTRIBUTES | FILE_WRITE_ATTRIBUTES,
      FILE_FLAG_OPEN_REPARSE_POINT | (folder ? FILE_FLAG_BACKUP_SEMANTICS : 0));
  // As on other systems, a folder whose time this user may not set keeps
  // the one it has: its contents are backed up all the same.
  const auto refused = [folder] {
    return folder && GetLastError() == ERROR_ACCESS_DENIED;
  };
  if (!file.valid()) {
    if (refused()) return;
    ThrowError(GetLastError(), kOperation, path);
  }
  // A junction put in the destination by hand keeps its own time.
  if (IsLink(file.get()) && folder) return;
  if (IsLink(file.get()))
    throw RunError(ERROR_CANT_ACCESS_FILE,
                   "A link stands where a file belongs; no time is set "
                   "through it",
                   kOperation, path);
  if (!SetFileTime(file.get(), nullptr, nullptr, &stamp)) {
    if (refused()) return;
    ThrowError(GetLastError(), kOperation, path);
  }
  Wrote(Role::kDestination, path);
}

}  // namespace fernwise
