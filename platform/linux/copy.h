// The fail-safe copy of one entry.
#pragma once

#include <sys/stat.h>
#include <sys/types.h>

#include <cstddef>
#include <memory>
#include <optional>
#include <string>

namespace fernwise::linux_os {

/// What the copies of one pass share, kept by the file system and reset
/// when a pass begins: scratch memory for the read/write fallback, allocated
/// on first use so a run of small copies allocates once, the process's
/// effective ids, and whether the file system refuses to clone.
struct CopyState {
  std::unique_ptr<char[]> buffer;
  size_t buffer_size = 0;
  bool ids_known = false;
  uid_t euid = 0;
  gid_t egid = 0;
  /// Sources on this device were refused a clone: the copies that follow
  /// copy their content without asking again.
  std::optional<dev_t> clone_refused_on;

  void BeginPass() {
    ids_known = false;
    clone_refused_on.reset();
  }
};

/// Creates or replaces `target` with a copy of the entry at `source` (a file,
/// a link, a FIFO, a socket or a device node) whose lstat status is `st`,
/// fail-safe: the copy is built under a temporary name beside the target and
/// renamed over it only when complete; on failure the temporary entry is
/// removed and the target left as it was.
void CopyEntry(const std::string& source, const struct stat& st,
               const std::string& target, CopyState& state);

}  // namespace fernwise::linux_os
