// Copies: to a temporary file beside the target, flushed to the disk, then
// renamed into place.
#include <windows.h>

#include <limits>
#include <optional>

#include "core/run_error.h"
#include "platform/win32/entry_run.h"
#include "platform/win32/flush.h"
#include "platform/win32/handle.h"
#include "platform/win32/listing.h"
#include "platform/win32/refusal.h"
#include "platform/win32/support.h"
#include "platform/win32/text.h"
#include "platform/win32/unlock.h"

namespace fernwise {

using win32::ThrowError;

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
// temporary file made beside `target`, or "" with the reason in `left_out`
// where the destination cannot hold the file (see refusal.h). A name that
// is taken is passed over, and the file left as it is.
std::wstring CopyToTemporary(const std::wstring& source,
                             const std::string& source_path,
                             const std::wstring& target,
                             const std::string& target_path,
                             const ProgressCallback& progress,
                             std::string& left_out) {
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
    left_out = win32::CopyRefusal(error);
    if (!left_out.empty()) return L"";
    if (CanRead(source)) ThrowError(error, "copy file to", target_path);
    ThrowError(error, "copy file", source_path);
  }
  ThrowError(ERROR_FILE_EXISTS, "copy file to", target_path);
}

// Renames the temporary file, made beside it, to `target`: without
// replacing anything unless `replace`. A rename that fails where nothing is
// replaced, for a cause that may be the name (the temporary file beside it
// shows that a plain name can be made there), leaves the file out: false.
// Any other failure is thrown, naming `original`. The temporary file goes
// either way.
bool RenameInto(const std::wstring& temporary, const std::wstring& target,
                const std::string& original, bool replace,
                const char* operation) {
  const DWORD flags =
      MOVEFILE_WRITE_THROUGH | (replace ? MOVEFILE_REPLACE_EXISTING : DWORD{0});
  // A virus scanner may still hold the fresh copy, or another program the
  // target.
  const DWORD error = RetryWhileInUse([&]() -> DWORD {
    return MoveFileExW(temporary.c_str(), target.c_str(), flags)
               ? 0
               : GetLastError();
  });
  if (error == 0) return true;
  Discard(temporary);
  if (!replace && win32::MayBeRefusal(error)) return false;
  ThrowError(error, operation, original);
}

std::optional<FILETIME> LastWriteOf(const std::wstring& path) {
  WIN32_FILE_ATTRIBUTE_DATA data{};
  if (!GetFileAttributesExW(path.c_str(), GetFileExInfoStandard, &data))
    return std::nullopt;
  return data.ftLastWriteTime;
}

}  // namespace

// MoveFileExW refuses to replace a read-only target, and CopyFileW a hidden
// or system one; the destination is the program's own, so those bits are
// cleared first and put back only if the target stays. Only the entry a
// probe finds by the target's name is replaced: where the name is another
// entry's short name, or another's in a case-sensitive folder, the rename
// is made without replacing, and fails, rather than overwrite that entry.
// The rename replaces a link, never its target.
CopyResult Win32EntryRun::Copy(const std::string& source,
                               const std::string& dest) {
  entries_.Forget(dest);
  // A refresh replaces only the file whose old version was just kept.
  if (!kept_path_.empty() && dest == kept_path_)
    CheckKept(dest, "copy file to");
  kept_path_.clear();
  if (TooLarge(Role::kSource, source, Role::kDestination))
    return {win32::kTooLarge};
  const std::wstring target = Wide(Role::kDestination, dest);
  std::string left_out;
  const std::wstring temporary =
      CopyToTemporary(Wide(Role::kSource, source), source, target, dest,
                      progress_, left_out);
  if (temporary.empty()) return {left_out};
  const std::optional<FILETIME> time = LastWriteOf(temporary);
  std::optional<DWORD> existing;
  DWORD restore = INVALID_FILE_ATTRIBUTES;
  try {
    existing = Existing(Role::kDestination, dest);
    if (existing)
      restore = win32::Unlock(target, *existing, win32::kLockingBits, dest);
  } catch (...) {
    Discard(temporary);
    throw;
  }
  bool renamed = false;
  try {
    renamed = RenameInto(temporary, target, dest, existing.has_value(),
                         "replace file");
  } catch (...) {
    win32::Relock(target, restore);
    throw;
  }
  if (!renamed) return {win32::kNameRefused};
  Wrote(Role::kDestination, dest);
  PutTimeBack(Role::kDestination, dest, time);
  return {};
}

CopyResult Win32EntryRun::CopyToNewName(const std::string& displaced,
                                        const std::string& target) {
  entries_.Forget(target);
  kept_path_.clear();
  if (TooLarge(Role::kDestination, displaced, Role::kSecondary))
    return {win32::kTooLarge};
  const std::optional<FileIdentity> before = IdentityAt(displaced);
  const std::wstring wide_target = Wide(Role::kSecondary, target);
  std::string left_out;
  const std::wstring temporary =
      CopyToTemporary(Wide(Role::kDestination, displaced), displaced,
                      wide_target, target, progress_, left_out);
  if (temporary.empty()) return {left_out};
  const std::optional<FILETIME> time = LastWriteOf(temporary);
  // Without MOVEFILE_REPLACE_EXISTING the rename fails where the name is
  // taken, also where it is another file's short name.
  try {
    if (!RenameInto(temporary, wide_target, target, false, "copy file to"))
      return {win32::kNameRefused};
  } catch (const RunError& error) {
    if (IsTaken(DWORD(error.number()))) return {"", true};
    throw;
  }
  Wrote(Role::kSecondary, target);
  PutTimeBack(Role::kSecondary, target, time);
  NoteKept(displaced, before);
  return {};
}

// The attributes of the entry a probe of `path` finds, or nullopt where
// there is none. GetFileAttributesW would also answer for an entry whose
// 8.3 short name that is.
std::optional<DWORD> Win32EntryRun::Existing(Role role,
                                             const std::string& path) {
  win32::Listing probe;
  if (!Search(role, path, probe)) return std::nullopt;
  return probe.entry.dwFileAttributes;
}

// A file longer than the drive of `to` holds (4 GiB and more on FAT) is left
// out before anything is written there.
bool Win32EntryRun::TooLarge(Role from, const std::string& source, Role to) {
  const int64_t largest = traits_.Of(to, Held(to)).traits.largest_file;
  return largest < std::numeric_limits<int64_t>::max() &&
         Length(from, source) > largest;
}

// A drive that gives a renamed file the time of the rename (fusefat, as
// Wine sees it) would have every copy refreshed again on the next run; the
// copy's own time is given back to it there.
void Win32EntryRun::PutTimeBack(Role role, const std::string& path,
                                const std::optional<FILETIME>& time) {
  if (!time || traits_.Of(role, Held(role)).traits.rename_keeps_time) return;
  const win32::FileHandle file(CreateFileW(
      Wide(role, path).c_str(), FILE_WRITE_ATTRIBUTES, kShareAll, nullptr,
      OPEN_EXISTING, FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
  if (!file.valid() || !SetFileTime(file.get(), nullptr, &*time, &*time))
    ThrowError(GetLastError(), "set time", path);
}

}  // namespace fernwise
