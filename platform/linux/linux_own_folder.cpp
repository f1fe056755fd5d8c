#include "platform/linux/linux_own_folder.h"

#include <sys/stat.h>
#include <unistd.h>

#include "platform/linux/linux_proc_fd.h"
#include "platform/linux/posix_support.h"

namespace fernwise::linux_os {

namespace {

constexpr mode_t kOwnerWriteSearch = S_IWUSR | S_IXUSR;

}  // namespace

OwnFolderAccess::OwnFolderAccess(int folder) : folder_(folder) {
  const int error = errno;
  struct stat st;
  if (::fstat(folder_, &st) == 0 && S_ISDIR(st.st_mode) &&
      st.st_uid == ::geteuid() &&
      (st.st_mode & kOwnerWriteSearch) != kOwnerWriteSearch) {
    saved_mode_ = st.st_mode & kPermissionBits;
    granted_ = ChmodFd(folder_, saved_mode_ | kOwnerWriteSearch) == 0;
  }
  errno = error;
}

OwnFolderAccess::~OwnFolderAccess() {
  if (!granted_) return;
  // Best effort: the process owns the folder and has just changed its mode,
  // so this can hardly fail, and an error may already be on its way out.
  const int error = errno;
  ChmodFd(folder_, saved_mode_);
  errno = error;
}

}  // namespace fernwise::linux_os
