// Pieces the Win32 services share: the not-found test and the conversion of
// FILETIME stamps.
#pragma once

#include <windows.h>

#include "core/file_system.h"

namespace fernwise::win32 {

/// Whether `error` says the entry is not there: an answer, not a failure.
bool IsNotFound(DWORD error);

/// A FILETIME (100 ns units since 1601) as the core's time. Stamps beyond
/// what 64-bit nanoseconds since 1970 can hold (before 1678, after 2262) are
/// held at the limit rather than wrapped around.
FileTime FileTimeOf(const FILETIME& stamp);

/// The FILETIME that holds `time`, rounded down to its 100 ns unit; false
/// when `time` lies before 1601.
bool FiletimeOf(FileTime time, FILETIME& stamp);

}  // namespace fernwise::win32
