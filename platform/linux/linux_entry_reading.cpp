// What the entry's passes read: listings, probes and the status of entries,
// and the looks afresh that an erase rests on.
#include <fcntl.h>
#include <unistd.h>

#include "platform/linux/linux_entry_run.h"

namespace fernwise::linux_os {

namespace {

bool IsMissing(int error) { return error == ENOENT || error == ENOTDIR; }

}  // namespace

std::string LinuxEntryRun::StartListing(Role role, const std::string& pattern) {
  listing_.Stop();
  ForgetCompleted();
  listed_type_ = DT_UNKNOWN;
  if (pattern.empty()) return "";
  if (pattern.back() != '/') return Probe(role, pattern);
  // The folder is listed as it is named on the disk.
  CommitIfPending(pattern);
  FolderFd folder = tree_.OpenFolder(role, pattern, O_RDONLY);
  // A link below a named folder is not a folder to list, any more than a
  // file is.
  if (!folder.valid()) {
    if (IsMissing(errno) || errno == ELOOP) return "";
    ThrowError("list folder", pattern);
  }
  // Opened for reading, the folder is the listing's own: a held folder
  // itself is opened anew, and stays held.
  listing_.Start(folder.TakeOwned());
  stats_.CountLook();
  listing_prefix_ = pattern;
  return NextName();
}

std::string LinuxEntryRun::NextName() {
  listed_type_ = DT_UNKNOWN;
  if (!listing_.active()) return "";
  if (const char* name = listing_.Next(listed_type_)) return name;
  if (errno != 0) ThrowError("list folder", listing_prefix_);
  // The pass looks at the entries next: through the folder just listed,
  // kept under the name their paths' folder part has.
  stats_.Adopt(SplitPath(listing_prefix_ + ".").folder, listing_.TakeEnded());
  return "";
}

std::optional<bool> LinuxEntryRun::ListedIsFolder() const {
  if (listed_type_ == DT_UNKNOWN) return std::nullopt;
  return listed_type_ == DT_DIR;
}

std::string LinuxEntryRun::Probe(Role role, const std::string& path) {
  const PathParts parts = SplitPath(path);
  // The sweep's looks for source sides: one listing answers a folder's
  // "yes"es (see linux_listed_names.h); a "no" is looked for by name.
  if (role == Role::kSource && walked_ == Role::kDestination &&
      listed_.Lists(tree_, stats_, role, parts.folder, parts.name)) {
    stats_.CountLook();
    return std::string(parts.name);
  }
  if (Pending(path) != nullptr) return std::string(parts.name);
  // In the folder the mirror made last, a name it has not met is free.
  if (role == Role::kDestination && walked_ == Role::kSource &&
      fresh_.KnownFree(parts.folder, parts.name)) {
    stats_.CountLook();
    return "";
  }
  if (stats_.Lstat(role, path) != nullptr) return std::string(parts.name);
  if (IsMissing(errno)) return "";
  ThrowError("look for", path);
}

const struct stat& LinuxEntryRun::StatEntry(Role role, const std::string& path,
                                            const char* operation) {
  if (const struct stat* pending = Pending(path)) return *pending;
  if (const auto [root, rest] = tree_.Locate(role, path);
      root != nullptr && rest.empty()) {
    if (::fstat(root->fd.get(), &root_status_) != 0)
      ThrowError(operation, path);
    return root_status_;
  }
  const struct stat* status = stats_.Lstat(role, path);
  if (status == nullptr) ThrowError(operation, path);
  return *status;
}

const struct stat* LinuxEntryRun::FolderStatus(Role role,
                                               const std::string& path) {
  const struct stat* status = nullptr;
  if (const auto [root, rest] = tree_.Locate(role, path);
      root != nullptr && rest.empty()) {
    status =
        ::fstat(root->fd.get(), &root_status_) == 0 ? &root_status_ : nullptr;
  } else {
    status = stats_.Lstat(role, path);
  }
  return status != nullptr && S_ISDIR(status->st_mode) ? status : nullptr;
}

uint32_t LinuxEntryRun::ReadAttributes(Role role, const std::string& path) {
  return MaskOf(StatEntry(role, path, "read attributes of"),
                SplitPath(path).name);
}

FileTime LinuxEntryRun::LastModified(Role role, const std::string& path) {
  return TimeOf(StatEntry(role, path, "read last-modified time of").st_mtim);
}

int64_t LinuxEntryRun::Length(Role role, const std::string& path) {
  return StatEntry(role, path, "read length of").st_size;
}

bool LinuxEntryRun::SourceStillThere() {
  struct stat status;
  // Asked by the path the user wrote, links followed as when it was held.
  if (::stat(source_.c_str(), &status) != 0 || !S_ISDIR(status.st_mode))
    return false;
  const TreeAccess::Root* held = tree_.Held(Role::kSource);
  return held == nullptr ||
         (status.st_dev == held->device && status.st_ino == held->inode);
}

bool LinuxEntryRun::ExistsAfresh(Role role, const std::string& path) {
  const PathParts parts = SplitPath(path);
  const FolderFd folder = tree_.OpenFolder(role, parts.folder, O_PATH);
  if (!folder.valid()) {
    if (IsMissing(errno) || errno == ELOOP) return false;
    ThrowError("look for", path);
  }
  const std::string name(parts.name);
  struct stat status;
  if (::fstatat(folder.get(), name.c_str(), &status, AT_SYMLINK_NOFOLLOW) == 0)
    return true;
  if (IsMissing(errno)) return false;
  ThrowError("look for", path);
}

bool LinuxEntryRun::AwaitsAbsentDrive(const std::string& folder) {
  if (!absent_mounts_read_) {
    absent_mounts_.Read();
    absent_mounts_read_ = true;
  }
  if (absent_mounts_.empty()) return false;
  // The pass has just looked at the folder: its status is at hand.
  const struct stat* status = FolderStatus(Role::kSource, folder);
  return status != nullptr && absent_mounts_.Holds(*status);
}

}  // namespace fernwise::linux_os
