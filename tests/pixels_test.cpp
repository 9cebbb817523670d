// End-to-end tests of the pixel phase through the binary: the data written for
// each path, data that must pass through unchanged, and refused data areas.
#include "fits/pixel_math.h"
#include "helpers.h"

namespace corvane::testing {
namespace {

using PixelRun = Scratch;

const std::string kBzero32768 = ValueCard("BZERO", "32768");

TEST_F(PixelRun, SixteenBitOffsetScaleAndStretch) {
  Write("a.fit", FitsFile(Header(16, {kBzero32768}), Be16({40000, 10, 3})));
  Run({"-scale", "2", "a.fit"});
  EXPECT_EQ(Pixels16(Read("a.fit")).at(0), 14464);
  Write("b.fit", FitsFile(Header(16, {kBzero32768}), Be16({10, 3})));
  Run({"-scale", "0.7", "b.fit"});
  EXPECT_EQ(Pixels16(Read("b.fit")).at(0), 6);
  Write("c.fit", FitsFile(Header(16, {kBzero32768}), Be16({1000, 500})));
  const RunResult run = Run({"-stretch", "c.fit"});
  EXPECT_EQ(run.out, "[do_stretch] ");
  EXPECT_EQ(Pixels16(Read("c.fit")).at(0), 65534);
  EXPECT_EQ(Pixels16(Read("c.fit")).at(1), 32767);
}

#if defined(__x86_64__)
// The tool on an emulated processor of the first x86-64 generation (no SSSE3,
// SSE4 or AVX): it runs, takes the portable loops and writes what the native
// run writes. Catches an instruction of a later level anywhere on the path and
// a choice of loops that trusts the wrong feature.
TEST_F(PixelRun, TheOldestX86ProcessorWritesTheSameBytes) {
  // Under qemu the sanitizers' shadow memory is out of reach, and the run is killed.
  if (kUnderAddressSanitizer) GTEST_SKIP() << "AddressSanitizer's build does not run under qemu";
  std::vector<std::uint16_t> pixels16;
  std::vector<std::uint32_t> pixels32;
  for (std::uint32_t i = 0; i < 5000; ++i) {
    pixels16.push_back(static_cast<std::uint16_t>(i * 40503u));
    pixels32.push_back(i * 2654435761u);
  }
  const std::vector<std::string> images = {FitsFile(Header(16, {kBzero32768}), Be16(pixels16)),
                                           FitsFile(Header(32), Be32(pixels32))};
  const std::vector<std::vector<std::string>> plans = {
      {"-add", "-1"}, {"-scale", "0.7"}, {"-stretch"}, {"-add", "3", "-scale", "-1e-3", "-stretch"}};
  for (const std::string& image : images) {
    for (std::vector<std::string> args : plans) {
      SCOPED_TRACE(args[0] + " on " + image.substr(10, 20));
      Write("native.fit", image);
      Write("old.fit", image);
      args.push_back("native.fit");
      const RunResult native = Run(args);
      args.back() = "old.fit";
      args.insert(args.begin(), {"qemu-x86_64", "-cpu", "qemu64", CORVANE_BINARY});
      const RunResult old = RunProgram(args);
      ASSERT_EQ(old.status, native.status) << old.err;
      EXPECT_EQ(old.err.substr(old.err.find('\n')), native.err.substr(native.err.find('\n')));
      EXPECT_EQ(Read("old.fit"), Read("native.fit"));
      EXPECT_NE(Read("old.fit"), image);
    }
  }
}
#endif

TEST_F(PixelRun, ThirtyTwoBitPixelsGetTheSignOffset) {
  Write("a.fit", FitsFile(Header(32), Be32({0, 2147483647u})));
  Run({"a.fit"});
  const std::vector<std::uint32_t> pixels = Pixels32(Read("a.fit"));
  EXPECT_EQ(pixels.at(0), 2147483649u);
  EXPECT_EQ(pixels.at(1), 0u);
}

TEST_F(PixelRun, FloatingPointDataAndTrailingBytesPassThrough) {
  const std::string data = std::string("\x3f\x80\x00\x00\x40\x00\x00\x00", 8) + "xyz";
  Write("f.fit", FitsFile(Header(-32), data));
  const RunResult run = Run({"f.fit"});
  EXPECT_TRUE(run.err.ends_with("\t[ADD 0, SCALE 1.00, BZERO 0]\n\tOK\n")) << run.err;
  EXPECT_EQ(Read("f.fit").substr(2880, data.size()), data);
  // Options that cannot change floating-point pixels once left the file
  // marked, unchanged, with OK: a later run then skipped it.
  Write("f.fit", FitsFile(Header(-32), data));
  for (const std::vector<std::string>& options :
       {std::vector<std::string>{"-add", "5"}, {"-scale", "3"}, {"-stretch"}}) {
    std::vector<std::string> args = options;
    args.push_back("f.fit");
    const RunResult refused = Run(args);
    EXPECT_EQ(refused.status, 1) << options[0];
    EXPECT_TRUE(refused.err.ends_with("Error: 'f.fit' left unchanged: its pixels are floating point (BITPIX -32), "
                                      "which -add, -scale and -stretch do not change\n")) << refused.err;
    EXPECT_EQ(Read("f.fit"), FitsFile(Header(-32), data)) << options[0];
  }
  Write("odd.fit", FitsFile(Header(32), Be32({1}) + "\x01\x02"));
  Run({"odd.fit"});
  EXPECT_EQ(Read("odd.fit").substr(2884, 2), "\x01\x02");
}

// An axis of length 0 anywhere makes an empty image: the data area is all fill.
TEST_F(PixelRun, AnEmptyImageHasNoPixelsWhateverTheOtherAxes) {
  const std::string fill(2880, '\x01');
  for (const auto& axes : std::vector<std::vector<std::string>>{{"100000", "0", "7"}, {"7", "100000", "0"}}) {
    Write("e.fit", FitsFile({ValueCard("SIMPLE", "T"), ValueCard("BITPIX", "16"), ValueCard("NAXIS", "3"),
                             ValueCard("NAXIS1", axes[0]), ValueCard("NAXIS2", axes[1]), ValueCard("NAXIS3", axes[2]),
                             kBzero32768, "END"}, fill));
    Run({"-add", "2", "e.fit"});
    EXPECT_TRUE(Read("e.fit").substr(2880) == fill && Card(Read("e.fit"), 7).starts_with("COMMENT =Mangled")) << axes[1];
  }
}

TEST_F(PixelRun, AHeaderOnlyFileIsStillMarked) {
  Write("h.fit", FitsFile(Header(16, {kBzero32768})));
  const RunResult run = Run({"-stretch", "-add", "3", "h.fit"});
  EXPECT_TRUE(run.err.ends_with("\tOK\n"));
  const std::string bytes = Read("h.fit");
  EXPECT_EQ(bytes.size(), 2880u);
  EXPECT_TRUE(Card(bytes, 5).starts_with("COMMENT =Mangled by CORVANE"));
}

TEST_F(PixelRun, FilesWithExtensionsAreRefusedUntouched) {
  const std::string extension = FitsFile({"XTENSION= 'IMAGE   '", "END"});
  const std::string bytes = FitsFile(Header(16, {kBzero32768}), std::string(2880, '\1') + extension);
  Write("ext.fit", bytes);
  const RunResult run = Run({"ext.fit"});
  EXPECT_EQ(run.err, "ext.fit\n\tBPP 16\n\tBZERO 32768\n"
                     "Error: 'ext.fit' has FITS extensions; only single-image files are repaired\n");
  EXPECT_EQ(Read("ext.fit"), bytes);
}

TEST_F(PixelRun, ADataAreaOfSeveralChunksMatchesTheWholeTransform) {
  // Two and a half chunks and an odd byte; the stretch maximum lies in the
  // last chunk only, and an extension header starts the second chunk.
  constexpr std::size_t kChunk = 2880 * 364;
  std::string data(kChunk * 5 / 2 + 1, '\0');
  for (std::size_t i = 0; i < data.size(); ++i) data[i] = static_cast<char>((i * 37) % 61);
  data[data.size() - 9] = '\x7f';
  const std::vector<std::pair<std::vector<std::string>, PixelPlan>> plans = {
      {{"-add", "-1"}, {-1, 1.0, false}}, {{"-scale", "0.7", "-stretch"}, {0, 0.7, true}}, {{"-stretch"}, {0, 1.0, true}}};
  for (const int bitpix : {16, 32}) {
    for (const auto& [options, plan] : plans) {
      SCOPED_TRACE(std::to_string(bitpix) + " " + options[0]);
      std::string expected = data;
      auto* bytes = reinterpret_cast<std::uint8_t*>(expected.data());
      if (bitpix == 16) Transform16(bytes, static_cast<std::int64_t>(expected.size()), plan);
      if (bitpix == 32) Transform32(bytes, static_cast<std::int64_t>(expected.size()), plan);
      Write("a.fit", FitsFile(Header(bitpix, {kBzero32768}), data));
      std::vector<std::string> args = options;
      args.push_back("a.fit");
      EXPECT_TRUE(Run(args).err.ends_with("\tOK\n"));
      EXPECT_TRUE(Read("a.fit").substr(2880, data.size()) == expected);
    }
  }
  std::string extended = data;
  extended.replace(kChunk, 9, "XTENSION=");
  // In place the chunks after the first are checked while the copy is written,
  // so the parameter line comes first and the copy is dropped; a stretch and
  // an output file still refuse the file before a byte is written.
  for (const std::vector<std::string>& args :
       std::vector<std::vector<std::string>>{{"x.fit"}, {"-stretch", "x.fit"}, {"-out", "o.fit", "x.fit"}}) {
    SCOPED_TRACE(args[0]);
    Write("x.fit", FitsFile(Header(16, {kBzero32768}), extended));
    const RunResult run = Run(args);
    EXPECT_TRUE(run.err.ends_with("Error: 'x.fit' has FITS extensions; only single-image files are repaired\n"))
        << run.err;
    EXPECT_EQ(run.err.find("\t[ADD") != std::string::npos, args.size() == 1) << run.err;
    EXPECT_TRUE(Read("x.fit") == FitsFile(Header(16, {kBzero32768}), extended));
    EXPECT_EQ(Listing(), (std::vector<std::string>{"a.fit", "x.fit"}));
  }
}

}  // namespace
}  // namespace corvane::testing
