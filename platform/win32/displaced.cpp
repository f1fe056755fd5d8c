// What an erase, and the keeping of the version it displaces, rest on. In
// the preserving mode a file is copied into the secondary folder before an
// erase or a refresh takes it away; should another program (or another
// run) replace the file, or the folder that holds it, between the copy and
// the erase, the same path leads to a file that was never kept. So the file
// a version was kept of is told by its identity (volume and file index,
// length and last-write time), read before and after the copy, and an
// erase opens the entry once, checks that identity on that handle and
// deletes through it: the file checked is the file that goes. A listing
// tells nothing of a folder's identity, and reading one would cost an open
// per folder on every run, so unlike on Linux the folder itself is not
// compared with the one listed; every kept file is.
#include <windows.h>

#include "core/run_error.h"
#include "platform/win32/entry_run.h"
#include "platform/win32/handle.h"
#include "platform/win32/support.h"
#include "platform/win32/text.h"

namespace fernwise {

namespace {

constexpr DWORD kShareAll =
    FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;

[[noreturn]] void ThrowChanged(const char* operation, const std::string& path) {
  throw RunError(ERROR_FILE_INVALID,
                 "The file changed after its old version was kept; nothing "
                 "more is erased",
                 operation, path);
}

// The entry itself: a link is opened as the link, as DeleteFileW removes it.
win32::FileHandle OpenEntry(const std::wstring& path, DWORD access) {
  return win32::FileHandle(CreateFileW(
      path.c_str(), access, kShareAll, nullptr, OPEN_EXISTING,
      FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
}

uint64_t Joined(DWORD high, DWORD low) { return uint64_t(high) << 32 | low; }

}  // namespace

std::optional<Win32EntryRun::FileIdentity> Win32EntryRun::IdentityOf(
    HANDLE entry, DWORD* attributes) {
  BY_HANDLE_FILE_INFORMATION info{};
  if (entry == INVALID_HANDLE_VALUE ||
      !GetFileInformationByHandle(entry, &info))
    return std::nullopt;
  if (attributes != nullptr) *attributes = info.dwFileAttributes;
  return FileIdentity{info.dwVolumeSerialNumber,
                      Joined(info.nFileIndexHigh, info.nFileIndexLow),
                      Joined(info.nFileSizeHigh, info.nFileSizeLow),
                      Joined(info.ftLastWriteTime.dwHighDateTime,
                             info.ftLastWriteTime.dwLowDateTime)};
}

std::optional<Win32EntryRun::FileIdentity> Win32EntryRun::IdentityAt(
    const std::string& path) const {
  return IdentityOf(
      OpenEntry(Wide(Role::kDestination, path), FILE_READ_ATTRIBUTES).get());
}

void Win32EntryRun::NoteKept(const std::string& path,
                             const std::optional<FileIdentity>& before) {
  // The copy is of one of the two, but of which cannot be told.
  if (!before || IdentityAt(path) != before)
    ThrowChanged("store secondary copy of", path);
  kept_path_ = path;
  kept_ = *before;
}

void Win32EntryRun::CheckKept(const std::string& path,
                              const char* operation) const {
  if (IdentityAt(path) != kept_) ThrowChanged(operation, path);
}

void Win32EntryRun::DeleteKept(const std::string& path) {
  constexpr char kOperation[] = "delete file";
  const win32::FileHandle file =
      OpenEntry(Wide(Role::kDestination, path),
                DELETE | FILE_READ_ATTRIBUTES | FILE_WRITE_ATTRIBUTES);
  DWORD attributes = 0;
  const std::optional<FileIdentity> now = IdentityOf(file.get(), &attributes);
  if (!now) win32::ThrowError(GetLastError(), kOperation, path);
  if (*now != kept_) ThrowChanged(kOperation, path);
  // The file goes when the handle closes, at the end of this function.
  if (const DWORD error = win32::DisposeThroughHandle(file.get(), attributes))
    win32::ThrowError(error, kOperation, path);
}

}  // namespace fernwise
