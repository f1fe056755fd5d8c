// What a copy does on a destination drive that keeps less than a Linux
// folder: no mode and no owner where the drive keeps no permission bits, the
// read-only attribute where it keeps that, and the times again after a
// rename where a rename loses them.
#pragma once

#include <sys/stat.h>
#include <sys/types.h>

#include <ctime>
#include <string>

#include "core/drive_traits.h"

namespace fernwise::linux_os {

struct DestinationAbilities {
  /// Whether a file keeps the permission bits it is given. Where it does not
  /// (a mode change is refused, or accepted and not kept), no mode and no
  /// owner is set there.
  bool keeps_permissions = true;
  /// Where permission bits are not kept: whether a file's write bits can
  /// still be cleared and set again, as the read-only attribute (the
  /// kernel's FAT and exFAT drivers keep that much).
  bool keeps_read_only = true;
  /// The write bits a writable file has there.
  mode_t write_bits = S_IWUSR;
  /// Whether a file keeps its last-modified time when renamed (fusefat
  /// gives it the time of the rename).
  bool rename_keeps_time = true;
};

/// What a drive of `traits` means to a copy; `write_bits` as a writable
/// file there has them.
DestinationAbilities AbilitiesOf(const DriveTraits& traits, mode_t write_bits);

/// The permission bits an entry of mode `onto_mode` gets on a destination
/// that keeps no permission bits when it is to be `read_only`: its own, but
/// for a file on a destination that keeps the read-only attribute, the
/// write bits as `read_only` says.
mode_t KeptMode(bool read_only, mode_t onto_mode,
                const DestinationAbilities& abilities);

/// Sets the mode of the new copy `fd` from its source's `source_mode`: on a
/// destination that keeps permission bits, `carried` (what the copy may
/// carry); on one that does not, only the read-only attribute, where it
/// keeps that. 0, or -1 with errno.
int SetCopyMode(int fd, mode_t carried, mode_t source_mode,
                const DestinationAbilities& abilities);

/// Gives the open file `fd`, just renamed into place, its `times` again
/// where the destination does not keep them through a rename: through its
/// descriptor, as the name may hold another entry by now. 0, or -1 with
/// errno.
int KeepTimesAfterRename(int fd, const timespec times[2],
                         const DestinationAbilities& abilities);

}  // namespace fernwise::linux_os
