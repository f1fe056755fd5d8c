// What the drives of an entry keep, learnt on Windows: the file system's
// name (GetVolumeInformationW) gives the starting point and the name limit,
// and a probe file in a destination folder shows what the drive really
// keeps (core/drive_traits.h). A share that calls itself "NTFS" over a FAT
// disk, or a FAT image mounted through FUSE under Wine (which Wine reports as
// "NTFS" too), then compares times in FAT's 2-second steps, and a drive that
// drops "not content indexed" no longer has every file refreshed on every
// run for it.
//
// Letter case is a folder's own on Windows: NTFS folders can be made
// case-sensitive one by one (WSL does it), so whether a folder ignores case
// is asked of the folder itself (FileCaseSensitiveInfo) where its drive can
// have such folders, and otherwise the drive's answer.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "core/drive_traits.h"
#include "core/entry_run.h"
#include "platform/win32/held_folder.h"

namespace fernwise::win32 {

/// What GetVolumeInformationW tells of the volume holding a folder.
struct VolumeFacts {
  DriveType type = DriveType::kOther;
  size_t name_limit = 255;
};

/// The facts of the volume holding the named folder `folder`: through its
/// handle where it is held, else by its path. A volume that cannot be asked
/// is of no known type, with names of up to 255 units.
VolumeFacts FactsOf(const HeldFolder& folder);

/// Whether the folder at `folder` (as the ...W calls take it) is marked
/// case-sensitive; nullopt where its file system does not say (FAT, exFAT,
/// shares, Wine).
std::optional<bool> FolderCaseSensitive(const std::wstring& folder);

/// Whether a file of a plain name can be made in the folder at `folder` (as
/// the ...W calls take it): one is made under a temporary name, then
/// removed, and the folder's last-modified time put back.
bool PlainFileCanBeMade(const std::wstring& folder);

/// What each drive of an entry keeps, learnt the first time it is asked.
class DriveTraitsCache {
 public:
  struct Known {
    DriveTraits traits;
    /// Whether the drive can hold folders of their own letter case (NTFS).
    bool case_per_folder = false;
  };

  /// What the drive holding the named folder `root` of `role` keeps: for a
  /// destination or secondary folder learnt with a probe file made in it,
  /// once per volume; for the source, which nothing may write to, from its
  /// type alone.
  const Known& Of(Role role, const HeldFolder& root);

 private:
  std::optional<Known> roles_[3];
  std::vector<std::pair<uint32_t, Known>> learnt_;  // by volume serial
};

}  // namespace fernwise::win32
