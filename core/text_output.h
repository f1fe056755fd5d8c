// Text files open for output: the listing file, the list of what was not
// backed up and the run record. Writes are collected in
// memory and handed to the platform in large pieces, so a listing of many
// thousands of lines costs a few system calls.
#pragma once

#include <cstddef>
#include <memory>
#include <optional>
#include <string>

#include "core/run_error.h"

namespace fernwise {

/// A text file open for output.
class TextOutput {
 public:
  virtual ~TextOutput() = default;
  /// Adds `text` to the file, or throws RunError. An output whose failure
  /// lost text written before (a buffer that could not be handed over)
  /// throws that failure again at every later Write and Close, so a listing
  /// never goes on past a hole in it.
  virtual void Write(const std::string& text) = 0;
  /// Hands everything written to the platform and writes it through to the
  /// disk, or throws RunError.
  virtual void Flush() = 0;
  /// Hands everything written to the platform and closes the file, or throws
  /// RunError; a second Close does nothing, and a Write after it fails.
  virtual void Close() = 0;
};

/// The platform's open file beneath a BufferedTextOutput.
class ByteSink {
 public:
  virtual ~ByteSink() = default;
  /// Writes all `size` bytes, or throws RunError.
  virtual void Write(const char* data, size_t size) = 0;
  /// Writes what it was given through to the disk, or throws RunError.
  virtual void Sync() = 0;
  /// Closes the file, or throws RunError. Called at most once.
  virtual void Close() = 0;
};

/// The one TextOutput of every platform: text collects in a buffer that goes
/// to the sink when it fills and at Close. When an error unwinds past an
/// output that was not closed, its destructor still hands the buffer over,
/// so a listing cut short ends with its last complete write.
class BufferedTextOutput final : public TextOutput {
 public:
  /// `path` names the file in error reports.
  BufferedTextOutput(std::unique_ptr<ByteSink> sink, std::string path);
  ~BufferedTextOutput() override;

  void Write(const std::string& text) override;
  void Flush() override;
  void Close() override;

  /// The buffer's size: a write that fills it to this hands it over.
  static constexpr size_t kFlushBytes = 64 * 1024;

 private:
  void HandOver();
  void ThrowIfFailed() const;

  std::unique_ptr<ByteSink> sink_;
  std::string path_;
  std::string buffer_;
  std::optional<RunError> failure_;
  bool closed_ = false;
};

}  // namespace fernwise
