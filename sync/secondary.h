#pragma once

#include <string>

#include "core/entry_run.h"
#include "core/file_system.h"
#include "core/run_state.h"

namespace fernwise {

/// Stores a copy of `displaced_file` in the secondary folder under the
/// flattened `source_side_path` and the lowest free sequence number.
/// Leaves `displaced_file` untouched. False when the copy was left out (see
/// CopyResult; recorded in the run's LeftOut): the caller must then neither
/// overwrite nor erase `displaced_file`.
bool SaveToSecondaryFolder(RunContext& run, EntryRun& entry,
                           const std::string& source_side_path,
                           const std::string& displaced_file);

/// Erases the temporary files that copies cut short (by a kill, a power
/// loss) left in the secondary folder, each announced with "Erasing
/// <path>...": no pass walks that folder, and they are no versions.
void RemoveSecondaryLeftovers(RunContext& run, EntryRun& entry);

/// Notes in the run's LeftOut that `path` was left out, and why, and tells
/// the run's listener.
void RecordLeftOut(RunContext& run, const std::string& path,
                   const CopyResult& result);

}  // namespace fernwise
