// The record of one run, a text file in the user's state folder
// (FileSystem::StateFolder): when the run started, its job script, each
// entry with its mode and folders, a line for every change the passes made
// (core/change_notes.h), and how the run ended. README.md's "The run
// record" describes its lines.
//
// A record costs an unchanged run a few lines: nothing is written for an
// entry that did not change, and lines collect in the output's buffer until
// the run ends. It is written through to the disk before the run reports
// where the run has a flush of its own to make (it changed something) or
// ended in a rejection or a failure; the record of a run that changed
// nothing is handed to the system without waiting for the disk, as such a
// run flushes nothing. A record that cannot be written (no home folder, a full
// disk, a read-only state folder) is given up quietly: it never stops,
// changes or ends the run, and its failures never reach the run.
#pragma once

#include <cstddef>
#include <initializer_list>
#include <memory>
#include <string>
#include <string_view>

#include "core/change_notes.h"
#include "core/file_system.h"
#include "core/run_state.h"

namespace fernwise {

/// How many records the state folder keeps, the newest.
inline constexpr size_t kRecordsKept = 100;

/// A record's file name for a run that started at `started` (local time,
/// "YYYY-MM-DD HH:MM:SS"): "YYYY-MM-DDTHH-MM-SS.txt", and for the `attempt`th
/// run started in that second from the second on, "YYYY-MM-DDTHH-MM-SS_02.txt"
/// to "..._99.txt". Names sort as the runs started.
std::string RecordName(std::string_view started, int attempt);

/// Whether `name` is of RecordName's form: the only names the removal of
/// old records ever touches.
bool IsRecordName(std::string_view name);

class RunRecord final : public ChangeNotes {
 public:
  /// Makes a new record for the run that started at `start`, and removes
  /// the oldest records past kRecordsKept.
  RunRecord(FileSystem& fs, FileTime start);
  RunRecord(const RunRecord&) = delete;
  RunRecord& operator=(const RunRecord&) = delete;
  ~RunRecord() override;

  void Script(const std::string& path);
  void Backup(BackupModeValue mode, const EntryFolders& folders);
  void StoreTree(const std::string& folder, const std::string& listing);
  void Note(Change change, const std::string& path,
            const std::string& detail) noexcept override;
  /// A rejected entry's message.
  void Rejected(const std::string& message);
  /// Ends the record with the completion report and closes it.
  void Report(const std::string& report);
  /// Ends the record with the report of the failure that ended the run and
  /// closes it: on the disk when this returns.
  void Failed(const std::string& error_report);

 private:
  void Open(FileTime start);
  /// Writes each line of `text` after `word`, and closes the record, on the
  /// disk when durable_.
  void End(std::string_view word, const std::string& text) noexcept;
  /// Writes `word`, a space and the fields escaped, separated by tabs.
  void Line(std::string_view word,
            std::initializer_list<std::string_view> fields) noexcept;
  void Close() noexcept;

  FileSystem& fs_;
  char separator_;
  std::unique_ptr<TextOutput> out_;  // null once given up
  std::string line_;                 // every line's buffer
  bool durable_ = false;             // to be on the disk before the run reports
};

}  // namespace fernwise
