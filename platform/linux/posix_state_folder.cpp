// Where the program keeps what it writes about its own runs: the user's
// state folder, as the XDG base-directory rules place it.
#include <sys/stat.h>

#include <cerrno>
#include <cstdlib>
#include <string>

#include "platform/linux/linux_file_system.h"
#include "platform/linux/posix_support.h"

namespace fernwise {

namespace {

using linux_os::ThrowError;

constexpr char kOperation[] = "make the state folder";

// The rules ignore a relative $XDG_STATE_HOME, as they do one that is unset.
std::string StateHome() {
  const char* state_home = std::getenv("XDG_STATE_HOME");
  if (state_home != nullptr && state_home[0] == '/') return state_home;
  const char* home = std::getenv("HOME");
  if (home == nullptr || home[0] != '/')
    ThrowError(kOperation, "$HOME", ENOENT);
  return std::string(home) + "/.local/state";
}

// Makes every missing folder of `folder`, each for its user alone: what
// lands in it names the user's files.
void MakeFolders(const std::string& folder) {
  for (size_t end = folder.find('/', 1);; end = folder.find('/', end + 1)) {
    const std::string part = folder.substr(0, end);
    if (::mkdir(part.c_str(), 0700) != 0 && errno != EEXIST)
      ThrowError(kOperation, part);
    if (end == std::string::npos) break;
  }
}

bool IsFolder(const std::string& path) {
  struct stat status {};
  return ::stat(path.c_str(), &status) == 0 && S_ISDIR(status.st_mode);
}

}  // namespace

std::string LinuxFileSystem::StateFolder() {
  const std::string folder = StateHome() + "/fernwise";
  // One stat in the common case, where it is there already.
  if (IsFolder(folder)) return folder;
  MakeFolders(folder);
  if (!IsFolder(folder)) ThrowError(kOperation, folder, ENOTDIR);
  return folder;
}

}  // namespace fernwise
