// How the user learns what a run could not back up. The completion report's
// text is fixed and counts a left-out entry as scanned, so a run that left
// something out says so in a message box before the report, and writes the
// whole list into a text file beside the job script: a backup that lacks an
// entry must never pass for a complete one.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

#include "core/run_state.h"

namespace fernwise {

/// The list file's name, in the job script's folder.
inline constexpr char kLeftOutFileName[] = "Not backed up.txt";
/// How many left-out entries the message box names before it refers to
/// the list file for the rest.
inline constexpr size_t kLeftOutShown = 10;

/// The message box's text for `left_out` ("path (reason)" each), whose
/// whole list is in `list_path`, or failed to be written there with
/// `write_failure` when that is not empty.
std::string LeftOutMessage(const std::vector<std::string>& left_out,
                           const std::string& list_path,
                           const std::string& write_failure);

/// When the run left anything out (RunState::LeftOut): writes the list file
/// and shows the message. Does nothing otherwise. A list file that cannot
/// be written is named in the message instead of ending the run.
void ReportLeftOut(RunContext& run);

}  // namespace fernwise
