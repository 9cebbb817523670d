// Unit tests for the card value parser and the number conversions.
#include <gtest/gtest.h>

#include <cmath>
#include <string>

#include "driver/numbers.h"
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

TEST(Numbers, FloatingPointPrefixesLikeAtof) {
  EXPECT_EQ(ParseDouble("1.5x"), 1.5);
  EXPECT_EQ(ParseDouble("0.7"), 0.7);
  EXPECT_EQ(ParseDouble("junk"), 0.0);
  // Text with no number is +0.0 ("SCALE 0.00"), on C libraries that give -0.0
  // for it too; a real "-0" keeps its sign, as with glibc.
  EXPECT_FALSE(std::signbit(ParseDouble("-stretch")));
  EXPECT_FALSE(std::signbit(ParseDouble("-")));
  EXPECT_TRUE(std::signbit(ParseDouble("-0")));
  EXPECT_TRUE(std::signbit(ParseDouble(" -0.0e5")));
}

}  // namespace
}  // namespace corvane
