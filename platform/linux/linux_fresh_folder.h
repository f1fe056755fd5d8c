// The destination folder a pass made last, while it fills it. Made private
// (mode 0700) and empty, it holds nothing the pass has not put there, so the
// pass's look for an entry there finds nothing without asking the system:
// one failing lstat a file fewer on a first copy. What rests on such an
// answer never replaces an entry: the copy made on it takes its name only
// where the name is still free (RENAME_NOREPLACE), and a folder made on it
// is made only where no entry has the name (mkdir), so an entry another
// program put there meanwhile is never lost: the change fails instead.
// A name is answered so once; every later look at it asks the system. The
// promise holds for the change that follows the answer, as a pass makes it:
// once another folder is made, the last one's names are asked again.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

#include "platform/linux/linux_name_table.h"

namespace fernwise::linux_os {

class FreshFolder {
 public:
  /// The folder at `path` was made just now, empty.
  void Made(std::string_view path) {
    while (path.size() > 1 && path.back() == '/') path.remove_suffix(1);
    path_.assign(path);
    names_.Clear();
    unlooked_.clear();
    active_ = true;
  }
  /// No folder is known empty any more.
  void Forget() {
    active_ = false;
    names_.Clear();
    unlooked_.clear();
  }
  /// Whether `name` in `folder` is known free without a look: the first
  /// time it is asked in the folder made last. Past kMostNames names every
  /// new one is asked of the system, so what is kept stays bounded.
  bool KnownFree(std::string_view folder, std::string_view name) {
    if (!active_ || folder != path_) return false;
    if (const size_t at = names_.Find(name); at != NameTable::kNone) {
      unlooked_[at] = false;
      return false;
    }
    if (names_.size() >= kMostNames) return false;
    names_.Add(name);
    unlooked_.push_back(true);
    return true;
  }
  /// Whether a change to `name` in `folder` rests on KnownFree's answer
  /// alone, no look made since; it does not any more after this.
  bool TakeKnownFree(std::string_view folder, std::string_view name) {
    if (!active_ || folder != path_) return false;
    const size_t at = names_.Find(name);
    if (at == NameTable::kNone || !unlooked_[at]) return false;
    unlooked_[at] = false;
    return true;
  }

 private:
  static constexpr size_t kMostNames = size_t{1} << 16;

  std::string path_;
  NameTable names_;  // each name answered
  // By the names' indexes: true until something other than the change it
  // was answered for has looked at it.
  std::vector<bool> unlooked_;
  bool active_ = false;
};

}  // namespace fernwise::linux_os
