// One job entry's run: the object the passes work through from the moment
// an entry's folders are held until what it wrote is settled.
//
// It knows each folder's role, holds the folders (below them an entry is
// reached from the held folder, never through a link), answers the passes'
// questions (from what it has read within the pass, until the pass changes
// that entry), keeps the batch of copies waiting for their flush, checks that
// the source is still the folder it held, and settles what was written
// without throwing. Each platform implements it in plain sight; so does the
// in-memory file system of the tests. Every duty is pure virtual: a platform
// that lacks one does not compile.
//
// Paths are full paths in the platform's syntax, as the status texts show
// them: the named folder of `role`, or a path below it built with ChildPath.
// Operations that can only concern one tree name none: a copy reads the
// source and writes the destination; a kept version reads the destination
// and writes the secondary folder.
//
// Error contract: as FileSystem's (core/file_system.h). "Not found" is an
// answer where an operation has one, never an error.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "core/drive_traits.h"
#include "core/file_system.h"
#include "core/run_error.h"

namespace fernwise {

/// What a folder of an entry is to it.
enum class Role : uint8_t { kSource, kDestination, kSecondary };

class EntryRun {
 public:
  /// Lets the folders go. What was not settled is discarded, never
  /// committed: the temporary files of copies still waiting are removed
  /// where that is possible, else left for the next run's cleanup. Never
  /// throws.
  virtual ~EntryRun() = default;

  /// Marks the start of a pass that walks the tree of `walked` folder by
  /// folder and looks at the same names in the entry's other tree: nothing
  /// read before is trusted after it, so a pass sees what others (and the
  /// passes before it) have done. A platform may read ahead of the walk
  /// into its caches, changing nothing, until EndPass or Settle.
  virtual void BeginPass(Role walked) = 0;
  /// Marks the end of a pass: copies it left waiting take their names
  /// before this returns, and nothing is read ahead for it any more.
  virtual void EndPass() = 0;

  // Reading, in the tree of `role`.

  /// Starts the one listing in progress, ending any unfinished one. A
  /// pattern ending in the separator lists that folder: every entry of any
  /// attributes, "." and ".." where the platform has them. Any other
  /// pattern probes that path: its name when it exists, "" when it does not.
  /// Returns the first name or "".
  virtual std::string StartListing(Role role, const std::string& pattern) = 0;
  /// The next name of the listing in progress, "" when it is exhausted.
  virtual std::string NextName() = 0;
  /// Whether the entry the listing named last is a folder, where the
  /// listing itself tells; nullopt where only its attributes can tell.
  virtual std::optional<bool> ListedIsFolder() const = 0;
  virtual uint32_t ReadAttributes(Role role, const std::string& path) = 0;
  /// Whether the entry at `path`, below the named folders, is a link that
  /// ReadAttributes reports as a folder (a Windows junction or folder link):
  /// nothing may be made or copied inside it, since that would land in what
  /// it leads to. A platform that reads every link as the link itself
  /// answers false.
  virtual bool IsFolderLink(Role role, const std::string& path) = 0;
  virtual FileTime LastModified(Role role, const std::string& path) = 0;
  virtual int64_t Length(Role role, const std::string& path) = 0;
  /// Whether the source file `source` and its copy `dest` hold the same
  /// bytes, read side by side in slices (reported as progress), memory
  /// bounded whatever their length. False where either is not a plain file
  /// or changed while it was read.
  virtual bool SameContent(const std::string& source,
                           const std::string& dest) = 0;
  /// The attribute-mask bits a copy of the source entry `source` may carry
  /// onto `dest`, beyond what its drive keeps (DriveTraits::kept_bits): on
  /// POSIX, set-ID bits only with their owner and group and never from a
  /// nosuid mount, group bits cut back where an ACL could not come along;
  /// every bit where the platform has no such rule. Asked only where two
  /// masks differ.
  virtual uint32_t CarriableBits(const std::string& source,
                                 const std::string& dest) = 0;

  // Changing the destination and the secondary folder.

  virtual void SetAttributes(const std::string& dest, uint32_t mask) = 0;
  /// Sets the last-modified time of the file `dest` and nothing else,
  /// never through a link.
  virtual void SetLastModified(const std::string& dest, FileTime time) = 0;
  /// Creates or replaces `dest` with the content, last-modified time and
  /// attribute mask of `source`, or leaves it out (see CopyResult).
  /// Fail-safe: a copy that fails or is left out leaves `dest` as it was.
  virtual CopyResult Copy(const std::string& source,
                          const std::string& dest) = 0;
  /// Keeps the destination file `displaced` as the new name `target` in the
  /// secondary folder: as Copy, but where an entry of that name exists by
  /// the time the copy is ready, nothing is replaced and the result says
  /// `name_taken`. The erase or refresh of `displaced` that follows must
  /// meet the very file that was kept.
  virtual CopyResult CopyToNewName(const std::string& displaced,
                                   const std::string& target) = 0;
  /// Erases a file of the destination, or a leftover temporary file of the
  /// secondary folder.
  virtual void Delete(Role role, const std::string& path) = 0;
  /// Makes the destination folder, or leaves it out (see CopyResult). The
  /// folder is made private to the run (on POSIX, mode 0700): what it is
  /// given of its source comes once it is complete (CarryFolder, then its
  /// mask and its time), so that nobody opens it half filled.
  virtual CopyResult CreateFolder(const std::string& dest) = 0;
  /// Gives the destination folder `dest` what of the source folder `source`
  /// goes with it besides its mask and its time, as a copy gives a file: on
  /// POSIX its owner and group where the run may give them, and, to a folder
  /// CreateFolder made, its extended attributes and its access and default
  /// ACLs. A folder found in the destination is given only an owner and
  /// group that differ from what the run would give (a change of only an
  /// ACL or an attribute is not noticed, as for files). True where anything
  /// changed. Nothing on Windows, where a new folder takes its permissions
  /// from the folder it is made in, as a copied file does.
  virtual bool CarryFolder(const std::string& source,
                           const std::string& dest) = 0;
  /// Sets the last-modified time of the destination folder `dest`, never
  /// through a link, once what it holds is settled: after the copies into
  /// it that wait for their flush have taken their names. A drive that
  /// refuses a folder its time is left as it is.
  virtual void SetFolderTime(const std::string& dest, FileTime time) = 0;
  virtual void RemoveFolder(const std::string& dest) = 0;

  // What keeps the run safe.

  /// Whether the held source folder is still the folder that was held when
  /// looked up afresh by its path: not gone, and not another folder made or
  /// uncovered in its place. Nothing a pass has read answers it.
  virtual bool SourceStillThere() = 0;
  /// Whether `path` exists, looked up afresh: nothing a pass has read, and
  /// no folder held since before, answers it.
  virtual bool ExistsAfresh(Role role, const std::string& path) = 0;
  /// Whether the source folder `folder` (the named one, or one a pass has
  /// just looked at) is the mount point of a drive the system's mount
  /// configuration names but that is not mounted now: what stands there
  /// says nothing of the drive's content.
  virtual bool AwaitsAbsentDrive(const std::string& folder) = 0;
  /// Where the held folder of `inner` lies against the held folder of
  /// `outer`, told by the identity of each folder above it (device and
  /// inode on POSIX), so that a bind mount cannot hide an overlap that its
  /// paths do not show. kApart where either is not held, and where the
  /// system tells no more than the paths do (Windows, whose paths the run
  /// resolves).
  enum class Nesting { kApart, kSame, kInside };
  virtual Nesting NestingOf(Role inner, Role outer) = 0;
  /// What the drive holding the folder `folder` of `role` keeps: learnt
  /// (core/drive_traits.h) the first time a run asks about that drive, for
  /// the destination and secondary trees; from its type for the source.
  virtual DriveTraits Traits(Role role, const std::string& folder) = 0;

  /// Settles what the entry wrote: the copies still waiting take their
  /// names, and the drives written to are added to `written` (one per
  /// drive, see WrittenDrive) for the run's flush. A failure comes back, the
  /// copies not yet named discarded; it is never thrown. Nothing may be
  /// asked of the object after this.
  virtual std::optional<RunError> Settle(
      std::vector<std::unique_ptr<WrittenDrive>>& written) noexcept = 0;
};

}  // namespace fernwise
