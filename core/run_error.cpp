#include "core/run_error.h"

#include <cerrno>
#include <limits>

namespace fernwise {

namespace {

std::string Compose(int number, const std::string& text,
                    const std::string& operation, const std::string& path) {
  std::string report = "Error " + std::to_string(number) + ": " + text;
  if (!operation.empty() || !path.empty()) {
    report += " (" + operation;
    if (!operation.empty() && !path.empty()) report += ' ';
    report += path + ")";
  }
  return report;
}

}  // namespace

RunError::RunError(int number, std::string text, std::string operation,
                   std::string path)
    : std::runtime_error(Compose(number, text, operation, path)),
      number_(number),
      text_(std::move(text)),
      operation_(std::move(operation)),
      path_(std::move(path)) {}

std::string RunError::Report() const { return what() + following_; }

void RunError::AddFollowing(const RunError& later) {
  following_ += "\r\n" + later.Report();
}

void ThrowOverflow(const std::string& what) {
  throw RunError(EOVERFLOW, "Overflow", "count " + what, "");
}

void AddOne(int32_t& count, const char* what) {
  if (count == std::numeric_limits<int32_t>::max()) ThrowOverflow(what);
  ++count;
}

}  // namespace fernwise
