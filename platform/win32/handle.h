// Owners for the two kinds of Win32 handle the file-system services open.
#pragma once

#include <windows.h>

#include <utility>

namespace fernwise::win32 {

/// Owns a handle that `Close` releases; `kInvalid` marks "none".
template <typename Traits>
class Handle {
 public:
  Handle() = default;
  explicit Handle(HANDLE handle) : handle_(handle) {}
  Handle(Handle&& other) noexcept
      : handle_(std::exchange(other.handle_, Traits::kInvalid())) {}
  Handle& operator=(Handle&& other) noexcept {
    reset(std::exchange(other.handle_, Traits::kInvalid()));
    return *this;
  }
  ~Handle() { reset(); }

  HANDLE get() const { return handle_; }
  /// Gives the handle up without closing it.
  HANDLE release() { return std::exchange(handle_, Traits::kInvalid()); }
  bool valid() const { return handle_ != Traits::kInvalid(); }
  void reset(HANDLE handle = Traits::kInvalid()) {
    if (valid()) Traits::Close(handle_);
    handle_ = handle;
  }

 private:
  HANDLE handle_ = Traits::kInvalid();
};

struct FileHandleTraits {
  static HANDLE kInvalid() { return INVALID_HANDLE_VALUE; }
  static void Close(HANDLE handle) { CloseHandle(handle); }
};

struct FindHandleTraits {
  static HANDLE kInvalid() { return INVALID_HANDLE_VALUE; }
  static void Close(HANDLE handle) { FindClose(handle); }
};

/// From CreateFileW.
using FileHandle = Handle<FileHandleTraits>;
/// From FindFirstFileExW.
using FindHandle = Handle<FindHandleTraits>;

}  // namespace fernwise::win32
