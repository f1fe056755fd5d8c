// Listings, probes and what they tell of entries: the passes' reading.
#include "platform/win32/listing.h"

#include <windows.h>

#include "core/run_error.h"
#include "platform/win32/entry_run.h"
#include "platform/win32/handle.h"
#include "platform/win32/support.h"
#include "platform/win32/text.h"

namespace fernwise {

using win32::EntryData;
using win32::EntryKind;
using win32::IsNotFound;
using win32::ThrowError;

namespace {

constexpr DWORD kShareAll =
    FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;
constexpr DWORD kLinkFolder =
    FILE_ATTRIBUTE_REPARSE_POINT | FILE_ATTRIBUTE_DIRECTORY;

int64_t SizeOf(DWORD high, DWORD low) {
  return int64_t(uint64_t(high) << 32 | low);
}

EntryData DataOf(const WIN32_FIND_DATAW& entry) {
  const bool reparse = entry.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT;
  return {entry.dwFileAttributes, win32::FileTimeOf(entry.ftLastWriteTime),
          SizeOf(entry.nFileSizeHigh, entry.nFileSizeLow),
          reparse ? std::optional<unsigned long>(entry.dwReserved0)
                  : std::nullopt};
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
                    Win32EntryRun::Calls& calls) {
  ++calls.read;
  win32::FileHandle file(CreateFileW(path.c_str(), FILE_READ_ATTRIBUTES,
                                     kShareAll, nullptr, OPEN_EXISTING,
                                     FILE_FLAG_BACKUP_SEMANTICS, nullptr));
  BY_HANDLE_FILE_INFORMATION info{};
  if (!file.valid() || !GetFileInformationByHandle(file.get(), &info)) return;
  data = {info.dwFileAttributes, win32::FileTimeOf(info.ftLastWriteTime),
          SizeOf(info.nFileSizeHigh, info.nFileSizeLow), std::nullopt};
}

EntryData ReadEntry(const std::wstring& wide, const std::string& path,
                    const char* operation, Win32EntryRun::Calls& calls) {
  WIN32_FILE_ATTRIBUTE_DATA found{};
  ++calls.read;
  if (!GetFileAttributesExW(wide.c_str(), GetFileExInfoStandard, &found))
    ThrowError(GetLastError(), operation, path);
  EntryData data{found.dwFileAttributes,
                 win32::FileTimeOf(found.ftLastWriteTime),
                 SizeOf(found.nFileSizeHigh, found.nFileSizeLow), std::nullopt};
  // The attributes alone do not tell a link from another reparse point;
  // opening the entry does no harm to either.
  if ((data.attributes & FILE_ATTRIBUTE_REPARSE_POINT) &&
      !(data.attributes & FILE_ATTRIBUTE_DIRECTORY))
    FollowFileLink(wide, data, calls);
  return data;
}

// The reparse tag of the folder at `wide`, read on a handle to the entry
// itself. Where that handle reaches no reparse point although the folder's
// attributes show one, as under Wine, whose handles reach what a host link
// names, 0 is given: a reparse point without a tag counts as a link.
DWORD ReadTag(const std::wstring& wide, Win32EntryRun::Calls& calls) {
  ++calls.read;
  const win32::FileHandle entry(CreateFileW(
      wide.c_str(), FILE_READ_ATTRIBUTES, kShareAll, nullptr, OPEN_EXISTING,
      FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
  FILE_ATTRIBUTE_TAG_INFO tag{};
  if (!entry.valid() ||
      !GetFileInformationByHandleEx(entry.get(), FileAttributeTagInfo, &tag,
                                    sizeof tag) ||
      !(tag.FileAttributes & FILE_ATTRIBUTE_REPARSE_POINT))
    return 0;
  return tag.ReparseTag;
}

}  // namespace

namespace win32 {

bool Listing::Accepts() const {
  return !folder || ::fernwise::KindOf(entry) != EntryKind::kFolderLink;
}

NameMatch Listing::Match() const {
  if (exact_name == entry.cFileName) return NameMatch::kExact;
  return SameName(entry.cFileName, exact_name) ? NameMatch::kOtherCase
                                               : NameMatch::kNone;
}

bool Listing::Start(const std::string& searched, std::wstring wide,
                    uint64_t& calls) {
  pattern = searched;
  // FindFirstFileExW finds nothing for "folder\"; its entries are
  // "folder\*".
  folder = !searched.empty() && searched.back() == '\\';
  if (folder) {
    if (!wide.ends_with(L'\\')) wide += L'\\';
    wide += L'*';
  } else if (std::wstring name = LastComponent(wide); !HasWildcard(name)) {
    exact_name = std::move(name);
  }
  ++calls;
  HANDLE found = FindFirstFileExW(wide.c_str(), FindExInfoBasic, &entry,
                                  FindExSearchNameMatch, nullptr,
                                  FIND_FIRST_EX_LARGE_FETCH);
  if (found == INVALID_HANDLE_VALUE) {
    const DWORD error = GetLastError();
    if (IsNotFound(error)) return false;
    ThrowError(error, "list", searched);
  }
  handle.reset(found);
  return true;
}

bool Listing::Next(uint64_t& calls) {
  if (!handle.valid()) return false;
  ++calls;
  if (FindNextFileW(handle.get(), &entry)) return true;
  const DWORD error = GetLastError();
  if (error == ERROR_NO_MORE_FILES) return false;
  ThrowError(error, "list", pattern);
}

}  // namespace win32

std::string Win32EntryRun::StartListing(Role role,
                                        const std::string& pattern) {
  listing_.reset();
  // FindFirstFileExW calls an empty pattern invalid; an empty path names
  // nothing, so it is simply not found.
  if (pattern.empty()) return "";
  auto listing = std::make_unique<win32::Listing>();
  if (!Search(role, pattern, *listing)) return "";
  listing_ = std::move(listing);
  if (listing_->folder)
    entries_.BeginFolder(
        std::string_view(pattern).substr(0, pattern.size() - 1));
  return NameFromListing(false);
}

// What a pattern finds. The named folder that is a volume's root is found
// by its attributes: a FAT or exFAT root holds no "." and "..", so an empty
// one would list nothing. A link to a folder below the named folders is
// never listed through, so no pass erases, sweeps or cleans up what it
// leads to; a probe, which reads nothing behind it, finds it.
bool Win32EntryRun::Search(Role role, const std::string& pattern,
                           win32::Listing& listing) {
  const win32::HeldFolder& named = Held(role);
  if (pattern == named.path() && named.is_root())
    return FindRoot(named.wide(), listing);
  if (pattern.back() == '\\') {
    const std::string folder = pattern.substr(0, pattern.size() - 1);
    if (IsFolderLink(role, folder)) return false;
  }
  if (!listing.Start(pattern, Wide(role, pattern), calls_.list)) return false;
  return listing.folder || FindProbed(role, pattern, listing);
}

bool Win32EntryRun::FindRoot(const std::wstring& wide,
                             win32::Listing& listing) {
  WIN32_FILE_ATTRIBUTE_DATA root{};
  ++calls_.read;
  if (!GetFileAttributesExW(wide.c_str(), GetFileExInfoStandard, &root))
    return false;
  listing.entry.dwFileAttributes = root.dwFileAttributes;
  listing.entry.ftLastWriteTime = root.ftLastWriteTime;
  // No name lists it; "." stands for the folder itself.
  wcscpy(listing.entry.cFileName, L".");
  return true;
}

// A probe without wildcards yields the entry whose own name is the one
// asked: of exactly that name where the folder holds one (a case-sensitive
// folder may also hold it in other letter cases), else one spelled in
// another case, but only where Windows finds it by the name asked.
bool Win32EntryRun::FindProbed(Role role, const std::string& path,
                               win32::Listing& listing) {
  if (listing.exact_name.empty()) return true;  // the first match stands
  std::optional<WIN32_FIND_DATAW> other_case;
  bool exact = false;
  do {
    const win32::NameMatch match = listing.Match();
    exact = match == win32::NameMatch::kExact;
    if (match == win32::NameMatch::kOtherCase && !other_case)
      other_case = listing.entry;
  } while (!exact && listing.Next(calls_.list));
  listing.handle.reset();  // a probe yields one name
  if (exact) return true;
  if (!other_case) return false;
  ++calls_.read;
  if (GetFileAttributesW(Wide(role, path).c_str()) == INVALID_FILE_ATTRIBUTES)
    return false;
  listing.entry = *other_case;
  return true;
}

// Whether `folder` is a link to a folder: from what the pass knows of it
// where it can, else read. A folder that cannot be read is no link; the
// listing that follows meets what keeps it from being read. A named folder
// is what the user chose, a mount point or a link included.
bool Win32EntryRun::IsFolderLink(Role role, const std::string& folder) {
  if (folder == Held(role).path()) return false;
  EntryData read;
  const EntryData* data = entries_.Find(folder);
  const std::wstring wide = Wide(role, folder);
  if (data == nullptr) {
    WIN32_FILE_ATTRIBUTE_DATA found{};
    ++calls_.read;
    if (!GetFileAttributesExW(wide.c_str(), GetFileExInfoStandard, &found))
      return false;
    read.attributes = found.dwFileAttributes;
    data = &read;
  }
  if ((data->attributes & kLinkFolder) != kLinkFolder) return false;
  const DWORD tag =
      data->reparse_tag ? DWORD(*data->reparse_tag) : ReadTag(wide, calls_);
  return win32::KindOf(data->attributes, tag) == EntryKind::kFolderLink;
}

std::string Win32EntryRun::NextName() { return NameFromListing(true); }

std::string Win32EntryRun::NameFromListing(bool fetch_first) {
  if (!listing_) return "";
  for (bool fetch = fetch_first;; fetch = true) {
    if (fetch && !NextOrEnd()) return "";
    if (listing_->Accepts()) {
      std::string name = win32::Narrow(listing_->entry.cFileName);
      RecordListed(name);
      return name;
    }
  }
}

// A file link's listed data is the link's own, not what the passes compare;
// it is read by its path when asked for.
void Win32EntryRun::RecordListed(const std::string& name) {
  const WIN32_FIND_DATAW& entry = listing_->entry;
  if (KindOf(entry) == EntryKind::kFileLink) return;
  if (listing_->folder) {
    if (name != "." && name != "..") entries_.AddListed(name, DataOf(entry));
  } else if (!listing_->exact_name.empty()) {
    entries_.Remember(listing_->pattern, DataOf(entry));
  }
}

// The listing ends, however: a failure too ends it.
bool Win32EntryRun::NextOrEnd() {
  try {
    if (listing_->Next(calls_.list)) return true;
  } catch (...) {
    listing_.reset();
    throw;
  }
  listing_.reset();
  return false;
}

std::optional<bool> Win32EntryRun::ListedIsFolder() const {
  if (!listing_ || !listing_->folder) return std::nullopt;
  return (listing_->entry.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
}

// A search of its own, so that the listing in progress goes on, and nothing
// it or the pass has read answers.
bool Win32EntryRun::Probe(Role role, const std::string& path) {
  if (path.empty()) return false;
  win32::Listing probe;
  return Search(role, path, probe);
}

const EntryData& Win32EntryRun::Entry(Role role, const std::string& path,
                                      const char* operation) {
  if (const EntryData* known = entries_.Find(path)) return *known;
  return entries_.Remember(
      path, ReadEntry(Wide(role, path), path, operation, calls_));
}

uint32_t Win32EntryRun::ReadAttributes(Role role, const std::string& path) {
  return Entry(role, path, "read attributes").attributes & win32::kMaskBits;
}

FileTime Win32EntryRun::LastModified(Role role, const std::string& path) {
  return Entry(role, path, "read time").time;
}

int64_t Win32EntryRun::Length(Role role, const std::string& path) {
  return Entry(role, path, "read length").size;
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
bool Win32EntryRun::AwaitsAbsentDrive(const std::string& folder) {
  const DWORD attributes =
      Entry(Role::kSource, folder, "read attributes").attributes;
  if ((attributes & kLinkFolder) != kLinkFolder) return false;
  const std::wstring wide = Wide(Role::kSource, folder);
  if (ReadTag(wide, calls_) != IO_REPARSE_TAG_MOUNT_POINT) return false;
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

}  // namespace fernwise
