#include "job/run_job.h"

#include <algorithm>
#include <cstring>
#include <optional>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "core/run_error.h"
#include "job/escaped_text.h"
#include "tests/support/memory_file_system.h"
#include "tests/support/recording_window.h"

namespace fernwise {
namespace {

using ::testing::Contains;
using ::testing::ElementsAre;
using ::testing::HasSubstr;
using ::testing::IsEmpty;
using testing::MemoryFileSystem;
using ::testing::Not;
using testing::RecordingWindow;
using ::testing::StartsWith;

class RunJobTest : public ::testing::Test {
 protected:
  RunJobTest() {
    fs_.AddFolder("/work");
    fs_.AddFile("/src/a.txt", "a", FileTime{100});
    fs_.AddFolder("/dst");
    fs_.AddFolder("/old");
    // Folders the overlap checks need to find.
    fs_.AddFolder("/src/inner");
    fs_.AddFolder("/dst/inner");
    fs_.AddFolder("/dst/old");
    fs_.AddFolder("/empty");
  }

  void Run(const std::string& script) {
    fs_.AddFile("/work/Setup.ini", script);
    RunContext run{fs_, window_, state_, [this] { return now_; }};
    // A second apart: each run's record has a name of its own.
    run.now = [this] { return FileTime{(++runs_) * 1000000000LL}; };
    RunBackupJob(run);
  }

  // The text of the newest record, "" when there is none.
  std::string NewestRecord() const {
    const std::vector<std::string> records = fs_.Tree(kState);
    return records.empty()
               ? ""
               : fs_.Content(std::string(kState) + "/" + records.back());
  }

  bool Swept() const {
    for (const std::string& status : window_.statuses)
      if (status.rfind("Sweeping ", 0) == 0) return true;
    return false;
  }

  MemoryFileSystem fs_;
  RecordingWindow window_;
  RunState state_;
  double now_ = 1000.0;
  int64_t runs_ = 0;
  static constexpr char kState[] = "/home/ann/.local/state/fernwise";
};

TEST_F(RunJobTest, EmptyScriptEndsWithZeroReportBetweenDisableAndEnable) {
  Run("");
  EXPECT_THAT(window_.events, ElementsAre("disable", "report", "enable"));
  EXPECT_EQ(window_.report,
            "Done in 00:00!\r\n 0 files scanned, but intact, \r\n"
            " 0 folders scanned, but intact,\r\n 0 folders newly created,\r\n"
            " 0 folders refreshed,\r\n 0 files newly created and\r\n"
            " 0 files refreshed.");
}

TEST_F(RunJobTest, FieldsThatAreNoKeywordsAreSkippedOneByOne) {
  Run("MODE SIMPLEX\nMODE=SIMPLEX\nnote, BACKUP, /src, /dst\n");
  EXPECT_THAT(window_.messages, IsEmpty());
  EXPECT_EQ(state_.BackupMode, kDuplexDestructive);
  EXPECT_EQ(fs_.Content("/dst/a.txt"), "a");
  EXPECT_TRUE(Swept());
}

struct KeywordCase {
  const char* script;
  uint8_t mode;
  bool copied;
};

class KeywordTest : public RunJobTest,
                    public ::testing::WithParamInterface<KeywordCase> {};

TEST_P(KeywordTest, KeywordsAndModeWordsMatchAfterNormalising) {
  Run(GetParam().script);
  EXPECT_THAT(window_.messages, IsEmpty());
  EXPECT_EQ(state_.BackupMode, GetParam().mode);
  EXPECT_EQ(fs_.Exists("/dst/a.txt"), GetParam().copied);
}

INSTANTIATE_TEST_SUITE_P(
    Scripts, KeywordTest,
    ::testing::Values(
        KeywordCase{"backup,/src,/dst", kDuplexDestructive, true},
        KeywordCase{"  Backup  ,/src,/dst\r\n", kDuplexDestructive, true},
        KeywordCase{"mode, sim\nBACKUP, /src, /dst", kSimplex, true},
        KeywordCase{"Mode,dup-des", kDuplexDestructive, false},
        KeywordCase{"MODE, SIMPLEX, MODE, Duplex-Destructive", 2, false},
        KeywordCase{"mode, dup-pre, /old\nBACKUP,/src,/dst", kDuplexPreserving,
                    true},
        // Read by position: the argument fields are never keywords.
        KeywordCase{"MODE, DUP-PRE, BACKUP, /src, /dst", kDuplexPreserving,
                    false}));

TEST_F(RunJobTest, PreservingModeTakesTheFollowingFieldAsSecondaryFolder) {
  Run("MODE, DUP-PRE, BACKUP, /src, /dst");
  EXPECT_EQ(state_.SecondaryFolder, "BACKUP");
}

struct RejectionCase {
  const char* script;
  const char* message;
};

class RejectionTest : public RunJobTest,
                      public ::testing::WithParamInterface<RejectionCase> {};

TEST_P(RejectionTest, ShowsItsMessageAndEndsTheRunWithTheReport) {
  Run(std::string(GetParam().script) + "\nBACKUP, /src, /dst\n");
  EXPECT_THAT(window_.messages, ElementsAre(GetParam().message));
  EXPECT_FALSE(fs_.Exists("/dst/a.txt")) << "no entry after a rejection runs";
  EXPECT_THAT(window_.events.back(), "enable");
  EXPECT_THAT(window_.events[window_.events.size() - 2], "report");
}

INSTANTIATE_TEST_SUITE_P(
    Messages, RejectionTest,
    ::testing::Values(
        RejectionCase{"MODE, Triplex", "Invalid mode Triplex in Setup.ini!"},
        RejectionCase{"MODE, \" sim x\"", "Invalid mode  sim x in Setup.ini!"},
        RejectionCase{"BACKUP, /none, /nothing",
                      "Source (/none) does not exist!"},
        RejectionCase{"BACKUP, /src, /nothing",
                      "Destination (/nothing) does not exist!"},
        RejectionCase{"BACKUP, , /dst", "Source () does not exist!"},
        // An argument field is never read as a keyword.
        RejectionCase{"BACKUP, Backup, /dst",
                      "Source (Backup) does not exist!"},
        RejectionCase{"MODE, DUPLEX-PRESERVING, /gone\nBACKUP, /src, /dst",
                      "Secondary Backup Folder (/gone) does not exist!"},
        RejectionCase{"BACKUP, /src, /src/inner",
                      "Destination (/src/inner) lies inside Source (/src)!"},
        RejectionCase{"BACKUP, /dst/inner, /dst",
                      "Source (/dst/inner) lies inside Destination (/dst)!"},
        RejectionCase{"MODE, DUP-PRE, /dst/old\nBACKUP, /src, /dst",
                      "Secondary Backup Folder (/dst/old) lies inside "
                      "Destination (/dst)!"},
        RejectionCase{"MODE, DUP-PRE, /dst\nBACKUP, /src, /dst",
                      "Secondary Backup Folder (/dst) lies inside "
                      "Destination (/dst)!"},
        RejectionCase{"BACKUP, /empty, /dst",
                      "Source (/empty) is empty but Destination (/dst) is "
                      "not! Nothing was erased. To empty the backup on "
                      "purpose, delete what the destination holds yourself, "
                      "or put one file into the source."}));

// Where nothing the user made would be erased, an empty source runs.
TEST_F(RunJobTest, EmptySourceRunsWhereItSweepsNothingOfTheUsers) {
  fs_.AddFile("/dst2/.~copy-a1");  // a killed copy's leftover
  Run("MODE, SIM, BACKUP, /empty, /dst\nMODE, DUP-DES, BACKUP, /empty, /dst2");
  EXPECT_THAT(window_.messages, IsEmpty());
  EXPECT_THAT(fs_.Tree("/dst2"), IsEmpty());
}

// A drive that is not mounted, named as the source or below it, is left out
// and said to be, in every mode; its backup stays as it is (its folder's
// mask too), what is gone beside it is swept, and the run goes on.
TEST_F(RunJobTest, DriveThatIsNotMountedIsLeftOutAndItsBackupKept) {
  for (const std::string mode : {"SIMPLEX", "DUP-DES", "DUP-PRE, /old"}) {
    for (const std::string drive : {"/src", "/src/nas"}) {
      SCOPED_TRACE(mode + " " + drive);
      fs_ = MemoryFileSystem();
      fs_.AddFolder(drive);  // its mount point, empty
      if (drive != "/src") fs_.AddFile("/src/a.txt");
      fs_.MarkAbsentDrive(drive);
      fs_.AddFile("/dst/nas/kept.txt");
      fs_.AddFolder("/dst/nas", kAttrHidden);
      fs_.AddFile("/dst/stale.txt");
      fs_.AddFolder("/old");
      Run("MODE, " + mode + "\nBACKUP, /src, /dst\n" +
          "STOREFOLDERTREE, /dst, /work/tree.txt");
      EXPECT_EQ(fs_.Exists("/dst/a.txt"), drive != "/src");
      EXPECT_EQ(fs_.Exists("/dst/stale.txt"),
                drive == "/src" || mode == "SIMPLEX");
      EXPECT_THAT(fs_.Tree("/dst/nas"), ElementsAre("kept.txt"));
      EXPECT_EQ(fs_.Mask("/dst/nas"), kAttrHidden | kAttrFolder);
      EXPECT_THAT(state_.LeftOut,
                  ElementsAre(drive + " (its drive is not mounted)"));
      EXPECT_TRUE(fs_.Exists("/work/tree.txt"));
    }
  }
}

TEST_F(RunJobTest, ProbesSourceThenDestinationThenSecondaryInEveryMode) {
  Run("MODE, SIMPLEX, BACKUP, /src, /dst");
  const auto lists = fs_.LogOf("list ");
  ASSERT_GE(lists.size(), 3u);
  EXPECT_EQ(lists[0], "list /src");
  EXPECT_EQ(lists[1], "list /dst");
  EXPECT_EQ(lists[2], "list ");  // the secondary folder, never set
  EXPECT_THAT(window_.messages, IsEmpty());
  EXPECT_FALSE(Swept()) << "no sweep in simplex mode";
}

TEST_F(RunJobTest, SameFolderForSourceAndDestinationIsAllowed) {
  Run("BACKUP, /src, /src");
  EXPECT_THAT(window_.messages, IsEmpty());
  EXPECT_TRUE(fs_.Exists("/src/a.txt"));
}

TEST_F(RunJobTest, EveryRunStartsInDuplexDestructiveMode) {
  state_.BackupMode = kSimplex;
  fs_.AddFile("/dst/stale.txt");
  Run("BACKUP, /src, /dst");
  EXPECT_TRUE(Swept());
  EXPECT_FALSE(fs_.Exists("/dst/stale.txt"));
}

TEST_F(RunJobTest, SecondaryFolderOutlastsTheRunAndCountersDoNot) {
  Run("MODE, DUP-PRE, /old, BACKUP, /src, /dst");
  EXPECT_EQ(state_.Counters.FilesCreated, 1);
  window_ = RecordingWindow();
  Run("");
  EXPECT_EQ(state_.SecondaryFolder, "/old");
  EXPECT_EQ(state_.Counters.FilesCreated, 0);
  EXPECT_EQ(state_.BackupMode, kDuplexDestructive);
}

TEST_F(RunJobTest, ReportShowsTheElapsedTimeAndRunTimerKeepsIt) {
  fs_.AddFile("/work/Setup.ini", "");
  RunContext run{fs_, window_, state_, [this] {
                   const double t = now_;
                   now_ += 62 * 60 + 5;
                   return t;
                 }};
  RunBackupJob(run);
  EXPECT_THAT(window_.report, StartsWith("Done in 62:05!\r\n"));
  EXPECT_EQ(state_.RunTimer, 3725);
}

TEST_F(RunJobTest, StoreFolderTreeEmptiesTheListingWithoutProbingTheFolder) {
  fs_.AddFile("/dst/tree.txt", "old listing that is longer");
  Run("STOREFOLDERTREE, /missing, /dst/tree.txt");
  EXPECT_EQ(fs_.Content("/dst/tree.txt"), "nul, /missing\r\n");
  EXPECT_THAT(fs_.log(), Not(Contains("list /missing")));
  EXPECT_THAT(window_.messages, IsEmpty());
}

// A file system may answer from what it read earlier in a pass, so every
// pass must say where it begins, before its first look at the tree.
TEST_F(RunJobTest, EveryPassBeginsAfreshBeforeItsFirstOperation) {
  Run("MODE, SIMPLEX, BACKUP, /src, /dst\n"
      "MODE, DUPLEX-DESTRUCTIVE, BACKUP, /src, /old\n"
      "STOREFOLDERTREE, /src, /dst/tree.txt\n");
  std::vector<std::string> after_pass;
  const std::vector<std::string>& log = fs_.log();
  for (size_t i = 0; i + 1 < log.size(); ++i)
    if (log[i] == "pass") after_pass.push_back(log[i + 1]);
  EXPECT_THAT(after_pass, ElementsAre("list /dst", "list /old", "list /old/",
                                      "write /dst/tree.txt"));
}

// Each entry's checks and passes reach its trees through the folders it
// names, held from its start to its end; the secondary folder only when in
// use.
TEST_F(RunJobTest, EachEntryHoldsItsFoldersWhileItsPassesRun) {
  Run("MODE, DUP-PRE, /old\nBACKUP, /src, /dst\n"
      "MODE, SIMPLEX, BACKUP, /src, /dst\n"
      "STOREFOLDERTREE, /src, /old/tree.txt\n");
  std::vector<std::string> holds;
  const std::vector<std::string>& log = fs_.log();
  for (size_t i = 0; i < log.size(); ++i) {
    if (log[i].rfind("hold", 0) == 0 || log[i] == "release")
      holds.push_back(log[i] + (i + 1 < log.size() ? " | " + log[i + 1] : ""));
  }
  EXPECT_THAT(holds, ElementsAre("hold /src /dst /old | list /src",
                                 "release | hold /src /dst ",
                                 "hold /src /dst  | list /src",
                                 "release | create /old/tree.txt",
                                 "hold /src   | pass", "release | flush /dst"));
}

// A long copy's slices reach the window during the run, and only then.
TEST_F(RunJobTest, LongStepsLetTheWindowAnswerDuringTheRunOnly) {
  fs_.set_copy_slices(3);
  Run("MODE, SIMPLEX, BACKUP, /src, /dst\n");
  const std::vector<std::string>& events = window_.events;
  const auto copying = std::find(events.begin(), events.end(),
                                 "status Copying /src/a.txt to /dst/a.txt...");
  ASSERT_NE(copying, events.end());
  EXPECT_EQ(std::vector<std::string>(copying + 1, copying + 4),
            std::vector<std::string>(3, "events"));
  const size_t after_run = events.size();
  fs_.Enter({"/src", "/dst", ""}, {})->Copy("/src/a.txt", "/dst/again.txt");
  EXPECT_EQ(events.size(), after_run);
}

// What a run could not back up is said before the report, the first few in
// a message box and all of them in a file beside the job script; a run
// that left nothing out says nothing and writes nothing.
TEST_F(RunJobTest, WhatWasLeftOutIsShownAndListedBesideTheScript) {
  struct Case {
    int left_out;
    bool list_writable;
    const char* message_start;
    const char* message_end;
  };
  const Case cases[] = {
      {0, true, "", ""},
      {1, true,
       "1 entry was not backed up; the reason follows it.\n"
       "The whole list is in /work/Not backed up.txt.\n\n/src/f0 (",
       "/src/f0 (the destination cannot hold links)"},
      {12, true,
       "12 entries were not backed up; the reason follows each.\n"
       "The whole list is in /work/Not backed up.txt.\n\n/src/f0 (",
       "/src/f9 (the destination cannot hold links)\nand 2 more"},
      {2, false,
       "2 entries were not backed up; the reason follows each.\n"
       "The list could not be written: Error 13: ",
       "/src/f1 (the destination cannot hold links)"},
  };
  constexpr char kList[] = "/work/Not backed up.txt";
  for (const Case& c : cases) {
    fs_ = MemoryFileSystem();
    fs_.AddFolder("/dst");
    for (int i = 0; i < c.left_out; ++i) {
      const std::string name = "/src/f" + std::to_string(i);
      fs_.AddFile(name);
      fs_.LeaveOutCopiesOf(name, "the destination cannot hold links");
    }
    fs_.AddFile("/src/kept");
    if (!c.list_writable)
      fs_.FailOn(MemoryFileSystem::Op::kCreateTextFile, kList);
    window_ = RecordingWindow();
    Run("BACKUP, /src, /dst");
    EXPECT_TRUE(fs_.Exists("/dst/kept")) << c.left_out;
    if (c.left_out == 0) {
      EXPECT_THAT(window_.messages, IsEmpty());
      EXPECT_FALSE(fs_.Exists(kList));
      continue;
    }
    ASSERT_EQ(window_.messages.size(), 1u) << c.left_out;
    EXPECT_THAT(window_.messages[0], StartsWith(c.message_start));
    EXPECT_THAT(window_.messages[0], ::testing::EndsWith(c.message_end));
    const std::vector<std::string>& events = window_.events;
    ASSERT_GE(events.size(), 3u);
    EXPECT_THAT(
        std::vector<std::string>(events.end() - 3, events.end()),
        ElementsAre("message " + window_.messages[0], "report", "enable"))
        << "before the report";
    if (!c.list_writable) continue;
    const std::string list = fs_.Content(kList);
    EXPECT_THAT(list, StartsWith("Not backed up by the run of "));
    for (int i = 0; i < c.left_out; ++i)
      EXPECT_THAT(list, HasSubstr("\r\n/src/f" + std::to_string(i) +
                                  " (the destination cannot hold links)\r\n"));
  }
}

// What a run wrote is flushed, each file system once and announced, before
// the run reports, a failed run's error report included (which then stands
// over the failed step's text, shown again); a run that wrote nothing
// flushes nothing.
TEST_F(RunJobTest, WhatWasWrittenIsFlushedBeforeAnyReport) {
  struct Case {
    const char* what;
    const char* script;
    const char* failed_step;  // "" for a run that ends normally
    std::vector<std::string> flushes;
  };
  const Case cases[] = {
      {"copies and kept versions",
       "MODE, DUP-PRE, /old\nBACKUP, /src, /dst",
       "",
       {"/old", "/dst"}},
      {"nothing to do", "MODE, SIMPLEX, BACKUP, /src, /dst", "", {}},
      {"failure after a copy",
       "BACKUP, /src, /dst\nBACKUP, /src",
       "Comparing /dst/a.txt and /src/a.txt...",
       {"/dst"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    fs_ = MemoryFileSystem();
    fs_.AddFile("/src/a.txt", "new", FileTime{200});
    fs_.AddFile("/dst/a.txt", "old", FileTime{c.flushes.empty() ? 200 : 100});
    fs_.AddFolder("/old");
    fs_.AddFile("/work/Setup.ini", c.script);
    window_ = RecordingWindow();
    RunContext run{fs_, window_, state_, [] { return 0.0; }};
    const std::optional<std::string> failure =
        RunBackupJobReportingFailure(run);
    const bool fails = *c.failed_step != '\0';
    EXPECT_EQ(failure.has_value(), fails);
    EXPECT_EQ(fs_.LogOf("flush").size(), c.flushes.size());
    std::vector<std::string> announced;
    for (const std::string& folder : c.flushes) {
      EXPECT_THAT(fs_.LogOf("flush"), Contains("flush " + folder));
      announced.push_back("status Flushing " + folder + "...");
    }
    // The flushes are the run's last steps: after them, only the report, or
    // the failed step's text.
    std::vector<std::string> ending = announced;
    if (fails) {
      ending.push_back(std::string("status ") + c.failed_step);
    } else {
      ending.insert(ending.end(), {"report", "enable"});
    }
    const std::vector<std::string>& events = window_.events;
    ASSERT_GE(events.size(), ending.size());
    EXPECT_EQ(
        std::vector<std::string>(events.end() - ending.size(), events.end()),
        ending);
  }
}

TEST_F(RunJobTest, UnhandledFailuresLeaveTheButtonDisabledAndShowNoReport) {
  struct Case {
    const char* script;
    const char* what;
  };
  for (const Case& c :
       {Case{"BACKUP, /src", "past end"},
        Case{"STOREFOLDERTREE, /src, /nowhere/tree.txt", "listing file"}}) {
    window_ = RecordingWindow();
    fs_.AddFile("/work/Setup.ini", c.script);
    RunContext run{fs_, window_, state_, [] { return 0.0; }};
    EXPECT_THROW(RunBackupJob(run), RunError) << c.what;
    EXPECT_FALSE(window_.button_enabled) << c.what;
    EXPECT_TRUE(window_.report.empty()) << c.what;
  }
}

TEST_F(RunJobTest, MissingScriptNamesTheFileAndItsFolder) {
  RunContext run{fs_, window_, state_, [] { return 0.0; }};
  try {
    RunBackupJob(run);
    FAIL() << "expected a RunError";
  } catch (const RunError& error) {
    EXPECT_EQ(error.number(), ENOENT);
    EXPECT_EQ(error.path(), "/work/Setup.ini");
    EXPECT_THAT(error.Report(), HasSubstr("/work/Setup.ini"));
  }
  EXPECT_THAT(window_.events, ElementsAre("disable"));
}

// Settling an entry names the copies still waiting, which can fail: that
// failure is the run's error after an entry that went well, and is told
// after the entry's own error when that failed first.
TEST_F(RunJobTest, FailureToLetFoldersGoIsReportedAfterTheRunsOwn) {
  const std::string release_error = "Error " + std::to_string(EIO) +
                                    ": Input/output error (copy file "
                                    "/dst/a.txt)";
  for (const bool copy_fails : {false, true}) {
    MemoryFileSystem fs;
    fs.FailSettle(
        RunError(EIO, "Input/output error", "copy file", "/dst/a.txt"));
    fs.AddFile("/src/a.txt", "a");
    fs.AddFolder("/dst");
    fs.AddFile("/work/Setup.ini", "BACKUP, /src, /dst");
    if (copy_fails)
      fs.FailOn(MemoryFileSystem::Op::kCopy, "/src/a.txt", ENOSPC);
    RunContext run{fs, window_, state_, [] { return 0.0; }};
    const std::optional<std::string> report = RunBackupJobReportingFailure(run);
    ASSERT_TRUE(report) << copy_fails;
    EXPECT_EQ(*report, copy_fails
                           ? "Error " + std::to_string(ENOSPC) + ": " +
                                 std::strerror(ENOSPC) +
                                 " (copy file /src/a.txt)\r\n" + release_error
                           : release_error);
  }
}

TEST_F(RunJobTest, PressHandlerGetsTheErrorReportOfAnUnhandledFailure) {
  RunContext run{fs_, window_, state_, [] { return 0.0; }};
  EXPECT_EQ(RunBackupJobReportingFailure(run),
            "Error " + std::to_string(ENOENT) + ": " + std::strerror(ENOENT) +
                " (open job script /work/Setup.ini)");
  fs_.AddFile("/work/Setup.ini", "BACKUP, \xff");
  EXPECT_EQ(RunBackupJobReportingFailure(run).value_or("").rfind(
                "Error " + std::to_string(EILSEQ) + ": Not valid text", 0),
            0u)
      << "a script that does not decode keeps its own report";
  fs_.AddFile("/work/Setup.ini", "");
  EXPECT_EQ(RunBackupJobReportingFailure(run), std::nullopt);
  EXPECT_TRUE(window_.button_enabled);
}

// The record names what a run changed, each entry once, and nothing of
// what it found unchanged.
TEST_F(RunJobTest, RecordNamesEveryChangeOnceAndNothingUnchanged) {
  fs_.set_state_folder(kState);
  fs_.AddFile("/src/r.txt", "new", FileTime{200});
  fs_.AddFile("/dst/r.txt", "old", FileTime{100});
  fs_.AddFile("/src/m.txt", "m", FileTime{100}, kAttrReadOnly);
  fs_.AddFile("/dst/m.txt", "m", FileTime{100});
  fs_.AddFile("/src/new/n.txt");
  fs_.AddFile("/dst/gone.txt");
  Run("BACKUP, /src, /dst");
  const std::string changed = NewestRecord();
  for (const char* line :
       {"\ncreated file /dst/a.txt\n", "\nrefreshed file /dst/r.txt\n",
        "\nrefreshed attributes of file /dst/m.txt\n",
        "\ncreated folder /dst/new\n", "\ncreated file /dst/new/n.txt\n",
        "\nerased file /dst/gone.txt\n", "\nerased folder /dst/old\n"}) {
    EXPECT_THAT(changed, HasSubstr(line));
    EXPECT_EQ(changed.find(line), changed.rfind(line)) << line;
  }
  // The seven above, the three lines before them and seven of the report.
  EXPECT_EQ(std::count(changed.begin(), changed.end(), '\n'), 17) << changed;

  Run("BACKUP, /src, /dst");
  std::string report = "report " + window_.report;
  for (size_t at = 0; (at = report.find("\r\n", at)) != std::string::npos;)
    report.replace(at, 2, "\nreport ");
  EXPECT_EQ(NewestRecord(),
            "started 1970-01-01 00:00:02\nscript /work/Setup.ini\n"
            "BACKUP DUPLEX-DESTRUCTIVE /src\t/dst\n" +
                report + "\n");
}

// The state folder keeps the newest hundred records; nothing else in it is
// ever removed, a folder of a record's name neither.
TEST_F(RunJobTest, StateFolderKeepsTheNewestHundredRecordsAndNothingElse) {
  const std::string folder = kState;
  fs_.set_state_folder(folder);
  fs_.set_listing_tells_kind(true);
  const std::vector<std::string> others = {
      "1969-12-31T23-59-59.txt/", "1969-12-31T23-59-59.bak", "notes.txt"};
  fs_.AddFolder(folder + "/1969-12-31T23-59-59.txt");
  fs_.AddFile(folder + "/" + others[1]);
  fs_.AddFile(folder + "/" + others[2]);
  for (int run = 0; run < 101; ++run) Run("");
  const std::vector<std::string> tree = fs_.Tree(folder);
  EXPECT_EQ(tree.size(), 103u);
  for (const std::string& other : others) EXPECT_THAT(tree, Contains(other));
  EXPECT_THAT(tree, Not(Contains("1970-01-01T00-00-01.txt")));
  EXPECT_THAT(tree, Contains("1970-01-01T00-01-41.txt"));
}

// However its record fails, a run does and shows what it would without one.
TEST_F(RunJobTest, RecordThatCannotBeWrittenChangesNothingOfTheRun) {
  using Op = MemoryFileSystem::Op;
  struct Case {
    bool state_folder;
    std::optional<Op> failing;
  };
  std::vector<std::string> events, tree;
  for (const Case& c :
       {Case{false, {}}, Case{true, {}}, Case{true, Op::kCreateTextFile},
        Case{true, Op::kWrite}}) {
    fs_ = MemoryFileSystem();
    fs_.AddFile("/src/b/c.txt");
    fs_.AddFile("/dst/gone.txt");
    if (c.state_folder) fs_.set_state_folder(kState);
    // A write fails at the first change.
    if (c.failing)
      fs_.FailOn(*c.failing, std::string(kState) + "/1970-01-01T00-00-01.txt",
                 ENOSPC, *c.failing == Op::kWrite ? 3 : 0);
    window_ = RecordingWindow();
    runs_ = 0;
    Run("BACKUP, /src, /dst");
    if (events.empty()) {
      events = window_.events;
      tree = fs_.Tree("/dst");
    }
    EXPECT_EQ(window_.events, events);
    EXPECT_EQ(fs_.Tree("/dst"), tree);
  }
}

TEST(EscapedTextTest, EscapesWhatWouldBreakALineOrPassUnseen) {
  struct Case {
    std::string_view text;
    char separator;
    const char* escaped;
  };
  const Case cases[] = {
      {"/a\nb\\c", '/', "/a\\nb\\\\c"},
      {"\r\t\x01\x1f\x7f", '/', "\\r\\t\\x01\\x1F\\x7F"},
      {"caf\xc3\xa9 \xe2\x82\xac \xf0\x9f\x98\x80", '/',
       "caf\xc3\xa9 \xe2\x82\xac \xf0\x9f\x98\x80"},
      // A stray byte, a cut sequence, a surrogate, an overlong "/", C1 NEL.
      {"\xff\xc3(\xed\xa0\x80\xc0\xaf\xc2\x85\xe2\x82", '/',
       "\\xFF\\xC3(\\xED\\xA0\\x80\\xC0\\xAF\\xC2\\x85\\xE2\\x82"},
      {"C:\\Users\\ann", '\\', "C:\\Users\\ann"},
  };
  for (const Case& c : cases)
    EXPECT_EQ(Escaped(c.text, c.separator), c.escaped) << c.escaped;
}

// Both files that list entries one a line escape a name the same way.
TEST_F(RunJobTest, NamesAreEscapedAlikeInTheRecordAndTheLeftOutList) {
  fs_.set_state_folder(kState);
  fs_.AddFile("/src/a\nb\\c");
  fs_.LeaveOutCopiesOf("/src/a\nb\\c", "no room");
  Run("BACKUP, /src, /dst");
  EXPECT_THAT(fs_.Content("/work/Not backed up.txt"),
              HasSubstr("\r\n/src/a\\nb\\\\c (no room)\r\n"));
  EXPECT_THAT(NewestRecord(),
              HasSubstr("\nleft out /src/a\\nb\\\\c\tno room\n"));
}

}  // namespace
}  // namespace fernwise
