#include "sync/mirror.h"

#include <cstdint>
#include <vector>

#include "core/change_notes.h"
#include "core/file_system.h"
#include "core/path_probe.h"
#include "core/run_error.h"
#include "core/window.h"
#include "sync/drive_rules.h"
#include "sync/erase.h"
#include "sync/secondary.h"

namespace fernwise {

namespace {

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

bool IsFolder(EntryRun& entry, Role role, const std::string& path) {
  return (entry.ReadAttributes(role, path) & kAttrFolder) != 0;
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
DestFolder EnsureDestinationFolder(RunContext& run, EntryRun& entry,
                                   std::string& status,
                                   const std::string& source_folder,
                                   const std::string& dest_folder, bool top) {
  if (PathExists(entry, Role::kDestination, dest_folder)) {
    if (top) return DestFolder::kFound;
    // A link that reads as a folder is no folder to fill: what is copied
    // into it would land in what it leads to, outside the destination. It
    // is another kind of entry, as a link is where links read as themselves,
    // and goes as a folder goes, which removes a link as the link.
    const bool link = entry.IsFolderLink(Role::kDestination, dest_folder);
    if (!link && IsFolder(entry, Role::kDestination, dest_folder))
      return DestFolder::kFound;
    if (run.state.BackupMode == kSimplex)
      RejectKindChange(dest_folder, false, source_folder);
    const bool erased =
        link ? EraseFolder(run, entry, status, dest_folder, source_folder)
             : EraseFile(run, entry, status, dest_folder, source_folder, true);
    if (!erased) return DestFolder::kKept;
  }
  run.window.ShowStatus("Creating Destination folder...");
  const CopyResult result = entry.CreateFolder(dest_folder);
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
void RemoveLeftovers(RunContext& run, EntryRun& entry, std::string& status,
                     const std::string& top_source,
                     const std::string& source_folder,
                     const std::string& dest_folder) {
  const FileSystem& fs = run.fs;
  std::vector<std::string> leftovers;
  // Names only: the listing is finished before anything is looked at.
  for (std::string name = entry.StartListing(Role::kDestination,
                                             ChildPath(fs, dest_folder, ""));
       !name.empty(); name = entry.NextName())
    if (fs.IsLeftoverTemporary(name)) leftovers.push_back(std::move(name));
  for (const std::string& name : leftovers) {
    const std::string dest_file = ChildPath(fs, dest_folder, name);
    if (IsFolder(entry, Role::kDestination, dest_file) ||
        !SourceSideGone(entry, top_source, ChildPath(fs, source_folder, name)))
      continue;
    EraseFile(run, entry, status, dest_file, "", false);
  }
}

/// Gives a folder the mirror made what it carries of its source once all it
/// holds is there: owner, attributes and ACLs, then its mask (told and
/// counted when it was made, see RefreshFolderMask).
void CompleteFolder(EntryRun& entry, FolderRules& rules,
                    const std::string& source_folder,
                    const std::string& dest_folder) {
  entry.CarryFolder(source_folder, dest_folder);
  const uint32_t source_mask =
      entry.ReadAttributes(Role::kSource, source_folder);
  const uint32_t dest_mask =
      entry.ReadAttributes(Role::kDestination, dest_folder);
  if (const std::optional<uint32_t> mask =
          rules.MaskToSet(source_folder, dest_folder, source_mask, dest_mask))
    entry.SetAttributes(dest_folder, *mask & ~uint32_t{kAttrFolder});
}

/// A folder found in the destination takes its source's owner and group
/// where they differ from what the run gives, without a text of its own;
/// the change is told to the run's record.
void CarryFolderOwner(RunContext& run, EntryRun& entry,
                      const std::string& source_folder,
                      const std::string& dest_folder) {
  if (entry.CarryFolder(source_folder, dest_folder))
    NoteChange(run, Change::kFolderAttributesRefreshed, dest_folder);
}

/// The half of a mask both systems share (the attribute bits); the other
/// half is the platform's, the permission bits on POSIX.
constexpr uint32_t kSharedBits = 0xFFFF;

/// Sets the folder's mask where it differs from its source's. A folder the
/// pass has just `made` is private until complete: it is told and counted
/// here by the bits both systems share, as any new folder, and given its
/// mask by CompleteFolder.
void RefreshFolderMask(RunContext& run, EntryRun& entry, std::string& status,
                       FolderRules& rules, const std::string& source_folder,
                       const std::string& dest_folder, bool made) {
  const uint32_t source_mask =
      entry.ReadAttributes(Role::kSource, source_folder);
  uint32_t dest_mask = entry.ReadAttributes(Role::kDestination, dest_folder);
  if (made)
    dest_mask = (dest_mask & kSharedBits) | (source_mask & ~kSharedBits);
  const std::optional<uint32_t> mask =
      rules.FolderMaskToSet(source_mask, dest_mask);
  if (!mask) return;
  ShowJoined(run.window, status, "Refreshing ", dest_folder, "...");
  if (made) {
    NoteChange(run, Change::kFolderAttributesRefreshed, dest_folder);
    return AddOne(run.state.Counters.FoldersRefreshed, "FoldersRefreshed");
  }
  // The source's mask was read just now and this pass has not touched the
  // source since, so it is set as read, without the folder bit.
  entry.SetAttributes(dest_folder, *mask & ~uint32_t{kAttrFolder});
  NoteChange(run, Change::kFolderAttributesRefreshed, dest_folder);
  AddOne(run.state.Counters.FoldersRefreshed, "FoldersRefreshed");
}

/// Copies `source_file` over `dest_file`; false, with the entry noted in the
/// run's LeftOut, when it was left out (see CopyResult).
bool CopyOrLeaveOut(RunContext& run, EntryRun& entry,
                    const std::string& source_file,
                    const std::string& dest_file) {
  const CopyResult result = entry.Copy(source_file, dest_file);
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
bool OnlyTimeShifted(RunContext& run, EntryRun& entry, std::string& status,
                     bool text_on_view, const std::string& source_file,
                     const std::string& dest_file, FileTime source_time) {
  if (!text_on_view) ShowComparing(run, status, source_file, dest_file);
  if (!entry.SameContent(source_file, dest_file)) return false;
  ShowJoined(run.window, status, "Refreshing time of ", dest_file, "...");
  entry.SetLastModified(dest_file, source_time);
  return true;
}

void RefreshFileMask(RunContext& run, EntryRun& entry, std::string& status,
                     FolderRules& rules, const std::string& source_file,
                     const std::string& dest_file) {
  const uint32_t dest_mask =
      entry.ReadAttributes(Role::kDestination, dest_file);
  const uint32_t source_mask = entry.ReadAttributes(Role::kSource, source_file);
  const std::optional<uint32_t> mask =
      rules.MaskToSet(source_file, dest_file, source_mask, dest_mask);
  if (!mask) return;
  ShowJoined(run.window, status, "Refreshing attributes of ", dest_file, "...");
  entry.SetAttributes(dest_file, *mask);
  NoteChange(run, Change::kFileAttributesRefreshed, dest_file);
  AddOne(run.state.Counters.FilesRefreshed, "FilesRefreshed");
}

/// Brings one destination file in line with its source: presence, then
/// time, then mask, each on the state the step before has left.
void MirrorFile(RunContext& run, EntryRun& entry, std::string& status,
                FolderRules& rules, const std::string& source_file,
                const std::string& dest_file) {
  RunCounters& counters = run.state.Counters;
  ShowComparing(run, status, source_file, dest_file);
  bool present = PathExists(entry, Role::kDestination, dest_file);
  // A folder where the source has a file: in the duplex modes it goes with
  // everything in it, as the sweep would erase it, and the file is copied in
  // its place. Left as it was where an old version could not be kept.
  if (present && IsFolder(entry, Role::kDestination, dest_file)) {
    if (run.state.BackupMode == kSimplex)
      RejectKindChange(dest_file, true, source_file);
    if (!EraseFolder(run, entry, status, dest_file, source_file)) return;
    present = false;
  }
  if (!present) {
    ShowJoined(run.window, status, "Copying ", source_file, " to ", dest_file,
               "...");
    // Left out: nothing was made, so there is no time or mask to compare.
    if (!CopyOrLeaveOut(run, entry, source_file, dest_file)) return;
    NoteChange(run, Change::kFileCreated, dest_file);
    AddOne(counters.FilesCreated, "FilesCreated");
  }
  const FileTime dest_time = entry.LastModified(Role::kDestination, dest_file);
  const FileTime source_time = entry.LastModified(Role::kSource, source_file);
  const TimeMatch match = rules.MatchTimes(dest_time, source_time);
  if (match == TimeMatch::kDifferent ||
      (match == TimeMatch::kShifted &&
       !OnlyTimeShifted(run, entry, status, present, source_file, dest_file,
                        source_time))) {
    // "Refresing " is the status text as users and their scripts know it:
    // spelled so on purpose.
    ShowJoined(run.window, status, "Refresing ", dest_file, "...");
    // No file is overwritten before its old version is kept.
    if (run.state.BackupMode == kDuplexPreserving &&
        !SaveToSecondaryFolder(run, entry, source_file, dest_file))
      return;
    if (!CopyOrLeaveOut(run, entry, source_file, dest_file)) return;
    NoteChange(run, Change::kFileRefreshed, dest_file);
    AddOne(counters.FilesRefreshed, "FilesRefreshed");
  }
  RefreshFileMask(run, entry, status, rules, source_file, dest_file);
}

void MirrorFiles(RunContext& run, EntryRun& entry, std::string& status,
                 FolderRules& rules, const std::string& source_folder,
                 const std::string& dest_folder, NameList& files) {
  if (files.Empty()) return;
  ChildPathBuffer source_file(run.fs, source_folder);
  ChildPathBuffer dest_file(run.fs, dest_folder);
  while (!files.Empty()) {
    AddOne(run.state.Counters.FilesScanned, "FilesScanned");
    const std::string name = files.TakeFirst();
    MirrorFile(run, entry, status, rules, source_file.With(name),
               dest_file.With(name));
  }
}

void MirrorTree(RunContext& run, EntryRun& entry, std::string& status,
                const std::string& top_source, const std::string& source_folder,
                const std::string& dest_folder) {
  const bool top = source_folder == top_source;
  // An absent drive's mount point is no empty folder: the backup of the
  // drive stays as it is, neither made anew nor refreshed.
  if (!top && entry.AwaitsAbsentDrive(source_folder)) {
    RecordLeftOut(run, source_folder, {kDriveNotMounted});
    return;
  }
  const DestFolder dest = EnsureDestinationFolder(
      run, entry, status, source_folder, dest_folder, top);
  if (dest == DestFolder::kKept) {
    RecordLeftOut(run, source_folder,
                  {"an entry whose old version could not be kept stands in "
                   "its place"});
    return;
  }
  // A folder the destination cannot hold is left out with all it holds.
  if (dest == DestFolder::kLeftOut) return;
  // The drives' traits are asked once per folder, and only where two times
  // or masks differ.
  FolderRules rules(entry, source_folder, dest_folder);
  const bool made = dest == DestFolder::kMade;
  // Both folders' times come from the looks their masks take anyway.
  const FileTime source_time = entry.LastModified(Role::kSource, source_folder);
  const FileTime dest_time =
      made ? source_time : entry.LastModified(Role::kDestination, dest_folder);
  if (!made) CarryFolderOwner(run, entry, source_folder, dest_folder);
  RefreshFolderMask(run, entry, status, rules, source_folder, dest_folder,
                    made);
  const uint64_t told = run.state.ChangesTold;
  ShowJoined(run.window, status, "Seeking ", source_folder, "...");
  if (run.state.BackupMode == kSimplex && dest == DestFolder::kFound)
    RemoveLeftovers(run, entry, status, top_source, source_folder, dest_folder);
  FolderSnapshot snapshot =
      *TakeSnapshot(run.fs, entry, Role::kSource, source_folder);
  MirrorFiles(run, entry, status, rules, source_folder, dest_folder,
              snapshot.files);
  // Every file of this folder is done before the first subfolder is entered.
  while (!snapshot.folders.Empty()) {
    const std::string name = snapshot.folders.TakeFirst();
    MirrorTree(run, entry, status, top_source,
               ChildPath(run.fs, source_folder, name),
               ChildPath(run.fs, dest_folder, name));
    AddOne(run.state.Counters.FoldersScanned, "FoldersScanned");
  }
  if (made) CompleteFolder(entry, rules, source_folder, dest_folder);
  // Its time once its content is settled: what the pass wrote in it (or
  // below it, for simplicity) changed the time it had.
  if (made || run.state.ChangesTold != told ||
      rules.MatchTimes(dest_time, source_time) != TimeMatch::kSame)
    entry.SetFolderTime(dest_folder, source_time);
}

}  // namespace

void MirrorFolder(RunContext& run, EntryRun& entry,
                  const std::string& source_folder,
                  const std::string& dest_folder) {
  entry.BeginPass(Role::kSource);
  // One buffer for every status text of the pass.
  std::string status;
  MirrorTree(run, entry, status, source_folder, source_folder, dest_folder);
  // Copies batched for one flush take their names before the pass returns.
  entry.EndPass();
}

}  // namespace fernwise
