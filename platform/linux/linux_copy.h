// The fail-safe copy of one entry.
#pragma once

#include <sys/stat.h>
#include <sys/types.h>

#include <cstddef>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "core/file_system.h"
#include "platform/linux/linux_pending_copies.h"
#include "platform/linux/posix_destination_abilities.h"

namespace fernwise::linux_os {

/// What the copies of one pass share, kept by the entry's object and reset
/// when a pass begins: scratch memory for the read/write fallback, allocated
/// on first use so a run of small copies allocates once, the process's
/// effective ids, whether the file system refuses to clone or to rename
/// without replacing, and which devices are mounted nosuid.
struct CopyState {
  std::unique_ptr<char[]> buffer;
  size_t buffer_size = 0;
  bool ids_known = false;
  uid_t euid = 0;
  gid_t egid = 0;
  /// Sources on this device were refused a clone: the copies that follow
  /// copy their content without asking again.
  std::optional<dev_t> clone_refused_on;
  std::vector<std::pair<dev_t, bool>> nosuid_devices;
  /// renameat2 refused RENAME_NOREPLACE (FUSE file systems answer EINVAL):
  /// the copies to new names that follow, all into the one secondary folder
  /// of the pass, take their names by a hard link without asking again.
  bool no_replace_refused = false;
  /// For tests only, empty in the program: runs after each piece of a
  /// file's content is written (given its bytes), so that a test can change
  /// the source in the middle of a copy as another program might, or take
  /// the time a slow drive would.
  std::function<void(int64_t bytes)> after_each_chunk;
  /// Told after every slice of a file's content: bytes done of its total.
  /// The run lets the window answer there (see FileSystem::Enter).
  ProgressCallback progress;
  /// Seconds from a fixed point: how long a slice took. A test gives the
  /// time its slowed copy takes.
  std::function<double()> now;
  /// The bytes the next slice copies: sized so that a slice takes about
  /// kSliceSeconds on the drive at hand, from a fast disk to a USB 2 stick.
  size_t slice_bytes = kFirstSliceBytes;

  static constexpr double kSliceSeconds = 0.04;
  static constexpr size_t kFirstSliceBytes = size_t{1} << 20;
  static constexpr size_t kLeastSliceBytes = size_t{256} << 10;
  static constexpr size_t kMostSliceBytes = size_t{256} << 20;
  /// Where batched copies wait for their flush.
  PendingCopies* pending = nullptr;
  /// The status of the regular file the last CopyEntry copied, read through
  /// its descriptor once all its content was: the version its copy holds.
  std::optional<struct stat> copied;

  void BeginPass() {
    ids_known = false;
    clone_refused_on.reset();
    nosuid_devices.clear();
    no_replace_refused = false;
  }
};

/// How a finished copy takes its target's name.
enum class TargetName {
  kReplace,      ///< replaces whatever has the name
  kNewNameOnly,  ///< never replaces: the name must still be free
  /// As kReplace, for a target the pass knows is not there without having
  /// looked (see linux_fresh_folder.h): never replaces, and where the name
  /// is taken all the same, the copy fails with EEXIST.
  kFree,
};

/// When a finished copy of a regular file takes its target's name.
enum class Landing {
  /// It waits in CopyState::pending for the batch's flush (see
  /// platform/linux/durability.h).
  kBatched,
  /// Its data is flushed, then it takes the name.
  kFlushed,
};

/// An entry a copy reads or makes: the open folder that holds it, its name
/// there, and its path for messages.
struct EntryAt {
  int folder;
  std::string name;
  const std::string& path;
};

/// Creates or replaces `target` with a copy of `source` (a file, a link, a
/// FIFO, a socket or a device node) whose lstat status is `st`, fail-safe:
/// the copy is built under a temporary name in the target's folder (see
/// IsTemporaryName) and renamed over it only when complete; on failure the
/// temporary entry is removed and the target left as it was. A device node
/// this process may not make, and an entry whose name or kind the
/// destination refuses, is left out. `onto` says what the destination
/// keeps: where it keeps no permission bits, no mode or owner is set. A
/// regular file's copy is on the disk before it takes its name: flushed at
/// once, or (kBatched, replacing) waiting in `state.pending` for the batch's
/// flush, its target answered from there meanwhile.
/// Nothing is followed: a link is
/// copied as a link, and a link at the target's name is replaced, not
/// written through. With kNewNameOnly an entry that has taken the target's
/// name meanwhile stays, and the result says `name_taken`.
///
/// A file is checked: the one opened must be the regular file `st`
/// describes, and once its content is copied, all of it, unchanged in
/// size, last-modified time and change time. Otherwise the source changed
/// under the copy, and it is looked at afresh and copied again, as what it
/// is now, a few times after short pauses; a source that changes at every
/// try is left out with its reason, the target as it was. A copy that is
/// not whole never reaches the target's name.
CopyResult CopyEntry(const EntryAt& source, const struct stat& st,
                     const EntryAt& target, CopyState& state,
                     const DestinationAbilities& onto,
                     TargetName naming = TargetName::kReplace,
                     Landing landing = Landing::kFlushed);

/// Whether `name` is one of the temporary names CopyEntry uses (see
/// TemporaryHead and core/temporary_name.h), its check code right: what a
/// copy cut short by a kill or a power loss leaves behind.
bool IsTemporaryName(std::string_view name);

}  // namespace fernwise::linux_os
