// Unit tests for the pixel arithmetic: the integer products against the x87
// extended format (on x86-64, where long double is that format), the stretch
// factor, byte swapping, the whole-buffer transforms on known values, and the
// data checksum the two passes compare.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <limits>
#include <random>
#include <vector>

#include "fits/fits.h"
#include "fits/pixel_math.h"
#include "fits_builder.h"

namespace corvane {
namespace {

using testing::Be16;
using testing::Be32;

constexpr bool kLongDoubleIsExtended = std::numeric_limits<long double>::digits == 64;

// What an x87 multiply and truncating store give: the oracle.
template <typename Int>
Int Extended(std::uint32_t pixel, double factor) {
  const long double product = static_cast<long double>(pixel) * static_cast<long double>(factor);
  if (std::isnan(product)) return std::numeric_limits<Int>::min();
  const long double truncated = std::trunc(product);
  if (truncated < static_cast<long double>(std::numeric_limits<Int>::min()) ||
      truncated > static_cast<long double>(std::numeric_limits<Int>::max())) {
    return std::numeric_limits<Int>::min();
  }
  return static_cast<Int>(truncated);
}

void ExpectBothWidthsMatch(std::uint32_t pixel, double factor) {
  const Factor f = Decompose(factor);
  ASSERT_EQ(ScaleToInt32(pixel, f), Extended<std::int32_t>(pixel, factor)) << pixel << " * " << factor;
  ASSERT_EQ(ScaleToInt64(pixel, f), Extended<std::int64_t>(pixel, factor)) << pixel << " * " << factor;
}

TEST(PixelProduct, KnownValuesWhereDoublePrecisionGoesWrong) {
  // 0.7 is stored a little below 0.7; with a 64-bit significand 10 * 0.7 stays below 7.
  EXPECT_EQ(ScaleToInt32(10, Decompose(0.7)), 6);
  EXPECT_EQ(static_cast<std::int32_t>(10 * 0.7), 7);  // what a double product would give
  EXPECT_EQ(ScaleToInt32(40000, Decompose(2.0)), 80000);
  EXPECT_EQ(ScaleToInt32(3, Decompose(0.5)), 1);
  EXPECT_EQ(ScaleToInt32(7, Decompose(-0.5)), -3);  // toward zero, not down
}

TEST(PixelProduct, OutOfRangeAndNotANumberGiveTheSignBitOnly) {
  constexpr double kInf = std::numeric_limits<double>::infinity();
  constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
  EXPECT_EQ(ScaleToInt32(65535, Decompose(1e6)), INT32_MIN);
  EXPECT_EQ(ScaleToInt32(1, Decompose(2147483648.0)), INT32_MIN);
  EXPECT_EQ(ScaleToInt32(1, Decompose(-2147483648.0)), INT32_MIN);  // fits exactly
  EXPECT_EQ(ScaleToInt32(1, Decompose(2147483647.0)), INT32_MAX);
  EXPECT_EQ(ScaleToInt32(5, Decompose(kInf)), INT32_MIN);
  EXPECT_EQ(ScaleToInt32(0, Decompose(kInf)), INT32_MIN);  // 0 * inf is not a number
  EXPECT_EQ(ScaleToInt32(5, Decompose(kNaN)), INT32_MIN);
  EXPECT_EQ(ScaleToInt64(4294967295u, Decompose(1e300)), INT64_MIN);
  EXPECT_EQ(ScaleToInt64(4294967295u, Decompose(-1e300)), INT64_MIN);
  EXPECT_EQ(ScaleToInt64(0, Decompose(1e300)), 0);
}

TEST(PixelProduct, MatchesTheExtendedFormatOnEdgeCases) {
  if (!kLongDoubleIsExtended) GTEST_SKIP() << "long double is not the x87 format here";
  const double factors[] = {0.0, -0.0, 1.0, -1.0, 0.7, 0.1, 1.0000001, 2.0, 0.5, 65535.0 / 1000,
                            std::nextafter(1.0, 0.0), std::nextafter(1.0, 2.0), 1e-300, 5e-324,
                            -5e-324, 1e15, 4294967296.0, 2147483648.0, 9.2233720368547758e18, 1e300,
                            std::numeric_limits<double>::max(), std::numeric_limits<double>::infinity(),
                            -std::numeric_limits<double>::infinity(),
                            std::numeric_limits<double>::quiet_NaN()};
  const std::uint32_t pixels[] = {0, 1, 2, 3, 10, 255, 1000, 32767, 32768, 40000, 65535, 65536,
                                  2147483647u, 2147483648u, 4294967295u};
  for (double factor : factors) {
    for (std::uint32_t pixel : pixels) ExpectBothWidthsMatch(pixel, factor);
  }
}

TEST(PixelProduct, MatchesTheExtendedFormatOnAMillionRandomPairs) {
  if (!kLongDoubleIsExtended) GTEST_SKIP() << "long double is not the x87 format here";
  std::mt19937_64 random(20261208);
  for (int i = 0; i < 1'000'000; ++i) {
    const std::uint64_t bits = random();
    // Factors across a wide but relevant range of magnitudes, both signs.
    const double factor = std::ldexp(static_cast<double>(bits >> 11) / 9007199254740992.0,
                                     static_cast<int>(random() % 80) - 40) *
                          ((bits & 1) != 0 ? -1.0 : 1.0);
    const auto pixel = static_cast<std::uint32_t>((i & 1) != 0 ? random() : random() & 0xFFFF);
    ExpectBothWidthsMatch(pixel, factor);
  }
}

// Factors built so that the exact product lies exactly halfway between two
// 64-bit significands, where rounding to even decides.
TEST(PixelProduct, MatchesTheExtendedFormatOnExactTies) {
  if (!kLongDoubleIsExtended) GTEST_SKIP() << "long double is not the x87 format here";
  __extension__ typedef unsigned __int128 U128;
  std::mt19937_64 random(7);
  int ties = 0;
  for (int i = 0; i < 20000; ++i) {
    const std::uint32_t pixel = static_cast<std::uint32_t>(random()) | 0x80000001u;  // odd, 32 bits
    std::uint64_t inverse = pixel;  // pixel^-1 modulo 2^64, by Newton's iteration
    for (int k = 0; k < 6; ++k) inverse *= 2 - pixel * inverse;
    std::uint64_t mantissa = (random() >> 11) | (std::uint64_t{1} << 52);
    const auto high = static_cast<std::uint64_t>((static_cast<U128>(pixel) * mantissa) >> 64);
    const int length = 128 - __builtin_clzll(high);
    const int dropped = length - 64;
    const std::uint64_t mask = (std::uint64_t{1} << dropped) - 1;
    mantissa = (mantissa & ~mask) | (((std::uint64_t{1} << (dropped - 1)) * inverse) & mask);
    const U128 product = static_cast<U128>(pixel) * mantissa;
    if ((static_cast<std::uint64_t>(product) & mask) == (std::uint64_t{1} << (dropped - 1))) ++ties;
    const double factor = std::ldexp(static_cast<double>(mantissa), -static_cast<int>(random() % 90));
    ExpectBothWidthsMatch(pixel, factor);
  }
  EXPECT_GT(ties, 10000);
}

TEST(StretchFactor, IsTheQuotientRoundedTwice) {
  EXPECT_EQ(StretchFactor(65535, 4096), 65535.0 / 4096);
  EXPECT_EQ(StretchFactor(65535, 1000), 65.535);  // the double nearest 65.535, which lies below it
  EXPECT_EQ(StretchFactor(65535, 0), std::numeric_limits<double>::infinity());
  if (!kLongDoubleIsExtended) return;
  std::mt19937_64 random(99);
  for (int i = 0; i < 200000; ++i) {
    const auto maximum = static_cast<std::uint32_t>((i & 1) != 0 ? random() : random() % 65536 + 1);
    if (maximum == 0) continue;
    for (std::uint32_t numerator : {65535u, 4294967295u}) {
      const auto expected = static_cast<double>(static_cast<long double>(numerator) / maximum);
      ASSERT_EQ(StretchFactor(numerator, maximum), expected) << numerator << " / " << maximum;
    }
  }
}

TEST(ByteSwap, SwapsWholeGroupsOnlyAndUndoesItself) {
  std::vector<std::uint8_t> data = {1, 2, 3, 4, 5, 6, 7};
  byteswap(data.data(), 7, 16);
  EXPECT_EQ(data, (std::vector<std::uint8_t>{2, 1, 4, 3, 6, 5, 7}));
  byteswap(data.data(), 7, 16);
  byteswap(data.data(), 7, 32);
  EXPECT_EQ(data, (std::vector<std::uint8_t>{4, 3, 2, 1, 5, 6, 7}));
  byteswap(data.data(), 7, -32);
  EXPECT_EQ(data, (std::vector<std::uint8_t>{4, 3, 2, 1, 5, 6, 7}));
}

TEST(Bzero, ClearsTheCountAndNothingForZeroOrLess) {
  std::vector<std::uint8_t> data(4, 9);
  bzero(data.data(), -5);
  bzero(data.data(), 0);
  EXPECT_EQ(data, (std::vector<std::uint8_t>{9, 9, 9, 9}));
  bzero(data.data(), 3);
  EXPECT_EQ(data, (std::vector<std::uint8_t>{0, 0, 0, 9}));
}

// Runs a transform over pixels given in host order and returns them in host order.
std::vector<std::uint16_t> Run16(const std::vector<std::uint16_t>& pixels, PixelPlan plan,
                                 const std::string& tail = "") {
  std::string bytes = Be16(pixels) + tail;
  Transform16(reinterpret_cast<std::uint8_t*>(bytes.data()), static_cast<std::int64_t>(bytes.size()), plan);
  if (!tail.empty()) {
    EXPECT_EQ(bytes.substr(bytes.size() - tail.size()), tail);
  }
  return testing::Pixels16(bytes, 0);
}
std::vector<std::uint32_t> Run32(const std::vector<std::uint32_t>& pixels, PixelPlan plan) {
  std::string bytes = Be32(pixels);
  Transform32(reinterpret_cast<std::uint8_t*>(bytes.data()), static_cast<std::int64_t>(bytes.size()), plan);
  return testing::Pixels32(bytes, 0);
}

TEST(Transform16, OffsetWrapsModulo65536) {
  EXPECT_EQ(Run16({0, 1, 2}, {-1, 1.0, false}), (std::vector<std::uint16_t>{65535, 0, 1}));
  EXPECT_EQ(Run16({65535, 65000}, {1000, 1.0, false}), (std::vector<std::uint16_t>{999, 464}));
}

TEST(Transform16, ScaleTruncatesAndWraps) {
  EXPECT_EQ(Run16({40000}, {0, 2.0, false}), std::vector<std::uint16_t>{14464});
  EXPECT_EQ(Run16({3}, {0, 0.5, false}), std::vector<std::uint16_t>{1});
  EXPECT_EQ(Run16({10}, {0, 0.7, false}), std::vector<std::uint16_t>{6});
  EXPECT_EQ(Run16({10, 10}, {0, 1.0000001, false}), (std::vector<std::uint16_t>{10, 10}));
  EXPECT_EQ(Run16({100}, {0, 1e12, false}), std::vector<std::uint16_t>{0});  // overflow: sign bit only
  EXPECT_EQ(Run16({3}, {0, -1.0, false}), std::vector<std::uint16_t>{65533});
}

TEST(Transform16, StretchMapsTheRunningMaximumTo65535) {
  EXPECT_EQ(Run16({4096, 2048}, {0, 1.0, true}), (std::vector<std::uint16_t>{65535, 32767}));
  EXPECT_EQ(Run16({1000, 500}, {0, 1.0, true}), (std::vector<std::uint16_t>{65534, 32767}));
  // The maximum includes the first pixel's incoming value: 4096 before the offset.
  EXPECT_EQ(Run16({4096, 2048}, {-2048, 1.0, true}), (std::vector<std::uint16_t>{32767, 0}));
  // A maximum of 0 makes the factor infinite and every pixel 0.
  EXPECT_EQ(Run16({0, 0}, {0, 1.0, true}), (std::vector<std::uint16_t>{0, 0}));
}

// The table of a 16-bit file takes the same shortcut as the 32-bit loop; it
// must agree with the exact routine for every value.
TEST(Transform16, ScaledValuesMatchTheExactProductForEveryValue) {
  std::vector<std::uint16_t> every(65536);
  for (std::uint32_t v = 0; v < 65536; ++v) every[v] = static_cast<std::uint16_t>(v);
  std::vector<double> factors = {0.7, 1.0000001, 0.1, 65535.0 / 1000, -3.5, 1e-9, 40000.0};
  // Factors that put some products a hair below an integer: 1/n rounded down.
  for (int n = 3; n < 40; n += 4) factors.push_back(std::nextafter(1.0 / n, 0.0));
  for (const double factor : factors) {
    const std::vector<std::uint16_t> result = Run16(every, {0, factor, false});
    const Factor exact = Decompose(factor);
    for (std::uint32_t v = 0; v < 65536; ++v) {
      ASSERT_EQ(result[v], static_cast<std::uint16_t>(ScaleToInt32(v, exact))) << v << " * " << factor;
    }
  }
}

TEST(Transform16, LeavesATrailingOddByteAndAnEmptyBufferAlone) {
  EXPECT_EQ(Run16({5}, {1, 1.0, false}, "\x7f"), std::vector<std::uint16_t>{6});
  Transform16(nullptr, 0, {1, 2.0, true});
  Transform16(nullptr, 1, {1, 2.0, true});
}

TEST(Transform32, SignOffsetIsAlwaysApplied) {
  EXPECT_EQ(Run32({0, 2147483647u, 4294967295u}, {0, 1.0, false}),
            (std::vector<std::uint32_t>{2147483649u, 0, 2147483648u}));
  EXPECT_EQ(Run32({5}, {-6, 1.0, false}), std::vector<std::uint32_t>{4294967295u - 2147483647u});
}

TEST(Transform32, ScaleAndStretch) {
  EXPECT_EQ(Run32({10, 3000000000u}, {0, 0.7, false}),
            (std::vector<std::uint32_t>{6 + 2147483649u, 2100000000u + 2147483649u - 1}));
  // Out of the signed 64-bit range: the pixel becomes 0 before the sign offset.
  EXPECT_EQ(Run32({4000000000u}, {0, 1e20, false}), std::vector<std::uint32_t>{2147483649u});
  EXPECT_EQ(Run32({65536, 32768}, {0, 1.0, true}),
            (std::vector<std::uint32_t>{4294967295u - 2147483647u, 2147483647u - 2147483647u}));
  EXPECT_EQ(Run32({0, 0}, {0, 1.0, true}), (std::vector<std::uint32_t>{2147483649u, 2147483649u}));
}

// The 32-bit loop takes a shortcut for products far from the next integer; it
// must agree with the exact routine everywhere, above all near integers.
TEST(Transform32, ScaledPixelsMatchTheExactProductEverywhere) {
  std::mt19937_64 random(42);
  std::vector<double> factors = {0.7, 0.1, 1.0000001, 3.0, 1e-7, 123456.789, -0.7, 1e15, 0.3333333333333333};
  for (int k = 0; k < 40; ++k) {
    factors.push_back(std::ldexp(static_cast<double>(random() >> 11), -53 - static_cast<int>(random() % 60)));
  }
  for (const double factor : factors) {
    std::vector<std::uint32_t> pixels;
    for (std::uint32_t p = 0; p < 2000; ++p) pixels.push_back(p * 10);  // 0.7 * 10k lies just below 7k
    for (int k = 0; k < 4000; ++k) pixels.push_back(static_cast<std::uint32_t>(random()));
    const std::vector<std::uint32_t> result = Run32(pixels, {0, factor, false});
    const Factor exact = Decompose(factor);
    for (std::size_t i = 0; i < pixels.size(); ++i) {
      const auto expected = static_cast<std::uint32_t>(ScaleToInt64(pixels[i], exact)) + 2147483649u;
      ASSERT_EQ(result[i], expected) << pixels[i] << " * " << factor;
    }
  }
  // Products a hair below an integer, by delta units of 2^-53, where rounding
  // to a 64-bit significand decides whether they reach it.
  int rounded_up = 0;
  for (int k = 0; k < 2000; ++k) {
    const std::uint32_t pixel = static_cast<std::uint32_t>(random()) | 0x80000001u;
    std::uint64_t inverse = pixel;  // pixel^-1 modulo 2^64
    for (int n = 0; n < 6; ++n) inverse *= 2 - pixel * inverse;
    const std::uint64_t delta = std::uint64_t{1} << (k % 23);
    const std::uint64_t mantissa = (0 - delta * inverse) & ((std::uint64_t{1} << 53) - 1);
    const double factor = std::ldexp(static_cast<double>(mantissa), -53);
    const std::int64_t exact = ScaleToInt64(pixel, Decompose(factor));
    __extension__ typedef unsigned __int128 U128;
    const auto truncated = static_cast<std::int64_t>((static_cast<U128>(pixel) * mantissa) >> 53);
    if (exact != truncated) ++rounded_up;
    ASSERT_EQ(Run32({pixel}, {0, factor, false})[0], static_cast<std::uint32_t>(exact) + 2147483649u)
        << pixel << " * " << factor;
  }
  EXPECT_GT(rounded_up, 100);
}

// A checksum that missed a changed byte (one lane, the tail, the order of
// words, the length) would let pixels of two versions through.
TEST(DataSum, AnyChangedByteOrLengthChangesTheSum) {
  std::vector<std::uint8_t> data(1000);
  for (std::size_t k = 0; k < data.size(); ++k) data[k] = static_cast<std::uint8_t>(k * 7 + 3);
  const auto length = static_cast<std::int64_t>(data.size());
  const std::uint64_t base = DataSum(0, data.data(), length);
  EXPECT_EQ(DataSum(0, data.data(), length), base);
  for (const std::size_t at : {0u, 7u, 8u, 15u, 24u, 31u, 32u, 500u, 991u, 999u}) {
    SCOPED_TRACE(at);
    data[at] ^= 1;
    EXPECT_NE(DataSum(0, data.data(), length), base);
    data[at] ^= 1;
  }
  std::vector<std::uint8_t> swapped = data;
  std::swap_ranges(swapped.begin(), swapped.begin() + 8, swapped.begin() + 32);  // same lane, other order
  EXPECT_NE(DataSum(0, swapped.data(), length), base);
  EXPECT_NE(DataSum(0, data.data(), length - 1), base);
  // A running sum over chunks depends on every chunk.
  const std::uint64_t first = DataSum(0, data.data(), 512);
  EXPECT_NE(DataSum(first, data.data() + 512, length - 512), DataSum(0, data.data() + 512, length - 512));
}

}  // namespace
}  // namespace corvane
