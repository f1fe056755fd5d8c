#include "core/path_probe.h"

#include "core/file_system.h"
#include "core/run_error.h"

namespace fernwise {

bool PathExists(EntryRun& entry, Role role, const std::string& path) {
  return !entry.StartListing(role, path).empty();
}

std::string ChildPath(const FileSystem& fs, const std::string& folder,
                      const std::string& name) {
  std::string path;
  path.reserve(folder.size() + 1 + name.size());
  path += folder;
  path += fs.Separator();
  path += name;
  return path;
}

namespace {

bool IsFolder(EntryRun& entry, Role role, const std::string& path,
              SnapshotFailures failures) {
  if (failures == SnapshotFailures::kThrow)
    return (entry.ReadAttributes(role, path) & kAttrFolder) != 0;
  try {
    return (entry.ReadAttributes(role, path) & kAttrFolder) != 0;
  } catch (const RunError&) {
    return false;
  }
}

}  // namespace

std::optional<FolderSnapshot> TakeSnapshot(const FileSystem& fs,
                                           EntryRun& entry, Role role,
                                           const std::string& folder,
                                           SnapshotFailures failures) {
  const std::string pattern = folder + fs.Separator();
  std::string name;
  if (failures == SnapshotFailures::kThrow) {
    name = entry.StartListing(role, pattern);
  } else {
    try {
      name = entry.StartListing(role, pattern);
    } catch (const RunError&) {
      return std::nullopt;
    }
  }
  FolderSnapshot snapshot;
  ChildPathBuffer path(fs, folder);
  for (; !name.empty(); name = entry.NextName()) {
    // The entry's path is built only where its attributes must be read.
    const std::optional<bool> listed_folder = entry.ListedIsFolder();
    if (listed_folder ? *listed_folder
                      : IsFolder(entry, role, path.With(name), failures)) {
      if (name != "." && name != "..") snapshot.folders.Append(std::move(name));
    } else {
      snapshot.files.Append(std::move(name));
    }
  }
  return snapshot;
}

}  // namespace fernwise
