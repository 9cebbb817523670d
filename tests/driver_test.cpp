// Unit tests for the file-name filter, the directory test and option parsing.
#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "driver/command_line.h"
#include "driver/scan.h"
#include "report.h"
#include "settings.h"

namespace corvane {
namespace {

TEST(FitsFilename, AcceptsFitAndFtsInAnyCase) {
  EXPECT_EQ(isFitsFilename("IMG01.FIT"), 1);
  EXPECT_EQ(isFitsFilename("m42.Fts"), 1);
  EXPECT_EQ(isFitsFilename("a.fit"), 1);
}

TEST(FitsFilename, RejectsOtherExtensionsAndNamesWithNothingBeforeTheExtension) {
  EXPECT_EQ(isFitsFilename("x.fits"), 0);
  EXPECT_EQ(isFitsFilename("fit"), 0);
  EXPECT_EQ(isFitsFilename(".fit"), 0);
  EXPECT_EQ(isFitsFilename("afit"), 0);
  EXPECT_EQ(isFitsFilename("a.fitx"), 0);
  EXPECT_EQ(isFitsFilename(".corvane-Ab3x9Z"), 0);  // the temporary-file pattern
}

TEST(FitsFilename, LongNamesAreJudgedByTheirFirst1023Characters) {
  EXPECT_EQ(isFitsFilename(std::string(1019, 'a') + ".fit"), 1);           // 1023 characters
  EXPECT_EQ(isFitsFilename(std::string(1019, 'a') + ".fit" + "x.png"), 1);  // cut after ".fit"
  EXPECT_EQ(isFitsFilename(std::string(1020, 'a') + ".fit"), 0);           // cut inside it
}

TEST(IsDirectory, CutsOneTrailingSeparator) {
  const std::filesystem::path made = std::filesystem::temp_directory_path() / "corvane-isdirectory-test";
  std::filesystem::create_directories(made);
  const std::string dir = made.string();
  std::string slash = dir + "/";
  EXPECT_NE(isDirectory(slash), 0);
  EXPECT_EQ(slash, dir);
  std::string backslash = dir + "\\";
  EXPECT_NE(isDirectory(backslash), 0);
  EXPECT_EQ(backslash, dir);
  std::string two = dir + "//";
  EXPECT_NE(isDirectory(two), 0);
  EXPECT_EQ(two, dir + "/");
  std::filesystem::remove(made);
}

TEST(IsDirectory, ReportsPathsThatCannotBeQueried) {
  std::string missing = "/no/such/path";
  ::testing::internal::CaptureStderr();
  EXPECT_EQ(isDirectory(missing), 0);
  EXPECT_EQ(::testing::internal::GetCapturedStderr(), "Cannot stat '/no/such/path'\n");
  std::string empty;
  ::testing::internal::CaptureStderr();
  EXPECT_EQ(isDirectory(empty), 0);
  EXPECT_EQ(::testing::internal::GetCapturedStderr(), "Cannot stat ''\n");
}

class Options : public ::testing::Test {
 protected:
  void SetUp() override { ResetRunSettings(); }
  void TearDown() override { ResetRunSettings(); }

  // Checks `words` as a command line and applies its options (not its
  // paths); returns what the check reported (empty when it accepted them).
  std::string Apply(const std::vector<std::string>& words) {
    ::testing::internal::CaptureStderr();
    const std::optional<std::vector<Step>> steps = CheckCommandLine(words);
    const std::string report = ::testing::internal::GetCapturedStderr();
    if (!steps) return report;
    for (const Step& step : *steps) {
      if (step.option != nullptr) ApplyOptionStep(step);
    }
    return report;
  }
};

TEST_F(Options, ValuesAreReadWhole) {
  EXPECT_EQ(Apply({"-add", "-3", "-scale", "1.5", "-padbytes", " 10 ", "-bzero", "0", "."}), "");
  EXPECT_EQ(ADD_VALUE, -3);
  EXPECT_EQ(SCALE_VALUE, 1.5);
  EXPECT_EQ(arg_padbytes, 10);
  EXPECT_EQ(BZERO_NEW, 0);
  EXPECT_EQ(set_bzero, 1);
}

// Catches a refused command line that still changed a setting, or a refusal
// that does not name the option and the value.
TEST_F(Options, ARefusedCommandLineAppliesNothing) {
  const struct {
    std::vector<std::string> words;
    std::string report;
  } kCases[] = {
      {{"-add", "-force", "."}, "Error: -add needs a whole number from -2147483648 to 2147483647, not '-force'\n"},
      {{"-scale", "0,5", "."},
       "Error: -scale needs a decimal number written with a point, such as 0.5, neither too large nor too small, "
       "not '0,5'\n"},
      {{"-add", "4", ".", "-add"}, "Error: -add needs a value, and nothing follows it\n"},
      {{".", "-out"}, "Error: -out needs a value, and nothing follows it\n"},
      {{"-out", "", "."}, "Error: -out needs a file name\n"},
      // Options alone, and output names that cannot be written, were found
      // only after files had been repaired, or never.
      {{"-add", "4"}, "Error: no file or folder follows the options; options act only on the files after them\n"},
      {{"-out", "-check", "."}, "Error: -out needs a file name, not the option -check\n"},
      {{"-out", ".", "."}, "Error: -out names the folder '.'; it needs a file name\n"},
      {{"-out", "no/such/out.fit", "."}, "Error: -out names 'no/such/out.fit', but its folder does not exist\n"},
  };
  for (const auto& c : kCases) {
    ResetRunSettings();
    EXPECT_EQ(Apply(c.words), c.report + "Nothing was changed: no file was read or written.\n") << c.words[0];
    EXPECT_EQ(ADD_VALUE, 0);
    EXPECT_EQ(force, 0);
    EXPECT_FALSE(OUT_FNAME.has_value());
  }
}

TEST_F(Options, FlagsAndRepeatedOptions) {
  // "[do_stretch] " waits for the end of the run, where it goes to standard
  // output unless an image went there.
  const int announced = PendingStretchAnnouncements();
  Apply({"-force", "-stretch", "-out", "a.fit", "-out", "b.fit", "-scale", "2", "-scale", "3", "."});
  EXPECT_EQ(PendingStretchAnnouncements(), announced + 1);
  EXPECT_EQ(force, 1);
  EXPECT_EQ(do_stretch, 1);
  EXPECT_EQ(OUT_FNAME, "b.fit");
  EXPECT_EQ(SCALE_VALUE, 3.0);
}

}  // namespace
}  // namespace corvane
