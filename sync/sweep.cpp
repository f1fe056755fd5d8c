#include "sync/sweep.h"

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>

#include "core/change_notes.h"
#include "core/file_system.h"
#include "core/path_probe.h"
#include "core/window.h"
#include "sync/erase.h"

namespace fernwise {

namespace {

// A name with its ASCII letters in small letters and every byte of a
// non-ASCII character alike: every spelling of a name in another letter case
// has the same key, and few other names do.
std::string CaseKey(std::string_view name) {
  std::string key(name);
  for (char& c : key) {
    if (c >= 'A' && c <= 'Z')
      c = static_cast<char>(c - 'A' + 'a');
    else if (static_cast<unsigned char>(c) >= 0x80)
      c = '\x80';
  }
  return key;
}

// Whether two paths show one entry: the same kind, time and length.
bool ShowSameEntry(FileSystem& fs, const std::string& a, const std::string& b) {
  if (!PathExists(fs, a)) return false;
  const uint32_t mask = fs.ReadAttributes(a);
  return mask == fs.ReadAttributes(b) &&
         fs.LastModified(a) == fs.LastModified(b) &&
         ((mask & kAttrFolder) != 0 || fs.Length(a) == fs.Length(b));
}

// On a destination that ignores letter case (a FAT stick on Linux), a source
// entry renamed only in case, "Notes.md" to "notes.md", still has its old
// backup there: the mirror found it under the new spelling and brought it up
// to date. The sweep lists the old spelling and finds no source entry of
// that name; erasing it would erase the only backup of "notes.md". So
// before an entry goes, the folder's source names are read (once, and only
// then) and one that finds the same entry on the destination keeps it.
class CaseTwins {
 public:
  CaseTwins(FileSystem& fs, const std::string& dest_folder,
            const std::string& source_folder)
      : fs_(fs), dest_folder_(dest_folder), source_folder_(source_folder) {}

  /// The source name that finds the destination entry `name` spelled in
  /// another letter case; nullopt when none does.
  std::optional<std::string> Of(const std::string& name) {
    if (!read_) Read();
    const std::string dest_entry = ChildPath(fs_, dest_folder_, name);
    auto [first, last] = names_.equal_range(CaseKey(name));
    for (auto it = first; it != last; ++it) {
      if (it->second != name &&
          ShowSameEntry(fs_, ChildPath(fs_, dest_folder_, it->second),
                        dest_entry))
        return it->second;
    }
    return std::nullopt;
  }

 private:
  void Read() {
    read_ = true;
    if (!fs_.NamesIgnoreCase(dest_folder_)) return;
    for (std::string name =
             fs_.StartListing(ChildPath(fs_, source_folder_, ""));
         !name.empty(); name = fs_.NextName()) {
      if (name != "." && name != "..") names_.emplace(CaseKey(name), name);
    }
  }

  FileSystem& fs_;
  const std::string& dest_folder_;
  const std::string& source_folder_;
  bool read_ = false;
  std::unordered_multimap<std::string, std::string> names_;
};

/// One sweep of a BACKUP entry: the run, the entry's own source folder,
/// which every level of the walk checks before it erases anything, and one
/// buffer for every status text of the pass.
struct Sweep {
  RunContext& run;
  const std::string& top_source;
  std::string status;
};

void SweepFile(Sweep& sweep, CaseTwins& twins, const std::string& name,
               const std::string& dest_file,
               const std::string& source_side_path) {
  RunContext& run = sweep.run;
  ShowJoined(run.window, sweep.status, "Comparing ", dest_file, " and ",
             source_side_path, "...");
  if (!SourceSideGone(run, sweep.top_source, source_side_path)) return;
  if (twins.Of(name)) return;
  // A temporary file a killed copy left behind is no version of anything.
  // One whose source side exists is the user's own file of that name, kept
  // above like any other.
  EraseFile(run, sweep.status, dest_file, source_side_path,
            !run.fs.IsLeftoverTemporary(name));
}

// `source_seen`: the source folder was found when the walk came to it, so it
// is not looked for again when the folder is done.
void SweepTree(Sweep& sweep, const std::string& dest_folder,
               const std::string& source_folder, bool source_seen) {
  RunContext& run = sweep.run;
  ShowJoined(run.window, sweep.status, "Sweeping ", dest_folder, "...");
  // Complete before the first probe: a probe ends the listing in progress.
  FolderSnapshot snapshot = *TakeSnapshot(run.fs, dest_folder);
  ChildPathBuffer dest_file(run.fs, dest_folder);
  ChildPathBuffer source_side_path(run.fs, source_folder);
  CaseTwins twins(run.fs, dest_folder, source_folder);
  while (!snapshot.files.Empty()) {
    const std::string name = snapshot.files.TakeFirst();
    SweepFile(sweep, twins, name, dest_file.With(name),
              source_side_path.With(name));
  }
  while (!snapshot.folders.Empty()) {
    const std::string name = snapshot.folders.TakeFirst();
    std::string source_side = ChildPath(run.fs, source_folder, name);
    bool seen = PathExists(run.fs, source_side);
    // What the backup of a drive that is not mounted holds is not gone.
    if (seen && run.fs.AwaitsAbsentDrive(source_side)) continue;
    if (!seen) {
      if (auto twin = twins.Of(name)) {
        source_side = ChildPath(run.fs, source_folder, *twin);
        seen = true;
      }
    }
    SweepTree(sweep, ChildPath(run.fs, dest_folder, name), source_side, seen);
  }
  if (source_seen || !SourceSideGone(run, sweep.top_source, source_folder))
    return;
  run.window.ShowStatus("Deleting empty Backup folder...");
  run.fs.RemoveFolder(dest_folder);
  NoteChange(run, Change::kFolderErased, dest_folder);
}

}  // namespace

void SweepFolder(RunContext& run, const std::string& dest_folder,
                 const std::string& source_folder) {
  run.fs.BeginPass();
  Sweep sweep{run, source_folder, {}};
  SweepTree(sweep, dest_folder, source_folder, false);
  run.fs.EndPass();
}

}  // namespace fernwise
