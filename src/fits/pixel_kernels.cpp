// The pixel loops in a portable form and an AVX2+FMA form, and the run-time
// choice between them. The AVX2 scale takes the product in doubles and decides
// from the rounding error (one fused multiply-add) whether the exact product
// lies below a whole number the double landed on; only products of 2^52 and
// more, where a double cannot hold the result, go to the exact function.
#include "fits/pixel_kernels.h"

#include <bit>
#include <cmath>
#include <cstring>

#if defined(__x86_64__) || defined(_M_X64)
#include <immintrin.h>
#define CORVANE_X86 1
#endif

namespace corvane::kernels {
namespace {

// The loop bodies, inlined into each form so the compiler vectorises them with
// the instructions that form allows.
[[gnu::always_inline]] inline void Offset16Body(const std::uint8_t* from, std::uint8_t* to, std::int64_t count,
                                                std::uint16_t add) {
  for (std::int64_t i = 0; i < count; ++i) {
    std::uint16_t raw;
    std::memcpy(&raw, from + 2 * i, sizeof raw);
    raw = FileToHost16(static_cast<std::uint16_t>(FileToHost16(raw) + add));
    std::memcpy(to + 2 * i, &raw, sizeof raw);
  }
}

[[gnu::always_inline]] inline void Offset32Body(const std::uint8_t* from, std::uint8_t* to, std::int64_t count,
                                                std::uint32_t add) {
  for (std::int64_t i = 0; i < count; ++i) {
    std::uint32_t raw;
    std::memcpy(&raw, from + 4 * i, sizeof raw);
    raw = FileToHost32(FileToHost32(raw) + add);
    std::memcpy(to + 4 * i, &raw, sizeof raw);
  }
}

Isa Detect() {
#ifdef CORVANE_X86
  __builtin_cpu_init();
  // The compiler's check includes the system saving the wide registers.
  if (__builtin_cpu_supports("avx2") && __builtin_cpu_supports("fma")) return Isa::kAvx2;
#endif
  return Isa::kPortable;
}

Isa& ActiveSlot() {
  static Isa active = Detect();
  return active;
}

#ifdef CORVANE_X86
// The exact result of one pixel, modulo 2^32, plus the offset, in file order.
std::uint32_t ScaleOne(std::uint32_t value, const Factor& factor, std::uint32_t offset) {
  return FileToHost32(static_cast<std::uint32_t>(ScaleToInt64(value, factor)) + offset);
}

[[gnu::target("avx2")]] void Offset16Avx2(const std::uint8_t* from, std::uint8_t* to, std::int64_t count,
                                          std::uint16_t add) {
  Offset16Body(from, to, count, add);
}

[[gnu::target("avx2")]] void Offset32Avx2(const std::uint8_t* from, std::uint8_t* to, std::int64_t count,
                                          std::uint32_t add) {
  Offset32Body(from, to, count, add);
}

// Four pixels: d = p * |factor| in doubles. When d is not a whole number its
// truncation is that of the exact product, rounded to 64 bits or not, since
// rounding cannot pass a whole number a double holds. When d is a whole number
// n (below 2^52) and the exact product lies below it, the result is n - 1
// unless the product is within half a 64-bit unit of n, where rounding to 64
// bits (ties go to n, whose last bit is 0) lands on n. The error d - p * factor
// is exact from a fused multiply-add. Lanes of 2^52 and more take the exact
// function.
// The constants of Scale32Avx2, made once per call.
struct ScaleConstants {
  __m256d magnitude, two_31, two_52;
  __m256i exponent_bits, fraction_bits, half_unit;
};

// Four products as whole numbers n (below 2^52) in the low bits of 64-bit
// lanes; `large` gets a bit for each lane of 2^52 or more.
[[gnu::target("avx2,fma"), gnu::always_inline]] inline __m256i Truncated4(__m128i value, const ScaleConstants& c,
                                                                          int* large) {
  const __m128i sign_bit = _mm_set1_epi32(INT32_MIN);
  // Unsigned to double: flip the sign bit, convert as signed, add 2^31 back.
  const __m256d pixel = _mm256_add_pd(_mm256_cvtepi32_pd(_mm_xor_si128(value, sign_bit)), c.two_31);
  const __m256d product = _mm256_mul_pd(pixel, c.magnitude);
  const __m256d error = _mm256_fmsub_pd(pixel, c.magnitude, product);  // exact: p * |factor| - d
  const __m256d whole = _mm256_round_pd(product, _MM_FROUND_TO_ZERO | _MM_FROUND_NO_EXC);
  // Half a 64-bit unit of the exact product: 2^(e - 64) for d in [2^e, 2^(e+1)),
  // one step less when d is a power of two and the product lies below it.
  const __m256i bits = _mm256_castpd_si256(product);
  const __m256i power = _mm256_cmpeq_epi64(_mm256_and_si256(bits, c.fraction_bits), _mm256_setzero_si256());
  const __m256i half_bits = _mm256_add_epi64(_mm256_sub_epi64(_mm256_and_si256(bits, c.exponent_bits), c.half_unit),
                                             _mm256_slli_epi64(power, 52));
  // Below by more than the half unit: error + half < 0 (its sign is exact).
  const __m256d zero = _mm256_setzero_pd();
  const __m256d below = _mm256_and_pd(
      _mm256_and_pd(_mm256_cmp_pd(product, whole, _CMP_EQ_OQ), _mm256_cmp_pd(error, zero, _CMP_LT_OQ)),
      _mm256_cmp_pd(_mm256_add_pd(error, _mm256_castsi256_pd(half_bits)), zero, _CMP_LT_OQ));
  *large = _mm256_movemask_pd(_mm256_cmp_pd(product, c.two_52, _CMP_GE_OQ));
  // A whole number n below 2^52 plus 2^52 has n as its fraction bits; a lane
  // below (n >= 1 there) takes one off them.
  return _mm256_add_epi64(_mm256_castpd_si256(_mm256_add_pd(whole, c.two_52)), _mm256_castpd_si256(below));
}

// Replaces the results of the lanes marked in `large` by the exact function's.
void ExactLanes(const std::uint32_t* values, std::uint32_t* results, int lanes, int large, const Factor& factor,
                std::uint32_t offset) {
  for (int lane = 0; lane < lanes; ++lane) {
    if ((large >> lane & 1) != 0) results[lane] = ScaleOne(values[lane], factor, offset);
  }
}

template <bool kNegative>
[[gnu::target("avx2,fma")]] void Scale32Avx2(const std::uint8_t* from, std::uint8_t* to, std::int64_t count,
                                             std::uint32_t add, const Factor& factor, std::uint32_t offset) {
  const ScaleConstants c = {_mm256_set1_pd(std::ldexp(static_cast<double>(factor.mantissa), factor.exponent)),
                            _mm256_set1_pd(2147483648.0),
                            _mm256_set1_pd(4503599627370496.0),
                            _mm256_set1_epi64x(0x7FF0000000000000),
                            _mm256_set1_epi64x(0x000FFFFFFFFFFFFF),
                            _mm256_set1_epi64x(std::int64_t{64} << 52)};
  const __m256i swap = _mm256_setr_epi8(3, 2, 1, 0, 7, 6, 5, 4, 11, 10, 9, 8, 15, 14, 13, 12,
                                        3, 2, 1, 0, 7, 6, 5, 4, 11, 10, 9, 8, 15, 14, 13, 12);
  const __m256i add_lanes = _mm256_set1_epi32(static_cast<int>(add));
  const __m256i offset_lanes = _mm256_set1_epi32(static_cast<int>(offset));
  const __m256i low_halves = _mm256_setr_epi32(0, 2, 4, 6, 0, 0, 0, 0);
  std::int64_t i = 0;
  // Eight pixels a step: two chains of four, their low halves gathered in order.
  for (; i + 8 <= count; i += 8) {
    const __m256i raw = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(from + 4 * i));
    const __m256i value = _mm256_add_epi32(_mm256_shuffle_epi8(raw, swap), add_lanes);
    int large_low = 0;
    int large_high = 0;
    const __m256i low = Truncated4(_mm256_castsi256_si128(value), c, &large_low);
    const __m256i high = Truncated4(_mm256_extracti128_si256(value, 1), c, &large_high);
    const __m256 pairs = _mm256_shuffle_ps(_mm256_castsi256_ps(low), _mm256_castsi256_ps(high), 0x88);
    __m256i result = _mm256_permute4x64_epi64(_mm256_castps_si256(pairs), 0xD8);
    if constexpr (kNegative) result = _mm256_sub_epi32(_mm256_setzero_si256(), result);
    result = _mm256_shuffle_epi8(_mm256_add_epi32(result, offset_lanes), swap);
    if (const int large = large_low | large_high << 4; large != 0) {
      alignas(32) std::uint32_t values[8];
      alignas(32) std::uint32_t results[8];
      _mm256_store_si256(reinterpret_cast<__m256i*>(values), value);
      _mm256_store_si256(reinterpret_cast<__m256i*>(results), result);
      ExactLanes(values, results, 8, large, factor, offset);
      result = _mm256_load_si256(reinterpret_cast<const __m256i*>(results));
    }
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(to + 4 * i), result);
  }
  for (; i + 4 <= count; i += 4) {
    const __m128i raw = _mm_loadu_si128(reinterpret_cast<const __m128i*>(from + 4 * i));
    const __m128i value =
        _mm_add_epi32(_mm_shuffle_epi8(raw, _mm256_castsi256_si128(swap)), _mm256_castsi256_si128(add_lanes));
    int large = 0;
    const __m256i integers = Truncated4(value, c, &large);
    __m128i result = _mm256_castsi256_si128(_mm256_permutevar8x32_epi32(integers, low_halves));
    if constexpr (kNegative) result = _mm_sub_epi32(_mm_setzero_si128(), result);
    result = _mm_shuffle_epi8(_mm_add_epi32(result, _mm256_castsi256_si128(offset_lanes)),
                              _mm256_castsi256_si128(swap));
    if (large != 0) {
      alignas(16) std::uint32_t values[4];
      alignas(16) std::uint32_t results[4];
      _mm_store_si128(reinterpret_cast<__m128i*>(values), value);
      _mm_store_si128(reinterpret_cast<__m128i*>(results), result);
      ExactLanes(values, results, 4, large, factor, offset);
      result = _mm_load_si128(reinterpret_cast<const __m128i*>(results));
    }
    _mm_storeu_si128(reinterpret_cast<__m128i*>(to + 4 * i), result);
  }
  for (; i < count; ++i) {
    std::uint32_t raw;
    std::memcpy(&raw, from + 4 * i, sizeof raw);
    raw = ScaleOne(FileToHost32(raw) + add, factor, offset);
    std::memcpy(to + 4 * i, &raw, sizeof raw);
  }
}
#endif

}  // namespace

bool Supports(Isa isa) { return isa == Isa::kPortable || Detect() == isa; }

Isa Active() { return ActiveSlot(); }

void Use(Isa isa) {
  if (Supports(isa)) ActiveSlot() = isa;
}

void Offset16(const std::uint8_t* from, std::uint8_t* to, std::int64_t count, std::uint16_t add) {
#ifdef CORVANE_X86
  if (Active() == Isa::kAvx2) return Offset16Avx2(from, to, count, add);
#endif
  Offset16Body(from, to, count, add);
}

void Offset32(const std::uint8_t* from, std::uint8_t* to, std::int64_t count, std::uint32_t add) {
#ifdef CORVANE_X86
  if (Active() == Isa::kAvx2) return Offset32Avx2(from, to, count, add);
#endif
  Offset32Body(from, to, count, add);
}

bool Scale32(const std::uint8_t* from, std::uint8_t* to, std::int64_t count, std::uint32_t add,
             const Factor& factor, std::uint32_t offset) {
  if (factor.kind != Factor::Kind::kFinite) return false;
#ifdef CORVANE_X86
  if (Active() == Isa::kAvx2) {
    if (factor.negative) {
      Scale32Avx2<true>(from, to, count, add, factor, offset);
    } else {
      Scale32Avx2<false>(from, to, count, add, factor, offset);
    }
    return true;
  }
#endif
  (void)from, (void)to, (void)count, (void)add, (void)offset;
  return false;
}

}  // namespace corvane::kernels
