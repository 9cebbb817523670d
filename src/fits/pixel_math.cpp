// Pixel arithmetic. A product of a pixel (at most 32 bits) and a double (a
// 53-bit significand) has at most 85 bits, so it is formed exactly in 128-bit
// integers, rounded once to 64 bits as an x87 multiply would, and truncated by
// shifting. No float-to-int conversion is ever out of range. 16-bit files go
// through a 65536-entry table built per file, which also absorbs the byte order.
#include "fits/pixel_math.h"

#include "fits/pixel_kernels.h"

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstring>
#include <limits>
#include <vector>

namespace corvane {
namespace {

__extension__ typedef unsigned __int128 Uint128;

constexpr std::uint32_t kSignOffset32 = 0x80000001u;  // adding it subtracts 2147483647

// |pixel * factor| truncated toward zero, or false when it exceeds `limit`.
bool TruncatedMagnitude(std::uint32_t pixel, const Factor& factor, std::uint64_t limit,
                        std::uint64_t* magnitude) {
  const Uint128 product = static_cast<Uint128>(pixel) * factor.mantissa;
  if (product == 0) {  // zero times any finite factor, however large
    *magnitude = 0;
    return true;
  }
  std::uint64_t significand = static_cast<std::uint64_t>(product);
  int exponent = factor.exponent;
  const auto high = static_cast<std::uint64_t>(product >> 64);
  if (high != 0) {
    // Keep the top 64 bits, rounding to nearest with ties to even.
    int shift = 64 - std::countl_zero(high);
    significand = static_cast<std::uint64_t>(product >> shift);
    const Uint128 rest = product & ((static_cast<Uint128>(1) << shift) - 1);
    const Uint128 half = static_cast<Uint128>(1) << (shift - 1);
    if (rest > half || (rest == half && (significand & 1) != 0)) {
      if (++significand == 0) {  // carried into a 65th bit
        significand = std::uint64_t{1} << 63;
        ++shift;
      }
    }
    exponent += shift;
  }
  if (exponent >= 0) {
    if (exponent >= 64 || significand > (limit >> exponent)) return false;
    *magnitude = significand << exponent;
    return true;
  }
  *magnitude = exponent <= -64 ? 0 : significand >> -exponent;
  return *magnitude <= limit;
}

// The product as a signed integer of `Int`'s width, or the sign-bit-only value.
template <typename Int>
Int ScaleTo(std::uint32_t pixel, const Factor& factor) {
  constexpr Int kIndefinite = std::numeric_limits<Int>::min();
  if (factor.kind != Factor::Kind::kFinite) return kIndefinite;  // inf * p, or NaN
  const auto max_positive = static_cast<std::uint64_t>(std::numeric_limits<Int>::max());
  const std::uint64_t limit = factor.negative ? max_positive + 1 : max_positive;
  std::uint64_t magnitude = 0;
  if (!TruncatedMagnitude(pixel, factor, limit, &magnitude)) return kIndefinite;
  if (!factor.negative) return static_cast<Int>(magnitude);
  // -magnitude is at least the type's minimum, as the limit ensured.
  return static_cast<Int>(-static_cast<std::int64_t>(magnitude - 1) - 1);
}

// Multiplies pixels by one factor. The exact product p * mantissa is
// truncated by shifting; rounding it to 64 bits first can change that result
// only when it lies within half a 64-bit unit (at most 2^20, as the product has
// at most 85 bits) below the next integer, so only then, or when the shift is
// outside the usual range, is the full rounding done.
class Scaler64 {
 public:
  explicit Scaler64(const Factor& factor) : factor_(factor), down_(-factor.exponent) {
    fast_ = factor.kind == Factor::Kind::kFinite && down_ >= 21 && down_ <= 127;
    if (fast_) {
      fraction_mask_ = (static_cast<Uint128>(1) << down_) - 1;
      near_next_ = (static_cast<Uint128>(1) << down_) - (static_cast<Uint128>(1) << 20);
    }
  }

  // The product as a signed 64-bit integer, or INT64_MIN (sign bit only).
  std::int64_t operator()(std::uint32_t pixel) const {
    if (fast_) {
      const Uint128 product = static_cast<Uint128>(pixel) * factor_.mantissa;
      const auto whole = static_cast<std::uint64_t>(product >> down_);
      if ((product & fraction_mask_) < near_next_ && whole <= static_cast<std::uint64_t>(INT64_MAX)) {
        const auto value = static_cast<std::int64_t>(whole);
        return factor_.negative ? -value : value;
      }
    }
    return ScaleTo<std::int64_t>(pixel, factor_);
  }

  // The product as a signed 32-bit integer, or INT32_MIN (sign bit only).
  std::int32_t To32(std::uint32_t pixel) const {
    const std::int64_t value = (*this)(pixel);
    const bool fits = value >= std::numeric_limits<std::int32_t>::min() &&
                      value <= std::numeric_limits<std::int32_t>::max();
    return fits ? static_cast<std::int32_t>(value) : std::numeric_limits<std::int32_t>::min();
  }

 private:
  Factor factor_;
  int down_;
  bool fast_;
  Uint128 fraction_mask_ = 0;
  Uint128 near_next_ = 0;
};

// The result of offset and scale for one 16-bit value, in host order.
std::uint16_t OffsetScale16(std::uint32_t value, const PixelPlan& plan, const Scaler64& scale) {
  const auto offset = static_cast<std::uint16_t>(value + static_cast<std::uint32_t>(plan.add));
  if (plan.scale == 1.0) return offset;
  return static_cast<std::uint16_t>(scale.To32(offset));
}

std::uint16_t Load16(const std::uint8_t* at) {
  std::uint16_t raw;
  std::memcpy(&raw, at, sizeof raw);
  return raw;
}
std::uint32_t Load32(const std::uint8_t* at) {
  std::uint32_t raw;
  std::memcpy(&raw, at, sizeof raw);
  return raw;
}

// The running maximum after offset and scale over 32-bit pixels, without
// writing them: the first pass of a stretch.
template <bool kScaled>
std::uint32_t MaxPass32(const std::uint8_t* data, std::int64_t count, std::uint32_t add, const Scaler64& factor,
                        std::uint32_t maximum) {
  const Scaler64 scale = factor;
  for (std::int64_t i = 0; i < count; ++i) {
    std::uint32_t value = FileToHost32(Load32(data + 4 * i)) + add;
    if constexpr (kScaled) value = static_cast<std::uint32_t>(scale(value));
    if (value > maximum) maximum = value;
  }
  return maximum;
}

// One pass over the 32-bit pixels, shaped at compile time so the loop carries
// no branch on the options. Reads `from` and writes `to`, which may be the same
// buffer. Returns the running maximum after offset and scale.
template <bool kScaled, bool kSignOffset>
std::uint32_t Pass32(const std::uint8_t* from, std::uint8_t* to, std::int64_t count, std::uint32_t add,
                     const Scaler64& factor, std::uint32_t maximum) {
  // A copy of its own: stores through the byte pointer could alias the
  // original, which would make the compiler reload it for every pixel.
  const Scaler64 scale = factor;
  for (std::int64_t i = 0; i < count; ++i) {
    std::uint32_t value = FileToHost32(Load32(from + 4 * i)) + add;
    if constexpr (kScaled) value = static_cast<std::uint32_t>(scale(value));
    if (value > maximum) maximum = value;
    if constexpr (kSignOffset) value += kSignOffset32;
    const std::uint32_t raw = FileToHost32(value);
    std::memcpy(to + 4 * i, &raw, sizeof raw);
  }
  return maximum;
}

// The largest offset pixel value, without a table (offset alone).
std::uint32_t OffsetMaximum16(const std::uint8_t* data, std::int64_t count, std::uint16_t add) {
  std::uint16_t maximum = 0;
  for (std::int64_t i = 0; i < count; ++i) {
    const auto value = static_cast<std::uint16_t>(FileToHost16(Load16(data + 2 * i)) + add);
    maximum = value > maximum ? value : maximum;
  }
  return maximum;
}

// Maps the four pixels in one 64-bit word through `entry`.
std::uint64_t LookupWord(std::uint64_t word, const std::uint16_t* entry) {
  return static_cast<std::uint64_t>(entry[word & 0xFFFF]) |
         static_cast<std::uint64_t>(entry[(word >> 16) & 0xFFFF]) << 16 |
         static_cast<std::uint64_t>(entry[(word >> 32) & 0xFFFF]) << 32 |
         static_cast<std::uint64_t>(entry[word >> 48]) << 48;
}

// Replaces every pixel by its entry in `table` (file byte order in and out),
// eight pixels at a time so that many table reads are under way at once.
void Lookup16(const std::uint8_t* from, std::uint8_t* to, std::int64_t count, const std::vector<std::uint16_t>& table) {
  const std::uint16_t* entry = table.data();
  std::int64_t i = 0;
  for (; i + 8 <= count; i += 8) {
    std::uint64_t words[2];
    std::memcpy(words, from + 2 * i, sizeof words);
    words[0] = LookupWord(words[0], entry);
    words[1] = LookupWord(words[1], entry);
    std::memcpy(to + 2 * i, words, sizeof words);
  }
  for (; i < count; ++i) {
    const std::uint16_t raw = entry[Load16(from + 2 * i)];
    std::memcpy(to + 2 * i, &raw, sizeof raw);
  }
}

}  // namespace

Factor Decompose(double value) {
  const auto bits = std::bit_cast<std::uint64_t>(value);
  Factor factor;
  factor.negative = (bits >> 63) != 0;
  const int biased = static_cast<int>((bits >> 52) & 0x7FF);
  const std::uint64_t fraction = bits & ((std::uint64_t{1} << 52) - 1);
  if (biased == 0x7FF) {
    factor.kind = fraction == 0 ? Factor::Kind::kInfinite : Factor::Kind::kNaN;
  } else if (biased == 0) {  // zero or subnormal
    factor.mantissa = fraction;
    factor.exponent = -1074;
  } else {
    factor.mantissa = fraction | (std::uint64_t{1} << 52);
    factor.exponent = biased - 1075;
  }
  return factor;
}

std::int32_t ScaleToInt32(std::uint32_t pixel, const Factor& factor) {
  return ScaleTo<std::int32_t>(pixel, factor);
}

std::int64_t ScaleToInt64(std::uint32_t pixel, const Factor& factor) {
  return ScaleTo<std::int64_t>(pixel, factor);
}

double StretchFactor(std::uint32_t numerator, std::uint32_t maximum) {
  if (maximum == 0) return std::numeric_limits<double>::infinity();
  if (numerator == 0) return 0.0;
  // Scale the quotient so it has exactly 64 bits: numerator * 2^shift / maximum.
  int shift = 63 + static_cast<int>(std::bit_width(maximum)) - static_cast<int>(std::bit_width(numerator));
  auto quotient_at = [&](int s, Uint128* remainder) {
    const Uint128 scaled = static_cast<Uint128>(numerator) << s;
    *remainder = scaled % maximum;
    return static_cast<std::uint64_t>(scaled / maximum);
  };
  Uint128 remainder = 0;
  std::uint64_t quotient = quotient_at(shift, &remainder);
  if (quotient < (std::uint64_t{1} << 63)) quotient = quotient_at(++shift, &remainder);
  // First rounding: to 64 bits, nearest with ties to even.
  if (2 * remainder > maximum || (2 * remainder == maximum && (quotient & 1) != 0)) {
    if (++quotient == 0) {
      quotient = std::uint64_t{1} << 63;
      --shift;
    }
  }
  // Second rounding: the 64-bit result to a double's 53 bits.
  std::uint64_t kept = quotient >> 11;
  const std::uint64_t dropped = quotient & 0x7FF;
  if (dropped > 0x400 || (dropped == 0x400 && (kept & 1) != 0)) ++kept;
  return std::ldexp(static_cast<double>(kept), 11 - shift);
}

PixelStream::PixelStream(std::int32_t bpp, const PixelPlan& plan)
    : bpp_(bpp), plan_(plan), scaled_(plan.scale != 1.0) {
  if (bpp_ == 16 && (scaled_ || plan_.stretch)) {
    const Scaler64 scale(Decompose(plan_.scale));
    host_result_.resize(65536);
    for (std::uint32_t v = 0; v < 65536; ++v) host_result_[v] = OffsetScale16(v, plan_, scale);
    if (plan_.stretch && scaled_) present_.assign(65536, 0);
  }
}

void PixelStream::ScanMaximum(const std::uint8_t* chunk, std::int64_t length) {
  if (!NeedsMaximum()) return;
  const std::int64_t count = length / (bpp_ / 8);
  if (count == 0) return;
  if (!first_seen_) {
    maximum_ = bpp_ == 16 ? FileToHost16(Load16(chunk)) : FileToHost32(Load32(chunk));
    first_seen_ = true;
  }
  const auto add = static_cast<std::uint32_t>(plan_.add);
  if (bpp_ == 16 && scaled_) {
    for (std::int64_t i = 0; i < count; ++i) present_[Load16(chunk + 2 * i)] = 1;
  } else if (bpp_ == 16) {
    maximum_ = std::max(maximum_, OffsetMaximum16(chunk, count, static_cast<std::uint16_t>(add)));
  } else {
    const Scaler64 scale(Decompose(plan_.scale));
    maximum_ = scaled_ ? MaxPass32<true>(chunk, count, add, scale, maximum_)
                       : MaxPass32<false>(chunk, count, add, scale, maximum_);
  }
}

void PixelStream::Prepare() {
  if (prepared_) return;
  prepared_ = true;
  if (bpp_ == 16 && !present_.empty()) {
    for (std::uint32_t raw = 0; raw < 65536; ++raw) {
      if (present_[raw] != 0) {
        maximum_ = std::max<std::uint32_t>(maximum_, host_result_[FileToHost16(static_cast<std::uint16_t>(raw))]);
      }
    }
  }
  if (plan_.stretch) stretch_ = StretchFactor(bpp_ == 16 ? 0xFFFFu : 0xFFFFFFFFu, maximum_);
  if (host_result_.empty()) return;
  if (plan_.stretch) {
    const Scaler64 stretch(Decompose(stretch_));
    for (std::uint16_t& value : host_result_) value = static_cast<std::uint16_t>(stretch.To32(value));
  }
  // The same table in file byte order, so each pixel is one lookup.
  table_.resize(65536);
  for (std::uint32_t raw = 0; raw < 65536; ++raw) {
    table_[raw] = FileToHost16(host_result_[FileToHost16(static_cast<std::uint16_t>(raw))]);
  }
}

void PixelStream::Apply(const std::uint8_t* from, std::uint8_t* to, std::int64_t length) {
  const std::int64_t width = bpp_ == 16 || bpp_ == 32 ? bpp_ / 8 : 0;
  const std::int64_t count = width == 0 ? 0 : length / width;
  // Bytes no pixel covers (all of them for other widths) pass through.
  if (from != to && count * width < length) {
    std::memcpy(to + count * width, from + count * width, static_cast<std::size_t>(length - count * width));
  }
  if (count == 0) return;
  if (!prepared_) Prepare();
  const auto add = static_cast<std::uint32_t>(plan_.add);
  if (bpp_ == 16) {
    if (table_.empty()) {
      kernels::Offset16(from, to, count, static_cast<std::uint16_t>(add));
    } else {
      Lookup16(from, to, count, table_);
    }
    return;
  }
  const Factor factor = Decompose(plan_.scale);
  const Scaler64 scale(factor);
  if (!plan_.stretch && !scaled_) {
    kernels::Offset32(from, to, count, add + kSignOffset32);
  } else if (!plan_.stretch) {
    if (!kernels::Scale32(from, to, count, add, factor, kSignOffset32)) Pass32<true, true>(from, to, count, add, scale, 0);
  } else {
    // Offset and scale, then the stretch as one more scaled pass with no
    // offset, then the sign offset.
    if (!scaled_) {
      Pass32<false, false>(from, to, count, add, scale, 0);
    } else if (!kernels::Scale32(from, to, count, add, factor, 0)) {
      Pass32<true, false>(from, to, count, add, scale, 0);
    }
    const Factor stretch = Decompose(stretch_);
    if (!kernels::Scale32(to, to, count, 0, stretch, kSignOffset32)) {
      Pass32<true, true>(to, to, count, 0, Scaler64(stretch), 0);
    }
  }
}

void Transform16(std::uint8_t* data, std::int64_t length, const PixelPlan& plan) {
  PixelStream stream(16, plan);
  stream.ScanMaximum(data, length);
  stream.Apply(data, data, length);
}

void Transform32(std::uint8_t* data, std::int64_t length, const PixelPlan& plan) {
  PixelStream stream(32, plan);
  stream.ScanMaximum(data, length);
  stream.Apply(data, data, length);
}

}  // namespace corvane
