#include "platform/win32/file_system.h"

#include <windows.h>

#include <atomic>

#include "platform/win32/handle.h"
#include "platform/win32/support.h"
#include "platform/win32/text.h"

namespace fernwise {

using win32::IsNotFound;
using win32::ThrowError;
using win32::WidenPath;

namespace {

// The bits SetFileAttributesW can give a file, plus the folder bit.
constexpr DWORD kMaskBits = FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN |
                            FILE_ATTRIBUTE_SYSTEM | FILE_ATTRIBUTE_DIRECTORY |
                            FILE_ATTRIBUTE_ARCHIVE |
                            FILE_ATTRIBUTE_NOT_CONTENT_INDEXED;
// The bits that make CopyFileW, MoveFileExW or DeleteFileW refuse a target.
constexpr DWORD kLockingBits =
    FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM;
// A reparse point that names another entry: a junction, a mount point, a
// symbolic link. Other reparse points (cloud placeholders, deduplicated
// files) hold the entry's own data and are backed up like any other. Wine
// shows a host symbolic link as a reparse point without a tag, which Windows
// never gives; it counts as a link.
bool IsLink(const WIN32_FIND_DATAW& entry) {
  return (entry.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0 &&
         (entry.dwReserved0 == 0 ||
          IsReparseTagNameSurrogate(entry.dwReserved0));
}

DWORD Attributes(const std::wstring& path, const std::string& original) {
  const DWORD attributes = GetFileAttributesW(path.c_str());
  if (attributes == INVALID_FILE_ATTRIBUTES)
    ThrowError(GetLastError(), "read attributes", original);
  return attributes;
}

void SetAttributesOrThrow(const std::wstring& path, DWORD attributes,
                          const std::string& original) {
  attributes &= ~DWORD(FILE_ATTRIBUTE_DIRECTORY);
  if (!SetFileAttributesW(path.c_str(),
                          attributes ? attributes : FILE_ATTRIBUTE_NORMAL))
    ThrowError(GetLastError(), "set attributes", original);
}

// Clears `bits` of an existing entry so Windows lets the program replace or
// remove it; returns the attributes to put back if that then fails, or
// INVALID_FILE_ATTRIBUTES when there is nothing to put back.
DWORD Unlock(const std::wstring& path, DWORD bits,
             const std::string& original) {
  const DWORD attributes = GetFileAttributesW(path.c_str());
  if (attributes == INVALID_FILE_ATTRIBUTES || (attributes & bits) == 0)
    return INVALID_FILE_ATTRIBUTES;
  SetAttributesOrThrow(path, attributes & ~bits, original);
  return attributes;
}

void Relock(const std::wstring& path, DWORD attributes) {
  if (attributes != INVALID_FILE_ATTRIBUTES)
    SetFileAttributesW(path.c_str(),
                       attributes & ~DWORD(FILE_ATTRIBUTE_DIRECTORY));
}

// A name in the target's folder that no other copy uses: the rename over the
// target then stays inside one folder, so it is atomic.
std::wstring TemporaryBeside(const std::wstring& target) {
  static std::atomic<unsigned> counter{0};
  const size_t slash = target.find_last_of(L'\\');
  const std::wstring folder =
      slash == std::wstring::npos ? L"" : target.substr(0, slash + 1);
  return folder + L"~fernwise-" + std::to_wstring(GetCurrentProcessId()) +
         L"-" + std::to_wstring(++counter) + L".tmp";
}

void Discard(const std::wstring& temporary) {
  SetFileAttributesW(temporary.c_str(), FILE_ATTRIBUTE_NORMAL);
  DeleteFileW(temporary.c_str());
}

// CopyFileExW carries the content, the last-write time and the attributes.
void CopyToTemporary(const std::wstring& source, const std::wstring& temporary,
                     const std::string& original) {
  if (!CopyFileExW(source.c_str(), temporary.c_str(), nullptr, nullptr, nullptr,
                   COPY_FILE_FAIL_IF_EXISTS)) {
    const DWORD error = GetLastError();
    Discard(temporary);
    ThrowError(error, "copy file", original);
  }
}

// MoveFileExW refuses to replace a read-only target, and CopyFileW a hidden
// or system one; the destination is the program's own, so those bits are
// cleared first and put back only if the target stays.
void ReplaceWithTemporary(const std::wstring& temporary,
                          const std::wstring& target,
                          const std::string& original) {
  DWORD restore = INVALID_FILE_ATTRIBUTES;
  try {
    restore = Unlock(target, kLockingBits, original);
  } catch (...) {
    Discard(temporary);
    throw;
  }
  if (!MoveFileExW(temporary.c_str(), target.c_str(),
                   MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
    const DWORD error = GetLastError();
    Relock(target, restore);
    Discard(temporary);
    ThrowError(error, "replace file", original);
  }
}

// DeleteFileW and RemoveDirectoryW refuse a read-only entry; the bit is
// cleared first and put back only if the entry stays.
void RemoveUnlocked(const std::string& path, BOOL(WINAPI* remove)(LPCWSTR),
                    const char* operation) {
  const std::wstring wide = WidenPath(path);
  const DWORD restore = Unlock(wide, FILE_ATTRIBUTE_READONLY, path);
  if (!remove(wide.c_str())) {
    const DWORD error = GetLastError();
    Relock(wide, restore);
    ThrowError(error, operation, path);
  }
}

WIN32_FILE_ATTRIBUTE_DATA AttributeData(const std::string& path,
                                        const char* operation) {
  WIN32_FILE_ATTRIBUTE_DATA data{};
  if (!GetFileAttributesExW(WidenPath(path).c_str(), GetFileExInfoStandard,
                            &data))
    ThrowError(GetLastError(), operation, path);
  return data;
}

}  // namespace

struct Win32FileSystem::Listing {
  win32::FindHandle handle;
  WIN32_FIND_DATAW entry{};
  std::string pattern;  // for the error report
  bool folder = false;  // listing a folder's entries, not probing one path

  // FindFirstFileExW returns entries of every attribute; only links are left
  // out of a folder's listing.
  bool Accepts() const { return !(folder && IsLink(entry)); }
};

Win32FileSystem::Win32FileSystem() = default;
Win32FileSystem::~Win32FileSystem() = default;

std::string Win32FileSystem::StartListing(const std::string& pattern) {
  listing_.reset();
  // FindFirstFileExW calls an empty pattern invalid; an empty path names
  // nothing, so it is simply not found.
  if (pattern.empty()) return "";
  auto listing = std::make_unique<Listing>();
  listing->pattern = pattern;
  std::wstring wide = WidenPath(pattern);
  // FindFirstFileExW finds nothing for "folder\"; its entries are "folder\*".
  listing->folder = wide.back() == L'\\';
  if (listing->folder) wide += L'*';
  HANDLE handle = FindFirstFileExW(wide.c_str(), FindExInfoBasic,
                                   &listing->entry, FindExSearchNameMatch,
                                   nullptr, FIND_FIRST_EX_LARGE_FETCH);
  if (handle == INVALID_HANDLE_VALUE) {
    const DWORD error = GetLastError();
    if (IsNotFound(error)) return "";
    ThrowError(error, "list", pattern);
  }
  listing->handle.reset(handle);
  listing_ = std::move(listing);
  return NameFromListing(false);
}

std::string Win32FileSystem::NextName() { return NameFromListing(true); }

std::string Win32FileSystem::NameFromListing(bool fetch_first) {
  if (!listing_) return "";
  for (bool fetch = fetch_first;; fetch = true) {
    if (fetch && !FindNextFileW(listing_->handle.get(), &listing_->entry)) {
      const DWORD error = GetLastError();
      const std::string pattern = listing_->pattern;
      listing_.reset();
      if (error == ERROR_NO_MORE_FILES) return "";
      ThrowError(error, "list", pattern);
    }
    if (listing_->Accepts()) return win32::Narrow(listing_->entry.cFileName);
  }
}

std::optional<bool> Win32FileSystem::ListedIsFolder() const {
  if (!listing_ || !listing_->folder) return std::nullopt;
  return (listing_->entry.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
}

uint32_t Win32FileSystem::ReadAttributes(const std::string& path) {
  return Attributes(WidenPath(path), path) & kMaskBits;
}

void Win32FileSystem::SetAttributes(const std::string& path, uint32_t mask) {
  SetAttributesOrThrow(WidenPath(path), mask & kMaskBits, path);
}

void Win32FileSystem::Copy(const std::string& source,
                           const std::string& target) {
  const std::wstring wide_target = WidenPath(target);
  const std::wstring temporary = TemporaryBeside(wide_target);
  CopyToTemporary(WidenPath(source), temporary, source);
  ReplaceWithTemporary(temporary, wide_target, target);
}

FileTime Win32FileSystem::LastModified(const std::string& path) {
  return win32::FileTimeOf(AttributeData(path, "read time").ftLastWriteTime);
}

int64_t Win32FileSystem::Length(const std::string& path) {
  const WIN32_FILE_ATTRIBUTE_DATA data = AttributeData(path, "read length");
  return int64_t(uint64_t(data.nFileSizeHigh) << 32 | data.nFileSizeLow);
}

void Win32FileSystem::Delete(const std::string& path) {
  RemoveUnlocked(path, DeleteFileW, "delete file");
}

void Win32FileSystem::CreateFolder(const std::string& path) {
  if (!CreateDirectoryW(WidenPath(path).c_str(), nullptr))
    ThrowError(GetLastError(), "create folder", path);
}

void Win32FileSystem::RemoveFolder(const std::string& path) {
  RemoveUnlocked(path, RemoveDirectoryW, "remove folder");
}

std::unique_ptr<FileSystem> MakePlatformFileSystem() {
  return std::make_unique<Win32FileSystem>();
}

}  // namespace fernwise
