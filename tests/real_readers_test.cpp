// Real FITS software as the judge: inputs written by cfitsio (as the producers
// write them), repaired by corvane, then read back by cfitsio and checked by
// fitsverify. Pixel values compared are physical values (BZERO applied).
#include <sys/stat.h>
#include <unistd.h>

#include <regex>
#include <sstream>

#include "helpers.h"

namespace corvane::testing {
namespace {

class RealReaders : public Scratch {
 protected:
  void SetUp() override {
    Scratch::SetUp();
    ASSERT_EQ(access("/usr/bin/fitsverify", X_OK), 0) << "fitsverify is not installed (make test installs it)";
  }

  void Make(const std::vector<std::string>& args) {
    std::vector<std::string> command = {CFITSIO_TOOL};
    command.insert(command.end(), args.begin(), args.end());
    const RunResult run = RunProgram(command);
    ASSERT_EQ(run.status, 0) << run.err;
  }

  // Physical pixel values as cfitsio reads them; empty when cfitsio fails.
  std::vector<double> ReadBack(const std::string& name) const {
    const RunResult run = RunProgram({CFITSIO_TOOL, "read", name});
    std::vector<double> values;
    if (run.status != 0) return values;
    std::istringstream lines(run.out);
    for (double v; lines >> v;) values.push_back(v);
    return values;
  }

  // fitsverify's error lines (first lines only, card numbers as "#N"); empty
  // when it finds none.
  std::vector<std::string> VerifyErrors(const std::string& name) const {
    const RunResult run = RunProgram({"/usr/bin/fitsverify", name});
    std::vector<std::string> errors;
    std::istringstream lines(run.out + run.err);
    for (std::string line; std::getline(lines, line);) {
      if (line.starts_with("*** Error:")) {
        errors.push_back(std::regex_replace(line, std::regex("Keyword #[0-9]+"), "Keyword #N"));
      }
    }
    EXPECT_EQ(errors.empty(), run.out.find("0 error(s)") != std::string::npos) << run.out;
    return errors;
  }

  std::string Repair(const std::vector<std::string>& args) const {
    const RunResult run = Run(args);
    EXPECT_EQ(run.status, 0);
    EXPECT_TRUE(run.err.ends_with("\tOK\n")) << run.err;
    return run.err;
  }
};

// The values the tool writes: pixel i of a 16-bit image is (37 i + 5) mod 65536,
// of a 32-bit image 2654435761 i mod 2^32.
double Value16(std::size_t i) { return static_cast<double>((i * 37 + 5) % 65536); }
double Value32(std::size_t i) { return static_cast<double>(static_cast<std::uint32_t>(i * 2654435761ull)); }

const std::string kRegistaxKeywordError =
    R"(*** Error:   Keyword #N: Name "COMMENT=" contains char "=" which is not upper)";

TEST_F(RealReaders, StandardSixteenBitImagesKeepTheirValuesAndPassFitsverify) {
  Make({"write16", "std.fit", "40", "36"});  // data: exactly one block
  Repair({"-out", "out.fit", "std.fit"});
  const std::vector<double> values = ReadBack("out.fit");
  ASSERT_EQ(values.size(), 1440u);
  for (std::size_t i = 0; i < values.size(); ++i) ASSERT_EQ(values[i], Value16(i)) << i;
  EXPECT_EQ(VerifyErrors("out.fit"), std::vector<std::string>{});
}

TEST_F(RealReaders, OffsetScaleAndBzeroAreWhatCfitsioReads) {
  Make({"write16", "a.fit", "40", "36"});
  Repair({"-add", "-1", "a.fit"});  // in place
  std::vector<double> values = ReadBack("a.fit");
  ASSERT_EQ(values.size(), 1440u);
  for (std::size_t i = 0; i < values.size(); ++i) ASSERT_EQ(values[i], Value16(i) - 1) << i;
  EXPECT_EQ(VerifyErrors("a.fit"), std::vector<std::string>{});

  // The scale applies to the stored values, which for unsigned data are the
  // values less 32768 (seen as unsigned 16-bit numbers).
  Make({"write16", "b.fit", "40", "36"});
  Repair({"-scale", "0.5", "-out", "b2.fit", "b.fit"});
  values = ReadBack("b2.fit");
  ASSERT_EQ(values.size(), 1440u);
  for (std::size_t i = 0; i < values.size(); ++i) {
    const auto stored = static_cast<std::uint16_t>(static_cast<std::uint32_t>(Value16(i)) ^ 0x8000u);
    ASSERT_EQ(values[i], 32768 + static_cast<std::int16_t>(stored / 2)) << i;
  }

  Make({"write16", "c.fit", "40", "36"});
  Repair({"-bzero", "0", "c.fit"});
  values = ReadBack("c.fit");
  ASSERT_EQ(values.size(), 1440u);
  for (std::size_t i = 0; i < values.size(); ++i) ASSERT_EQ(values[i], Value16(i) - 32768) << i;
}

TEST_F(RealReaders, ThirtyTwoBitProducerFilesAreReadRightAfterRepair) {
  Make({"write32raw", "r.fit", "40", "18"});
  std::vector<double> values = ReadBack("r.fit");
  ASSERT_EQ(values.size(), 720u);
  EXPECT_NE(values[0], Value32(0));  // wrong before: the header claims an offset the data lacks
  const std::string report = Repair({"r.fit"});
  EXPECT_NE(report.find("\tBZERO 2147483647\n"), std::string::npos);  // 2.1474836480E+09, clamped
  values = ReadBack("r.fit");
  ASSERT_EQ(values.size(), 720u);
  for (std::size_t i = 0; i < values.size(); ++i) ASSERT_EQ(values[i], Value32(i)) << i;
  EXPECT_EQ(VerifyErrors("r.fit"), std::vector<std::string>{});
}

TEST_F(RealReaders, ThirtyTwoBitRegistaxFilesEndingInsideABlock) {
  Make({"write32raw", "r.fit", "30", "10", "registax"});  // 1200 bytes of data, then fill
  Repair({"-out", "out.fit", "r.fit"});
  const std::vector<double> values = ReadBack("out.fit");
  ASSERT_EQ(values.size(), 300u);
  for (std::size_t i = 0; i < values.size(); ++i) {
    // Lowered by one like 16-bit Registax data; 0 becomes -1 with BZERO 2147483647.
    const double expected = Value32(i) - 1;
    ASSERT_EQ(values[i], expected) << i;
  }
  // The fill stays zero, so the producer's malformed card is the only complaint.
  EXPECT_EQ(VerifyErrors("out.fit"), std::vector<std::string>{kRegistaxKeywordError});
}

TEST_F(RealReaders, RegistaxFilesAreLoweredByOne) {
  Make({"write16", "reg.fit", "40", "36", "registax"});
  Repair({"reg.fit"});
  const std::vector<double> values = ReadBack("reg.fit");
  ASSERT_EQ(values.size(), 1440u);
  for (std::size_t i = 0; i < values.size(); ++i) ASSERT_EQ(values[i], Value16(i) - 1) << i;
  // The producer's malformed card is kept; it is fitsverify's only complaint.
  EXPECT_EQ(VerifyErrors("reg.fit"), std::vector<std::string>{kRegistaxKeywordError});
}

// The zero fill after the last pixel was once repaired like pixels (lowered
// by one to 0xFFFF, or sign-shifted), and fitsverify then rejected the file.
TEST_F(RealReaders, TheFillOfADataAreaEndingInsideABlockStaysFill) {
  const struct {
    std::vector<std::string> make;
    std::vector<std::string> options;
    double change;  // how each value moves
    std::vector<std::string> errors;
  } kCases[] = {
      {{"write16", "f.fit", "100", "30", "registax"}, {}, -1, {kRegistaxKeywordError}},  // 6000 bytes of data
      {{"write16", "f.fit", "100", "30"}, {"-add", "-1"}, -1, {}},
      {{"write32raw", "f.fit", "30", "10"}, {}, 0, {}},  // 1200 bytes of data
      {{"write32raw", "f.fit", "30", "10"}, {"-add", "2"}, 2, {}},
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.make[0] + (c.options.empty() ? "" : " " + c.options[0]));
    Make(c.make);
    const std::vector<double> before = ReadBack("f.fit");
    EXPECT_EQ(VerifyErrors("f.fit"), c.errors);
    std::vector<std::string> args = c.options;
    args.push_back("f.fit");
    Repair(args);
    const std::vector<double> values = ReadBack("f.fit");
    ASSERT_EQ(values.size(), before.size());
    // 32-bit input reads wrong before (its header claims an offset its data lacks).
    const bool wide = c.make[0] == "write32raw";
    for (std::size_t i = 0; i < values.size(); ++i) {
      ASSERT_EQ(values[i], (wide ? Value32(i) : before[i]) + c.change) << i;
    }
    EXPECT_EQ(VerifyErrors("f.fit"), c.errors);
  }
}

TEST_F(RealReaders, ExtraBytesAreFitsverifysOnlyComplaint) {
  Make({"write16", "pad.fit", "40", "36"});
  Repair({"-padbytes", "10", "pad.fit"});
  EXPECT_EQ(ReadBack("pad.fit").size(), 1440u);
  EXPECT_EQ(VerifyErrors("pad.fit"),
            std::vector<std::string>{"*** Error:   File has extra byte(s) after last HDU at byte 5760."});
}

// The padding once stayed on for every later file of the run, which then
// failed fitsverify: only the short file gets it.
TEST_F(RealReaders, AstraImagePaddingRepairsAShortDataAreaAndNoOtherFile) {
  Make({"write16", "astra.fit", "80", "36", "astra"});  // NAXIS claims two blocks of data
  ASSERT_EQ(truncate(Path("astra.fit").c_str(), 2 * 2880), 0);  // as the producer writes it: one
  EXPECT_EQ(ReadBack("astra.fit"), std::vector<double>{});
  EXPECT_FALSE(VerifyErrors("astra.fit").empty());
  Make({"write16", "later.fit", "40", "36"});  // a correct file after it in the same run
  const RunResult run = Run({"astra.fit", "later.fit"});
  ASSERT_EQ(run.status, 0) << run.err;
  const std::vector<double> values = ReadBack("astra.fit");
  ASSERT_EQ(values.size(), 2880u);
  for (std::size_t i = 0; i < 1440; ++i) ASSERT_EQ(values[i], Value16(i)) << i;
  for (std::size_t i = 1440; i < 2880; ++i) ASSERT_EQ(values[i], 32768) << i;  // the added zeros
  EXPECT_EQ(VerifyErrors("astra.fit"), std::vector<std::string>{});
  EXPECT_EQ(VerifyErrors("later.fit"), std::vector<std::string>{});
  EXPECT_EQ(ReadBack("later.fit").size(), 1440u);
}

}  // namespace
}  // namespace corvane::testing
