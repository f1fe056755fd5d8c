#include "platform/linux/linux_content.h"

#include <fcntl.h>
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>

#include "platform/linux/posix_support.h"

namespace fernwise::linux_os {

namespace {

constexpr char kCopyFile[] = "copy file";
constexpr size_t kBufferBytes = size_t{1} << 20;

// Copies a file in slices, so that the window answers between them however
// slow the drive: each slice is sized from how long the one before took.
class Slices {
 public:
  Slices(CopyState& state, off_t total)
      : state_(state), total_(total), start_(Now()) {}

  /// The most the next slice may copy, of `left` bytes left.
  size_t Next(off_t left) const {
    return static_cast<size_t>(
        std::min<off_t>(left, static_cast<off_t>(state_.slice_bytes)));
  }

  /// A slice of `bytes` is written, and `done` of the file. Where a test
  /// asks, the source may change now, as another program could while a
  /// large file is copied.
  void Done(int64_t bytes, off_t done) {
    if (state_.after_each_chunk) state_.after_each_chunk(bytes);
    const double now = Now();
    const double took = now - start_;
    start_ = now;
    if (bytes > 0 && took > 0) {
      const double fitting =
          static_cast<double>(bytes) * CopyState::kSliceSeconds / took;
      state_.slice_bytes = static_cast<size_t>(
          std::clamp(fitting, double(CopyState::kLeastSliceBytes),
                     double(CopyState::kMostSliceBytes)));
    }
    if (state_.progress) state_.progress(done, total_);
  }

 private:
  double Now() const {
    if (state_.now) return state_.now();
    return std::chrono::duration<double>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
  }

  CopyState& state_;
  off_t total_;
  double start_;
};

char* Buffer(CopyState& state) {
  if (!state.buffer) {
    state.buffer = std::make_unique<char[]>(kBufferBytes);
    state.buffer_size = kBufferBytes;
  }
  return state.buffer.get();
}

// A clone shares the source's blocks where the file system can (btrfs, XFS);
// one that cannot says so on the first file, and is not asked for every
// other file of the pass.
bool Clone(int in, int out, const struct stat& st, CopyState& state,
           Slices& slices) {
  if (state.clone_refused_on == st.st_dev) return false;
  if (::ioctl(out, FICLONE, in) == 0) {
    slices.Done(st.st_size, st.st_size);
    return true;
  }
  if (errno == EOPNOTSUPP || errno == ENOTTY || errno == EINVAL ||
      errno == EXDEV)
    state.clone_refused_on = st.st_dev;
  return false;
}

// Moves one slice of `want` bytes at `from` of `in` to the same offset of
// `out`: in the kernel where it can, else, once the kernel cannot for this
// pair of files (another file system, an old kernel), through the buffer.
// Returns the bytes moved, 0 where the source ended first.
class SliceMover {
 public:
  SliceMover(int in, int out, const std::string& source,
             const std::string& target, CopyState& state)
      : in_(in), out_(out), source_(source), target_(target), state_(state) {}

  size_t Move(off_t from, size_t want) {
    for (;;) {
      if (in_kernel_) {
        loff_t read_at = from;
        loff_t write_at = from;
        const ssize_t copied =
            ::copy_file_range(in_, &read_at, out_, &write_at, want, 0);
        if (copied >= 0) return static_cast<size_t>(copied);
        if (errno == EINTR) continue;
        in_kernel_ = false;
      }
      char* buffer = Buffer(state_);
      const ssize_t got =
          ::pread(in_, buffer, std::min(want, state_.buffer_size), from);
      if (got >= 0) return Put(static_cast<size_t>(got), from);
      if (errno != EINTR) ThrowError(kCopyFile, source_);
    }
  }

 private:
  size_t Put(size_t size, off_t at) {
    const char* buffer = state_.buffer.get();
    for (size_t put = 0; put < size;) {
      const ssize_t wrote = ::pwrite(out_, buffer + put, size - put,
                                     at + static_cast<off_t>(put));
      if (wrote < 0 && errno != EINTR) ThrowError(kCopyFile, target_);
      if (wrote > 0) put += static_cast<size_t>(wrote);
    }
    return size;
  }

  int in_;
  int out_;
  const std::string& source_;
  const std::string& target_;
  CopyState& state_;
  bool in_kernel_ = true;
};

// Copies `length` bytes at `offset` of `in` to the same offset of `out`, in
// slices; returns how many were copied, fewer where the source ended first.
off_t CopyRange(SliceMover& mover, off_t offset, off_t length, Slices& slices) {
  off_t done = 0;
  while (done < length) {
    const size_t moved = mover.Move(offset + done, slices.Next(length - done));
    if (moved == 0) break;  // the source shrank since it was read
    done += static_cast<off_t>(moved);
    slices.Done(static_cast<int64_t>(moved), offset + done);
  }
  return done;
}

// A file with holes (a disk image, a database preallocated but barely used)
// keeps them: only its data extents are copied, and the length is set at
// the end. -1 where the file system cannot tell where its data lies.
off_t CopyDataExtents(int in, int out, off_t size, const std::string& source,
                      const std::string& target, SliceMover& mover,
                      Slices& slices) {
  for (off_t from = 0; from < size;) {
    const off_t data = ::lseek(in, from, SEEK_DATA);
    if (data < 0) {
      if (errno == ENXIO) break;  // only a hole up to the end
      if (errno == EINVAL && from == 0) return -1;
      ThrowError(kCopyFile, source);
    }
    if (data >= size) break;
    const off_t hole = std::min(::lseek(in, data, SEEK_HOLE), size);
    if (hole < 0) ThrowError(kCopyFile, source);
    const off_t copied = CopyRange(mover, data, hole - data, slices);
    if (copied < hole - data) return data + copied;
    from = hole;
  }
  if (::ftruncate(out, size) != 0) ThrowError(kCopyFile, target);
  return size;
}

bool HasHoles(const struct stat& st) {
  return st.st_blocks * off_t{512} < st.st_size;
}

// Reads up to `want` bytes of `fd` into `buffer`, fewer only at its end.
size_t ReadUpTo(int fd, char* buffer, size_t want, const std::string& path) {
  size_t got = 0;
  while (got < want) {
    const ssize_t read = ::read(fd, buffer + got, want - got);
    if (read < 0) {
      if (errno == EINTR) continue;
      ThrowError("compare", path);
    }
    if (read == 0) break;
    got += static_cast<size_t>(read);
  }
  return got;
}

}  // namespace

bool SameBytes(int a, int b, off_t size, const std::string& a_path,
               const std::string& b_path, CopyState& state) {
  // Half the buffer for each file, so comparing takes no more memory than
  // copying does.
  char* const a_part = Buffer(state);
  const size_t half = state.buffer_size / 2;
  char* const b_part = a_part + half;
  for (off_t done = 0; done < size;) {
    const size_t want =
        static_cast<size_t>(std::min<off_t>(size - done, off_t(half)));
    const bool same = ReadUpTo(a, a_part, want, a_path) == want &&
                      ReadUpTo(b, b_part, want, b_path) == want &&
                      std::memcmp(a_part, b_part, want) == 0;
    // A difference ends the step: the window is told it is over.
    done = same ? done + static_cast<off_t>(want) : size;
    if (state.progress) state.progress(done, size);
    if (!same) return false;
  }
  return true;
}

off_t CopyContent(int in, int out, const struct stat& st,
                  const std::string& source, const std::string& target,
                  CopyState& state) {
  if (st.st_size == 0) return 0;
  Slices slices(state, st.st_size);
  if (Clone(in, out, st, state, slices)) return st.st_size;
  SliceMover mover(in, out, source, target, state);
  if (HasHoles(st)) {
    const off_t reached =
        CopyDataExtents(in, out, st.st_size, source, target, mover, slices);
    if (reached >= 0) return reached;
  }
  return CopyRange(mover, 0, st.st_size, slices);
}

}  // namespace fernwise::linux_os
