#pragma once

#include <string>

#include "core/entry_run.h"
#include "core/run_state.h"

namespace fernwise {

/// Why a source folder is left out (see RunState::LeftOut) when it is the
/// mount point of a drive that is not mounted (EntryRun's
/// AwaitsAbsentDrive): its backup is neither refreshed nor swept.
inline constexpr char kDriveNotMounted[] = "its drive is not mounted";

/// Brings the tree at `dest_folder` up to date with `source_folder`, the
/// folders `entry` holds as its destination and source: makes
/// missing folders, copies missing and changed files, sets masks that differ,
/// and adds to the run's counters. Never deletes anything. `source_folder`
/// must exist; `dest_folder` need not, but its parent must. A folder below
/// `source_folder` whose drive is not mounted is left out, with all its
/// backup holds; `source_folder` itself is the caller's to judge.
void MirrorFolder(RunContext& run, EntryRun& entry,
                  const std::string& source_folder,
                  const std::string& dest_folder);

}  // namespace fernwise
