// The file-system services on Linux, behaving as cp -a and rsync -a users
// expect. They keep nothing of a run: a job entry's passes work through the
// LinuxEntryRun that Enter returns (platform/linux/linux_entry_run.h).
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <utility>

#include "core/entry_run.h"
#include "core/file_system.h"
#include "platform/linux/linux_entry_run.h"

namespace fernwise {

class LinuxFileSystem final : public FileSystem {
 public:
  char Separator() const override { return '/'; }
  /// Bytes.
  size_t NameSize(std::string_view name) const override { return name.size(); }
  /// The copies' temporary names (see linux_os::IsTemporaryName).
  bool IsLeftoverTemporary(const std::string& name) const override;
  std::unique_ptr<EntryRun> Enter(const EntryFolders& folders,
                                  ProgressCallback progress) override;

  std::string ResolvePath(const std::string& path) override;
  bool IgnoresCase() const override { return false; }
  std::string CurrentDirectory() override;
  std::string ReadWholeFile(const std::string& path) override;
  std::unique_ptr<TextOutput> CreateTextFile(const std::string& path) override;
  /// $XDG_STATE_HOME/fernwise, or ~/.local/state/fernwise where that is not
  /// set to an absolute path; the folders missing are made with mode 0700.
  std::string StateFolder() override;
  /// Mode 0600: the file names it holds are the user's own business.
  std::unique_ptr<TextOutput> ReplaceTextFile(const std::string& path) override;
  std::unique_ptr<TextOutput> CreateNewTextFile(
      const std::string& path) override;

  /// For tests only: in the entries entered from now on, `hook` runs after
  /// each piece of a file's content is copied, and `now` times the slices
  /// (see linux_os::CopyState).
  void set_copy_hook(std::function<void(int64_t bytes)> hook,
                     std::function<double()> now = {}) {
    hooks_.after_each_chunk = std::move(hook);
    hooks_.now = std::move(now);
  }
  /// For tests only: in the entries entered from now on, `hook` runs
  /// between the look at an entry and the change made to it.
  void set_change_hook(std::function<void(const std::string& path)> hook) {
    hooks_.before_change = std::move(hook);
  }

 protected:
  /// The user's short date format and time format (LC_TIME as the program
  /// set it with setlocale); ISO 8601 "YYYY-MM-DD" and "HH:MM:SS" in the C
  /// locale.
  LocalDateTimeText LocalTexts(FileTime time) override;

 private:
  linux_os::CopyHooks hooks_;
};

}  // namespace fernwise
