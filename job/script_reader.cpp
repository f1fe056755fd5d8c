#include "job/script_reader.h"

#include <cerrno>

#include "core/ascii_case.h"
#include "core/run_error.h"

namespace fernwise {

namespace {

// Both the number and the operation stay the same for every decoding
// failure, so a user sees one kind of report whatever the byte fault was.
[[noreturn]] void ThrowNotText(const std::string& path,
                               const std::string& what) {
  throw RunError(EILSEQ, "Not valid text: " + what, "read job script", path);
}

[[noreturn]] void ThrowMalformed(const std::string& path,
                                 const std::string& what) {
  throw RunError(EINVAL, what, "read job script", path);
}

// The 1-based line that `offset` lies on; CR LF counts as one line end.
int LineAt(std::string_view text, size_t offset) {
  int line = 1;
  for (size_t i = 0; i < offset && i < text.size(); ++i) {
    if (text[i] == '\n' ||
        (text[i] == '\r' && (i + 1 >= text.size() || text[i + 1] != '\n')))
      ++line;
  }
  return line;
}

std::string OnLine(int line) { return " on line " + std::to_string(line); }

// Length of the well-formed UTF-8 sequence at `at`, or 0. Overlong forms,
// surrogates and code points above U+10FFFF are not well-formed.
size_t Utf8SequenceLength(std::string_view text, size_t at) {
  const auto lead = static_cast<unsigned char>(text[at]);
  if (lead < 0x80) return 1;
  size_t length = 0;
  char32_t code = 0;
  char32_t smallest = 0;
  if ((lead & 0xE0) == 0xC0) {
    length = 2;
    code = lead & 0x1F;
    smallest = 0x80;
  } else if ((lead & 0xF0) == 0xE0) {
    length = 3;
    code = lead & 0x0F;
    smallest = 0x800;
  } else if ((lead & 0xF8) == 0xF0) {
    length = 4;
    code = lead & 0x07;
    smallest = 0x10000;
  } else
    return 0;
  if (text.size() - at < length) return 0;
  for (size_t k = 1; k < length; ++k) {
    const auto next = static_cast<unsigned char>(text[at + k]);
    if ((next & 0xC0) != 0x80) return 0;
    code = (code << 6) | (next & 0x3F);
  }
  if (code < smallest || code > 0x10FFFF || (code >= 0xD800 && code <= 0xDFFF))
    return 0;
  return length;
}

void CheckUtf8(std::string_view text, const std::string& path) {
  for (size_t i = 0; i < text.size();) {
    const size_t length = Utf8SequenceLength(text, i);
    if (length == 0)
      ThrowNotText(path, "invalid UTF-8" + OnLine(LineAt(text, i)));
    i += length;
  }
}

void AppendUtf8(std::string& out, char32_t code) {
  if (code < 0x80) {
    out += static_cast<char>(code);
  } else if (code < 0x800) {
    out += static_cast<char>(0xC0 | (code >> 6));
    out += static_cast<char>(0x80 | (code & 0x3F));
  } else if (code < 0x10000) {
    out += static_cast<char>(0xE0 | (code >> 12));
    out += static_cast<char>(0x80 | ((code >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (code & 0x3F));
  } else {
    out += static_cast<char>(0xF0 | (code >> 18));
    out += static_cast<char>(0x80 | ((code >> 12) & 0x3F));
    out += static_cast<char>(0x80 | ((code >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (code & 0x3F));
  }
}

char16_t Utf16Unit(std::string_view bytes, size_t at, bool big_endian) {
  const auto first = static_cast<unsigned char>(bytes[at]);
  const auto second = static_cast<unsigned char>(bytes[at + 1]);
  return static_cast<char16_t>(big_endian ? (first << 8) | second
                                          : (second << 8) | first);
}

// `bytes` is the script after its byte-order mark.
std::string DecodeUtf16(std::string_view bytes, bool big_endian,
                        const std::string& path) {
  if (bytes.size() % 2 != 0)
    ThrowNotText(path, "odd number of bytes in a UTF-16 script");
  std::string out;
  out.reserve(bytes.size());
  for (size_t i = 0; i < bytes.size(); i += 2) {
    char32_t code = Utf16Unit(bytes, i, big_endian);
    if (code >= 0xD800 && code <= 0xDBFF && i + 3 < bytes.size()) {
      const char16_t low = Utf16Unit(bytes, i + 2, big_endian);
      if (low >= 0xDC00 && low <= 0xDFFF) {
        code = 0x10000 + ((code - 0xD800) << 10) + (low - 0xDC00);
        i += 2;
      }
    }
    if (code >= 0xD800 && code <= 0xDFFF) {
      ThrowNotText(
          path, "unpaired UTF-16 surrogate" + OnLine(LineAt(out, out.size())));
    }
    AppendUtf8(out, code);
  }
  return out;
}

// A UTF-16 script saved without a byte-order mark shows up here as UTF-8
// full of NUL bytes, hence the hint.
void CheckNoNul(std::string_view text, bool had_mark, const std::string& path) {
  const size_t nul = text.find('\0');
  if (nul == std::string_view::npos) return;
  std::string what = "NUL character" + OnLine(LineAt(text, nul));
  if (!had_mark) what += "; a UTF-16 script needs a byte-order mark";
  ThrowNotText(path, what);
}

std::string DecodeScript(std::string_view bytes, const std::string& path) {
  std::string text;
  bool had_mark = true;
  if (bytes.substr(0, 2) == "\xFF\xFE") {
    text = DecodeUtf16(bytes.substr(2), false, path);
  } else if (bytes.substr(0, 2) == "\xFE\xFF") {
    text = DecodeUtf16(bytes.substr(2), true, path);
  } else {
    had_mark = bytes.substr(0, 3) == "\xEF\xBB\xBF";
    if (had_mark) bytes.remove_prefix(3);
    CheckUtf8(bytes, path);
    text.assign(bytes);
  }
  CheckNoNul(text, had_mark, path);
  return text;
}

bool IsBlank(char c) { return c == ' ' || c == '\t'; }

// Splits decoded text into fields. Every comma ends a field, even an empty
// one; a line end ends a field only when something stands since the last
// comma, so blank lines and a comma at the end of a line add nothing.
class FieldSplitter {
 public:
  FieldSplitter(std::string_view text, const std::string& path)
      : text_(text), path_(path) {}

  std::vector<std::string> Split() {
    while (pos_ < text_.size()) {
      SkipBlanks();
      if (AtLineEnd()) {
        ConsumeLineEnd();
        continue;
      }
      fields_.push_back(text_[pos_] == '"' ? ReadQuoted() : ReadUnquoted());
      if (pos_ < text_.size() && text_[pos_] == ',') ++pos_;
    }
    return std::move(fields_);
  }

 private:
  bool AtLineEnd() const {
    return pos_ >= text_.size() || text_[pos_] == '\r' || text_[pos_] == '\n';
  }
  bool AtSeparator() const { return AtLineEnd() || text_[pos_] == ','; }

  void SkipBlanks() {
    while (pos_ < text_.size() && IsBlank(text_[pos_])) ++pos_;
  }

  void ConsumeLineEnd() {
    if (pos_ >= text_.size()) return;
    if (text_[pos_] == '\r' && pos_ + 1 < text_.size() &&
        text_[pos_ + 1] == '\n')
      ++pos_;
    ++pos_;
    ++line_;
  }

  // Trailing blanks are almost always stray typing, never part of a path.
  std::string ReadUnquoted() {
    const size_t start = pos_;
    while (!AtSeparator()) ++pos_;
    size_t end = pos_;
    while (end > start && IsBlank(text_[end - 1])) --end;
    return std::string(text_.substr(start, end - start));
  }

  // A quote must close on its own line: a forgotten quote would otherwise
  // swallow the following entries into one path without a word of warning.
  std::string ReadQuoted() {
    const size_t start = ++pos_;
    while (!AtLineEnd() && text_[pos_] != '"') ++pos_;
    if (AtLineEnd()) {
      ThrowMalformed(path_,
                     "Double quote opened" + OnLine(line_) + " is not closed");
    }
    std::string field(text_.substr(start, pos_ - start));
    ++pos_;
    SkipBlanks();
    if (!AtSeparator())
      ThrowMalformed(path_,
                     "Text after the closing double quote" + OnLine(line_));
    return field;
  }

  std::string_view text_;
  const std::string& path_;
  size_t pos_ = 0;
  int line_ = 1;
  std::vector<std::string> fields_;
};

}  // namespace

FieldReader::FieldReader(std::string_view bytes, const std::string& path)
    : path_(path) {
  const std::string text = DecodeScript(bytes, path);
  fields_ = FieldSplitter(text, path).Split();
}

std::string FieldReader::Next() {
  if (AtEnd())
    throw RunError(ENODATA, "No field left", "read field from", path_);
  return std::move(fields_[next_++]);
}

std::string NormaliseKeyword(std::string_view field) {
  const std::string word = AsciiUpper(field);
  const size_t first = word.find_first_not_of(' ');
  if (first == std::string::npos) return "";
  const size_t last = word.find_last_not_of(' ');
  return word.substr(first, last - first + 1);
}

}  // namespace fernwise
