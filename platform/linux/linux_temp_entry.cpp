#include "platform/linux/linux_temp_entry.h"

#include <fcntl.h>
#include <unistd.h>

namespace fernwise::linux_os {

namespace {

// Gives the finished entry `from` the name `to` in `folder` without ever
// replacing an entry of that name: 0, or -1 with errno, EEXIST when the name
// is taken.
int RenameToNewName(int folder, const char* from, const char* to,
                    CopyState& state) {
  if (!state.no_replace_refused) {
    if (::renameat2(folder, from, folder, to, RENAME_NOREPLACE) == 0) return 0;
    if (errno != EINVAL && errno != ENOSYS && errno != EOPNOTSUPP) return -1;
    state.no_replace_refused = true;
  }
  // A hard link is never made over an existing name either.
  if (::linkat(folder, from, folder, to, 0) == 0) {
    ::unlinkat(folder, from, 0);
    return 0;
  }
  if (errno != EPERM && errno != EOPNOTSUPP && errno != ENOSYS) return -1;
  // A file system with neither (some FUSE ones): the name is looked at just
  // before an ordinary rename, which leaves only that moment open.
  struct stat existing;
  if (::fstatat(folder, to, &existing, AT_SYMLINK_NOFOLLOW) == 0) {
    errno = EEXIST;
    return -1;
  }
  if (errno != ENOENT) return -1;
  return ::renameat(folder, from, folder, to);
}

}  // namespace

TempEntry::~TempEntry() {
  if (!name_.empty()) ::unlinkat(folder_, name_.c_str(), 0);
}

bool TempEntry::Refused(const EntryAt& target, const std::string& name,
                        mode_t kind) {
  error_ = errno;
  RemoveDebris(folder_, name.c_str());
  refusal_ = WhyRefused(folder_, target.name, kind, error_);
  if (refusal_ != Refusal::kNone) return true;
  ThrowError("copy file", target.path, error_);
}

bool TempEntry::Commit(const EntryAt& target, TargetName naming,
                       CopyState& state) {
  const int result =
      naming == TargetName::kReplace
          ? ::renameat(folder_, name_.c_str(), folder_, target.name.c_str())
          : RenameToNewName(folder_, name_.c_str(), target.name.c_str(), state);
  if (result != 0) {
    if (naming != TargetName::kReplace && errno == EEXIST) return false;
    ThrowError("copy file", target.path);
  }
  name_.clear();
  return true;
}

}  // namespace fernwise::linux_os
