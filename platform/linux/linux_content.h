// The content of a regular file, copied from one open file to another.
#pragma once

#include <sys/stat.h>
#include <sys/types.h>

#include <string>

#include "platform/linux/linux_copy.h"

namespace fernwise::linux_os {

/// Copies the content of the open regular file `in`, whose status is `st`,
/// to the empty open file `out`: a clone where the file system can share
/// blocks; where `in` has holes, its data extents alone, so that the holes
/// stay holes; else in the kernel, or through a buffer where the kernel
/// cannot. Returns how far the content was copied: st_size, or less where
/// the source ended before it (it shrank meanwhile). Throws RunError naming
/// `source` or `target` on a failure of either.
off_t CopyContent(int in, int out, const struct stat& st,
                  const std::string& source, const std::string& target,
                  CopyState& state);

/// Whether the open files `a` and `b`, both `size` bytes long as they were
/// opened, hold the same bytes: read side by side in slices of
/// CopyState's buffer, each slice told to `state.progress`. False where
/// either ends early. Throws RunError naming `a_path` or `b_path` on a read
/// failure.
bool SameBytes(int a, int b, off_t size, const std::string& a_path,
               const std::string& b_path, CopyState& state);

}  // namespace fernwise::linux_os
