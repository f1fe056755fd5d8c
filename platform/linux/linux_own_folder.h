// The lending of a read-only folder's write bit to its owner. A folder
// copied from a read-only source (a module cache, a read-only share) is
// read-only in the destination too, and the destination tree is the
// program's own: such a folder must not keep its own entries from being
// made, replaced or erased.
#pragma once

#include <sys/types.h>

#include <cerrno>
#include <optional>

namespace fernwise::linux_os {

/// Lets this process create, rename and remove entries in the open folder
/// `folder` for as long as it lives, when that folder is the process's own
/// but lacks the owner's write or search permission; its exact mode comes
/// back when the object ends. Folders of other owners are never touched,
/// and the folder is reached through its descriptor, never by a path that a
/// link could redirect.
class OwnFolderAccess {
 public:
  /// Lifts the two bits if `folder` is the process's own and lacks one of
  /// them; granted() says whether it did. `folder` must outlive the object.
  explicit OwnFolderAccess(int folder);
  OwnFolderAccess(const OwnFolderAccess&) = delete;
  OwnFolderAccess& operator=(const OwnFolderAccess&) = delete;
  /// Puts the folder's mode back; errno is left as it was.
  ~OwnFolderAccess();

  bool granted() const { return granted_; }

 private:
  int folder_;
  mode_t saved_mode_ = 0;
  bool granted_ = false;
};

/// Runs `call` (a system call's wrapper: 0 or -1 with errno) on an entry of
/// the open folder `folder`. When it is refused with EACCES and `access`
/// lends nothing yet, tries once more with the folder opened up by
/// OwnFolderAccess, if that applies; the folder stays open for as long as
/// `access` holds it. EPERM is not retried: on Linux it comes from the
/// sticky bit or an immutable folder, which the owner's write bit does not
/// cure.
template <typename Call>
int InOwnFolder(int folder, Call call, std::optional<OwnFolderAccess>& access) {
  const int result = call();
  if (result == 0 || errno != EACCES || access) return result;
  access.emplace(folder);
  if (!access->granted()) {
    errno = EACCES;
    return result;
  }
  return call();
}

/// InOwnFolder for one call: the folder's mode is back when it returns.
template <typename Call>
int InOwnFolder(int folder, Call call) {
  std::optional<OwnFolderAccess> access;
  return InOwnFolder(folder, call, access);
}

}  // namespace fernwise::linux_os
