#include "platform/linux/durability.h"

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

// A folder's path as the copies' folders are kept: without a trailing slash.
std::string_view TrimmedFolder(std::string_view path) {
  while (path.size() > 1 && path.back() == '/') path.remove_suffix(1);
  return path;
}

// A folder opened for reading, as syncfs and fsync take no O_PATH
// descriptor; invalid where it cannot be opened.
UniqueFd OpenToFlush(int folder) {
  return UniqueFd(::openat(folder, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
}

// statfs f_type of every FUSE mount.
constexpr uint32_t kFuseMagic = 0x65735546;

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
                   const ProgressTick& meanwhile) {
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

void PendingCopies::Add(PendingCopy copy) {
  bytes_ += copy.status.st_size;
  by_path_[copy.path] = copies_.size();
  // The copy's folder and every folder above it, up to the first one known
  // already (whose own are known with it): so that Touches asks a few names
  // instead of looking through every folder of the batch.
  for (std::string_view folder = TrimmedFolder(copy.folder);
       folders_.insert(std::string(folder)).second && folder != "/";) {
    folder = TrimmedFolder(SplitPath(folder).folder);
  }
  copies_.push_back(std::move(copy));
}

const struct stat* PendingCopies::Find(const std::string& path) const {
  if (copies_.empty()) return nullptr;
  const auto found = by_path_.find(path);
  return found == by_path_.end() ? nullptr : &copies_[found->second].status;
}

bool PendingCopies::Touches(std::string_view path) const {
  if (copies_.empty()) return false;
  path = TrimmedFolder(path);
  // A waiting copy's target, or a folder that holds one somewhere below.
  return by_path_.contains(path) || folders_.contains(path);
}

void PendingCopies::KeepFolder(std::string_view path, FolderFd& folder) {
  for (const auto& [kept_path, fd] : made_in_)
    if (kept_path == path) return;
  UniqueFd fd = folder.TakeOwned();
  if (!fd.valid()) return;
  if (made_in_.size() < kKeptFolders) {
    made_in_.emplace_back(std::string(path), std::move(fd));
    return;
  }
  made_in_[next_kept_] = {std::string(path), std::move(fd)};
  next_kept_ = (next_kept_ + 1) % kKeptFolders;
}

PendingBatch PendingCopies::TakeAll() {
  by_path_.clear();
  folders_.clear();
  bytes_ = 0;
  next_kept_ = 0;
  return {std::exchange(copies_, {}), std::exchange(made_in_, {})};
}

void WrittenFileSystems::Wrote(const TreeAccess::Root& root) {
  if (std::find(written_roots_.begin(), written_roots_.end(), &root) ==
      written_roots_.end())
    written_roots_.push_back(&root);
}

void WrittenFileSystems::Keep() {
  for (const TreeAccess::Root* root : written_roots_) {
    // Only roots the tree still holds: the pointer names the slot, and the
    // slot stays until the tree lets go.
    if (!root->fd.valid()) continue;
    const auto same = [&](const FileSystemFd& known) {
      return known.device == root->device;
    };
    if (std::any_of(file_systems_.begin(), file_systems_.end(), same)) continue;
    UniqueFd fd = OpenToFlush(root->fd.get());
    if (fd.valid())
      file_systems_.push_back(
          {root->device, root->path, std::move(fd), root->on_fuse});
  }
  written_roots_.clear();
}

std::vector<std::string> WrittenFileSystems::Unflushed() const {
  std::vector<std::string> shown;
  for (const FileSystemFd& file_system : file_systems_)
    shown.push_back(file_system.shown);
  return shown;
}

int WrittenFileSystems::Flush(const std::string& shown,
                              const ProgressTick& meanwhile) {
  const auto found = std::find_if(
      file_systems_.begin(), file_systems_.end(),
      [&](const FileSystemFd& known) { return known.shown == shown; });
  if (found == file_systems_.end()) return 0;
  // FUSE mounts had each change flushed as it was made.
  const int result =
      found->on_fuse
          ? 0
          : FlushAnswering([fd = found->fd.get()] { return ::syncfs(fd); },
                           meanwhile);
  const int error = errno;
  file_systems_.erase(found);
  errno = error;
  return result;
}

namespace {

// Removes what is left of a batch that will not be named: in the folder
// each was made in where that is kept open, else in the one its path leads
// to now. One that cannot be reached stays for a later run's pass to erase.
void Discard(const PendingBatch& batch, size_t from,
             const std::function<FolderFd(const std::string&)>& open_folder) {
  for (size_t i = from; i < batch.copies.size(); ++i) {
    const PendingCopy& copy = batch.copies[i];
    const auto kept = std::find_if(
        batch.made_in.begin(), batch.made_in.end(),
        [&](const auto& made_in) { return made_in.first == copy.folder; });
    const FolderFd folder = kept != batch.made_in.end()
                                ? FolderFd::Borrowed(kept->second.get())
                                : open_folder(copy.folder);
    if (folder.valid()) ::unlinkat(folder.get(), copy.temp_name.c_str(), 0);
  }
}

}  // namespace

void CommitCopies(
    PendingBatch batch,
    const std::function<FolderFd(const std::string&)>& open_folder,
    const ProgressTick& meanwhile) {
  constexpr char kOperation[] = "copy file";
  const std::vector<PendingCopy>& copies = batch.copies;
  size_t named = 0;
  try {
    // One flush for each file system: syncfs waits for all of its data.
    std::vector<dev_t> flushed;
    for (const PendingCopy& copy : copies) {
      if (std::find(flushed.begin(), flushed.end(), copy.status.st_dev) !=
          flushed.end())
        continue;
      const FolderFd folder = open_folder(copy.folder);
      UniqueFd open = folder.valid() ? OpenToFlush(folder.get()) : UniqueFd();
      const int fd = open.get();
      if (!open.valid() ||
          FlushAnswering([fd] { return ::syncfs(fd); }, meanwhile) != 0)
        ThrowError(kOperation, copy.path);
      flushed.push_back(copy.status.st_dev);
    }
    FolderFd folder;
    const std::string* folder_path = nullptr;
    for (; named < copies.size(); ++named) {
      const PendingCopy& copy = copies[named];
      if (folder_path == nullptr || *folder_path != copy.folder) {
        folder = open_folder(copy.folder);
        folder_path = &copy.folder;
        if (!folder.valid()) ThrowError(kOperation, copy.path);
      }
      const int at = folder.get();
      // A read-only folder of the process's own lends its write bit again,
      // as it did for the temporary file.
      if (InOwnFolder(at, [&] {
            return ::renameat(at, copy.temp_name.c_str(), at,
                              copy.name.c_str());
          }) != 0)
        ThrowError(kOperation, copy.path);
      if (copy.times_after_rename &&
          ::utimensat(at, copy.name.c_str(), copy.times, AT_SYMLINK_NOFOLLOW) !=
              0)
        ThrowError(kOperation, copy.path);
    }
  } catch (...) {
    Discard(batch, named, open_folder);
    throw;
  }
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

}  // namespace fernwise::linux_os
