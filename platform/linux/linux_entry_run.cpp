// The entry's object: its passes, its batch of copies and how it ends.
#include "platform/linux/linux_entry_run.h"

#include <fcntl.h>

#include <algorithm>
#include <cstring>
#include <exception>

#include "platform/linux/linux_flush.h"

namespace fernwise::linux_os {

LinuxEntryRun::LinuxEntryRun(const EntryFolders& folders,
                             ProgressCallback progress, const CopyHooks& hooks)
    : source_(folders.source) {
  tree_.Hold(folders);
  copy_state_.pending = &pending_;
  copy_state_.progress = std::move(progress);
  copy_state_.after_each_chunk = hooks.after_each_chunk;
  copy_state_.now = hooks.now;
  before_change_ = hooks.before_change;
}

LinuxEntryRun::~LinuxEntryRun() {
  read_ahead_.Stop();
  // Settle named whatever it could; copies still waiting here belong to an
  // entry that was not settled, and are never committed by a destructor.
  if (pending_.empty()) return;
  try {
    DiscardCopies(pending_.TakeAll(), 0, [this](const std::string& folder) {
      return tree_.OpenFolder(Role::kDestination, folder, O_PATH);
    });
  } catch (...) {  // the next run's pass erases what is left
  }
}

void LinuxEntryRun::BeginPass(Role walked) {
  read_ahead_.Stop();
  CommitPending();
  ForgetKept();
  stats_.ForgetAll();
  fresh_.Forget();
  ForgetCompleted();
  listed_.Forget();
  walked_ = walked;
  copy_state_.BeginPass();
  read_ahead_.Start(walked, stats_.looks());
}

void LinuxEntryRun::EndPass() {
  read_ahead_.Stop();
  // Between passes every look is made by name.
  listed_.Forget();
  walked_ = Role::kSource;
  fresh_.Forget();
  ForgetCompleted();
  CommitPending();
}

void LinuxEntryRun::CommitPending() {
  if (pending_.empty()) return;
  ForgetCompleted();
  // The targets' names change: nothing read of them stands.
  stats_.ForgetEntries();
  CommitCopies(
      pending_.TakeAll(),
      [this](const std::string& folder) {
        return tree_.OpenFolder(Role::kDestination, folder, O_PATH);
      },
      copy_state_.progress);
}

void LinuxEntryRun::CommitIfPending(const std::string& path) {
  if (pending_.Touches(path)) CommitPending();
}

void LinuxEntryRun::Wrote(Role role, int folder, const std::string& path,
                          std::optional<dev_t> device) {
  const TreeAccess::Root* root = tree_.Held(role);
  if (root == nullptr || role == Role::kSource) return;
  if (std::find(written_.begin(), written_.end(), role) == written_.end())
    written_.push_back(role);
  struct stat status;
  if (!device && ::fstat(folder, &status) != 0) ThrowError("flush", path);
  const dev_t on = device ? *device : status.st_dev;
  const bool on_fuse = OnFuse(folder, on);
  // A drive mounted inside the tree is flushed as the tree's own is.
  const auto same = [&](const std::unique_ptr<LinuxWrittenDrive>& drive) {
    return drive->device() == on;
  };
  if (on != root->device &&
      std::none_of(written_inside_.begin(), written_inside_.end(), same))
    if (auto drive = LinuxWrittenDrive::At(
            folder, on, std::string(SplitPath(path).folder), on_fuse))
      written_inside_.push_back(std::move(drive));
  if (on_fuse && FlushFolder(folder) != 0) ThrowError("flush", path);
}

bool LinuxEntryRun::OnFuse(int folder, dev_t device) {
  for (const auto& [known, on_fuse] : fuse_)
    if (known == device) return on_fuse;
  fuse_.emplace_back(device, OnFuseMount(folder));
  return fuse_.back().second;
}

std::optional<RunError> LinuxEntryRun::Settle(
    std::vector<std::unique_ptr<WrittenDrive>>& written) noexcept {
  read_ahead_.Stop();
  std::optional<RunError> failure;
  try {
    ForgetKept();
    CommitPending();
  } catch (const RunError& error) {
    failure = error;
  } catch (const std::exception&) {  // out of memory
    const TreeAccess::Root* dest = tree_.Held(Role::kDestination);
    failure = RunError(ENOMEM, std::strerror(ENOMEM), "copy file",
                       dest != nullptr ? dest->path : source_);
  }
  // What was written before a failed commit is flushed before the report
  // all the same.
  try {
    for (const Role role : written_) {
      std::unique_ptr<LinuxWrittenDrive> drive =
          LinuxWrittenDrive::Of(*tree_.Held(role));
      const auto same = [&](const std::unique_ptr<WrittenDrive>& known) {
        return known->SameDrive(*drive);
      };
      if (drive && std::none_of(written.begin(), written.end(), same))
        written.push_back(std::move(drive));
    }
    for (std::unique_ptr<LinuxWrittenDrive>& drive : written_inside_) {
      const auto same = [&](const std::unique_ptr<WrittenDrive>& known) {
        return known->SameDrive(*drive);
      };
      if (std::none_of(written.begin(), written.end(), same))
        written.push_back(std::move(drive));
    }
  } catch (...) {  // out of memory: the report's own flush cannot be had
  }
  written_.clear();
  written_inside_.clear();
  return failure;
}

}  // namespace fernwise::linux_os
