// The named folders of a job entry, held open while the entry runs.
//
// A folder is held by a handle to the folder itself, opened without
// following a link (FILE_FLAG_OPEN_REPARSE_POINT) and checked to be a folder
// that is no link. The handle reads the folder's entries (FILE_LIST_DIRECTORY
// counts in Windows' sharing checks, where a handle that may only read
// attributes does not) and lets other handles read and write but not delete
// (no FILE_SHARE_DELETE): so while the entry runs, no program can rename,
// remove or replace the folder, and a path below it keeps leading into it.
// Wine checks sharing the same way for its own processes (a MoveFileExW or
// RemoveDirectoryW of a held folder fails with ERROR_SHARING_VIOLATION), but
// nothing stops a program outside Wine from renaming the host folder.
//
// Where another program already holds the folder with leave to delete it,
// Windows refuses a handle that does not share deletion; then the folder is
// held sharing it, for its identity alone, and the vanished-source check
// (StillThere) is what keeps the run safe.
//
// A named folder that is a link (a junction, a volume's mount point, a
// symbolic link to a folder) is taken as the user named it: the folder it
// leads to is held, as on Linux. A named folder that cannot be held (it is
// missing, it is a file, its drive is gone from under its mount point) is not:
// the entry's checks then find it as they find any path.
#pragma once

#include <windows.h>

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "platform/win32/handle.h"

namespace fernwise::win32 {

/// What tells one entry from every other: its volume's serial number and
/// its file ID (the 128-bit one of FILE_ID_INFO where the file system gives
/// it, as ReFS needs; else the 64-bit file index).
struct EntryId {
  uint32_t volume = 0;
  uint64_t low = 0;
  uint64_t high = 0;
  friend bool operator==(const EntryId&, const EntryId&) = default;
};

/// The ID of the entry `handle` is open on; nullopt where it cannot be read.
std::optional<EntryId> IdOf(HANDLE handle);

class HeldFolder {
 public:
  HeldFolder() = default;
  /// Holds the folder `path` names, where it can (see above).
  explicit HeldFolder(const std::string& path);

  bool held() const { return handle_.valid(); }
  /// The folder as the job names it.
  const std::string& path() const { return path_; }
  /// The folder as the ...W calls take it (WidenPath of the job's
  /// spelling, made once); "" where the job's spelling is no path.
  const std::wstring& wide() const { return wide_; }
  /// `path`, the named folder or a path the passes built below it (the
  /// named folder, "\" and names as listings gave them), as the ...W calls
  /// take it: the named folder made absolute once, and the names appended
  /// as they are, so that "foo.", "bar " or "aux" lead to the entry of that
  /// name and to no other. A path that does not lie below the named folder
  /// is taken as a user's spelling (WidenPath).
  std::wstring Wide(std::string_view path) const;
  /// Whether the folder is a volume's root ("E:\", a share, a volume
  /// mounted on a folder), whose own attributes belong to the volume.
  bool is_root() const { return root_; }
  /// The handle it is held by; INVALID_HANDLE_VALUE where it is not held.
  HANDLE handle() const { return handle_.get(); }
  /// Its volume's serial number; 0 where it is not held.
  uint32_t volume() const { return id_.volume; }

  /// Whether `path` leads, looked up afresh, to the very folder held: not
  /// gone, and not another folder made or uncovered in its place. False
  /// where nothing is held.
  bool StillThere() const;
  /// Lets the folder go.
  void Release() { handle_.reset(); }

 private:
  std::string path_;
  std::wstring wide_;
  bool root_ = false;
  FileHandle handle_;
  EntryId id_;
  bool through_link_ = false;  // the named path is a link, followed
};

}  // namespace fernwise::win32
