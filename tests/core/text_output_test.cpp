#include "core/text_output.h"

#include <cerrno>
#include <string>

#include <gtest/gtest.h>

namespace fernwise {
namespace {

// Keeps what it was given, and fails the write or close it is told to.
class ScriptedSink : public ByteSink {
 public:
  ScriptedSink(std::string& file, int failing_write, bool failing_close)
      : file_(file),
        failing_write_(failing_write),
        failing_close_(failing_close) {}
  void Write(const char* data, size_t size) override {
    if (++writes_ == failing_write_)
      throw RunError(ENOSPC, "No space left on device", "write", "/l.txt");
    file_.append(data, size);
  }
  void Sync() override {}
  void Close() override {
    if (failing_close_) throw RunError(EIO, "I/O error", "write", "/l.txt");
  }

 private:
  std::string& file_;
  int failing_write_;
  bool failing_close_;
  int writes_ = 0;
};

const std::string kFull(BufferedTextOutput::kFlushBytes, 'x');

TEST(BufferedTextOutputTest, HandsTextOverWhenFullAtCloseAndOnUnwind) {
  std::string file;
  {
    BufferedTextOutput out(std::make_unique<ScriptedSink>(file, 0, false),
                           "/l.txt");
    out.Write("ab");
    EXPECT_EQ(file, "");
    out.Write(kFull);
    EXPECT_EQ(file, "ab" + kFull);
    out.Write("cd");
    out.Close();
    EXPECT_EQ(file, "ab" + kFull + "cd");
    out.Close();  // a second Close does nothing
    EXPECT_THROW(out.Write("late"), RunError);
  }
  file.clear();
  {
    BufferedTextOutput unclosed(std::make_unique<ScriptedSink>(file, 0, false),
                                "/l.txt");
    unclosed.Write("kept");
  }
  EXPECT_EQ(file, "kept");
}

// A buffer the file refused took earlier text with it: whether it was
// refused while full or at Close, nothing written afterwards may reach the
// file as if the text before it were whole.
struct LostBufferCase {
  const char* name;
  int failing_write;
  bool failing_close;
};

class LostBufferTest : public ::testing::TestWithParam<LostBufferCase> {};

TEST_P(LostBufferTest, FailsEveryLaterWriteAndClose) {
  std::string file;
  BufferedTextOutput out(
      std::make_unique<ScriptedSink>(file, GetParam().failing_write,
                                     GetParam().failing_close),
      "/l.txt");
  try {
    out.Write(kFull);
    out.Close();
    FAIL() << "the refusal went unreported";
  } catch (const RunError& error) {
    EXPECT_EQ(error.path(), "/l.txt");
  }
  EXPECT_THROW(out.Write("more"), RunError);
  EXPECT_THROW(out.Close(), RunError);
  EXPECT_EQ(file.find("more"), std::string::npos);
}

INSTANTIATE_TEST_SUITE_P(
    Refusals, LostBufferTest,
    ::testing::Values(LostBufferCase{"FullBuffer", 1, false},
                      LostBufferCase{"CloseOfTheFile", 0, true}),
    [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace fernwise
