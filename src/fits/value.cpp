// The value of a header card: the text after its "=", read as an integer.
// Most values are read like atoi (sign and leading digits, the rest ignored),
// but a number written with an exponent (3.276800E4, as some FITS writers put
// BZERO) is read as the number it writes, truncated toward zero.
#include <cctype>
#include <cstring>

#include "numbers.h"
#include "fits/fits.h"
#include "report.h"

namespace corvane {
namespace {

constexpr int kLastValueColumn = kCardLen - 2;  // column 80 is never part of a value

bool IsDigit(char c) { return c >= '0' && c <= '9'; }

// Reads `text` as [sign] digits [. digits] (E|D) [sign] digits when it starts
// that way; the number, truncated toward zero and clamped, goes to `value`.
// The arithmetic is on decimal digits, so it is exact for every input.
bool ParseExponentNumber(const char* text, std::int32_t* value) {
  const char* p = text;
  while (std::isspace(static_cast<unsigned char>(*p))) ++p;
  const bool negative = *p == '-';
  if (*p == '+' || *p == '-') ++p;
  std::string digits;       // the significant digits, decimal point removed
  int point = -1;           // how many of `digits` stand before the point
  for (; IsDigit(*p) || (*p == '.' && point < 0); ++p) {
    if (*p == '.') {
      point = static_cast<int>(digits.size());
    } else {
      digits.push_back(*p);
    }
  }
  if (digits.empty()) return false;
  if (point < 0) point = static_cast<int>(digits.size());
  if (*p != 'E' && *p != 'e' && *p != 'D' && *p != 'd') return false;
  ++p;
  const bool negative_exponent = *p == '-';
  if (*p == '+' || *p == '-') ++p;
  if (!IsDigit(*p)) return false;
  long exponent = 0;
  for (; IsDigit(*p); ++p) {
    if (exponent < 100000) exponent = exponent * 10 + (*p - '0');
  }
  // Digits before the point once the exponent has moved it.
  const long whole = point + (negative_exponent ? -exponent : exponent);
  std::int64_t magnitude = 0;
  for (long i = 0; i < whole; ++i) {
    const int digit = i < static_cast<long>(digits.size()) ? digits[i] - '0' : 0;
    magnitude = magnitude * 10 + digit;
    if (magnitude > (std::int64_t{1} << 32)) break;  // already beyond every 32-bit value
  }
  *value = ClampToInt32(negative ? -magnitude : magnitude);
  return true;
}

}  // namespace

std::int32_t fits_header_extract_value(const char* card) {
  int pos = 0;
  while (pos < kCardLen - 1 && card[pos] != '=') ++pos;
  if (card[pos] != '=') {
    Report("Format error parsing header line '%.80s'\n", card);
    return -1;
  }
  ++pos;
  while (pos <= kLastValueColumn && card[pos] == ' ') ++pos;
  char text[kCardLen] = {};
  if (pos <= kLastValueColumn) {
    std::memcpy(text, card + pos, static_cast<std::size_t>(kLastValueColumn + 1 - pos));
  }
  std::int32_t value = 0;
  if (ParseExponentNumber(text, &value)) return value;
  return ParseInt32(text);
}

}  // namespace corvane
