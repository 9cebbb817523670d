// End-to-end tests of the header rules: what each card test reports, which
// files are skipped or refused (and left untouched), and what state one file
// leaves for the next (the last BZERO, the Astra Image padding).
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <utility>

#include "helpers.h"

namespace corvane::testing {
namespace {

using HeaderRules = Scratch;
using Independence = Scratch;

const std::string kBzero32768 = ValueCard("BZERO", "32768");
const std::string kRegistax = "COMMENT= REGISTAX";
const std::string kAstra = "ORIGIN  = 'Astra Image'";

std::vector<std::string> Lines(const std::string& text) {
  std::vector<std::string> lines;
  std::size_t start = 0;
  for (std::size_t end; (end = text.find('\n', start)) != std::string::npos; start = end + 1) {
    lines.push_back(text.substr(start, end - start));
  }
  return lines;
}

TEST_F(HeaderRules, ARegistaxFileIsReportedAndLoweredByOne) {
  Write("img.fit", FitsFile(Header(16, {kBzero32768, kRegistax}), Be16({0, 1, 1000})));
  const RunResult run = Run({"-bzero", "0", "img.fit"});
  EXPECT_EQ(run.status, 0);
  EXPECT_EQ(run.err,
            "img.fit\n\tBPP 16\n\tBZERO 32768\n\t*Authored by: Registax.\n"
            "    ->  Adjusting pixel values by -1\n\t[ADD -1, SCALE 1.00, BZERO 0]\n\tOK\n");
  EXPECT_EQ(Pixels16(Read("img.fit")).at(2), 999);
}

TEST_F(HeaderRules, AnExplicitOffsetWinsOverTheRegistaxRule) {
  Write("img.fit", FitsFile(Header(16, {kBzero32768, kRegistax}), Be16({10})));
  const RunResult run = Run({"-add", "3", "img.fit"});
  EXPECT_NE(run.err.find("\t*Authored by: Registax.\n\t[ADD 3,"), std::string::npos) << run.err;
  EXPECT_EQ(Pixels16(Read("img.fit"))[0], 13);
}

TEST_F(HeaderRules, FilesThatNeedNoFixingAreSkippedUntouchedUnlessForced) {
  const std::string signed16 = FitsFile(Header(16, {ValueCard("BZERO", "0")}), Be16({10}));
  Write("signed.fit", signed16);
  RunResult run = Run({"signed.fit"});
  EXPECT_EQ(run.err, "signed.fit\n\tBPP 16\n\tBZERO 0\n\tLooks like this file does not need fixing. Skipping...\n");
  EXPECT_EQ(Read("signed.fit"), signed16);
  run = Run({"-force", "signed.fit"});
  EXPECT_TRUE(run.err.ends_with("\tOK\n"));
  // Any BZERO is fine in a 32-bit file.
  Write("wide.fit", FitsFile(Header(32, {ValueCard("BZERO", "0")}), Be32({10})));
  EXPECT_TRUE(Run({"wide.fit"}).err.ends_with("\tOK\n"));
}

TEST_F(HeaderRules, UnsupportedBitpixIsSkippedUntouched) {
  for (const int bitpix : {8, -64}) {
    const std::string bytes = FitsFile(Header(bitpix), std::string(8, 'x'));
    Write("odd.fit", bytes);
    const RunResult run = Run({"odd.fit"});
    EXPECT_EQ(run.status, 0);
    EXPECT_EQ(run.err, "odd.fit\n\tBPP " + std::to_string(bitpix) + "\n\t**invalid BPP (support only 16 or 32) **\n");
    EXPECT_EQ(Read("odd.fit"), bytes);
  }
}

TEST_F(HeaderRules, AProcessedFileIsSkippedLaterUnlessForced) {
  Write("img.fit", FitsFile(Header(32), Be32({5})));
  ASSERT_TRUE(Run({"img.fit"}).err.ends_with("\tOK\n"));
  const std::string once = Read("img.fit");
  const RunResult again = Run({"img.fit", "img.fit"});
  EXPECT_EQ(again.err, std::string("img.fit\n\tBPP 32\n\tLooks like this file has already been mangled. Skipping...\n") +
                           "img.fit\n\tBPP 32\n\tLooks like this file has already been mangled. Skipping...\n"
                           "2 files: 0 repaired, 2 skipped, 0 failed\n");
  EXPECT_EQ(again.status, 0);
  EXPECT_EQ(Read("img.fit"), once);
  EXPECT_TRUE(Run({"-force", "img.fit"}).err.ends_with("\tOK\n"));
  EXPECT_NE(Read("img.fit"), once);
}

TEST_F(HeaderRules, AFileShorterThanAHeaderBlockFailsAtTheMissingCard) {
  std::string bytes = FitsFile(Header(16, {kBzero32768}));
  bytes.resize(2879);
  Write("short.fit", bytes);
  const RunResult run = Run({"short.fit"});
  EXPECT_EQ(run.err, "short.fit\n\tBPP 16\n\tBZERO 32768\nError reading header line 36 in short.fit\n"
                     "\t'short.fit' is too short to be a FITS file: 2879 bytes, less than the 2880 of one header block\n");
  EXPECT_EQ(Read("short.fit"), bytes);
}

// Each once said only where reading stopped or what was missing: that line stays, and the cause follows.
// A cut-off write-through behind a marker, or with a BZERO needing no fix, was skipped with exit 0.
TEST_F(HeaderRules, AFileThatCannotBeRepairedIsSaidWhatItIs) {
  std::vector<std::string> long_header(40, "HISTORY more than one block of cards");
  long_header.insert(long_header.begin(), {ValueCard("SIMPLE", "T"), ValueCard("BITPIX", "-32")});
  const std::string kShort = "' is too short to be a FITS file: ";
  const std::string kUnderWay = "COMMENT =CORVANE repair under way - if this stays, the repair was cut off";
  const std::string kCutOff = "Error: 'x.fit' is damaged: a repair written through it was interrupted, so its pixels "
                              "are partly rewritten; restore the original from a backup\n";
  const std::pair<std::string, std::string> kCases[] = {
      {"", "Error reading header line 1 in x.fit\n\t'x.fit" + kShort + "0 bytes, less than the 2880 of one header block\n"},
      {"\xff\xd8\xff\xe0 a JPEG", "Error reading header line 1 in x.fit\n\t'x.fit" + kShort + "11 bytes, less than "
                                 "the 2880 of one header block\n"},
      {FitsFile(long_header), "\tBPP -32\nError: no END card in the header block of 'x.fit'\n\tIts header does not end "
                              "in its first block of 36 cards: Corvane repairs only images whose header is one block long\n"},
      {FitsFile(Header(16, {"COMMENT =Mangled by CORVANE", kUnderWay}), Be16({7})), kCutOff},
      {FitsFile(Header(16, {ValueCard("BZERO", "0"), kUnderWay}), Be16({7})), kCutOff},
  };
  for (const auto& [bytes, err] : kCases) {
    Write("x.fit", bytes);
    EXPECT_EQ(Run({"x.fit"}).err, "x.fit\n" + err);
    EXPECT_EQ(Run({"-force", "x.fit"}).err, "x.fit\n" + err);
    EXPECT_EQ(Read("x.fit"), bytes);
  }
}

TEST_F(HeaderRules, ASkipRuleStopsBeforeTheShortCardIsReached) {
  std::string bytes = FitsFile(Header(16, {ValueCard("BZERO", "0")}));
  bytes.resize(2879);
  Write("short.fit", bytes);
  EXPECT_TRUE(Run({"short.fit"}).err.ends_with("Skipping...\n"));
}

TEST_F(HeaderRules, AFileWithoutTheSimpleSignatureIsRefusedAfterAllCardsAreTested) {
  std::vector<std::string> cards = Header(16, {kBzero32768});
  cards[0] = "SIMPLE  =                    F";
  const std::string bytes = FitsFile(cards, Be16({1}));
  Write("bad.fit", bytes);
  const RunResult run = Run({"bad.fit"});
  EXPECT_EQ(run.err, "bad.fit\n\tBPP 16\n\tBZERO 32768\nInvalit FIT signature at start of file 'bad.fit'\n");
  EXPECT_EQ(Read("bad.fit"), bytes);
}

TEST_F(HeaderRules, HeadersMissingEndOrBitpixAreRefusedUntouched) {
  std::vector<std::string> no_end = Header(16, {kBzero32768});
  no_end.pop_back();
  Write("no_end.fit", FitsFile(no_end, Be16({1})));
  EXPECT_TRUE(Run({"no_end.fit"}).err.starts_with(
      "no_end.fit\n\tBPP 16\n\tBZERO 32768\nError: no END card in the header block of 'no_end.fit'\n"));
  EXPECT_EQ(Read("no_end.fit"), FitsFile(no_end, Be16({1})));
  const std::vector<std::string> no_bitpix = {ValueCard("SIMPLE", "T"), ValueCard("NAXIS", "0"), "END"};
  Write("no_bitpix.fit", FitsFile(no_bitpix));
  EXPECT_EQ(Run({"no_bitpix.fit"}).err, "no_bitpix.fit\nError: no BITPIX card in 'no_bitpix.fit'\n");
}

TEST_F(HeaderRules, CardsWithoutEqualsReadAsMinusOne) {
  std::vector<std::string> cards = Header(16);
  cards[1] = "BITPIX    16";
  Write("a.fit", FitsFile(cards));
  EXPECT_EQ(Run({"a.fit"}).err, "a.fit\nFormat error parsing header line '" + FitsFile({"BITPIX    16"}).substr(0, 80) +
                                      "'\n\tBPP -1\n\t**invalid BPP (support only 16 or 32) **\n");
  Write("b.fit", FitsFile(Header(16, {"BZERO     32768"})));
  EXPECT_TRUE(Run({"b.fit"}).err.ends_with("\tBZERO -1\n\tLooks like this file does not need fixing. Skipping...\n"));
}

TEST_F(HeaderRules, ABzeroBeforeBitpixIsAcceptedAndAnExponentBzeroIsRead) {
  std::vector<std::string> cards = Header(16);
  cards.insert(cards.begin() + 1, ValueCard("BZERO", "0"));  // before BITPIX: no 16-bit test yet
  Write("early.fit", FitsFile(cards, Be16({1})));
  EXPECT_EQ(Run({"early.fit"}).err, "early.fit\n\tBZERO 0\n\tBPP 16\n\t[ADD 0, SCALE 1.00, BZERO 0]\n\tOK\n");
  Write("exp.fit", FitsFile(Header(16, {ValueCard("BZERO", "3.276800E4")}), Be16({1})));
  EXPECT_EQ(Run({"exp.fit"}).err, "exp.fit\n\tBPP 16\n\tBZERO 32768\n\t[ADD 0, SCALE 1.00, BZERO 32768]\n\tOK\n");
}

TEST_F(HeaderRules, SpecialFilesAreNeverOpened) {
  ASSERT_EQ(mkfifo(Path("pipe.fit").c_str(), 0666), 0);
  const RunResult run = Run({"pipe.fit"});  // opening a FIFO would hang the run
  EXPECT_EQ(run.status, 1);
  EXPECT_EQ(run.err, "pipe.fit\nError: 'pipe.fit' is not a regular file\n");
}

TEST_F(HeaderRules, AReadOnlyInputFailsInPlaceButWorksWithAnOutputFile) {
  if (!CanTestPermissions()) GTEST_SKIP() << "running as root without setpriv: permissions are not enforced";
  const std::string bytes = FitsFile(Header(16, {kBzero32768}), Be16({4}));
  Write("ro.fit", bytes);
  ASSERT_EQ(chmod(Path("ro.fit").c_str(), 0444), 0);
  // The cause once went unsaid (the line of an empty file); now what will work is said too.
  const std::string kReadOnly = "ro.fit\nError: cannot open 'ro.fit': Permission denied\n\t'ro.fit' is read-only: make "
                                "it writable, or write the repaired image to another file with -out\n";
  RunResult run = Run({"ro.fit"}, {.as_unprivileged = true});
  EXPECT_EQ(run.err, kReadOnly);
  EXPECT_EQ(run.status, 1);
  EXPECT_EQ(Read("ro.fit"), bytes);
  // -check opens the input the same way, so it reports the same failure.
  run = Run({"-check", "ro.fit"}, {.as_unprivileged = true});
  EXPECT_EQ(run.err, kReadOnly);
  run = Run({"-add", "1", "-out", "new.fit", "ro.fit"}, {.as_unprivileged = true});
  EXPECT_TRUE(run.err.ends_with("\tOK\n")) << run.err;
  EXPECT_EQ(Pixels16(Read("new.fit"))[0], 5);
  EXPECT_EQ(Read("ro.fit"), bytes);
}

// A file's result once depended on the files before it: the last BZERO read
// went to a file without one, and one Astra Image file padded every later
// file, which then failed FITS checks. Each file alone, in a folder, and
// after a refused Astra Image file must come out the same.
TEST_F(Independence, EachFileComesOutAsItWouldAlone) {
  // As Astra Image writes them, one block short of what NAXIS says; a whole one gets nothing.
  std::vector<std::string> astra_cards = Header(16, {kBzero32768, kAstra});
  astra_cards[3] = ValueCard("NAXIS1", "5760");
  const std::string kAstra16 = FitsFile(astra_cards, std::string(5760, '\0'));
  std::vector<std::string> refused = Header(16, {kBzero32768, kAstra});
  refused[0] = "NOT FITS";
  const std::vector<std::pair<std::string, std::string>> files = {
      {"a1.fit", kAstra16},
      {"a2.fit", kAstra16},
      {"a3-whole.fit", FitsFile(Header(16, {kBzero32768, kAstra}), std::string(5760, '\0'))},
      // ORIGIN before the NAXIS cards: judged once the whole header is read.
      {"a4-early.fit", FitsFile({ValueCard("SIMPLE", "T"), ValueCard("BITPIX", "16"), kAstra, ValueCard("NAXIS", "1"),
                                 ValueCard("NAXIS1", "0"), kBzero32768, "END"},
                                std::string(5760, '\0'))},
      {"a5-float.fit", FitsFile(Header(-32, {kAstra}), std::string(5760, '\0'))},
      {"b0.fit", FitsFile(refused)},
      {"c32.fit", FitsFile(Header(32), Be32({1, 2}))},
      {"d16.fit", FitsFile(Header(16, {kBzero32768}), Be16({3}))},
      {"e-reg.fit", FitsFile(Header(16, {kBzero32768, kRegistax}), Be16({3}))},
  };
  ASSERT_EQ(mkdir(Path("alone").c_str(), 0777), 0);
  ASSERT_EQ(mkdir(Path("night").c_str(), 0777), 0);
  std::vector<std::string> named = {"-check"};
  std::string alone_report;
  for (const auto& [name, bytes] : files) {
    Write("alone/" + name, bytes);
    Write("night/" + name, bytes);
    named.push_back("night/" + name);
    alone_report += Run({"alone/" + name}).err;
  }
  const RunResult checked = Run(named);
  const RunResult folder = Run({"night"});
  for (const auto& [name, bytes] : files) EXPECT_EQ(Read("night/" + name), Read("alone/" + name)) << name;
  EXPECT_EQ(Read("night/c32.fit").size(), 2u * 2880u);
  EXPECT_EQ(Read("night/a2.fit").size(), 2880u + 5760u + 2880u);
  EXPECT_EQ(Read("night/a3-whole.fit").size(), 2880u + 5760u);
  EXPECT_EQ(Read("night/a4-early.fit").size(), 2880u + 5760u);
  EXPECT_EQ(Read("night/a5-float.fit").size(), 2880u + 5760u);
  // Per file, the folder run says what the single runs said, whatever the listing order.
  std::vector<std::string> alone_lines = Lines(alone_report);
  std::vector<std::string> folder_lines = Lines(folder.err);
  for (std::string& line : folder_lines) {
    // The folder's entries are joined with the system's separator.
    for (std::size_t at; (at = line.find("night/")) != std::string::npos;) line.replace(at, 6, "alone/");
    for (std::size_t at; (at = line.find("night\\")) != std::string::npos;) line.replace(at, 6, "alone/");
  }
  ASSERT_GE(folder_lines.size(), 3u);  // the count, then the file that failed
  EXPECT_EQ(std::vector<std::string>(folder_lines.end() - 3, folder_lines.end()),
            (std::vector<std::string>{"9 files: 8 repaired, 0 skipped, 1 failed", "Failed:", "\talone/b0.fit"}));
  folder_lines.resize(folder_lines.size() - 3);
  std::sort(alone_lines.begin(), alone_lines.end());
  std::sort(folder_lines.begin(), folder_lines.end());
  EXPECT_EQ(folder_lines, alone_lines);
  EXPECT_NE(folder.err.find("c32.fit\n\tBPP 32\n\t[ADD 0, SCALE 1.00, BZERO 0]\n"), std::string::npos);
  EXPECT_NE(checked.err.find("night/a2.fit\n\tBPP 16\n\tBZERO 32768\n\t*Authored by: Astra Image, padding extra"),
            std::string::npos) << checked.err;
}

TEST_F(Independence, ANonZeroPaddingKeepsTheAstraImageRuleFromFiring) {
  Write("a.fit", FitsFile(Header(16, {kBzero32768, kAstra}), std::string(2880, '\0')));
  const RunResult run = Run({"-padbytes", "5", "a.fit"});
  EXPECT_EQ(run.err.find("Astra Image"), std::string::npos);
  EXPECT_EQ(Read("a.fit").size(), 3u * 2880u);
}

}  // namespace
}  // namespace corvane::testing
