// The file-system services on Linux, behaving as cp -a and rsync -a users
// expect.
//
// Attribute mask:
//   1            read-only: the owner's write permission is clear
//   2            hidden: the name begins with "."
//   16           folder: a directory (a link to one is not a folder)
//   bits 16..27  the permission bits (mode & 07777) shifted left by 16, so a
//                change of permissions alone shows as a different mask
// Setting a mask sets the permission bits and nothing else: read-only is
// what they say, hidden follows the name. Links have no permissions of their
// own on Linux (lstat reports 0777), so setting a link's mask does nothing.
//
// Entries are read with lstat: a link is an entry of its own, listed as a
// file, never followed; a dangling link is an ordinary entry. Names are
// literal: "*" and "?" are ordinary characters, and a name may hold any byte
// but "/" and NUL.
//
// Copy makes the target the same kind of entry as the source: a file with
// the same content, a link with the same target text, a FIFO, socket or
// device node made anew (never opened), each with the source's permission
// bits, times to the nanosecond, and owner where the process may set it. An
// unprivileged process cannot make device nodes; such a copy makes nothing
// and leaves the target as it was. A folder cannot be copied.
//
// The destination tree is the program's own, so a read-only folder there
// does not keep its entries from being made, replaced or removed: when copy,
// delete, create folder or remove folder is refused an entry (EACCES) in a
// folder the process owns, the owner's write and search bits are added for
// one more try and the folder's exact mode is put back afterwards, whether
// the try succeeds or not. Folders of other owners keep their refusal.
//
// Length is st_size: the byte count of a file, the length of a link's target
// text, and whatever the file system reports for a folder.
#pragma once

#include <dirent.h>
#include <sys/stat.h>

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "core/file_system.h"
#include "platform/linux/copy.h"
#include "platform/linux/stat_cache.h"
#include "platform/linux/support.h"

namespace fernwise {

/// Where the permission bits sit in the attribute mask.
constexpr int kPermissionShift = 16;

class LinuxFileSystem final : public FileSystem {
 public:
  char Separator() const override { return '/'; }

  /// A pattern ending in "/" lists that folder as readdir gives it, "." and
  /// ".." included; a missing folder or a non-folder yields "". Any other
  /// non-empty pattern probes the path with lstat and yields its last
  /// component when it exists. An empty pattern yields "".
  std::string StartListing(const std::string& pattern) override;
  std::string NextName() override;
  /// From the listing's d_type; nullopt where the file system leaves it out.
  std::optional<bool> ListedIsFolder() const override;
  void BeginPass() override;

  /// The entry queries and the probe share one lstat per entry within a
  /// pass, until the pass changes the entry (see platform/linux/stat_cache.h).
  uint32_t ReadAttributes(const std::string& path) override;
  void SetAttributes(const std::string& path, uint32_t mask) override;
  void Copy(const std::string& source, const std::string& target) override;
  FileTime LastModified(const std::string& path) override;
  int64_t Length(const std::string& path) override;
  void Delete(const std::string& path) override;
  void CreateFolder(const std::string& path) override;
  void RemoveFolder(const std::string& path) override;

  /// 2 s on FAT, 10 ms on exFAT, 100 ns on NTFS and SMB shares, else 1 ns;
  /// 1 ns when the path cannot be examined.
  int64_t TimeResolution(const std::string& path) override;
  std::string ResolvePath(const std::string& path) override;
  bool IgnoresCase() const override { return false; }
  std::string CurrentDirectory() override;
  std::string ReadWholeFile(const std::string& path) override;
  std::unique_ptr<TextOutput> CreateTextFile(const std::string& path) override;

 protected:
  /// The user's short date format and time format (LC_TIME as the program
  /// set it with setlocale); ISO 8601 "YYYY-MM-DD" and "HH:MM:SS" in the C
  /// locale.
  LocalDateTimeText LocalTexts(FileTime time) override;

 private:
  struct DirCloser {
    void operator()(DIR* dir) const { ::closedir(dir); }
  };

  std::string Probe(const std::string& path);
  static int64_t ResolutionOf(const std::string& path);
  /// lstat of `path`, or RunError naming `operation`.
  const struct stat& StatEntry(const std::string& path, const char* operation);

  std::unique_ptr<DIR, DirCloser> listing_;
  std::string listing_prefix_;  // the listed folder's pattern, ending in "/"
  unsigned char listed_type_ = DT_UNKNOWN;
  linux_os::StatCache stats_;
  std::vector<std::pair<dev_t, int64_t>> resolutions_;  // this pass's
  linux_os::CopyState copy_state_;
};

}  // namespace fernwise
