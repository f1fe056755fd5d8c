#include "platform/linux/file_system.h"

#include <fcntl.h>
#include <langinfo.h>
#include <sys/statfs.h>
#include <unistd.h>

#include <clocale>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <limits>
#include <string_view>

#include "core/run_error.h"

namespace fernwise {

namespace {

using linux_os::InOwnFolder;
using linux_os::kPermissionBits;
using linux_os::SplitPath;
using linux_os::ThrowError;
using linux_os::UniqueFd;

constexpr int64_t kNanosPerSecond = 1'000'000'000;

// statfs f_type values; spelled out because older kernel headers lack some.
constexpr uint32_t kMsdosMagic = 0x4d44;
constexpr uint32_t kExfatMagic = 0x2011BAB0;
constexpr uint32_t kNtfsMagic = 0x5346544e;   // ntfs, and ntfs-3g via fuseblk
constexpr uint32_t kNtfs3Magic = 0x7366746e;  // the ntfs3 driver
constexpr uint32_t kCifsMagic = 0xFF534D42;
constexpr uint32_t kSmb2Magic = 0xFE534D42;

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
  listing_.reset();
  listed_type_ = DT_UNKNOWN;
  if (pattern.empty()) return "";
  if (pattern.back() != '/') return Probe(pattern);
  DIR* dir = ::opendir(pattern.c_str());
  if (dir == nullptr) {
    if (IsMissing(errno)) return "";
    ThrowError("list folder", pattern);
  }
  listing_.reset(dir);
  listing_prefix_ = pattern;
  return NextName();
}

std::string LinuxFileSystem::NextName() {
  listed_type_ = DT_UNKNOWN;
  if (!listing_) return "";
  // readdir returns null both at the end and on failure, and leaves errno
  // unchanged at the end.
  errno = 0;
  if (const dirent* entry = ::readdir(listing_.get())) {
    listed_type_ = entry->d_type;
    return entry->d_name;
  }
  const int error = errno;
  listing_.reset();
  if (error != 0) ThrowError("list folder", listing_prefix_, error);
  return "";
}

std::optional<bool> LinuxFileSystem::ListedIsFolder() const {
  if (listed_type_ == DT_UNKNOWN) return std::nullopt;
  return listed_type_ == DT_DIR;
}

std::string LinuxFileSystem::Probe(const std::string& path) {
  if (stats_.Lstat(path) != nullptr) return std::string(SplitPath(path).name);
  if (IsMissing(errno)) return "";
  ThrowError("look for", path);
}

const struct stat& LinuxFileSystem::StatEntry(const std::string& path,
                                              const char* operation) {
  const struct stat* status = stats_.Lstat(path);
  if (status == nullptr) ThrowError(operation, path);
  return *status;
}

uint32_t LinuxFileSystem::ReadAttributes(const std::string& path) {
  return MaskOf(StatEntry(path, "read attributes of"), SplitPath(path).name);
}

void LinuxFileSystem::SetAttributes(const std::string& path, uint32_t mask) {
  constexpr char kOperation[] = "set attributes of";
  const struct stat& status = StatEntry(path, kOperation);
  // chmod follows links, and Linux keeps no permissions on a link itself.
  if (S_ISLNK(status.st_mode)) return;
  // A mode is the inode's: through a hard link it changes every other name
  // of the file too, whichever of them was read.
  if (status.st_nlink > 1) {
    stats_.ForgetEntries();
  } else {
    stats_.Forget(path);
  }
  const mode_t mode = (mask >> kPermissionShift) & kPermissionBits;
  if (::chmod(path.c_str(), mode) != 0) ThrowError(kOperation, path);
}

void LinuxFileSystem::Copy(const std::string& source,
                           const std::string& target) {
  // A copy as this pass read the source; the target is replaced by a rename,
  // so no other name of the file it was changes.
  const struct stat status = StatEntry(source, "copy file");
  stats_.Forget(target);
  linux_os::CopyEntry(source, status, target, copy_state_);
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
  stats_.Forget(path);
  if (InOwnFolder(path, [&] { return ::unlink(path.c_str()); }) != 0)
    ThrowError("delete file", path);
}

void LinuxFileSystem::CreateFolder(const std::string& path) {
  stats_.ForgetFolder(path);
  if (InOwnFolder(path, [&] { return ::mkdir(path.c_str(), 0777); }) != 0)
    ThrowError("create folder", path);
}

void LinuxFileSystem::RemoveFolder(const std::string& path) {
  stats_.ForgetFolder(path);
  if (InOwnFolder(path, [&] { return ::rmdir(path.c_str()); }) != 0)
    ThrowError("remove folder", path);
}

// Asked for both sides of every folder, but a file system has one answer:
// it is asked once per pass for each device the pass's folders lie on. A
// link is asked through, as statfs does, so its own device does not count.
int64_t LinuxFileSystem::TimeResolution(const std::string& path) {
  const struct stat* status = stats_.Lstat(path);
  if (status == nullptr || !S_ISDIR(status->st_mode)) return ResolutionOf(path);
  const dev_t device = status->st_dev;
  for (const auto& [known_device, resolution] : resolutions_)
    if (known_device == device) return resolution;
  const int64_t resolution = ResolutionOf(path);
  resolutions_.emplace_back(device, resolution);
  return resolution;
}

void LinuxFileSystem::BeginPass() {
  stats_.ForgetAll();
  copy_state_.BeginPass();
  resolutions_.clear();
}

int64_t LinuxFileSystem::ResolutionOf(const std::string& path) {
  struct statfs info;
  if (::statfs(path.c_str(), &info) != 0) return 1;
  switch (static_cast<uint32_t>(info.f_type)) {
    case kMsdosMagic:
      return 2 * kNanosPerSecond;
    case kExfatMagic:
      return 10'000'000;
    case kNtfsMagic:
    case kNtfs3Magic:
    case kCifsMagic:
    case kSmb2Magic:
      return 100;
    default:
      return 1;
  }
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

// The listing file's descriptor beneath the buffered text output.
class FileSink final : public ByteSink {
 public:
  FileSink(UniqueFd fd, std::string path)
      : fd_(std::move(fd)), path_(std::move(path)) {}

  void Write(const char* data, size_t size) override {
    linux_os::WriteAll(fd_.get(), data, size, "write", path_);
  }
  // close() can report a write-back error of NFS and the like.
  void Close() override {
    if (fd_.Close() != 0) ThrowError("write", path_);
  }

 private:
  UniqueFd fd_;
  std::string path_;
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
      std::make_unique<FileSink>(std::move(fd), path), path);
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
          local.tm_hour == 0 && local.tm_min == 0 && local.tm_sec == 0};
}

std::unique_ptr<FileSystem> MakePlatformFileSystem() {
  return std::make_unique<LinuxFileSystem>();
}

}  // namespace fernwise
