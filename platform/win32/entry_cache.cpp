#include "platform/win32/entry_cache.h"

#include <algorithm>

namespace fernwise::win32 {

namespace {

// The folder part and the name of `path`; the passes join them with "\".
std::pair<std::string_view, std::string_view> Split(std::string_view path) {
  const size_t slash = path.rfind('\\');
  if (slash == std::string_view::npos) return {{}, path};
  return {path.substr(0, slash), path.substr(slash + 1)};
}

// Whether `path` is `folder` or lies below it.
bool AtOrBelow(std::string_view path, std::string_view folder) {
  return path.substr(0, folder.size()) == folder &&
         (path.size() == folder.size() || path[folder.size()] == '\\');
}

}  // namespace

const EntryData* EntryCache::Find(std::string_view path) const {
  for (const Recent& recent : recent_)
    if (recent.known && recent.path == path) return &recent.data;
  const auto [folder, name] = Split(path);
  for (const Folder& record : folders_) {
    if (record.path != folder) continue;
    const auto found = record.entries.find(name);
    return found == record.entries.end() ? nullptr : &found->second;
  }
  return nullptr;
}

void EntryCache::BeginFolder(std::string_view folder) {
  std::erase_if(folders_, [folder](const Folder& record) {
    return folder == record.path || !AtOrBelow(folder, record.path);
  });
  folders_.push_back({std::string(folder), {}});
}

void EntryCache::AddListed(std::string_view name, const EntryData& data) {
  if (!folders_.empty()) folders_.back().entries.emplace(name, data);
}

const EntryData& EntryCache::Remember(std::string_view path,
                                      const EntryData& data) {
  // The older of the two makes room.
  Recent& recent = recent_[next_recent_];
  next_recent_ = (next_recent_ + 1) % recent_.size();
  recent.path.assign(path);
  recent.data = data;
  recent.known = true;
  return recent.data;
}

void EntryCache::Forget(std::string_view path) {
  ForgetEntry(path);
  ForgetEntry(Split(path).first);
}

void EntryCache::ForgetFolder(std::string_view path) {
  Forget(path);
  std::erase_if(folders_, [path](const Folder& record) {
    return AtOrBelow(record.path, path);
  });
  for (Recent& recent : recent_)
    if (AtOrBelow(recent.path, path)) recent.known = false;
}

void EntryCache::Clear() {
  folders_.clear();
  for (Recent& recent : recent_) recent.known = false;
}

void EntryCache::ForgetEntry(std::string_view path) {
  for (Recent& recent : recent_)
    if (recent.path == path) recent.known = false;
  const auto [folder, name] = Split(path);
  for (Folder& record : folders_)
    if (record.path == folder) record.entries.erase(std::string(name));
}

}  // namespace fernwise::win32
