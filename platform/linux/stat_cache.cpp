#include "platform/linux/stat_cache.h"

#include <fcntl.h>

namespace fernwise::linux_os {

const struct stat* StatCache::Lstat(const std::string& path) {
  for (Entry& entry : entries_)
    if (entry.known && entry.path == path) return &entry.status;
  // The older of the two makes room.
  Entry& entry = entries_[next_entry_];
  entry.known = false;
  if (ReadEntry(path, entry.status) != 0) return nullptr;
  entry.path = path;
  entry.known = true;
  next_entry_ = (next_entry_ + 1) % entries_.size();
  return &entry.status;
}

void StatCache::Forget(const std::string& path) {
  for (Entry& entry : entries_)
    if (entry.path == path) entry.known = false;
}

void StatCache::ForgetEntries() {
  for (Entry& entry : entries_) entry.known = false;
}

void StatCache::ForgetFolder(const std::string& path) {
  ForgetEntries();
  for (Folder& folder : folders_)
    if (folder.path == path) folder.Drop();
}

void StatCache::ForgetAll() {
  ForgetEntries();
  for (Folder& folder : folders_) folder.Drop();
}

// A name that resolves to something other than an entry of the folder
// before it ("", ".", "..", or a trailing "/" that follows a link) is read by
// its whole path, as are relative paths without a folder.
int StatCache::ReadEntry(const std::string& path, struct stat& status) {
  const PathParts parts = SplitPath(path);
  if (path.find('/') == std::string::npos || path.back() == '/' ||
      parts.name == "." || parts.name == "..")
    return ::lstat(path.c_str(), &status);
  const int folder = FolderFd(parts.folder);
  if (folder < 0) return ::lstat(path.c_str(), &status);
  return ::fstatat(folder, path.c_str() + (path.size() - parts.name.size()),
                   &status, AT_SYMLINK_NOFOLLOW);
}

// O_PATH needs no permission on the folder itself, and a lookup through the
// descriptor is refused exactly where one through the whole path would be.
// A folder that cannot be opened is remembered as such, so its entries cost
// one lstat each, not an open and an lstat.
int StatCache::FolderFd(std::string_view path) {
  Folder* oldest = &folders_[0];
  for (Folder& folder : folders_) {
    if (folder.last_use != 0 && folder.path == path) {
      folder.last_use = ++folder_uses_;
      return folder.fd.get();
    }
    if (folder.last_use < oldest->last_use) oldest = &folder;
  }
  oldest->path.assign(path);
  oldest->fd.Reset(
      ::open(oldest->path.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC));
  oldest->last_use = ++folder_uses_;
  return oldest->fd.get();
}

}  // namespace fernwise::linux_os
