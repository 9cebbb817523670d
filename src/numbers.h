// Decimal text to numbers, for option values and header values alike. Header
// values are read leniently, the way atoi reads them; option values must be
// wholly a number of their kind, so a typo is refused instead of becoming 0.
#pragma once

#include <cstdint>
#include <optional>
#include <string_view>

namespace corvane {

// An integer prefix of `text` (leading white space, a sign, digits), clamped to
// [INT32_MIN, INT32_MAX]; 0 when there is none.
std::int32_t ParseInt32(const char* text);

// `value` limited to the 32-bit range.
std::int32_t ClampToInt32(std::int64_t value);

// `text` as a decimal integer in the signed 32-bit range, blanks around it
// allowed; nothing when it holds anything else or a value out of that range.
std::optional<std::int32_t> WholeInt32(std::string_view text);

// `text` as a finite decimal number (digits, an optional point and exponent),
// blanks around it allowed; nothing for anything else: a decimal comma,
// hexadecimal, inf, nan, or a value too large or too small for a double.
std::optional<double> WholeDecimal(std::string_view text);

}  // namespace corvane
