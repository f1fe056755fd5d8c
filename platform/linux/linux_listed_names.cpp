#include "platform/linux/linux_listed_names.h"

#include <dirent.h>
#include <fcntl.h>

#include <algorithm>
#include <bit>
#include <functional>

namespace fernwise::linux_os {

bool ListedNames::Lists(const TreeAccess& tree, StatCache& stats, Role role,
                        std::string_view folder, std::string_view name) {
  if (folder_.empty() || role != role_ || folder != folder_) {
    role_ = role;
    folder_.assign(folder);
    List(tree, stats);
  }
  if (names_.empty()) return false;
  const size_t hash = std::hash<std::string_view>{}(name);
  const size_t mask = slots_.size() - 1;
  for (size_t i = hash & mask; slots_[i] != 0; i = (i + 1) & mask) {
    const Name& listed = names_[slots_[i] - 1];
    if (listed.hash == hash &&
        std::string_view(text_).substr(listed.offset, listed.size) == name)
      return true;
  }
  return false;
}

void ListedNames::Clear() {
  text_.clear();
  names_.clear();
  slots_.clear();
}

void ListedNames::Index() {
  slots_.assign(std::bit_ceil(std::max<size_t>(16, names_.size() * 2)), 0);
  const size_t mask = slots_.size() - 1;
  for (size_t n = 0; n < names_.size(); ++n) {
    size_t i = names_[n].hash & mask;
    while (slots_[i] != 0) i = (i + 1) & mask;
    slots_[i] = static_cast<uint32_t>(n + 1);
  }
}

// A listing that fails, or names too many, leaves no names: every probe of
// the folder then looks by name, and meets the failure itself.
void ListedNames::List(const TreeAccess& tree, StatCache& stats) {
  Clear();
  // Only folders of the held tree: nothing outside it is listed.
  if (tree.Locate(role_, folder_).root == nullptr) return;
  FolderFd folder = tree.OpenFolder(role_, folder_, O_RDONLY);
  if (!folder.valid()) return;
  listing_.Start(folder.TakeOwned());
  unsigned char type = DT_UNKNOWN;
  while (const char* name = listing_.Next(type)) {
    if (names_.size() == kMaxNames) {
      listing_.Stop();
      Clear();
      return;
    }
    const std::string_view listed(name);
    names_.push_back({std::hash<std::string_view>{}(listed),
                      static_cast<uint32_t>(text_.size()),
                      static_cast<uint32_t>(listed.size())});
    text_ += listed;
  }
  if (errno != 0) {
    Clear();
    return;
  }
  stats.Adopt(folder_, listing_.TakeEnded());
  Index();
}

}  // namespace fernwise::linux_os
