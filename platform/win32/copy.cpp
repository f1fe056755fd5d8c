// Copies: to a temporary file beside the target, flushed to the disk, then
// renamed into place.
#include <windows.h>

#include <optional>

#include "core/run_error.h"
#include "platform/win32/entry_run.h"
#include "platform/win32/flush.h"
#include "platform/win32/handle.h"
#include "platform/win32/support.h"
#include "platform/win32/text.h"
#include "platform/win32/unlock.h"

namespace fernwise {

using win32::ThrowError;
using win32::WidenPath;

namespace {

constexpr DWORD kShareAll =
    FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;
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
                           HANDLE, LPVOID progress) {
  const auto& callback = *static_cast<const ProgressCallback*>(progress);
  if (callback) callback(transferred.QuadPart, total.QuadPart);
  return PROGRESS_CONTINUE;
}

// Writes the file's data through to the disk before the file takes a name
// that says it is current: a power cut must never leave a name with the
// source's time over content that never reached the disk. The flush runs
// on a helper thread (platform/win32/flush.h). FlushFileBuffers needs a
// handle that may write, which a read-only copy refuses, so its bit is lent
// for the moment.
void FlushToDisk(const std::wstring& path, const std::string& original,
                 const ProgressCallback& progress) {
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
      !file.valid()
          ? GetLastError()
          : win32::FlushAnswering(
                [&file]() -> DWORD {
                  return FlushFileBuffers(file.get()) ? 0 : GetLastError();
                },
                progress);
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
std::wstring CopyToTemporary(const std::string& source_path,
                             const std::string& target_path,
                             const ProgressCallback& progress) {
  const std::wstring source = WidenPath(source_path);
  const std::wstring target = WidenPath(target_path);
  for (int attempt = 0; attempt < kTemporaryAttempts; ++attempt) {
    const std::wstring temporary = TemporaryBeside(target);
    const DWORD error = RetryWhileInUse([&]() -> DWORD {
      if (CopyFileExW(source.c_str(), temporary.c_str(), &ReportChunk,
                      const_cast<ProgressCallback*>(&progress), nullptr,
                      COPY_FILE_FAIL_IF_EXISTS))
        return 0;
      const DWORD failure = GetLastError();
      if (!IsTaken(failure)) Discard(temporary);
      return failure;
    });
    if (error == 0) {
      FlushToDisk(temporary, target_path, progress);
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
                          const std::string& original) {
  const std::wstring target = WidenPath(original);
  DWORD restore = INVALID_FILE_ATTRIBUTES;
  std::optional<DWORD> existing;
  try {
    existing = ExactEntry(target, original);
    if (existing)
      restore = win32::Unlock(target, *existing, win32::kLockingBits, original);
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
    win32::Relock(target, restore);
    Discard(temporary);
    ThrowError(error, "replace file", original);
  }
}

std::optional<FILETIME> LastWriteOf(const std::wstring& path) {
  WIN32_FILE_ATTRIBUTE_DATA data{};
  if (!GetFileAttributesExW(path.c_str(), GetFileExInfoStandard, &data))
    return std::nullopt;
  return data.ftLastWriteTime;
}

}  // namespace

CopyResult Win32EntryRun::Copy(const std::string& source,
                               const std::string& dest) {
  entries_.Forget(dest);
  // A refresh replaces only the file whose old version was just kept.
  if (!kept_path_.empty() && dest == kept_path_)
    CheckKept(dest, "copy file to");
  kept_path_.clear();
  const std::wstring temporary = CopyToTemporary(source, dest, progress_);
  const std::optional<FILETIME> time = LastWriteOf(temporary);
  ReplaceWithTemporary(temporary, dest);
  Wrote(Role::kDestination, dest);
  PutTimeBack(Role::kDestination, dest, time);
  return {};
}

CopyResult Win32EntryRun::CopyToNewName(const std::string& displaced,
                                        const std::string& target) {
  entries_.Forget(target);
  kept_path_.clear();
  const std::optional<FileIdentity> before = IdentityAt(displaced);
  const std::wstring wide_target = WidenPath(target);
  const std::wstring temporary = CopyToTemporary(displaced, target, progress_);
  const std::optional<FILETIME> time = LastWriteOf(temporary);
  // Without MOVEFILE_REPLACE_EXISTING the rename fails where the name is
  // taken, also where it is another file's short name.
  const DWORD error = RetryWhileInUse([&]() -> DWORD {
    return MoveFileExW(temporary.c_str(), wide_target.c_str(),
                       MOVEFILE_WRITE_THROUGH)
               ? 0
               : GetLastError();
  });
  if (error == 0) {
    Wrote(Role::kSecondary, target);
    PutTimeBack(Role::kSecondary, target, time);
    NoteKept(displaced, before);
    return {};
  }
  Discard(temporary);
  if (IsTaken(error)) return {"", true};
  ThrowError(error, "copy file to", target);
}

// A drive that gives a renamed file the time of the rename (fusefat, as
// Wine sees it) would have every copy refreshed again on the next run; the
// copy's own time is given back to it there.
void Win32EntryRun::PutTimeBack(Role role, const std::string& path,
                                const std::optional<FILETIME>& time) {
  if (!time || traits_.Of(role, Held(role)).traits.rename_keeps_time) return;
  const win32::FileHandle file(CreateFileW(
      WidenPath(path).c_str(), FILE_WRITE_ATTRIBUTES, kShareAll, nullptr,
      OPEN_EXISTING, FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
  if (!file.valid() || !SetFileTime(file.get(), nullptr, &*time, &*time))
    ThrowError(GetLastError(), "set time", path);
}

}  // namespace fernwise
