// The temporary entry a copy is built under, beside its target, in the
// target's open folder: the target is never seen half done, and a copy that
// fails leaves nothing behind.
#pragma once

#include <sys/stat.h>

#include <optional>
#include <string>
#include <utility>

#include "core/temporary_name.h"
#include "platform/linux/linux_copy.h"
#include "platform/linux/linux_own_folder.h"
#include "platform/linux/linux_refusal.h"
#include "platform/linux/posix_support.h"

namespace fernwise::linux_os {

/// A temporary entry beside the target, removed unless committed.
class TempEntry {
 public:
  /// Calls make(name) with fresh temporary names (see TemporaryHead) until
  /// one does not exist yet; make returns false with errno set when it
  /// fails. Where the destination refuses the name or the entry's `kind`
  /// (see WhyRefused), the entry is left unmade instead of throwing.
  template <typename Make>
  TempEntry(const EntryAt& target, Make make, mode_t kind = S_IFREG)
      : folder_(target.folder) {
    const std::string head = TemporaryHead(target.name);
    for (int attempt = 0; attempt < kAttempts; ++attempt) {
      std::string name = MakeTemporaryName(head, "");
      // A refusal by a read-only folder of the process's own is retried
      // once with the folder opened up; it stays open until the temporary
      // entry has been renamed or removed, and this object's end puts its
      // mode back.
      const auto make_name = [&] { return make(name) ? 0 : -1; };
      if (InOwnFolder(folder_, make_name, access_) == 0) {
        name_ = std::move(name);
        return;
      }
      if (errno != EEXIST && Refused(target, name, kind)) return;
    }
    ThrowError("copy file", target.path, EEXIST);
  }
  TempEntry(const TempEntry&) = delete;
  TempEntry& operator=(const TempEntry&) = delete;
  ~TempEntry();

  bool made() const { return !name_.empty(); }
  /// Hands the complete entry over to whoever names it later.
  std::string Release() { return std::exchange(name_, {}); }
  Refusal refusal() const { return refusal_; }
  int error() const { return error_; }
  int folder() const { return folder_; }
  const char* name() const { return name_.c_str(); }
  /// Gives the entry the target's name. rename() replaces a file or link
  /// atomically, whatever its permissions, and never follows a link at the
  /// target's name. A new name only is never taken from another entry:
  /// false when it is taken, and the temporary entry goes with this object.
  bool Commit(const EntryAt& target, TargetName naming, CopyState& state);

 private:
  static constexpr int kAttempts = 64;

  /// After a make that failed with errno (not EEXIST): true where the
  /// destination refused the name or the kind; throws the failure else.
  bool Refused(const EntryAt& target, const std::string& name, mode_t kind);

  int folder_;
  // A member, so it ends only after the destructor's body has removed an
  // uncommitted temporary entry.
  std::optional<OwnFolderAccess> access_;
  std::string name_;
  Refusal refusal_ = Refusal::kNone;
  int error_ = 0;
};

}  // namespace fernwise::linux_os
