#include "core/drive_traits.h"

#include <gtest/gtest.h>

namespace fernwise {
namespace {

constexpr int64_t kSecond = 1'000'000'000;
constexpr uint32_t kNotContentIndexed = 8192;
constexpr uint32_t kFatBits =
    kAttrReadOnly | kAttrHidden | kAttrSystem | kAttrFolder | kAttrArchive;

// A probe's time comes back truncated to the step (or rounded up to it);
// the step is what the larger of its two distances shows.
TEST(DriveTraitsTest, StepShownByAProbeTime) {
  struct Case {
    int64_t written, read, step;
  };
  constexpr int64_t kOdd = 1'000'000'001'000'000'000;
  const Case cases[] = {
      {kOdd + 999'999'999, kOdd + 999'999'999, 1},                // ext4
      {kOdd + 999'999'999, kOdd + 999'999'900, 100},              // NTFS
      {kOdd + 999'999'999, kOdd + 990'000'000, 10'000'000},       // exFAT
      {kOdd + 999'999'999, kOdd, 1'000'000'000},                  // exfat-fuse
      {kOdd + 999'999'999, kOdd - 1'000'000'000, 2'000'000'000},  // FAT
      {kOdd + 1'000'000'001, kOdd + 3'000'000'000, 2'000'000'000},  // up
  };
  for (const Case& c : cases)
    EXPECT_EQ(StepShown(c.written, c.read), c.step) << c.step;
}

// A probe file on a drive that keeps times to `step` (truncated, or rounded
// up), keeps the mask bits `kept`, and may refuse a time or show one moved
// by a zone offset.
struct ProbedDrive {
  int64_t step = 1;
  bool rounds_up = false;
  int64_t offset_ns = 0;
  bool refuses_times = false;
  uint32_t kept = ~uint32_t{0};
  bool capitals = false;
  bool rename_keeps_time = true;
};

class ScriptedProbe final : public DriveProbe {
 public:
  explicit ScriptedProbe(const ProbedDrive& drive) : drive_(drive) {}

  std::optional<FileTime> SetAndReadTime(FileTime time) override {
    if (drive_.refuses_times) return std::nullopt;
    const int64_t below = time.ns % drive_.step;
    const int64_t up = below != 0 && drive_.rounds_up ? drive_.step : 0;
    return FileTime{time.ns - below + up + drive_.offset_ns};
  }
  std::optional<uint32_t> SetAndReadMask(uint32_t mask) override {
    mask_ = (mask & drive_.kept) | (mask_ & ~drive_.kept);
    return mask_;
  }
  uint32_t FreshMask() const override { return kAttrArchive; }
  uint32_t SettableBits() const override {
    return kAttrReadOnly | kAttrHidden | kAttrSystem | kAttrArchive |
           kNotContentIndexed;
  }
  bool FoundInCapitals() override { return drive_.capitals; }
  bool KeepsTimeWhenRenamed() override { return drive_.rename_keeps_time; }

 private:
  const ProbedDrive& drive_;
  uint32_t mask_ = kAttrArchive;
};

struct LearnCase {
  const char* what;
  DriveType type;
  ProbedDrive drive;
  int64_t step;
  int64_t shift;
  uint32_t kept;
};

class LearnTest : public ::testing::TestWithParam<LearnCase> {};

// What the probe shows wins over what the drive's type says, but for the
// local-time shift, which only the type tells; a trial the drive refuses,
// or a time read back a zone's offset off, leaves the type's answer.
TEST_P(LearnTest, ProbeShowsWhatTheDriveKeeps) {
  const LearnCase& c = GetParam();
  ScriptedProbe probe(c.drive);
  const DriveTraits traits = LearnDriveTraits(c.type, 143, &probe);
  EXPECT_EQ(traits.time_step_ns, c.step);
  EXPECT_EQ(traits.local_time_shift_ns, c.shift);
  EXPECT_EQ(traits.kept_bits, c.kept);
  EXPECT_EQ(traits.ignores_case, c.drive.capitals);
  EXPECT_EQ(traits.rename_keeps_time, c.drive.rename_keeps_time);
  EXPECT_EQ(traits.name_limit, 143u);
}

INSTANTIATE_TEST_SUITE_P(
    Drives, LearnTest,
    ::testing::Values(
        LearnCase{"FatBehindAFuseMount",
                  DriveType::kOther,
                  {2 * kSecond, false, 0, false, kFatBits, true, false},
                  2 * kSecond,
                  0,
                  ~kNotContentIndexed},
        LearnCase{"NasShareThatCallsItselfNtfsOverFat",
                  DriveType::kNtfs,
                  {2 * kSecond, true, 0, false, kFatBits, true},
                  2 * kSecond,
                  0,
                  ~kNotContentIndexed},
        LearnCase{"KernelFat",
                  DriveType::kFat,
                  {2 * kSecond, false, 0, false, kFatBits, true},
                  2 * kSecond,
                  3600 * kSecond,
                  kFatBits},
        LearnCase{
            "ExfatThroughFuseKeepingWholeSeconds",
            DriveType::kOther,
            {kSecond, true, 0, false, kAttrArchive, true},
            kSecond,
            0,
            ~(kAttrReadOnly | kAttrHidden | kAttrSystem | kNotContentIndexed)},
        LearnCase{"FullResolution", DriveType::kOther, {}, 1, 0, ~0u},
        LearnCase{"TimesRefused",
                  DriveType::kExfat,
                  {kSecond, false, 0, true, kFatBits, true},
                  10'000'000,
                  0,
                  kFatBits},
        LearnCase{"TimesMovedByAZone",
                  DriveType::kOther,
                  {1, false, 3600 * kSecond},
                  1,
                  0,
                  ~0u}),
    [](const auto& info) { return std::string(info.param.what); });

// The one table of what a drive's type tells for certain, for a source
// (never probed) and a destination no probe can be written to.
TEST(DriveTraitsTest, WithoutAProbeTheTypeTells) {
  struct Case {
    DriveType type;
    int64_t step;
    int64_t shift;
    bool ignores_case;
    uint32_t kept;
  };
  const Case cases[] = {
      {DriveType::kOther, 1, 0, false, ~0u},
      {DriveType::kFat, 2 * kSecond, 3600 * kSecond, true, kFatBits},
      {DriveType::kExfat, 10'000'000, 0, true, kFatBits},
      {DriveType::kNtfs, 100, 0, false, ~0u},
      {DriveType::kNetworkShare, 100, 0, false, ~0u},
  };
  for (const Case& c : cases) {
    const DriveTraits traits = LearnDriveTraits(c.type, 255, nullptr);
    EXPECT_EQ(traits.time_step_ns, c.step) << int(c.type);
    EXPECT_EQ(traits.local_time_shift_ns, c.shift) << int(c.type);
    EXPECT_EQ(traits.ignores_case, c.ignores_case) << int(c.type);
    EXPECT_EQ(traits.kept_bits, c.kept) << int(c.type);
  }
}

}  // namespace
}  // namespace fernwise
