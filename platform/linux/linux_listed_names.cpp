#include "platform/linux/linux_listed_names.h"

#include <dirent.h>
#include <fcntl.h>

namespace fernwise::linux_os {

bool ListedNames::Lists(const TreeAccess& tree, StatCache& stats, Role role,
                        std::string_view folder, std::string_view name) {
  if (folder_.empty() || role != role_ || folder != folder_) {
    role_ = role;
    folder_.assign(folder);
    List(tree, stats);
  }
  return names_.Find(name) != NameTable::kNone;
}

// A listing that fails, or names too many, leaves no names: every probe of
// the folder then looks by name, and meets the failure itself.
void ListedNames::List(const TreeAccess& tree, StatCache& stats) {
  names_.Clear();
  // Only folders of the held tree: nothing outside it is listed.
  if (tree.Locate(role_, folder_).root == nullptr) return;
  FolderFd folder = tree.OpenFolder(role_, folder_, O_RDONLY);
  if (!folder.valid()) return;
  listing_.Start(folder.TakeOwned());
  unsigned char type = DT_UNKNOWN;
  while (const char* name = listing_.Next(type)) {
    if (names_.size() == kMaxNames) {
      listing_.Stop();
      names_.Clear();
      return;
    }
    names_.Add(name);
  }
  if (errno != 0) {
    names_.Clear();
    return;
  }
  stats.Adopt(folder_, listing_.TakeEnded());
}

}  // namespace fernwise::linux_os
