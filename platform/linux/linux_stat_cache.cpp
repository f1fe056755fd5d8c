#include "platform/linux/linux_stat_cache.h"

#include <fcntl.h>

namespace fernwise::linux_os {

const struct stat* StatCache::Lstat(Role role, const std::string& path) {
  for (Entry& entry : entries_)
    if (entry.known && entry.path == path) return &entry.status;
  // The older of the two makes room.
  Entry& entry = entries_[next_entry_];
  entry.known = false;
  if (ReadEntry(role, path, entry.status) != 0) return nullptr;
  entry.path = path;
  entry.known = true;
  next_entry_ = (next_entry_ + 1) % entries_.size();
  return &entry.status;
}

void StatCache::Put(const std::string& path, const struct stat& status) {
  Forget(path);
  Entry& entry = entries_[next_entry_];
  entry.path = path;
  entry.status = status;
  entry.known = true;
  next_entry_ = (next_entry_ + 1) % entries_.size();
}

int StatCache::OpenFolderFd(Role role, std::string_view folder) {
  const Folder& open = OpenFolder(role, folder);
  if (!open.fd.valid()) errno = open.error;
  return open.fd.get();
}

std::optional<StatCache::Identity> StatCache::SeenFolder(
    std::string_view folder) {
  for (Folder& open : folders_) {
    if (open.last_use == 0 || open.path != folder || !open.fd.valid()) continue;
    struct stat status;
    if (!open.identity && ::fstat(open.fd.get(), &status) == 0)
      open.identity = Identity{status.st_dev, status.st_ino};
    return open.identity;
  }
  return std::nullopt;
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

int StatCache::ReadEntry(Role role, const std::string& path,
                         struct stat& status) {
  CountLook();
  const PathParts parts = SplitPath(path);
  // Outside the named folders a path means what lstat makes of it: a
  // trailing "/" follows a link, "." and ".." are not names, and a relative
  // path without a folder is read as it stands.
  const bool plain = path.back() != '/' && parts.name != "." &&
                     parts.name != ".." && path.find('/') != std::string::npos;
  // Nothing of a tree whose named folder could not be held is looked at.
  if (const int unheld = tree_.Unheld(role); unheld != 0) {
    errno = unheld;
    return -1;
  }
  const bool below = tree_.Below(role, path);
  if (!plain && !below) return ::lstat(path.c_str(), &status);
  const Folder& folder = OpenFolder(role, parts.folder);
  if (!folder.fd.valid()) {
    // Below a named folder nothing is ever looked up by its whole path: a
    // link or a file in the way means the entry is not there.
    if (below) {
      errno = folder.error == ELOOP ? ENOTDIR : folder.error;
      return -1;
    }
    return ::lstat(path.c_str(), &status);
  }
  // The name ends the path, so the path's own text serves as the name.
  const std::string name = plain ? std::string() : std::string(parts.name);
  const char* name_text =
      plain ? path.c_str() + (path.size() - parts.name.size()) : name.c_str();
  return ::fstatat(folder.fd.get(), name_text, &status, AT_SYMLINK_NOFOLLOW);
}

// O_PATH needs no permission on the folder itself, and a lookup through the
// descriptor is refused exactly where one through the whole path would be.
// A folder that cannot be opened is remembered as such, so its entries cost
// one lstat each, not an open and an lstat.
const StatCache::Folder& StatCache::OpenFolder(Role role,
                                               std::string_view path) {
  for (Folder& folder : folders_) {
    if (folder.last_use != 0 && folder.path == path) {
      folder.last_use = ++folder_uses_;
      return folder;
    }
  }
  Folder& slot = FreeFolder();
  slot.path.assign(path);
  slot.fd = tree_.OpenFolder(role, path, O_PATH);
  slot.error = slot.fd.valid() ? 0 : errno;
  slot.last_use = ++folder_uses_;
  return slot;
}

void StatCache::Adopt(std::string_view path, UniqueFd fd) {
  if (!fd.valid()) return;
  for (const Folder& folder : folders_)
    if (folder.last_use != 0 && folder.path == path) return;
  Folder& slot = FreeFolder();
  slot.path.assign(path);
  slot.fd = FolderFd::Owned(std::move(fd));
  slot.error = 0;
  slot.last_use = ++folder_uses_;
}

// A free slot, or the one used longest ago, let go.
StatCache::Folder& StatCache::FreeFolder() {
  Folder* oldest = &folders_[0];
  for (Folder& folder : folders_)
    if (folder.last_use < oldest->last_use) oldest = &folder;
  oldest->Drop();
  return *oldest;
}

}  // namespace fernwise::linux_os
