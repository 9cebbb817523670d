// End-to-end tests of the command line: usage text, --help and --version,
// option order, -check, paths that do not exist, exit statuses and standard output.
#include <cstdlib>
#include <utility>

#include "helpers.h"

namespace corvane::testing {
namespace {

using Cli = Scratch;

const std::string kUsageAfterBanner = R"(
Usage: corvane [ option ] [ option ] ... input-file(s) or directories

Options are:
    -add N		Add integer value N to each pixel value (Default 0).
			N may be negative.

    -scale S		Multiply each pixel value by decimal value S 
			(default 1.0).

    -bzero Z		Set the BZERO header value to the integer value Z
			Default is to leave it unchanged.

    -force		Force corvane to process the input files even if it
			doesn't want to. By default corvane adds an extra
			header to indicate that it's processed a file,
			and if it detects that header in an input file then
			it will be skipped. This is to let you always say
			something like 'corvane *.fit' and have it only
			process new files.

    -out f		Write the new data to file named f instead of the
			default behaviour which is to overwrite the original
			file. Only useful when processing a single file.

    -padbytes B		Add extra B bytes to the end of the file.
			Can be used to correct for some programs that produce
			incorrect FITS files. 

		NOTE: corvane automatically detects and fixes files produced
		by Registax and Astra Image, so no special options are
		required for it to handle those files.

    -stretch  (experimental)
			Stretches the range of values in the FIT file.
			Don't expect this to work yet :-)

    -check		Read and report every file as a real run would,
			but write nothing: no file is changed or created.
			Says 'Would be repaired' where a run says OK.

Caveats: This program was written exclusively to handle FITS files produced
 by Registax and Astra Image.

It may not work with FITS files from other sources as yet, since it's
FITS handling is not completely implemented.
This program is a work in progress. Use with care.

)";

// A small 16-bit Registax-free file that needs fixing.
std::string Plain16(std::vector<std::uint16_t> pixels) {
  return FitsFile(Header(16, {ValueCard("BZERO", "32768")}), Be16(pixels));
}

TEST_F(Cli, NoArgumentsPrintsTheUsageTextAndSucceeds) {
  const RunResult run = Run({});
  EXPECT_EQ(run.status, 0);
  EXPECT_EQ(run.out, "");
  ASSERT_TRUE(run.err.starts_with("\nCorvane " CORVANE_VERSION " - ")) << run.err;  // once "Corvane 1.0"
  const std::size_t banner_end = run.err.find('\n', 1);
  EXPECT_EQ(run.err.substr(banner_end + 1), kUsageAfterBanner);
  EXPECT_EQ(Listing(), std::vector<std::string>{});
}

// Catches --help or --version printed to the wrong stream, with another text,
// or taken for an option anywhere but as the only argument.
TEST_F(Cli, HelpAndVersionAnswerOnlyAsTheOnlyArgument) {
  const std::string usage = Run({}).err;
  for (const char* word : {"--help", "-h", "/?", "-?"}) {
    const RunResult run = Run({word});
    EXPECT_EQ(run.status, 0) << word;
    EXPECT_EQ(run.out, usage) << word;
    EXPECT_EQ(run.err, "") << word;
  }
  const RunResult version = Run({"--version"});
  EXPECT_EQ(version.status, 0);
  EXPECT_EQ(version.out, "corvane " CORVANE_VERSION "\nMIT License\n");
  EXPECT_EQ(version.err, "");
}

// Each of these once changed images while printing OK (a trailing option
// ignored, "0,5" read as 0, a run stopped half way at a missing file) or hid a
// misspelt option behind "Cannot stat". Now nothing is read or written.
TEST_F(Cli, ACommandLineThatWouldDoOtherThanMeantChangesNothing) {
  const std::string kNothing = "Nothing was changed: no file was read or written.\n";
  const std::string kAfterLast = " comes after the last file; options act only on the files after them\n";
  const std::string kInteger = " needs a whole number from -2147483648 to 2147483647, not ";
  const std::string kDecimal =
      "Error: -scale needs a decimal number written with a point, such as 0.5, neither too large nor too small, not ";
  const std::string kNoFile = "Error: no file or folder follows the options; options act only on the files after them\n";
  const std::string kSee = "; corvane --help lists the options, and a file whose name starts with '-' is given as ./";
  const std::string kKeepsLast = "Error: -out 'fixed.fit' would keep only the last of the 2 files written to it, "
                                 "since an output file holds one image: give each file its own -out, or repair in "
                                 "place without -out\n";
  const std::string kBadName = "Invalid name";  // wine's text for an empty path
  const std::string kMissing = "Cannot stat 'missing.fit'\nCannot access file [missing.fit]\n\t'missing.fit': ";
  const struct {
    std::vector<std::string> args;
    std::string err;
  } kCases[] = {
      {{"a.fit", "-out", "fixed.fit"}, "Error: -out" + kAfterLast},
      {{"a.fit", "-scale", "0.5"}, "Error: -scale" + kAfterLast},
      {{"a.fit", "-force", "b.fit", "-stretch", "-check"}, "Error: -stretch" + kAfterLast + "Error: -check" + kAfterLast},
      {{"-scale", "0,5", "a.fit"}, kDecimal + "'0,5'\n"},
      {{"-scale", "5x", "a.fit"}, kDecimal + "'5x'\n"},
      {{"-scale", "-stretch", "a.fit"}, kDecimal + "'-stretch'\n"},
      {{"-padbytes", "-5000", "a.fit"}, "Error: -padbytes needs a whole number from 0 to 2147483647, not '-5000'\n"},
      {{"-add", "-force", "b.fit"}, "Error: -add" + kInteger + "'-force'\n"},
      {{"a.fit", "-add"}, "Error: -add needs a value, and nothing follows it\n"},
      {{"a.fit", "missing.fit", "b.fit"}, kMissing + NoSuchFileText() + "\n"},
      {{"a.fit", "nomatch*.fit"}, "Error: no file matches 'nomatch*.fit'\n"},
      {{"/"}, "Cannot stat ''\nCannot access file []\n\t'': " + (UnderRunner() ? kBadName : NoSuchFileText()) + "\n"},
      // A misspelt option names the nearest one, and its value is no missing file of its own.
      {{"-scael", "a.fit"}, "Error: unknown option '-scael' (did you mean -scale?)" + kSee + "-scael\n"},
      {{"--add", "5", "a.fit"}, "Error: unknown option '--add' (did you mean -add?)" + kSee + "--add\n"},
      {{"-output", "x.fit"}, "Error: unknown option '-output' (did you mean -out?)" + kSee + "-output\n"},
      {{"-help"}, "Error: unknown option '-help' (did you mean --help?)" + kSee + "-help\n"},
      {{"-v", "a.fit"}, "Error: unknown option '-v' (did you mean --version?)" + kSee + "-v\n"},
      {{"-qq", "a.fit"}, "Error: unknown option '-qq'" + kSee + "-qq\n"},
      {{"--version", "a.fit"}, "Error: unknown option '--version' (it is answered only as the only argument)" + kSee +
                                   "--version\n"},
      {{"a.fit", "-h"}, "Error: unknown option '-h' (it is answered only as the only argument)" + kSee + "-h\n"},
      {{"-out", "fixed.fit", "a.fit", "b.fit"}, kKeepsLast},
      {{"-out", "fixed.fit", "a.fit", "-out", "./fixed.fit", "b.fit"}, kKeepsLast},
      {{"-stretch"}, kNoFile},  // options alone did nothing and said nothing
      {{"-add", "3", "-force", "-bzero", "7"}, kNoFile},
      {{"-out", "-check", "a.fit"}, "Error: -out needs a file name, not the option -check\n"},
      {{"-out", "nodir/x.fit", "a.fit", "b.fit"}, "Error: -out names 'nodir/x.fit', but its folder does not exist\n"},
  };
  Write("a.fit", Plain16({10}));
  Write("b.fit", Plain16({10}));
  for (const auto& c : kCases) {
    const RunResult run = Run(c.args);
    EXPECT_EQ(run.status, 1) << c.args[0];
    EXPECT_EQ(run.out, "") << c.args[0];
    EXPECT_EQ(run.err, c.err + kNothing) << c.args[0];
    EXPECT_EQ(Read("a.fit"), Plain16({10})) << c.args[0];
    EXPECT_EQ(Read("b.fit"), Plain16({10})) << c.args[0];
    EXPECT_EQ(Listing(), (std::vector<std::string>{"a.fit", "b.fit"})) << c.args[0];
  }
}

TEST_F(Cli, OptionsActOnlyOnThePathsAfterThem) {
  Write("a.fit", Plain16({10}));
  Write("b.fit", Plain16({10}));
  Write("c.fit", Plain16({10}));
  const RunResult run = Run({"a.fit", "-add", "5", "b.fit", "-check", "c.fit"});
  EXPECT_EQ(run.status, 0);
  EXPECT_EQ(Pixels16(Read("a.fit"))[0], 10);
  EXPECT_EQ(Pixels16(Read("b.fit"))[0], 15);
  EXPECT_EQ(Read("c.fit"), Plain16({10}));
  EXPECT_NE(run.err.find("\t[ADD 0, SCALE 1.00, BZERO 32768]\n"), std::string::npos);
  EXPECT_NE(run.err.find("\t[ADD 5, SCALE 1.00, BZERO 32768]\n"), std::string::npos);
  EXPECT_TRUE(run.err.ends_with("3 files: 2 repaired, 1 would be repaired, 0 skipped, 0 failed\n")) << run.err;
  // Files after -check are written nowhere: an -out before it was refused as keeping only the last of them.
  EXPECT_EQ(Run({"-out", "o.fit", "a.fit", "-check", "b.fit", "c.fit"}).status, 0);
}

// Catches -check writing or creating anything, or reporting a line other than
// a real run's (all but OK) or exiting otherwise: the same files are checked, then repaired.
TEST_F(Cli, CheckReportsWhatARunWouldAndWritesNothing) {
  const std::string kBzero = ValueCard("BZERO", "32768");
  std::vector<std::string> bad = Header(16, {kBzero});
  bad[0] = "NOT FITS";
  const std::vector<std::pair<std::string, std::string>> files = {
      {"registax.fit", FitsFile(Header(16, {kBzero, "COMMENT= REGISTAX"}), Be16({0, 7}))},
      {"signed.fit", FitsFile(Header(16, {ValueCard("BZERO", "0")}), Be16({7}))},
      {"bad.fit", FitsFile(bad)},
      {"wide.fit", FitsFile(Header(32), Be32({7}))},
  };
  std::vector<std::string> args = {"-scale", "2"};
  for (const auto& [name, bytes] : files) {
    Write(name, bytes);
    args.push_back(name);
  }
  std::vector<std::string> check_args = args;
  check_args.insert(check_args.begin(), "-check");
  const std::vector<std::string> listing = Listing();

  const RunResult check = Run(check_args);
  for (const auto& [name, bytes] : files) EXPECT_EQ(Read(name), bytes) << name;
  EXPECT_EQ(Listing(), listing);
  const RunResult run = Run(args);
  EXPECT_EQ(check.status, 1);
  EXPECT_EQ(check.status, run.status);
  EXPECT_EQ(check.out, run.out);
  std::string expected = run.err;
  for (std::size_t at = 0; (at = expected.find("\tOK\n", at)) != std::string::npos;) {
    expected.replace(at, 4, "\tWould be repaired (nothing written: -check)\n");
  }
  expected.replace(expected.find(" repaired,"), 10, " would be repaired,");
  EXPECT_NE(expected, run.err);
  EXPECT_EQ(check.err, expected);
}

// Catches -check opening or creating the -out file: a run could not open this one.
TEST_F(Cli, CheckNeverOpensTheOutputFile) {
  Write("a.fit", Plain16({10}));
  const RunResult run = Run({"-check", "-out", "out.fit", "a.fit"});
  EXPECT_EQ(run.status, 0);
  EXPECT_EQ(Listing(), std::vector<std::string>{"a.fit"});
  EXPECT_EQ(Read("a.fit"), Plain16({10}));
}

TEST_F(Cli, StretchAnnouncesItselfOnStandardOutput) {
  Write("a.fit", Plain16({10}));
  const RunResult run = Run({"-stretch", "-check", "a.fit"});
  EXPECT_EQ(run.status, 0);
  EXPECT_EQ(run.out, "[do_stretch] ");
}

TEST_F(Cli, AFileArgumentNeedsNoFitsName) {
  Write("image.data", Plain16({10}));
  const RunResult run = Run({"image.data"});
  EXPECT_EQ(run.status, 0);
  EXPECT_TRUE(run.err.ends_with("\tOK\n"));
}

// Where no shell expands wildcards (Windows), the program does it itself.
TEST_F(Cli, WildcardsAreExpandedWhereNoShellDoesIt) {
  const char* expands = std::getenv("CORVANE_EXPANDS_WILDCARDS");
  if (expands == nullptr || std::string(expands) != "1") {
    GTEST_SKIP() << "on this system the shell expands wildcards, not the program";
  }
  Write("a.fit", Plain16({10}));
  Write("b \xc3\xa4.fit", Plain16({10}));
  Write("c.txt", Plain16({10}));
  // Their 8.3 short names (NIGH~JLP.FIT and the like) match *.fit; they must not be taken.
  for (const char* name : {"night1.fit_orig", "night1.fit~", "m42_final.fits"}) Write(name, Plain16({10}));
  const RunResult run = Run({"-add", "1", "*.fit"});
  EXPECT_EQ(run.status, 0) << run.err;
  EXPECT_EQ(Pixels16(Read("a.fit"))[0], 11);
  EXPECT_EQ(Pixels16(Read("b \xc3\xa4.fit"))[0], 11);
  EXPECT_EQ(Read("c.txt"), Plain16({10}));
  for (const char* name : {"night1.fit_orig", "night1.fit~", "m42_final.fits"}) {
    EXPECT_EQ(Pixels16(Read(name))[0], 10) << name << " was taken for *.fit";
  }
}

}  // namespace
}  // namespace corvane::testing
