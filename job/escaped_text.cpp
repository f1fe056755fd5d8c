#include "job/escaped_text.h"

#include <cstddef>

namespace fernwise {

namespace {

void AppendByte(std::string& out, unsigned char byte) {
  static constexpr char kDigits[] = "0123456789ABCDEF";
  out += "\\x";
  out += kDigits[byte >> 4];
  out += kDigits[byte & 0xF];
}

// The length of the valid UTF-8 sequence of two to four bytes at the start
// of `text`; 0 where none starts there. Overlong forms, surrogates (the
// WTF-8 of an unpaired UTF-16 unit on Windows) and code points past
// U+10FFFF are not valid.
size_t SequenceLength(std::string_view text) {
  const auto byte = [&](size_t i) {
    return static_cast<unsigned char>(text[i]);
  };
  const unsigned char lead = byte(0);
  size_t length = 0;
  unsigned char low = 0x80;
  unsigned char high = 0xBF;
  if (lead >= 0xC2 && lead <= 0xDF) {
    length = 2;
  } else if (lead >= 0xE0 && lead <= 0xEF) {
    length = 3;
    if (lead == 0xE0) low = 0xA0;
    if (lead == 0xED) high = 0x9F;
  } else if (lead >= 0xF0 && lead <= 0xF4) {
    length = 4;
    if (lead == 0xF0) low = 0x90;
    if (lead == 0xF4) high = 0x8F;
  }
  if (length == 0 || text.size() < length) return 0;
  if (byte(1) < low || byte(1) > high) return 0;
  for (size_t i = 2; i < length; ++i)
    if ((byte(i) & 0xC0) != 0x80) return 0;
  return length;
}

void AppendAscii(std::string& out, char c, char separator) {
  switch (c) {
    case '\n':
      out += "\\n";
      return;
    case '\r':
      out += "\\r";
      return;
    case '\t':
      out += "\\t";
      return;
    case '\\':
      out += separator == '\\' ? "\\" : "\\\\";
      return;
  }
  const auto byte = static_cast<unsigned char>(c);
  if (byte < 0x20 || byte == 0x7F) {
    AppendByte(out, byte);
  } else {
    out += c;
  }
}

// Whether `c` is written as it is: printable ASCII, the backslash only
// where it is the separator.
bool Plain(char c, char separator) {
  const auto byte = static_cast<unsigned char>(c);
  return byte >= 0x20 && byte < 0x7F && (c != '\\' || separator == '\\');
}

}  // namespace

void AppendEscaped(std::string& out, std::string_view text, char separator) {
  for (size_t i = 0; i < text.size();) {
    // A path is mostly plain: its runs go over whole, not byte by byte.
    size_t plain = i;
    while (plain < text.size() && Plain(text[plain], separator)) ++plain;
    out.append(text, i, plain - i);
    if ((i = plain) == text.size()) return;
    const auto lead = static_cast<unsigned char>(text[i]);
    if (lead < 0x80) {
      AppendAscii(out, text[i], separator);
      ++i;
      continue;
    }
    const size_t length = SequenceLength(text.substr(i));
    // C2 80 to C2 9F are the C1 control characters.
    const bool control = length == 2 && lead == 0xC2 &&
                         static_cast<unsigned char>(text[i + 1]) < 0xA0;
    if (length > 0 && !control) {
      out.append(text.substr(i, length));
      i += length;
      continue;
    }
    for (const size_t end = i + (length > 0 ? length : 1); i < end; ++i)
      AppendByte(out, static_cast<unsigned char>(text[i]));
  }
}

std::string Escaped(std::string_view text, char separator) {
  std::string out;
  out.reserve(text.size());
  AppendEscaped(out, text, separator);
  return out;
}

}  // namespace fernwise
