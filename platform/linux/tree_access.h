// How the Linux services reach an entry. The passes name entries by path;
// below the folders a job entry names, an entry is reached one name at a
// time from a descriptor held for that folder, never through a link, so
// that nothing a link planted in a tree (or swapped in during a run) can
// lead a pass outside the trees it was given. The named folders themselves
// are opened as the user wrote them, links in their paths followed.
#pragma once

#include <fcntl.h>
#include <sys/types.h>

#include <array>
#include <string>
#include <string_view>

#include "core/file_system.h"
#include "platform/linux/support.h"

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

/// What a held folder is to its entry.
enum class Role { kSource, kDestination, kSecondary };

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
    bool on_fuse = false;  // see platform/linux/durability.h
  };

  /// Opens the entry's folders; one that cannot be opened is not held, and
  /// paths in it are then opened as the kernel resolves them.
  void Hold(const EntryFolders& folders);
  /// Closes them.
  void Release();

  /// The held root `path` is or lies below (the longest such), with what
  /// follows it in `rest` ("" for the root itself); nullptr when none.
  const Root* RootOf(std::string_view path,
                     std::string_view* rest = nullptr) const;
  /// The held root whose path `path` is, or nullptr.
  const Root* HeldAt(std::string_view path) const;
  /// Whether `path` lies strictly below a held root.
  bool Below(std::string_view path) const;
  /// The held root of `role`, or nullptr.
  const Root* Held(Role role) const;
  /// Sets `counterpart` to the path in the tree of role `to` that stands
  /// where `path` stands in the tree of role `from`; false when `path` lies
  /// in no such tree.
  bool Counterpart(std::string_view path, Role from, Role to,
                   std::string& counterpart) const;

  /// Opens the folder at `path` with `flags` (O_PATH or O_RDONLY): a held
  /// root itself, anything below one name by name without following a link,
  /// any other path as the kernel resolves it. On failure the result is
  /// invalid and errno says why; below a root ELOOP means a link stands in
  /// the way, ENOTDIR a file.
  FolderFd OpenFolder(std::string_view path, int flags) const;

  /// Throws the error of a change refused because something other than a
  /// folder stands in `folder`'s path below a root: it names that entry
  /// and what it is. Where nothing is found in the way (the tree changed
  /// meanwhile), throws `error` for `folder`.
  [[noreturn]] void ThrowNotAFolder(std::string_view folder,
                                    const char* operation, int error) const;

 private:
  std::array<Root, 3> roots_;  // indexed by Role
};

}  // namespace fernwise::linux_os
