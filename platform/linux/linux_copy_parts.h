// What the copy of each kind of entry shares (platform/linux/linux_copy.cpp
// for files, linux_copy_kinds.cpp for links and special files).
#pragma once

#include <sys/stat.h>

#include <functional>
#include <optional>
#include <utility>

#include "platform/linux/linux_carry.h"
#include "platform/linux/linux_copy.h"
#include "platform/linux/linux_temp_entry.h"

namespace fernwise::linux_os {

inline constexpr char kCopyFile[] = "copy file";

/// One copy: what it reads, what it makes, and how.
struct CopyJob {
  const EntryAt& source;
  const EntryAt& target;
  CopyState& state;
  const DestinationAbilities& onto;
  TargetName naming;
  Landing landing;
};

/// The source's owner and group where this process may set them, as cp -a
/// keeps them; a refusal is not a failure (an ordinary user keeps their
/// own). `change` is chown's call for the copy, and what is returned says
/// what came along. Not tried where the destination keeps no permission
/// bits: owners mean nothing there either.
CarriedOwner KeepOwner(const struct stat& st, CopyState& state,
                       const DestinationAbilities& onto,
                       const std::function<int(uid_t, gid_t)>& change);

/// The process's effective user and group ids, read once per pass.
std::pair<uid_t, gid_t> EffectiveIds(CopyState& state);

/// What a copy that the destination refused leaves out, and why.
CopyResult LeftOut(const TempEntry& temp, const struct stat& st,
                   const DestinationAbilities& onto);

/// A copy that took its name, or found it taken.
CopyResult Named(bool committed);

CopyResult CopyLink(const CopyJob& job, const struct stat& st);
CopyResult CopySpecial(const CopyJob& job, const struct stat& st);

}  // namespace fernwise::linux_os
