// Unit tests for the file-name filter, the directory test and option parsing.
#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

#include "driver/options.h"
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

  // Applies every option in `words`, returning the words that are paths.
  std::vector<std::string> Apply(std::vector<std::string> words) {
    std::vector<char*> argv{const_cast<char*>("corvane")};
    for (std::string& word : words) argv.push_back(word.data());
    std::vector<std::string> paths;
    const int argc = static_cast<int>(argv.size());
    for (int i = 1; i < argc;) {
      const int used = ApplyOption(argc, argv.data(), i);
      if (used == 0) paths.emplace_back(argv[i]);
      i += used > 0 ? used : 1;
    }
    return paths;
  }
};

TEST_F(Options, ValuesAreConvertedLikeAtoiAndAtof) {
  Apply({"-add", "-3", "-scale", "1.5x", "-padbytes", "10", "-bzero", "0"});
  EXPECT_EQ(ADD_VALUE, -3);
  EXPECT_EQ(SCALE_VALUE, 1.5);
  EXPECT_EQ(arg_padbytes, 10);
  EXPECT_EQ(BZERO_NEW, 0);
  EXPECT_EQ(set_bzero, 1);
  Apply({"-add", "abc"});
  EXPECT_EQ(ADD_VALUE, 0);
}

TEST_F(Options, AValueOptionConsumesTheNextWordWhateverItHolds) {
  EXPECT_EQ(Apply({"-add", "-force", "b.fit"}), std::vector<std::string>{"b.fit"});
  EXPECT_EQ(force, 0);
  EXPECT_EQ(ADD_VALUE, 0);
}

TEST_F(Options, UnknownDashWordsArePaths) {
  EXPECT_EQ(Apply({"-output", "x", "-Force"}), (std::vector<std::string>{"-output", "x", "-Force"}));
}

TEST_F(Options, AValueOptionStandingLastIsIgnoredWithAMessage) {
  ::testing::internal::CaptureStderr();
  Apply({"-add", "4", "-add"});
  EXPECT_EQ(::testing::internal::GetCapturedStderr(), "Option -add has no value; ignored\n");
  EXPECT_EQ(ADD_VALUE, 4);
  ::testing::internal::CaptureStderr();
  Apply({"-out"});
  EXPECT_EQ(::testing::internal::GetCapturedStderr(), "Option -out has no value; ignored\n");
  EXPECT_FALSE(OUT_FNAME.has_value());
}

TEST_F(Options, FlagsAndRepeatedOptions) {
  // "[do_stretch] " waits for the end of the run, where it goes to standard
  // output unless an image went there.
  const int announced = PendingStretchAnnouncements();
  Apply({"-force", "-stretch", "-out", "a.fit", "-out", "b.fit", "-scale", "2", "-scale", "3"});
  EXPECT_EQ(PendingStretchAnnouncements(), announced + 1);
  EXPECT_EQ(force, 1);
  EXPECT_EQ(do_stretch, 1);
  EXPECT_EQ(OUT_FNAME, "b.fit");
  EXPECT_EQ(SCALE_VALUE, 3.0);
}

}  // namespace
}  // namespace corvane
