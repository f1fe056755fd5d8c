// The drives an entry wrote to, and what their flush before the run's
// report must reach. Each copy's data reaches the disk before the copy takes
// its name (platform/win32/copy.cpp); what is left are the folders whose
// entries changed: a copy renamed into place, a file erased, a folder made
// or removed, a mask or a time set. Windows writes those when it sees fit,
// so a drive pulled out after "Done" could lose them: the run flushes each
// such folder (platform/win32/flush.h) before it reports.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <unordered_set>
#include <vector>

#include "core/file_system.h"
#include "platform/win32/held_folder.h"

namespace fernwise::win32 {

class Win32WrittenDrive final : public WrittenDrive {
 public:
  /// A drive of the volume with serial number `volume`, first written below
  /// the named folder `shown`.
  Win32WrittenDrive(std::string shown, uint32_t volume)
      : shown_(std::move(shown)), volume_(volume) {}

  const std::string& Shown() const override { return shown_; }
  /// Whether `other` is a drive of the same volume serial number. Two drives
  /// that merely share a number are flushed together, folder by folder,
  /// which flushes both all the same.
  bool SameDrive(const WrittenDrive& other) const override;
  /// Flushes every folder noted. One that cannot be flushed (no leave to
  /// write there) has the whole volume flushed instead where Windows allows
  /// that (to an administrator), else fails. A network share whose server
  /// offers no flush of a folder keeps what it was given as it sees fit:
  /// nothing more can be asked of it.
  void Flush(const ProgressCallback& progress) override;

  uint32_t volume() const { return volume_; }
  /// Notes that the entries of the folder at `folder` (as the ...W calls
  /// take it) changed.
  void Changed(const std::wstring& folder);
  /// Takes over the folders `other`, a drive of the same volume, noted.
  void Absorb(Win32WrittenDrive& other);

 private:
  std::string shown_;
  uint32_t volume_;
  std::unordered_set<std::wstring> folders_;
};

/// The drives one entry wrote to, one for each volume.
class WrittenDrives {
 public:
  /// Notes a change to the entry `path` (made, renamed, erased, its mask or
  /// time set) in the tree of the held folder `root`: its folder changed, or
  /// `root` itself where `path` is the named folder.
  void Changed(const HeldFolder& root, std::string_view path);
  /// Adds the drives written to `written`, each drive once: one already
  /// there takes over what this entry wrote on it.
  void HandOver(std::vector<std::unique_ptr<WrittenDrive>>& written);

 private:
  std::vector<std::unique_ptr<Win32WrittenDrive>> drives_;
};

}  // namespace fernwise::win32
