#pragma once

#include <string>

#include "core/run_state.h"

namespace fernwise {

class TextOutput;

/// Writes the listing of the tree at `folder` to `out`: a header line per
/// folder, an entry line per subfolder and file, depth first.
void StoreFolderTree(RunContext& run, const std::string& folder,
                     TextOutput& out);

}  // namespace fernwise
