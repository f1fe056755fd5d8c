#include "job/run_job.h"

#include <algorithm>
#include <chrono>
#include <exception>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "core/ascii_case.h"
#include "core/entry_run.h"
#include "core/file_system.h"
#include "core/path_probe.h"
#include "core/run_error.h"
#include "core/window.h"
#include "job/left_out.h"
#include "job/progress.h"
#include "job/report.h"
#include "job/run_record.h"
#include "job/script_reader.h"
#include "sync/mirror.h"
#include "sync/secondary.h"
#include "sync/sweep.h"
#include "tree/folder_tree.h"

namespace fernwise {

namespace {

constexpr char kScriptName[] = "Setup.ini";

struct ModeWord {
  const char* word;
  BackupModeValue mode;
};
constexpr ModeWord kModeWords[] = {
    {"SIMPLEX", kSimplex},
    {"SIM", kSimplex},
    {"DUPLEX-DESTRUCTIVE", kDuplexDestructive},
    {"DUP-DES", kDuplexDestructive},
    {"DUPLEX-PRESERVING", kDuplexPreserving},
    {"DUP-PRE", kDuplexPreserving},
};

// A message that rejects an entry and ends the run; nullopt lets it go on.
using Rejection = std::optional<std::string>;

std::string Folded(std::string path, bool ignores_case) {
  return ignores_case ? AsciiUpper(path) : path;
}

// Whether `inner` lies below `outer` or is `outer`, after resolving links so
// that no link can hide an overlap. Paths that cannot be resolved overlap
// nothing: the entry's existence checks have already passed by then.
bool LiesInside(FileSystem& fs, const std::string& inner,
                const std::string& outer, bool same_counts) {
  const std::string resolved_inner =
      Folded(fs.ResolvePath(inner), fs.IgnoresCase());
  std::string resolved_outer = Folded(fs.ResolvePath(outer), fs.IgnoresCase());
  if (resolved_inner.empty() || resolved_outer.empty()) return false;
  if (resolved_inner == resolved_outer) return same_counts;
  if (resolved_outer.back() != fs.Separator()) resolved_outer += fs.Separator();
  return resolved_inner.compare(0, resolved_outer.size(), resolved_outer) == 0;
}

// Runs `work` on the object of an entry whose folders are held, and settles
// it however the work ends. Settling names the copies still waiting for
// their flush, which can fail (a folder replaced by a link, a full disk):
// after work that succeeded, that failure is the entry's own; after work
// that failed, it is added to the work's failure, which stays the run's
// error. Either way the drives the entry wrote to join the run's, to be
// flushed before the report.
template <typename Work>
void InEntry(RunContext& run, const EntryFolders& folders,
             const ProgressCallback& progress, Work work) {
  std::unique_ptr<EntryRun> entry = run.fs.Enter(folders, progress);
  std::vector<std::unique_ptr<WrittenDrive>>& written = run.state.WrittenDrives;
  try {
    work(*entry);
  } catch (RunError& error) {
    if (const std::optional<RunError> later = entry->Settle(written))
      error.AddFollowing(*later);
    throw;
  } catch (...) {
    entry->Settle(written);  // the first failure is the one to report
    throw;
  }
  if (std::optional<RunError> failure = entry->Settle(written))
    throw std::move(*failure);
}

// While it lives, the passes tell their changes to `notes`, however the run
// ends.
class NotingChanges {
 public:
  NotingChanges(RunContext& run, ChangeNotes& notes)
      : run_(run), saved_(run.notes) {
    run_.notes = &notes;
  }
  NotingChanges(const NotingChanges&) = delete;
  NotingChanges& operator=(const NotingChanges&) = delete;
  ~NotingChanges() { run_.notes = saved_; }

 private:
  RunContext& run_;
  ChangeNotes* saved_;
};

double SteadySeconds() {
  return std::chrono::duration<double>(
             std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

class JobRun {
 public:
  /// The long steps of every entry report to `progress`.
  JobRun(RunContext& run, FieldReader& script, RunRecord& record,
         ProgressCallback progress)
      : run_(run),
        script_(script),
        record_(record),
        progress_(std::move(progress)) {}

  // Carries out the entries in order; returns the message of a rejected
  // entry, after which nothing more of the script is read.
  Rejection CarryOut() {
    while (!script_.AtEnd()) {
      const std::string keyword = NormaliseKeyword(script_.Next());
      Rejection rejection;
      if (keyword == "MODE") {
        rejection = Mode();
      } else if (keyword == "BACKUP") {
        rejection = Backup();
      } else if (keyword == "STOREFOLDERTREE") {
        StoreTree();
      }
      if (rejection) return rejection;
    }
    return std::nullopt;
  }

 private:
  Rejection Mode() {
    const std::string word = script_.Next();
    const std::string normalised = NormaliseKeyword(word);
    for (const ModeWord& candidate : kModeWords) {
      if (normalised != candidate.word) continue;
      run_.state.BackupMode = candidate.mode;
      if (candidate.mode == kDuplexPreserving)
        run_.state.SecondaryFolder = script_.Next();
      return std::nullopt;
    }
    return "Invalid mode " + word + " in Setup.ini!";
  }

  Rejection Backup() {
    const std::string source = script_.Next();
    const std::string dest = script_.Next();
    const bool preserving = run_.state.BackupMode == kDuplexPreserving;
    const EntryFolders folders{
        source, dest, preserving ? run_.state.SecondaryFolder : std::string()};
    record_.Backup(run_.state.BackupMode, folders);
    Rejection rejection;
    InEntry(run_, folders, progress_,
            [&](EntryRun& entry) { rejection = BackUp(entry, source, dest); });
    return rejection;
  }

  Rejection BackUp(EntryRun& entry, const std::string& source,
                   const std::string& dest) {
    if (Rejection rejection = CheckFolders(entry, source, dest))
      return rejection;
    // The folder an absent drive leaves behind holds nothing of the drive:
    // the entry is left out, its backup kept as it is, and the run goes on.
    if (entry.AwaitsAbsentDrive(source)) {
      RecordLeftOut(run_, source, {kDriveNotMounted});
      return std::nullopt;
    }
    if (Rejection rejection = CheckNotSweptBare(entry, source, dest))
      return rejection;
    if (run_.state.BackupMode == kDuplexPreserving) RemoveLeftoversOnce(entry);
    try {
      MirrorFolder(run_, entry, source, dest);
      if (run_.state.BackupMode > kSimplex)
        SweepFolder(run_, entry, dest, source);
    } catch (const EntryRejected& rejected) {
      return rejected.what();
    }
    return std::nullopt;
  }

  Rejection CheckFolders(EntryRun& entry, const std::string& source,
                         const std::string& dest) {
    FileSystem& fs = run_.fs;
    const std::string& secondary = run_.state.SecondaryFolder;
    const bool preserving = run_.state.BackupMode == kDuplexPreserving;
    if (!PathExists(entry, Role::kSource, source))
      return "Source (" + source + ") does not exist!";
    if (!PathExists(entry, Role::kDestination, dest))
      return "Destination (" + dest + ") does not exist!";
    // Probed in every mode; only the preserving mode needs the folder.
    if (!PathExists(entry, Role::kSecondary, secondary) && preserving)
      return "Secondary Backup Folder (" + secondary + ") does not exist!";
    // Overlapping trees would make the mirror copy into its own source until
    // paths overflow, or let the sweep erase the source.
    // The paths tell of links, the folders' identities of bind mounts.
    using enum EntryRun::Nesting;
    constexpr Role kSource = Role::kSource;
    constexpr Role kDest = Role::kDestination;
    if (LiesInside(fs, dest, source, false) ||
        entry.NestingOf(kDest, kSource) == kInside)
      return "Destination (" + dest + ") lies inside Source (" + source + ")!";
    if (LiesInside(fs, source, dest, false) ||
        entry.NestingOf(kSource, kDest) == kInside)
      return "Source (" + source + ") lies inside Destination (" + dest + ")!";
    // Copies kept inside the destination would be swept away with it.
    if (preserving && (LiesInside(fs, secondary, dest, true) ||
                       entry.NestingOf(Role::kSecondary, kDest) != kApart))
      return "Secondary Backup Folder (" + secondary +
             ") lies inside Destination (" + dest + ")!";
    return std::nullopt;
  }

  // An empty source would have the sweep erase the whole backup, and an
  // empty source is more often a drive, a share or a folder that is not
  // there as it should be than a backup meant to be emptied. So in the
  // duplex modes it is refused while the destination holds anything but
  // leftover temporary files; a source that cannot be listed is an error.
  Rejection CheckNotSweptBare(EntryRun& entry, const std::string& source,
                              const std::string& dest) {
    if (run_.state.BackupMode == kSimplex ||
        HoldsEntries(entry, Role::kSource, source, true) ||
        !HoldsEntries(entry, Role::kDestination, dest, false))
      return std::nullopt;
    return "Source (" + source + ") is empty but Destination (" + dest +
           ") is not! Nothing was erased. To empty the backup on purpose, "
           "delete what the destination holds yourself, or put one file into "
           "the source.";
  }

  // Whether `folder` holds an entry other than "." and "..", and other than
  // this program's leftover temporary files unless `leftovers_count`.
  bool HoldsEntries(EntryRun& entry, Role role, const std::string& folder,
                    bool leftovers_count) {
    const FileSystem& fs = run_.fs;
    for (std::string name = entry.StartListing(role, ChildPath(fs, folder, ""));
         !name.empty(); name = entry.NextName())
      if (name != "." && name != ".." &&
          (leftovers_count || !fs.IsLeftoverTemporary(name)))
        return true;
    return false;
  }

  // A secondary folder's leftover temporary files go before the run keeps
  // the first version there, once in a run.
  void RemoveLeftoversOnce(EntryRun& entry) {
    const std::string& folder = run_.state.SecondaryFolder;
    if (std::find(cleared_.begin(), cleared_.end(), folder) != cleared_.end())
      return;
    cleared_.push_back(folder);
    RemoveSecondaryLeftovers(run_, entry);
  }

  void StoreTree() {
    const std::string folder = script_.Next();
    const std::string listing = script_.Next();
    record_.StoreTree(folder, listing);
    std::unique_ptr<TextOutput> out = run_.fs.CreateTextFile(listing);
    InEntry(run_, {folder, "", ""}, progress_, [&](EntryRun& entry) {
      StoreFolderTree(run_, entry, folder, *out);
      out->Close();
    });
  }

  RunContext& run_;
  FieldReader& script_;
  std::vector<std::string> cleared_;  // secondary folders cleared this run
  RunRecord& record_;
  ProgressCallback progress_;
};

FieldReader OpenScript(FileSystem& fs, const std::string& path) {
  std::string bytes;
  try {
    bytes = fs.ReadWholeFile(kScriptName);
  } catch (const RunError& error) {
    // Name the folder the script was looked for in, not the bare name.
    throw RunError(error.number(), error.text(), "open job script", path);
  }
  // Its own failures (text that does not decode, a broken quote) already
  // name the file and the line.
  return FieldReader(bytes, path);
}

FileTime SystemNow() {
  return {std::chrono::duration_cast<std::chrono::nanoseconds>(
              std::chrono::system_clock::now().time_since_epoch())
              .count()};
}

void RunRecorded(RunContext& run, RunRecord& record) {
  RunState& state = run.state;
  state.RunTimer = run.clock();
  run.window.SetButtonEnabled(false);
  ProgressPacer pacer(run.window, run.steady ? run.steady : SteadySeconds);
  // The long steps of the run report to the pacer, and only they: the
  // flush of a failed run, after it, reports to no one.
  const ProgressCallback progress = std::ref(pacer);
  state.Counters = RunCounters{};
  state.LeftOut.clear();
  state.BackupMode = kDuplexDestructive;

  const std::string script_path =
      ChildPath(run.fs, run.fs.CurrentDirectory(), kScriptName);
  record.Script(script_path);
  FieldReader script = OpenScript(run.fs, script_path);
  const Rejection rejection = JobRun(run, script, record, progress).CarryOut();
  // On the disk before the run says anything more: a drive may be pulled
  // out as soon as the report shows.
  FlushWrites(run, progress);
  if (rejection) {
    record.Rejected(*rejection);
    run.window.ShowMessage(*rejection);
  }
  ReportLeftOut(run);

  const int32_t elapsed = ElapsedSeconds(state.RunTimer, run.clock());
  state.RunTimer = elapsed;
  const std::string report = CompletionReport(elapsed, state.Counters);
  record.Report(report);
  run.window.ShowReport(report);
  run.window.SetButtonEnabled(true);
}

}  // namespace

void RunBackupJob(RunContext& run) {
  RunRecord record(run.fs, run.now ? run.now() : SystemNow());
  const NotingChanges noting(run, record);
  // The record ends with what ended the run, before the window shows it.
  try {
    RunRecorded(run, record);
  } catch (const RunError& error) {
    record.Failed(error.Report());
    throw;
  } catch (const std::exception& error) {
    record.Failed(std::string("Error: ") + error.what());
    throw;
  }
}

void FlushWrites(RunContext& run, const ProgressCallback& progress) {
  std::vector<std::unique_ptr<WrittenDrive>>& written = run.state.WrittenDrives;
  std::string status;
  while (!written.empty()) {
    // Taken off first: a drive whose flush failed is not tried again by the
    // flush that follows a failed run.
    const std::unique_ptr<WrittenDrive> drive = std::move(written.front());
    written.erase(written.begin());
    ShowJoined(run.window, status, "Flushing ", drive->Shown(), "...");
    drive->Flush(progress);
  }
}

std::optional<std::string> RunBackupJobReportingFailure(RunContext& run) {
  StatusKeepingWindow window(run.window);
  RunContext watched{run.fs, window, run.state, run.clock, run.steady};
  try {
    RunBackupJob(watched);
    return std::nullopt;
  } catch (const RunError& error) {
    const std::string failed_step = window.last_status();
    std::string report = error.Report();
    // What was done before the failure stays done, and reaches the disk.
    try {
      FlushWrites(watched);
    } catch (const RunError& flush_error) {
      report += "\r\n" + flush_error.Report();
    }
    // The error report stands over the step that failed, not the flush.
    if (!failed_step.empty() && window.last_status() != failed_step)
      run.window.ShowStatus(failed_step);
    return report;
  } catch (const std::exception& error) {
    // Not the run's own kind of failure (out of memory, say), but it still
    // ends the program with a report rather than silently.
    return std::string("Error: ") + error.what();
  }
}

}  // namespace fernwise
