// The bits that make Windows refuse to replace or remove an entry, and
// their clearing: the destination tree is the program's own, so a
// read-only, hidden or system entry there is changed like any other.
#pragma once

#include <windows.h>

#include <string>

namespace fernwise::win32 {

/// The bits that make CopyFileW, MoveFileExW or DeleteFileW refuse a
/// target.
inline constexpr DWORD kLockingBits =
    FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM;

/// Gives the entry at `path` the settable bits of `attributes`; throws
/// RunError naming `original`.
void SetMaskOrThrow(const std::wstring& path, DWORD attributes,
                    const std::string& original);

/// Clears `bits` of `attributes` on the entry at `path` so Windows lets the
/// program replace or remove it; returns the attributes to put back if that
/// then fails, or INVALID_FILE_ATTRIBUTES when there is nothing to put back.
DWORD Unlock(const std::wstring& path, DWORD attributes, DWORD bits,
             const std::string& original);

/// Puts back what Unlock returned.
void Relock(const std::wstring& path, DWORD attributes);

}  // namespace fernwise::win32
