// The flushes that make a run's writes durable on Linux (see
// platform/linux/linux_pending_copies.h for the batch of copies they serve).
// FUSE mounts (USB sticks through fusefat, exfat-fuse, ntfs-3g) ignore
// syncfs: there each file's data and each changed folder are flushed one by
// one as they are made. Before a run reports, every drive it wrote to is
// flushed, so "Done" means on the disk.
#pragma once

#include <sys/types.h>

#include <functional>
#include <memory>
#include <string>

#include "core/file_system.h"
#include "platform/linux/linux_tree_access.h"
#include "platform/linux/posix_support.h"

namespace fernwise::linux_os {

/// Runs `flush` (a syncfs, which can take minutes on a slow drive) on a
/// helper thread, and on this thread calls `meanwhile` every kTickSeconds
/// until it returns, so that the window keeps answering; how far it is
/// comes from the system's count of data waiting to be written. Returns
/// flush's result, with errno as the flush left it.
int FlushAnswering(const std::function<int()>& flush,
                   const ProgressCallback& meanwhile);
inline constexpr double kTickSeconds = 0.03;

/// Whether the open `folder` lies on a FUSE mount, which passes syncfs on
/// to nobody.
bool OnFuseMount(int folder);

/// Flushes the open folder `folder`'s entries (names made, renamed or
/// removed) to the disk: 0, or -1 with errno.
int FlushFolder(int folder);

/// The drive of a destination or secondary folder an entry wrote below,
/// kept open from the entry's end until the run's flush.
class LinuxWrittenDrive final : public WrittenDrive {
 public:
  /// The drive of the held folder `root`; null where the folder cannot be
  /// opened to be flushed.
  static std::unique_ptr<LinuxWrittenDrive> Of(const TreeAccess::Root& root);
  /// The drive of the open folder `folder` (of device `device`), shown as
  /// `shown`: one mounted inside a held folder.
  static std::unique_ptr<LinuxWrittenDrive> At(int folder, dev_t device,
                                               std::string shown, bool on_fuse);

  const std::string& Shown() const override { return shown_; }
  dev_t device() const { return device_; }
  /// By device: the run flushes each file system once.
  bool SameDrive(const WrittenDrive& other) const override;
  /// syncfs; nothing on a FUSE mount, which had each change flushed as it
  /// was made.
  void Flush(const ProgressCallback& progress) override;

 private:
  LinuxWrittenDrive(dev_t device, std::string shown, UniqueFd fd, bool on_fuse)
      : device_(device),
        shown_(std::move(shown)),
        fd_(std::move(fd)),
        on_fuse_(on_fuse) {}

  dev_t device_;
  std::string shown_;
  UniqueFd fd_;  // O_RDONLY: syncfs takes no O_PATH descriptor
  bool on_fuse_;
};

}  // namespace fernwise::linux_os
