#include "sync/sweep.h"

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>

#include "core/ascii_case.h"
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
  for (char& c : key)
    c = static_cast<unsigned char>(c) >= 0x80 ? '\x80' : AsciiLower(c);
  return key;
}

// Whether two destination paths show one entry: the same kind, time and
// length.
bool ShowSameEntry(EntryRun& entry, const std::string& a,
                   const std::string& b) {
  constexpr Role kDest = Role::kDestination;
  if (!PathExists(entry, kDest, a)) return false;
  const uint32_t mask = entry.ReadAttributes(kDest, a);
  return mask == entry.ReadAttributes(kDest, b) &&
         entry.LastModified(kDest, a) == entry.LastModified(kDest, b) &&
         ((mask & kAttrFolder) != 0 ||
          entry.Length(kDest, a) == entry.Length(kDest, b));
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
  CaseTwins(const FileSystem& fs, EntryRun& entry,
            const std::string& dest_folder, const std::string& source_folder)
      : fs_(fs),
        entry_(entry),
        dest_folder_(dest_folder),
        source_folder_(source_folder) {}

  /// The source name that finds the destination entry `name` spelled in
  /// another letter case; nullopt when none does.
  std::optional<std::string> Of(const std::string& name) {
    if (!read_) Read();
    const std::string dest_entry = ChildPath(fs_, dest_folder_, name);
    auto [first, last] = names_.equal_range(CaseKey(name));
    for (auto it = first; it != last; ++it) {
      if (it->second != name &&
          ShowSameEntry(entry_, ChildPath(fs_, dest_folder_, it->second),
                        dest_entry))
        return it->second;
    }
    return std::nullopt;
  }

 private:
  void Read() {
    read_ = true;
    if (!entry_.Traits(Role::kDestination, dest_folder_).ignores_case) return;
    for (std::string name = entry_.StartListing(
             Role::kSource, ChildPath(fs_, source_folder_, ""));
         !name.empty(); name = entry_.NextName()) {
      if (name != "." && name != "..") names_.emplace(CaseKey(name), name);
    }
  }

  const FileSystem& fs_;
  EntryRun& entry_;
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
  EntryRun& entry;
  const std::string& top_source;
  std::string status;
};

void SweepFile(Sweep& sweep, CaseTwins& twins, const std::string& name,
               const std::string& dest_file,
               const std::string& source_side_path) {
  RunContext& run = sweep.run;
  ShowJoined(run.window, sweep.status, "Comparing ", dest_file, " and ",
             source_side_path, "...");
  if (!SourceSideGone(sweep.entry, sweep.top_source, source_side_path)) return;
  if (twins.Of(name)) return;
  // A temporary file a killed copy left behind is no version of anything.
  // One whose source side exists is the user's own file of that name, kept
  // above like any other.
  EraseFile(run, sweep.entry, sweep.status, dest_file, source_side_path,
            !run.fs.IsLeftoverTemporary(name));
}

// `source_seen`: the source folder was found when the walk came to it, so it
// is not looked for again when the folder is done, unless something in it
// was erased.
void SweepTree(Sweep& sweep, const std::string& dest_folder,
               const std::string& source_folder, bool source_seen) {
  RunContext& run = sweep.run;
  EntryRun& entry = sweep.entry;
  ShowJoined(run.window, sweep.status, "Sweeping ", dest_folder, "...");
  const uint64_t told = run.state.ChangesTold;
  // Complete before the first probe: a probe ends the listing in progress.
  FolderSnapshot snapshot =
      *TakeSnapshot(run.fs, entry, Role::kDestination, dest_folder);
  ChildPathBuffer dest_file(run.fs, dest_folder);
  ChildPathBuffer source_side_path(run.fs, source_folder);
  CaseTwins twins(run.fs, entry, dest_folder, source_folder);
  while (!snapshot.files.Empty()) {
    const std::string name = snapshot.files.TakeFirst();
    SweepFile(sweep, twins, name, dest_file.With(name),
              source_side_path.With(name));
  }
  while (!snapshot.folders.Empty()) {
    const std::string name = snapshot.folders.TakeFirst();
    std::string source_side = ChildPath(run.fs, source_folder, name);
    bool seen = PathExists(entry, Role::kSource, source_side);
    // What the backup of a drive that is not mounted holds is not gone.
    if (seen && entry.AwaitsAbsentDrive(source_side)) continue;
    if (!seen) {
      if (auto twin = twins.Of(name)) {
        source_side = ChildPath(run.fs, source_folder, *twin);
        seen = true;
      }
    }
    SweepTree(sweep, ChildPath(run.fs, dest_folder, name), source_side, seen);
  }
  // What was erased in the folder changed the time the mirror gave it, so
  // the source folder is read again for its time, and a source folder
  // removed since the walk came to it is found gone then, not read as an
  // error: its backup goes as any other whose source is gone.
  const bool changed = run.state.ChangesTold != told;
  if (source_seen && !changed) return;
  const bool gone =
      source_seen ? SourceSideGoneAfresh(entry, sweep.top_source, source_folder)
                  : SourceSideGone(entry, sweep.top_source, source_folder);
  if (!gone) {
    if (changed)
      entry.SetFolderTime(dest_folder,
                          entry.LastModified(Role::kSource, source_folder));
    return;
  }
  run.window.ShowStatus("Deleting empty Backup folder...");
  entry.RemoveFolder(dest_folder);
  NoteChange(run, Change::kFolderErased, dest_folder);
}

}  // namespace

void SweepFolder(RunContext& run, EntryRun& entry,
                 const std::string& dest_folder,
                 const std::string& source_folder) {
  entry.BeginPass(Role::kDestination);
  Sweep sweep{run, entry, source_folder, {}};
  SweepTree(sweep, dest_folder, source_folder, false);
  entry.EndPass();
}

}  // namespace fernwise
