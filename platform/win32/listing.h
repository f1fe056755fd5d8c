// One search of a folder's entries, or a probe of one path, with
// FindFirstFileExW.
#pragma once

#include <windows.h>

#include <cstdint>
#include <string>

#include "platform/win32/handle.h"

namespace fernwise::win32 {

struct Listing {
  FindHandle handle;
  WIN32_FIND_DATAW entry{};
  std::string pattern;  ///< for the error report
  bool folder = false;  ///< listing a folder's entries, not probing one path
  /// A probe without wildcards: the one name an entry must have.
  std::wstring exact_name;

  /// Whether the entry found last is one the search yields: a folder's
  /// listing leaves links to folders out, a probe without wildcards takes
  /// only the entry of exactly the name asked.
  bool Accepts() const;
  /// Starts the search of `searched` (a pattern ending in "\" lists that
  /// folder), counting the call in `calls`; false when nothing matches, a
  /// failure thrown.
  bool Start(const std::string& searched, uint64_t& calls);
  /// Finds the next entry, counting the call in `calls`; false when there
  /// is none, a failure thrown.
  bool Next(uint64_t& calls);
};

}  // namespace fernwise::win32
