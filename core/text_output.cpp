#include "core/text_output.h"

#include <cerrno>
#include <cstring>

namespace fernwise {

BufferedTextOutput::BufferedTextOutput(std::unique_ptr<ByteSink> sink,
                                       std::string path)
    : sink_(std::move(sink)), path_(std::move(path)) {}

BufferedTextOutput::~BufferedTextOutput() {
  // An error is already on its way out, or the caller forgot to close: keep
  // what was written, but a second failure has nowhere to go.
  try {
    Close();
  } catch (...) {
  }
}

void BufferedTextOutput::Write(const std::string& text) {
  ThrowIfFailed();
  if (closed_) throw RunError(EBADF, std::strerror(EBADF), "write", path_);
  buffer_ += text;
  if (buffer_.size() >= kFlushBytes) HandOver();
}

void BufferedTextOutput::Flush() {
  ThrowIfFailed();
  if (closed_) throw RunError(EBADF, std::strerror(EBADF), "write", path_);
  HandOver();
  try {
    sink_->Sync();
  } catch (const RunError& error) {
    // What the disk holds of the file is unknown: nothing after it counts.
    failure_ = error;
    throw;
  }
}

void BufferedTextOutput::Close() {
  ThrowIfFailed();
  if (closed_) return;
  HandOver();
  closed_ = true;
  try {
    sink_->Close();
  } catch (const RunError& error) {
    failure_ = error;
    throw;
  }
}

void BufferedTextOutput::HandOver() {
  if (buffer_.empty()) return;
  try {
    sink_->Write(buffer_.data(), buffer_.size());
  } catch (const RunError& error) {
    // The file now lacks some of what was written before: no later write may
    // go on as if it were whole.
    failure_ = error;
    throw;
  }
  buffer_.clear();
}

void BufferedTextOutput::ThrowIfFailed() const {
  if (failure_) throw *failure_;
}

}  // namespace fernwise
