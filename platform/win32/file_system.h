// The file-system services on Windows, through the ...W calls with UTF-8
// paths converted at the boundary (platform/win32/text.h). They keep
// nothing of a run: an entry's passes work through the Win32EntryRun that
// Enter returns (platform/win32/entry_run.h).
#pragma once

#include <memory>
#include <string>
#include <string_view>

#include "core/entry_run.h"
#include "core/file_system.h"
#include "platform/win32/support.h"

namespace fernwise {

class Win32FileSystem final : public FileSystem {
 public:
  char Separator() const override { return '\\'; }
  /// UTF-16 units, as Windows counts a name.
  size_t NameSize(std::string_view name) const override {
    return win32::Utf16Units(name);
  }
  /// "~fernwise-<mark>.tmp", the copies' temporary names (see
  /// win32::NextTemporaryName).
  bool IsLeftoverTemporary(const std::string& name) const override {
    return win32::IsTemporaryName(name);
  }

  std::unique_ptr<EntryRun> Enter(const EntryFolders& folders,
                                  ProgressCallback progress) override;

  std::string ResolvePath(const std::string& path) override;
  bool IgnoresCase() const override { return true; }
  std::string CurrentDirectory() override;
  std::string ReadWholeFile(const std::string& path) override;
  std::unique_ptr<TextOutput> CreateTextFile(const std::string& path) override;
  /// %LOCALAPPDATA%\Fernwise.
  std::string StateFolder() override;
  std::unique_ptr<TextOutput> CreateNewTextFile(
      const std::string& path) override;
  /// CREATE_NEW beside the name, then MoveFileExW with REPLACE_EXISTING,
  /// which replaces a link or junction at the name rather than following it.
  std::unique_ptr<TextOutput> ReplaceTextFile(const std::string& path) override;

 protected:
  LocalDateTimeText LocalTexts(FileTime time) override;
};

}  // namespace fernwise
