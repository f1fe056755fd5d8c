#include "sync/sweep.h"

#include <cerrno>

#include "core/file_system.h"
#include "core/path_probe.h"
#include "core/run_error.h"
#include "core/window.h"
#include "sync/secondary.h"

namespace fernwise {

namespace {

/// One sweep of a BACKUP entry: the run, the entry's own source folder,
/// which every level of the walk checks before it erases anything, and one
/// buffer for every status text of the pass.
struct Sweep {
  RunContext& run;
  const std::string& top_source;
  std::string status;
};

// A source that vanished mid-run (a drive unplugged, a share dropped) makes
// every probe below it fail, and the sweep would then erase the whole backup;
// a drive unmounted from under its mount point leaves an empty folder there
// that fails them all the same. So an absent source-side path only counts
// once the entry's own source folder is found to be the very folder the
// entry began with, and a fresh look, past anything the pass has read,
// agrees that the path is gone. This costs two looks, on the erase path only.
bool SourceSideGone(const Sweep& sweep, const std::string& source_side_path) {
  FileSystem& fs = sweep.run.fs;
  if (PathExists(fs, source_side_path)) return false;
  if (!fs.SourceStillThere(sweep.top_source))
    throw RunError(ENOENT,
                   "The source folder has disappeared; nothing more is erased",
                   "sweep against source", sweep.top_source);
  return !fs.ExistsAfresh(source_side_path);
}

void SweepFile(Sweep& sweep, const std::string& dest_file,
               const std::string& source_side_path) {
  RunContext& run = sweep.run;
  ShowJoined(run.window, sweep.status, "Comparing ", dest_file, " and ",
             source_side_path, "...");
  if (!SourceSideGone(sweep, source_side_path)) return;
  ShowJoined(run.window, sweep.status, "Erasing ", dest_file, "...");
  // The copy comes first, so a copy that fails leaves the file in place.
  // A file whose old version cannot be kept is not erased either.
  if (run.state.BackupMode == kDuplexPreserving &&
      !SaveToSecondaryFolder(run, source_side_path, dest_file))
    return;
  run.fs.Delete(dest_file);
}

void SweepTree(Sweep& sweep, const std::string& dest_folder,
               const std::string& source_folder) {
  RunContext& run = sweep.run;
  ShowJoined(run.window, sweep.status, "Sweeping ", dest_folder, "...");
  // Complete before the first probe: a probe ends the listing in progress.
  FolderSnapshot snapshot = *TakeSnapshot(run.fs, dest_folder);
  ChildPathBuffer dest_file(run.fs, dest_folder);
  ChildPathBuffer source_side_path(run.fs, source_folder);
  while (!snapshot.files.Empty()) {
    const std::string name = snapshot.files.TakeFirst();
    SweepFile(sweep, dest_file.With(name), source_side_path.With(name));
  }
  while (!snapshot.folders.Empty()) {
    const std::string name = snapshot.folders.TakeFirst();
    SweepTree(sweep, ChildPath(run.fs, dest_folder, name),
              ChildPath(run.fs, source_folder, name));
  }
  if (!SourceSideGone(sweep, source_folder)) return;
  run.window.ShowStatus("Deleting empty Backup folder...");
  run.fs.RemoveFolder(dest_folder);
}

}  // namespace

void SweepFolder(RunContext& run, const std::string& dest_folder,
                 const std::string& source_folder) {
  run.fs.BeginPass();
  Sweep sweep{run, source_folder, {}};
  SweepTree(sweep, dest_folder, source_folder);
}

}  // namespace fernwise
