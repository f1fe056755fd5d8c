#include "platform/linux/linux_pending_copies.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>

#include "platform/linux/linux_flush.h"
#include "platform/linux/linux_own_folder.h"
#include "platform/linux/linux_proc_fd.h"

namespace fernwise::linux_os {

namespace {

constexpr char kCopyFile[] = "copy file";

// A folder's path as the copies' folders are kept: without a trailing slash.
std::string_view TrimmedFolder(std::string_view path) {
  while (path.size() > 1 && path.back() == '/') path.remove_suffix(1);
  return path;
}

// One syncfs for each file system the batch lies on: it waits for all of
// that file system's data.
void FlushBatch(const std::vector<PendingCopy>& copies,
                const std::function<FolderFd(const std::string&)>& open_folder,
                const ProgressCallback& meanwhile) {
  std::vector<dev_t> flushed;
  for (const PendingCopy& copy : copies) {
    if (std::find(flushed.begin(), flushed.end(), copy.status.st_dev) !=
        flushed.end())
      continue;
    const FolderFd folder = open_folder(copy.folder);
    // syncfs takes no O_PATH descriptor.
    const UniqueFd open(
        folder.valid()
            ? ::openat(folder.get(), ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC)
            : -1);
    const int fd = open.get();
    if (!open.valid() ||
        FlushAnswering([fd] { return ::syncfs(fd); }, meanwhile) != 0)
      ThrowError(kCopyFile, copy.path);
    flushed.push_back(copy.status.st_dev);
  }
}

// Gives the finished copy its name in `at`; one whose target the pass knew
// free without a look never replaces an entry (EEXIST). Where the file
// system cannot rename without replacing, the name is looked at just
// before, as the pass would have looked.
int Rename(int at, const PendingCopy& copy) {
  const char* from = copy.temp_name.c_str();
  const char* to = copy.name.c_str();
  if (!copy.only_if_free) return ::renameat(at, from, at, to);
  if (::renameat2(at, from, at, to, RENAME_NOREPLACE) == 0) return 0;
  if (errno != EINVAL && errno != ENOSYS && errno != EOPNOTSUPP) return -1;
  struct stat existing;
  if (::fstatat(at, to, &existing, AT_SYMLINK_NOFOLLOW) == 0) {
    errno = EEXIST;
    return -1;
  }
  return errno == ENOENT ? ::renameat(at, from, at, to) : -1;
}

// Gives the copy its name in `at`, its folder found afresh. Its times, where
// a rename loses them, go to the very file that was copied: it is opened
// before the rename and checked (device and inode).
void Name(int at, const PendingCopy& copy) {
  UniqueFd made;
  if (copy.times_after_rename) {
    made.Reset(
        ::openat(at, copy.temp_name.c_str(), O_PATH | O_NOFOLLOW | O_CLOEXEC));
    struct stat now;
    if (!made.valid() || ::fstat(made.get(), &now) != 0 ||
        now.st_dev != copy.status.st_dev || now.st_ino != copy.status.st_ino)
      ThrowError(kCopyFile, copy.path, made.valid() ? ESTALE : errno);
  }
  // A read-only folder of the process's own lends its write bit again, as
  // it did for the temporary file.
  if (InOwnFolder(at, [&] { return Rename(at, copy); }) != 0)
    ThrowError(kCopyFile, copy.path);
  if (made.valid() && SetTimesFd(made.get(), copy.times) != 0)
    ThrowError(kCopyFile, copy.path);
}

// Gives the folder its time, where it is still the folder that was seen.
void SetFolderTime(const PendingFolderTime& time,
                   const std::function<FolderFd(const std::string&)>& open) {
  const FolderFd folder = open(time.path);
  struct stat now;
  if (!folder.valid() || ::fstat(folder.get(), &now) != 0 ||
      now.st_dev != time.device || now.st_ino != time.inode)
    return;  // gone or replaced meanwhile: the next run sets it
  if (SetTimesFd(folder.get(), time.times) != 0 && !FolderTimeRefused(errno))
    ThrowError("set last-modified time of", time.path);
}

}  // namespace

bool FolderTimeRefused(int error) {
  return error == EPERM || error == EACCES || error == ENOSYS ||
         error == EOPNOTSUPP;
}

// What each entry of the containers costs besides its path's bytes.
constexpr size_t kEntryBytes = 64;

void PendingCopies::AddFolderTime(PendingFolderTime time) {
  bookkeeping_ += sizeof time + time.path.size();
  folder_times_.push_back(std::move(time));
}

PendingCopies::PathUse& PendingCopies::Use(std::string_view path) {
  const size_t at = paths_.Add(path);
  if (at == uses_.size()) uses_.emplace_back();
  return uses_[at];
}

void PendingCopies::Add(PendingCopy copy) {
  bytes_ += copy.status.st_size;
  // Its path twice (its own and the index's), its folder's, its names.
  bookkeeping_ += sizeof copy + kEntryBytes + 2 * copy.path.size() +
                  copy.folder.size() + copy.temp_name.size() + copy.name.size();
  copies_.push_back(std::move(copy));
  const PendingCopy& added = copies_.back();
  Use(added.path).copy = static_cast<uint32_t>(copies_.size());
  // The copy's folder and every folder above it, up to the first one known
  // already (whose own are known with it): so that Touches asks a few names
  // instead of looking through every folder of the batch.
  for (std::string_view folder = TrimmedFolder(added.folder);;) {
    PathUse& use = Use(folder);
    if (use.folder) break;
    use.folder = true;
    if (folder == "/") break;
    bookkeeping_ += kEntryBytes + folder.size();
    folder = TrimmedFolder(SplitPath(folder).folder);
  }
}

const struct stat* PendingCopies::Find(const std::string& path) const {
  if (copies_.empty()) return nullptr;
  const size_t at = paths_.Find(path);
  return at == NameTable::kNone || uses_[at].copy == 0
             ? nullptr
             : &copies_[uses_[at].copy - 1].status;
}

bool PendingCopies::Touches(std::string_view path) const {
  if (copies_.empty()) return false;
  path = TrimmedFolder(path);
  // A waiting copy's target, or a folder that holds one somewhere below.
  return paths_.Find(path) != NameTable::kNone;
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
  paths_.Clear();
  uses_.clear();
  bytes_ = 0;
  bookkeeping_ = 0;
  next_kept_ = 0;
  return {std::exchange(copies_, {}), std::exchange(made_in_, {}),
          std::exchange(folder_times_, {})};
}

void DiscardCopies(
    const PendingBatch& batch, size_t from,
    const std::function<FolderFd(const std::string&)>& open_folder) noexcept {
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

void CommitCopies(
    PendingBatch batch,
    const std::function<FolderFd(const std::string&)>& open_folder,
    const ProgressCallback& meanwhile) {
  const std::vector<PendingCopy>& copies = batch.copies;
  size_t named = 0;
  try {
    FlushBatch(copies, open_folder, meanwhile);
    FolderFd folder;
    const std::string* folder_path = nullptr;
    for (; named < copies.size(); ++named) {
      const PendingCopy& copy = copies[named];
      if (folder_path == nullptr || *folder_path != copy.folder) {
        folder = open_folder(copy.folder);
        folder_path = &copy.folder;
        if (!folder.valid()) ThrowError(kCopyFile, copy.path);
      }
      Name(folder.get(), copy);
    }
    for (const PendingFolderTime& time : batch.folder_times)
      SetFolderTime(time, open_folder);
  } catch (...) {
    DiscardCopies(batch, named, open_folder);
    throw;
  }
}

}  // namespace fernwise::linux_os
