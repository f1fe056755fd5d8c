// What keeps an entry's run safe on Windows: the held folders, the checks
// that look afresh, what the drives keep, and the settling of what was
// written.
#include "platform/win32/entry_run.h"

#include <new>

#include "platform/win32/text.h"

namespace fernwise {

Win32EntryRun::Win32EntryRun(const EntryFolders& folders,
                             ProgressCallback progress)
    : progress_(std::move(progress)),
      held_{win32::HeldFolder(folders.source),
            win32::HeldFolder(folders.destination),
            win32::HeldFolder(folders.secondary)} {}

// The held folders and the listing's handle close; nothing waits to be
// committed, so there is nothing to discard.
Win32EntryRun::~Win32EntryRun() = default;

void Win32EntryRun::BeginPass(Role) {
  entries_.Clear();
  kept_path_.clear();
  case_folder_.clear();
}

uint32_t Win32EntryRun::CarriableBits(const std::string& /*source*/,
                                      const std::string& /*dest*/) {
  return ~uint32_t{0};
}

bool Win32EntryRun::SourceStillThere() {
  ++calls_.read;
  return Held(Role::kSource).StillThere();
}

bool Win32EntryRun::ExistsAfresh(Role role, const std::string& path) {
  return Probe(role, path);
}

// Every folder a pass reaches lies on the drive of its named folder (no
// listing leads through a link to a folder), so the named folder's drive
// answers for it; only letter case, and whether it is the volume's root,
// are the folder's own.
DriveTraits Win32EntryRun::Traits(Role role, const std::string& folder) {
  const win32::HeldFolder& named = Held(role);
  const win32::DriveTraitsCache::Known& known = traits_.Of(role, named);
  DriveTraits traits = known.traits;
  traits.folder_takes_mask = !(folder == named.path() && named.is_root());
  if (!known.case_per_folder) return traits;
  if (folder != case_folder_) {
    ++calls_.read;
    case_folder_ = folder;
    case_sensitive_ = win32::FolderCaseSensitive(Wide(role, folder));
  }
  if (case_sensitive_) traits.ignores_case = !*case_sensitive_;
  return traits;
}

std::optional<RunError> Win32EntryRun::Settle(
    std::vector<std::unique_ptr<WrittenDrive>>& written) noexcept {
  listing_.reset();
  for (win32::HeldFolder& folder : held_) folder.Release();
  try {
    written_.HandOver(written);
    return std::nullopt;
  } catch (const std::bad_alloc&) {
    return RunError(
        ERROR_NOT_ENOUGH_MEMORY, win32::ErrorText(ERROR_NOT_ENOUGH_MEMORY),
        "keep the drives to flush", Held(Role::kDestination).path());
  }
}

}  // namespace fernwise
