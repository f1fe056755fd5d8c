// What the entry's drives keep, learnt once per drive and entry, and what a
// copy may carry onto them.
#include <fcntl.h>
#include <sys/stat.h>

#include "platform/linux/linux_carry.h"
#include "platform/linux/linux_entry_run.h"

namespace fernwise::linux_os {

namespace {

constexpr char kReadAttributes[] = "read attributes of";

}  // namespace

template <typename OpenFolder>
LearntDrive LinuxEntryRun::Learnt(dev_t device, OpenFolder open_folder) {
  for (const auto& [known_device, drive] : drives_)
    if (known_device == device) return drive;
  const FolderFd folder = open_folder();
  drives_.emplace_back(device, LearnDrive(folder.get()));
  return drives_.back().second;
}

LearntDrive LinuxEntryRun::DriveAt(Role role, const std::string& path,
                                   const struct stat& status) {
  return Learnt(status.st_dev, [&] {
    // A folder on the entry's drive, in the entry's tree.
    return tree_.OpenFolder(role,
                            S_ISDIR(status.st_mode) ? std::string_view(path)
                                                    : SplitPath(path).folder,
                            O_PATH);
  });
}

LearntDrive LinuxEntryRun::DriveOfFolder(int folder, dev_t device) {
  return Learnt(device, [&] { return FolderFd::Borrowed(folder); });
}

// Asked for both sides of every folder whose files differ, but a drive has
// one answer: a source's is read once per entry for each device its folders
// lie on, and a destination's learnt once.
DriveTraits LinuxEntryRun::Traits(Role role, const std::string& folder) {
  const struct stat* status = FolderStatus(role, folder);
  // Not a folder: nothing will be copied into it.
  if (status == nullptr) return DriveTraits();
  if (role != Role::kSource) return DriveAt(role, folder, *status).traits;
  const dev_t device = status->st_dev;
  for (const auto& [known_device, traits] : typed_)
    if (known_device == device) return traits;
  const FolderFd open = tree_.OpenFolder(role, folder, O_PATH);
  typed_.emplace_back(device,
                      open.valid() ? TraitsByType(open.get()) : DriveTraits());
  return typed_.back().second;
}

uint32_t LinuxEntryRun::CarriableBits(const std::string& source,
                                      const std::string& dest) {
  const struct stat from = StatEntry(Role::kSource, source, kReadAttributes);
  const struct stat onto = StatEntry(Role::kDestination, dest, kReadAttributes);
  if ((onto.st_mode & S_IFMT) != (from.st_mode & S_IFMT)) return ~uint32_t{0};
  const LearntDrive drive = DriveAt(Role::kDestination, dest, onto);
  const DestinationAbilities abilities =
      AbilitiesOf(drive.traits, drive.write_bits);
  // Where only the read-only attribute is kept, it is a file's alone.
  if (!abilities.keeps_permissions)
    return S_ISREG(onto.st_mode) ? ~uint32_t{0} : ~uint32_t{kAttrReadOnly};
  // A folder's set-ID bits and ACL mask follow the same rules as a file's.
  if (!S_ISREG(from.st_mode) && !S_ISDIR(from.st_mode)) return ~uint32_t{0};
  const mode_t carried =
      CarriedModeOnto(source, from, dest, onto, kPermissionBits);
  return ~(static_cast<uint32_t>(kPermissionBits & ~carried)
           << kPermissionShift);
}

mode_t LinuxEntryRun::CarriedModeOnto(const std::string& source,
                                      const struct stat& from,
                                      const std::string& target,
                                      const struct stat& onto, mode_t mode) {
  const CarriedOwner carried{onto.st_uid == from.st_uid,
                             onto.st_gid == from.st_gid};
  AclFacts acl;
  bool nosuid = false;
  const auto open_file = [&](Role role, const std::string& path) {
    const Location at = Locate(role, path, kReadAttributes);
    return UniqueFd(
        ::openat(at.folder.get(), at.name.c_str(),
                 O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC));
  };
  // A file that cannot be opened counts as having no ACL.
  if (const UniqueFd in = open_file(Role::kSource, source); in.valid()) {
    acl = ReadAcl(in.get());
    // A folder's set-group-ID bit runs nothing: it only hands on its group.
    nosuid = S_ISREG(from.st_mode) &&
             OnNosuidMount(in.get(), from.st_dev, copy_state_.nosuid_devices);
  }
  if (acl.present) {
    const UniqueFd out = open_file(Role::kDestination, target);
    acl.kept = out.valid() && ReadAcl(out.get()).present;
  }
  return CarriedMode(mode, carried, acl, nosuid);
}

EntryRun::Nesting LinuxEntryRun::NestingOf(Role inner, Role outer) {
  const TreeAccess::Root* in = tree_.Held(inner);
  const TreeAccess::Root* out = tree_.Held(outer);
  if (in == nullptr || out == nullptr) return Nesting::kApart;
  if (in->device == out->device && in->inode == out->inode)
    return Nesting::kSame;
  // Each folder above, as the kernel walks up: through a bind mount's root
  // to the folder it is mounted on, so the mount cannot hide its source.
  UniqueFd folder(
      ::openat(in->fd.get(), "..", O_PATH | O_DIRECTORY | O_CLOEXEC));
  struct stat below {};
  below.st_dev = in->device;
  below.st_ino = in->inode;
  for (struct stat now; folder.valid() && ::fstat(folder.get(), &now) == 0;) {
    if (now.st_dev == out->device && now.st_ino == out->inode)
      return Nesting::kInside;
    if (now.st_dev == below.st_dev && now.st_ino == below.st_ino) break;
    below = now;
    folder.Reset(
        ::openat(folder.get(), "..", O_PATH | O_DIRECTORY | O_CLOEXEC));
  }
  // A bind mount of a folder below `outer` leads up to where it is mounted,
  // not to `outer`: within one file system their places in it still tell.
  if (in->device != out->device) return Nesting::kApart;
  const std::string inner_path = PathInFileSystem(in->fd.get());
  const std::string outer_path = PathInFileSystem(out->fd.get());
  if (inner_path.empty() || outer_path.empty()) return Nesting::kApart;
  const bool nested =
      outer_path == "/" || (inner_path.starts_with(outer_path) &&
                            inner_path[outer_path.size()] == '/');
  return nested ? Nesting::kInside : Nesting::kApart;
}

}  // namespace fernwise::linux_os
