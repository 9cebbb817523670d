// Pixel arithmetic with the results of 64-bit-significand (x87 extended)
// products, computed exactly in integers so they are the same on every
// platform, and the whole-buffer transforms built on it.
#pragma once

#include <cstdint>

namespace corvane {

// A double taken apart once, so that each product with it is integer work.
struct Factor {
  enum class Kind { kFinite, kInfinite, kNaN };
  Kind kind = Kind::kFinite;
  bool negative = false;
  std::uint64_t mantissa = 0;  // |value| = mantissa * 2^exponent
  int exponent = 0;
};
Factor Decompose(double value);

// pixel * factor, rounded once to a 64-bit significand (nearest, ties to even),
// then truncated toward zero. A result outside the signed 32-bit (or 64-bit)
// range, or not a number, gives the value with only the sign bit set.
std::int32_t ScaleToInt32(std::uint32_t pixel, const Factor& factor);
std::int64_t ScaleToInt64(std::uint32_t pixel, const Factor& factor);

// numerator / maximum rounded to a 64-bit significand, then to a double; +inf
// when maximum is 0.
double StretchFactor(std::uint32_t numerator, std::uint32_t maximum);

// What to do to every pixel of one file.
struct PixelPlan {
  std::int32_t add = 0;
  double scale = 1.0;
  bool stretch = false;
};

// Offsets, scales and optionally stretches big-endian 16-bit pixels in place,
// each result wrapping to 16 bits; bytes after the last whole pixel stay as
// they are. The stretch maps the running maximum (the first pixel's incoming
// value or the largest offset-and-scaled value, whichever is greater) to 65535.
void Transform16(std::uint8_t* data, std::int64_t length, const PixelPlan& plan);
// As Transform16 for 32-bit pixels (maximum to 4294967295), then subtracts
// 2147483647 from every pixel, modulo 2^32.
void Transform32(std::uint8_t* data, std::int64_t length, const PixelPlan& plan);

}  // namespace corvane
