// Pieces the Win32 services share: the not-found test, the conversion of
// FILETIME stamps, what a listed entry is, how names compare and what
// kind of file system a volume has.
#pragma once

#include <windows.h>

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "core/drive_traits.h"
#include "core/file_system.h"

namespace fernwise::win32 {

/// Whether `error` says the entry is not there: an answer, not a failure.
bool IsNotFound(DWORD error);

/// Whether `error` says another program holds the file open in a way that
/// keeps this one out (no read sharing, a locked range).
bool IsInUse(DWORD error);

/// The attribute bits SetFileAttributesW (and FileBasicInfo) can give a
/// file.
inline constexpr DWORD kSettableBits =
    FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM |
    FILE_ATTRIBUTE_ARCHIVE | FILE_ATTRIBUTE_NOT_CONTENT_INDEXED |
    FILE_ATTRIBUTE_OFFLINE | FILE_ATTRIBUTE_TEMPORARY;

/// The bits of an attribute mask the passes compare and set: those a file
/// can be given with SetFileAttributesW but the two that describe a file's
/// state rather than what it is (offline, temporary), and the folder bit.
/// The others (compressed, sparse, encrypted, reparse point, the cloud-file
/// bits) describe how a volume stores the file, which a destination on
/// another volume cannot copy.
inline constexpr DWORD kMaskBits =
    FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM |
    FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_ARCHIVE |
    FILE_ATTRIBUTE_NOT_CONTENT_INDEXED;

/// Marks the entry `handle` was opened on (with DELETE and
/// FILE_WRITE_ATTRIBUTES) to go when the handle closes: the entry checked
/// through that handle is the one that goes. A read-only bit among its
/// `attributes`, which would refuse it, is cleared first on the same
/// handle, and put back should the deletion still be refused. Returns 0 or
/// the GetLastError() value.
DWORD DisposeThroughHandle(HANDLE handle, DWORD attributes);

/// A FILETIME (100 ns units since 1601) as the core's time. Stamps beyond
/// what 64-bit nanoseconds since 1970 can hold (before 1678, after 2262) are
/// held at the limit rather than wrapped around.
FileTime FileTimeOf(const FILETIME& stamp);

/// The FILETIME that holds `time`, rounded down to its 100 ns unit; false
/// when `time` lies before 1601.
bool FiletimeOf(FileTime time, FILETIME& stamp);

/// What a listed entry is to the passes.
enum class EntryKind {
  /// A file, or a reparse point that holds its own data (a cloud
  /// placeholder, a deduplicated file).
  kFile,
  kFolder,
  /// A symbolic link to a file: read and copied as the file it names.
  kFileLink,
  /// A junction, a mount point or a symbolic link to a folder: never
  /// listed, so never entered.
  kFolderLink,
};

/// The kind of an entry from its attributes and, for a reparse point, its
/// tag (dwReserved0 of the find data).
EntryKind KindOf(DWORD attributes, DWORD reparse_tag);

/// Whether `listed`, an entry's long name, is the name `asked`, compared as
/// NTFS compares names: unit by unit, each folded to upper case on its own
/// (so "é" is "É", but "ß" is not "SS").
bool SameName(const wchar_t* listed, const std::wstring& asked);

/// Whether `name` holds "*" or "?", which a listing takes as wildcards.
bool HasWildcard(const std::wstring& name);

/// What a volume's file system is, from the name GetVolumeInformationW
/// gives it and whether it lies across the network (`remote`): a share
/// reports the file system of the server's disk, whose times it hands on in
/// 100 ns units.
DriveType DriveTypeOf(const std::wstring& file_system, bool remote);

/// A fresh name for a temporary file a copy makes beside its target:
/// "~", the program's mark (core/temporary_name.h), ".tmp".
std::wstring NextTemporaryName();

/// Whether `name` is one NextTemporaryName gave, its check code right: what
/// a copy cut short by a kill or a power loss leaves behind.
bool IsTemporaryName(std::string_view name);

/// How many UTF-16 units the WTF-8 `text` converts to: how Windows measures
/// a name against its limit.
size_t Utf16Units(std::string_view text);

}  // namespace fernwise::win32
