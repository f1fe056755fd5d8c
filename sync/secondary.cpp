#include "sync/secondary.h"

#include <cerrno>
#include <cstdint>
#include <limits>

#include "core/file_system.h"
#include "core/path_probe.h"
#include "core/run_error.h"

namespace fernwise {

namespace {

constexpr int16_t kIndexMax = std::numeric_limits<int16_t>::max();
/// The highest sequence number probed; 32767 itself stays unused because
/// the counter cannot go past it to end the search.
constexpr int16_t kLastSequenceNumber = kIndexMax - 1;

/// Moves the 16-bit counter to the next position, or throws the overflow
/// failure when it stands at its largest value.
void Advance(int16_t& index) {
  if (index == kIndexMax) ThrowOverflow("NameIndex");
  ++index;
}

/// `path` with every "\", "/" and ":" replaced by ".", one for one.
/// A path of 32767 characters or more does not fit the counter: longer ones
/// fail when their length is taken, 32767 itself when the counter is
/// advanced past the last character.
std::string FlattenedName(int16_t& index, const std::string& path) {
  if (path.size() > size_t{kIndexMax})
    ThrowOverflow("length of a source-side path");
  const auto length = static_cast<int16_t>(path.size());
  std::string flattened = path;
  for (index = 1; index <= length; Advance(index)) {
    char& c = flattened[index - 1];
    if (c == '\\' || c == '/' || c == ':') c = '.';
  }
  return flattened;
}

}  // namespace

void RecordLeftOut(RunState& state, const std::string& path,
                   const CopyResult& result) {
  state.LeftOut.push_back(path + " (" + result.left_out + ")");
}

bool SaveToSecondaryFolder(RunContext& run, const std::string& source_side_path,
                           const std::string& displaced_file) {
  int16_t& index = run.state.NameIndex;
  const std::string stem = ChildPath(run.fs, run.state.SecondaryFolder,
                                     FlattenedName(index, source_side_path));
  std::string copy_name = stem + '.';
  const size_t number_at = copy_name.size();
  // Probed from 1 on every call, so a gap below taken numbers is filled
  // first; an entry of any kind, a folder too, makes its number taken.
  for (index = 1; index <= kLastSequenceNumber; ++index) {
    copy_name.resize(number_at);
    copy_name += std::to_string(index);
    if (!PathExists(run.fs, copy_name)) {
      const CopyResult result = run.fs.Copy(displaced_file, copy_name);
      if (!result.made()) RecordLeftOut(run.state, displaced_file, result);
      return result.made();
    }
  }
  // Never overwrite a stored version and never go past the counter's range:
  // the run ends before the displaced file is touched.
  throw RunError(EEXIST, "All numbered copies 1 to 32766 are taken",
                 "store secondary copy of", stem);
}

}  // namespace fernwise
