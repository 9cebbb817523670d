// Unit tests for the run-time choice of pixel loops: every form this processor
// runs gives the bytes of the exact function (the portable form's reference)
// on edge factors, edge pixels and products a hair from a whole number.
#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstdint>
#include <limits>
#include <random>
#include <string>
#include <vector>

#include "fits/pixel_kernels.h"
#include "fits/pixel_math.h"
#include "fits_builder.h"

namespace corvane {
namespace {

using kernels::Isa;
using testing::Be16;
using testing::Be32;

constexpr std::uint32_t kSignOffset = 2147483649u;

// The forms to check here: the portable one always, the others where they run.
std::vector<Isa> FormsHere() {
  std::vector<Isa> forms;
  for (const Isa isa : {Isa::kPortable, Isa::kAvx2}) {
    if (kernels::Supports(isa)) forms.push_back(isa);
  }
  return forms;
}

std::string Name(Isa isa) { return isa == Isa::kPortable ? "portable" : "avx2"; }

// Puts the form back to the fastest once a test is over.
class PixelKernels : public ::testing::Test {
 protected:
  void TearDown() override {
    for (const Isa isa : FormsHere()) kernels::Use(isa);
  }
};

// Runs the 32-bit transform under `isa`; pixels in host order in and out.
std::vector<std::uint32_t> Run32(Isa isa, const std::vector<std::uint32_t>& pixels, PixelPlan plan) {
  kernels::Use(isa);
  std::string bytes = Be32(pixels);
  Transform32(reinterpret_cast<std::uint8_t*>(bytes.data()), static_cast<std::int64_t>(bytes.size()), plan);
  return testing::Pixels32(bytes, 0);
}

// Checks every pixel against the exact function, under every form.
void ExpectExact(const std::vector<std::uint32_t>& pixels, std::int32_t add, double factor) {
  const Factor exact = Decompose(factor);
  for (const Isa isa : FormsHere()) {
    const std::vector<std::uint32_t> result = Run32(isa, pixels, {add, factor, false});
    for (std::size_t i = 0; i < pixels.size(); ++i) {
      const std::uint32_t value = pixels[i] + static_cast<std::uint32_t>(add);
      ASSERT_EQ(result[i], static_cast<std::uint32_t>(ScaleToInt64(value, exact)) + kSignOffset)
          << Name(isa) << ": (" << pixels[i] << " + " << add << ") * " << std::hexfloat << factor;
    }
  }
}

TEST_F(PixelKernels, ThePortableFormCanAlwaysBeChosen) {
  // A dispatch that ignored the choice would leave the tests below checking one form.
  kernels::Use(Isa::kPortable);
  EXPECT_EQ(kernels::Active(), Isa::kPortable);
  const Factor factor = Decompose(0.7);
  std::uint8_t pixel[4] = {0, 0, 0, 10};
  EXPECT_FALSE(kernels::Scale32(pixel, pixel, 1, 0, factor, 0));
  if (kernels::Supports(Isa::kAvx2)) {
    kernels::Use(Isa::kAvx2);
    EXPECT_EQ(kernels::Active(), Isa::kAvx2);
    EXPECT_TRUE(kernels::Scale32(pixel, pixel, 1, 0, factor, 0));
    EXPECT_EQ(pixel[3], 6);  // 10 * 0.7 lies just below 7
    // A factor that is not a number is left to the exact function.
    EXPECT_FALSE(kernels::Scale32(pixel, pixel, 1, 0, Decompose(std::numeric_limits<double>::infinity()), 0));
  }
}

// Edge factors on edge pixels, four at a time and in the tail, with an offset
// that wraps: catches a wrong unsigned conversion, a sign handled on the wrong
// side, a product past 2^52 taken from the double, an infinite or
// not-a-number factor given to the vector path.
TEST_F(PixelKernels, EdgeFactorsOnEdgePixels) {
  const double inf = std::numeric_limits<double>::infinity();
  const std::vector<double> factors = {0.0, -0.0, 1.0, -1.0, 0.7, -0.7, 0.5, 2.0, 3.0,
                                       std::numeric_limits<double>::denorm_min(), -std::numeric_limits<double>::denorm_min(),
                                       std::numeric_limits<double>::min(), 1e-300, 1e300, -1e300,
                                       std::numeric_limits<double>::max(), inf, -inf, std::nan(""),
                                       0x1p20, std::nextafter(0x1p20, 0.0), std::nextafter(0x1p20, inf), 0x1p-20,
                                       0x1p31, std::nextafter(0x1p31, 0.0), -0x1p31, 0x1p32, std::nextafter(0x1p32, 0.0),
                                       -0x1p32, 0x1p21 - 1, 4503599627370495.0 / 4294967295.0,
                                       4503599627370496.0 / 4294967295.0, 9.2233720368547758e18 / 4294967295.0};
  std::vector<std::uint32_t> pixels = {0, 1, 2, 3, 0x7FFFFFFF, 0x80000000, 0xFFFFFFFF, 0xFFFFFFFE,
                                       1048575, 1048576, 1048577, 10, 20, 30, 65535, 65536, 12345};
  std::mt19937_64 random(18);
  for (int k = 0; k < 200; ++k) pixels.push_back(static_cast<std::uint32_t>(random()));
  for (const double factor : factors) {
    for (const std::int32_t add : {0, -1, 1, INT32_MIN}) ExpectExact(pixels, add, factor);
  }
}

// Products within 2^-62 of a whole number, on both sides of the point where
// rounding to a 64-bit significand reaches it: pixel * m = n * 2^53 + r, then
// the factor m * 2^(j - 53) puts the product r * 2^(j - 53) from n * 2^j.
// Catches a wrong half-unit (power-of-two results), a lost tie and an error
// term taken with the wrong sign.
TEST_F(PixelKernels, ProductsAHairFromAWholeNumber) {
  std::mt19937_64 random(7);
  for (int k = 0; k < 600; ++k) {
    // Pixels of every size: small ones give small whole numbers, where the
    // 64-bit half unit is smaller than the distance.
    const int bits = 1 + k % 32;
    const std::uint32_t pixel = (static_cast<std::uint32_t>(random()) >> (32 - bits)) | 1u;
    std::uint64_t inverse = pixel;  // pixel^-1 modulo 2^64
    for (int n = 0; n < 6; ++n) inverse *= 2 - pixel * inverse;
    std::vector<double> factors;
    for (const std::int64_t r : {-3, -2, -1, 1, 2}) {
      const std::uint64_t mantissa = (static_cast<std::uint64_t>(r) * inverse) & ((std::uint64_t{1} << 53) - 1);
      for (const int j : {0, 3, 11, 20, 31, 40, 48, 52}) {
        factors.push_back(std::ldexp(static_cast<double>(mantissa), j - 53));
        factors.push_back(-factors.back());
      }
    }
    for (const double factor : factors) {
      // Four lanes, the pixel in each place, and a tail of one.
      ExpectExact({pixel, pixel, 7, pixel, pixel + 0, pixel, 1, 2, pixel}, 0, factor);
    }
  }
}

// Whole numbers a double lands on exactly while the product lies below it,
// from the inverse of small odd numbers: the counts of results that rounding
// keeps and that it lets fall show both branches were taken.
TEST_F(PixelKernels, BelowAWholeNumberBothWays) {
  int kept = 0;
  int fell = 0;
  for (std::uint32_t divisor = 3; divisor < 400; divisor += 2) {
    for (const double factor : {1.0 / divisor, std::nextafter(1.0 / divisor, 0.0), 0x1p30 / divisor}) {
      std::vector<std::uint32_t> pixels;
      for (std::uint32_t m = 1; m < 64; ++m) pixels.push_back(divisor * m);
      for (std::uint32_t m = 1; m < 64; ++m) pixels.push_back(0xFFFFFFFFu / divisor * divisor - divisor * m);
      ExpectExact(pixels, 0, factor);
      const Factor exact = Decompose(factor);
      for (const std::uint32_t p : pixels) {
        const double product = p * factor;
        if (product != std::trunc(product) || product == 0) continue;
        (ScaleToInt64(p, exact) == static_cast<std::int64_t>(product) ? kept : fell) += 1;
      }
    }
  }
  EXPECT_GT(kept, 100);
  EXPECT_GT(fell, 100);
}

// Products just below a power of two 2^k, which lie in the binade below, where
// half a 64-bit unit is 2^(k - 65): pixel * m = 2^e - t with t found by search.
// Catches a half unit taken from the power of two's own binade.
TEST_F(PixelKernels, ProductsJustBelowAPowerOfTwo) {
  __extension__ typedef unsigned __int128 U128;
  std::mt19937_64 random(11);
  int found = 0;
  for (int k = 0; k < 400000 && found < 40; ++k) {
    const std::uint32_t pixel = (static_cast<std::uint32_t>(random()) >> (k % 12)) | 0x80001u;
    const int e = std::bit_width(pixel) + 52;
    const auto t = static_cast<std::uint64_t>((static_cast<U128>(1) << e) % pixel);
    // Between a half unit and a whole one of the binade below, or exactly half.
    const std::uint64_t half = std::uint64_t{1} << (e - 65);
    if (t < half || t >= 2 * half) continue;
    const auto mantissa = static_cast<std::uint64_t>(((static_cast<U128>(1) << e) - t) / pixel);
    if (mantissa >= (std::uint64_t{1} << 53)) continue;
    ++found;
    for (const int power : {0, 12, 31, 45}) {
      const double factor = std::ldexp(static_cast<double>(mantissa), power - e);
      ExpectExact({pixel, 5, pixel, pixel, pixel}, 0, factor);
      ExpectExact({pixel, pixel, 9, pixel}, 0, -factor);
      // The case is the one meant: the double lands on the power of two, the exact result below it.
      ASSERT_EQ(pixel * factor, std::ldexp(1.0, power));
      if (t > half) {
        ASSERT_EQ(ScaleToInt64(pixel, Decompose(factor)), (std::int64_t{1} << power) - 1);
      }
    }
  }
  EXPECT_GE(found, 10);
}

// Random factors over the whole exponent range on random pixels, through the
// stretch path too (a scale, then the stretch as one more scale).
TEST_F(PixelKernels, RandomFactorsAndTheStretchMatchThePortableForm) {
  std::mt19937_64 random(3);
  std::vector<std::uint32_t> pixels(4099);
  for (std::uint32_t& p : pixels) p = static_cast<std::uint32_t>(random() >> (random() % 32));
  for (int k = 0; k < 300; ++k) {
    const double factor = std::ldexp(static_cast<double>(random() >> 11), -53 + static_cast<int>(random() % 90) - 40);
    ExpectExact(pixels, static_cast<std::int32_t>(random() % 5) - 2, k % 2 == 0 ? factor : -factor);
  }
  for (const PixelPlan plan : {PixelPlan{0, 0.7, true}, PixelPlan{-1, 1.0, true}, PixelPlan{3, 1e-5, true}}) {
    const std::vector<std::uint32_t> portable = Run32(Isa::kPortable, pixels, plan);
    for (const Isa isa : FormsHere()) EXPECT_EQ(Run32(isa, pixels, plan), portable) << Name(isa);
  }
}

// The offset loops under every form, with lengths that leave a vector tail:
// catches a byte order lost in the wider loop.
TEST_F(PixelKernels, OffsetsAgreeUnderEveryForm) {
  for (const std::size_t count : {std::size_t{0}, std::size_t{1}, std::size_t{31}, std::size_t{1000}}) {
    std::vector<std::uint16_t> pixels16(count);
    std::vector<std::uint32_t> pixels32(count);
    for (std::size_t i = 0; i < count; ++i) {
      pixels16[i] = static_cast<std::uint16_t>(i * 2654435761u);
      pixels32[i] = static_cast<std::uint32_t>(i * 2654435761u);
    }
    for (const Isa isa : FormsHere()) {
      kernels::Use(isa);
      std::string bytes16 = Be16(pixels16);
      Transform16(reinterpret_cast<std::uint8_t*>(bytes16.data()), static_cast<std::int64_t>(bytes16.size()),
                  {-7, 1.0, false});
      std::string bytes32 = Be32(pixels32);
      Transform32(reinterpret_cast<std::uint8_t*>(bytes32.data()), static_cast<std::int64_t>(bytes32.size()),
                  {-7, 1.0, false});
      const std::vector<std::uint16_t> out16 = testing::Pixels16(bytes16, 0);
      const std::vector<std::uint32_t> out32 = testing::Pixels32(bytes32, 0);
      for (std::size_t i = 0; i < count; ++i) {
        ASSERT_EQ(out16[i], static_cast<std::uint16_t>(pixels16[i] - 7)) << Name(isa);
        ASSERT_EQ(out32[i], pixels32[i] - 7 + kSignOffset) << Name(isa);
      }
    }
  }
}

}  // namespace
}  // namespace corvane
