#include "job/run_record.h"

#include <algorithm>
#include <exception>
#include <vector>

#include "core/entry_run.h"
#include "core/path_probe.h"
#include "job/escaped_text.h"

namespace fernwise {

namespace {

// The most runs started within one second that each get a record.
constexpr int kAttempts = 99;

// A record's name with '9' for each digit, before its ending.
constexpr std::string_view kStampForm = "9999-99-99T99-99-99";

bool MatchesForm(std::string_view text, std::string_view form) {
  if (text.size() != form.size()) return false;
  for (size_t i = 0; i < form.size(); ++i) {
    const bool digit = text[i] >= '0' && text[i] <= '9';
    if (form[i] == '9' ? !digit : text[i] != form[i]) return false;
  }
  return true;
}

const char* ModeName(BackupModeValue mode) {
  switch (mode) {
    case kSimplex:
      return "BACKUP SIMPLEX";
    case kDuplexDestructive:
      return "BACKUP DUPLEX-DESTRUCTIVE";
    case kDuplexPreserving:
      return "BACKUP DUPLEX-PRESERVING";
  }
  return "BACKUP";
}

const char* ChangeWords(Change change) {
  switch (change) {
    case Change::kFolderCreated:
      return "created folder";
    case Change::kFileCreated:
      return "created file";
    case Change::kFileRefreshed:
      return "refreshed file";
    case Change::kFileAttributesRefreshed:
      return "refreshed attributes of file";
    case Change::kFolderAttributesRefreshed:
      return "refreshed attributes of folder";
    case Change::kFileErased:
      return "erased file";
    case Change::kFolderErased:
      return "erased folder";
    case Change::kVersionKept:
      return "kept version of";
    case Change::kLeftOut:
      return "left out";
  }
  return "changed";
}

// Keeps the newest kRecordsKept records, the new one among them: their
// names sort as their runs started. Nothing but a file of a record's name
// is removed, and one that cannot be is left. The state folder is reached
// as the destination of an entry of its own, never settled: the records are
// the program's own files, and their removal waits for no flush.
void RemoveOldRecords(FileSystem& fs, const std::string& folder) {
  constexpr Role kState = Role::kDestination;
  const std::unique_ptr<EntryRun> entry = fs.Enter({"", folder, ""}, {});
  std::vector<std::string> records;
  for (std::string name =
           entry->StartListing(kState, ChildPath(fs, folder, ""));
       !name.empty(); name = entry->NextName())
    if (IsRecordName(name) && entry->ListedIsFolder() != true)
      records.push_back(std::move(name));
  if (records.size() <= kRecordsKept) return;
  std::sort(records.begin(), records.end());
  records.resize(records.size() - kRecordsKept);
  for (const std::string& name : records) {
    const std::string path = ChildPath(fs, folder, name);
    try {
      if ((entry->ReadAttributes(kState, path) & kAttrFolder) == 0)
        entry->Delete(kState, path);
    } catch (const RunError&) {
    }
  }
}

}  // namespace

std::string RecordName(std::string_view started, int attempt) {
  std::string name(started);
  std::replace(name.begin(), name.end(), ' ', 'T');
  std::replace(name.begin(), name.end(), ':', '-');
  if (attempt > 1) {
    name += '_';
    name += static_cast<char>('0' + attempt / 10);
    name += static_cast<char>('0' + attempt % 10);
  }
  return name + ".txt";
}

bool IsRecordName(std::string_view name) {
  if (name.size() < kStampForm.size() ||
      !MatchesForm(name.substr(0, kStampForm.size()), kStampForm))
    return false;
  const std::string_view ending = name.substr(kStampForm.size());
  return ending == ".txt" || MatchesForm(ending, "_99.txt");
}

RunRecord::RunRecord(FileSystem& fs, FileTime start)
    : fs_(fs), separator_(fs.Separator()) {
  try {
    Open(start);
  } catch (const std::exception&) {
    // No record, and the run goes on as it would without one.
    out_.reset();
  }
}

RunRecord::~RunRecord() { Close(); }

void RunRecord::Open(FileTime start) {
  const std::string folder = fs_.StateFolder();
  const std::string started = fs_.IsoDateTime(start);
  // A name taken (a run started in the same second, or anything planted
  // there) is passed by, never opened.
  for (int attempt = 1; attempt <= kAttempts && !out_; ++attempt)
    out_ = fs_.CreateNewTextFile(
        ChildPath(fs_, folder, RecordName(started, attempt)));
  if (!out_) return;
  try {
    RemoveOldRecords(fs_, folder);
  } catch (const RunError&) {
    // The folder could not be listed: the old records stay.
  }
  Line("started", {started});
}

void RunRecord::Script(const std::string& path) { Line("script", {path}); }

void RunRecord::Backup(BackupModeValue mode, const EntryFolders& folders) {
  if (mode == kDuplexPreserving) {
    Line(ModeName(mode),
         {folders.source, folders.destination, folders.secondary});
  } else {
    Line(ModeName(mode), {folders.source, folders.destination});
  }
}

void RunRecord::StoreTree(const std::string& folder,
                          const std::string& listing) {
  Line("STOREFOLDERTREE", {folder, listing});
}

void RunRecord::Note(Change change, const std::string& path,
                     const std::string& detail) noexcept {
  durable_ = true;
  if (detail.empty()) {
    Line(ChangeWords(change), {path});
  } else {
    Line(ChangeWords(change), {path, detail});
  }
}

void RunRecord::Rejected(const std::string& message) {
  durable_ = true;
  Line("rejected", {message});
}

void RunRecord::Report(const std::string& report) { End("report", report); }

void RunRecord::Failed(const std::string& error_report) {
  durable_ = true;
  End("failed", error_report);
}

void RunRecord::End(std::string_view word, const std::string& text) noexcept {
  std::string_view rest = text;
  while (!rest.empty()) {
    const size_t end = std::min(rest.find("\r\n"), rest.size());
    Line(word, {rest.substr(0, end)});
    rest.remove_prefix(std::min(end + 2, rest.size()));
  }
  if (durable_ && out_) {
    try {
      out_->Flush();
    } catch (const std::exception&) {
      // Closed below all the same, with as much of it as the disk took.
    }
  }
  Close();
}

void RunRecord::Line(std::string_view word,
                     std::initializer_list<std::string_view> fields) noexcept {
  if (!out_) return;
  try {
    line_.assign(word);
    char before = ' ';
    for (const std::string_view field : fields) {
      line_ += before;
      AppendEscaped(line_, field, separator_);
      before = '\t';
    }
    line_ += '\n';
    out_->Write(line_);
  } catch (const std::exception&) {
    // A record with a hole in it is no record of the run: give it up.
    out_.reset();
  }
}

void RunRecord::Close() noexcept {
  if (!out_) return;
  try {
    out_->Close();
  } catch (const std::exception&) {
  }
  out_.reset();
}

}  // namespace fernwise
