#include "platform/win32/written_drive.h"

#include <algorithm>
#include <atomic>

#include "platform/win32/flush.h"
#include "platform/win32/text.h"

namespace fernwise::win32 {

bool Win32WrittenDrive::SameDrive(const WrittenDrive& other) const {
  const auto* drive = dynamic_cast<const Win32WrittenDrive*>(&other);
  return drive != nullptr && drive->volume_ == volume_;
}

void Win32WrittenDrive::Flush(const ProgressCallback& progress) {
  std::vector<std::wstring> folders(folders_.begin(), folders_.end());
  folders_.clear();
  std::atomic<int64_t> done{0};
  std::wstring failed;
  const DWORD error = FlushAnswering(
      [&]() -> DWORD {
        DWORD first = 0;
        for (const std::wstring& folder : folders) {
          const DWORD result = FlushFolder(folder);
          if (first == 0 && result != 0 && !FlushUnsupported(result)) {
            first = result;
            failed = folder;
          }
          done.fetch_add(1);
        }
        return first;
      },
      progress, &done, int64_t(folders.size()));
  if (error != 0 && FlushVolume(failed) != 0)
    ThrowError(error, "flush", Narrow(StripLongPrefix(failed)));
}

void Win32WrittenDrive::Changed(const std::wstring& folder) {
  folders_.insert(folder);
}

void Win32WrittenDrive::Absorb(Win32WrittenDrive& other) {
  folders_.merge(other.folders_);
}

void WrittenDrives::Changed(const HeldFolder& root, std::string_view path) {
  // The path lies in root's tree: below it, or the named folder itself,
  // which is also the folder of the entries right below it (E:\ of E:\x).
  std::string_view folder = root.path();
  const size_t slash = path.rfind('\\');
  if (path.size() > folder.size() && slash != std::string_view::npos &&
      slash >= folder.size())
    folder = path.substr(0, slash);
  auto drive = std::find_if(drives_.begin(), drives_.end(), [&](auto& known) {
    return known->volume() == root.volume();
  });
  if (drive == drives_.end()) {
    drives_.push_back(
        std::make_unique<Win32WrittenDrive>(root.path(), root.volume()));
    drive = drives_.end() - 1;
  }
  (*drive)->Changed(root.Wide(folder));
}

void WrittenDrives::HandOver(
    std::vector<std::unique_ptr<WrittenDrive>>& written) {
  for (std::unique_ptr<Win32WrittenDrive>& drive : drives_) {
    const auto known =
        std::find_if(written.begin(), written.end(),
                     [&](auto& other) { return other->SameDrive(*drive); });
    auto* same = known == written.end()
                     ? nullptr
                     : dynamic_cast<Win32WrittenDrive*>(known->get());
    if (same != nullptr)
      same->Absorb(*drive);
    else
      written.push_back(std::move(drive));
  }
  drives_.clear();
}

}  // namespace fernwise::win32
