#pragma once

#include <string>

#include "core/run_state.h"

namespace fernwise {

/// Brings the tree at `dest_folder` up to date with `source_folder`: makes
/// missing folders, copies missing and changed files, sets masks that differ,
/// and adds to the run's counters. Never deletes anything. `source_folder`
/// must exist; `dest_folder` need not, but its parent must.
void MirrorFolder(RunContext& run, const std::string& source_folder,
                  const std::string& dest_folder);

}  // namespace fernwise
