// One search of a folder's entries, or a probe of one path, with
// FindFirstFileExW.
#pragma once

#include <windows.h>

#include <cstdint>
#include <string>

#include "platform/win32/handle.h"

namespace fernwise::win32 {

/// How the name of an entry a probe found compares with the name asked.
enum class NameMatch {
  kNone,       ///< another name (an 8.3 short name matched)
  kExact,      ///< the very name, unit for unit
  kOtherCase,  ///< the name spelled in another letter case
};

struct Listing {
  FindHandle handle;
  WIN32_FIND_DATAW entry{};
  std::string pattern;  ///< for the error report
  bool folder = false;  ///< listing a folder's entries, not probing one path
  /// A probe without wildcards: the one name an entry must have.
  std::wstring exact_name;

  /// Whether the entry found last is one a folder's listing yields: links
  /// to folders are left out. Every entry a probe found is.
  bool Accepts() const;
  /// For a probe without wildcards: how the entry found last is named.
  NameMatch Match() const;
  /// Starts the search of `searched`, given as the ...W calls take it in
  /// `wide` (a pattern ending in "\\" lists that folder), counting the call
  /// in `calls`; false when nothing matches, a failure thrown. A probe of a
  /// volume's root, which no folder lists (and which a FAT root's empty
  /// listing would not show either), finds the root by its attributes.
  bool Start(const std::string& searched, std::wstring wide, uint64_t& calls);
  /// Finds the next entry, counting the call in `calls`; false when there
  /// is none, a failure thrown.
  bool Next(uint64_t& calls);
};

}  // namespace fernwise::win32
