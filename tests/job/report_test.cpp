#include "job/report.h"

#include <cerrno>
#include <cmath>
#include <limits>

#include <gtest/gtest.h>

#include "core/run_error.h"

namespace fernwise {
namespace {

struct ElapsedCase {
  double start;
  double now;
  int32_t seconds;
};

class ElapsedSecondsTest : public ::testing::TestWithParam<ElapsedCase> {};

TEST_P(ElapsedSecondsTest, RoundsHalfToEvenAndCountsAPassOfMidnight) {
  const ElapsedCase& c = GetParam();
  EXPECT_EQ(ElapsedSeconds(c.start, c.now), c.seconds)
      << c.start << " -> " << c.now;
}

INSTANTIATE_TEST_SUITE_P(
    Cases, ElapsedSecondsTest,
    ::testing::Values(ElapsedCase{100, 100.4, 0}, ElapsedCase{100, 100.5, 0},
                      ElapsedCase{100, 101.5, 2}, ElapsedCase{100, 102.5, 2},
                      ElapsedCase{0, 42.4, 42}, ElapsedCase{0, 59.5, 60},
                      // Ten seconds before midnight to fifteen after it.
                      ElapsedCase{86390, 15, 25},
                      // A clock set back counts like a pass of midnight.
                      ElapsedCase{500, 400, 86300},
                      // Past the 16-bit range: no overflow, the report stays.
                      ElapsedCase{0, 32767.5, 32768},
                      ElapsedCase{1000, 37000, 36000}));

TEST(ElapsedSecondsTest, ValueOutsideThirtyTwoBitsIsTheOverflowFailure) {
  EXPECT_THROW(ElapsedSeconds(0, 3e9), RunError);
  try {
    ElapsedSeconds(0, std::nan(""));
    FAIL() << "no failure";
  } catch (const RunError& error) {
    EXPECT_EQ(error.number(), EOVERFLOW);
  }
}

std::string FirstLine(const std::string& report) {
  return report.substr(0, report.find("\r\n"));
}

struct TimeTextCase {
  int32_t seconds;
  const char* text;
};

class TimeTextTest : public ::testing::TestWithParam<TimeTextCase> {};

TEST_P(TimeTextTest, PadsBelowTenAndNeverCarriesMinutesIntoHours) {
  EXPECT_EQ(FirstLine(CompletionReport(GetParam().seconds, {})),
            GetParam().text);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, TimeTextTest,
    ::testing::Values(TimeTextCase{0, "Done in 00:00!"},
                      TimeTextCase{9, "Done in 00:09!"},
                      TimeTextCase{25, "Done in 00:25!"},
                      TimeTextCase{60, "Done in 01:00!"},
                      TimeTextCase{599, "Done in 09:59!"},
                      TimeTextCase{600, "Done in 10:00!"},
                      TimeTextCase{3725, "Done in 62:05!"},
                      TimeTextCase{32767, "Done in 546:07!"},
                      TimeTextCase{36000, "Done in 600:00!"}));

TEST(CompletionReportTest, WorkedExampleGivesTheSevenLines) {
  RunCounters counters;
  counters.FilesScanned = 120;
  counters.FoldersScanned = 10;
  counters.FilesCreated = 3;
  counters.FilesRefreshed = 3;  // two copied again, one mask set
  counters.FoldersCreated = 1;
  EXPECT_EQ(CompletionReport(ElapsedSeconds(0, 42.4), counters),
            "Done in 00:42!\r\n"
            " 114 files scanned, but intact, \r\n"
            " 9 folders scanned, but intact,\r\n"
            " 1 folders newly created,\r\n"
            " 0 folders refreshed,\r\n"
            " 3 files newly created and\r\n"
            " 3 files refreshed.");
}

TEST(CompletionReportTest, EmptyRunShowsZerosWithTheirSpace) {
  EXPECT_EQ(CompletionReport(0, {}),
            "Done in 00:00!\r\n"
            " 0 files scanned, but intact, \r\n"
            " 0 folders scanned, but intact,\r\n"
            " 0 folders newly created,\r\n"
            " 0 folders refreshed,\r\n"
            " 0 files newly created and\r\n"
            " 0 files refreshed.");
}

TEST(CompletionReportTest, NegativeIntactCountsCarryTheirMinusSign) {
  RunCounters counters;
  counters.FilesScanned = 1;
  counters.FilesCreated = 1;
  counters.FilesRefreshed = 2;  // copies that carried neither time nor mask
  counters.FoldersScanned = 0;
  counters.FoldersCreated = 1;  // counted in a call whose folder is the top
  const std::string report = CompletionReport(0, counters);
  EXPECT_NE(report.find("\r\n-2 files scanned, but intact, \r\n"
                        "-1 folders scanned, but intact,\r\n"),
            std::string::npos)
      << report;
}

TEST(CompletionReportTest, OverflowingSubtractionIsTheOverflowFailure) {
  RunCounters files;
  files.FilesScanned = std::numeric_limits<int32_t>::min() + 1;
  files.FilesCreated = 1;
  files.FilesRefreshed = 1;
  EXPECT_THROW(CompletionReport(0, files), RunError);
  RunCounters folders;
  folders.FoldersScanned = std::numeric_limits<int32_t>::max();
  folders.FoldersCreated = -1;
  EXPECT_THROW(CompletionReport(0, folders), RunError);
}

}  // namespace
}  // namespace fernwise
