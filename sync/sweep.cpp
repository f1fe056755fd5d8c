#include "sync/sweep.h"

#include "core/file_system.h"
#include "core/path_probe.h"
#include "core/window.h"
#include "sync/erase.h"

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

void SweepFile(Sweep& sweep, const std::string& name,
               const std::string& dest_file,
               const std::string& source_side_path) {
  RunContext& run = sweep.run;
  ShowJoined(run.window, sweep.status, "Comparing ", dest_file, " and ",
             source_side_path, "...");
  if (!SourceSideGone(run, sweep.top_source, source_side_path)) return;
  // A temporary file a killed copy left behind is no version of anything.
  // One whose source side exists is the user's own file of that name, kept
  // above like any other.
  EraseFile(run, sweep.status, dest_file, source_side_path,
            !run.fs.IsLeftoverTemporary(name));
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
    SweepFile(sweep, name, dest_file.With(name), source_side_path.With(name));
  }
  while (!snapshot.folders.Empty()) {
    const std::string name = snapshot.folders.TakeFirst();
    SweepTree(sweep, ChildPath(run.fs, dest_folder, name),
              ChildPath(run.fs, source_folder, name));
  }
  if (!SourceSideGone(run, sweep.top_source, source_folder)) return;
  run.window.ShowStatus("Deleting empty Backup folder...");
  run.fs.RemoveFolder(dest_folder);
}

}  // namespace

void SweepFolder(RunContext& run, const std::string& dest_folder,
                 const std::string& source_folder) {
  run.fs.BeginPass();
  Sweep sweep{run, source_folder, {}};
  SweepTree(sweep, dest_folder, source_folder);
  run.fs.EndPass();
}

}  // namespace fernwise
