// Erasing destination entries: what the sweep does to an entry whose source
// is gone, and what the mirror does to an entry that stands where the source
// has one of another kind.
#pragma once

#include <string>

#include "core/entry_run.h"
#include "core/run_state.h"

namespace fernwise {

/// Whether the source-side path is gone, for an erase that rests on it: a
/// probe finds nothing, the entry's own source folder `top_source` is still
/// the folder the entry began with (else the run ends with the
/// vanished-source error), and a fresh look agrees.
bool SourceSideGone(EntryRun& entry, const std::string& top_source,
                    const std::string& source_side_path);

/// SourceSideGone without the probe, for a path a probe found earlier in the
/// pass: that answer may be out of date.
bool SourceSideGoneAfresh(EntryRun& entry, const std::string& top_source,
                          const std::string& source_side_path);

/// Shows "Erasing <dest_file>...", keeps a numbered copy of the file named
/// after `source_side_path` first when `keep_copy` and the mode preserves,
/// then deletes it. False when that copy was left out: the file then stays.
bool EraseFile(RunContext& run, EntryRun& entry, std::string& status,
               const std::string& dest_file,
               const std::string& source_side_path, bool keep_copy);

/// Erases the folder `dest_folder` with everything below it, deepest first,
/// each file as EraseFile does under its source-side path below
/// `source_side_folder` (the file system's own leftover temporary files
/// without a copy). False when a file had to stay, and the folders holding
/// it with it.
bool EraseFolder(RunContext& run, EntryRun& entry, std::string& status,
                 const std::string& dest_folder,
                 const std::string& source_side_folder);

}  // namespace fernwise
