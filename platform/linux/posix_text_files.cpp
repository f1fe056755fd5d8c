// The text files of a run (the job script read, the listing, the list of
// what was left out and the run record written) and the times they show.
#include <fcntl.h>
#include <langinfo.h>
#include <unistd.h>

#include <clocale>
#include <ctime>
#include <string_view>

#include "core/temporary_name.h"
#include "core/text_output.h"
#include "platform/linux/linux_file_system.h"
#include "platform/linux/posix_support.h"

namespace fernwise {

namespace {

using linux_os::ThrowError;
using linux_os::UniqueFd;

constexpr int64_t kNanosPerSecond = 1'000'000'000;

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

// A new file beside its final name, given that name at Close: until then
// the name keeps what it had, and a file that fails to be written or named
// is removed.
class ReplacingSink final : public ByteSink {
 public:
  ReplacingSink(UniqueFd folder, UniqueFd fd, std::string temp,
                std::string name, std::string path)
      : folder_(std::move(folder)),
        file_(std::move(fd), path, true),
        temp_(std::move(temp)),
        name_(std::move(name)),
        path_(std::move(path)) {}
  ~ReplacingSink() override {
    if (!temp_.empty()) ::unlinkat(folder_.get(), temp_.c_str(), 0);
  }

  void Write(const char* data, size_t size) override {
    file_.Write(data, size);
  }
  void Sync() override { file_.Sync(); }
  // Written through first, so the name never holds a file cut short.
  void Close() override {
    file_.Close();
    if (::renameat(folder_.get(), temp_.c_str(), folder_.get(),
                   name_.c_str()) != 0)
      ThrowError("write", path_);
    temp_.clear();
  }

 private:
  UniqueFd folder_;
  FileSink file_;
  std::string temp_;
  std::string name_;
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

std::unique_ptr<TextOutput> LinuxFileSystem::ReplaceTextFile(
    const std::string& path) {
  constexpr int kAttempts = 16;
  const linux_os::PathParts parts = linux_os::SplitPath(path);
  const std::string name(parts.name);
  UniqueFd folder(::open(std::string(parts.folder).c_str(),
                         O_PATH | O_DIRECTORY | O_CLOEXEC));
  if (!folder.valid()) ThrowError("create", path);
  const std::string head = linux_os::TemporaryHead(name);
  for (int attempt = 0; attempt < kAttempts; ++attempt) {
    std::string temp = MakeTemporaryName(head, "");
    // O_EXCL with O_NOFOLLOW: only a file this call made is written.
    UniqueFd fd(::openat(folder.get(), temp.c_str(),
                         O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC |
                             O_NOCTTY,
                         0666));
    if (fd.valid())
      return std::make_unique<BufferedTextOutput>(
          std::make_unique<ReplacingSink>(std::move(folder), std::move(fd),
                                          std::move(temp), name, path),
          path);
    if (errno != EEXIST) break;
  }
  ThrowError("create", path);
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

}  // namespace fernwise
