// Reading ahead of a pass. Yesterday's backup, a few changes, the page cache
// long since emptied: there a pass waits on the disk at every look, one look
// at a time. Helper threads walk the trees the pass walks, in its order and
// a bounded distance ahead of it, listing the folders and looking at the
// entries it will look at next, so that its own looks find the kernel's
// caches warm, and so that several reads wait on the disk at once.
//
// They change nothing and keep nothing: what they read goes nowhere but
// into the kernel's caches, and the pass reads for itself everything it
// decides on. Everything is reached from the entry's held folders one name
// at a time, never through a link (O_NOFOLLOW, AT_SYMLINK_NOFOLLOW), and
// never into another drive, so that no drive is mounted on demand by a
// look of theirs. Their threads, open folders and memory are bounded, and
// Stop ends them: nothing is read for a pass that has ended.
#pragma once

#include <sys/types.h>

#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "core/entry_run.h"
#include "platform/linux/linux_tree_access.h"
#include "platform/linux/posix_support.h"

namespace fernwise::linux_os {

class ReadAhead {
 public:
  /// How many looks (a folder's listing, an entry's status) the helpers may
  /// make ahead of the pass's own: enough to keep the disk busy, few enough
  /// that what they read is still cached when the pass comes to it.
  static constexpr uint64_t kLooksAhead = 4096;
  /// The helpers: one walks the tree and lists its folders, the others look
  /// at the entries it names, so that their reads wait on the disk together.
  static constexpr int kLookers = 3;
  /// Folders more levels below the top than this are not read ahead: each
  /// level keeps its folder open in both trees.
  static constexpr size_t kMaxDepth = 48;
  /// Entries named and not yet looked at. Each keeps its folder open in
  /// both trees until it is looked at: with the levels of the walk, at most
  /// 2 * (kMaxDepth + 1 + kMaxWaiting + kLookers) descriptors, well within
  /// the 1,024 a process is given by default, the pass's own beside them.
  static constexpr size_t kMaxWaiting = 64;
  /// Subfolders kept, for each level of the walk, to be entered in turn: a
  /// folder of a million subfolders is read ahead as far as its first ones.
  static constexpr size_t kMaxSubfolders = 2048;

  explicit ReadAhead(const TreeAccess& tree) : tree_(tree) {}
  ReadAhead(const ReadAhead&) = delete;
  ReadAhead& operator=(const ReadAhead&) = delete;
  ~ReadAhead() { Stop(); }

  /// Starts reading ahead of a pass that walks the tree of `walked` from
  /// its held folder, folder by folder in the listing's order, and looks at
  /// the same names in the other tree of the entry (the destination for a
  /// walk of the source, the source for one of the destination). `looks`
  /// counts the pass's own looks. Where no tree the pass reads lies on a
  /// disk (all in memory), or no helper can be started, nothing is read.
  void Start(Role walked, const std::atomic<uint64_t>& looks);
  /// Stops the helpers and waits for them to end: nothing is read ahead
  /// once this returns. Never throws.
  void Stop() noexcept;

  /// The looks made ahead in this pass so far, for tests.
  uint64_t made() const { return made_.load(); }

 private:
  /// A folder at the same place in both trees: the walked one open for
  /// listing, its counterpart for looks by name (invalid where missing).
  struct Folder {
    UniqueFd walked;
    UniqueFd other;
  };
  /// An entry named by a listing, to be looked at.
  struct Job {
    std::shared_ptr<const Folder> folder;
    std::string name;
  };
  /// A folder of the walk, with the subfolders its listing named.
  struct Level {
    std::shared_ptr<const Folder> folder;
    std::vector<std::string> subfolders;
    size_t next = 0;
  };

  void Walk(std::shared_ptr<const Folder> top) noexcept;
  bool List(Level& level);
  std::shared_ptr<const Folder> OpenChild(const Folder& parent,
                                          const std::string& name) const;
  /// Waits until `looks` more may be made without running too far ahead
  /// of the pass; false once stopped.
  bool MayLook(std::unique_lock<std::mutex>& lock, uint64_t looks);
  bool Post(Job job);
  void Look() noexcept;
  uint64_t PassLooks() const;

  const TreeAccess& tree_;
  const std::atomic<uint64_t>* pass_looks_ = nullptr;
  uint64_t pass_start_ = 0;
  dev_t walked_device_ = 0;
  dev_t other_device_ = 0;
  bool look_walked_ = false;  // the pass looks at the walked tree's entries

  std::mutex mutex_;
  std::condition_variable posted_;  // a job waits, or the walk is stopped
  std::condition_variable taken_;   // a job was taken, or stopped
  std::deque<Job> jobs_;
  bool stop_ = false;
  bool walked_all_ = false;
  std::atomic<uint64_t> made_{0};
  std::vector<std::thread> threads_;
};

}  // namespace fernwise::linux_os
