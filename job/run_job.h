#pragma once

#include "job/run_state.h"

namespace fernwise {

/// One run of the job script "Setup.ini" in the current directory: the
/// press handler of the start button. Failures the run does not handle
/// itself leave as RunError, with the button still disabled.
void RunBackupJob(RunContext& run);

}  // namespace fernwise
