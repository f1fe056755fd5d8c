// What makes a run's copies durable on Linux. A copy is renamed into place
// only once its data is on the disk, so that a power cut never leaves a
// file that carries its source's time over content that never arrived (the
// mirror decides by time, so no later run would mend it). Flushing each file
// before its rename costs about eight times a small file's copy, so copies
// into kernel file systems wait in a batch: one syncfs flushes the batch,
// then each takes its name. A small copy's write-back is deliberately not
// started on its own: that splits it into many small writes, where the one
// syncfs writes the whole batch in one sweep; a large copy's is, so that
// the disk writes it while the next ones are copied. FUSE mounts flush each
// copy on its own (see platform/linux/linux_flush.h).
#pragma once

#include <sys/stat.h>
#include <sys/types.h>

#include <cstdint>
#include <ctime>
#include <functional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "core/file_system.h"
#include "platform/linux/linux_name_table.h"
#include "platform/linux/linux_tree_access.h"
#include "platform/linux/posix_support.h"

namespace fernwise::linux_os {

/// A copy whose temporary file is complete, waiting for the batch's flush
/// to take its name.
struct PendingCopy {
  std::string folder;     ///< the target's folder, found afresh to commit
  std::string temp_name;  ///< the complete copy, in `folder`
  std::string name;       ///< the target's name in `folder`
  std::string path;       ///< the target's path
  struct stat status;     ///< what the target will be once named
  timespec times[2];      ///< given again after the rename where needed
  bool times_after_rename = false;
  /// Named only where the name is free (see TargetName::kFree).
  bool only_if_free = false;
};

/// A folder's time, set once the copies below it have taken their names.
struct PendingFolderTime {
  std::string path;  ///< found afresh, and only that folder changed
  dev_t device;
  ino_t inode;
  timespec times[2];
};

/// A batch handed over to take its names: the copies, the folders the
/// latest of them were made in, kept open by their paths (see KeepFolder),
/// and the folder times set after them, in the order they were asked.
struct PendingBatch {
  std::vector<PendingCopy> copies;
  std::vector<std::pair<std::string, UniqueFd>> made_in;
  std::vector<PendingFolderTime> folder_times;
};

/// Whether setting a folder's time failed with `error` because the drive
/// keeps no folder times, or the folder is another user's: it stays as it
/// is.
bool FolderTimeRefused(int error);

/// The batch of copies waiting for one flush.
class PendingCopies {
 public:
  /// A batch is flushed once it holds this many copies or bytes: few
  /// flushes for a first copy of many small files (each forces a journal
  /// commit), and a bounded wait for any one of them.
  static constexpr size_t kMaxCopies = 8192;
  static constexpr int64_t kMaxBytes = int64_t{1} << 30;
  /// ... or once its bookkeeping (the paths it keeps, the folders above
  /// its copies among them, and a share for each entry) passes 8 MiB, so a
  /// deep tree cannot make it take gigabytes: it then takes at most that
  /// and one copy's own (each path being under 4,096 bytes, at most about
  /// 8 MiB more for a copy 2,000 one-letter folders deep).
  static constexpr size_t kMaxBookkeeping = size_t{8} << 20;

  /// So many folders a batch keeps open, the latest it was made in.
  static constexpr size_t kKeptFolders = 16;

  void Add(PendingCopy copy);
  /// Sets a folder's time after the batch's copies are named.
  void AddFolderTime(PendingFolderTime time);
  /// Keeps `folder`, the open folder at `path` that the copy added last was
  /// made in, unless it is kept already: should the batch never be named,
  /// its temporary files are removed there, wherever the folder has gone
  /// meanwhile (renamed, or its path now leading through a link). Those of
  /// folders no longer kept are looked for by their paths.
  void KeepFolder(std::string_view path, FolderFd& folder);
  size_t size() const { return copies_.size(); }
  bool empty() const { return copies_.empty(); }
  bool full() const {
    return copies_.size() >= kMaxCopies || bytes_ >= kMaxBytes ||
           bookkeeping_ >= kMaxBookkeeping;
  }
  /// What the target `path` will be once its copy is named, or nullptr.
  const struct stat* Find(const std::string& path) const;
  /// Whether a waiting copy's target is `path` or lies below it.
  bool Touches(std::string_view path) const;
  /// Hands the batch over, the copies in the order they were made.
  PendingBatch TakeAll();

 private:
  // What one of the batch's paths is: a copy's target, a folder that holds
  // copies somewhere below, or both.
  struct PathUse {
    uint32_t copy = 0;  // 1 + the index of the copy aimed at it, or 0
    bool folder = false;
  };
  PathUse& Use(std::string_view path);

  std::vector<PendingCopy> copies_;
  // The copies' targets and their folders and every folder above them, in
  // one flat table: every look by the pass (several for each file it
  // copies) costs a probe or two of one array instead of a walk through
  // nodes and strings, and emptying it frees nothing.
  NameTable paths_;
  std::vector<PathUse> uses_;  // by paths_'s indexes
  int64_t bytes_ = 0;
  size_t bookkeeping_ = 0;  // bytes, roughly (see kMaxBookkeeping)
  std::vector<std::pair<std::string, UniqueFd>> made_in_;
  std::vector<PendingFolderTime> folder_times_;
  size_t next_kept_ = 0;  // the slot the next folder kept takes when full
};

/// Gives a batch of copies their names: first one syncfs for each file
/// system they lie on, so that their data is on the disk, then each rename
/// in the order the copies were made, in the folder `open_folder(folder)`
/// yields (found afresh). On a failure the copies not yet named are removed,
/// where they were made if that folder was kept, and RunError thrown,
/// naming the target.
void CommitCopies(
    PendingBatch batch,
    const std::function<FolderFd(const std::string&)>& open_folder,
    const ProgressCallback& meanwhile);

/// Removes what is left of a batch that will not be named, from its copy
/// `from` on: in the folder each was made in where that is kept open, else
/// in the one `open_folder` finds at its path now. One that cannot be
/// reached stays for a later run's pass to erase.
void DiscardCopies(
    const PendingBatch& batch, size_t from,
    const std::function<FolderFd(const std::string&)>& open_folder) noexcept;

}  // namespace fernwise::linux_os
