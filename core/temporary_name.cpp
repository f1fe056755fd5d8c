#include "core/temporary_name.h"

#include <chrono>
#include <cstdint>
#include <random>

namespace fernwise {

namespace {

constexpr std::string_view kMarkStart = "fernwise-";
constexpr size_t kRandomSize = 16;
constexpr size_t kCheckSize = 8;
static_assert(kMarkStart.size() + kRandomSize + kCheckSize ==
              kTemporaryMarkSize);
// Small letters only: a drive that ignores letter case still tells every
// two of these names apart.
constexpr std::string_view kAlphabet = "abcdefghijklmnopqrstuvwxyz0123456789";

bool InAlphabet(char c) {
  return (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9');
}

// The check code of `text`: 64-bit FNV-1a, written in kCheckSize letters
// and digits. The same on every platform and in every run, as a name left
// by another run must be known by it.
std::string CheckCode(std::string_view text) {
  uint64_t hash = 0xcbf29ce484222325u;
  for (const unsigned char byte : text) {
    hash ^= byte;
    hash *= 0x100000001b3u;
  }
  std::string code(kCheckSize, ' ');
  for (char& c : code) {
    c = kAlphabet[hash % kAlphabet.size()];
    hash /= kAlphabet.size();
  }
  return code;
}

std::string RandomPart() {
  // Seeded from the system's random source and the clock, so that two
  // processes (or a mingw build whose random_device is weak) never walk the
  // same names.
  static std::mt19937_64 generator{[] {
    std::random_device device;
    std::seed_seq seed{
        device(), device(),
        static_cast<unsigned>(
            std::chrono::steady_clock::now().time_since_epoch().count()),
        static_cast<unsigned>(
            std::chrono::system_clock::now().time_since_epoch().count())};
    return std::mt19937_64(seed);
  }()};
  std::string part(kRandomSize, ' ');
  for (char& c : part) c = kAlphabet[generator() % kAlphabet.size()];
  return part;
}

}  // namespace

std::string MakeTemporaryName(std::string_view head, std::string_view tail) {
  // One allocation: a copy makes a name for every file.
  std::string name;
  name.reserve(head.size() + kTemporaryMarkSize + tail.size());
  name += head;
  name += kMarkStart;
  name += RandomPart();
  name += CheckCode(name);
  name += tail;
  return name;
}

bool IsTemporaryName(std::string_view name, std::string_view tail) {
  if (!name.ends_with(tail) || name.size() <= tail.size() + kTemporaryMarkSize)
    return false;
  const std::string_view marked = name.substr(0, name.size() - tail.size());
  const size_t mark_at = marked.size() - kTemporaryMarkSize;
  if (marked.substr(mark_at, kMarkStart.size()) != kMarkStart) return false;
  const std::string_view code = marked.substr(marked.size() - kCheckSize);
  for (const char c : marked.substr(mark_at + kMarkStart.size()))
    if (!InAlphabet(c)) return false;
  return CheckCode(marked.substr(0, marked.size() - kCheckSize)) == code;
}

std::string_view Utf8Prefix(std::string_view text, size_t bytes) {
  if (text.size() <= bytes) return text;
  size_t end = bytes;
  // A character begins at a byte that is not 10xxxxxx.
  while (end > 0 && (static_cast<unsigned char>(text[end]) & 0xC0) == 0x80)
    --end;
  return text.substr(0, end);
}

}  // namespace fernwise
