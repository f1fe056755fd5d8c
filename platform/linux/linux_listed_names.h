// The names of one source folder, listed once for the sweep's probes.
//
// The sweep walks the destination and asks, for every entry there, whether
// its source side exists: one look by name each, ten for a folder of ten
// files, where one listing of the source folder answers them all. Only a
// "yes" is taken from the listing, and a "yes" keeps an entry; a name the
// listing lacks is looked for by the caller as before, and an erase still
// rests on its own look afresh (ExistsAfresh). So nothing is erased on the
// listing's word, and a name listed a moment ago keeps its backup for this
// run at most, as a look made a moment earlier would have.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

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

  /// Whether `name` is listed in `folder` of the tree of `role`, listing
  /// the folder when it is not the one listed last (its descriptor then
  /// goes to `stats` for the looks by name that follow). False where the
  /// folder lacks the name, cannot be listed, or has too many entries.
  bool Lists(const TreeAccess& tree, StatCache& stats, Role role,
             std::string_view folder, std::string_view name);
  /// Forgets the folder listed: a new pass reads afresh.
  void Forget() {
    folder_.clear();
    names_.Clear();
  }

 private:
  void List(const TreeAccess& tree, StatCache& stats);

  FolderListing listing_;
  Role role_ = Role::kSource;
  std::string folder_;  // empty: none listed
  NameTable names_;     // empty when not kept
};

}  // namespace fernwise::linux_os
