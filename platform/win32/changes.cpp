// The changes other than copies: attribute masks, deletions and folders.
#include <windows.h>

#include "core/run_error.h"
#include "platform/win32/entry_run.h"
#include "platform/win32/handle.h"
#include "platform/win32/refusal.h"
#include "platform/win32/support.h"
#include "platform/win32/text.h"
#include "platform/win32/unlock.h"

namespace fernwise {

using win32::ThrowError;

namespace {

constexpr DWORD kShareAll =
    FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;

// DeleteFileW and RemoveDirectoryW refuse a read-only entry; the bit is
// cleared first and put back only if the entry stays. Both remove a link
// itself, never what it names.
void RemoveUnlocked(const std::wstring& wide, const std::string& path,
                    BOOL(WINAPI* remove)(LPCWSTR), const char* operation) {
  const DWORD restore = win32::Unlock(wide, GetFileAttributesW(wide.c_str()),
                                      FILE_ATTRIBUTE_READONLY, path);
  if (!remove(wide.c_str())) {
    const DWORD error = GetLastError();
    win32::Relock(wide, restore);
    ThrowError(error, operation, path);
  }
}

// Removes the link to a folder at `path` as a link, through a handle to the
// link itself; false, with nothing removed, when what the handle reaches is
// no link. (Wine opens a host link's target even when asked for the link,
// and removing that would remove the target.)
bool RemoveFolderLink(const std::wstring& path, const std::string& original) {
  win32::FileHandle link(CreateFileW(
      path.c_str(), DELETE | FILE_READ_ATTRIBUTES | FILE_WRITE_ATTRIBUTES,
      kShareAll, nullptr, OPEN_EXISTING,
      FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
  if (!link.valid()) ThrowError(GetLastError(), "remove link", original);
  FILE_ATTRIBUTE_TAG_INFO tag{};
  if (!GetFileInformationByHandleEx(link.get(), FileAttributeTagInfo, &tag,
                                    sizeof tag))
    ThrowError(GetLastError(), "remove link", original);
  if (!(tag.FileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) ||
      !IsReparseTagNameSurrogate(tag.ReparseTag))
    return false;
  if (const DWORD error =
          win32::DisposeThroughHandle(link.get(), tag.FileAttributes))
    ThrowError(error, "remove link", original);
  return true;
}

// The folder listing leaves links to folders out, so the sweep leaves them
// in a folder it empties; they go here. Returns whether any went.
bool RemoveFolderLinksIn(const std::wstring& folder,
                         const std::string& original) {
  WIN32_FIND_DATAW entry{};
  win32::FindHandle find(FindFirstFileExW((folder + L"\\*").c_str(),
                                          FindExInfoBasic, &entry,
                                          FindExSearchNameMatch, nullptr, 0));
  if (!find.valid()) return false;
  bool removed = false;
  do {
    if (win32::KindOf(entry.dwFileAttributes, entry.dwReserved0) !=
        win32::EntryKind::kFolderLink)
      continue;
    removed |=
        RemoveFolderLink(folder + L"\\" + entry.cFileName,
                         original + "\\" + win32::Narrow(entry.cFileName));
  } while (FindNextFileW(find.get(), &entry));
  return removed;
}

// Removes the empty folder `wide`, and the links to folders it still holds,
// which no listing showed.
DWORD RemoveWithFolderLinks(const std::wstring& wide, const std::string& path) {
  if (RemoveDirectoryW(wide.c_str())) return 0;
  const DWORD error = GetLastError();
  if (error != ERROR_DIR_NOT_EMPTY || !RemoveFolderLinksIn(wide, path))
    return error;
  return RemoveDirectoryW(wide.c_str()) ? 0 : GetLastError();
}

}  // namespace

void Win32EntryRun::SetAttributes(const std::string& dest, uint32_t mask) {
  entries_.Forget(dest);
  win32::SetMaskOrThrow(Wide(Role::kDestination, dest), mask, dest);
  Wrote(Role::kDestination, dest);
}

void Win32EntryRun::Delete(Role role, const std::string& path) {
  entries_.Forget(path);
  const bool kept = !kept_path_.empty() && path == kept_path_;
  kept_path_.clear();
  if (kept)
    DeleteKept(path);
  else
    RemoveUnlocked(Wide(role, path), path, DeleteFileW, "delete file");
  Wrote(role, path);
}

CopyResult Win32EntryRun::CreateFolder(const std::string& dest) {
  entries_.ForgetFolder(dest);
  const std::wstring wide = Wide(Role::kDestination, dest);
  if (!CreateDirectoryW(wide.c_str(), nullptr)) {
    const DWORD error = GetLastError();
    if (win32::NameRefused(wide, error)) return {win32::kNameRefused};
    ThrowError(error, "create folder", dest);
  }
  Wrote(Role::kDestination, dest);
  return {};
}

// A link to a folder goes as the link it is: nothing it leads to is
// listed, emptied or removed.
void Win32EntryRun::RemoveFolder(const std::string& dest) {
  const bool link = IsFolderLink(Role::kDestination, dest);
  entries_.ForgetFolder(dest);
  const std::wstring wide = Wide(Role::kDestination, dest);
  if (link) {
    if (!RemoveFolderLink(wide, dest))
      throw RunError(ERROR_NOT_A_REPARSE_POINT,
                     "A link to a folder stands here, but it opens as the "
                     "folder it leads to, so it is not removed and nothing "
                     "it leads to is erased",
                     "remove link", dest);
    return Wrote(Role::kDestination, dest);
  }
  const DWORD restore = win32::Unlock(wide, GetFileAttributesW(wide.c_str()),
                                      FILE_ATTRIBUTE_READONLY, dest);
  DWORD error = 0;
  try {
    error = RemoveWithFolderLinks(wide, dest);
  } catch (...) {
    win32::Relock(wide, restore);
    throw;
  }
  if (error == 0) return Wrote(Role::kDestination, dest);
  win32::Relock(wide, restore);
  ThrowError(error, "remove folder", dest);
}

}  // namespace fernwise
