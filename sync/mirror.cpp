#include "sync/mirror.h"

#include <algorithm>
#include <cstdint>

#include "core/file_system.h"
#include "core/path_probe.h"
#include "core/run_error.h"
#include "core/window.h"
#include "sync/secondary.h"

namespace fernwise {

namespace {

/// Whether two last-modified times count as the same. A coarse file system
/// (FAT keeps 2-second steps) stores a copy's time rounded, so on one the
/// times of a fresh copy and its source differ by less than the step and must
/// count as equal, or every run would copy every file again. Where both sides
/// keep full resolution the comparison is exact. Where a side keeps local
/// time, a difference of exactly its shift (within the step) is the same time
/// read under another offset from UTC, as after a daylight-saving change;
/// the price is that a file changed exactly that long after its copy is not
/// copied again.
class TimeComparison {
 public:
  TimeComparison(int64_t coarser_resolution_ns, int64_t shift_ns)
      : tolerance_ns_(coarser_resolution_ns > 1 ? coarser_resolution_ns : 0),
        shift_ns_(shift_ns > 0 ? uint64_t(shift_ns) : 0) {}

  bool Same(FileTime a, FileTime b) const {
    // Unsigned, so the distance of any two stamps is exact.
    const uint64_t distance = a.ns > b.ns ? uint64_t(a.ns) - uint64_t(b.ns)
                                          : uint64_t(b.ns) - uint64_t(a.ns);
    if (Close(distance)) return true;
    return shift_ns_ != 0 && Close(distance > shift_ns_ ? distance - shift_ns_
                                                        : shift_ns_ - distance);
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

  bool Same(FileTime a, FileTime b) {
    if (a == b) return true;
    if (!asked_) {
      comparison_ = TimeComparison(std::max(fs_.TimeResolution(source_folder_),
                                            fs_.TimeResolution(dest_folder_)),
                                   std::max(fs_.LocalTimeShift(source_folder_),
                                            fs_.LocalTimeShift(dest_folder_)));
      asked_ = true;
    }
    return comparison_.Same(a, b);
  }

 private:
  FileSystem& fs_;
  const std::string& source_folder_;
  const std::string& dest_folder_;
  TimeComparison comparison_{1, 0};
  bool asked_ = false;
};

/// Makes `dest_folder` where it is missing; false, with the source folder
/// noted in the run's LeftOut, when the destination cannot hold its name.
bool EnsureDestinationFolder(RunContext& run, const std::string& source_folder,
                             const std::string& dest_folder) {
  if (PathExists(run.fs, dest_folder)) return true;
  run.window.ShowStatus("Creating Destination folder...");
  const CopyResult result = run.fs.CreateFolder(dest_folder);
  if (!result.made()) {
    RecordLeftOut(run.state, source_folder, result);
    return false;
  }
  AddOne(run.state.Counters.FoldersCreated, "FoldersCreated");
  return true;
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
  AddOne(run.state.Counters.FoldersRefreshed, "FoldersRefreshed");
}

/// Copies `source_file` over `dest_file`; false, with the entry noted in the
/// run's LeftOut, when the destination cannot hold it.
bool CopyOrLeaveOut(RunContext& run, const std::string& source_file,
                    const std::string& dest_file) {
  const CopyResult result = run.fs.Copy(source_file, dest_file);
  if (!result.made()) RecordLeftOut(run.state, source_file, result);
  return result.made();
}

/// Brings one destination file in line with its source: presence, then
/// time, then mask, each on the state the step before has left.
void MirrorFile(RunContext& run, std::string& status, FolderTimes& times,
                const std::string& source_file, const std::string& dest_file) {
  FileSystem& fs = run.fs;
  RunCounters& counters = run.state.Counters;
  ShowJoined(run.window, status, "Comparing ", source_file, " and ", dest_file,
             "...");
  if (!PathExists(fs, dest_file)) {
    ShowJoined(run.window, status, "Copying ", source_file, " to ", dest_file,
               "...");
    // Left out: nothing was made, so there is no time or mask to compare.
    if (!CopyOrLeaveOut(run, source_file, dest_file)) return;
    AddOne(counters.FilesCreated, "FilesCreated");
  }
  const FileTime dest_time = fs.LastModified(dest_file);
  const FileTime source_time = fs.LastModified(source_file);
  if (!times.Same(dest_time, source_time)) {
    // "Refresing " is the status text as users and their scripts know it:
    // spelled so on purpose.
    ShowJoined(run.window, status, "Refresing ", dest_file, "...");
    // No file is overwritten before its old version is kept.
    if (run.state.BackupMode == kDuplexPreserving &&
        !SaveToSecondaryFolder(run, source_file, dest_file))
      return;
    if (!CopyOrLeaveOut(run, source_file, dest_file)) return;
    AddOne(counters.FilesRefreshed, "FilesRefreshed");
  }
  const uint32_t dest_mask = fs.ReadAttributes(dest_file);
  const uint32_t source_mask = fs.ReadAttributes(source_file);
  if (dest_mask != source_mask) {
    ShowJoined(run.window, status, "Refreshing attributes of ", dest_file,
               "...");
    fs.SetAttributes(dest_file, source_mask);
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
                const std::string& source_folder,
                const std::string& dest_folder) {
  // A folder the destination cannot hold is left out with all it holds.
  if (!EnsureDestinationFolder(run, source_folder, dest_folder)) return;
  RefreshFolderMask(run, status, source_folder, dest_folder);
  ShowJoined(run.window, status, "Seeking ", source_folder, "...");
  FolderSnapshot snapshot = *TakeSnapshot(run.fs, source_folder);
  MirrorFiles(run, status, source_folder, dest_folder, snapshot.files);
  // Every file of this folder is done before the first subfolder is entered.
  while (!snapshot.folders.Empty()) {
    const std::string name = snapshot.folders.TakeFirst();
    MirrorTree(run, status, ChildPath(run.fs, source_folder, name),
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
  MirrorTree(run, status, source_folder, dest_folder);
}

}  // namespace fernwise
