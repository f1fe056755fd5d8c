// The fail-safe copy of one entry.
#pragma once

#include <sys/stat.h>
#include <sys/types.h>

#include <cstddef>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "core/file_system.h"
#include "platform/linux/destination_abilities.h"

namespace fernwise::linux_os {

/// What the copies of one pass share, kept by the file system and reset
/// when a pass begins: scratch memory for the read/write fallback, allocated
/// on first use so a run of small copies allocates once, the process's
/// effective ids, whether the file system refuses to clone, and which
/// devices are mounted nosuid.
struct CopyState {
  std::unique_ptr<char[]> buffer;
  size_t buffer_size = 0;
  bool ids_known = false;
  uid_t euid = 0;
  gid_t egid = 0;
  /// Sources on this device were refused a clone: the copies that follow
  /// copy their content without asking again.
  std::optional<dev_t> clone_refused_on;
  std::vector<std::pair<dev_t, bool>> nosuid_devices;

  void BeginPass() {
    ids_known = false;
    clone_refused_on.reset();
    nosuid_devices.clear();
  }
};

/// An entry a copy reads or makes: the open folder that holds it, its name
/// there, and its path for messages.
struct EntryAt {
  int folder;
  std::string name;
  const std::string& path;
};

/// Creates or replaces `target` with a copy of `source` (a file, a link, a
/// FIFO, a socket or a device node) whose lstat status is `st`, fail-safe:
/// the copy is built under a temporary name in the target's folder and
/// renamed over it only when complete; on failure the temporary entry is
/// removed and the target left as it was. A device node this process may
/// not make, and an entry whose name or kind the destination refuses, is
/// left out. `onto` says what the destination keeps: where it keeps no
/// permission bits, no mode or owner is set. Nothing is followed: a link is
/// copied as a link, and a link at the target's name is replaced, not
/// written through.
CopyResult CopyEntry(const EntryAt& source, const struct stat& st,
                     const EntryAt& target, CopyState& state,
                     const DestinationAbilities& onto);

}  // namespace fernwise::linux_os
