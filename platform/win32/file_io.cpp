// The job-level services: whole files, text output, the state folder,
// final paths and the listing's date-time format.
#include <windows.h>

#include <algorithm>
#include <cstdio>
#include <memory>

#include "platform/win32/file_system.h"
#include "platform/win32/handle.h"
#include "platform/win32/support.h"
#include "platform/win32/text.h"

namespace fernwise {

using win32::Narrow;
using win32::ThrowError;
using win32::WidenPath;

namespace {

// A text file's handle beneath the buffered text output.
class FileSink final : public ByteSink {
 public:
  /// `sync_at_close`: written through to the disk when closed, as a
  /// listing file must be before the run reports.
  FileSink(win32::FileHandle file, std::string path, bool sync_at_close)
      : file_(std::move(file)),
        path_(std::move(path)),
        sync_at_close_(sync_at_close) {}

  void Write(const char* data, size_t size) override {
    while (size > 0) {
      // WriteFile takes at most 4 GiB at once.
      const DWORD piece = DWORD(std::min<size_t>(size, 1u << 30));
      DWORD written = 0;
      if (!WriteFile(file_.get(), data, piece, &written, nullptr))
        ThrowError(GetLastError(), "write file", path_);
      // A write that takes nothing would never end; the volume is full.
      if (written == 0) ThrowError(ERROR_HANDLE_DISK_FULL, "write file", path_);
      data += written;
      size -= written;
    }
  }
  void Sync() override {
    if (!FlushFileBuffers(file_.get()))
      ThrowError(GetLastError(), "write file", path_);
  }
  void Close() override {
    if (sync_at_close_) Sync();
    if (!CloseHandle(file_.release()))
      ThrowError(GetLastError(), "write file", path_);
  }

 private:
  win32::FileHandle file_;
  std::string path_;
  bool sync_at_close_;
};

win32::FileHandle OpenFile(const std::string& path, DWORD access,
                           DWORD creation, DWORD flags, const char* operation) {
  win32::FileHandle file(
      CreateFileW(WidenPath(path).c_str(), access,
                  FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                  nullptr, creation, flags, nullptr));
  if (!file.valid()) ThrowError(GetLastError(), operation, path);
  return file;
}

std::wstring LocalText(const SYSTEMTIME& local, bool date) {
  wchar_t text[128] = {};
  const int length =
      date ? GetDateFormatEx(LOCALE_NAME_USER_DEFAULT, DATE_SHORTDATE, &local,
                             nullptr, text, 128, nullptr)
           : GetTimeFormatEx(LOCALE_NAME_USER_DEFAULT, 0, &local, nullptr, text,
                             128);
  if (length == 0) ThrowError(GetLastError(), "format date-time", "");
  return text;
}

}  // namespace

std::string Win32FileSystem::ResolvePath(const std::string& path) {
  win32::FileHandle file(
      CreateFileW(WidenPath(path).c_str(), FILE_READ_ATTRIBUTES,
                  FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                  nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr));
  if (!file.valid()) {
    const DWORD error = GetLastError();
    if (win32::IsNotFound(error)) return "";
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
  return std::make_unique<BufferedTextOutput>(
      std::make_unique<FileSink>(OpenFile(path, GENERIC_WRITE, CREATE_ALWAYS,
                                          FILE_ATTRIBUTE_NORMAL, "create file"),
                                 path, true),
      path);
}

namespace {

// A file made by this call, for writing; an invalid handle where the name is
// taken. CREATE_NEW fails on any entry of that name, a link (dangling too)
// included, and so never writes through one.
win32::FileHandle CreateNewFile(const std::string& path) {
  win32::FileHandle file(CreateFileW(
      WidenPath(path).c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr,
      CREATE_NEW, FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT,
      nullptr));
  if (file.valid()) return file;
  const DWORD error = GetLastError();
  if (error != ERROR_FILE_EXISTS && error != ERROR_ALREADY_EXISTS)
    ThrowError(error, "create file", path);
  return file;
}

}  // namespace

std::unique_ptr<TextOutput> Win32FileSystem::CreateNewTextFile(
    const std::string& path) {
  win32::FileHandle file = CreateNewFile(path);
  if (!file.valid()) return nullptr;
  return std::make_unique<BufferedTextOutput>(
      std::make_unique<FileSink>(std::move(file), path, false), path);
}

namespace {

// A new file beside its final name, given that name at Close: until then
// the name keeps what it had, and a file that fails to be written or named
// is removed.
class ReplacingSink final : public ByteSink {
 public:
  ReplacingSink(win32::FileHandle file, std::string temp, std::string path)
      : file_(std::make_unique<FileSink>(std::move(file), path, true)),
        temp_(std::move(temp)),
        path_(std::move(path)) {}
  ~ReplacingSink() override {
    if (temp_.empty()) return;
    file_.reset();  // closed first: an open file cannot be deleted
    DeleteFileW(WidenPath(temp_).c_str());
  }

  void Write(const char* data, size_t size) override {
    file_->Write(data, size);
  }
  void Sync() override { file_->Sync(); }
  void Close() override {
    file_->Close();
    if (!MoveFileExW(WidenPath(temp_).c_str(), WidenPath(path_).c_str(),
                     MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH))
      ThrowError(GetLastError(), "write file", path_);
    temp_.clear();
  }

 private:
  std::unique_ptr<FileSink> file_;
  std::string temp_;
  std::string path_;
};

}  // namespace

std::unique_ptr<TextOutput> Win32FileSystem::ReplaceTextFile(
    const std::string& path) {
  const std::string folder = path.substr(0, path.find_last_of('\\') + 1);
  for (int attempt = 0; attempt < 16; ++attempt) {
    std::string temp = folder + Narrow(win32::NextTemporaryName());
    win32::FileHandle file = CreateNewFile(temp);
    if (!file.valid()) continue;  // a name taken: the next one
    return std::make_unique<BufferedTextOutput>(
        std::make_unique<ReplacingSink>(std::move(file), std::move(temp), path),
        path);
  }
  ThrowError(ERROR_FILE_EXISTS, "create file", path);
}

// %LOCALAPPDATA%: the user's own folder on this machine, not carried to
// others with a roaming profile, as a record of this machine's runs is not.
std::string Win32FileSystem::StateFolder() {
  std::wstring base(MAX_PATH, L'\0');
  DWORD length = 0;
  while ((length = GetEnvironmentVariableW(L"LOCALAPPDATA", base.data(),
                                           DWORD(base.size()))) >= base.size())
    base.resize(length);
  if (length == 0) {
    const DWORD error = GetLastError();
    ThrowError(error != 0 ? error : ERROR_ENVVAR_NOT_FOUND,
               "find the state folder", "%LOCALAPPDATA%");
  }
  base.resize(length);
  const std::string folder = Narrow(base) + "\\Fernwise";
  const std::wstring wide = WidenPath(folder);
  if (!CreateDirectoryW(wide.c_str(), nullptr) &&
      GetLastError() != ERROR_ALREADY_EXISTS)
    ThrowError(GetLastError(), "make the state folder", folder);
  const DWORD attributes = GetFileAttributesW(wide.c_str());
  if (attributes == INVALID_FILE_ATTRIBUTES ||
      (attributes & FILE_ATTRIBUTE_DIRECTORY) == 0)
    ThrowError(ERROR_DIRECTORY, "make the state folder", folder);
  return folder;
}

LocalDateTimeText Win32FileSystem::LocalTexts(FileTime time) {
  FILETIME stamp{};
  SYSTEMTIME utc{}, local{};
  // SystemTimeToTzSpecificLocalTime applies the daylight-saving rule of the
  // stamp's own date, as Explorer shows it; FileTimeToLocalFileTime would
  // apply today's.
  if (!win32::FiletimeOf(time, stamp) || !FileTimeToSystemTime(&stamp, &utc) ||
      !SystemTimeToTzSpecificLocalTime(nullptr, &utc, &local))
    ThrowError(ERROR_INVALID_PARAMETER, "format date-time", "");
  char iso[32];
  std::snprintf(iso, sizeof iso, "%04u-%02u-%02u %02u:%02u:%02u", local.wYear,
                local.wMonth, local.wDay, local.wHour, local.wMinute,
                local.wSecond);
  return {Narrow(LocalText(local, true)), Narrow(LocalText(local, false)),
          local.wHour == 0 && local.wMinute == 0 && local.wSecond == 0, iso};
}

}  // namespace fernwise
