// Runs a real job through RunBackupJob and prints its figures: the wall time,
// the completion report, the peak memory and the count of status updates.
//
//   run_job_bench [--shown] WORKDIR [FIELD...]
//
// The fields are written one to a line into WORKDIR/Setup.ini (quoted where a
// comma or a leading space needs it); the job then runs with WORKDIR as the
// current directory, with a window that shows nothing, or with --shown, the
// program's own window on screen (offscreen when no display is set). Example:
//   run_job_bench /tmp/w MODE SIMPLEX BACKUP /data/src /data/dst
#include <sys/resource.h>
#include <unistd.h>

#include <chrono>
#include <clocale>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <fstream>
#include <memory>
#include <stdexcept>
#include <string>

#include "bench/bench_job.h"
#include "core/clock.h"
#include "core/file_system.h"
#include "core/run_error.h"
#include "core/window.h"
#include "job/run_job.h"

namespace fernwise::bench {

long PeakKib() {
  rusage usage;
  getrusage(RUSAGE_SELF, &usage);
  return usage.ru_maxrss;  // KiB on Linux
}

namespace {

// Shows nothing and keeps nothing but a count, so the run's own cost is what
// is measured.
class HeadlessWindow : public Window {
 public:
  void ShowStatus(const std::string&) override { ++status_updates; }
  void ShowReport(const std::string& text) override { report = text; }
  void ShowMessage(const std::string& text) override {
    std::fprintf(stderr, "message: %s\n", text.c_str());
  }
  void SetButtonEnabled(bool) override {}
  void HandleEvents() override {}
  void ShowProgress(int) override {}

  long status_updates = 0;
  std::string report;
};

std::string ScriptField(const std::string& field) {
  const bool needs_quotes = field.find(',') != std::string::npos ||
                            (!field.empty() && field[0] == ' ');
  return needs_quotes ? "\"" + field + "\"" : field;
}

bool WriteScript(const std::string& workdir, int count, char** fields) {
  std::ofstream script(workdir + "/Setup.ini", std::ios::binary);
  for (int i = 0; i < count; ++i) script << ScriptField(fields[i]) << "\r\n";
  return static_cast<bool>(script.flush());
}

JobFigures RunHeadless() {
  std::unique_ptr<FileSystem> fs = MakePlatformFileSystem();
  HeadlessWindow window;
  RunState state;
  RunContext run{*fs, window, state, SecondsSinceLocalMidnight};
  const auto start = std::chrono::steady_clock::now();
  RunBackupJob(run);
  const std::chrono::duration<double> elapsed =
      std::chrono::steady_clock::now() - start;
  return {elapsed.count(), PeakKib(), window.status_updates, window.report};
}

void PrintFigures(const JobFigures& figures, bool shown) {
  std::printf("%s\n", figures.report.c_str());
  std::printf("window=%s elapsed_s=%.6f peak_kib=%ld status_updates=%ld\n",
              shown ? "shown" : "headless", figures.elapsed_seconds,
              figures.peak_kib, figures.status_updates);
}

}  // namespace
}  // namespace fernwise::bench

int main(int argc, char** argv) {
  const bool shown = argc > 1 && std::strcmp(argv[1], "--shown") == 0;
  const int first = shown ? 2 : 1;
  if (argc < first + 1) {
    std::fprintf(stderr, "usage: run_job_bench [--shown] WORKDIR [FIELD...]\n");
    return 2;
  }
  const std::string workdir = argv[first];
  if (!fernwise::bench::WriteScript(workdir, argc - first - 1,
                                    argv + first + 1) ||
      chdir(workdir.c_str()) != 0) {
    std::perror(workdir.c_str());
    return 1;
  }
  try {
    fernwise::bench::JobFigures figures;
    if (shown) {
      int qt_argc = 1;
      if (!fernwise::bench::RunShown(qt_argc, argv, figures)) return 3;
    } else {
      std::setlocale(LC_ALL,
                     "");  // as the program does, for the listing's dates
      figures = fernwise::bench::RunHeadless();
    }
    fernwise::bench::PrintFigures(figures, shown);
  } catch (const fernwise::RunError& error) {
    std::fprintf(stderr, "run_job_bench: %s\n", error.Report().c_str());
    return 1;
  } catch (const std::exception& error) {  // the shown window's failure report
    std::fprintf(stderr, "run_job_bench: %s\n", error.what());
    return 1;
  }
  return 0;
}
