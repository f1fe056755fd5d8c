#include "platform/linux/linux_listed_names.h"

#include <dirent.h>
#include <fcntl.h>

#include <algorithm>

namespace fernwise::linux_os {

bool ListedNames::Lists(const TreeAccess& tree, StatCache& stats, Role role,
                        std::string_view folder, std::string_view name) {
  if (role != role_) {
    role_ = role;
    depth_ = 0;
  }
  // The walk has left the folders that do not hold this one.
  while (depth_ > 0 && !PathWithin(levels_[depth_ - 1].folder, folder))
    --depth_;
  if (depth_ == 0 || levels_[depth_ - 1].folder != folder) {
    if (depth_ == kMaxLevels) {
      // The outermost gives its place (and its buffers) to this one.
      std::rotate(levels_.begin(), levels_.begin() + 1,
                  levels_.begin() + depth_);
      --depth_;
    }
    if (depth_ == levels_.size()) levels_.emplace_back();
    Level& level = levels_[depth_++];
    level.folder.assign(folder);
    List(tree, stats, level);
  }
  return levels_[depth_ - 1].names.Find(name) != NameTable::kNone;
}

// A listing that fails, or names too many, leaves no names: every probe of
// the folder then looks by name, and meets the failure itself.
void ListedNames::List(const TreeAccess& tree, StatCache& stats, Level& level) {
  NameTable& names = level.names;
  names.Clear();
  // Only folders of the held tree: nothing outside it is listed.
  if (tree.Locate(role_, level.folder).root == nullptr) return;
  FolderFd folder = tree.OpenFolder(role_, level.folder, O_RDONLY);
  if (!folder.valid()) return;
  listing_.Start(folder.TakeOwned());
  unsigned char type = DT_UNKNOWN;
  while (const char* name = listing_.Next(type)) {
    if (names.size() == kMaxNames) {
      listing_.Stop();
      names.Clear();
      return;
    }
    names.Add(name);
  }
  if (errno != 0) {
    names.Clear();
    return;
  }
  stats.Adopt(level.folder, listing_.TakeEnded());
}

}  // namespace fernwise::linux_os
