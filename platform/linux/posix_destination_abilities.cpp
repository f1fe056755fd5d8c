#include "platform/linux/posix_destination_abilities.h"

#include <fcntl.h>

#include "platform/linux/posix_support.h"

namespace fernwise::linux_os {

namespace {

constexpr mode_t kAllWrite = S_IWUSR | S_IWGRP | S_IWOTH;

}  // namespace

DestinationAbilities AbilitiesOf(const DriveTraits& traits, mode_t write_bits) {
  DestinationAbilities abilities;
  abilities.keeps_permissions =
      (traits.kept_bits & (uint32_t{S_IRWXU} << kPermissionShift)) != 0;
  abilities.keeps_read_only = (traits.kept_bits & kAttrReadOnly) != 0;
  abilities.write_bits = write_bits;
  abilities.rename_keeps_time = traits.rename_keeps_time;
  return abilities;
}

mode_t KeptMode(bool read_only, mode_t onto_mode,
                const DestinationAbilities& abilities) {
  const mode_t kept = onto_mode & kPermissionBits;
  if (!S_ISREG(onto_mode) || !abilities.keeps_read_only) return kept;
  if (read_only) return kept & ~kAllWrite;
  if ((kept & S_IWUSR) != 0) return kept;
  return (kept & ~kAllWrite) | abilities.write_bits;
}

int SetCopyMode(int fd, mode_t carried, mode_t source_mode,
                const DestinationAbilities& abilities) {
  if (abilities.keeps_permissions) return ::fchmod(fd, carried);
  // A new file there is writable: only a read-only source changes it.
  if (!abilities.keeps_read_only || (source_mode & S_IWUSR) != 0) return 0;
  struct stat status;
  if (::fstat(fd, &status) != 0) return -1;
  return ::fchmod(fd, KeptMode(true, status.st_mode, abilities));
}

int KeepTimesAfterRename(int fd, const timespec times[2],
                         const DestinationAbilities& abilities) {
  if (abilities.rename_keeps_time) return 0;
  return ::futimens(fd, times);
}

}  // namespace fernwise::linux_os
