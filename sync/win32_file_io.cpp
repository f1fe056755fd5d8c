// What the Win32 file system supplies beyond the passes' ten operations:
// whole files, text output, the volume's time resolution, final paths and the
// listing's date-time format.
#include <windows.h>

#include <vector>

#include "sync/win32_file_system.h"
#include "sync/win32_handle.h"
#include "sync/win32_text.h"

namespace fernwise {

using win32::Narrow;
using win32::ThrowError;
using win32::WidenPath;

namespace {

constexpr int64_t kTicksTo1970 = 116444736000000000;
constexpr size_t kOutputBuffer = 64 * 1024;

// Bytes written so far go to the file when the buffer fills and at Close;
// the destructor flushes too, so a listing cut short by an error keeps what
// it had written.
class Win32TextOutput final : public TextOutput {
 public:
  Win32TextOutput(win32::FileHandle file, std::string path)
      : file_(std::move(file)), path_(std::move(path)) {}
  ~Win32TextOutput() override {
    try {
      Close();
    } catch (...) {
      // Already unwinding from the error that cut the listing short.
    }
  }

  void Write(const std::string& text) override {
    buffer_ += text;
    if (buffer_.size() >= kOutputBuffer) Flush();
  }

  void Close() override {
    if (!file_.valid()) return;
    Flush();
    file_.reset();
  }

 private:
  void Flush() {
    DWORD written = 0;
    if (!buffer_.empty() &&
        !WriteFile(file_.get(), buffer_.data(), DWORD(buffer_.size()),
                   &written, nullptr)) {
      const DWORD error = GetLastError();
      buffer_.clear();
      file_.reset();
      ThrowError(error, "write file", path_);
    }
    buffer_.clear();
  }

  win32::FileHandle file_;
  std::string path_;
  std::string buffer_;
};

win32::FileHandle OpenFile(const std::string& path, DWORD access,
                           DWORD creation, DWORD flags, const char* operation) {
  win32::FileHandle file(CreateFileW(
      WidenPath(path).c_str(), access,
      FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
      creation, flags, nullptr));
  if (!file.valid()) ThrowError(GetLastError(), operation, path);
  return file;
}

std::wstring VolumeFileSystemName(const std::wstring& path) {
  std::vector<wchar_t> root(path.size() + 2);
  wchar_t name[MAX_PATH + 1] = {};
  if (!GetVolumePathNameW(path.c_str(), root.data(), DWORD(root.size())) ||
      !GetVolumeInformationW(root.data(), nullptr, 0, nullptr, nullptr,
                             nullptr, name, MAX_PATH + 1))
    return L"";
  return name;
}

std::wstring LocalText(const SYSTEMTIME& local, bool date) {
  wchar_t text[128] = {};
  const int length =
      date ? GetDateFormatEx(LOCALE_NAME_USER_DEFAULT, DATE_SHORTDATE, &local,
                             nullptr, text, 128, nullptr)
           : GetTimeFormatEx(LOCALE_NAME_USER_DEFAULT, 0, &local, nullptr,
                             text, 128);
  if (length == 0) ThrowError(GetLastError(), "format date-time", "");
  return text;
}

}  // namespace

int64_t Win32FileSystem::TimeResolution(const std::string& path) {
  const std::wstring name = VolumeFileSystemName(WidenPath(path));
  // FAT keeps even seconds, exFAT 10 ms; an unknown volume is compared
  // exactly, which at worst copies a file again.
  if (name == L"FAT" || name == L"FAT32" || name == L"FAT12" || name == L"FAT16")
    return 2'000'000'000;
  if (name == L"exFAT") return 10'000'000;
  return 1;
}

std::string Win32FileSystem::ResolvePath(const std::string& path) {
  win32::FileHandle file(CreateFileW(
      WidenPath(path).c_str(), FILE_READ_ATTRIBUTES,
      FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
      OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr));
  if (!file.valid()) {
    const DWORD error = GetLastError();
    if (error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND)
      return "";
    ThrowError(error, "resolve path", path);
  }
  std::wstring final_path(MAX_PATH, L'\0');
  for (;;) {
    const DWORD length = GetFinalPathNameByHandleW(
        file.get(), final_path.data(), DWORD(final_path.size()),
        FILE_NAME_NORMALIZED | VOLUME_NAME_DOS);
    if (length == 0) ThrowError(GetLastError(), "resolve path", path);
    if (length < final_path.size()) {
      final_path.resize(length);
      return Narrow(win32::StripLongPrefix(final_path));
    }
    final_path.resize(length);
  }
}

std::string Win32FileSystem::CurrentDirectory() {
  std::wstring directory;
  DWORD length = GetCurrentDirectoryW(0, nullptr);
  while (length > directory.size()) {
    directory.resize(length);
    length = GetCurrentDirectoryW(DWORD(directory.size()), directory.data());
  }
  if (length == 0) ThrowError(GetLastError(), "read current folder", "");
  directory.resize(length);
  return Narrow(directory);
}

std::string Win32FileSystem::ReadWholeFile(const std::string& path) {
  win32::FileHandle file = OpenFile(path, GENERIC_READ, OPEN_EXISTING,
                                    FILE_ATTRIBUTE_NORMAL, "open file");
  std::string content;
  char chunk[64 * 1024];
  for (;;) {
    DWORD read = 0;
    if (!ReadFile(file.get(), chunk, sizeof chunk, &read, nullptr))
      ThrowError(GetLastError(), "read file", path);
    if (read == 0) return content;
    content.append(chunk, read);
  }
}

std::unique_ptr<TextOutput> Win32FileSystem::CreateTextFile(
    const std::string& path) {
  return std::make_unique<Win32TextOutput>(
      OpenFile(path, GENERIC_WRITE, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL,
               "create file"),
      path);
}

std::string Win32FileSystem::FormatDateTime(FileTime time) {
  // Floor division, so a time before 1970 lands on the right 100 ns unit.
  int64_t ticks = time.ns / 100 - (time.ns % 100 < 0 ? 1 : 0) + kTicksTo1970;
  FILETIME stamp{DWORD(uint64_t(ticks)), DWORD(uint64_t(ticks) >> 32)};
  SYSTEMTIME utc{}, local{};
  // SystemTimeToTzSpecificLocalTime applies the daylight-saving rule of the
  // stamp's own date, as Explorer shows it; FileTimeToLocalFileTime would
  // apply today's.
  if (ticks < 0 || !FileTimeToSystemTime(&stamp, &utc) ||
      !SystemTimeToTzSpecificLocalTime(nullptr, &utc, &local))
    ThrowError(ERROR_INVALID_PARAMETER, "format date-time", "");
  std::string text = Narrow(LocalText(local, true));
  if (local.wHour != 0 || local.wMinute != 0 || local.wSecond != 0)
    text += ' ' + Narrow(LocalText(local, false));
  return text;
}

}  // namespace fernwise
