#include "platform/win32/file_system.h"

#include "platform/win32/entry_run.h"

namespace fernwise {

std::unique_ptr<EntryRun> Win32FileSystem::Enter(const EntryFolders& folders,
                                                 ProgressCallback progress) {
  return std::make_unique<Win32EntryRun>(folders, std::move(progress));
}

std::unique_ptr<FileSystem> MakePlatformFileSystem() {
  return std::make_unique<Win32FileSystem>();
}

}  // namespace fernwise
