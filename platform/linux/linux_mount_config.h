// Drives the system is set up to mount that are not mounted now. A second
// disk, a NAS share or a USB drive named in /etc/fstab or by a systemd mount
// or automount unit leaves its mount point behind as a plain folder while it
// is not mounted, mostly empty. Backed up as it stands, that folder would
// have the drive's whole backup swept away; so the passes ask of each
// source folder whether it is such a mount point (EntryRun's
// AwaitsAbsentDrive).
//
// The configuration is read once per job entry. Only the mount points that
// exist as folders and are not mounted now are kept, by device and inode,
// so a folder is told by the status the pass has already read of it, and
// where every configured drive is mounted nothing is looked at at all. By
// device and inode, a mount point reached through a bind mount of its
// parent (or through a link in a named folder's path) is the same folder.
#pragma once

#include <sys/stat.h>
#include <sys/types.h>

#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace fernwise::linux_os {

/// The mount points the text of an fstab names, their octal escapes
/// ("\040" for a space) decoded; entries that mount nowhere ("none",
/// "swap") left out.
std::vector<std::string> FstabMountPoints(std::string_view fstab);

/// The mount point the text of a systemd .mount or .automount unit names
/// in its Where= line, or "" where it names none.
std::string UnitMountPoint(std::string_view unit);

/// The mount points the text of /proc/self/mountinfo lists, decoded.
std::vector<std::string> MountedPaths(std::string_view mountinfo);

/// Where the folder open as `fd` lies in its file system, whichever mount
/// shows it: the root of its mount (as /proc/self/mountinfo tells it) with
/// the folder's path below that mount. Two folders of one file system are
/// nested where these paths are, though a bind mount parts their own paths.
/// "" where it cannot be told.
std::string PathInFileSystem(int fd);

class AbsentMountPoints {
 public:
  /// Reads the configuration and the mount table afresh: /etc/fstab, and
  /// where systemd runs the mount and automount units of its unit folders.
  void Read();
  /// Whether no configured drive is missing: then no folder is one.
  bool empty() const { return folders_.empty(); }
  /// Whether the folder of status `status` is the mount point of a
  /// configured drive that is not mounted.
  bool Holds(const struct stat& status) const;

 private:
  /// Keeps `path` when it is a folder that no mount in `mounted` covers.
  void Consider(const std::string& path,
                const std::vector<std::string>& mounted);

  std::vector<std::pair<dev_t, ino_t>> folders_;
};

}  // namespace fernwise::linux_os
