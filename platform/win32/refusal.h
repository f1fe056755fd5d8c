// Entries a destination cannot hold, told from failures to report: a name
// its file system refuses, a file too large for FAT, an encrypted file on a
// drive that cannot encrypt. Such an entry is left out, with the reason the
// user reads in the left-out list, and the run goes on; a full drive, a
// drive write-protected or gone, or a refused access still ends the run.
#pragma once

#include <windows.h>

#include <cstdint>
#include <string>

namespace fernwise::win32 {

inline constexpr char kNameRefused[] = "the destination cannot hold this name";
inline constexpr char kTooLarge[] =
    "the destination's file system cannot hold a file this large (FAT holds "
    "none of 4 GiB or more); back it up onto an NTFS or exFAT drive";
inline constexpr char kEncrypted[] =
    "it is encrypted (EFS) and the destination cannot hold encrypted files; "
    "back it up onto an NTFS drive, or decrypt it (its Properties, Advanced) "
    "to back it up here unencrypted";

/// Whether `error`, from making an entry under a name, may say that the
/// name was refused: not one of the failures that say nothing about a name
/// (a full, write-protected or vanished drive, an entry already there, a
/// file held open). Drivers give many numbers for a refused name
/// (ERROR_INVALID_NAME, ERROR_ACCESS_DENIED through Wine's FUSE drives,
/// ERROR_INVALID_PARAMETER), so the cause is confirmed by a plain name that
/// can be made.
bool MayBeRefusal(DWORD error);

/// After making the folder at `path` (as the ...W calls take it) failed
/// with `error`: whether its name was refused, told by a file of a plain
/// name that can be made beside it.
bool NameRefused(const std::wstring& path, DWORD error);

/// The reason a copy that failed with `error` while its content was written
/// (CopyFileExW to a plain temporary name) is left out; "" where it is a
/// failure to report.
std::string CopyRefusal(DWORD error);

}  // namespace fernwise::win32
