// The file-system services the passes are written against. One Linux and one
// Win32 implementation exist; tests use an in-memory one.
//
// Error contract: every operation either does what it says or throws RunError
// (core/run_error.h) carrying the platform's error number and text, the
// operation and the path. "Not found" is an answer where an operation has one
// (StartListing yields ""), never an error.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "core/text_output.h"

namespace fernwise {

/// Last-modified time: nanoseconds since 1970-01-01 00:00:00 UTC. Each
/// implementation converts its native stamp at the boundary and loses nothing
/// the file system keeps (POSIX keeps nanoseconds, Windows 100 ns units).
struct FileTime {
  int64_t ns = 0;
  friend bool operator==(FileTime, FileTime) = default;
};

/// Attribute mask bits the core knows by name; the rest of a mask is the
/// platform's (Windows' other bits, the permission bits on Linux: see
/// platform/linux/file_system.h). The passes only ever test the folder bit.
enum AttributeBits : uint32_t {
  kAttrReadOnly = 1,
  kAttrHidden = 2,
  kAttrSystem = 4,
  kAttrFolder = 16,
  kAttrArchive = 32,
};

/// The folders one job entry works in, as the job script names them. The
/// passes reach everything below them from these folders.
struct EntryFolders {
  std::string source;       ///< a backup's source, or the folder a listing
                            ///< lists: only read
  std::string destination;  ///< a backup's destination, else empty
  std::string secondary;    ///< where the preserving mode keeps displaced
                            ///< files, else empty
};

/// What a copy or the making of a folder did. An entry the destination
/// cannot hold (a device node the user may not make, a link or a name a USB
/// drive's file system refuses), and a file that changed at every try to
/// copy it, is left out: nothing is made, the target stays as it was, and
/// `left_out` says why, so that the run can go on and tell.
struct CopyResult {
  std::string left_out;  ///< empty when the copy was made
  /// CopyToNewName only: the name was taken by the time the copy was ready,
  /// so nothing was made and nothing was replaced.
  bool name_taken = false;

  bool made() const { return left_out.empty() && !name_taken; }
};

/// A last-modified time as the user reads it: local time, in the user's own
/// date and time formats.
struct LocalDateTimeText {
  std::string date;         ///< the user's short date format
  std::string time_of_day;  ///< the user's time format
  bool midnight = false;    ///< 00:00:00 local time, to the whole second
  std::string iso;  ///< "YYYY-MM-DD HH:MM:SS", whatever the user's formats
};

/// Told between the slices of a long step (a large copy, a flush): how many
/// of its `total` units are done (total -1 where that is not known); the
/// step's last call has `done` equal to `total`.
using ProgressCallback = std::function<void(int64_t done, int64_t total)>;

class FileSystem {
 public:
  virtual ~FileSystem() = default;

  /// Where long steps report between their slices, at least every 100 ms of
  /// their work; empty for nowhere.
  void set_progress(ProgressCallback progress) {
    progress_ = std::move(progress);
  }
  /// Reports a slice of a long step to the run: for implementations.
  void Progress(int64_t done, int64_t total) const {
    if (progress_) progress_(done, total);
  }

  /// '/' on POSIX, '\\' on Windows. The core joins child paths with it and
  /// with nothing else.
  virtual char Separator() const = 0;

  /// Starts the one listing in progress, ending any unfinished one. A pattern
  /// ending in the separator lists that folder: every entry of any
  /// attributes, "." and ".." where the platform has them. Any other pattern
  /// probes that path: its name when it exists, "" when it does not. Returns
  /// the first name or "".
  virtual std::string StartListing(const std::string& pattern) = 0;
  /// The next name of the listing in progress, "" when it is exhausted.
  virtual std::string NextName() = 0;
  /// Whether the entry the listing named last is a folder, when the listing
  /// itself tells (as most POSIX file systems do), so that no attributes need
  /// reading to sort it; nullopt when only its attributes can tell.
  virtual std::optional<bool> ListedIsFolder() const { return std::nullopt; }
  /// Holds the folders of the job entry that begins, until ReleaseFolders or
  /// the next HoldFolders. Below them a file system may reach entries only
  /// from the folders held, never through a link, so that no link planted
  /// in a tree can lead the passes out of it; the folders themselves are
  /// taken as the user named them. Folders that cannot be held are not.
  virtual void HoldFolders(const EntryFolders& /*folders*/) {}
  virtual void ReleaseFolders() {}
  /// Whether `source`, the held source folder, is still the folder that was
  /// held when looked up afresh by its path: not gone, and not another
  /// folder made or uncovered in its place (a drive unmounted from under an
  /// empty mount point). Nothing a pass has read answers it.
  virtual bool SourceStillThere(const std::string& source) {
    return !StartListing(source).empty();
  }
  /// Whether `path` exists, looked up afresh: nothing a pass has read, and
  /// no folder held since before, answers it.
  virtual bool ExistsAfresh(const std::string& path) {
    return !StartListing(path).empty();
  }
  /// Whether the source folder `folder` is where the system mounts a drive
  /// that is not mounted now (a disk unplugged, a share not reached). What
  /// stands there is then only the folder beneath the drive, mostly empty,
  /// and says nothing of what the drive holds: no pass may take it for the
  /// drive's content, or the drive's whole backup would be swept away.
  /// Asked of the folder a BACKUP entry names, once it is held, and of each
  /// source folder a pass comes to, just after the pass has looked at it;
  /// an implementation answers from that look, and where no drive is
  /// missing, without looking at anything.
  virtual bool AwaitsAbsentDrive(const std::string& folder) = 0;
  /// Marks the end of a pass: what it left waiting (copies batched to reach
  /// the disk together) is finished before this returns.
  virtual void EndPass() {}
  /// One folder on each file system the run has written to and not yet
  /// flushed: what a flush must reach. None where every write reached the
  /// disk as it was made.
  virtual std::vector<std::string> FileSystemsToFlush() { return {}; }
  /// Writes everything the run wrote on the file system of `folder` (one
  /// that FileSystemsToFlush named) through to its disk, and waits for it.
  virtual void Flush(const std::string& /*folder*/) {}
  /// Marks the start of a pass over a tree. Within a pass an implementation
  /// may answer from what it has already read of an entry, until the pass
  /// changes that entry; nothing read before this call is trusted after it,
  /// so a pass sees what others (and the passes before it) have done.
  virtual void BeginPass() {}

  virtual uint32_t ReadAttributes(const std::string& path) = 0;
  virtual void SetAttributes(const std::string& path, uint32_t mask) = 0;
  /// Creates or replaces `target` with the content, last-modified time and
  /// attribute mask of `source`, or leaves it out (see CopyResult).
  /// Fail-safe: a copy that fails or is left out leaves the target as it was.
  virtual CopyResult Copy(const std::string& source,
                          const std::string& target) = 0;
  /// As Copy, but `target` must be a new name: where an entry of that name
  /// exists by the time the copy is ready (made by another program since it
  /// was looked for), nothing is replaced and the result says `name_taken`.
  virtual CopyResult CopyToNewName(const std::string& source,
                                   const std::string& target) = 0;
  virtual FileTime LastModified(const std::string& path) = 0;
  /// Sets the last-modified time of the file `path` and nothing else, never
  /// through a link.
  virtual void SetLastModified(const std::string& path, FileTime time) = 0;
  /// Whether the files `a` and `b` hold the same bytes, read side by side in
  /// slices (reported through Progress) with memory bounded whatever their
  /// length. False where either is not a plain file, or changed while it was
  /// read: nothing then rests on the answer but a copy.
  virtual bool SameContent(const std::string& a, const std::string& b) = 0;
  virtual int64_t Length(const std::string& path) = 0;
  virtual void Delete(const std::string& path) = 0;
  /// Makes the folder, or leaves it out (see CopyResult).
  virtual CopyResult CreateFolder(const std::string& path) = 0;
  virtual void RemoveFolder(const std::string& path) = 0;

  // What the platform supplies beyond the passes' ten operations.

  /// Whether `name` is the name of a temporary file this program's copies
  /// make beside their targets, as a copy cut short by a kill or a power
  /// loss leaves it behind.
  virtual bool IsLeftoverTemporary(const std::string& name) const = 0;
  /// The longest entry name the file system holding `folder` accepts, in
  /// the units of NameSize.
  virtual size_t NameLimit(const std::string& folder) = 0;
  /// How long `name` is in the units the file system counts names in:
  /// bytes on POSIX, UTF-16 units on Windows.
  virtual size_t NameSize(std::string_view name) const { return name.size(); }

  /// Nanoseconds between two last-modified times the file system holding
  /// `path` can tell apart: 1 where it keeps full resolution, 2 s on FAT.
  virtual int64_t TimeResolution(const std::string& path) = 0;
  /// Nanoseconds by which every last-modified time on the file system
  /// holding `path` may read off at once, when it keeps times in local time:
  /// on FAT, after a change to or from daylight-saving time, every time reads
  /// an hour off. 0 where times are kept in UTC.
  virtual int64_t LocalTimeShift(const std::string& /*path*/) { return 0; }
  /// The absolute path with every link resolved, or "" when it cannot be
  /// resolved (the path is missing).
  virtual std::string ResolvePath(const std::string& path) = 0;
  /// Whether two resolved paths that differ only in letter case name the
  /// same entry (true on Windows).
  virtual bool IgnoresCase() const = 0;
  /// Whether the file system holding the folder `folder` finds an entry
  /// by a name spelled in another letter case: true on Windows, and for a
  /// FAT or exFAT drive mounted on Linux.
  virtual bool NamesIgnoreCase(const std::string& /*folder*/) {
    return IgnoresCase();
  }
  virtual std::string CurrentDirectory() = 0;
  /// The whole content of a file, as bytes.
  virtual std::string ReadWholeFile(const std::string& path) = 0;
  /// Opens a text file for output, creating it or emptying it.
  virtual std::unique_ptr<TextOutput> CreateTextFile(
      const std::string& path) = 0;
  /// The program's own folder among the user's state folders, made (for
  /// the user alone) where it is missing: where the run records go. Throws
  /// RunError where there is none (no home folder) or it cannot be made.
  virtual std::string StateFolder() = 0;
  /// Makes `path` a new, empty text file open for output, or returns null
  /// when an entry of that name exists: one of any kind, a link or a FIFO
  /// too, is never followed, opened or replaced. Unlike CreateTextFile's,
  /// its output reaches the disk at Flush, not at Close.
  virtual std::unique_ptr<TextOutput> CreateNewTextFile(
      const std::string& path) = 0;

  /// A last-modified time as the listing file writes it: the local date in
  /// the user's short date format, a space and the local time of day, or the
  /// date alone at exactly midnight.
  std::string FormatDateTime(FileTime time);
  /// `time` in local time as "YYYY-MM-DD HH:MM:SS", in every locale.
  std::string IsoDateTime(FileTime time) { return LocalTexts(time).iso; }

 protected:
  /// `time` in local time and the user's formats.
  virtual LocalDateTimeText LocalTexts(FileTime time) = 0;

 private:
  ProgressCallback progress_;
};

/// The file system of the platform the program was built for.
std::unique_ptr<FileSystem> MakePlatformFileSystem();

}  // namespace fernwise
