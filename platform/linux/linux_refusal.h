// Entries a destination drive refuses: a name it cannot hold (":" on FAT),
// a kind of entry it cannot hold (a link on FAT), told from a real failure
// by trying, so that the copy leaves them out and the run goes on.
#pragma once

#include <sys/types.h>

#include <string>

#include "platform/linux/posix_destination_abilities.h"

namespace fernwise::linux_os {

/// Why a destination would not make an entry.
enum class Refusal {
  kNone,  ///< not a refusal: a failure to report
  kName,  ///< it cannot hold the name (":" on FAT, say)
  kKind,  ///< it cannot hold the kind of entry (a link on FAT, say)
};

/// After making an entry of kind `kind` (S_IFREG, S_IFDIR, S_IFLNK, ...) for
/// the name `name` in the open folder `folder` failed with `error`: whether
/// the destination refused the name, or the kind, or neither. Drivers give
/// every errno for these (EPERM, ENOENT, EINVAL, ENOSYS, EIO), so it is told
/// by trying: a file with a name like it, then a file with a plain name.
/// Out of space, read-only, access refused and the like are never refusals.
/// The folder's last-modified time is put back.
Refusal WhyRefused(int folder, const std::string& name, mode_t kind, int error);

/// What a left-out entry's report says.
std::string RefusalReason(Refusal refusal, mode_t kind, int error,
                          const DestinationAbilities& abilities);

/// Removes what a failed make left under `name` in `folder`: the FUSE
/// drivers of FAT and exFAT refuse a FIFO but leave an empty file of its
/// name behind. errno is left as it was.
void RemoveDebris(int folder, const char* name);

}  // namespace fernwise::linux_os
