// A probe file: a file the program makes in a destination folder to find
// out what the drive there does (core/drive_traits.h, and the refusals of
// platform/linux/linux_refusal.h), removed again, the folder's
// last-modified time put back, so that a run which changes nothing in a
// destination leaves it as it was.
#pragma once

#include <sys/stat.h>

#include <string>

#include "platform/linux/posix_support.h"

namespace fernwise::linux_os {

/// What the name of a probe file of a plain name begins with.
inline constexpr char kProbeHead[] = ".fernwise-probe.";

/// A file made under a fresh temporary name (core/temporary_name.h) that
/// begins with `head` in the open folder `folder`, removed when the object
/// ends: one a kill left behind is known as a leftover.
class ProbeFile {
 public:
  ProbeFile(int folder, std::string head);
  ProbeFile(const ProbeFile&) = delete;
  ProbeFile& operator=(const ProbeFile&) = delete;
  ~ProbeFile();

  bool made() const { return fd_.valid(); }
  int fd() const { return fd_.get(); }
  const std::string& name() const { return name_; }
  /// Whether the file is found by its name in capitals: the name is in
  /// small letters, so only a drive that ignores case finds it that way.
  bool FoundInCapitals() const;
  /// Whether the file keeps its last-modified time when renamed: fusefat
  /// gives a renamed file the time of the rename.
  bool KeepsTimeWhenRenamed();

 private:
  int folder_;
  std::string head_;
  UniqueFd fd_;
  std::string name_;
};

/// Puts the last-modified time of the open folder `folder` back when the
/// object ends, where the probes made in it changed it. errno survives.
class FolderTimeKept {
 public:
  explicit FolderTimeKept(int folder)
      : folder_(folder), known_(::fstat(folder, &before_) == 0) {}
  FolderTimeKept(const FolderTimeKept&) = delete;
  FolderTimeKept& operator=(const FolderTimeKept&) = delete;
  ~FolderTimeKept();

 private:
  int folder_;
  struct stat before_;
  bool known_;
};

}  // namespace fernwise::linux_os
