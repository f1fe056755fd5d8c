// How the Linux services reach an entry. The passes name entries by path,
// and tell which of the entry's trees (core/entry_run.h's Role) each path
// lies in; below the folders a job entry names (the held folders), an entry
// is reached one name at a time from the held folder of its tree, never
// through a link, so that nothing a link planted in a tree (or swapped in
// during a run) can lead a pass outside the trees it was given. The named
// folders themselves are opened as the user wrote them, links in their
// paths followed.
#pragma once

#include <fcntl.h>
#include <sys/types.h>

#include <array>
#include <string>
#include <string_view>

#include "core/entry_run.h"
#include "core/file_system.h"
#include "platform/linux/posix_support.h"

namespace fernwise::linux_os {

/// An open folder: one the holder owns, or a held root it borrows.
class FolderFd {
 public:
  FolderFd() = default;
  static FolderFd Borrowed(int fd) {
    FolderFd folder;
    folder.fd_ = fd;
    return folder;
  }
  static FolderFd Owned(UniqueFd fd) {
    FolderFd folder;
    folder.fd_ = fd.get();
    folder.owned_ = std::move(fd);
    return folder;
  }

  int get() const { return fd_; }
  bool valid() const { return fd_ >= 0; }
  /// The descriptor as one of the caller's own: an owned one handed over,
  /// a borrowed one duplicated. Leaves this object empty.
  UniqueFd TakeOwned() {
    const int fd = fd_;
    fd_ = -1;
    if (owned_.valid()) return std::move(owned_);
    return UniqueFd(fd < 0 ? -1 : ::fcntl(fd, F_DUPFD_CLOEXEC, 0));
  }

 private:
  UniqueFd owned_;
  int fd_ = -1;
};

class TreeAccess {
 public:
  /// A folder a job entry names, open since the entry began.
  struct Root {
    std::string path;  // as the user wrote it
    std::string key;   // the path without trailing slashes: what paths below
                       // it begin with
    UniqueFd fd;       // O_PATH
    dev_t device = 0;
    ino_t inode = 0;
    bool on_fuse = false;  // see platform/linux/linux_flush.h
  };

  /// Where a path lies in the tree of a role: the role's held folder, and
  /// what follows it in the path ("" for the folder itself). No folder where
  /// none is held for the role or the path is not in its tree: such a path
  /// is opened as the kernel resolves it.
  struct Place {
    const Root* root = nullptr;
    std::string_view rest;
  };

  /// Opens the entry's folders. One that cannot be opened is not held, and
  /// nothing in its tree is opened then: it stays missing (or refused, as
  /// its opening was) for the whole entry, however it comes to be.
  void Hold(const EntryFolders& folders);

  /// The held folder of `role`, or nullptr.
  const Root* Held(Role role) const;
  /// Why the folder named for `role` could not be held (an errno), or 0
  /// where it is held or none was named.
  int Unheld(Role role) const { return unheld_[static_cast<size_t>(role)]; }
  /// Where `path` lies in the tree of `role`: found after the held folder's
  /// length, never searched for among the folders.
  Place Locate(Role role, std::string_view path) const;
  /// Whether `path` lies strictly below the held folder of `role`.
  bool Below(Role role, std::string_view path) const {
    const Place place = Locate(role, path);
    return place.root != nullptr && !place.rest.empty();
  }

  /// Opens the folder at `path` in the tree of `role` with `flags` (O_PATH
  /// or O_RDONLY): a held folder itself, anything below one name by name
  /// without following a link, nothing in the tree of a folder named but
  /// not held, any other path as the kernel resolves it.
  /// On failure the result is invalid and errno says why; below a held
  /// folder ELOOP means a link stands in the way, ENOTDIR a file.
  FolderFd OpenFolder(Role role, std::string_view path, int flags) const;

  /// Throws the error of a change refused because something other than a
  /// folder stands in `folder`'s path below the held folder of `role`: it
  /// names that entry and what it is. Where nothing is found in the way
  /// (the tree changed meanwhile), throws `error` for `folder`.
  [[noreturn]] void ThrowNotAFolder(Role role, std::string_view folder,
                                    const char* operation, int error) const;

 private:
  std::array<Root, 3> roots_;  // indexed by Role
  std::array<int, 3> unheld_{};  // why a named folder was not held
};

}  // namespace fernwise::linux_os
