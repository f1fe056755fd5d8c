#include "platform/win32/unlock.h"

#include "platform/win32/support.h"
#include "platform/win32/text.h"

namespace fernwise::win32 {

void SetMaskOrThrow(const std::wstring& path, DWORD attributes,
                    const std::string& original) {
  attributes &= kSettableBits;
  if (!SetFileAttributesW(path.c_str(),
                          attributes ? attributes : FILE_ATTRIBUTE_NORMAL))
    ThrowError(GetLastError(), "set attributes", original);
}

DWORD Unlock(const std::wstring& path, DWORD attributes, DWORD bits,
             const std::string& original) {
  if (attributes == INVALID_FILE_ATTRIBUTES || (attributes & bits) == 0)
    return INVALID_FILE_ATTRIBUTES;
  SetMaskOrThrow(path, attributes & ~bits, original);
  return attributes;
}

void Relock(const std::wstring& path, DWORD attributes) {
  if (attributes != INVALID_FILE_ATTRIBUTES)
    SetFileAttributesW(path.c_str(), attributes & kSettableBits);
}

}  // namespace fernwise::win32
