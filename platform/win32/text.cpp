#include "platform/win32/text.h"

#include <windows.h>

#include <cstdint>
#include <memory>

#include "core/run_error.h"

namespace fernwise::win32 {

namespace {

constexpr wchar_t kLongPrefix[] = L"\\\\?\\";
constexpr wchar_t kLongUncPrefix[] = L"\\\\?\\UNC\\";
constexpr wchar_t kDevicePrefix[] = L"\\\\.\\";

bool IsDriveLetter(wchar_t c) {
  return (c >= L'A' && c <= L'Z') || (c >= L'a' && c <= L'z');
}

bool StartsWith(const std::wstring& text, const wchar_t* prefix) {
  return text.compare(0, wcslen(prefix), prefix) == 0;
}

struct LocalFreeDeleter {
  void operator()(wchar_t* buffer) const { LocalFree(buffer); }
};

constexpr char32_t kInvalid = 0xFFFFFFFF;

bool IsHighSurrogate(char32_t code) { return code >= 0xD800 && code < 0xDC00; }
bool IsLowSurrogate(char32_t code) { return code >= 0xDC00 && code < 0xE000; }

void AppendUtf8(std::string& out, char32_t code) {
  if (code < 0x80) {
    out += char(code);
  } else if (code < 0x800) {
    out += char(0xC0 | code >> 6);
    out += char(0x80 | (code & 0x3F));
  } else if (code < 0x10000) {
    out += char(0xE0 | code >> 12);
    out += char(0x80 | (code >> 6 & 0x3F));
    out += char(0x80 | (code & 0x3F));
  } else {
    out += char(0xF0 | code >> 18);
    out += char(0x80 | (code >> 12 & 0x3F));
    out += char(0x80 | (code >> 6 & 0x3F));
    out += char(0x80 | (code & 0x3F));
  }
}

void AppendUtf16(std::wstring& out, char32_t code) {
  if (code < 0x10000) {
    out += wchar_t(code);
  } else {
    out += wchar_t(0xD800 + ((code - 0x10000) >> 10));
    out += wchar_t(0xDC00 + ((code - 0x10000) & 0x3FF));
  }
}

// The code point that starts at `at`, which moves past it, or kInvalid. As
// UTF-8, with one widening: a surrogate code point spelled in three bytes
// (ED A0 80 to ED BF BF) stands for a UTF-16 unit without its partner, the
// one thing UTF-16 file names may hold that UTF-8 cannot.
char32_t DecodeOne(const std::string& text, size_t& at) {
  const auto byte = [&](size_t i) { return uint8_t(text[i]); };
  const uint8_t lead = byte(at);
  size_t length = 0;
  char32_t code = 0, lowest = 0;
  if (lead < 0x80) {
    ++at;
    return lead;
  } else if (lead >= 0xC2 && lead < 0xE0) {
    length = 2, code = lead & 0x1F, lowest = 0x80;
  } else if (lead >= 0xE0 && lead < 0xF0) {
    length = 3, code = lead & 0x0F, lowest = 0x800;
  } else if (lead >= 0xF0 && lead < 0xF5) {
    length = 4, code = lead & 0x07, lowest = 0x10000;
  } else {
    return kInvalid;
  }
  if (at + length > text.size()) return kInvalid;
  for (size_t i = 1; i < length; ++i) {
    if ((byte(at + i) & 0xC0) != 0x80) return kInvalid;
    code = code << 6 | (byte(at + i) & 0x3F);
  }
  // Overlong forms would give one name two spellings.
  if (code < lowest || code > 0x10FFFF) return kInvalid;
  at += length;
  return code;
}

char32_t PeekOne(const std::string& text, size_t at) {
  return DecodeOne(text, at);
}

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
  std::wstring wide;
  wide.reserve(text.size());
  for (size_t at = 0; at < text.size();) {
    const char32_t code = DecodeOne(text, at);
    if (code == kInvalid || (IsHighSurrogate(code) && at < text.size() &&
                             IsLowSurrogate(PeekOne(text, at))))
      ThrowError(ERROR_NO_UNICODE_TRANSLATION, "convert to UTF-16", text);
    AppendUtf16(wide, code);
  }
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
  std::string narrow;
  narrow.reserve(text.size());
  for (size_t at = 0; at < text.size(); ++at) {
    char32_t code = text[at];
    // A surrogate pair is one code point; a surrogate without its partner
    // keeps its own value.
    if (IsHighSurrogate(code) && at + 1 < text.size() &&
        IsLowSurrogate(text[at + 1]))
      code = 0x10000 + ((code - 0xD800) << 10) + (text[++at] - 0xDC00);
    AppendUtf8(narrow, code);
  }
  return narrow;
}

std::wstring WidenPath(const std::string& path) {
  std::wstring wide = Widen(path);
  if (wide.empty() || StartsWith(wide, kLongPrefix) ||
      StartsWith(wide, kDevicePrefix))
    return wide;
  // "E:" alone would be the folder last current on drive E, which is the
  // folder the program was started in when that lies on E.
  if (wide.size() == 2 && wide[1] == L':' && IsDriveLetter(wide[0]))
    wide += L'\\';
  // The \\?\ form switches off Windows' own clean-up of a path, so do it
  // first: GetFullPathNameW turns "/" into "\", resolves "." and "..", and
  // drops trailing dots and spaces, as every unprefixed call would.
  std::wstring full = FullPath(wide, path);
  if (StartsWith(full, kLongPrefix) || StartsWith(full, kDevicePrefix))
    return full;  // a device name such as NUL
  if (StartsWith(full, L"\\\\")) return kLongUncPrefix + full.substr(2);
  return kLongPrefix + full;
}

std::wstring JoinName(const std::wstring& folder, std::string_view relative) {
  std::wstring joined = folder;
  if (joined.empty() || joined.back() != L'\\') joined += L'\\';
  return joined + Widen(std::string(relative));
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
