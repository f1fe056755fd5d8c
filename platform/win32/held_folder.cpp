#include "platform/win32/held_folder.h"

#include <cstring>
#include <vector>

#include "platform/win32/support.h"
#include "platform/win32/text.h"

namespace fernwise::win32 {

namespace {

constexpr DWORD kHoldAccess =
    FILE_LIST_DIRECTORY | FILE_READ_ATTRIBUTES | SYNCHRONIZE;
constexpr DWORD kShareAllButDelete = FILE_SHARE_READ | FILE_SHARE_WRITE;
constexpr DWORD kShareAll = kShareAllButDelete | FILE_SHARE_DELETE;

FileHandle OpenFolder(const std::wstring& path, DWORD access, DWORD share,
                      bool follow) {
  const DWORD flags = FILE_FLAG_BACKUP_SEMANTICS |
                      (follow ? DWORD{0} : DWORD{FILE_FLAG_OPEN_REPARSE_POINT});
  return FileHandle(CreateFileW(path.c_str(), access, share, nullptr,
                                OPEN_EXISTING, flags, nullptr));
}

// Held without leave to delete where Windows allows that, else sharing it.
FileHandle OpenToHold(const std::wstring& path, bool follow) {
  FileHandle folder = OpenFolder(path, kHoldAccess, kShareAllButDelete, follow);
  if (!folder.valid() && GetLastError() == ERROR_SHARING_VIOLATION)
    folder = OpenFolder(path, kHoldAccess, kShareAll, follow);
  return folder;
}

// What the entry `handle` is open on is to the passes; a file where it
// cannot be told.
EntryKind KindOfOpen(HANDLE handle) {
  FILE_ATTRIBUTE_TAG_INFO tag{};
  if (!GetFileInformationByHandleEx(handle, FileAttributeTagInfo, &tag,
                                    sizeof tag))
    return EntryKind::kFile;
  return KindOf(tag.FileAttributes, tag.ReparseTag);
}

// Whether `path` (in the \\?\ form) is the root of the volume it lies on.
bool IsVolumeRoot(const std::wstring& path) {
  std::vector<wchar_t> volume(path.size() + 2);
  if (!GetVolumePathNameW(path.c_str(), volume.data(), DWORD(volume.size())))
    return false;
  std::wstring root = volume.data();
  std::wstring folder = path;
  if (!folder.ends_with(L'\\')) folder += L'\\';
  if (!root.ends_with(L'\\')) root += L'\\';
  return CompareStringOrdinal(root.c_str(), -1, folder.c_str(), -1, TRUE) ==
         CSTR_EQUAL;
}

// The folder above `folder`, a path in the \\?\ form; a root is its own.
std::wstring ParentOf(std::wstring folder) {
  if (folder.ends_with(L'\\')) return folder;
  folder.erase(folder.find_last_of(L'\\'));
  // "\\?\E:" is no path; its root is "\\?\E:\".
  if (folder.ends_with(L':')) folder += L'\\';
  return folder;
}

}  // namespace

std::optional<EntryId> IdOf(HANDLE handle) {
  BY_HANDLE_FILE_INFORMATION info{};
  if (handle == INVALID_HANDLE_VALUE ||
      !GetFileInformationByHandle(handle, &info))
    return std::nullopt;
  EntryId id{info.dwVolumeSerialNumber,
             uint64_t(info.nFileIndexHigh) << 32 | info.nFileIndexLow, 0};
  // Wine gives FILE_ID_INFO without the volume's serial number, so that is
  // always taken from the call above.
  FILE_ID_INFO wide{};
  if (GetFileInformationByHandleEx(handle, FileIdInfo, &wide, sizeof wide)) {
    static_assert(sizeof wide.FileId.Identifier == 2 * sizeof(uint64_t));
    memcpy(&id.low, wide.FileId.Identifier, sizeof id.low);
    memcpy(&id.high, wide.FileId.Identifier + sizeof id.low, sizeof id.high);
  }
  return id;
}

HeldFolder::HeldFolder(const std::string& path) : path_(path) {
  if (path.empty()) return;
  try {
    wide_ = WidenPath(path);
  } catch (...) {  // a name no folder can have is not held
    return;
  }
  root_ = IsVolumeRoot(wide_);
  FileHandle folder = OpenToHold(wide_, false);
  if (folder.valid() && KindOfOpen(folder.get()) == EntryKind::kFolderLink) {
    through_link_ = true;
    folder = OpenToHold(wide_, true);
  }
  if (!folder.valid() || KindOfOpen(folder.get()) != EntryKind::kFolder) return;
  const std::optional<EntryId> id = IdOf(folder.get());
  if (!id) return;
  id_ = *id;
  handle_ = std::move(folder);
}

bool HeldFolder::StillThere() const {
  if (!held()) return false;
  const FileHandle now =
      OpenFolder(wide_, FILE_READ_ATTRIBUTES, kShareAll, through_link_);
  return now.valid() && IdOf(now.get()) == id_;
}

std::wstring HeldFolder::Wide(std::string_view path) const {
  const bool below = !wide_.empty() && path.starts_with(path_) &&
                     (path.size() == path_.size() || path[path_.size()] == '\\');
  if (!below) return WidenPath(std::string(path));
  if (path.size() == path_.size()) return wide_;
  // "." and ".." name no entry: a folder's listing gives them for the folder
  // itself and the one above it, which Windows' clean-up of a path would
  // find, and a \\?\ path does not.
  const std::string_view last = path.substr(path.rfind('\\') + 1);
  if (last == "." || last == "..") {
    std::wstring folder = Wide(path.substr(0, path.size() - last.size() - 1));
    return last == "." ? folder : ParentOf(folder);
  }
  return JoinName(wide_, path.substr(path_.size() + 1));
}

}  // namespace fernwise::win32
