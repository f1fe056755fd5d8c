#include "platform/linux/linux_file_system.h"

#include <unistd.h>

#include <cerrno>
#include <cstdlib>

#include "platform/linux/linux_copy.h"
#include "platform/linux/posix_support.h"

namespace fernwise {

using linux_os::ThrowError;

bool LinuxFileSystem::IsLeftoverTemporary(const std::string& name) const {
  return linux_os::IsTemporaryName(name);
}

std::unique_ptr<EntryRun> LinuxFileSystem::Enter(const EntryFolders& folders,
                                                 ProgressCallback progress) {
  return std::make_unique<linux_os::LinuxEntryRun>(folders, std::move(progress),
                                                   hooks_);
}

std::string LinuxFileSystem::ResolvePath(const std::string& path) {
  std::unique_ptr<char, decltype(&std::free)> resolved(
      ::realpath(path.c_str(), nullptr), &std::free);
  if (!resolved) {
    if (errno == ENOENT || errno == ENOTDIR) return "";
    ThrowError("resolve", path);
  }
  return resolved.get();
}

std::string LinuxFileSystem::CurrentDirectory() {
  std::unique_ptr<char, decltype(&std::free)> cwd(::getcwd(nullptr, 0),
                                                  &std::free);
  if (!cwd) ThrowError("find the current directory", "");
  return cwd.get();
}

std::unique_ptr<FileSystem> MakePlatformFileSystem() {
  return std::make_unique<LinuxFileSystem>();
}

}  // namespace fernwise
