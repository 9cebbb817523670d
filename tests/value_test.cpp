// Unit tests for the card value parser and the number conversions.
#include <gtest/gtest.h>

#include <cmath>
#include <optional>
#include <string>

#include "numbers.h"
#include "fits/fits.h"

namespace corvane {
namespace {

std::string Pad(std::string card) {
  card.resize(80, ' ');
  return card;
}

std::int32_t ValueOf(const std::string& card) { return fits_header_extract_value(Pad(card).c_str()); }

TEST(HeaderValue, ReadsIntegersWithCommentsAndSigns) {
  EXPECT_EQ(ValueOf("BITPIX  =                   16"), 16);
  EXPECT_EQ(ValueOf("BITPIX  =                   16 / bits per pixel"), 16);
  EXPECT_EQ(ValueOf("BITPIX  =                  16/comment"), 16);
  EXPECT_EQ(ValueOf("BITPIX  =                  -32"), -32);
  EXPECT_EQ(ValueOf("BZERO   =               +32768"), 32768);
  EXPECT_EQ(ValueOf("BZERO=32768"), 32768);  // the "=" is found wherever it stands
}

TEST(HeaderValue, TextThatIsNoNumberGivesZero) {
  EXPECT_EQ(ValueOf("ORIGIN  = 'Astra Image'"), 0);
  EXPECT_EQ(ValueOf("SIMPLE  =                    T"), 0);
  EXPECT_EQ(ValueOf("BZERO   ="), 0);
}

TEST(HeaderValue, CardWithoutEqualsGivesMinusOneAndPrintsTheWholeCard) {
  ::testing::internal::CaptureStderr();
  EXPECT_EQ(ValueOf("BZERO     32768"), -1);
  EXPECT_EQ(::testing::internal::GetCapturedStderr(),
            "Format error parsing header line '" + Pad("BZERO     32768") + "'\n");
}

TEST(HeaderValue, EqualsInTheLastColumnGivesZero) {
  std::string card(79, 'X');
  card += '=';
  EXPECT_EQ(ValueOf(card), 0);
}

TEST(HeaderValue, TheEightiethColumnIsNeverPartOfTheValue) {
  // Digits running to column 80: only those up to column 79 count.
  std::string card = "BZERO   =" + std::string(66, ' ') + "12345";
  ASSERT_EQ(card.size(), 80u);
  EXPECT_EQ(ValueOf(card), 1234);
}

TEST(HeaderValue, OutOfRangeValuesClampInsteadOfWrapping) {
  EXPECT_EQ(ValueOf("BZERO   =           2147483648"), 2147483647);
  EXPECT_EQ(ValueOf("BZERO   =          99999999999"), 2147483647);
  EXPECT_EQ(ValueOf("BZERO   =          -2147483649"), -2147483648);
}

TEST(HeaderValue, ExponentFormIsReadAsTheNumberItWrites) {
  EXPECT_EQ(ValueOf("BZERO   =           3.276800E4"), 32768);
  EXPECT_EQ(ValueOf("BZERO   =           3.276800D+04 / comment"), 32768);
  EXPECT_EQ(ValueOf("BZERO   =             32768E0"), 32768);
  EXPECT_EQ(ValueOf("BZERO   =               1.5E0"), 1);    // truncated toward zero
  EXPECT_EQ(ValueOf("BZERO   =              -1.5E0"), -1);
  EXPECT_EQ(ValueOf("BZERO   =              2.5E-1"), 0);
  EXPECT_EQ(ValueOf("BZERO   =        2.147483648E9"), 2147483647);  // clamped
  EXPECT_EQ(ValueOf("BZERO   =              1E99999"), 2147483647);
}

TEST(HeaderValue, TextThatOnlyLooksLikeAnExponentKeepsTheIntegerReading) {
  EXPECT_EQ(ValueOf("BZERO   =                  32.5"), 32);
  EXPECT_EQ(ValueOf("BZERO   =                   3E"), 3);
  EXPECT_EQ(ValueOf("BZERO   =                  3E+"), 3);
  EXPECT_EQ(ValueOf("BZERO   =                 3 E4"), 3);
}

TEST(Numbers, IntegerPrefixesLikeAtoi) {
  EXPECT_EQ(ParseInt32("5"), 5);
  EXPECT_EQ(ParseInt32("  -3"), -3);
  EXPECT_EQ(ParseInt32("abc"), 0);
  EXPECT_EQ(ParseInt32("12abc"), 12);
  EXPECT_EQ(ParseInt32(""), 0);
}

TEST(Numbers, IntegersClampToThe32BitRange) {
  EXPECT_EQ(ParseInt32("2147483648"), 2147483647);
  EXPECT_EQ(ParseInt32("-99999999999999999999999"), -2147483648);
}

// Option values are numbers through and through: each case here was once read
// as a prefix ("0,5" as 0, "5x" as 5), and the image was changed by a typo.
TEST(Numbers, OptionValuesMustBeWhollyANumberOfTheirKind) {
  const struct {
    const char* text;
    std::optional<std::int32_t> integer;
    std::optional<double> decimal;
  } kCases[] = {
      {"5", 5, 5.0},
      {" -3\t", -3, -3.0},
      {"+7", 7, 7.0},
      {"2147483647", 2147483647, 2147483647.0},
      {"-2147483648", -2147483647 - 1, -2147483648.0},
      {"2147483648", std::nullopt, 2147483648.0},
      {"99999999999", std::nullopt, 99999999999.0},
      {"0.5", std::nullopt, 0.5},
      {".5", std::nullopt, 0.5},
      {"5.", std::nullopt, 5.0},
      {"1e-3", std::nullopt, 1e-3},
      {"2.5E+2", std::nullopt, 250.0},
      {"-0", 0, -0.0},
      {"0,5", std::nullopt, std::nullopt},
      {"ten", std::nullopt, std::nullopt},
      {"5x", std::nullopt, std::nullopt},
      {"", std::nullopt, std::nullopt},
      {"  ", std::nullopt, std::nullopt},
      {"-", std::nullopt, std::nullopt},
      {".", std::nullopt, std::nullopt},
      {"1e", std::nullopt, std::nullopt},
      {"1 5", std::nullopt, std::nullopt},
      {"nan", std::nullopt, std::nullopt},
      {"inf", std::nullopt, std::nullopt},
      {"-infinity", std::nullopt, std::nullopt},
      {"0x10", std::nullopt, std::nullopt},
      {"1e400", std::nullopt, std::nullopt},   // beyond every double
      {"1e-400", std::nullopt, std::nullopt},  // below every double, yet not 0
      {"0e-400", std::nullopt, 0.0},
      {"-stretch", std::nullopt, std::nullopt},
  };
  for (const auto& c : kCases) {
    EXPECT_EQ(WholeInt32(c.text), c.integer) << "'" << c.text << "'";
    EXPECT_EQ(WholeDecimal(c.text), c.decimal) << "'" << c.text << "'";
  }
  EXPECT_EQ(WholeDecimal("0.7"), 0.7);  // correctly rounded, like the compiler's own 0.7
  EXPECT_TRUE(std::signbit(*WholeDecimal("-0.0")));
}

}  // namespace
}  // namespace corvane
