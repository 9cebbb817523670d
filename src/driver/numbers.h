// Decimal text to numbers, the way option values and header values are read:
// leading white space skipped, an optional sign and the longest numeric prefix
// taken, no number giving 0. Integers beyond the 32-bit range clamp to it.
#pragma once

#include <cstdint>

namespace corvane {

// An integer prefix of `text`, clamped to [INT32_MIN, INT32_MAX]; 0 when none.
std::int32_t ParseInt32(const char* text);

// A floating-point prefix of `text` (decimal, hexadecimal, inf, nan); 0 when none.
double ParseDouble(const char* text);

// `value` limited to the 32-bit range.
std::int32_t ClampToInt32(std::int64_t value);

}  // namespace corvane
