// What of a file's mode, owner, ACL and extended attributes a copy carries.
// A copy never grants more than its source: set-user-ID and set-group-ID
// stay only where the owner and the group came along (as cp -p keeps them),
// never from a source mounted nosuid, and where an ACL could not come along
// the group bits (the ACL's mask) are cut back to the ACL's owning-group
// entry.
#pragma once

#include <sys/stat.h>
#include <sys/types.h>

#include <optional>
#include <string_view>
#include <utility>
#include <vector>

namespace fernwise::linux_os {

/// Whether a copy has its source's owner and group.
struct CarriedOwner {
  bool owner = true;
  bool group = true;
};

/// A file's access ACL, as far as its copy's mode depends on it.
struct AclFacts {
  bool present = false;     ///< the source has an access ACL
  bool kept = true;         ///< its copy has one too
  mode_t group_entry = 07;  ///< the ACL's owning-group permissions (rwx)
};

/// The owning-group entry's permissions of a POSIX ACL in its extended
/// attribute form; nullopt when the value is not such an ACL.
std::optional<mode_t> AclGroupEntry(std::string_view value);

/// The access ACL of the open file `fd`.
AclFacts ReadAcl(int fd);

/// Copies the extended attributes a backup keeps from `in` to `out`: every
/// user.* attribute, the access ACL and, when `privileged`, the file
/// capabilities. An attribute the target's file system refuses stays
/// behind; any other failure is returned as an errno value. Says in `acl`
/// whether the source had an access ACL and whether it came along.
int CopyExtendedAttributes(int in, int out, bool privileged, AclFacts& acl);

/// The permission bits a copy of a file of `mode` may have, given what came
/// along with it.
mode_t CarriedMode(mode_t mode, CarriedOwner carried, const AclFacts& acl,
                   bool nosuid);

/// Whether the file system holding the open `fd` (on `device`) ignores
/// set-ID bits; asked once per device, remembered in `known`.
bool OnNosuidMount(int fd, dev_t device,
                   std::vector<std::pair<dev_t, bool>>& known);

}  // namespace fernwise::linux_os
