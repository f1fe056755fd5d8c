#include "platform/linux/linux_listing.h"

#include <dirent.h>

#include <cerrno>
#include <cstddef>

namespace fernwise::linux_os {

namespace {

// As much as glibc's readdir asks for at once.
constexpr size_t kBufferBytes = 32 * 1024;

}  // namespace

void FolderListing::Start(UniqueFd fd) {
  if (!buffer_) buffer_ = std::make_unique<char[]>(kBufferBytes);
  fd_ = std::move(fd);
  ended_.Reset();
  filled_ = 0;
  at_ = 0;
}

const char* FolderListing::Next(unsigned char& type) {
  if (at_ == filled_) {
    ssize_t got;
    do {
      got = ::getdents64(fd_.get(), buffer_.get(), kBufferBytes);
    } while (got < 0 && errno == EINTR);
    if (got <= 0) {
      const int error = got < 0 ? errno : 0;
      if (error == 0) ended_ = std::move(fd_);
      fd_.Reset();
      errno = error;
      return nullptr;
    }
    filled_ = static_cast<size_t>(got);
    at_ = 0;
  }
  const auto* entry = reinterpret_cast<const dirent64*>(buffer_.get() + at_);
  at_ += entry->d_reclen;
  type = entry->d_type;
  return entry->d_name;
}

}  // namespace fernwise::linux_os
