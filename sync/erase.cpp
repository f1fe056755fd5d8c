#include "sync/erase.h"

#include <cerrno>

#include "core/change_notes.h"
#include "core/file_system.h"
#include "core/path_probe.h"
#include "core/run_error.h"
#include "core/window.h"
#include "sync/secondary.h"

namespace fernwise {

// A source that vanished mid-run (a drive unplugged, a share dropped) makes
// every probe below it fail, and the sweep would then erase the whole backup;
// a drive unmounted from under its mount point leaves an empty folder there
// that fails them all the same. So an absent source-side path only counts
// once the entry's own source folder is found to be the very folder the
// entry began with, and a fresh look, past anything the pass has read,
// agrees that the path is gone. This costs two looks, on the erase path only.
bool SourceSideGone(EntryRun& entry, const std::string& top_source,
                    const std::string& source_side_path) {
  if (PathExists(entry, Role::kSource, source_side_path)) return false;
  return SourceSideGoneAfresh(entry, top_source, source_side_path);
}

bool SourceSideGoneAfresh(EntryRun& entry, const std::string& top_source,
                          const std::string& source_side_path) {
  if (!entry.SourceStillThere())
    throw RunError(ENOENT,
                   "The source folder has disappeared; nothing more is erased",
                   "sweep against source", top_source);
  return !entry.ExistsAfresh(Role::kSource, source_side_path);
}

bool EraseFile(RunContext& run, EntryRun& entry, std::string& status,
               const std::string& dest_file,
               const std::string& source_side_path, bool keep_copy) {
  ShowJoined(run.window, status, "Erasing ", dest_file, "...");
  // The copy comes first, so a copy that fails leaves the file in place.
  // A file whose old version cannot be kept is not erased either.
  if (keep_copy && run.state.BackupMode == kDuplexPreserving &&
      !SaveToSecondaryFolder(run, entry, source_side_path, dest_file))
    return false;
  entry.Delete(Role::kDestination, dest_file);
  NoteChange(run, Change::kFileErased, dest_file);
  return true;
}

bool EraseFolder(RunContext& run, EntryRun& entry, std::string& status,
                 const std::string& dest_folder,
                 const std::string& source_side_folder) {
  const FileSystem& fs = run.fs;
  ShowJoined(run.window, status, "Sweeping ", dest_folder, "...");
  FolderSnapshot snapshot =
      *TakeSnapshot(fs, entry, Role::kDestination, dest_folder);
  bool emptied = true;
  ChildPathBuffer dest_file(fs, dest_folder);
  ChildPathBuffer source_side_path(fs, source_side_folder);
  while (!snapshot.files.Empty()) {
    const std::string name = snapshot.files.TakeFirst();
    emptied &=
        EraseFile(run, entry, status, dest_file.With(name),
                  source_side_path.With(name), !fs.IsLeftoverTemporary(name));
  }
  while (!snapshot.folders.Empty()) {
    const std::string name = snapshot.folders.TakeFirst();
    emptied &= EraseFolder(run, entry, status, ChildPath(fs, dest_folder, name),
                           ChildPath(fs, source_side_folder, name));
  }
  if (!emptied) return false;
  run.window.ShowStatus("Deleting empty Backup folder...");
  entry.RemoveFolder(dest_folder);
  NoteChange(run, Change::kFolderErased, dest_folder);
  return true;
}

}  // namespace fernwise
