// Number conversion for option values and header values. strtoll and strtod
// take the same prefixes as atoi and atof, but report overflow instead of
// leaving it undefined, so an out-of-range integer clamps rather than wraps;
// text with no number gives +0.0 on every system.
#include "driver/numbers.h"

#include <cstdlib>
#include <limits>

namespace corvane {

std::int32_t ClampToInt32(std::int64_t value) {
  constexpr std::int64_t kLow = std::numeric_limits<std::int32_t>::min();
  constexpr std::int64_t kHigh = std::numeric_limits<std::int32_t>::max();
  if (value < kLow) return static_cast<std::int32_t>(kLow);
  if (value > kHigh) return static_cast<std::int32_t>(kHigh);
  return static_cast<std::int32_t>(value);
}

std::int32_t ParseInt32(const char* text) {
  // On overflow strtoll saturates at its own limits, which clamp correctly.
  return ClampToInt32(std::strtoll(text, nullptr, 10));
}

double ParseDouble(const char* text) {
  // Where nothing is converted some C libraries return -0.0 for text that
  // starts with '-' ("-stretch"); no number is +0.0, as with glibc.
  char* end = nullptr;
  const double value = std::strtod(text, &end);
  return end == text ? 0.0 : value;
}

}  // namespace corvane
