// What the job benchmark driver shares with its shown-window variant.
#pragma once

#include <string>
#include <vector>

#include "core/run_state.h"

namespace fernwise::bench {

/// The figures of one run.
struct JobFigures {
  double elapsed_seconds = 0;
  long peak_kib = 0;
  long status_updates = 0;
  std::string report;
};

/// Peak resident memory of this process so far, in KiB.
long PeakKib();

/// Runs the job script in the current directory with the window shown
/// (offscreen when no display is set). Returns false, with a message on
/// stderr, when this build has no window to show.
bool RunShown(int& argc, char** argv, JobFigures& figures);

}  // namespace fernwise::bench
