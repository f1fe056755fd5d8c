// The shown-window variant in a build without the window.
#include <cstdio>

#include "bench/bench_job.h"

namespace fernwise::bench {

bool RunShown(int&, char**, JobFigures&) {
  std::fprintf(stderr, "run_job_bench: this build has no window (Qt)\n");
  return false;
}

}  // namespace fernwise::bench
