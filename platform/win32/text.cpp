#include "platform/win32/text.h"

#include <windows.h>

#include <memory>

#include "core/run_error.h"

namespace fernwise::win32 {

namespace {

constexpr wchar_t kLongPrefix[] = L"\\\\?\\";
constexpr wchar_t kLongUncPrefix[] = L"\\\\?\\UNC\\";
constexpr wchar_t kDevicePrefix[] = L"\\\\.\\";

bool StartsWith(const std::wstring& text, const wchar_t* prefix) {
  return text.compare(0, wcslen(prefix), prefix) == 0;
}

struct LocalFreeDeleter {
  void operator()(wchar_t* buffer) const { LocalFree(buffer); }
};

std::wstring FullPath(const std::wstring& path, const std::string& original) {
  DWORD size = GetFullPathNameW(path.c_str(), 0, nullptr, nullptr);
  std::wstring full;
  while (size > full.size()) {
    full.resize(size);
    size = GetFullPathNameW(path.c_str(), size, full.data(), nullptr);
  }
  if (size == 0) ThrowError(GetLastError(), "make path absolute", original);
  full.resize(size);
  return full;
}

}  // namespace

std::wstring Widen(const std::string& text) {
  if (text.empty()) return {};
  const int size = MultiByteToWideChar(
      CP_UTF8, MB_ERR_INVALID_CHARS, text.data(), int(text.size()), nullptr, 0);
  if (size == 0) ThrowError(GetLastError(), "convert to UTF-16", text);
  std::wstring wide(size, L'\0');
  MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, text.data(),
                      int(text.size()), wide.data(), size);
  return wide;
}

std::wstring WidenText(const std::string& text) {
  const int size = MultiByteToWideChar(CP_UTF8, 0, text.data(),
                                       int(text.size()), nullptr, 0);
  std::wstring wide(size, L'\0');
  MultiByteToWideChar(CP_UTF8, 0, text.data(), int(text.size()), wide.data(),
                      size);
  return wide;
}

std::string Narrow(const std::wstring& text) {
  if (text.empty()) return {};
  const int size = WideCharToMultiByte(
      CP_UTF8, 0, text.data(), int(text.size()), nullptr, 0, nullptr, nullptr);
  std::string narrow(size, '\0');
  WideCharToMultiByte(CP_UTF8, 0, text.data(), int(text.size()), narrow.data(),
                      size, nullptr, nullptr);
  return narrow;
}

std::wstring WidenPath(const std::string& path) {
  std::wstring wide = Widen(path);
  if (wide.empty() || StartsWith(wide, kLongPrefix) ||
      StartsWith(wide, kDevicePrefix))
    return wide;
  // The \\?\ form switches off Windows' own clean-up of a path, so do it
  // first: GetFullPathNameW turns "/" into "\", resolves "." and "..", and
  // drops trailing dots and spaces, as every unprefixed call would.
  std::wstring full = FullPath(wide, path);
  if (StartsWith(full, kLongPrefix) || StartsWith(full, kDevicePrefix))
    return full;  // a device name such as NUL
  if (StartsWith(full, L"\\\\")) return kLongUncPrefix + full.substr(2);
  return kLongPrefix + full;
}

std::wstring StripLongPrefix(const std::wstring& path) {
  if (StartsWith(path, kLongUncPrefix))
    return L"\\\\" + path.substr(wcslen(kLongUncPrefix));
  if (StartsWith(path, kLongPrefix)) return path.substr(wcslen(kLongPrefix));
  return path;
}

std::string ErrorText(unsigned long error) {
  wchar_t* raw = nullptr;
  const DWORD length = FormatMessageW(
      FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM |
          FORMAT_MESSAGE_IGNORE_INSERTS,
      nullptr, error, 0, reinterpret_cast<wchar_t*>(&raw), 0, nullptr);
  std::unique_ptr<wchar_t, LocalFreeDeleter> buffer(raw);
  if (length == 0) return "Unknown error";
  std::wstring text(buffer.get(), length);
  while (!text.empty() &&
         (text.back() == L'\r' || text.back() == L'\n' || text.back() == L' '))
    text.pop_back();
  return Narrow(text);
}

void ThrowError(unsigned long error, const std::string& operation,
                const std::string& path) {
  throw RunError(int(error), ErrorText(error), operation, path);
}

}  // namespace fernwise::win32
