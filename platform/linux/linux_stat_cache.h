// What a pass has lately read of entries, so that its questions about one
// entry (is it there, its mask, its time, its length) cost one lstat between
// them, and the folders those entries lie in, kept open (the open folders)
// so that an entry is looked up by name in its folder rather than by
// resolving its whole path again. The passes ask about a source entry and its
// destination counterpart in turn, so two entries are enough, and memory stays
// the same however wide a folder is. Folders are kept open longer, so that on
// coming back from a subfolder the walk finds its own folders of both sides
// still open.
//
// Folders below a job entry's named folders are opened through TreeAccess,
// never through a link. An open folder may go stale when another program
// renames or replaces a folder during the pass: it answers reads only, and
// every change and every erase decision looks again afresh.
#pragma once

#include <sys/stat.h>

#include <array>
#include <atomic>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "platform/linux/linux_tree_access.h"
#include "platform/linux/posix_support.h"

namespace fernwise::linux_os {

class StatCache {
 public:
  explicit StatCache(const TreeAccess& tree) : tree_(tree) {}

  /// The status of `path`, in the tree of `role`, as lstat gives it, read
  /// now or earlier since it was last forgotten; nullptr with errno set when
  /// lstat fails. Below a held folder, a link or file standing in the path
  /// makes the entry missing (ENOTDIR). The result stays valid until the
  /// next call.
  const struct stat* Lstat(Role role, const std::string& path);

  /// The folder at `folder`, in the tree of `role`, as opened for reading
  /// its entries (below a held folder, reached without links when it was
  /// opened), or -1 with errno. Valid until the next call.
  int OpenFolderFd(Role role, std::string_view folder);

  /// A folder's device and inode.
  struct Identity {
    dev_t device = 0;
    ino_t inode = 0;
  };
  /// The identity of the folder open at `folder`, the one the pass listed or
  /// looked into there, read once through its descriptor (nothing is
  /// opened); nullopt when none is open there. An erase checks its folder
  /// against it.
  std::optional<Identity> SeenFolder(std::string_view folder);

  /// Keeps `fd`, a folder just opened at `folder` (by a listing), as the
  /// folder to look up its entries in, unless one is open there already:
  /// one open of each folder serves its listing and its entries.
  void Adopt(std::string_view folder, UniqueFd fd);
  /// How many looks the pass has made: each entry's status read, and each
  /// folder listed (see CountLook). Read ahead of it, from other threads.
  const std::atomic<uint64_t>& looks() const { return looks_; }
  /// Counts a look made without the cache: a folder's listing.
  void CountLook() {
    looks_.store(looks_.load(std::memory_order_relaxed) + 1,
                 std::memory_order_relaxed);
  }

  /// Takes `status` as what `path` reads now: read just now by the caller
  /// through a descriptor of that very entry.
  void Put(const std::string& path, const struct stat& status);
  /// Forgets what was read of `path`: it is about to change.
  void Forget(const std::string& path);
  /// Forgets every entry read, keeping the folders open.
  void ForgetEntries();
  /// Forgets every entry read and closes the folder open at `path`: a folder
  /// is about to be made or removed there. Entries are only ever read through
  /// the paths the passes build from their top folders, so no open folder
  /// but this one can name what is made or removed.
  void ForgetFolder(const std::string& path);
  /// Forgets everything and closes the folders: a new pass begins.
  void ForgetAll();

 private:
  struct Entry {
    std::string path;
    struct stat status;
    bool known = false;
  };
  struct Folder {
    std::string path;
    FolderFd fd;  // invalid: it could not be opened, for `error`
    int error = 0;
    uint64_t last_use = 0;             // 0: the slot is free
    std::optional<Identity> identity;  // once SeenFolder has read it

    void Drop() {
      fd = FolderFd();
      last_use = 0;
      identity.reset();
    }
  };

  int ReadEntry(Role role, const std::string& path, struct stat& status);
  const Folder& OpenFolder(Role role, std::string_view folder);
  Folder& FreeFolder();

  const TreeAccess& tree_;
  std::array<Entry, 2> entries_;
  // Both sides' folders on the way down a tree of the usual depth.
  std::array<Folder, 12> folders_;
  uint64_t folder_uses_ = 0;
  size_t next_entry_ = 0;
  std::atomic<uint64_t> looks_{0};  // written by the pass's thread alone
};

}  // namespace fernwise::linux_os
