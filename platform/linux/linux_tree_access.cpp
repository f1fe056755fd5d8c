#include "platform/linux/linux_tree_access.h"

#include <fcntl.h>
#include <linux/openat2.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>

#include "core/run_error.h"
#include "platform/linux/linux_flush.h"

namespace fernwise::linux_os {

namespace {

constexpr int kFolderFlags = O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC;
// openat2 answers EAGAIN when a rename elsewhere raced with its walk.
constexpr int kRaceRetries = 8;
// The longest part of a path handed to the kernel at once.
constexpr size_t kPartBytes = 2048;

std::string_view WithoutTrailingSlashes(std::string_view path) {
  while (path.size() > 1 && path.back() == '/') path.remove_suffix(1);
  return path;
}

std::string_view WithoutLeadingSlashes(std::string_view path) {
  while (!path.empty() && path.front() == '/') path.remove_prefix(1);
  return path;
}

// Calls `each(name, last)` for every name of `relative`, empty ones skipped.
template <typename Each>
bool ForEachName(std::string_view relative, Each each) {
  relative = WithoutLeadingSlashes(relative);
  while (!relative.empty()) {
    const size_t slash = relative.find('/');
    const std::string_view name = relative.substr(0, slash);
    relative = slash == std::string_view::npos
                   ? std::string_view()
                   : WithoutLeadingSlashes(relative.substr(slash + 1));
    if (!each(name, relative.empty())) return false;
  }
  return true;
}

// One name at a time, for kernels without openat2 (before 5.6) or where a
// sandbox refuses it.
UniqueFd WalkBeneath(int base, std::string_view relative, int flags) {
  UniqueFd current;
  int at = base;
  const bool walked =
      ForEachName(relative, [&](std::string_view name, bool last) {
        if (name == "." || name == "..") {
          errno = EXDEV;  // names from a listing are never these
          return false;
        }
        const std::string component(name);
        UniqueFd next(::openat(at, component.c_str(),
                               (last ? flags : O_PATH) | kFolderFlags));
        if (!next.valid()) return false;
        current = std::move(next);
        at = current.get();
        return true;
      });
  if (!walked) return UniqueFd();
  if (!current.valid()) errno = EINVAL;  // nothing below the base
  return current;
}

// The folder `relative` names below `base`, reached without following any
// link and without leaving `base`. A path of any depth is walked a part at
// a time, each far shorter than PATH_MAX, from the folder the part before
// it reached.
UniqueFd OpenBeneath(int base, std::string_view relative, int flags) {
  static std::atomic<bool> openat2_works{true};
  relative = WithoutLeadingSlashes(relative);
  if (const size_t cut = relative.rfind('/', kPartBytes);
      relative.size() > kPartBytes && cut != std::string_view::npos &&
      cut > 0) {
    const UniqueFd part = OpenBeneath(base, relative.substr(0, cut), O_PATH);
    if (!part.valid()) return UniqueFd();
    return OpenBeneath(part.get(), relative.substr(cut + 1), flags);
  }
  if (openat2_works.load(std::memory_order_relaxed)) {
    open_how how{};
    how.flags = static_cast<uint64_t>(flags | kFolderFlags);
    how.resolve = RESOLVE_BENEATH | RESOLVE_NO_SYMLINKS | RESOLVE_NO_MAGICLINKS;
    const std::string path(relative);
    for (int attempt = 0; attempt < kRaceRetries; ++attempt) {
      const long fd =
          ::syscall(SYS_openat2, base, path.c_str(), &how, sizeof how);
      if (fd >= 0) return UniqueFd(static_cast<int>(fd));
      if (errno == EAGAIN) continue;
      if (errno != ENOSYS && errno != EPERM) return UniqueFd();
      openat2_works.store(false, std::memory_order_relaxed);
      break;
    }
  }
  return WalkBeneath(base, relative, flags);
}

}  // namespace

void TreeAccess::Hold(const EntryFolders& folders) {
  const std::string* paths[] = {&folders.source, &folders.destination,
                                &folders.secondary};
  for (size_t role = 0; role < roots_.size(); ++role) {
    const std::string& path = *paths[role];
    if (path.empty()) continue;
    // The user named this folder: links in its path are followed.
    UniqueFd fd(::open(path.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC));
    struct stat st;
    if (!fd.valid() || ::fstat(fd.get(), &st) != 0) {
      unheld_[role] = errno != 0 ? errno : ENOENT;
      continue;
    }
    Root& root = roots_[role];
    root.path = path;
    root.key = std::string(WithoutTrailingSlashes(path));
    root.fd = std::move(fd);
    root.device = st.st_dev;
    root.inode = st.st_ino;
    root.on_fuse = OnFuseMount(root.fd.get());
  }
}

const TreeAccess::Root* TreeAccess::Held(Role role) const {
  const Root& root = roots_[static_cast<size_t>(role)];
  return root.fd.valid() ? &root : nullptr;
}

TreeAccess::Place TreeAccess::Locate(Role role, std::string_view path) const {
  const Root* root = Held(role);
  path = WithoutTrailingSlashes(path);
  if (root == nullptr || !PathWithin(root->key, path)) return {};
  return {root, WithoutLeadingSlashes(path.substr(root->key.size()))};
}

FolderFd TreeAccess::OpenFolder(Role role, std::string_view path,
                                int flags) const {
  const auto [root, rest] = Locate(role, path);
  if (root == nullptr) {
    // Fail closed: the kernel would resolve the path through links.
    if (const int unheld = Unheld(role); unheld != 0) {
      errno = unheld;
      return FolderFd::Owned(UniqueFd());
    }
    const std::string whole(path);
    return FolderFd::Owned(
        UniqueFd(::open(whole.c_str(), flags | O_DIRECTORY | O_CLOEXEC)));
  }
  if (rest.empty()) {
    if (flags == O_PATH) return FolderFd::Borrowed(root->fd.get());
    return FolderFd::Owned(
        UniqueFd(::openat(root->fd.get(), ".", flags | kFolderFlags)));
  }
  return FolderFd::Owned(OpenBeneath(root->fd.get(), rest, flags));
}

void TreeAccess::ThrowNotAFolder(Role role, std::string_view folder,
                                 const char* operation, int error) const {
  const auto [root, rest] = Locate(role, folder);
  if (root != nullptr) {
    UniqueFd current;
    int at = root->fd.get();
    std::string walked = root->key;
    ForEachName(rest, [&](std::string_view name, bool) {
      if (walked != "/") walked += '/';
      walked += name;
      const std::string component(name);
      struct stat st;
      if (::fstatat(at, component.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0)
        return false;
      if (S_ISLNK(st.st_mode))
        throw RunError(ENOTDIR,
                       "A link stands where a folder belongs; nothing is "
                       "written through it",
                       operation, walked);
      if (!S_ISDIR(st.st_mode))
        throw RunError(ENOTDIR,
                       "A file stands where a folder belongs; nothing is "
                       "written into it",
                       operation, walked);
      current.Reset(::openat(at, component.c_str(), O_PATH | kFolderFlags));
      at = current.get();
      return current.valid();
    });
  }
  ThrowError(operation, std::string(folder), error);
}

}  // namespace fernwise::linux_os
