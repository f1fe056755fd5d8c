// The one folder listing in progress, read straight from the kernel.
#pragma once

#include <cstddef>
#include <memory>

#include "platform/linux/posix_support.h"

namespace fernwise::linux_os {

/// Reads a folder's entries with getdents64 into a buffer that every
/// listing reuses. A pass lists every folder of both trees, and most hold a
/// few entries: readdir's DIR would cost an allocation and two more system
/// calls for each (fdopendir's checks), as many again as the listing itself.
class FolderListing {
 public:
  /// Starts listing the folder `fd`, opened for reading, which the listing
  /// owns from now on; ends any listing in progress.
  void Start(UniqueFd fd);
  /// Ends the listing in progress, if any.
  void Stop() {
    fd_.Reset();
    ended_.Reset();
  }
  bool active() const { return fd_.valid(); }
  /// The next entry's name, valid until the next call, and its d_type; or
  /// nullptr when the listing is exhausted (errno 0; the listing ends) or
  /// the kernel fails (errno set; the listing ends too).
  const char* Next(unsigned char& type);
  /// The folder of the listing that was last read to its end, for the
  /// caller to keep (the look at each entry that follows needs it open);
  /// invalid once taken, or when the listing failed or was stopped.
  UniqueFd TakeEnded() { return std::move(ended_); }

 private:
  UniqueFd fd_;
  UniqueFd ended_;
  std::unique_ptr<char[]> buffer_;
  size_t filled_ = 0;
  size_t at_ = 0;
};

}  // namespace fernwise::linux_os
