#include "core/path_probe.h"

#include "core/file_system.h"
#include "core/run_error.h"

namespace fernwise {

bool PathExists(FileSystem& fs, const std::string& path) {
  return !fs.StartListing(path).empty();
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

bool IsFolder(FileSystem& fs, const std::string& path,
              SnapshotFailures failures) {
  if (failures == SnapshotFailures::kThrow)
    return (fs.ReadAttributes(path) & kAttrFolder) != 0;
  try {
    return (fs.ReadAttributes(path) & kAttrFolder) != 0;
  } catch (const RunError&) {
    return false;
  }
}

}  // namespace

std::optional<FolderSnapshot> TakeSnapshot(FileSystem& fs,
                                           const std::string& folder,
                                           SnapshotFailures failures) {
  const std::string pattern = folder + fs.Separator();
  std::string name;
  if (failures == SnapshotFailures::kThrow) {
    name = fs.StartListing(pattern);
  } else {
    try {
      name = fs.StartListing(pattern);
    } catch (const RunError&) {
      return std::nullopt;
    }
  }
  FolderSnapshot snapshot;
  ChildPathBuffer entry(fs, folder);
  for (; !name.empty(); name = fs.NextName()) {
    // The entry's path is built only where its attributes must be read.
    const std::optional<bool> listed_folder = fs.ListedIsFolder();
    if (listed_folder ? *listed_folder
                      : IsFolder(fs, entry.With(name), failures)) {
      if (name != "." && name != "..") snapshot.folders.Append(std::move(name));
    } else {
      snapshot.files.Append(std::move(name));
    }
  }
  return snapshot;
}

}  // namespace fernwise
