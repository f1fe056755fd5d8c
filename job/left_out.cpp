#include "job/left_out.h"

#include <chrono>
#include <memory>

#include "core/file_system.h"
#include "core/path_probe.h"
#include "core/run_error.h"
#include "core/text_output.h"
#include "core/window.h"
#include "job/escaped_text.h"

namespace fernwise {

namespace {

FileTime Now() {
  return {std::chrono::duration_cast<std::chrono::nanoseconds>(
              std::chrono::system_clock::now().time_since_epoch())
              .count()};
}

// The list with a first line that names the run, so a list that a later run
// did not replace (it left nothing out) is not taken for that run's; then
// one entry a line, escaped. Made beside its name and renamed into place:
// a link or a FIFO planted at the name is replaced, never written through.
void WriteList(FileSystem& fs, const std::string& path,
               const std::vector<std::string>& left_out) {
  std::unique_ptr<TextOutput> out = fs.ReplaceTextFile(path);
  out->Write("Not backed up by the run of " + fs.FormatDateTime(Now()) +
             ", each with the reason:\r\n");
  for (const std::string& entry : left_out)
    out->Write(Escaped(entry, fs.Separator()) + "\r\n");
  out->Close();
}

}  // namespace

std::string LeftOutMessage(const std::vector<std::string>& left_out,
                           const std::string& list_path,
                           const std::string& write_failure) {
  const size_t count = left_out.size();
  std::string text = std::to_string(count) +
                     (count == 1 ? " entry was not backed up; the reason "
                                   "follows it.\n"
                                 : " entries were not backed up; the reason "
                                   "follows each.\n");
  text += write_failure.empty()
              ? "The whole list is in " + list_path + ".\n"
              : "The list could not be written: " + write_failure + "\n";
  text += '\n';
  for (size_t i = 0; i < count && i < kLeftOutShown; ++i)
    text += left_out[i] + '\n';
  if (count > kLeftOutShown)
    text += "and " + std::to_string(count - kLeftOutShown) + " more\n";
  text.pop_back();
  return text;
}

void ReportLeftOut(RunContext& run) {
  const std::vector<std::string>& left_out = run.state.LeftOut;
  if (left_out.empty()) return;
  FileSystem& fs = run.fs;
  const std::string path =
      ChildPath(fs, fs.CurrentDirectory(), kLeftOutFileName);
  std::string failure;
  try {
    WriteList(fs, path, left_out);
  } catch (const RunError& error) {
    failure = error.Report();
  }
  run.window.ShowMessage(LeftOutMessage(left_out, path, failure));
}

}  // namespace fernwise
