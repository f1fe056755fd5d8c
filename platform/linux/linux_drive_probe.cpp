#include "platform/linux/linux_drive_probe.h"

#include <sys/stat.h>
#include <sys/statfs.h>
#include <unistd.h>

#include <climits>
#include <optional>

#include "platform/linux/linux_probe_file.h"
#include "platform/linux/posix_support.h"

namespace fernwise::linux_os {

namespace {

constexpr mode_t kAllWrite = S_IWUSR | S_IWGRP | S_IWOTH;
constexpr uint32_t kReadWriteSearch = uint32_t{0777} << kPermissionShift;
constexpr uint32_t kModeBits = uint32_t{kPermissionBits} << kPermissionShift;

// statfs f_type values; spelled out because older kernel headers lack some.
constexpr uint32_t kMsdosMagic = 0x4d44;
constexpr uint32_t kExfatMagic = 0x2011BAB0;
constexpr uint32_t kNtfsMagic = 0x5346544e;   // the old ntfs driver
constexpr uint32_t kNtfs3Magic = 0x7366746e;  // the ntfs3 driver
constexpr uint32_t kCifsMagic = 0xFF534D42;
constexpr uint32_t kSmb2Magic = 0xFE534D42;

// The probe file, its times and mode set and read back. A mode change is
// refused (fusefat: ENOSYS) or accepted and not kept (exfat-fuse, ntfs-3g:
// every mode reads 0777; the kernel's FAT driver keeps only the write bits,
// all or none, as the read-only attribute).
class LinuxDriveProbe final : public DriveProbe {
 public:
  LinuxDriveProbe(ProbeFile& file, const struct stat& fresh)
      : file_(file),
        fresh_(MaskOf(fresh, file.name())),
        now_(fresh_),
        write_bits_((fresh.st_mode & kAllWrite) != 0 ? fresh.st_mode & kAllWrite
                                                     : S_IWUSR) {}

  // Both times are set, as a copy sets them: exfat-fuse takes a
  // last-modified time set alone for "now".
  std::optional<FileTime> SetAndReadTime(FileTime time) override {
    const timespec times[2] = {TimespecOf(time), TimespecOf(time)};
    struct stat status;
    if (::futimens(file_.fd(), times) != 0 || ::fstat(file_.fd(), &status) != 0)
      return std::nullopt;
    return TimeOf(status.st_mtim);
  }
  std::optional<uint32_t> SetAndReadMask(uint32_t mask) override;
  uint32_t FreshMask() const override { return fresh_; }
  uint32_t SettableBits() const override { return kAttrReadOnly | kModeBits; }
  bool FoundInCapitals() override { return file_.FoundInCapitals(); }
  bool KeepsTimeWhenRenamed() override { return file_.KeepsTimeWhenRenamed(); }

  mode_t write_bits() const { return write_bits_; }

 private:
  ProbeFile& file_;
  const uint32_t fresh_;
  uint32_t now_;  // the mask read last
  const mode_t write_bits_;
};

// The read-only bit, changed alone, stands for all the write bits (as the
// kernel's FAT driver takes them); otherwise the permission bits are set as
// the mask has them.
std::optional<uint32_t> LinuxDriveProbe::SetAndReadMask(uint32_t mask) {
  mode_t mode = (mask >> kPermissionShift) & kPermissionBits;
  const uint32_t changed = mask ^ now_;
  if ((changed & kAttrReadOnly) != 0 &&
      (changed & (uint32_t{S_IWUSR} << kPermissionShift)) == 0)
    mode = (mask & kAttrReadOnly) != 0 ? mode & ~kAllWrite : mode | write_bits_;
  struct stat status;
  if (::fchmod(file_.fd(), mode) != 0 || ::fstat(file_.fd(), &status) != 0)
    return std::nullopt;
  now_ = MaskOf(status, file_.name());
  return now_;
}

size_t NameLimitOf(int folder) {
  const long limit = ::fpathconf(folder, _PC_NAME_MAX);
  return limit > 0 ? static_cast<size_t>(limit) : size_t{NAME_MAX};
}

// A drive keeps a mode or none of it: where the probe kept every read,
// write and search bit, what it could not set of the set-ID bits is this
// process's lack of rights (a group it is not in), which a copy's own
// owner settles; where it kept some only (the write bits of the kernel's
// FAT driver), they stand for the read-only attribute. And the kernel's
// FAT drivers read a time at one fixed offset from UTC (the tz= option, or
// the zone at boot), never an hour off after a daylight-saving change.
DriveTraits ForLinux(DriveTraits traits) {
  if ((traits.kept_bits & kReadWriteSearch) == kReadWriteSearch)
    traits.kept_bits |= kModeBits;
  else
    traits.kept_bits &= ~kModeBits;
  traits.local_time_shift_ns = 0;
  return traits;
}

}  // namespace

DriveType TypeOfDrive(int folder) {
  struct statfs info;
  if (::fstatfs(folder, &info) != 0) return DriveType::kOther;
  switch (static_cast<uint32_t>(info.f_type)) {
    case kMsdosMagic:
      return DriveType::kFat;
    case kExfatMagic:
      return DriveType::kExfat;
    case kNtfsMagic:
    case kNtfs3Magic:
      return DriveType::kNtfs;
    case kCifsMagic:
    case kSmb2Magic:
      return DriveType::kNetworkShare;
    default:
      return DriveType::kOther;
  }
}

DriveTraits TraitsByType(int folder) {
  return ForLinux(TraitsOfType(TypeOfDrive(folder), NameLimitOf(folder)));
}

LearntDrive LearnDrive(int folder) {
  const DriveType type = TypeOfDrive(folder);
  const size_t limit = NameLimitOf(folder);
  const FolderTimeKept kept(folder);
  ProbeFile file(folder, kProbeHead);
  struct stat fresh;
  if (!file.made() || ::fstat(file.fd(), &fresh) != 0)
    return {ForLinux(LearnDriveTraits(type, limit, nullptr))};
  LinuxDriveProbe probe(file, fresh);
  return {ForLinux(LearnDriveTraits(type, limit, &probe)), probe.write_bits()};
}

}  // namespace fernwise::linux_os
