// The run state the window object owns and every pass reads and updates.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "core/file_system.h"

namespace fernwise {

class ChangeNotes;
class Window;

/// The backup mode a MODE entry sets; the sweep runs when it is above
/// kSimplex.
enum BackupModeValue : uint8_t {
  kSimplex = 1,
  kDuplexDestructive = 2,
  kDuplexPreserving = 3,
};

/// What the mirror passes of one run found and did. Only the mirror pass adds
/// to them, always by one, through AddOne.
struct RunCounters {
  int32_t FilesScanned = 0;
  int32_t FoldersScanned = 0;
  int32_t FilesCreated = 0;
  int32_t FoldersCreated = 0;
  int32_t FilesRefreshed = 0;
  int32_t FoldersRefreshed = 0;
};

struct RunState {
  BackupModeValue BackupMode = kDuplexDestructive;
  /// Empty until a preserving MODE entry sets it; never cleared, so it
  /// outlasts runs.
  std::string SecondaryFolder;
  /// Seconds since local midnight at the start of a run; the elapsed whole
  /// seconds after it.
  double RunTimer = 0;
  RunCounters Counters;
  /// Position while a name is flattened, then sequence number of a secondary
  /// copy; never reset.
  int16_t NameIndex = 0;
  /// Every entry a copy left out this run (CopyResult), as its path and the
  /// reason in parentheses.
  std::vector<std::string> LeftOut;
  /// How many changes the passes have told (core/change_notes.h), left-out
  /// entries included: by it a pass tells whether it wrote in a folder,
  /// whose time then needs setting again.
  uint64_t ChangesTold = 0;
  /// The drives the entries settled so far wrote to and the run has not yet
  /// flushed, one each, in the order first written: what the flush before
  /// the report must reach, a failed run's too.
  std::vector<std::unique_ptr<WrittenDrive>> WrittenDrives;
};

/// What a run works with: the platform, the window's state and a clock.
struct RunContext {
  FileSystem& fs;
  Window& window;
  RunState& state;
  /// Seconds since local midnight, with their fraction.
  std::function<double()> clock;
  /// Seconds from any fixed point, never going back, for pacing what the
  /// window shows during long steps; empty for the steady clock.
  std::function<double()> steady = {};
  /// The date and time now, for the run's record; empty for the system's.
  std::function<FileTime()> now = {};
  /// Told of every change the passes make (core/change_notes.h); null for
  /// no one.
  ChangeNotes* notes = nullptr;
};

}  // namespace fernwise
