#include "platform/win32/file_system.h"

#include <windows.h>

#include "platform/win32/handle.h"
#include "platform/win32/support.h"
#include "platform/win32/text.h"

namespace fernwise {

using win32::EntryData;
using win32::EntryKind;
using win32::IsNotFound;
using win32::ThrowError;
using win32::WidenPath;

namespace {

// The bits SetFileAttributesW can give a file, plus the folder bit.
constexpr DWORD kMaskBits = FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN |
                            FILE_ATTRIBUTE_SYSTEM | FILE_ATTRIBUTE_DIRECTORY |
                            FILE_ATTRIBUTE_ARCHIVE |
                            FILE_ATTRIBUTE_NOT_CONTENT_INDEXED;

int64_t SizeOf(DWORD high, DWORD low) {
  return int64_t(uint64_t(high) << 32 | low);
}

EntryData DataOf(const WIN32_FIND_DATAW& entry) {
  return {entry.dwFileAttributes, win32::FileTimeOf(entry.ftLastWriteTime),
          SizeOf(entry.nFileSizeHigh, entry.nFileSizeLow)};
}

EntryKind KindOf(const WIN32_FIND_DATAW& entry) {
  return win32::KindOf(entry.dwFileAttributes, entry.dwReserved0);
}

// The name after the last "\" of a path as WidenPath gives it.
std::wstring LastComponent(const std::wstring& path) {
  const size_t slash = path.find_last_of(L'\\');
  return slash == std::wstring::npos ? path : path.substr(slash + 1);
}

// GetFileAttributesExW reports a symbolic link's own data; the data that
// counts for a link to a file is its target's, which is what a copy makes.
// A link whose target is gone keeps its own.
void FollowFileLink(const std::wstring& path, EntryData& data,
                    Win32FileSystem::Calls& calls) {
  ++calls.read;
  win32::FileHandle file(
      CreateFileW(path.c_str(), FILE_READ_ATTRIBUTES,
                  FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                  nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr));
  BY_HANDLE_FILE_INFORMATION info{};
  if (!file.valid() || !GetFileInformationByHandle(file.get(), &info)) return;
  data = {info.dwFileAttributes, win32::FileTimeOf(info.ftLastWriteTime),
          SizeOf(info.nFileSizeHigh, info.nFileSizeLow)};
}

EntryData ReadEntry(const std::string& path, const char* operation,
                    Win32FileSystem::Calls& calls) {
  const std::wstring wide = WidenPath(path);
  WIN32_FILE_ATTRIBUTE_DATA found{};
  ++calls.read;
  if (!GetFileAttributesExW(wide.c_str(), GetFileExInfoStandard, &found))
    ThrowError(GetLastError(), operation, path);
  EntryData data{found.dwFileAttributes,
                 win32::FileTimeOf(found.ftLastWriteTime),
                 SizeOf(found.nFileSizeHigh, found.nFileSizeLow)};
  // The attributes alone do not tell a link from another reparse point;
  // opening the entry does no harm to either.
  if ((data.attributes & FILE_ATTRIBUTE_REPARSE_POINT) &&
      !(data.attributes & FILE_ATTRIBUTE_DIRECTORY))
    FollowFileLink(wide, data, calls);
  return data;
}

}  // namespace

struct Win32FileSystem::Listing {
  win32::FindHandle handle;
  WIN32_FIND_DATAW entry{};
  std::string pattern;  // for the error report
  bool folder = false;  // listing a folder's entries, not probing one path
  // A probe without wildcards: the one name an entry must have.
  std::wstring exact_name;

  bool Accepts() const {
    if (folder) return KindOf(entry) != EntryKind::kFolderLink;
    return exact_name.empty() || win32::SameName(entry.cFileName, exact_name);
  }
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
  if (listing->folder) {
    wide += L'*';
  } else if (std::wstring name = LastComponent(wide);
             !win32::HasWildcard(name)) {
    listing->exact_name = std::move(name);
  }
  ++calls_.list;
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
  if (listing_->folder)
    entries_.BeginFolder(
        std::string_view(pattern).substr(0, pattern.size() - 1));
  return NameFromListing(false);
}

std::string Win32FileSystem::NextName() { return NameFromListing(true); }

std::string Win32FileSystem::NameFromListing(bool fetch_first) {
  if (!listing_) return "";
  for (bool fetch = fetch_first;; fetch = true) {
    if (fetch) ++calls_.list;
    if (fetch && !FindNextFileW(listing_->handle.get(), &listing_->entry)) {
      const DWORD error = GetLastError();
      const std::string pattern = listing_->pattern;
      listing_.reset();
      if (error == ERROR_NO_MORE_FILES) return "";
      ThrowError(error, "list", pattern);
    }
    if (listing_->Accepts()) {
      std::string name = win32::Narrow(listing_->entry.cFileName);
      RecordListed(name);
      return name;
    }
  }
}

// A file link's listed data is the link's own, not what the passes compare;
// it is read by its path when asked for.
void Win32FileSystem::RecordListed(const std::string& name) {
  const WIN32_FIND_DATAW& entry = listing_->entry;
  if (KindOf(entry) == EntryKind::kFileLink) return;
  if (listing_->folder) {
    if (name != "." && name != "..") entries_.AddListed(name, DataOf(entry));
  } else if (!listing_->exact_name.empty()) {
    entries_.Remember(listing_->pattern, DataOf(entry));
  }
}

std::optional<bool> Win32FileSystem::ListedIsFolder() const {
  if (!listing_ || !listing_->folder) return std::nullopt;
  return (listing_->entry.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
}

void Win32FileSystem::BeginPass() {
  entries_.Clear();
  kept_path_.clear();
  volumes_[0] = volumes_[1] = {};
}

const EntryData& Win32FileSystem::Entry(const std::string& path,
                                        const char* operation) {
  if (const EntryData* known = entries_.Find(path)) return *known;
  return entries_.Remember(path, ReadEntry(path, operation, calls_));
}

uint32_t Win32FileSystem::ReadAttributes(const std::string& path) {
  return Entry(path, "read attributes").attributes & kMaskBits;
}

FileTime Win32FileSystem::LastModified(const std::string& path) {
  return Entry(path, "read time").time;
}

int64_t Win32FileSystem::Length(const std::string& path) {
  return Entry(path, "read length").size;
}

// Windows keeps no configuration of drives that belong somewhere: a drive
// comes with its letter, and a drive letter that is gone fails the entry's
// checks ("does not exist"). The nearest thing to an absent drive's mount
// point is a mount point folder (a volume mount point, or a junction: both
// carry the mount-point reparse tag) whose drive is gone, which stays as a
// folder that cannot be opened: that is what this answers true for. No
// listing shows such folders below the named ones, so only the named source
// and a folder a probe found are ever asked about, and only one that the
// pass has seen to be a reparse point costs a call.
bool Win32FileSystem::AwaitsAbsentDrive(const std::string& folder) {
  constexpr DWORD kShareAll =
      FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;
  const DWORD attributes = Entry(folder, "read attributes").attributes;
  if (!(attributes & FILE_ATTRIBUTE_REPARSE_POINT) ||
      !(attributes & FILE_ATTRIBUTE_DIRECTORY))
    return false;
  const std::wstring wide = WidenPath(folder);
  ++calls_.read;
  const win32::FileHandle point(CreateFileW(
      wide.c_str(), FILE_READ_ATTRIBUTES, kShareAll, nullptr, OPEN_EXISTING,
      FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
  FILE_ATTRIBUTE_TAG_INFO tag{};
  if (!point.valid() ||
      !GetFileInformationByHandleEx(point.get(), FileAttributeTagInfo, &tag,
                                    sizeof tag) ||
      tag.ReparseTag != IO_REPARSE_TAG_MOUNT_POINT)
    return false;
  // Opened through the mount point: the drive itself.
  ++calls_.read;
  const win32::FileHandle drive(
      CreateFileW(wide.c_str(), FILE_READ_ATTRIBUTES, kShareAll, nullptr,
                  OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr));
  if (drive.valid()) return false;
  const DWORD error = GetLastError();
  return IsNotFound(error) || error == ERROR_NOT_READY ||
         error == ERROR_UNRECOGNIZED_VOLUME ||
         error == ERROR_DEVICE_NOT_CONNECTED;
}

std::unique_ptr<FileSystem> MakePlatformFileSystem() {
  return std::make_unique<Win32FileSystem>();
}

}  // namespace fernwise
