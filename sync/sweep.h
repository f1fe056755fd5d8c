#pragma once

#include <string>

#include "core/entry_run.h"
#include "core/run_state.h"

namespace fernwise {

/// Erases from the tree at `dest_folder` every file and folder whose
/// counterpart under `source_folder` is gone (keeping a numbered copy of
/// each erased file in the preserving mode), and removes `dest_folder`
/// itself when `source_folder` is gone. A destination folder whose source
/// folder's drive is not mounted stays as it is, with all it holds. Changes
/// no counter.
void SweepFolder(RunContext& run, EntryRun& entry,
                 const std::string& dest_folder,
                 const std::string& source_folder);

}  // namespace fernwise
