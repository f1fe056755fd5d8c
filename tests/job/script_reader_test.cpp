#include "job/script_reader.h"

#include <cerrno>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "core/run_error.h"

namespace fernwise {
namespace {

using Fields = std::vector<std::string>;

const std::string kPath = "/home/a/Setup.ini";

Fields ReadAll(std::string_view bytes) {
  FieldReader reader(bytes, kPath);
  Fields fields;
  while (!reader.AtEnd()) fields.push_back(reader.Next());
  return fields;
}

// UTF-16 bytes of `text` (ASCII or \u escapes), with a byte-order mark.
std::string Utf16(std::u16string_view text, bool big_endian) {
  std::string bytes = big_endian ? "\xFE\xFF" : "\xFF\xFE";
  for (char16_t unit : text) {
    const char high = static_cast<char>(unit >> 8);
    const char low = static_cast<char>(unit & 0xFF);
    bytes += big_endian ? std::string{high, low} : std::string{low, high};
  }
  return bytes;
}

struct SplitCase {
  const char* name;
  std::string bytes;
  Fields expected;
};

class SplitTest : public testing::TestWithParam<SplitCase> {};

TEST_P(SplitTest, YieldsFields) {
  EXPECT_EQ(ReadAll(GetParam().bytes), GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(
    Rules, SplitTest,
    testing::Values(
        SplitCase{"Empty", "", {}},
        SplitCase{"OneEntryOnALine",
                  "BACKUP, C:\\a, D:\\b\n",
                  {"BACKUP", "C:\\a", "D:\\b"}},
        SplitCase{"OneFieldToALine",
                  "BACKUP\nC:\\a\nD:\\b\n",
                  {"BACKUP", "C:\\a", "D:\\b"}},
        SplitCase{"NoFinalLineEnd", "MODE,SIM", {"MODE", "SIM"}},
        SplitCase{"LeadingAndTrailingBlanks",
                  " \t MODE \t,  SIM  \n",
                  {"MODE", "SIM"}},
        SplitCase{"InnerSpacesKept", "MODE SIMPLEX\n", {"MODE SIMPLEX"}},
        SplitCase{"InnerTabKept", "a\tb\n", {"a\tb"}},
        SplitCase{
            "QuotedKeepsCommasAndBlanks", "\" C:\\a, b\t\"\n", {" C:\\a, b\t"}},
        SplitCase{"BlanksAfterClosingQuote", "\"x\" \t, y\n", {"x", "y"}},
        SplitCase{"QuotedEmpty", "a, \"\"\n", {"a", ""}},
        SplitCase{"QuoteInsideUnquotedIsText",
                  "C:\\My \"docs\"\n",
                  {"C:\\My \"docs\""}},
        SplitCase{"TwoCommasGiveEmptyField", "a,,b\n", {"a", "", "b"}},
        SplitCase{"BlankFieldIsEmpty", "a, \t ,b\n", {"a", "", "b"}},
        SplitCase{"LoneCommaIsOneEmptyField", ",\n", {""}},
        SplitCase{"CommaBeforeLineEndAddsNothing",
                  "MODE, SIMPLEX,\nx,\r\ny,",
                  {"MODE", "SIMPLEX", "x", "y"}},
        SplitCase{"BlankLinesAddNothing", "\n  \t\na\n\n\r\n", {"a"}},
        SplitCase{"CrLf", "a,b\r\nc\r\n", {"a", "b", "c"}},
        SplitCase{"CrOnly", "a,b\rc\r", {"a", "b", "c"}},
        SplitCase{"MixedLineEnds", "a\r\nb\rc\nd", {"a", "b", "c", "d"}},
        SplitCase{"Utf8WithoutMark",
                  "\xC3\xA9t\xC3\xA9,\xF0\x9F\x98\x80\n",
                  {"\xC3\xA9t\xC3\xA9", "\xF0\x9F\x98\x80"}},
        SplitCase{"Utf8MarkDropped", "\xEF\xBB\xBFMODE,SIM\n", {"MODE", "SIM"}},
        SplitCase{"Utf8MarkAlone", "\xEF\xBB\xBF", {}},
        SplitCase{"Utf16LittleEndian",
                  Utf16(u"MODE,\u00E9\r\n\"a,b\"\r\n", false),
                  {"MODE", "\xC3\xA9", "a,b"}},
        SplitCase{"Utf16BigEndian",
                  Utf16(u"x\ny\U0001F600\n", true),
                  {"x", "y\xF0\x9F\x98\x80"}},
        SplitCase{"Utf16MarkAlone", Utf16(u"", true), {}}),
    [](const auto& info) { return std::string(info.param.name); });

struct ErrorCase {
  const char* name;
  std::string bytes;
  int number;
  std::string text;
};

class ErrorTest : public testing::TestWithParam<ErrorCase> {};

TEST_P(ErrorTest, NamesFileAndFault) {
  try {
    FieldReader reader(GetParam().bytes, kPath);
    FAIL() << "no error thrown";
  } catch (const RunError& error) {
    EXPECT_EQ(error.number(), GetParam().number);
    EXPECT_EQ(error.text(), GetParam().text);
    EXPECT_EQ(error.path(), kPath);
    EXPECT_EQ(error.operation(), "read job script");
  }
}

INSTANTIATE_TEST_SUITE_P(
    Faults, ErrorTest,
    testing::Values(
        ErrorCase{"BadUtf8Byte", "ok\r\nbad \xFF\n", EILSEQ,
                  "Not valid text: invalid UTF-8 on line 2"},
        ErrorCase{"TruncatedUtf8", "a\rb\r\xC3", EILSEQ,
                  "Not valid text: invalid UTF-8 on line 3"},
        ErrorCase{"OverlongUtf8", "\xC0\xAF", EILSEQ,
                  "Not valid text: invalid UTF-8 on line 1"},
        ErrorCase{"Utf8Surrogate", "\xED\xA0\x80", EILSEQ,
                  "Not valid text: invalid UTF-8 on line 1"},
        ErrorCase{"BadUtf8AfterMark", "\xEF\xBB\xBF\n\x80", EILSEQ,
                  "Not valid text: invalid UTF-8 on line 2"},
        ErrorCase{"NulByte", std::string("a\nb\0c", 5), EILSEQ,
                  "Not valid text: NUL character on line 2; a UTF-16 script "
                  "needs a byte-order mark"},
        ErrorCase{"Utf16WithoutMark", std::string("M\0O\0", 4), EILSEQ,
                  "Not valid text: NUL character on line 1; a UTF-16 script "
                  "needs a byte-order mark"},
        ErrorCase{"Utf16Nul", Utf16(std::u16string(u"a\n\0", 3), false), EILSEQ,
                  "Not valid text: NUL character on line 2"},
        ErrorCase{"Utf16OddLength", Utf16(u"ab", true) + "x", EILSEQ,
                  "Not valid text: odd number of bytes in a UTF-16 script"},
        ErrorCase{"Utf16LoneHigh", Utf16(u"a\r\n\xD800", false), EILSEQ,
                  "Not valid text: unpaired UTF-16 surrogate on line 2"},
        ErrorCase{"Utf16LoneLow", Utf16(u"\xDC00x", true), EILSEQ,
                  "Not valid text: unpaired UTF-16 surrogate on line 1"},
        ErrorCase{"Utf16HighThenText", Utf16(u"\xD800x", true), EILSEQ,
                  "Not valid text: unpaired UTF-16 surrogate on line 1"},
        ErrorCase{"UnclosedQuote", "a\n\"C:\\x, y\nz\n", EINVAL,
                  "Double quote opened on line 2 is not closed"},
        ErrorCase{"UnclosedQuoteAtEnd", "a\r\n\"C:\\x", EINVAL,
                  "Double quote opened on line 2 is not closed"},
        ErrorCase{"TextAfterQuote", "a\r\r\"C:\\x\"y,z\n", EINVAL,
                  "Text after the closing double quote on line 3"}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(FieldReader, AtEndAfterLastFieldWithAndWithoutLineEnd) {
  for (const char* script : {"BACKUP,a,b", "BACKUP,a,b\r\n"}) {
    FieldReader reader(script, kPath);
    for (const char* expected : {"BACKUP", "a", "b"}) {
      ASSERT_FALSE(reader.AtEnd()) << script;
      EXPECT_EQ(reader.Next(), expected);
    }
    EXPECT_TRUE(reader.AtEnd()) << script;
  }
}

TEST(FieldReader, NextPastEndThrowsNamingFile) {
  FieldReader reader("BACKUP, a\n", kPath);
  reader.Next();
  reader.Next();
  try {
    reader.Next();
    FAIL() << "no error thrown";
  } catch (const RunError& error) {
    EXPECT_EQ(error.Report(),
              "Error " + std::to_string(ENODATA) +
                  ": No field left (read field from /home/a/Setup.ini)");
  }
}

TEST(NormaliseKeyword, UpperCasesAndTrimsSpacesOnly) {
  const std::vector<std::pair<std::string, std::string>> cases = {
      {"  backup ", "BACKUP"},
      {"Backup", "BACKUP"},
      {"MODE SIMPLEX", "MODE SIMPLEX"},
      {"dup-pre", "DUP-PRE"},
      {"   ", ""},
      {"\tmode", "\tMODE"},
      {"\xC3\xA9t\xC3\xA9", "\xC3\xA9T\xC3\xA9"}};
  for (const auto& [field, expected] : cases)
    EXPECT_EQ(NormaliseKeyword(field), expected) << field;
}

}  // namespace
}  // namespace fernwise
