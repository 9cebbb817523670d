// Number conversion for header values (lenient, like atoi) and option values
// (strict). strtoll and strtod do the arithmetic: they report overflow instead
// of leaving it undefined, and strtod rounds a decimal correctly.
#include "numbers.h"

#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <limits>
#include <string>

namespace corvane {
namespace {

bool IsDigit(char c) { return c >= '0' && c <= '9'; }
bool IsBlank(char c) { return c == ' ' || c == '\t'; }

std::string_view Trimmed(std::string_view text) {
  while (!text.empty() && IsBlank(text.front())) text.remove_prefix(1);
  while (!text.empty() && IsBlank(text.back())) text.remove_suffix(1);
  return text;
}

// Skips a run of digits from `at`; returns how many there were.
std::size_t SkipDigits(std::string_view text, std::size_t& at) {
  const std::size_t start = at;
  while (at < text.size() && IsDigit(text[at])) ++at;
  return at - start;
}

}  // namespace

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

std::optional<std::int32_t> WholeInt32(std::string_view text) {
  text = Trimmed(text);
  std::size_t at = 0;
  if (at < text.size() && (text[at] == '+' || text[at] == '-')) ++at;
  if (SkipDigits(text, at) == 0 || at != text.size()) return std::nullopt;
  const std::string copy(text);
  errno = 0;
  const long long value = std::strtoll(copy.c_str(), nullptr, 10);
  if (errno == ERANGE || value != ClampToInt32(value)) return std::nullopt;
  return static_cast<std::int32_t>(value);
}

std::optional<double> WholeDecimal(std::string_view text) {
  text = Trimmed(text);
  // The shape is checked here, so strtod never sees hexadecimal, inf or nan.
  std::size_t at = 0;
  if (at < text.size() && (text[at] == '+' || text[at] == '-')) ++at;
  std::size_t digits = SkipDigits(text, at);
  if (at < text.size() && text[at] == '.') {
    ++at;
    digits += SkipDigits(text, at);
  }
  if (digits == 0) return std::nullopt;
  bool nonzero = false;
  for (std::size_t i = 0; i < at; ++i) nonzero = nonzero || (IsDigit(text[i]) && text[i] != '0');
  if (at < text.size() && (text[at] == 'e' || text[at] == 'E')) {
    ++at;
    if (at < text.size() && (text[at] == '+' || text[at] == '-')) ++at;
    if (SkipDigits(text, at) == 0) return std::nullopt;
  }
  if (at != text.size()) return std::nullopt;
  const std::string copy(text);
  const double value = std::strtod(copy.c_str(), nullptr);
  // Too large becomes infinite; too small for any double becomes 0.
  if (!std::isfinite(value) || (nonzero && value == 0.0)) return std::nullopt;
  return value;
}

}  // namespace corvane
