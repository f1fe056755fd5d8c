#include "platform/linux/linux_carry.h"

#include <sys/statvfs.h>
#include <sys/xattr.h>

#include <cerrno>
#include <cstdint>
#include <cstring>
#include <string>

#include "platform/linux/posix_support.h"

namespace fernwise::linux_os {

namespace {

constexpr char kAccessAcl[] = "system.posix_acl_access";
// A folder's: what the entries made in it start with.
constexpr char kDefaultAcl[] = "system.posix_acl_default";
constexpr char kCapabilities[] = "security.capability";
// The kernel's ACL attribute form: a 32-bit version, then entries of a
// 16-bit tag, 16-bit permissions and a 32-bit id, little-endian.
constexpr uint32_t kAclVersion = 2;
constexpr uint16_t kAclGroupObj = 0x04;
constexpr size_t kAclHeader = 4;
constexpr size_t kAclEntry = 8;

uint32_t Little(std::string_view bytes, size_t at, size_t width) {
  uint32_t value = 0;
  for (size_t i = 0; i < width; ++i)
    value |= uint32_t(static_cast<unsigned char>(bytes[at + i])) << (8 * i);
  return value;
}

// The value of attribute `name` of `fd`; nullopt with errno on failure.
std::optional<std::string> Attribute(int fd, const char* name) {
  for (int attempt = 0; attempt < 4; ++attempt) {
    const ssize_t size = ::fgetxattr(fd, name, nullptr, 0);
    if (size < 0) return std::nullopt;
    std::string value(static_cast<size_t>(size), '\0');
    const ssize_t got = ::fgetxattr(fd, name, value.data(), value.size());
    if (got >= 0) {
      value.resize(static_cast<size_t>(got));
      return value;
    }
    if (errno != ERANGE) return std::nullopt;  // ERANGE: it grew meanwhile
  }
  return std::nullopt;
}

// The names of `fd`'s attributes, NUL-separated; "" with errno on failure.
std::string AttributeNames(int fd) {
  for (int attempt = 0; attempt < 4; ++attempt) {
    const ssize_t size = ::flistxattr(fd, nullptr, 0);
    if (size <= 0) return "";
    std::string names(static_cast<size_t>(size), '\0');
    const ssize_t got = ::flistxattr(fd, names.data(), names.size());
    if (got >= 0) {
      names.resize(static_cast<size_t>(got));
      return names;
    }
    if (errno != ERANGE) return "";
  }
  return "";
}

bool Wanted(std::string_view name, bool privileged) {
  return name.starts_with("user.") || name == kAccessAcl ||
         name == kDefaultAcl || (privileged && name == kCapabilities);
}

// Refusals that mean the target's file system cannot hold the attribute.
bool NotKept(int error) {
  return error == ENOTSUP || error == EOPNOTSUPP || error == EPERM ||
         error == EACCES || error == E2BIG || error == ERANGE ||
         error == EINVAL;
}

}  // namespace

std::optional<mode_t> AclGroupEntry(std::string_view value) {
  if (value.size() < kAclHeader || (value.size() - kAclHeader) % kAclEntry)
    return std::nullopt;
  if (Little(value, 0, 4) != kAclVersion) return std::nullopt;
  for (size_t at = kAclHeader; at < value.size(); at += kAclEntry)
    if (Little(value, at, 2) == kAclGroupObj)
      return static_cast<mode_t>(Little(value, at + 2, 2) & 07);
  return std::nullopt;
}

AclFacts ReadAcl(int fd) {
  AclFacts acl;
  const std::optional<std::string> value = Attribute(fd, kAccessAcl);
  if (!value) return acl;
  if (const std::optional<mode_t> group = AclGroupEntry(*value)) {
    acl.present = true;
    acl.group_entry = *group;
  }
  return acl;
}

int CopyExtendedAttributes(int in, int out, bool privileged, AclFacts& acl) {
  acl = AclFacts();
  const std::string names = AttributeNames(in);
  for (size_t at = 0; at < names.size();) {
    const std::string name(names.c_str() + at);
    at += name.size() + 1;
    if (!Wanted(name, privileged)) continue;
    const std::optional<std::string> value = Attribute(in, name.c_str());
    if (!value) continue;  // removed meanwhile
    const bool is_acl = name == kAccessAcl;
    if (is_acl) {
      const std::optional<mode_t> group = AclGroupEntry(*value);
      acl.present = group.has_value();
      acl.group_entry = group.value_or(07);
    }
    if (::fsetxattr(out, name.c_str(), value->data(), value->size(), 0) == 0)
      continue;
    if (!NotKept(errno)) return errno;
    if (is_acl) acl.kept = false;
  }
  return 0;
}

mode_t CarriedMode(mode_t mode, CarriedOwner carried, const AclFacts& acl,
                   bool nosuid) {
  mode &= kPermissionBits;
  if (!carried.owner || nosuid) mode &= ~mode_t{S_ISUID};
  if (!carried.group || nosuid) mode &= ~mode_t{S_ISGID};
  // With an ACL the group bits are its mask, which grants the named users
  // and groups; without the ACL they would grant the whole owning group.
  if (acl.present && !acl.kept)
    mode = (mode & ~mode_t{S_IRWXG}) | (mode & (acl.group_entry << 3));
  return mode;
}

bool OnNosuidMount(int fd, dev_t device,
                   std::vector<std::pair<dev_t, bool>>& known) {
  for (const auto& [known_device, nosuid] : known)
    if (known_device == device) return nosuid;
  struct statvfs info;
  const bool nosuid =
      ::fstatvfs(fd, &info) == 0 && (info.f_flag & ST_NOSUID) != 0;
  known.emplace_back(device, nosuid);
  return nosuid;
}

}  // namespace fernwise::linux_os
