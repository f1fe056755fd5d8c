#include "tests/support/memory_file_system.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

#include "core/ascii_case.h"
#include "core/run_error.h"

namespace fernwise::testing {

class MemoryFileSystem::Output : public TextOutput {
 public:
  Output(MemoryFileSystem& fs, std::string path)
      : fs_(fs), path_(std::move(path)) {}
  ~Output() override { HandOver(); }
  void Write(const std::string& text) override {
    fs_.Record(Op::kWrite, path_, "write " + path_);
    buffer_ += text;
  }
  void Flush() override {
    fs_.log_.push_back("sync " + path_);
    HandOver();
  }
  void Close() override { HandOver(); }

 private:
  void HandOver() {
    if (Node* node = fs_.Find(path_)) node->content += buffer_;
    buffer_.clear();
  }
  MemoryFileSystem& fs_;
  std::string path_;
  std::string buffer_;
};

MemoryFileSystem::MemoryFileSystem(char separator) : separator_(separator) {}

std::string MemoryFileSystem::Parent(const std::string& path) const {
  size_t at = path.rfind(separator_);
  return at == std::string::npos ? std::string() : path.substr(0, at);
}

std::string MemoryFileSystem::BaseName(const std::string& path) const {
  size_t at = path.rfind(separator_);
  return at == std::string::npos ? path : path.substr(at + 1);
}

bool MemoryFileSystem::IsRoot(const std::string& path) const {
  // "" on POSIX; "" or a drive ("C:") with backslashes. A bare name is a
  // relative path, not a root.
  if (path.empty()) return true;
  return separator_ == '\\' && path.back() == ':' &&
         path.find(separator_) == std::string::npos;
}

bool MemoryFileSystem::BelowCaseless(const std::string& path) const {
  const std::string& top = ignores_case_below_;
  return !top.empty() && path.size() > top.size() && path.starts_with(top) &&
         path[top.size()] == separator_;
}

std::string MemoryFileSystem::Key(const std::string& path) const {
  if (!BelowCaseless(path) || nodes_.contains(path)) return path;
  const auto lower = [](std::string name) {
    for (char& c : name) c = AsciiLower(c);
    return name;
  };
  std::string key = ignores_case_below_;
  size_t at = key.size();
  while (at < path.size()) {
    const size_t end = std::min(path.find(separator_, at + 1), path.size());
    const std::string name = path.substr(at + 1, end - at - 1);
    std::string spelled = name;
    auto folder = nodes_.find(key);
    if (folder != nodes_.end()) {
      for (const std::string& child : folder->second.children)
        if (lower(child) == lower(name)) spelled = child;
    }
    key += separator_;
    key += spelled;
    at = end;
  }
  return key;
}

bool MemoryFileSystem::NamesIgnoreCase(const std::string& folder) const {
  return folder == ignores_case_below_ || BelowCaseless(folder);
}

bool MemoryFileSystem::Within(const std::string& path,
                              const std::string& folder) const {
  return folder.empty() || path == folder ||
         (path.starts_with(folder) &&
          (folder.back() == separator_ || path[folder.size()] == separator_));
}

std::string MemoryFileSystem::DriveAt(const std::string& folder) const {
  std::string mount;
  for (const auto& [at, drive] : drives_)
    if (Within(folder, at) && at.size() >= mount.size()) mount = at;
  return mount;
}

MemoryFileSystem::Node* MemoryFileSystem::Find(const std::string& path) {
  auto it = nodes_.find(Key(path));
  return it == nodes_.end() ? nullptr : &it->second;
}

const MemoryFileSystem::Node* MemoryFileSystem::Find(
    const std::string& path) const {
  auto it = nodes_.find(Key(path));
  return it == nodes_.end() ? nullptr : &it->second;
}

void MemoryFileSystem::Fail(int error, const char* operation,
                            const std::string& path) const {
  throw RunError(error, std::strerror(error), operation, path);
}

MemoryFileSystem::Node& MemoryFileSystem::Get(const std::string& path,
                                              const char* operation) {
  Node* node = Find(path);
  if (!node) Fail(ENOENT, operation, path);
  return *node;
}

MemoryFileSystem::Node& MemoryFileSystem::Make(const std::string& path,
                                               bool folder) {
  if (Node* node = Find(path)) return *node;
  const std::string parent = Parent(path);
  if (!IsRoot(path) && !Find(parent)) Make(parent, true);
  const std::string key = Key(path);
  if (Node* parent_node = Find(parent)) {
    parent_node->children.push_back(BaseName(key));
  } else {
    // A root's children are kept under the root's own key.
    nodes_[parent].folder = true;
    nodes_[parent].mask = kAttrFolder;
    nodes_[parent].children.push_back(BaseName(key));
  }
  Node& node = nodes_[key];
  node.folder = folder;
  node.mask = folder ? kAttrFolder : kAttrArchive;
  node.identity = ++identities_;
  return node;
}

bool MemoryFileSystem::ExistsAfresh(const std::string& path) {
  Record(Op::kFreshLook, path, "fresh " + path);
  return Find(path) != nullptr || IsRoot(path);
}

void MemoryFileSystem::AddFolder(const std::string& path, uint32_t mask) {
  Make(path, true).mask = mask | kAttrFolder;
}

void MemoryFileSystem::AddFile(const std::string& path,
                               const std::string& content, FileTime time,
                               uint32_t mask) {
  Node& node = Make(path, false);
  node.content = content;
  node.time = time;
  node.mask = mask & ~uint32_t{kAttrFolder};
}

void MemoryFileSystem::Remove(const std::string& path) {
  Node* node = Find(path);
  if (!node) return;
  const std::string key = Key(path);
  for (const std::string& child : std::vector<std::string>(node->children))
    Remove(key + separator_ + child);
  nodes_.erase(key);
  if (Node* parent = Find(Parent(key))) {
    auto& siblings = parent->children;
    siblings.erase(std::find(siblings.begin(), siblings.end(), BaseName(key)));
  }
}

bool MemoryFileSystem::Exists(const std::string& path) const {
  return Find(path) != nullptr;
}

bool MemoryFileSystem::IsFolder(const std::string& path) const {
  const Node* node = Find(path);
  return node && node->folder;
}

const std::string& MemoryFileSystem::Content(const std::string& path) const {
  static const std::string kNone = "<missing>";
  const Node* node = Find(path);
  return node ? node->content : kNone;
}

FileTime MemoryFileSystem::Time(const std::string& path) const {
  const Node* node = Find(path);
  return node ? node->time : FileTime{-1};
}

uint32_t MemoryFileSystem::Mask(const std::string& path) const {
  const Node* node = Find(path);
  return node ? node->mask : 0xFFFFFFFFu;
}

void MemoryFileSystem::SetTime(const std::string& path, FileTime time) {
  Get(path, "set time").time = time;
}

std::vector<std::string> MemoryFileSystem::Tree(const std::string& root) const {
  std::vector<std::string> paths;
  const std::string prefix = root + separator_;
  for (const auto& [path, node] : nodes_) {
    if (path.compare(0, prefix.size(), prefix) != 0) continue;
    paths.push_back(path.substr(prefix.size()) + (node.folder ? "/" : ""));
  }
  return paths;
}

void MemoryFileSystem::SetListingOrder(const std::string& folder,
                                       std::vector<std::string> names) {
  listing_orders_[folder] = std::move(names);
}

void MemoryFileSystem::FailOn(Op op, const std::string& path, int error,
                              int skip) {
  failures_.push_back({op, path, error, skip});
}

std::vector<std::string> MemoryFileSystem::LogOf(
    const std::string& prefix) const {
  std::vector<std::string> lines;
  for (const std::string& line : log_)
    if (line.compare(0, prefix.size(), prefix) == 0) lines.push_back(line);
  return lines;
}

void MemoryFileSystem::Record(Op op, const std::string& path,
                              const std::string& log_line) {
  log_.push_back(log_line);
  if (before_op_) before_op_(op, path);
  for (Failure& failure : failures_) {
    if (failure.op != op || failure.path != path) continue;
    if (failure.skip > 0) {
      --failure.skip;
      continue;
    }
    Fail(failure.error, "injected", path);
  }
}

std::string MemoryFileSystem::StartListing(const std::string& pattern) {
  listing_.clear();
  listing_next_ = 0;
  const bool folder_pattern = !pattern.empty() && pattern.back() == separator_;
  const std::string path =
      folder_pattern ? pattern.substr(0, pattern.size() - 1) : pattern;
  Record(Op::kList, path, "list " + pattern);
  if (pattern.empty()) return "";
  const Node* node = Find(path);
  if (!folder_pattern) return node || IsRoot(path) ? BaseName(path) : "";
  if (!node && !IsRoot(path)) return "";
  if (node && !node->folder) return "";
  listing_folder_ = path;
  if (list_dots_) listing_ = {".", ".."};
  std::vector<std::string> children =
      node ? node->children : std::vector<std::string>();
  auto order = listing_orders_.find(path);
  if (order != listing_orders_.end()) {
    for (const std::string& name : order->second) {
      auto it = std::find(children.begin(), children.end(), name);
      if (it == children.end()) continue;
      listing_.push_back(name);
      children.erase(it);
    }
  }
  listing_.insert(listing_.end(), children.begin(), children.end());
  return NextNameUnlogged();
}

std::string MemoryFileSystem::NextNameUnlogged() {
  if (listing_next_ == listing_.size()) return "";
  return listing_[listing_next_++];
}

std::optional<bool> MemoryFileSystem::ListedIsFolder() const {
  if (!listing_tells_kind_ || listing_next_ == 0) return std::nullopt;
  const std::string& name = listing_[listing_next_ - 1];
  if (name == "." || name == "..") return true;
  return IsFolder(listing_folder_ + separator_ + name);
}

std::string MemoryFileSystem::NextName() {
  Record(Op::kNextName, "", "next");
  return NextNameUnlogged();
}

uint32_t MemoryFileSystem::ReadAttributes(const std::string& path) {
  Record(Op::kReadAttributes, path, "attr " + path);
  // "." and ".." name the folder and its parent, as on a real file system.
  std::string target = path;
  const std::string name = BaseName(path);
  if (name == "." || name == "..") target = Parent(path);
  if (name == ".." && !IsRoot(target)) target = Parent(target);
  if (IsRoot(target) && !Find(target)) return kAttrFolder;
  return Get(target, "read attributes of").mask;
}

void MemoryFileSystem::SetAttributes(const std::string& path, uint32_t mask) {
  Record(Op::kSetAttributes, path,
         "setattr " + path + " " + std::to_string(mask));
  Node& node = Get(path, "set attributes of");
  node.mask = node.folder ? mask | kAttrFolder : mask & ~uint32_t{kAttrFolder};
}

CopyResult MemoryFileSystem::CopyOnto(const std::string& source,
                                      const std::string& target, bool replace,
                                      const ProgressCallback& progress) {
  Record(Op::kCopy, target, "copy " + source + " -> " + target);
  for (Failure& failure : failures_)
    if (failure.op == Op::kCopy && failure.path == source) {
      if (failure.skip > 0) {
        --failure.skip;
        continue;
      }
      Fail(failure.error, "copy file", source);
    }
  const Node& from = Get(source, "copy file");
  if (from.folder) Fail(EISDIR, "copy file", source);
  if (auto left_out = left_out_.find(source); left_out != left_out_.end())
    return {left_out->second};
  const Node* parent = Find(Parent(target));
  if (!IsRoot(target) && (!parent || !parent->folder))
    Fail(ENOENT, "copy file to", target);
  if (!replace && Find(target)) return {"", true};
  if (const Node* existing = Find(target); existing && existing->folder)
    Fail(EISDIR, "copy file to", target);
  const Node copy = from;  // `from` may move when the target is made
  const int64_t size = static_cast<int64_t>(copy.content.size());
  for (int slice = 1; slice <= copy_slices_ && progress; ++slice)
    progress(size * slice / copy_slices_, size);
  Node& to = Make(target, false);
  to.content = copy.content;
  if (copy_keeps_time_) to.time = copy.time;
  if (copy_keeps_mask_) to.mask = copy.mask;
  return {};
}

FileTime MemoryFileSystem::LastModified(const std::string& path) {
  Record(Op::kLastModified, path, "time " + path);
  return Get(path, "read last-modified time of").time;
}

void MemoryFileSystem::SetLastModified(const std::string& path, FileTime time) {
  Record(Op::kSetTime, path, "settime " + path + " " + std::to_string(time.ns));
  Node& node = Get(path, "set last-modified time of");
  if (node.folder) Fail(EISDIR, "set last-modified time of", path);
  node.time = time;
}

void MemoryFileSystem::SetFolderTime(const std::string& path, FileTime time) {
  Record(Op::kSetTime, path,
         "setfoldertime " + path + " " + std::to_string(time.ns));
  Node& node = Get(path, "set last-modified time of");
  if (!node.folder) Fail(ENOTDIR, "set last-modified time of", path);
  node.time = time;
}

bool MemoryFileSystem::SameContent(const std::string& a, const std::string& b,
                                   const ProgressCallback& progress) {
  Record(Op::kSameContent, b, "same " + a + " " + b);
  const Node& first = Get(a, "compare");
  const Node& second = Get(b, "compare");
  if (first.folder || second.folder) return false;
  const auto size = static_cast<int64_t>(first.content.size());
  if (progress) progress(size, size);
  return first.content == second.content;
}

int64_t MemoryFileSystem::Length(const std::string& path) {
  Record(Op::kLength, path, "length " + path);
  const Node& node = Get(path, "read length of");
  if (auto it = lengths_.find(path); it != lengths_.end()) return it->second;
  return node.folder ? 0 : static_cast<int64_t>(node.content.size());
}

void MemoryFileSystem::Delete(const std::string& path) {
  Record(Op::kDelete, path, "delete " + path);
  if (Get(path, "delete file").folder) Fail(EISDIR, "delete file", path);
  Remove(path);
}

CopyResult MemoryFileSystem::CreateFolder(const std::string& path) {
  Record(Op::kCreateFolder, path, "mkdir " + path);
  if (Find(path)) Fail(EEXIST, "create folder", path);
  const Node* parent = Find(Parent(path));
  if (!IsRoot(Parent(path)) && (!parent || !parent->folder))
    Fail(ENOENT, "create folder", path);
  if (auto left_out = left_out_.find(path); left_out != left_out_.end())
    return {left_out->second};
  Make(path, true);
  return {};
}

void MemoryFileSystem::RemoveFolder(const std::string& path) {
  Record(Op::kRemoveFolder, path, "rmdir " + path);
  const Node& node = Get(path, "remove folder");
  if (!node.folder) Fail(ENOTDIR, "remove folder", path);
  if (!node.children.empty()) Fail(ENOTEMPTY, "remove folder", path);
  Remove(path);
}

std::string MemoryFileSystem::ResolvePath(const std::string& path) {
  return Find(path) || IsRoot(path) ? path : "";
}

std::string MemoryFileSystem::Absolute(const std::string& path) const {
  const bool absolute =
      separator_ == '/'
          ? !path.empty() && path[0] == '/'
          : path.find(':') != std::string::npos || path.rfind("\\\\", 0) == 0;
  return absolute ? path : current_directory_ + separator_ + path;
}

std::string MemoryFileSystem::ReadWholeFile(const std::string& relative) {
  const std::string path = Absolute(relative);
  Record(Op::kReadWholeFile, path, "read " + path);
  const Node& node = Get(path, "open");
  if (node.folder) Fail(EISDIR, "open", path);
  return node.content;
}

std::unique_ptr<TextOutput> MemoryFileSystem::CreateTextFile(
    const std::string& path) {
  Record(Op::kCreateTextFile, path, "create " + path);
  const Node* parent = Find(Parent(path));
  if (!IsRoot(path) && (!parent || !parent->folder))
    Fail(ENOENT, "create", path);
  if (const Node* existing = Find(path); existing && existing->folder)
    Fail(EISDIR, "create", path);
  Make(path, false).content.clear();
  return std::make_unique<Output>(*this, path);
}

std::string MemoryFileSystem::StateFolder() {
  if (state_folder_.empty()) Fail(ENOENT, "find the state folder", "");
  if (!Exists(state_folder_)) AddFolder(state_folder_);
  return state_folder_;
}

std::unique_ptr<TextOutput> MemoryFileSystem::CreateNewTextFile(
    const std::string& path) {
  if (Exists(path)) return nullptr;
  return CreateTextFile(path);
}

LocalDateTimeText MemoryFileSystem::LocalTexts(FileTime time) {
  // UTC, ISO 8601, so expectations do not depend on the test machine.
  int64_t seconds = time.ns / 1000000000 - (time.ns % 1000000000 < 0 ? 1 : 0);
  int64_t days = seconds / 86400 - (seconds % 86400 < 0 ? 1 : 0);
  const int64_t of_day = seconds - days * 86400;
  // Civil date from days since 1970-01-01 (Howard Hinnant's algorithm).
  days += 719468;
  const int64_t era = (days >= 0 ? days : days - 146096) / 146097;
  const int64_t doe = days - era * 146097;
  const int64_t yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
  const int64_t doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
  const int64_t mp = (5 * doy + 2) / 153;
  const int64_t day = doy - (153 * mp + 2) / 5 + 1;
  const int64_t month = mp < 10 ? mp + 3 : mp - 9;
  const int64_t year = yoe + era * 400 + (month <= 2 ? 1 : 0);
  char date[32];
  char time_of_day[32];
  std::snprintf(date, sizeof date, "%04lld-%02lld-%02lld",
                static_cast<long long>(year), static_cast<long long>(month),
                static_cast<long long>(day));
  std::snprintf(time_of_day, sizeof time_of_day, "%02lld:%02lld:%02lld",
                static_cast<long long>(of_day / 3600),
                static_cast<long long>(of_day / 60 % 60),
                static_cast<long long>(of_day % 60));
  return {date, time_of_day, of_day == 0,
          std::string(date) + ' ' + time_of_day};
}

}  // namespace fernwise::testing
