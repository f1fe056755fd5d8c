// Reads a job script as a flat sequence of fields.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

namespace fernwise {

class FieldReader {
 public:
  /// Decodes `bytes` (UTF-8 with or without a byte-order mark, UTF-16 LE or
  /// BE with one; CR LF, LF or CR line ends) and splits it into fields.
  /// Throws RunError naming `path` when the bytes are not valid text or a
  /// field is malformed; the whole script is split here, so a malformed one
  /// fails before any of its entries has run.
  FieldReader(std::string_view bytes, const std::string& path);

  /// True when no field is left.
  bool AtEnd() const { return next_ == fields_.size(); }
  /// The next field; reading past the last one throws RunError.
  std::string Next();

 private:
  std::vector<std::string> fields_;
  size_t next_ = 0;
  std::string path_;
};

/// The form in which keywords and mode words are compared: ASCII letters
/// upper-cased, then spaces removed from both ends (other bytes untouched).
std::string NormaliseKeyword(std::string_view field);

}  // namespace fernwise
