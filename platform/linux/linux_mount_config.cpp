#include "platform/linux/linux_mount_config.h"

#include <dirent.h>
#include <fcntl.h>
#include <limits.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <memory>
#include <optional>
#include <set>

#include "platform/linux/linux_proc_fd.h"
#include "platform/linux/posix_support.h"

namespace fernwise::linux_os {

namespace {

// Where systemd looks for units, in the order in which a unit of one name
// in an earlier folder hides those of the later ones (so a unit masked in
// /etc/systemd/system, a link to /dev/null, names no mount point).
constexpr const char* kUnitFolders[] = {
    "/run/systemd/transient",      "/run/systemd/generator.early",
    "/etc/systemd/system",         "/run/systemd/system",
    "/run/systemd/generator",      "/usr/local/lib/systemd/system",
    "/usr/lib/systemd/system",     "/lib/systemd/system",
    "/run/systemd/generator.late",
};

// A configuration file is small; one that reads on and on (a link to a
// device) is not one.
constexpr size_t kMaxText = 16 << 20;

// The whole text of `name` in the folder `at` (AT_FDCWD for a path), or ""
// where it cannot be read: configuration that cannot be read names nothing.
std::string ReadText(int at, const char* name) {
  const UniqueFd fd(
      ::openat(at, name, O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC));
  std::string text;
  if (!fd.valid()) return text;
  char chunk[16384];
  while (text.size() < kMaxText) {
    const ssize_t got = ::read(fd.get(), chunk, sizeof chunk);
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) break;
    text.append(chunk, static_cast<size_t>(got));
  }
  return text;
}

bool IsOctal(char c) { return c >= '0' && c <= '7'; }

// fstab and mountinfo write a blank, a tab, a newline or a backslash in a
// path as "\" and three octal digits.
std::string Unescaped(std::string_view field) {
  std::string path;
  for (size_t i = 0; i < field.size(); ++i) {
    if (field[i] == '\\' && i + 3 < field.size() && IsOctal(field[i + 1]) &&
        IsOctal(field[i + 2]) && IsOctal(field[i + 3])) {
      path +=
          static_cast<char>((field[i + 1] - '0') * 64 +
                            (field[i + 2] - '0') * 8 + (field[i + 3] - '0'));
      i += 3;
    } else {
      path += field[i];
    }
  }
  return path;
}

bool IsBlank(char c) { return c == ' ' || c == '\t'; }

std::string_view Trimmed(std::string_view text) {
  while (!text.empty() && (IsBlank(text.front()) || text.front() == '\r'))
    text.remove_prefix(1);
  while (!text.empty() && (IsBlank(text.back()) || text.back() == '\r'))
    text.remove_suffix(1);
  return text;
}

// Calls `each` with every line of `text`, without its line end.
template <typename Each>
void ForEachLine(std::string_view text, Each each) {
  while (!text.empty()) {
    const size_t end = text.find('\n');
    each(text.substr(0, end));
    text.remove_prefix(end == std::string_view::npos ? text.size() : end + 1);
  }
}

// The field at `index` of `line`, fields parted by blanks; "" past the end.
std::string_view Field(std::string_view line, size_t index) {
  for (size_t i = 0;; ++i) {
    while (!line.empty() && IsBlank(line.front())) line.remove_prefix(1);
    const size_t end = std::min(line.find_first_of(" \t"), line.size());
    if (i == index || line.empty()) return line.substr(0, end);
    line.remove_prefix(end);
  }
}

struct CloseDir {
  void operator()(DIR* dir) const { ::closedir(dir); }
};

bool EndsWith(std::string_view name, std::string_view suffix) {
  return name.size() > suffix.size() && name.ends_with(suffix);
}

}  // namespace

std::vector<std::string> FstabMountPoints(std::string_view fstab) {
  std::vector<std::string> points;
  ForEachLine(fstab, [&](std::string_view line) {
    if (Field(line, 0).starts_with('#')) return;
    // Anything but an absolute path ("none", "swap") mounts no folder.
    const std::string_view point = Field(line, 1);
    if (point.starts_with('/')) points.push_back(Unescaped(point));
  });
  return points;
}

std::string UnitMountPoint(std::string_view unit) {
  std::string point;
  ForEachLine(unit, [&](std::string_view line) {
    line = Trimmed(line);
    const size_t equals = line.find('=');
    if (equals == std::string_view::npos ||
        Trimmed(line.substr(0, equals)) != "Where")
      return;
    // The last assignment counts, as systemd reads it.
    const std::string_view value = Trimmed(line.substr(equals + 1));
    point = value.starts_with('/') ? std::string(value) : std::string();
  });
  return point;
}

std::vector<std::string> MountedPaths(std::string_view mountinfo) {
  std::vector<std::string> paths;
  // "36 35 98:0 /root /mount/point options ...": the fifth field.
  ForEachLine(mountinfo, [&](std::string_view line) {
    const std::string_view point = Field(line, 4);
    if (!point.empty()) paths.push_back(Unescaped(point));
  });
  return paths;
}

std::string PathInFileSystem(int fd) {
  struct statx status;
  if (::statx(fd, "", AT_EMPTY_PATH, STATX_MNT_ID, &status) != 0 ||
      !(status.stx_mask & STATX_MNT_ID))
    return {};
  char target[PATH_MAX];
  const ssize_t length =
      ::readlink(ProcFdPath(fd).c_str(), target, sizeof target);
  if (length <= 0 || size_t(length) == sizeof target || target[0] != '/')
    return {};
  const std::string path(target, size_t(length));
  // "36 35 98:0 /root /mount/point options ...": the mount's id, the root
  // of the file system it shows, and where it shows it.
  const std::string id = std::to_string(status.stx_mnt_id);
  std::optional<std::string> found;
  ForEachLine(ReadText(AT_FDCWD, "/proc/self/mountinfo"),
              [&](std::string_view line) {
                if (Field(line, 0) != id) return;
                std::string root = Unescaped(Field(line, 3));
                const std::string point = Unescaped(Field(line, 4));
                if (root == "/") root.clear();
                if (point == "/")
                  found = root + path;
                else if (PathWithin(point, path))
                  found = root + path.substr(point.size());
              });
  // "" is the file system's own root, shown as such.
  if (!found) return {};
  return found->empty() ? "/" : *found;
}

void AbsentMountPoints::Read() {
  folders_.clear();
  std::vector<std::string> mounted =
      MountedPaths(ReadText(AT_FDCWD, "/proc/self/mountinfo"));
  // Without the mount table a mounted drive cannot be told from an absent
  // one, and a mounted drive's content must never be left out.
  if (mounted.empty()) return;
  std::sort(mounted.begin(), mounted.end());
  for (const std::string& point :
       FstabMountPoints(ReadText(AT_FDCWD, "/etc/fstab")))
    Consider(point, mounted);
  // systemd runs where this folder is (as sd_booted() decides).
  struct stat status;
  if (::lstat("/run/systemd/system", &status) != 0 || !S_ISDIR(status.st_mode))
    return;
  std::set<std::string> units;
  for (const char* folder : kUnitFolders) {
    const std::unique_ptr<DIR, CloseDir> dir(::opendir(folder));
    while (const dirent* entry = dir ? ::readdir(dir.get()) : nullptr) {
      const std::string_view name = entry->d_name;
      if ((!EndsWith(name, ".mount") && !EndsWith(name, ".automount")) ||
          !units.emplace(name).second)
        continue;
      Consider(UnitMountPoint(ReadText(::dirfd(dir.get()), entry->d_name)),
               mounted);
    }
  }
}

bool AbsentMountPoints::Holds(const struct stat& status) const {
  return std::find(folders_.begin(), folders_.end(),
                   std::pair(status.st_dev, status.st_ino)) != folders_.end();
}

void AbsentMountPoints::Consider(const std::string& path,
                                 const std::vector<std::string>& mounted) {
  const auto is_mounted = [&](const std::string& point) {
    return std::binary_search(mounted.begin(), mounted.end(), point);
  };
  // A mounted drive is not looked at (a network share that does not answer
  // would hold the run up). The root is mounted whatever the table shows
  // (in a chroot it may show no mount there).
  if (path.empty() || is_mounted(path)) return;
  const std::unique_ptr<char, decltype(&std::free)> resolved(
      ::realpath(path.c_str(), nullptr), &std::free);
  if (!resolved || is_mounted(resolved.get()) ||
      std::string_view(resolved.get()) == "/")
    return;
  struct stat status;
  if (::stat(resolved.get(), &status) != 0 || !S_ISDIR(status.st_mode) ||
      Holds(status))
    return;
  folders_.emplace_back(status.st_dev, status.st_ino);
}

}  // namespace fernwise::linux_os
