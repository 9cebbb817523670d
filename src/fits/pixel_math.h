// Pixel arithmetic with the results of 64-bit-significand (x87 extended)
// products, computed exactly in integers so they are the same on every
// platform, and the whole-buffer transforms built on it.
#pragma once

#include <bit>
#include <cstdint>
#include <vector>

namespace corvane {

// A pixel as stored (big-endian) to host order, and back: the same swap.
inline std::uint16_t FileToHost16(std::uint16_t raw) {
  if constexpr (std::endian::native == std::endian::little) return __builtin_bswap16(raw);
  return raw;
}
inline std::uint32_t FileToHost32(std::uint32_t raw) {
  if constexpr (std::endian::native == std::endian::little) return __builtin_bswap32(raw);
  return raw;
}

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

// The transform of one file's pixels (16 or 32 bits; any other width is left
// alone), applied to its data area chunk by chunk, in order, so that no more
// than a chunk is in memory. Every chunk but the last holds whole pixels. With
// a stretch, every chunk goes through ScanMaximum before the first Apply.
//
// 16-bit pixels are offset, scaled and optionally stretched, each result
// wrapping to 16 bits; the stretch maps the running maximum (the first pixel's
// incoming value or the largest offset-and-scaled value, whichever is greater)
// to 65535. 32-bit pixels likewise (maximum to 4294967295), then lose
// 2147483647, modulo 2^32. Bytes after the last whole pixel stay as they are.
class PixelStream {
 public:
  PixelStream(std::int32_t bpp, const PixelPlan& plan);
  // Whether Apply needs the running maximum of the whole data area.
  bool NeedsMaximum() const { return plan_.stretch && (bpp_ == 16 || bpp_ == 32); }
  void ScanMaximum(const std::uint8_t* chunk, std::int64_t length);
  // Builds what Apply needs once the maximum is known (Apply does it if need be).
  void Prepare();
  // Transforms the big-endian pixels of `from` into `to` (the same buffer, or
  // one that does not overlap it); bytes no pixel covers are copied as they are.
  void Apply(const std::uint8_t* from, std::uint8_t* to, std::int64_t length);

 private:
  std::int32_t bpp_;
  PixelPlan plan_;
  bool scaled_;
  bool first_seen_ = false;
  bool prepared_ = false;
  std::uint32_t maximum_ = 0;
  std::vector<std::uint8_t> present_;       // 16-bit stretch: the values met, in file order
  std::vector<std::uint16_t> host_result_;  // 16-bit: each value's result, in host order
  std::vector<std::uint16_t> table_;        // 16-bit: the same in file order, indexed in file order
  double stretch_ = 1.0;
};

// The whole transform on one buffer holding a whole data area.
void Transform16(std::uint8_t* data, std::int64_t length, const PixelPlan& plan);
void Transform32(std::uint8_t* data, std::int64_t length, const PixelPlan& plan);

}  // namespace corvane
