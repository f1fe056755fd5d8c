#pragma once

#include <string>

#include "core/entry_run.h"
#include "core/run_state.h"

namespace fernwise {

class TextOutput;

/// Writes the listing of the tree at `folder`, the source folder `entry`
/// holds, to `out`: a header line per folder, an entry line per subfolder
/// and file, depth first.
void StoreFolderTree(RunContext& run, EntryRun& entry,
                     const std::string& folder, TextOutput& out);

}  // namespace fernwise
