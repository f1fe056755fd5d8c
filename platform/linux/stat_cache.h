// What a pass has lately read of entries, so that its questions about one
// entry (is it there, its mask, its time, its length) cost one lstat between
// them, and the folders those entries lie in, held open so that an entry is
// looked up by name in its folder rather than by resolving its whole path
// again. The passes ask about a source entry and its destination counterpart
// in turn, so two entries are enough, and memory stays the same however wide
// a folder is. Folders are held for longer, so that on coming back from a
// subfolder the walk finds its own folders of both sides still open.
#pragma once

#include <sys/stat.h>

#include <array>
#include <cstdint>
#include <string>
#include <string_view>

#include "platform/linux/support.h"

namespace fernwise::linux_os {

class StatCache {
 public:
  /// The status of `path` as lstat gives it, read now or earlier since it
  /// was last forgotten; nullptr with errno set when lstat fails. The result
  /// stays valid until the next call.
  const struct stat* Lstat(const std::string& path);

  /// Forgets what was read of `path`: it is about to change.
  void Forget(const std::string& path);
  /// Forgets every entry read, keeping the folders open.
  void ForgetEntries();
  /// Forgets every entry read and closes the folder held at `path`: a folder
  /// is about to be made or removed there. Entries are only ever read through
  /// the paths the passes build from their top folders, so no held folder
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
    UniqueFd fd;            // invalid: it could not be opened; use whole paths
    uint64_t last_use = 0;  // 0: the slot is free

    void Drop() {
      fd.Reset();
      last_use = 0;
    }
  };

  int ReadEntry(const std::string& path, struct stat& status);
  int FolderFd(std::string_view folder);

  std::array<Entry, 2> entries_;
  // Both sides' folders on the way down a tree of the usual depth.
  std::array<Folder, 12> folders_;
  uint64_t folder_uses_ = 0;
  size_t next_entry_ = 0;
};

}  // namespace fernwise::linux_os
