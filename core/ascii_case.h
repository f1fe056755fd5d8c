// Letter case as every file system the program meets folds it where it
// folds it at all: the 26 ASCII letters, and nothing else. A drive that
// ignores case may fold more (FAT's code page, NTFS's upcase table), but
// what folds these letters alike is what the program's checks rely on.
#pragma once

#include <string>
#include <string_view>

namespace fernwise {

constexpr char AsciiUpper(char c) {
  return c >= 'a' && c <= 'z' ? static_cast<char>(c - 'a' + 'A') : c;
}

constexpr char AsciiLower(char c) {
  return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
}

/// `text` with its ASCII letters in capitals; every other byte as it was.
inline std::string AsciiUpper(std::string_view text) {
  std::string upper(text);
  for (char& c : upper) c = AsciiUpper(c);
  return upper;
}

}  // namespace fernwise
