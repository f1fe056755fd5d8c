#include "platform/linux/linux_flush.h"

#include <fcntl.h>
#include <sys/statfs.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <future>
#include <thread>

namespace fernwise::linux_os {

namespace {

// statfs f_type of every FUSE mount.
constexpr uint32_t kFuseMagic = 0x65735546;

// A folder opened for reading, as syncfs and fsync take no O_PATH
// descriptor; invalid where it cannot be opened.
UniqueFd OpenToFlush(int folder) {
  return UniqueFd(::openat(folder, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
}

// The bytes the system holds to be written to disks (Dirty and Writeback of
// /proc/meminfo), or -1 where it cannot tell.
int64_t WaitingBytes() {
  std::FILE* info = std::fopen("/proc/meminfo", "re");
  if (info == nullptr) return -1;
  int64_t waiting = 0;
  int found = 0;
  char line[256];
  while (found < 2 && std::fgets(line, sizeof line, info) != nullptr) {
    long long kib = 0;
    if (std::sscanf(line, "Dirty: %lld kB", &kib) == 1 ||
        std::sscanf(line, "Writeback: %lld kB", &kib) == 1) {
      waiting += kib * 1024;
      ++found;
    }
  }
  std::fclose(info);
  return found == 2 ? waiting : -1;
}

}  // namespace

int FlushAnswering(const std::function<int()>& flush,
                   const ProgressCallback& meanwhile) {
  if (!meanwhile) return flush();
  const int64_t before = WaitingBytes();
  std::packaged_task<std::pair<int, int>()> task([&flush] {
    const int result = flush();
    return std::pair{result, errno};  // errno is the helper thread's own
  });
  std::future<std::pair<int, int>> done = task.get_future();
  std::thread helper(std::move(task));
  const auto tick = std::chrono::duration<double>(kTickSeconds);
  while (done.wait_for(tick) != std::future_status::ready) {
    const int64_t now = WaitingBytes();
    if (before > 0 && now >= 0)
      meanwhile(std::max<int64_t>(0, before - now), before);
    else
      meanwhile(0, -1);
  }
  helper.join();
  const auto [result, error] = done.get();
  meanwhile(1, 1);  // the step is over
  errno = error;
  return result;
}

bool OnFuseMount(int folder) {
  struct statfs info;
  return ::fstatfs(folder, &info) == 0 &&
         static_cast<uint32_t>(info.f_type) == kFuseMagic;
}

int FlushFolder(int folder) {
  const UniqueFd open = OpenToFlush(folder);
  if (!open.valid()) return -1;
  return ::fsync(open.get());
}

std::unique_ptr<LinuxWrittenDrive> LinuxWrittenDrive::Of(
    const TreeAccess::Root& root) {
  UniqueFd fd = OpenToFlush(root.fd.get());
  if (!fd.valid()) return nullptr;
  return std::unique_ptr<LinuxWrittenDrive>(new LinuxWrittenDrive(
      root.device, root.path, std::move(fd), root.on_fuse));
}

std::unique_ptr<LinuxWrittenDrive> LinuxWrittenDrive::At(int folder,
                                                        dev_t device,
                                                        std::string shown,
                                                        bool on_fuse) {
  UniqueFd fd = OpenToFlush(folder);
  if (!fd.valid()) return nullptr;
  return std::unique_ptr<LinuxWrittenDrive>(
      new LinuxWrittenDrive(device, std::move(shown), std::move(fd), on_fuse));
}

bool LinuxWrittenDrive::SameDrive(const WrittenDrive& other) const {
  const auto* linux_drive = dynamic_cast<const LinuxWrittenDrive*>(&other);
  return linux_drive != nullptr && linux_drive->device_ == device_;
}

void LinuxWrittenDrive::Flush(const ProgressCallback& progress) {
  // FUSE mounts had each change flushed as it was made.
  if (on_fuse_) return;
  const int fd = fd_.get();
  if (FlushAnswering([fd] { return ::syncfs(fd); }, progress) != 0)
    ThrowError("flush", shown_);
}

}  // namespace fernwise::linux_os
