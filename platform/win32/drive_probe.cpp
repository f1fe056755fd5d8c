#include "platform/win32/drive_probe.h"

#include <windows.h>

#include <vector>

#include "core/ascii_case.h"
#include "platform/win32/handle.h"
#include "platform/win32/support.h"
#include "platform/win32/text.h"

namespace fernwise::win32 {

namespace {

constexpr DWORD kShareAll =
    FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;
// FileCaseSensitiveInfo's flag; older headers lack it.
constexpr ULONG kCaseSensitiveDir = 0x00000001;
// So many names a probe file tries before it gives up: a taken one, which
// random names make all but impossible, is passed over.
constexpr int kProbeAttempts = 16;

FileHandle OpenEntry(const std::wstring& path, DWORD access) {
  return FileHandle(CreateFileW(path.c_str(), access, kShareAll, nullptr,
                                OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS,
                                nullptr));
}

std::optional<FILETIME> LastWriteOf(const std::wstring& path) {
  WIN32_FILE_ATTRIBUTE_DATA data{};
  if (!GetFileAttributesExW(path.c_str(), GetFileExInfoStandard, &data))
    return std::nullopt;
  return data.ftLastWriteTime;
}

// `name` in `folder`, which ends in "\" where it is a drive's root.
std::wstring Joined(const std::wstring& folder, const std::wstring& name) {
  return folder.ends_with(L'\\') ? folder + name : folder + L'\\' + name;
}

bool SameStamp(const FILETIME& a, const FILETIME& b) {
  return a.dwLowDateTime == b.dwLowDateTime &&
         a.dwHighDateTime == b.dwHighDateTime;
}

// A probe file made under a fresh temporary name (so that one a kill left
// behind is removed as a leftover by a later run) in a destination folder;
// removed, and the folder's last-modified time put back, when it ends.
// Everything it tries is read back by the path, as the passes will read it.
class Win32DriveProbe final : public DriveProbe {
 public:
  explicit Win32DriveProbe(const std::wstring& folder) : folder_(folder) {
    folder_time_ = LastWriteOf(folder_);
    for (int attempt = 0; attempt < kProbeAttempts; ++attempt) {
      name_ = NextTemporaryName();
      const FileHandle file(CreateFileW(Path().c_str(), GENERIC_WRITE, 0,
                                        nullptr, CREATE_NEW,
                                        FILE_ATTRIBUTE_NORMAL, nullptr));
      if (file.valid()) {
        fresh_mask_ = GetFileAttributesW(Path().c_str()) & kMaskBits;
        return;
      }
      if (GetLastError() != ERROR_FILE_EXISTS) break;
    }
    name_.clear();
  }
  Win32DriveProbe(const Win32DriveProbe&) = delete;
  Win32DriveProbe& operator=(const Win32DriveProbe&) = delete;
  ~Win32DriveProbe() override {
    if (!made()) return;
    SetFileAttributesW(Path().c_str(), FILE_ATTRIBUTE_NORMAL);
    DeleteFileW(Path().c_str());
    PutFolderTimeBack();
  }

  bool made() const { return !name_.empty(); }

  std::optional<FileTime> SetAndReadTime(FileTime time) override {
    FILETIME stamp{};
    if (!FiletimeOf(time, stamp)) return std::nullopt;
    {
      const FileHandle file = OpenEntry(Path(), FILE_WRITE_ATTRIBUTES);
      if (!file.valid() || !SetFileTime(file.get(), nullptr, &stamp, &stamp))
        return std::nullopt;
    }
    const std::optional<FILETIME> read = LastWriteOf(Path());
    if (!read) return std::nullopt;
    return FileTimeOf(*read);
  }
  std::optional<uint32_t> SetAndReadMask(uint32_t mask) override {
    const DWORD bits = mask & kSettableBits;
    if (!SetFileAttributesW(Path().c_str(),
                            bits ? bits : FILE_ATTRIBUTE_NORMAL))
      return std::nullopt;
    const DWORD read = GetFileAttributesW(Path().c_str());
    if (read == INVALID_FILE_ATTRIBUTES) return std::nullopt;
    return read & kMaskBits;
  }
  uint32_t FreshMask() const override { return fresh_mask_; }
  uint32_t SettableBits() const override {
    return kMaskBits & ~DWORD(FILE_ATTRIBUTE_DIRECTORY);
  }
  // The name is in small letters. In a folder marked case-sensitive its
  // capitals name nothing, as on a drive that keeps case apart.
  bool FoundInCapitals() override {
    const std::wstring capitals =
        Joined(folder_, Widen(AsciiUpper(Narrow(name_))));
    return GetFileAttributesW(capitals.c_str()) != INVALID_FILE_ATTRIBUTES;
  }
  bool KeepsTimeWhenRenamed() override {
    const std::optional<FILETIME> before = LastWriteOf(Path());
    // Another temporary name, so that the probe stays known as one.
    const std::wstring renamed = NextTemporaryName();
    if (!before ||
        !MoveFileExW(Path().c_str(), Joined(folder_, renamed).c_str(), 0))
      return true;
    name_ = renamed;
    const std::optional<FILETIME> after = LastWriteOf(Path());
    return !after || SameStamp(*after, *before);
  }

 private:
  std::wstring Path() const { return Joined(folder_, name_); }

  // So that a run which changes nothing in a destination leaves it as it
  // was; on NTFS making and removing the probe moves the folder's time.
  void PutFolderTimeBack() {
    const std::optional<FILETIME> now = LastWriteOf(folder_);
    if (!folder_time_ || !now || SameStamp(*now, *folder_time_)) return;
    const FileHandle folder = OpenEntry(folder_, FILE_WRITE_ATTRIBUTES);
    if (folder.valid())
      SetFileTime(folder.get(), nullptr, nullptr, &*folder_time_);
  }

  std::wstring folder_;
  std::wstring name_;  // the probe file's, "" where none could be made
  std::optional<FILETIME> folder_time_;
  uint32_t fresh_mask_ = 0;
};

bool IsRemote(const std::wstring& path) {
  if (path.rfind(L"\\\\?\\UNC\\", 0) == 0) return true;
  std::vector<wchar_t> root(path.size() + 2);
  return GetVolumePathNameW(path.c_str(), root.data(), DWORD(root.size())) &&
         GetDriveTypeW(root.data()) == DRIVE_REMOTE;
}

// What the type alone tells, with Windows' own rule for letter case: a
// name finds its entry in any case unless the folder says otherwise.
DriveTraitsCache::Known ByType(const VolumeFacts& facts) {
  DriveTraitsCache::Known known{TraitsOfType(facts.type, facts.name_limit),
                                facts.type == DriveType::kNtfs};
  known.traits.ignores_case = true;
  return known;
}

DriveTraitsCache::Known Learn(const HeldFolder& root) {
  const VolumeFacts facts = FactsOf(root);
  DriveTraitsCache::Known known = ByType(facts);
  try {
    Win32DriveProbe probe(root.wide());
    if (probe.made())
      known.traits = LearnDriveTraits(facts.type, facts.name_limit, &probe);
  } catch (...) {  // a drive no probe can be made on keeps the type's
  }
  return known;
}

}  // namespace

bool PlainFileCanBeMade(const std::wstring& folder) {
  return Win32DriveProbe(folder).made();
}

VolumeFacts FactsOf(const HeldFolder& folder) {
  const std::wstring& path = folder.wide();
  if (path.empty()) return {};
  wchar_t name[MAX_PATH + 1] = {};
  DWORD longest = 0;
  std::vector<wchar_t> root(path.size() + 2);
  const bool known =
      folder.held()
          ? GetVolumeInformationByHandleW(folder.handle(), nullptr, 0, nullptr,
                                          &longest, nullptr, name, MAX_PATH + 1)
          : GetVolumePathNameW(path.c_str(), root.data(), DWORD(root.size())) &&
                GetVolumeInformationW(root.data(), nullptr, 0, nullptr,
                                      &longest, nullptr, name, MAX_PATH + 1);
  if (!known) return {};
  return {DriveTypeOf(name, IsRemote(path)), longest ? longest : 255};
}

std::optional<bool> FolderCaseSensitive(const std::wstring& folder) {
  const FileHandle handle = OpenEntry(folder, FILE_READ_ATTRIBUTES);
  FILE_CASE_SENSITIVE_INFO info{};
  if (!handle.valid() ||
      !GetFileInformationByHandleEx(handle.get(), FileCaseSensitiveInfo, &info,
                                    sizeof info))
    return std::nullopt;
  return (info.Flags & kCaseSensitiveDir) != 0;
}

const DriveTraitsCache::Known& DriveTraitsCache::Of(Role role,
                                                    const HeldFolder& root) {
  std::optional<Known>& known = roles_[size_t(role)];
  if (known) return *known;
  if (role == Role::kSource || !root.held()) {
    known = ByType(FactsOf(root));
    return *known;
  }
  for (const auto& [volume, learnt] : learnt_)
    if (volume == root.volume()) return *(known = learnt);
  known = Learn(root);
  learnt_.emplace_back(root.volume(), *known);
  return *known;
}

}  // namespace fernwise::win32
