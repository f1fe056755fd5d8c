#pragma once

#include <optional>
#include <string>

#include "core/run_state.h"

namespace fernwise {

/// One run of the job script "Setup.ini" in the current directory: the
/// press handler of the start button. Failures the run does not handle
/// itself leave as RunError, with the button still disabled.
void RunBackupJob(RunContext& run);

/// Flushes every drive the run wrote to (RunState::WrittenDrives), each
/// announced with "Flushing <folder>...": what the run reports is on the
/// disk. A long flush reports to `progress`.
void FlushWrites(RunContext& run, const ProgressCallback& progress = {});

/// RunBackupJob for the windows' press handlers: a failure the run did not
/// handle comes back as the error report the window shows before the
/// program ends, once what was written before it is flushed; nullopt after
/// a run that ended normally.
std::optional<std::string> RunBackupJobReportingFailure(RunContext& run);

}  // namespace fernwise
