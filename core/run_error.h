// The one error type for every failure a run does not handle itself. It ends
// the run; only the window's press handler catches it, shows Report() and
// ends the program.
#pragma once

#include <cstdint>
#include <stdexcept>
#include <string>

namespace fernwise {

class RunError : public std::runtime_error {
 public:
  /// `number` is the platform's error number (errno, GetLastError()) or, for
  /// the program's own checks, an errno value that fits (EOVERFLOW, ...).
  /// `operation` reads as a verb phrase ("copy file"), `path` may be empty.
  RunError(int number, std::string text, std::string operation,
           std::string path);

  int number() const { return number_; }
  const std::string& text() const { return text_; }
  const std::string& operation() const { return operation_; }
  const std::string& path() const { return path_; }

  /// "Error 13: Permission denied (copy file /home/a/x.txt)", and after it,
  /// a line each, the failures added with AddFollowing.
  std::string Report() const;
  /// Adds a failure met while the run was ending because of this one (the
  /// entry's folders let go, which names the copies still waiting): this
  /// one stays the run's error, and the later one is told after it.
  void AddFollowing(const RunError& later);

 private:
  int number_;
  std::string text_;
  std::string operation_;
  std::string path_;
  std::string following_;  // each added report after "\r\n"
};

/// A check the program makes itself that ends the run with a message, as a
/// rejected job entry does: the driver shows `what()` in a message box, then
/// the completion report. Nothing after the entry is carried out.
class EntryRejected : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

/// Throws the overflow failure for a counter or position named `what`.
[[noreturn]] void ThrowOverflow(const std::string& what);

/// Adds one to a signed 32-bit count, or throws the overflow failure.
void AddOne(int32_t& count, const char* what);

}  // namespace fernwise
