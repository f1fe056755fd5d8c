// What a drive keeps, on Linux: its type from the file system's magic
// number, and the rest learnt with a probe file (core/drive_traits.h's
// LearnDriveTraits). USB sticks and Windows disks mounted on Linux (FAT,
// exFAT, NTFS) keep coarse times and no permission bits, and which of them
// does what cannot be told from the type: every FUSE mount reports the
// same one.
#pragma once

#include <sys/types.h>

#include "core/drive_traits.h"

namespace fernwise::linux_os {

/// What a drive a copy writes to keeps, as the Linux copies need it.
struct LearntDrive {
  DriveTraits traits;
  /// The write bits a writable file has there: where the drive keeps only
  /// the read-only attribute (the kernel's FAT driver), a file made writable
  /// again gets them all, as the driver takes only all or none.
  mode_t write_bits = 0200;
};

/// The type of the drive the open folder `folder` lies on.
DriveType TypeOfDrive(int folder);

/// What the type of the drive of the open folder `folder` tells: a
/// source's traits, which nothing may write to learn.
DriveTraits TraitsByType(int folder);

/// Learns what the drive of the open folder `folder` keeps with a probe
/// file written into it and removed, the folder's last-modified time put
/// back; where no probe can be written, what its type tells.
LearntDrive LearnDrive(int folder);

}  // namespace fernwise::linux_os
