// The file-system services the program is written against: the platform's
// stateless services here, and what one job entry's passes work through in
// core/entry_run.h. One Linux and one Win32 implementation exist; tests use
// an in-memory one.
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
/// platform/linux/posix_support.h). The passes only ever test the folder bit.
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

/// A drive a run wrote to and has not yet flushed, kept open from the end
/// of the entry that wrote there until the run's flush before its report.
class WrittenDrive {
 public:
  virtual ~WrittenDrive() = default;
  /// The folder "Flushing <folder>..." names: the named folder the run
  /// first wrote below on this drive.
  virtual const std::string& Shown() const = 0;
  /// Whether `other` lies on the same drive: the run flushes each once.
  virtual bool SameDrive(const WrittenDrive& other) const = 0;
  /// Writes everything the run wrote there through to the disk, and waits
  /// for it, reporting to `progress` meanwhile. None where every write
  /// reached the disk as it was made.
  virtual void Flush(const ProgressCallback& progress) = 0;
};

class EntryRun;

/// The platform's services. They keep nothing of a run: what a job entry's
/// passes need from the moment its folders are held is the EntryRun that
/// Enter returns (core/entry_run.h).
class FileSystem {
 public:
  virtual ~FileSystem() = default;

  /// '/' on POSIX, '\\' on Windows. The core joins child paths with it and
  /// with nothing else.
  virtual char Separator() const = 0;
  /// How long `name` is in the units the file system counts names in:
  /// bytes on POSIX, UTF-16 units on Windows.
  virtual size_t NameSize(std::string_view name) const = 0;
  /// Whether `name` is the name of a temporary file this program's copies
  /// make beside their targets (core/temporary_name.h), as a copy cut short
  /// by a kill or a power loss leaves it behind.
  virtual bool IsLeftoverTemporary(const std::string& name) const = 0;

  /// Holds the folders of a job entry (a BACKUP entry's three, or the one a
  /// listing lists as its source) and returns the object its passes work
  /// through. A named folder that does not exist is not held: the entry's
  /// checks find it missing through the object. Long steps (a large copy, a
  /// flush) report to `progress` between their slices, at least every
  /// 100 ms of their work.
  virtual std::unique_ptr<EntryRun> Enter(const EntryFolders& folders,
                                          ProgressCallback progress) = 0;

  /// The absolute path with every link resolved, or "" when it cannot be
  /// resolved (the path is missing).
  virtual std::string ResolvePath(const std::string& path) = 0;
  /// Whether two resolved paths that differ only in letter case may name
  /// the same entry (true on Windows).
  virtual bool IgnoresCase() const = 0;
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

  /// Makes a new text file beside `path` (never through a link, exclusively,
  /// as CreateNewTextFile does) that takes the name `path` at Close, so a
  /// reader sees the old file or the new one, whole. Whatever stands at the
  /// name (a link or a FIFO too) is replaced then, never followed or
  /// opened. Where writing or naming it fails, the name keeps what it had
  /// and the new file is removed.
  virtual std::unique_ptr<TextOutput> ReplaceTextFile(
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
};

/// The file system of the platform the program was built for.
std::unique_ptr<FileSystem> MakePlatformFileSystem();

}  // namespace fernwise
