#include "tree/folder_tree.h"

#include <optional>

#include "core/file_system.h"
#include "core/path_probe.h"
#include "core/run_error.h"
#include "core/window.h"

namespace fernwise {

namespace {

constexpr char kLineEnd[] = "\r\n";

// An integer as a sequential print statement writes it: a leading space
// stands where the sign of a negative value would go, and one space follows.
std::string NumberForm(int64_t value) {
  const std::string digits = std::to_string(value);
  return (value < 0 ? "" : " ") + digits + " ";
}

// The mask part of an entry line, the second of its two writes. A mask that
// cannot be read, or whose write fails, leaves -1 in its place; a failure to
// write the -1 as well is the run's to handle.
void WriteMask(EntryRun& entry, TextOutput& out, const std::string& path) {
  try {
    const uint32_t mask = entry.ReadAttributes(Role::kSource, path);
    out.Write(NumberForm(mask) + kLineEnd);
  } catch (const RunError&) {
    out.Write(NumberForm(-1) + kLineEnd);
  }
}

// One entry line. Length and time are both read before anything of the line
// is written, so an entry that has gone since the snapshot ends the run with
// the file ending after the last complete line.
void WriteEntryLine(RunContext& run, EntryRun& entry, TextOutput& out,
                    const std::string& folder, const std::string& name,
                    const char* kind) {
  const std::string path = ChildPath(run.fs, folder, name);
  const int64_t length = entry.Length(Role::kSource, path);
  const FileTime time = entry.LastModified(Role::kSource, path);
  out.Write(name + kind + NumberForm(length) + "," +
            run.fs.FormatDateTime(time) + ",");
  WriteMask(entry, out, path);
}

void StoreTree(RunContext& run, EntryRun& entry, const std::string& folder,
               TextOutput& out) {
  out.Write("nul, " + folder + kLineEnd);
  run.window.ShowStatus("Seeking " + folder + "...");
  std::optional<FolderSnapshot> snapshot = TakeSnapshot(
      run.fs, entry, Role::kSource, folder, SnapshotFailures::kAbsorb);
  // A folder that cannot be listed keeps its header line alone.
  if (!snapshot) return;
  NameList descent = snapshot->folders;
  while (!snapshot->folders.Empty())
    WriteEntryLine(run, entry, out, folder, snapshot->folders.TakeFirst(),
                   ",<DIR>,");
  while (!snapshot->files.Empty())
    WriteEntryLine(run, entry, out, folder, snapshot->files.TakeFirst(),
                   ",FILE,");
  while (!descent.Empty())
    StoreTree(run, entry, ChildPath(run.fs, folder, descent.TakeFirst()), out);
}

}  // namespace

void StoreFolderTree(RunContext& run, EntryRun& entry,
                     const std::string& folder, TextOutput& out) {
  entry.BeginPass(Role::kSource);
  StoreTree(run, entry, folder, out);
  entry.EndPass();
}

}  // namespace fernwise
