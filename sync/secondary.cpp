#include "sync/secondary.h"

#include <cerrno>
#include <cstdint>
#include <limits>
#include <string_view>
#include <vector>

#include "core/change_notes.h"
#include "core/file_system.h"
#include "core/path_probe.h"
#include "core/run_error.h"
#include "core/window.h"

namespace fernwise {

namespace {

constexpr int16_t kIndexMax = std::numeric_limits<int16_t>::max();
/// The highest sequence number probed; 32767 itself stays unused because
/// the counter cannot go past it to end the search.
constexpr int16_t kLastSequenceNumber = kIndexMax - 1;

/// Moves the 16-bit counter to the next position, or throws the overflow
/// failure when it stands at its largest value.
void Advance(int16_t& index) {
  if (index == kIndexMax) ThrowOverflow("NameIndex");
  ++index;
}

/// `path` with every "\", "/" and ":" replaced by ".", one for one.
/// A path of 32767 characters or more does not fit the counter: longer ones
/// fail when their length is taken, 32767 itself when the counter is
/// advanced past the last character.
std::string FlattenedName(int16_t& index, const std::string& path) {
  if (path.size() > size_t{kIndexMax})
    ThrowOverflow("length of a source-side path");
  const auto length = static_cast<int16_t>(path.size());
  std::string flattened = path;
  for (index = 1; index <= length; Advance(index)) {
    char& c = flattened[index - 1];
    if (c == '\\' || c == '/' || c == ':') c = '.';
  }
  return flattened;
}

// The longest sequence number a copy's name can end in. A flattened name is
// shortened as soon as it would pass the limit with this number, whatever
// number it gets now, so that every version of one path keeps one name.
constexpr char kLongestNumber[] = ".32766";

/// 64-bit FNV-1a, written out in 16 hexadecimal digits: the same on every
/// platform and in every run, which a version's name needs.
std::string HashText(const std::string& text) {
  uint64_t hash = 0xcbf29ce484222325u;
  for (const unsigned char byte : text) {
    hash ^= byte;
    hash *= 0x100000001b3u;
  }
  static constexpr char kDigits[] = "0123456789abcdef";
  std::string digits(16, '0');
  for (char& digit : digits) {
    digit = kDigits[hash >> 60];
    hash <<= 4;
  }
  return digits;
}

/// `flattened`, or where it would pass `limit` (the name limit of the
/// secondary folder's drive) with the longest number, "~", a hash of the whole
/// of it, "~" and as much of its end as fits, cut between characters: the
/// file's own name and the folders nearest it stay readable, the hash keeps two
/// paths with the same end apart, and the same path always gets the same name.
std::string FittedName(const FileSystem& fs, size_t limit,
                       const std::string& flattened) {
  const size_t number = fs.NameSize(kLongestNumber);
  if (fs.NameSize(flattened) + number <= limit) return flattened;
  const std::string mark = "~" + HashText(flattened) + "~";
  const size_t fixed = fs.NameSize(mark) + number;
  const size_t budget = limit > fixed ? limit - fixed : 0;
  const std::string_view text(flattened);
  size_t start = text.size();
  size_t used = 0;
  while (start > 0) {
    // A UTF-8 character begins at a byte that is not 10xxxxxx.
    size_t begin = start - 1;
    while (begin > 0 &&
           (static_cast<unsigned char>(text[begin]) & 0xC0) == 0x80)
      --begin;
    const size_t size = fs.NameSize(text.substr(begin, start - begin));
    if (used + size > budget) break;
    used += size;
    start = begin;
  }
  return mark + flattened.substr(start);
}

}  // namespace

void RemoveSecondaryLeftovers(RunContext& run, EntryRun& entry) {
  const FileSystem& fs = run.fs;
  const std::string& folder = run.state.SecondaryFolder;
  std::vector<std::string> leftovers;
  // Names only: the listing is finished before anything is looked at.
  for (std::string name =
           entry.StartListing(Role::kSecondary, ChildPath(fs, folder, ""));
       !name.empty(); name = entry.NextName())
    if (fs.IsLeftoverTemporary(name)) leftovers.push_back(std::move(name));
  std::string status;
  for (const std::string& name : leftovers) {
    const std::string path = ChildPath(fs, folder, name);
    if ((entry.ReadAttributes(Role::kSecondary, path) & kAttrFolder) != 0)
      continue;
    ShowJoined(run.window, status, "Erasing ", path, "...");
    entry.Delete(Role::kSecondary, path);
  }
}

void RecordLeftOut(RunContext& run, const std::string& path,
                   const CopyResult& result) {
  run.state.LeftOut.push_back(path + " (" + result.left_out + ")");
  NoteChange(run, Change::kLeftOut, path, result.left_out);
}

bool SaveToSecondaryFolder(RunContext& run, EntryRun& entry,
                           const std::string& source_side_path,
                           const std::string& displaced_file) {
  int16_t& index = run.state.NameIndex;
  const std::string& folder = run.state.SecondaryFolder;
  const std::string flattened = FlattenedName(index, source_side_path);
  const size_t limit = entry.Traits(Role::kSecondary, folder).name_limit;
  const std::string stem =
      ChildPath(run.fs, folder, FittedName(run.fs, limit, flattened));
  std::string copy_name = stem + '.';
  const size_t number_at = copy_name.size();
  // Probed from 1 on every call, so a gap below taken numbers is filled
  // first; an entry of any kind, a folder too, makes its number taken. A
  // name taken between the probe and the copy (another run, another
  // program) is never replaced: the search goes on with the next number.
  // A leftover temporary file never holds a number: its name ends in the
  // program's mark.
  for (index = 1; index <= kLastSequenceNumber; ++index) {
    copy_name.resize(number_at);
    copy_name += std::to_string(index);
    if (PathExists(entry, Role::kSecondary, copy_name)) continue;
    const CopyResult result = entry.CopyToNewName(displaced_file, copy_name);
    if (result.name_taken) continue;
    if (result.made())
      NoteChange(run, Change::kVersionKept, displaced_file, copy_name);
    else
      RecordLeftOut(run, displaced_file, result);
    return result.made();
  }
  // Never overwrite a stored version and never go past the counter's range:
  // the run ends before the displaced file is touched.
  throw RunError(EEXIST, "All numbered copies 1 to 32766 are taken",
                 "store secondary copy of", stem);
}

}  // namespace fernwise
