// The services that change the destination tree: attribute masks, copies,
// deletions and folders.
#include <windows.h>

#include <optional>

#include "core/run_error.h"
#include "platform/win32/file_system.h"
#include "platform/win32/handle.h"
#include "platform/win32/support.h"
#include "platform/win32/text.h"

namespace fernwise {

using win32::kSettableBits;
using win32::ThrowError;
using win32::WidenPath;

namespace {

constexpr DWORD kShareAll =
    FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;
// The bits that make CopyFileW, MoveFileExW or DeleteFileW refuse a target.
constexpr DWORD kLockingBits =
    FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM;
// How long to wait, one wait after another, for a file that another program
// holds open: long enough for a program that saves or scans a file, short
// enough that a file held open for good ends the run soon.
constexpr DWORD kInUseWaitsMs[] = {200, 400, 800, 1600};
// Temporary names tried before a copy gives up: a taken one, which random
// names make all but impossible, is passed over.
constexpr int kTemporaryAttempts = 64;
constexpr char kInUseAdvice[] =
    " Another program holds this file open and lets no other program read "
    "it; the backup waited 3 seconds for it. Files that stay open while "
    "their program runs (a mail store, a running virtual machine) can be "
    "backed up only while that program is closed: close it and start the "
    "backup again.";

// Runs `attempt`, which returns 0 or a GetLastError() value, again after
// each wait while it fails because another program holds the file open.
template <typename Attempt>
DWORD RetryWhileInUse(Attempt attempt) {
  DWORD error = attempt();
  for (DWORD wait : kInUseWaitsMs) {
    if (!win32::IsInUse(error)) break;
    Sleep(wait);
    error = attempt();
  }
  return error;
}

void SetAttributesOrThrow(const std::wstring& path, DWORD attributes,
                          const std::string& original) {
  attributes &= kSettableBits;
  if (!SetFileAttributesW(path.c_str(),
                          attributes ? attributes : FILE_ATTRIBUTE_NORMAL))
    ThrowError(GetLastError(), "set attributes", original);
}

// Clears `bits` of `attributes` on the entry at `path` so Windows lets the
// program replace or remove it; returns the attributes to put back if that
// then fails, or INVALID_FILE_ATTRIBUTES when there is nothing to put back.
DWORD Unlock(const std::wstring& path, DWORD attributes, DWORD bits,
             const std::string& original) {
  if (attributes == INVALID_FILE_ATTRIBUTES || (attributes & bits) == 0)
    return INVALID_FILE_ATTRIBUTES;
  SetAttributesOrThrow(path, attributes & ~bits, original);
  return attributes;
}

void Relock(const std::wstring& path, DWORD attributes) {
  if (attributes != INVALID_FILE_ATTRIBUTES)
    SetFileAttributesW(path.c_str(), attributes & kSettableBits);
}

// A name in the target's folder that no other copy of this process uses:
// the rename over the target then stays inside one folder, so it is atomic.
std::wstring TemporaryBeside(const std::wstring& target) {
  const size_t slash = target.find_last_of(L'\\');
  const std::wstring folder =
      slash == std::wstring::npos ? L"" : target.substr(0, slash + 1);
  return folder + win32::NextTemporaryName();
}

bool IsTaken(DWORD error) {
  return error == ERROR_FILE_EXISTS || error == ERROR_ALREADY_EXISTS;
}

void Discard(const std::wstring& temporary) {
  SetFileAttributesW(temporary.c_str(), FILE_ATTRIBUTE_NORMAL);
  DeleteFileW(temporary.c_str());
}

bool CanRead(const std::wstring& path) {
  return win32::FileHandle(CreateFileW(path.c_str(), GENERIC_READ, kShareAll,
                                       nullptr, OPEN_EXISTING,
                                       FILE_ATTRIBUTE_NORMAL, nullptr))
      .valid();
}

// CopyFileExW calls this on the copying thread after every chunk it writes:
// the run hears how far a long copy is, and the window answers meanwhile.
DWORD CALLBACK ReportChunk(LARGE_INTEGER total, LARGE_INTEGER transferred,
                           LARGE_INTEGER, LARGE_INTEGER, DWORD, DWORD, HANDLE,
                           HANDLE, LPVOID file_system) {
  static_cast<const FileSystem*>(file_system)
      ->Progress(transferred.QuadPart, total.QuadPart);
  return PROGRESS_CONTINUE;
}

// Writes the file's data through to the disk before the file takes a name
// that says it is current: a power cut must never leave a name with the
// source's time over content that never reached the disk. FlushFileBuffers
// needs a handle that may write, which a read-only copy refuses, so its bit
// is lent for the moment.
void FlushToDisk(const std::wstring& path, const std::string& original) {
  const DWORD attributes = GetFileAttributesW(path.c_str());
  const bool read_only = attributes != INVALID_FILE_ATTRIBUTES &&
                         (attributes & FILE_ATTRIBUTE_READONLY) != 0;
  if (read_only)
    SetFileAttributesW(path.c_str(),
                       attributes & ~DWORD(FILE_ATTRIBUTE_READONLY));
  win32::FileHandle file(CreateFileW(path.c_str(), GENERIC_WRITE, kShareAll,
                                     nullptr, OPEN_EXISTING,
                                     FILE_ATTRIBUTE_NORMAL, nullptr));
  const DWORD error =
      file.valid() && FlushFileBuffers(file.get()) ? 0 : GetLastError();
  file.reset();
  if (read_only) SetFileAttributesW(path.c_str(), attributes);
  if (error != 0) {
    Discard(path);
    ThrowError(error, "copy file to", original);
  }
}

// CopyFileExW carries the content, the last-write time and the attributes,
// and copies a link to a file as the file it names. It does not say which
// side failed: the source is to blame when another program holds it, or when
// it cannot be opened for reading now; otherwise the target is. Returns the
// temporary file made beside `target`. A name that is taken is passed over,
// and the file left as it is.
std::wstring CopyToTemporary(const std::wstring& source,
                             const std::wstring& target,
                             const std::string& source_path,
                             const std::string& target_path,
                             const FileSystem& fs) {
  for (int attempt = 0; attempt < kTemporaryAttempts; ++attempt) {
    const std::wstring temporary = TemporaryBeside(target);
    const DWORD error = RetryWhileInUse([&]() -> DWORD {
      if (CopyFileExW(source.c_str(), temporary.c_str(), &ReportChunk,
                      const_cast<FileSystem*>(&fs), nullptr,
                      COPY_FILE_FAIL_IF_EXISTS))
        return 0;
      const DWORD failure = GetLastError();
      if (!IsTaken(failure)) Discard(temporary);
      return failure;
    });
    if (error == 0) {
      FlushToDisk(temporary, target_path);
      return temporary;
    }
    if (IsTaken(error)) continue;
    if (win32::IsInUse(error))
      throw RunError(int(error), win32::ErrorText(error) + kInUseAdvice,
                     "copy file", source_path);
    if (CanRead(source)) ThrowError(error, "copy file to", target_path);
    ThrowError(error, "copy file", source_path);
  }
  ThrowError(ERROR_FILE_EXISTS, "copy file to", target_path);
}

// The attributes of the entry whose own name is the last component of
// `path`, or nullopt when there is none. GetFileAttributesW would also
// answer for an entry whose 8.3 short name that is.
std::optional<DWORD> ExactEntry(const std::wstring& path,
                                const std::string& original) {
  WIN32_FIND_DATAW entry{};
  win32::FindHandle find(FindFirstFileExW(path.c_str(), FindExInfoBasic, &entry,
                                          FindExSearchNameMatch, nullptr, 0));
  if (!find.valid()) {
    const DWORD error = GetLastError();
    if (win32::IsNotFound(error)) return std::nullopt;
    ThrowError(error, "replace file", original);
  }
  const size_t slash = path.find_last_of(L'\\');
  const std::wstring name = path.substr(slash + 1);
  do {
    if (win32::SameName(entry.cFileName, name)) return entry.dwFileAttributes;
  } while (FindNextFileW(find.get(), &entry));
  return std::nullopt;
}

// MoveFileExW refuses to replace a read-only target, and CopyFileW a hidden
// or system one; the destination is the program's own, so those bits are
// cleared first and put back only if the target stays. Only an entry of
// exactly the target's name is replaced: where the name is another entry's
// short name the rename is made without replacing, and fails, rather than
// overwrite that entry. The rename replaces a link, never its target.
void ReplaceWithTemporary(const std::wstring& temporary,
                          const std::wstring& target,
                          const std::string& original) {
  DWORD restore = INVALID_FILE_ATTRIBUTES;
  std::optional<DWORD> existing;
  try {
    existing = ExactEntry(target, original);
    if (existing) restore = Unlock(target, *existing, kLockingBits, original);
  } catch (...) {
    Discard(temporary);
    throw;
  }
  const DWORD flags = MOVEFILE_WRITE_THROUGH |
                      (existing ? MOVEFILE_REPLACE_EXISTING : DWORD{0});
  // A virus scanner may still hold the fresh copy, or another program the
  // target.
  const DWORD error = RetryWhileInUse([&]() -> DWORD {
    return MoveFileExW(temporary.c_str(), target.c_str(), flags)
               ? 0
               : GetLastError();
  });
  if (error != 0) {
    Relock(target, restore);
    Discard(temporary);
    ThrowError(error, "replace file", original);
  }
}

// DeleteFileW and RemoveDirectoryW refuse a read-only entry; the bit is
// cleared first and put back only if the entry stays. Both remove a link
// itself, never what it names.
void RemoveUnlocked(const std::string& path, BOOL(WINAPI* remove)(LPCWSTR),
                    const char* operation) {
  const std::wstring wide = WidenPath(path);
  const DWORD restore = Unlock(wide, GetFileAttributesW(wide.c_str()),
                               FILE_ATTRIBUTE_READONLY, path);
  if (!remove(wide.c_str())) {
    const DWORD error = GetLastError();
    Relock(wide, restore);
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

}  // namespace

void Win32FileSystem::SetAttributes(const std::string& path, uint32_t mask) {
  entries_.Forget(path);
  SetAttributesOrThrow(WidenPath(path), mask, path);
}

CopyResult Win32FileSystem::Copy(const std::string& source,
                                 const std::string& target) {
  entries_.Forget(target);
  // A refresh replaces only the file whose old version was just kept.
  if (!kept_path_.empty() && target == kept_path_)
    CheckKept(target, "copy file to");
  kept_path_.clear();
  const std::wstring wide_target = WidenPath(target);
  const std::wstring temporary =
      CopyToTemporary(WidenPath(source), wide_target, source, target, *this);
  ReplaceWithTemporary(temporary, wide_target, target);
  return {};
}

CopyResult Win32FileSystem::CopyToNewName(const std::string& source,
                                          const std::string& target) {
  entries_.Forget(target);
  kept_path_.clear();
  const std::optional<FileIdentity> before = IdentityAt(source);
  const std::wstring wide_target = WidenPath(target);
  const std::wstring temporary =
      CopyToTemporary(WidenPath(source), wide_target, source, target, *this);
  // Without MOVEFILE_REPLACE_EXISTING the rename fails where the name is
  // taken, also where it is another file's short name.
  const DWORD error = RetryWhileInUse([&]() -> DWORD {
    return MoveFileExW(temporary.c_str(), wide_target.c_str(),
                       MOVEFILE_WRITE_THROUGH)
               ? 0
               : GetLastError();
  });
  if (error == 0) {
    NoteKept(source, before);
    return {};
  }
  Discard(temporary);
  if (IsTaken(error)) return {"", true};
  ThrowError(error, "copy file to", target);
}

void Win32FileSystem::Delete(const std::string& path) {
  entries_.Forget(path);
  const bool kept = !kept_path_.empty() && path == kept_path_;
  kept_path_.clear();
  if (kept) return DeleteKept(path);
  RemoveUnlocked(path, DeleteFileW, "delete file");
}

CopyResult Win32FileSystem::CreateFolder(const std::string& path) {
  entries_.ForgetFolder(path);
  if (!CreateDirectoryW(WidenPath(path).c_str(), nullptr))
    ThrowError(GetLastError(), "create folder", path);
  return {};
}

void Win32FileSystem::RemoveFolder(const std::string& path) {
  entries_.ForgetFolder(path);
  const std::wstring wide = WidenPath(path);
  const DWORD restore = Unlock(wide, GetFileAttributesW(wide.c_str()),
                               FILE_ATTRIBUTE_READONLY, path);
  if (RemoveDirectoryW(wide.c_str())) return;
  DWORD error = GetLastError();
  try {
    if (error == ERROR_DIR_NOT_EMPTY && RemoveFolderLinksIn(wide, path)) {
      if (RemoveDirectoryW(wide.c_str())) return;
      error = GetLastError();
    }
  } catch (...) {
    Relock(wide, restore);
    throw;
  }
  Relock(wide, restore);
  ThrowError(error, "remove folder", path);
}

}  // namespace fernwise
