#include "sync/mirror.h"

#include <algorithm>
#include <cstdint>
#include <vector>

#include "core/change_notes.h"
#include "core/file_system.h"
#include "core/path_probe.h"
#include "core/run_error.h"
#include "core/window.h"
#include "sync/erase.h"
#include "sync/secondary.h"

namespace fernwise {

namespace {

/// How two last-modified times compare.
enum class TimeMatch {
  kSame,
  /// Apart by exactly the local-time shift of one side, within the step:
  /// the same time read under another offset from UTC (FAT after a
  /// daylight-saving change), or a change made exactly that long after the
  /// copy. Only the contents can tell.
  kShifted,
  kDifferent,
};

/// Whether two last-modified times count as the same. A coarse file system
/// (FAT keeps 2-second steps) stores a copy's time rounded, so on one the
/// times of a fresh copy and its source differ by less than the step and must
/// count as equal, or every run would copy every file again. Where both sides
/// keep full resolution the comparison is exact.
class TimeComparison {
 public:
  TimeComparison(int64_t coarser_resolution_ns, int64_t shift_ns)
      : tolerance_ns_(coarser_resolution_ns > 1 ? coarser_resolution_ns : 0),
        shift_ns_(shift_ns > 0 ? uint64_t(shift_ns) : 0) {}

  TimeMatch Match(FileTime a, FileTime b) const {
    // Unsigned, so the distance of any two stamps is exact.
    const uint64_t distance = a.ns > b.ns ? uint64_t(a.ns) - uint64_t(b.ns)
                                          : uint64_t(b.ns) - uint64_t(a.ns);
    if (Close(distance)) return TimeMatch::kSame;
    if (shift_ns_ != 0 && Close(distance > shift_ns_ ? distance - shift_ns_
                                                     : shift_ns_ - distance))
      return TimeMatch::kShifted;
    return TimeMatch::kDifferent;
  }

 private:
  bool Close(uint64_t distance) const {
    return tolerance_ns_ == 0 ? distance == 0
                              : distance < uint64_t(tolerance_ns_);
  }

  int64_t tolerance_ns_;
  uint64_t shift_ns_;
};

/// The comparison of one folder pair's times, made on first need: equal
/// times need no resolution, and learning a destination's may write a probe
/// file into it, which a run that changes nothing must not do.
class FolderTimes {
 public:
  FolderTimes(FileSystem& fs, const std::string& source_folder,
              const std::string& dest_folder)
      : fs_(fs), source_folder_(source_folder), dest_folder_(dest_folder) {}

  TimeMatch Match(FileTime a, FileTime b) {
    if (a == b) return TimeMatch::kSame;
    if (!asked_) {
      comparison_ = TimeComparison(std::max(fs_.TimeResolution(source_folder_),
                                            fs_.TimeResolution(dest_folder_)),
                                   std::max(fs_.LocalTimeShift(source_folder_),
                                            fs_.LocalTimeShift(dest_folder_)));
      asked_ = true;
    }
    return comparison_.Match(a, b);
  }

 private:
  FileSystem& fs_;
  const std::string& source_folder_;
  const std::string& dest_folder_;
  TimeComparison comparison_{1, 0};
  bool asked_ = false;
};

/// Ends the run with the simplex mode's message for a destination entry of
/// another kind than its source's: that mode deletes nothing, so it cannot
/// make room, and the user is told what stands where.
[[noreturn]] void RejectKindChange(const std::string& dest, bool dest_is_folder,
                                   const std::string& source) {
  throw EntryRejected("Destination (" + dest + ") is " +
                      (dest_is_folder ? "a folder" : "a file") +
                      " but Source (" + source + ") is " +
                      (dest_is_folder ? "a file" : "a folder") +
                      "! The simplex mode deletes nothing, so it is not "
                      "replaced.");
}

bool IsFolder(FileSystem& fs, const std::string& path) {
  return (fs.ReadAttributes(path) & kAttrFolder) != 0;
}

/// What stands at a folder's destination once the pass has looked.
enum class DestFolder {
  kFound,
  kMade,
  kKept,     // another kind of entry whose old version could not be kept
  kLeftOut,  // the destination cannot hold the folder's name
};

/// Finds or makes the destination folder. In the duplex modes a file (or a
/// link) standing where the source has a folder is erased first, as the
/// sweep erases, its old version kept in the preserving mode; kKept when
/// that version could not be kept, so that nothing may replace it. The
/// folder a BACKUP entry names is the driver's to judge, and taken as found.
/// kLeftOut, with the source folder noted in the run's LeftOut, when the
/// destination cannot hold its name.
DestFolder EnsureDestinationFolder(RunContext& run, std::string& status,
                                   const std::string& source_folder,
                                   const std::string& dest_folder, bool top) {
  if (PathExists(run.fs, dest_folder)) {
    if (top || IsFolder(run.fs, dest_folder)) return DestFolder::kFound;
    if (run.state.BackupMode == kSimplex)
      RejectKindChange(dest_folder, false, source_folder);
    if (!EraseFile(run, status, dest_folder, source_folder, true))
      return DestFolder::kKept;
  }
  run.window.ShowStatus("Creating Destination folder...");
  const CopyResult result = run.fs.CreateFolder(dest_folder);
  if (!result.made()) {
    RecordLeftOut(run, source_folder, result);
    return DestFolder::kLeftOut;
  }
  NoteChange(run, Change::kFolderCreated, dest_folder);
  AddOne(run.state.Counters.FoldersCreated, "FoldersCreated");
  return DestFolder::kMade;
}

/// The simplex mode has no sweep to meet the temporary files that a copy
/// cut short (by a kill, a power loss) leaves in the destination, so each
/// destination folder's names are read for them and they are erased. One
/// whose name the source also has is the user's own file, and stays.
void RemoveLeftovers(RunContext& run, std::string& status,
                     const std::string& top_source,
                     const std::string& source_folder,
                     const std::string& dest_folder) {
  FileSystem& fs = run.fs;
  std::vector<std::string> leftovers;
  // Names only: the listing is finished before anything is looked at.
  for (std::string name = fs.StartListing(ChildPath(fs, dest_folder, ""));
       !name.empty(); name = fs.NextName())
    if (fs.IsLeftoverTemporary(name)) leftovers.push_back(std::move(name));
  for (const std::string& name : leftovers) {
    const std::string dest_file = ChildPath(fs, dest_folder, name);
    if (IsFolder(fs, dest_file) ||
        !SourceSideGone(run, top_source, ChildPath(fs, source_folder, name)))
      continue;
    EraseFile(run, status, dest_file, "", false);
  }
}

void RefreshFolderMask(RunContext& run, std::string& status,
                       const std::string& source_folder,
                       const std::string& dest_folder) {
  const uint32_t source_mask = run.fs.ReadAttributes(source_folder);
  const uint32_t dest_mask = run.fs.ReadAttributes(dest_folder);
  if (source_mask == dest_mask) return;
  ShowJoined(run.window, status, "Refreshing ", dest_folder, "...");
  // The source's mask was read just now and this pass has not touched the
  // source since, so it is set as read, without the folder bit.
  run.fs.SetAttributes(dest_folder, source_mask & ~uint32_t{kAttrFolder});
  NoteChange(run, Change::kFolderAttributesRefreshed, dest_folder);
  AddOne(run.state.Counters.FoldersRefreshed, "FoldersRefreshed");
}

/// Copies `source_file` over `dest_file`; false, with the entry noted in the
/// run's LeftOut, when it was left out (see CopyResult).
bool CopyOrLeaveOut(RunContext& run, const std::string& source_file,
                    const std::string& dest_file) {
  const CopyResult result = run.fs.Copy(source_file, dest_file);
  if (!result.made()) RecordLeftOut(run, source_file, result);
  return result.made();
}

void ShowComparing(RunContext& run, std::string& status,
                   const std::string& source_file,
                   const std::string& dest_file) {
  ShowJoined(run.window, status, "Comparing ", source_file, " and ", dest_file,
             "...");
}

/// Whether a destination file whose time is exactly the local-time shift
/// off its source's holds the source's content: then it is current, and it
/// gets the source's time again, so that later runs find the times equal
/// without reading either file. Nothing is copied, kept or counted.
bool OnlyTimeShifted(RunContext& run, std::string& status, bool text_on_view,
                     const std::string& source_file,
                     const std::string& dest_file, FileTime source_time) {
  if (!text_on_view) ShowComparing(run, status, source_file, dest_file);
  if (!run.fs.SameContent(source_file, dest_file)) return false;
  ShowJoined(run.window, status, "Refreshing time of ", dest_file, "...");
  run.fs.SetLastModified(dest_file, source_time);
  return true;
}

/// Brings one destination file in line with its source: presence, then
/// time, then mask, each on the state the step before has left.
void MirrorFile(RunContext& run, std::string& status, FolderTimes& times,
                const std::string& source_file, const std::string& dest_file) {
  FileSystem& fs = run.fs;
  RunCounters& counters = run.state.Counters;
  ShowComparing(run, status, source_file, dest_file);
  bool present = PathExists(fs, dest_file);
  // A folder where the source has a file: in the duplex modes it goes with
  // everything in it, as the sweep would erase it, and the file is copied in
  // its place. Left as it was where an old version could not be kept.
  if (present && IsFolder(fs, dest_file)) {
    if (run.state.BackupMode == kSimplex)
      RejectKindChange(dest_file, true, source_file);
    if (!EraseFolder(run, status, dest_file, source_file)) return;
    present = false;
  }
  if (!present) {
    ShowJoined(run.window, status, "Copying ", source_file, " to ", dest_file,
               "...");
    // Left out: nothing was made, so there is no time or mask to compare.
    if (!CopyOrLeaveOut(run, source_file, dest_file)) return;
    NoteChange(run, Change::kFileCreated, dest_file);
    AddOne(counters.FilesCreated, "FilesCreated");
  }
  const FileTime dest_time = fs.LastModified(dest_file);
  const FileTime source_time = fs.LastModified(source_file);
  const TimeMatch match = times.Match(dest_time, source_time);
  if (match == TimeMatch::kDifferent ||
      (match == TimeMatch::kShifted &&
       !OnlyTimeShifted(run, status, present, source_file, dest_file,
                        source_time))) {
    // "Refresing " is the status text as users and their scripts know it:
    // spelled so on purpose.
    ShowJoined(run.window, status, "Refresing ", dest_file, "...");
    // No file is overwritten before its old version is kept.
    if (run.state.BackupMode == kDuplexPreserving &&
        !SaveToSecondaryFolder(run, source_file, dest_file))
      return;
    if (!CopyOrLeaveOut(run, source_file, dest_file)) return;
    NoteChange(run, Change::kFileRefreshed, dest_file);
    AddOne(counters.FilesRefreshed, "FilesRefreshed");
  }
  const uint32_t dest_mask = fs.ReadAttributes(dest_file);
  const uint32_t source_mask = fs.ReadAttributes(source_file);
  if (dest_mask != source_mask) {
    ShowJoined(run.window, status, "Refreshing attributes of ", dest_file,
               "...");
    fs.SetAttributes(dest_file, source_mask);
    NoteChange(run, Change::kFileAttributesRefreshed, dest_file);
    AddOne(counters.FilesRefreshed, "FilesRefreshed");
  }
}

void MirrorFiles(RunContext& run, std::string& status,
                 const std::string& source_folder,
                 const std::string& dest_folder, NameList& files) {
  if (files.Empty()) return;
  // Asked once per folder, and only where two times differ.
  FolderTimes times(run.fs, source_folder, dest_folder);
  ChildPathBuffer source_file(run.fs, source_folder);
  ChildPathBuffer dest_file(run.fs, dest_folder);
  while (!files.Empty()) {
    AddOne(run.state.Counters.FilesScanned, "FilesScanned");
    const std::string name = files.TakeFirst();
    MirrorFile(run, status, times, source_file.With(name),
               dest_file.With(name));
  }
}

void MirrorTree(RunContext& run, std::string& status,
                const std::string& top_source, const std::string& source_folder,
                const std::string& dest_folder) {
  const bool top = source_folder == top_source;
  // An absent drive's mount point is no empty folder: the backup of the
  // drive stays as it is, neither made anew nor refreshed.
  if (!top && run.fs.AwaitsAbsentDrive(source_folder)) {
    RecordLeftOut(run, source_folder, {kDriveNotMounted});
    return;
  }
  const DestFolder dest =
      EnsureDestinationFolder(run, status, source_folder, dest_folder, top);
  if (dest == DestFolder::kKept) {
    RecordLeftOut(run, source_folder,
                  {"an entry whose old version could not be kept stands in "
                   "its place"});
    return;
  }
  // A folder the destination cannot hold is left out with all it holds.
  if (dest == DestFolder::kLeftOut) return;
  RefreshFolderMask(run, status, source_folder, dest_folder);
  ShowJoined(run.window, status, "Seeking ", source_folder, "...");
  if (run.state.BackupMode == kSimplex && dest == DestFolder::kFound)
    RemoveLeftovers(run, status, top_source, source_folder, dest_folder);
  FolderSnapshot snapshot = *TakeSnapshot(run.fs, source_folder);
  MirrorFiles(run, status, source_folder, dest_folder, snapshot.files);
  // Every file of this folder is done before the first subfolder is entered.
  while (!snapshot.folders.Empty()) {
    const std::string name = snapshot.folders.TakeFirst();
    MirrorTree(run, status, top_source, ChildPath(run.fs, source_folder, name),
               ChildPath(run.fs, dest_folder, name));
    AddOne(run.state.Counters.FoldersScanned, "FoldersScanned");
  }
}

}  // namespace

void MirrorFolder(RunContext& run, const std::string& source_folder,
                  const std::string& dest_folder) {
  run.fs.BeginPass();
  // One buffer for every status text of the pass.
  std::string status;
  MirrorTree(run, status, source_folder, source_folder, dest_folder);
  // Copies batched for one flush take their names before the pass returns.
  run.fs.EndPass();
}

}  // namespace fernwise
