// The names of the source folders the sweep is in, listed once for its
// probes.
//
// The sweep walks the destination and asks, for every entry there, whether
// its source side exists: one look by name each, ten for a folder of ten
// files, where one listing of the source folder answers them all. Only a
// "yes" is taken from the listing, and a "yes" keeps an entry; a name the
// listing lacks is looked for by the caller as before, and an erase still
// rests on its own look afresh (ExistsAfresh). So nothing is erased on the
// listing's word, and a name listed a while ago keeps its backup for this
// run at most, as a look made then would have. A folder's listing is kept
// while the sweep is below it, so a subfolder's "yes" is as old as the sweep
// of its siblings before it: a source subfolder removed meanwhile still has
// its backup's entries erased, each on its own look, and the sweep looks
// afresh for a folder it erased anything in.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

#include "core/entry_run.h"
#include "platform/linux/linux_listing.h"
#include "platform/linux/linux_name_table.h"
#include "platform/linux/linux_stat_cache.h"
#include "platform/linux/linux_tree_access.h"

namespace fernwise::linux_os {

class ListedNames {
 public:
  /// Folders with more entries than this are not kept: the looks by name
  /// answer for them, and the memory stays small.
  static constexpr size_t kMaxNames = 4096;
  /// Listings kept at once: the folder listed last and those above it.
  /// Back from a subfolder, the sweep asks for the next of its folder's
  /// subfolders, and finds the folder's names still listed rather than
  /// listing it again after every subfolder.
  static constexpr size_t kMaxLevels = 8;

  /// Whether `name` is listed in `folder` of the tree of `role`, listing
  /// the folder when it is neither the one listed last nor one above it
  /// kept listed (its descriptor then goes to `stats` for the looks by name
  /// that follow). False where the folder lacks the name, cannot be listed,
  /// or has too many entries.
  bool Lists(const TreeAccess& tree, StatCache& stats, Role role,
             std::string_view folder, std::string_view name);
  /// Forgets the folders listed: a new pass reads afresh.
  void Forget() { depth_ = 0; }

 private:
  struct Level {
    std::string folder;
    NameTable names;  // empty when not kept
  };

  void List(const TreeAccess& tree, StatCache& stats, Level& level);

  FolderListing listing_;
  Role role_ = Role::kSource;
  // The outermost first; only the first depth_ are in use, the others keep
  // their buffers for the next listings.
  std::vector<Level> levels_;
  size_t depth_ = 0;
};

}  // namespace fernwise::linux_os
