#include "platform/win32/refusal.h"

#include "platform/win32/drive_probe.h"

namespace fernwise::win32 {

bool MayBeRefusal(DWORD error) {
  switch (error) {
    case ERROR_DISK_FULL:
    case ERROR_HANDLE_DISK_FULL:
    case ERROR_WRITE_PROTECT:
    case ERROR_NOT_READY:
    case ERROR_DEV_NOT_EXIST:
    case ERROR_DEVICE_NOT_CONNECTED:
    case ERROR_NETNAME_DELETED:
    case ERROR_UNEXP_NET_ERR:
    case ERROR_FILE_EXISTS:
    case ERROR_ALREADY_EXISTS:
    case ERROR_PATH_NOT_FOUND:
    case ERROR_SHARING_VIOLATION:
    case ERROR_LOCK_VIOLATION:
    case ERROR_NOT_ENOUGH_MEMORY:
    case ERROR_OUTOFMEMORY:
    case ERROR_NOT_ENOUGH_QUOTA:
    case ERROR_TOO_MANY_OPEN_FILES:
    case ERROR_CRC:
    case ERROR_IO_DEVICE:
      return false;
    default:
      return true;
  }
}

bool NameRefused(const std::wstring& path, DWORD error) {
  const size_t slash = path.find_last_of(L'\\');
  return MayBeRefusal(error) && slash != std::wstring::npos &&
         PlainFileCanBeMade(path.substr(0, slash));
}

std::string CopyRefusal(DWORD error) {
  switch (error) {
    case ERROR_ENCRYPTION_FAILED:
      return kEncrypted;
    case ERROR_FILE_TOO_LARGE:
      return kTooLarge;
    default:
      return "";
  }
}

}  // namespace fernwise::win32
