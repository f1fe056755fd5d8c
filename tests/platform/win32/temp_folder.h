// The fixture of the Win32 file-system tests: a fresh temporary folder per
// test, removed afterwards, an entry's run that takes it for all its
// folders, and plain Win32 helpers that do not go through the code under
// test (beyond the path conversion).
#pragma once

#include <windows.h>

#include <algorithm>
#include <memory>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "platform/win32/entry_run.h"
#include "platform/win32/file_system.h"
#include "platform/win32/text.h"

namespace fernwise::testing {

/// Wine keeps fewer attribute bits than Windows: every file reads as
/// archived, and a folder keeps only hidden and system.
inline bool UnderWine() {
  return GetProcAddress(GetModuleHandleW(L"ntdll.dll"), "wine_get_version") !=
         nullptr;
}

class Win32TempFolderTest : public ::testing::Test {
 protected:
  void SetUp() override {
    wchar_t temp[MAX_PATH + 1] = {};
    ASSERT_NE(GetTempPathW(MAX_PATH + 1, temp), 0u);
    // Wine hands out the same few process ids run after run, so a name taken
    // by an earlier run is simply skipped.
    static unsigned serial = 0;
    do {
      root_ = win32::Narrow(temp) + "fernwise-" +
              std::to_string(GetCurrentProcessId()) + "-" +
              std::to_string(++serial);
    } while (!CreateDirectoryW(win32::WidenPath(root_).c_str(), nullptr) &&
             GetLastError() == ERROR_ALREADY_EXISTS);
    ASSERT_NE(Mask(root_), INVALID_FILE_ATTRIBUTES) << root_;
    entry_ = std::make_unique<Win32EntryRun>(EntryFolders{root_, root_, root_},
                                             nullptr);
  }
  void TearDown() override {
    // The held folders, and the listing a probe leaves open, would keep the
    // folder from going.
    entry_.reset();
    RemoveTree(win32::WidenPath(root_));
  }

  std::string Path(const std::string& name) const {
    return root_ + "\\" + name;
  }

  void WriteFile(const std::string& path, const std::string& content,
                 DWORD attributes = FILE_ATTRIBUTE_ARCHIVE) {
    HANDLE file =
        CreateFileW(win32::WidenPath(path).c_str(), GENERIC_WRITE, 0, nullptr,
                    CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    ASSERT_NE(file, INVALID_HANDLE_VALUE) << path;
    DWORD written = 0;
    ASSERT_TRUE(::WriteFile(file, content.data(), DWORD(content.size()),
                            &written, nullptr));
    ASSERT_TRUE(CloseHandle(file));
    SetMask(path, attributes);
  }
  std::string ReadFile(const std::string& path) {
    HANDLE file =
        CreateFileW(win32::WidenPath(path).c_str(), GENERIC_READ,
                    FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
    if (file == INVALID_HANDLE_VALUE) return "<missing>";
    std::string content;
    char chunk[4096];
    DWORD got = 0;
    while (::ReadFile(file, chunk, sizeof chunk, &got, nullptr) && got > 0)
      content.append(chunk, got);
    CloseHandle(file);
    return content;
  }
  void MakeFolder(const std::string& path) {
    ASSERT_TRUE(CreateDirectoryW(win32::WidenPath(path).c_str(), nullptr))
        << path;
  }
  void SetMask(const std::string& path, DWORD attributes) {
    ASSERT_TRUE(SetFileAttributesW(win32::WidenPath(path).c_str(), attributes))
        << path;
  }
  DWORD Mask(const std::string& path) {
    return GetFileAttributesW(win32::WidenPath(path).c_str());
  }
  void SetWriteTime(const std::string& path, int64_t ticks) {
    HANDLE file = CreateFileW(win32::WidenPath(path).c_str(),
                              FILE_WRITE_ATTRIBUTES, 0, nullptr, OPEN_EXISTING,
                              FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    ASSERT_NE(file, INVALID_HANDLE_VALUE) << path;
    const FILETIME stamp{DWORD(ticks), DWORD(uint64_t(ticks) >> 32)};
    ASSERT_TRUE(SetFileTime(file, nullptr, nullptr, &stamp));
    CloseHandle(file);
  }
  /// The entry's last-write time in FILETIME units; -1 where it is missing.
  int64_t WriteTicks(const std::string& path) {
    WIN32_FILE_ATTRIBUTE_DATA data{};
    if (!GetFileAttributesExW(win32::WidenPath(path).c_str(),
                              GetFileExInfoStandard, &data))
      return -1;
    return int64_t(uint64_t(data.ftLastWriteTime.dwHighDateTime) << 32 |
                   data.ftLastWriteTime.dwLowDateTime);
  }
  /// The folder's entry names but "." and "..", sorted.
  std::vector<std::string> Entries(const std::string& folder) {
    std::vector<std::string> names;
    WIN32_FIND_DATAW entry;
    HANDLE find =
        FindFirstFileW((win32::WidenPath(folder) + L"\\*").c_str(), &entry);
    if (find == INVALID_HANDLE_VALUE) return {"<not a folder>"};
    do {
      const std::string name = win32::Narrow(entry.cFileName);
      if (name != "." && name != "..") names.push_back(name);
    } while (FindNextFileW(find, &entry));
    FindClose(find);
    std::sort(names.begin(), names.end());
    return names;
  }

  Win32FileSystem fs_;
  std::string root_;
  std::unique_ptr<Win32EntryRun> entry_;

 private:
  static void RemoveTree(const std::wstring& folder) {
    WIN32_FIND_DATAW entry;
    HANDLE find = FindFirstFileW((folder + L"\\*").c_str(), &entry);
    if (find != INVALID_HANDLE_VALUE) {
      do {
        const std::wstring name = entry.cFileName;
        if (name == L"." || name == L"..") continue;
        const std::wstring path = folder + L"\\" + name;
        SetFileAttributesW(path.c_str(), FILE_ATTRIBUTE_NORMAL);
        const DWORD kind = entry.dwFileAttributes;
        if ((kind & FILE_ATTRIBUTE_DIRECTORY) &&
            !(kind & FILE_ATTRIBUTE_REPARSE_POINT))
          RemoveTree(path);
        else if (kind & FILE_ATTRIBUTE_DIRECTORY)
          RemoveDirectoryW(path.c_str());
        else
          DeleteFileW(path.c_str());
      } while (FindNextFileW(find, &entry));
      FindClose(find);
    }
    SetFileAttributesW(folder.c_str(), FILE_ATTRIBUTE_NORMAL);
    RemoveDirectoryW(folder.c_str());
  }
};

}  // namespace fernwise::testing
