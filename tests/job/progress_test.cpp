#include "job/progress.h"

#include <cstdint>
#include <string>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "tests/support/recording_window.h"

namespace fernwise {
namespace {

using ::testing::ElementsAreArray;

struct Slice {
  double at;  // seconds
  int64_t done;
  int64_t total;
};

struct PacingCase {
  const char* name;
  std::vector<Slice> slices;
  std::vector<std::string> events;
};

class ProgressPacerTest : public ::testing::TestWithParam<PacingCase> {};

// The window answers between every two slices; progress shows only once a
// step has lasted a second, changes only when its permille does, and is
// cleared when the step ends.
TEST_P(ProgressPacerTest, HandlesEventsAlwaysAndShowsProgressAfterASecond) {
  testing::RecordingWindow window;
  double now = 0;
  ProgressPacer pacer(window, [&] { return now; });
  for (const Slice& slice : GetParam().slices) {
    now = slice.at;
    pacer(slice.done, slice.total);
  }
  EXPECT_THAT(window.events, ElementsAreArray(GetParam().events));
}

INSTANTIATE_TEST_SUITE_P(
    Steps, ProgressPacerTest,
    ::testing::Values(
        PacingCase{"Short",
                   {{10, 0, 4}, {10.5, 2, 4}, {10.9, 4, 4}},
                   {"events", "events", "events"}},
        PacingCase{"Long",
                   {{0, 0, 3000},
                    {0.5, 1000, 3000},
                    {1.0, 1500, 3000},
                    {1.2, 1500, 3000},
                    {1.5, 2999, 3000},
                    {2.0, 3000, 3000}},
                   {"events", "events", "progress 500", "events", "events",
                    "progress 999", "events", "progress -1", "events"}},
        // A second step starts its own second, and a step of nothing ends at
        // once.
        PacingCase{
            "TwoSteps",
            {{0, 0, 10}, {3, 5, 10}, {3, 10, 10}, {3.5, 1, 10}, {3.6, 0, 0}},
            {"events", "progress 500", "events", "progress -1", "events",
             "events", "events"}}),
    [](const auto& info) { return std::string(info.param.name); });

// A run that fails within a long step leaves no progress on show behind its
// error box.
TEST(ProgressPacerEndTest, AStepCutShortClearsWhatItShowed) {
  testing::RecordingWindow window;
  double now = 0;
  {
    ProgressPacer pacer(window, [&] { return now; });
    pacer(0, 10);
    now = 2;
    pacer(5, 10);
  }
  EXPECT_THAT(window.events, ElementsAreArray({"events", "progress 500",
                                               "events", "progress -1"}));
}

}  // namespace
}  // namespace fernwise
