// Where the passes tell what they changed. Each change to a destination or a
// secondary tree is told once, right after it succeeded, as is every entry a
// pass leaves out; an entry found unchanged is never told, so that a run
// that changes nothing pays nothing here. The run's record listens (see
// job/run_record.h); a run without a listener tells no one.
#pragma once

#include <cstdint>
#include <string>

#include "core/run_state.h"

namespace fernwise {

enum class Change : uint8_t {
  kFolderCreated,
  kFileCreated,
  kFileRefreshed,  ///< its content, copied again
  kFileAttributesRefreshed,
  kFolderAttributesRefreshed,
  kFileErased,
  kFolderErased,
  kVersionKept,  ///< an old version stored in the secondary folder
  kLeftOut,      ///< not made: the destination cannot hold it
};

class ChangeNotes {
 public:
  virtual ~ChangeNotes() = default;
  /// `path` is the entry changed: the destination's, or for kLeftOut the
  /// source's. `detail` is the kept copy's path for kVersionKept, the reason
  /// for kLeftOut, and empty otherwise. Never throws: nothing about a note
  /// may change or end the run.
  virtual void Note(Change change, const std::string& path,
                    const std::string& detail) noexcept = 0;
};

/// Counts the change (RunState::ChangesTold) and tells the run's listener,
/// if it has one.
inline void NoteChange(const RunContext& run, Change change,
                       const std::string& path,
                       const std::string& detail = {}) {
  ++run.state.ChangesTold;
  if (run.notes != nullptr) run.notes->Note(change, path, detail);
}

}  // namespace fernwise
