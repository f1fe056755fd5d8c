// What a pass has learned of entries from its listings and probes, so that
// its questions about one entry (its mask, its time, its length) cost no
// further call to the file system until the pass changes that entry. On a
// network share every such call is a round trip; the listing already carries
// all three for every entry.
//
// Records are kept for the folder listed last and the folders above it: the
// passes walk depth first, handle a folder's files before its subfolders and
// come back only to the folders above, so memory grows with the depth of the
// walk (as the passes' own snapshots do), not with the size of the tree.
// Entries read by path (probes, reads after a change) are kept two at a
// time: the passes ask about a source entry and its destination counterpart
// in turn.
#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "core/file_system.h"

namespace fernwise::win32 {

/// What the services tell of an entry.
struct EntryData {
  unsigned long attributes = 0;  ///< the DWORD of the find data
  FileTime time;                 ///< last written
  int64_t size = 0;
  /// A reparse point's tag, where a listing told it (nullopt where the
  /// entry was read by its path, which tells none).
  std::optional<unsigned long> reparse_tag;
};

class EntryCache {
 public:
  /// What is known of `path`, or null. Valid until the next change here.
  const EntryData* Find(std::string_view path) const;

  /// Starts the record of a listing of `folder` (a path without the
  /// trailing separator); records of folders other than `folder` and those
  /// above it are dropped.
  void BeginFolder(std::string_view folder);
  /// Adds an entry of the folder begun last.
  void AddListed(std::string_view name, const EntryData& data);
  /// Keeps what a probe or a read by path told of `path`.
  const EntryData& Remember(std::string_view path, const EntryData& data);

  /// `path` is about to change: forgets it, and its folder, whose time the
  /// change moves.
  void Forget(std::string_view path);
  /// A folder is about to be made or removed at `path`: forgets it and
  /// every record at or below it.
  void ForgetFolder(std::string_view path);
  /// Forgets everything: a new pass begins.
  void Clear();

 private:
  struct Hash {
    using is_transparent = void;
    size_t operator()(std::string_view text) const {
      return std::hash<std::string_view>{}(text);
    }
  };
  struct Folder {
    std::string path;
    std::unordered_map<std::string, EntryData, Hash, std::equal_to<>> entries;
  };
  struct Recent {
    std::string path;
    EntryData data;
    bool known = false;
  };

  void ForgetEntry(std::string_view path);

  std::vector<Folder> folders_;  // the one listed last at the back
  std::array<Recent, 2> recent_;
  size_t next_recent_ = 0;
};

}  // namespace fernwise::win32
