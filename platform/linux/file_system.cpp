#include "platform/linux/file_system.h"

#include <fcntl.h>
#include <langinfo.h>
#include <unistd.h>

#include <climits>
#include <clocale>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <limits>
#include <string_view>

#include "core/run_error.h"
#include "platform/linux/carry.h"
#include "platform/linux/destination_abilities.h"

namespace fernwise {

namespace {

using linux_os::DestinationAbilities;
using linux_os::InOwnFolder;
using linux_os::kPermissionBits;
using linux_os::SplitPath;
using linux_os::ThrowError;
using linux_os::UniqueFd;

constexpr int64_t kNanosPerSecond = 1'000'000'000;

bool IsMissing(int error) { return error == ENOENT || error == ENOTDIR; }

uint32_t MaskOf(const struct stat& st, std::string_view name) {
  uint32_t mask = static_cast<uint32_t>(st.st_mode & kPermissionBits)
                  << kPermissionShift;
  if (S_ISDIR(st.st_mode)) mask |= kAttrFolder;
  if ((st.st_mode & S_IWUSR) == 0) mask |= kAttrReadOnly;
  if (!name.empty() && name.front() == '.') mask |= kAttrHidden;
  return mask;
}

// Times past the year 2262 do not fit in 64-bit nanoseconds; they are held at
// the limit rather than wrapped into the past.
FileTime TimeOf(const timespec& stamp) {
  constexpr int64_t kMaxSeconds =
      std::numeric_limits<int64_t>::max() / kNanosPerSecond - 1;
  const int64_t seconds = stamp.tv_sec;
  if (seconds > kMaxSeconds) return {std::numeric_limits<int64_t>::max()};
  if (seconds < -kMaxSeconds) return {std::numeric_limits<int64_t>::min()};
  return {seconds * kNanosPerSecond + stamp.tv_nsec};
}

}  // namespace

std::string LinuxFileSystem::StartListing(const std::string& pattern) {
  listing_.Stop();
  listed_type_ = DT_UNKNOWN;
  if (pattern.empty()) return "";
  if (pattern.back() != '/') return Probe(pattern);
  // The folder is listed as it is named on the disk.
  CommitIfPending(pattern);
  linux_os::FolderFd folder = tree_.OpenFolder(pattern, O_RDONLY);
  // A link below a named folder is not a folder to list, any more than a
  // file is.
  if (!folder.valid()) {
    if (IsMissing(errno) || errno == ELOOP) return "";
    ThrowError("list folder", pattern);
  }
  // Opened for reading, the folder is the listing's own: a held folder
  // itself is opened anew, and stays held.
  listing_.Start(folder.TakeOwned());
  listing_prefix_ = pattern;
  return NextName();
}

std::string LinuxFileSystem::NextName() {
  listed_type_ = DT_UNKNOWN;
  if (!listing_.active()) return "";
  if (const char* name = listing_.Next(listed_type_)) return name;
  if (errno != 0) ThrowError("list folder", listing_prefix_);
  // The pass looks at the entries next: through the folder just listed,
  // kept under the name their paths' folder part has.
  stats_.Adopt(linux_os::SplitPath(listing_prefix_ + ".").folder,
               listing_.TakeEnded());
  return "";
}

std::optional<bool> LinuxFileSystem::ListedIsFolder() const {
  if (listed_type_ == DT_UNKNOWN) return std::nullopt;
  return listed_type_ == DT_DIR;
}

LinuxFileSystem::~LinuxFileSystem() {
  // Best effort: a run that ends with an error has flushed and named them
  // already (FileSystemsToFlush), and a second failure has nowhere to go.
  try {
    CommitPending();
  } catch (...) {
  }
}

void LinuxFileSystem::HoldFolders(const EntryFolders& folders) {
  SettleWrites();
  ForgetKept();
  stats_.ForgetAll();
  tree_.Hold(folders);
  absent_mounts_read_ = false;
}

void LinuxFileSystem::ReleaseFolders() {
  ForgetKept();
  // The folders go however the settle ends.
  try {
    SettleWrites();
  } catch (...) {
    stats_.ForgetAll();
    tree_.Release();
    throw;
  }
  stats_.ForgetAll();
  tree_.Release();
}

void LinuxFileSystem::EndPass() { CommitPending(); }

std::vector<std::string> LinuxFileSystem::FileSystemsToFlush() {
  SettleWrites();
  return written_.Unflushed();
}

void LinuxFileSystem::Flush(const std::string& folder) {
  SettleWrites();
  if (written_.Flush(folder, copy_state_.progress) != 0)
    ThrowError("flush", folder);
}

void LinuxFileSystem::CommitPending() {
  if (pending_.empty()) return;
  // The targets' names change: nothing read of them stands.
  stats_.ForgetEntries();
  linux_os::CommitCopies(
      pending_.TakeAll(),
      [this](const std::string& folder) {
        return tree_.OpenFolder(folder, O_PATH);
      },
      copy_state_.progress);
}

void LinuxFileSystem::SettleWrites() {
  // What was written before a failed commit is flushed before the report
  // all the same.
  try {
    CommitPending();
  } catch (...) {
    written_.Keep();
    throw;
  }
  written_.Keep();
}

void LinuxFileSystem::CommitIfPending(const std::string& path) {
  if (pending_.Touches(path)) CommitPending();
}

void LinuxFileSystem::Wrote(const std::string& path, int folder) {
  const linux_os::TreeAccess::Root* root = tree_.RootOf(path);
  if (root == nullptr || root == tree_.Held(linux_os::Role::kSource)) return;
  written_.Wrote(*root);
  if (root->on_fuse && linux_os::FlushFolder(folder) != 0)
    ThrowError("flush", path);
}

bool LinuxFileSystem::SourceStillThere(const std::string& source) {
  struct stat status;
  // Asked by the path the user wrote, links followed as when it was held.
  if (::stat(source.c_str(), &status) != 0 || !S_ISDIR(status.st_mode))
    return false;
  std::string_view rest;
  const linux_os::TreeAccess::Root* held = tree_.Held(linux_os::Role::kSource);
  if (held == nullptr || tree_.RootOf(source, &rest) != held || !rest.empty())
    return true;
  return status.st_dev == held->device && status.st_ino == held->inode;
}

bool LinuxFileSystem::ExistsAfresh(const std::string& path) {
  const linux_os::PathParts parts = SplitPath(path);
  const linux_os::FolderFd folder = tree_.OpenFolder(parts.folder, O_PATH);
  if (!folder.valid()) {
    if (IsMissing(errno) || errno == ELOOP) return false;
    ThrowError("look for", path);
  }
  const std::string name(parts.name);
  struct stat status;
  if (::fstatat(folder.get(), name.c_str(), &status, AT_SYMLINK_NOFOLLOW) == 0)
    return true;
  if (IsMissing(errno)) return false;
  ThrowError("look for", path);
}

bool LinuxFileSystem::AwaitsAbsentDrive(const std::string& folder) {
  if (!absent_mounts_read_) {
    absent_mounts_.Read();
    absent_mounts_read_ = true;
  }
  if (absent_mounts_.empty()) return false;
  // The pass has just looked at the folder: its status is at hand.
  const struct stat* status = FolderStatus(folder);
  return status != nullptr && absent_mounts_.Holds(*status);
}

std::string LinuxFileSystem::Probe(const std::string& path) {
  if (pending_.Find(path) != nullptr || stats_.Lstat(path) != nullptr)
    return std::string(SplitPath(path).name);
  if (IsMissing(errno)) return "";
  ThrowError("look for", path);
}

const struct stat& LinuxFileSystem::StatEntry(const std::string& path,
                                              const char* operation) {
  // A copy waiting for its flush answers for its target.
  if (const struct stat* pending = pending_.Find(path)) return *pending;
  if (const linux_os::TreeAccess::Root* root = tree_.HeldAt(path)) {
    if (::fstat(root->fd.get(), &root_status_) != 0)
      ThrowError(operation, path);
    return root_status_;
  }
  const struct stat* status = stats_.Lstat(path);
  if (status == nullptr) ThrowError(operation, path);
  return *status;
}

LinuxFileSystem::Location LinuxFileSystem::Locate(const std::string& path,
                                                  const char* operation) const {
  const linux_os::PathParts parts = SplitPath(path);
  linux_os::FolderFd folder = tree_.OpenFolder(parts.folder, O_PATH);
  if (!folder.valid()) {
    const int error = errno;
    if ((error == ELOOP || error == ENOTDIR) &&
        tree_.RootOf(parts.folder) != nullptr)
      tree_.ThrowNotAFolder(parts.folder, operation, error);
    ThrowError(operation, path, error);
  }
  return {std::move(folder), std::string(parts.name)};
}

uint32_t LinuxFileSystem::ReadAttributes(const std::string& path) {
  const struct stat status = StatEntry(path, "read attributes of");
  const std::string_view name = SplitPath(path).name;
  const uint32_t mask = MaskOf(status, name);
  // A source entry of a backup shows the mask its copy can carry; that only
  // ever differs where the two masks differ, so only then is it worked out.
  std::string& copy = counterpart_;
  if (!tree_.Counterpart(path, linux_os::Role::kSource,
                         linux_os::Role::kDestination, copy))
    return mask;
  const struct stat* onto = CounterpartStatus(copy);
  if (onto == nullptr ||
      (onto->st_mode & S_IFMT) != (status.st_mode & S_IFMT) ||
      MaskOf(*onto, name) == mask)
    return mask;
  struct stat carried = status;
  const struct stat onto_status = *onto;
  // Where the destination keeps no permission bits (FAT, exFAT, NTFS), the
  // copy shows its own, and of the source's only what the destination
  // keeps: so no mode change is ever tried there, and a second run finds
  // the masks equal.
  if (const DestinationAbilities abilities = AbilitiesAt(copy, onto_status);
      !abilities.keeps_permissions) {
    carried.st_mode =
        (status.st_mode & S_IFMT) |
        linux_os::KeptMode(status.st_mode, onto_status.st_mode, abilities);
    return MaskOf(carried, name);
  }
  if (!S_ISREG(status.st_mode)) return mask;
  carried.st_mode = (status.st_mode & S_IFMT) |
                    CarriedModeOnto(path, status, copy, onto_status,
                                    status.st_mode & kPermissionBits);
  return MaskOf(carried, name);
}

void LinuxFileSystem::SetAttributes(const std::string& path, uint32_t mask) {
  constexpr char kOperation[] = "set attributes of";
  CommitIfPending(path);
  const struct stat status = StatEntry(path, kOperation);
  // Linux keeps no permissions on a link itself.
  if (S_ISLNK(status.st_mode)) return;
  mode_t mode = (mask >> kPermissionShift) & kPermissionBits;
  // Where the destination keeps no permission bits, the mask was made from
  // the entry's own mode (see ReadAttributes): only a file's read-only
  // attribute can have changed, and only where the destination keeps it.
  const DestinationAbilities abilities =
      InWritableTree(path) ? AbilitiesAt(path, status) : DestinationAbilities();
  if (!abilities.keeps_permissions &&
      (!S_ISREG(status.st_mode) || !abilities.keeps_read_only))
    return;
  if (S_ISREG(status.st_mode) && abilities.keeps_permissions) {
    std::string source;
    const struct stat* from =
        tree_.Counterpart(path, linux_os::Role::kDestination,
                          linux_os::Role::kSource, source)
            ? stats_.Lstat(source)
            : nullptr;
    if (from != nullptr && S_ISREG(from->st_mode)) {
      const struct stat source_status = *from;
      mode = CarriedModeOnto(source, source_status, path, status, mode);
    }
  }
  // A mode is the inode's: through a hard link it changes every other name
  // of the file too, whichever of them was read.
  if (status.st_nlink > 1) {
    stats_.ForgetEntries();
  } else {
    stats_.Forget(path);
  }
  if (const linux_os::TreeAccess::Root* root = tree_.HeldAt(path)) {
    if (linux_os::ChmodFd(root->fd.get(), mode) != 0)
      ThrowError(kOperation, path);
    return;
  }
  const Location at = Locate(path, kOperation);
  // Never through a link: should the name have become one since it was read,
  // there is no mode to set.
  if (::fchmodat(at.folder.get(), at.name.c_str(), mode, AT_SYMLINK_NOFOLLOW) ==
      0) {
    Wrote(path, at.folder.get());
    return;
  }
  if (errno == EOPNOTSUPP) return;
  ThrowError(kOperation, path);
}

mode_t LinuxFileSystem::CarriedModeOnto(const std::string& source,
                                        const struct stat& from,
                                        const std::string& target,
                                        const struct stat& onto, mode_t mode) {
  const linux_os::CarriedOwner carried{onto.st_uid == from.st_uid,
                                       onto.st_gid == from.st_gid};
  linux_os::AclFacts acl;
  bool nosuid = false;
  const auto open_file = [&](const std::string& path) {
    const Location at = Locate(path, "read attributes of");
    return UniqueFd(
        ::openat(at.folder.get(), at.name.c_str(),
                 O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC));
  };
  // A file that cannot be opened counts as having no ACL.
  if (const UniqueFd in = open_file(source); in.valid()) {
    acl = linux_os::ReadAcl(in.get());
    nosuid = linux_os::OnNosuidMount(in.get(), from.st_dev,
                                     copy_state_.nosuid_devices);
  }
  if (acl.present) {
    const UniqueFd out = open_file(target);
    acl.kept = out.valid() && linux_os::ReadAcl(out.get()).present;
  }
  return linux_os::CarriedMode(mode, carried, acl, nosuid);
}

CopyResult LinuxFileSystem::Copy(const std::string& source,
                                 const std::string& target) {
  return CopyAs(source, target, linux_os::TargetName::kReplace);
}

CopyResult LinuxFileSystem::CopyToNewName(const std::string& source,
                                          const std::string& target) {
  return CopyAs(source, target, linux_os::TargetName::kNewNameOnly);
}

CopyResult LinuxFileSystem::CopyAs(const std::string& source,
                                   const std::string& target,
                                   linux_os::TargetName naming) {
  constexpr char kOperation[] = "copy file";
  // A copy reads its source's content and replaces its target as named.
  CommitIfPending(source);
  CommitIfPending(target);
  const bool keeping = naming == linux_os::TargetName::kNewNameOnly;
  // A refresh replaces the file whose old version was just kept: in the
  // folder that version was read from, and only that file.
  std::optional<Location> displaced;
  if (!keeping && IsKept(target)) displaced = TakeKept(target, kOperation);
  ForgetKept();
  // A copy as this pass read the source; the target is replaced by a rename,
  // so no other name of the file it was changes. A version kept before an
  // erase or a refresh is read where that will happen (see LocateSeen).
  const linux_os::PathParts from = SplitPath(source);
  struct stat status;
  linux_os::FolderFd from_folder;
  FolderIdentity kept_in;
  if (keeping) {
    Location at = LocateSeen(source, kOperation, &kept_in);
    if (::fstatat(at.folder.get(), at.name.c_str(), &status,
                  AT_SYMLINK_NOFOLLOW) != 0)
      ThrowError(kOperation, source);
    from_folder = std::move(at.folder);
  } else {
    status = StatEntry(source, kOperation);
    // The source is only read: the folder its status was read in serves, as
    // link-free as it was when it was opened.
    from_folder =
        linux_os::FolderFd::Borrowed(stats_.HeldFolderFd(from.folder));
    if (!from_folder.valid()) ThrowError(kOperation, source);
  }
  stats_.Forget(target);
  // The copy may have found the source changed and copied it as it is now:
  // what follows compares with that.
  stats_.Forget(source);
  // The target's folder, which is written, is found afresh.
  Location onto =
      displaced ? std::move(*displaced) : Locate(target, kOperation);
  const linux_os::TreeAccess::Root* root = tree_.RootOf(target);
  // In a pass's destination, a copy that replaces waits for the batch's
  // flush where syncfs reaches the disk. A new name (a secondary copy) is on
  // the disk before the file it keeps is replaced or erased, and a copy
  // made outside a job entry's folders at once.
  const linux_os::Landing landing =
      naming == linux_os::TargetName::kReplace && root != nullptr &&
              root == tree_.Held(linux_os::Role::kDestination) && !root->on_fuse
          ? linux_os::Landing::kBatched
          : linux_os::Landing::kFlushed;
  const size_t waiting = pending_.size();
  const CopyResult result = linux_os::CopyEntry(
      {from_folder.get(), std::string(from.name), source}, status,
      {onto.folder.get(), onto.name, target}, copy_state_,
      AbilitiesOfFolder(onto.folder.get()), naming, landing);
  if (!result.made()) return result;
  if (keeping && linux_os::FlushFolder(onto.folder.get()) != 0)
    ThrowError(kOperation, target);
  if (keeping) NoteKept(source, status, kept_in);
  Wrote(target, onto.folder.get());
  if (pending_.size() > waiting)
    pending_.KeepFolder(SplitPath(target).folder, onto.folder);
  if (pending_.full()) CommitPending();
  return result;
}

bool LinuxFileSystem::IsLeftoverTemporary(const std::string& name) const {
  return linux_os::IsTemporaryName(name);
}

size_t LinuxFileSystem::NameLimit(const std::string& folder) {
  const linux_os::FolderFd open = tree_.OpenFolder(folder, O_PATH);
  const long limit = open.valid() ? ::fpathconf(open.get(), _PC_NAME_MAX) : -1;
  return limit > 0 ? static_cast<size_t>(limit) : size_t{NAME_MAX};
}

FileTime LinuxFileSystem::LastModified(const std::string& path) {
  return TimeOf(StatEntry(path, "read last-modified time of").st_mtim);
}

int64_t LinuxFileSystem::Length(const std::string& path) {
  return StatEntry(path, "read length of").st_size;
}

// The destination tree is the program's own: a folder that took a read-only
// source folder's mode must not keep its entries from being made or removed.
void LinuxFileSystem::Delete(const std::string& path) {
  constexpr char kOperation[] = "delete file";
  CommitIfPending(path);
  stats_.Forget(path);
  // A file whose old version was kept goes only from the folder it was read
  // from, and only as that file, checked as close to the unlink as POSIX
  // allows.
  const Location at =
      IsKept(path) ? TakeKept(path, kOperation) : LocateSeen(path, kOperation);
  ForgetKept();
  const int folder = at.folder.get();
  if (InOwnFolder(folder,
                  [&] { return ::unlinkat(folder, at.name.c_str(), 0); }) != 0)
    ThrowError(kOperation, path);
  Wrote(path, folder);
}

CopyResult LinuxFileSystem::CreateFolder(const std::string& path) {
  constexpr char kOperation[] = "create folder";
  CommitIfPending(path);
  stats_.ForgetFolder(path);
  const Location at = Locate(path, kOperation);
  const int folder = at.folder.get();
  if (InOwnFolder(folder, [&] {
        return ::mkdirat(folder, at.name.c_str(), 0777);
      }) == 0) {
    Wrote(path, folder);
    return {};
  }
  const int error = errno;
  const linux_os::Refusal refusal =
      linux_os::WhyRefused(folder, at.name, S_IFDIR, error);
  if (refusal == linux_os::Refusal::kNone) ThrowError(kOperation, path, error);
  return {linux_os::RefusalReason(refusal, S_IFDIR, error, {})};
}

void LinuxFileSystem::RemoveFolder(const std::string& path) {
  constexpr char kOperation[] = "remove folder";
  CommitIfPending(path);
  const Location at = LocateSeen(path, kOperation);
  // The folder that goes is the one the pass emptied, not one put in its
  // place.
  struct stat now;
  if (const auto seen = stats_.SeenFolder(path);
      seen &&
      ::fstatat(at.folder.get(), at.name.c_str(), &now, AT_SYMLINK_NOFOLLOW) ==
          0 &&
      (now.st_dev != seen->device || now.st_ino != seen->inode))
    ThrowFolderReplaced(path, kOperation);
  stats_.ForgetFolder(path);
  const int folder = at.folder.get();
  if (InOwnFolder(folder, [&] {
        return ::unlinkat(folder, at.name.c_str(), AT_REMOVEDIR);
      }) != 0)
    ThrowError(kOperation, path);
  Wrote(path, folder);
}

// Asked for both sides of every folder, but a file system has one answer:
// it is asked once per pass for each device the pass's folders lie on.
int64_t LinuxFileSystem::TimeResolution(const std::string& path) {
  const struct stat* status = FolderStatus(path);
  // Not a folder: nothing will be copied into it.
  if (status == nullptr) return 1;
  // A destination's is learnt; a source is only read, and its type tells.
  if (InWritableTree(path))
    return AbilitiesAt(path, *status).time_resolution_ns;
  const dev_t device = status->st_dev;
  for (const auto& [known_device, resolution] : resolutions_)
    if (known_device == device) return resolution;
  const int64_t resolution = ResolutionOf(path);
  resolutions_.emplace_back(device, resolution);
  return resolution;
}

bool LinuxFileSystem::NamesIgnoreCase(const std::string& folder) {
  const struct stat* status = FolderStatus(folder);
  return status != nullptr && InWritableTree(folder) &&
         AbilitiesAt(folder, *status).ignores_case;
}

const struct stat* LinuxFileSystem::FolderStatus(const std::string& path) {
  const struct stat* status = nullptr;
  if (const linux_os::TreeAccess::Root* root = tree_.HeldAt(path)) {
    status =
        ::fstat(root->fd.get(), &root_status_) == 0 ? &root_status_ : nullptr;
  } else {
    status = stats_.Lstat(path);
  }
  return status != nullptr && S_ISDIR(status->st_mode) ? status : nullptr;
}

void LinuxFileSystem::BeginPass() {
  CommitPending();
  ForgetKept();
  stats_.ForgetAll();
  copy_state_.BeginPass();
  resolutions_.clear();
  abilities_.Forget();
}

int64_t LinuxFileSystem::ResolutionOf(const std::string& path) {
  const linux_os::FolderFd folder = tree_.OpenFolder(path, O_PATH);
  if (!folder.valid()) return 1;
  return linux_os::AbilitiesByType(folder.get()).time_resolution_ns;
}

bool LinuxFileSystem::InWritableTree(const std::string& path) const {
  const linux_os::TreeAccess::Root* root = tree_.RootOf(path);
  return root != nullptr && (root == tree_.Held(linux_os::Role::kDestination) ||
                             root == tree_.Held(linux_os::Role::kSecondary));
}

const struct stat* LinuxFileSystem::CounterpartStatus(const std::string& path) {
  if (const struct stat* pending = pending_.Find(path)) return pending;
  if (const linux_os::TreeAccess::Root* root = tree_.HeldAt(path))
    return ::fstat(root->fd.get(), &counterpart_status_) == 0
               ? &counterpart_status_
               : nullptr;
  return stats_.Lstat(path);
}

DestinationAbilities LinuxFileSystem::AbilitiesAt(const std::string& path,
                                                  const struct stat& status) {
  return abilities_.Of(status.st_dev, [&] {
    // A folder on the entry's device, in the destination's trees.
    return tree_.OpenFolder(S_ISDIR(status.st_mode) ? std::string_view(path)
                                                    : SplitPath(path).folder,
                            O_PATH);
  });
}

DestinationAbilities LinuxFileSystem::AbilitiesOfFolder(int folder) {
  struct stat status;
  if (::fstat(folder, &status) != 0) return {};
  return abilities_.Of(status.st_dev,
                       [&] { return linux_os::FolderFd::Borrowed(folder); });
}

std::string LinuxFileSystem::ResolvePath(const std::string& path) {
  std::unique_ptr<char, decltype(&std::free)> resolved(
      ::realpath(path.c_str(), nullptr), &std::free);
  if (!resolved) {
    if (IsMissing(errno)) return "";
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

std::string LinuxFileSystem::ReadWholeFile(const std::string& path) {
  constexpr size_t kChunk = 64 * 1024;
  UniqueFd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY));
  if (!fd.valid()) ThrowError("open", path);
  std::string content;
  for (;;) {
    const size_t old_size = content.size();
    content.resize(old_size + kChunk);
    const ssize_t got = ::read(fd.get(), content.data() + old_size, kChunk);
    if (got < 0 && errno != EINTR) ThrowError("read", path);
    content.resize(old_size + (got > 0 ? static_cast<size_t>(got) : 0));
    if (got == 0) return content;
  }
}

namespace {

// A text file's descriptor beneath the buffered text output.
class FileSink final : public ByteSink {
 public:
  /// `sync_at_close`: written through to the disk when closed, as a
  /// listing file must be before the run reports.
  FileSink(UniqueFd fd, std::string path, bool sync_at_close)
      : fd_(std::move(fd)),
        path_(std::move(path)),
        sync_at_close_(sync_at_close) {}

  void Write(const char* data, size_t size) override {
    linux_os::WriteAll(fd_.get(), data, size, "write", path_);
  }
  void Sync() override {
    if (::fsync(fd_.get()) != 0) ThrowError("write", path_);
  }
  // close() can report a write-back error of NFS and the like.
  void Close() override {
    if (sync_at_close_) Sync();
    if (fd_.Close() != 0) ThrowError("write", path_);
  }

 private:
  UniqueFd fd_;
  std::string path_;
  bool sync_at_close_;
};

// The C and POSIX locales (and C.UTF-8, the same with UTF-8 text) have only
// the US date format, which nobody using them is likely to read as intended.
bool IsPlainTimeLocale() {
  const char* name = std::setlocale(LC_TIME, nullptr);
  if (name == nullptr) return true;
  const std::string_view locale(name);
  return locale == "C" || locale == "POSIX" || locale.starts_with("C.");
}

std::string Strftime(const char* format, const std::tm& local) {
  char text[256];
  const size_t length = std::strftime(text, sizeof text, format, &local);
  return std::string(text, length);
}

}  // namespace

std::unique_ptr<TextOutput> LinuxFileSystem::CreateTextFile(
    const std::string& path) {
  UniqueFd fd(
      ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666));
  if (!fd.valid()) ThrowError("open", path);
  return std::make_unique<BufferedTextOutput>(
      std::make_unique<FileSink>(std::move(fd), path, true), path);
}

std::unique_ptr<TextOutput> LinuxFileSystem::CreateNewTextFile(
    const std::string& path) {
  // O_EXCL: whatever stands at the name fails the open, a link (dangling
  // too) that would lead the output elsewhere, and a FIFO that would block
  // it on a reader. O_NOFOLLOW says the same of the link once more.
  UniqueFd fd(::open(
      path.c_str(),
      O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC | O_NOCTTY, 0600));
  if (!fd.valid()) {
    if (errno == EEXIST) return nullptr;
    ThrowError("create", path);
  }
  return std::make_unique<BufferedTextOutput>(
      std::make_unique<FileSink>(std::move(fd), path, false), path);
}

LocalDateTimeText LinuxFileSystem::LocalTexts(FileTime time) {
  // Floor division, so an instant before 1970 falls in the right second.
  time_t seconds = static_cast<time_t>(time.ns / kNanosPerSecond);
  if (time.ns % kNanosPerSecond < 0) --seconds;
  std::tm local{};
  if (::localtime_r(&seconds, &local) == nullptr)
    ThrowError("format the time", std::to_string(time.ns));
  const bool plain = IsPlainTimeLocale();
  const char* date_format = plain ? "" : ::nl_langinfo(D_FMT);
  const char* time_format = plain ? "" : ::nl_langinfo(T_FMT);
  return {Strftime(*date_format ? date_format : "%Y-%m-%d", local),
          Strftime(*time_format ? time_format : "%H:%M:%S", local),
          local.tm_hour == 0 && local.tm_min == 0 && local.tm_sec == 0,
          Strftime("%Y-%m-%d %H:%M:%S", local)};
}

std::unique_ptr<FileSystem> MakePlatformFileSystem() {
  return std::make_unique<LinuxFileSystem>();
}

}  // namespace fernwise
