// The path probe and the folder snapshot: the one way the run asks whether a
// path is there, and the one way a pass learns what a folder holds.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <vector>

#include "core/entry_run.h"

namespace fernwise {

/// Entry names in the order they were appended, taken off the front. Held as
/// separate strings, so a name may hold any byte the platform allows ("|" and
/// newlines on POSIX) and taking the first name costs the same at any length.
class NameList {
 public:
  void Append(std::string name) { names_.push_back(std::move(name)); }
  bool Empty() const { return next_ == names_.size(); }
  /// Removes and returns the first name; the list must not be empty.
  std::string TakeFirst() { return std::move(names_[next_++]); }

 private:
  std::vector<std::string> names_;
  size_t next_ = 0;
};

/// A folder's subfolders (without "." and "..") and its other entries, each
/// in the listing's order.
struct FolderSnapshot {
  NameList folders;
  NameList files;
};

/// True when the listing finds an entry for `path`, in the tree of `role`:
/// a file or a folder, of any attributes. A path ending in the separator
/// probes the folder's contents. An empty path is false, not an error.
bool PathExists(EntryRun& entry, Role role, const std::string& path);

/// How a snapshot treats the failures of its listing.
enum class SnapshotFailures {
  /// Every failure passes to the caller (the mirror and the sweep).
  kThrow,
  /// A folder that cannot be listed yields no snapshot, and an entry whose
  /// attributes cannot be read counts as a file (the folder-tree listing).
  kAbsorb,
};

/// Lists `folder`, in the tree of `role`, in one uninterrupted listing,
/// deciding each entry's kind by what the listing says of it or, where it
/// says nothing, by the attribute mask read from its full path. Nothing else
/// may touch the entry's listing until this returns. Returns nullopt only
/// under kAbsorb, when the listing could not be started.
std::optional<FolderSnapshot> TakeSnapshot(
    const FileSystem& fs, EntryRun& entry, Role role, const std::string& folder,
    SnapshotFailures failures = SnapshotFailures::kThrow);

/// `folder`, the separator and `name`: the only way the core forms a child
/// path.
std::string ChildPath(const FileSystem& fs, const std::string& folder,
                      const std::string& name);

/// A folder's path and the separator, to which one entry's name at a time is
/// appended, so the paths of a folder's files reuse one buffer instead of a
/// new string for every file.
class ChildPathBuffer {
 public:
  ChildPathBuffer(const FileSystem& fs, const std::string& folder)
      : path_(ChildPath(fs, folder, "")), prefix_(path_.size()) {}

  /// The child path of `name`, valid until the next call.
  const std::string& With(const std::string& name) {
    path_.resize(prefix_);
    path_ += name;
    return path_;
  }

 private:
  std::string path_;
  size_t prefix_;
};

}  // namespace fernwise
