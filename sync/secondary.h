#pragma once

#include <string>

#include "core/run_state.h"

namespace fernwise {

/// Stores a copy of `displaced_file` in the secondary folder under the
/// flattened `source_side_path` and the lowest free sequence number.
/// Leaves `displaced_file` untouched.
void SaveToSecondaryFolder(RunContext& run, const std::string& source_side_path,
                           const std::string& displaced_file);

}  // namespace fernwise
