#include "platform/linux/linux_read_ahead.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/vfs.h>

#include <chrono>
#include <cstring>

namespace fernwise::linux_os {

namespace {

constexpr uint32_t kTmpfsMagic = 0x01021994;
constexpr uint32_t kRamfsMagic = 0x858458f6;
// Never through a link, and never mounting a drive that waits to be mounted
// on demand.
constexpr int kLookFlags = AT_SYMLINK_NOFOLLOW | AT_NO_AUTOMOUNT;
// As much as the pass's own listing reads at once.
constexpr size_t kListingBytes = 32 * 1024;

bool InMemory(int folder) {
  struct statfs info;
  if (::fstatfs(folder, &info) != 0) return false;
  const auto type = static_cast<uint32_t>(info.f_type);
  return type == kTmpfsMagic || type == kRamfsMagic;
}

Role OtherOf(Role walked) {
  return walked == Role::kSource ? Role::kDestination : Role::kSource;
}

// Whether `name` in `folder` is a folder on the drive `device`: one where
// another drive is mounted, or is to be mounted on demand, is not opened.
bool FolderOnDrive(int folder, const char* name, dev_t device) {
  struct stat status;
  return ::fstatat(folder, name, &status, kLookFlags) == 0 &&
         S_ISDIR(status.st_mode) && status.st_dev == device;
}

bool IsDots(const char* name) {
  return name[0] == '.' &&
         (name[1] == '\0' || (name[1] == '.' && name[2] == '\0'));
}

}  // namespace

void ReadAhead::Start(Role walked, const std::atomic<uint64_t>& looks) {
  Stop();
  const TreeAccess::Root* from = tree_.Held(walked);
  const TreeAccess::Root* to = tree_.Held(OtherOf(walked));
  if (from == nullptr) return;
  // In memory no look waits: reading ahead would only cost time.
  if (InMemory(from->fd.get()) && (to == nullptr || InMemory(to->fd.get())))
    return;
  auto top = std::make_shared<Folder>();
  top->walked.Reset(::openat(from->fd.get(), ".",
                             O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
  if (!top->walked.valid()) return;
  if (to != nullptr)
    top->other.Reset(::openat(to->fd.get(), ".",
                              O_PATH | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
  // The mirror looks at a source entry and at its destination; the sweep
  // and its destination entry's kind from the listing, and looks at the
  // source side only.
  look_walked_ = walked == Role::kSource;
  walked_device_ = from->device;
  other_device_ = to != nullptr ? to->device : 0;
  pass_looks_ = &looks;
  pass_start_ = looks.load(std::memory_order_relaxed);
  made_ = 0;
  stop_ = false;
  walked_all_ = false;
  try {
    threads_.emplace_back([this, top] { Walk(top); });
    for (int i = 0; i < kLookers; ++i)
      threads_.emplace_back([this] { Look(); });
  } catch (...) {  // no thread to be had: the pass reads for itself
    Stop();
  }
}

void ReadAhead::Stop() noexcept {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    stop_ = true;
  }
  posted_.notify_all();
  taken_.notify_all();
  for (std::thread& thread : threads_) thread.join();
  threads_.clear();
  jobs_.clear();
}

uint64_t ReadAhead::PassLooks() const {
  return pass_looks_->load(std::memory_order_relaxed) - pass_start_;
}

// The pass never waits for the helpers: its progress is read every
// millisecond while they wait for it.
bool ReadAhead::MayLook(std::unique_lock<std::mutex>& lock, uint64_t looks) {
  while (!stop_ && made_ + looks > PassLooks() + kLooksAhead)
    taken_.wait_for(lock, std::chrono::milliseconds(1));
  if (stop_) return false;
  made_ += looks;
  return true;
}

// Depth first, every folder's entries named before its first subfolder is
// entered, the subfolders in the listing's order: the order of the passes.
void ReadAhead::Walk(std::shared_ptr<const Folder> top) noexcept {
  try {
    std::vector<Level> levels;
    levels.push_back({std::move(top), {}, 0});
    bool going = List(levels.back());
    while (going && !levels.empty()) {
      Level& level = levels.back();
      if (level.next == level.subfolders.size()) {
        levels.pop_back();
        continue;
      }
      const std::string& name = level.subfolders[level.next++];
      if (levels.size() > kMaxDepth) continue;
      std::shared_ptr<const Folder> child = OpenChild(*level.folder, name);
      if (!child) continue;
      levels.push_back({std::move(child), {}, 0});
      going = List(levels.back());
    }
  } catch (...) {  // out of memory: the pass reads for itself
  }
  std::lock_guard<std::mutex> lock(mutex_);
  walked_all_ = true;
  posted_.notify_all();
}

// Lists the level's folder, naming each entry to the lookers and keeping
// the subfolders' names; false once stopped.
bool ReadAhead::List(Level& level) {
  {
    std::unique_lock<std::mutex> lock(mutex_);
    if (!MayLook(lock, 1)) return false;
  }
  const int folder = level.folder->walked.get();
  const auto buffer = std::make_unique<char[]>(kListingBytes);
  for (;;) {
    const ssize_t got = ::getdents64(folder, buffer.get(), kListingBytes);
    // A listing that fails is the pass's to meet.
    if (got <= 0) return true;
    for (ssize_t at = 0; at < got;) {
      const auto* entry = reinterpret_cast<const dirent64*>(buffer.get() + at);
      at += entry->d_reclen;
      if (IsDots(entry->d_name)) continue;
      const bool subfolder =
          entry->d_type == DT_DIR ||
          (entry->d_type == DT_UNKNOWN &&
           FolderOnDrive(folder, entry->d_name, walked_device_));
      if (subfolder && level.subfolders.size() < kMaxSubfolders)
        level.subfolders.emplace_back(entry->d_name);
      if (!Post({level.folder, entry->d_name})) return false;
    }
  }
}

std::shared_ptr<const ReadAhead::Folder> ReadAhead::OpenChild(
    const Folder& parent, const std::string& name) const {
  const char* text = name.c_str();
  if (!FolderOnDrive(parent.walked.get(), text, walked_device_)) return nullptr;
  auto child = std::make_shared<Folder>();
  child->walked.Reset(
      ::openat(parent.walked.get(), text,
               O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
  if (!child->walked.valid()) return nullptr;
  if (parent.other.valid() &&
      FolderOnDrive(parent.other.get(), text, other_device_))
    child->other.Reset(::openat(parent.other.get(), text,
                                O_PATH | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
  return child;
}

bool ReadAhead::Post(Job job) {
  const uint64_t looks =
      (look_walked_ ? 1 : 0) + (job.folder->other.valid() ? 1 : 0);
  if (looks == 0) return true;
  std::unique_lock<std::mutex> lock(mutex_);
  if (!MayLook(lock, looks)) return false;
  taken_.wait(lock, [this] { return stop_ || jobs_.size() < kMaxWaiting; });
  if (stop_) return false;
  jobs_.push_back(std::move(job));
  posted_.notify_one();
  return true;
}

// Looks at the entries the walk names, each in the trees the pass will look
// at it in, and forgets the answers.
void ReadAhead::Look() noexcept {
  for (;;) {
    Job job;
    {
      std::unique_lock<std::mutex> lock(mutex_);
      posted_.wait(lock,
                   [this] { return stop_ || walked_all_ || !jobs_.empty(); });
      if (stop_ || jobs_.empty()) return;
      job = std::move(jobs_.front());
      jobs_.pop_front();
    }
    taken_.notify_one();
    struct stat status;
    if (look_walked_)
      ::fstatat(job.folder->walked.get(), job.name.c_str(), &status,
                kLookFlags);
    if (job.folder->other.valid())
      ::fstatat(job.folder->other.get(), job.name.c_str(), &status, kLookFlags);
  }
}

}  // namespace fernwise::linux_os
