// Coefficient words and range words, against the controller's stored format.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>

#include "wavelength/words_math.h"

using namespace vostel::core;

namespace {

struct Row {
  double coeff;
  uint32_t word;
  double decoded;
};

// Words as calibrations already stored in controllers hold them.
const Row kTable[] = {
    {780.0, 0x0B9F760A, 779.999232}, {0.0015, 0x0BB80089, 0.0015}, {-2.5e-10, 0x8831269F, -2.4999957531690596e-10},
    {1.0, 0x07A12001, 1.0},          {-1.0, 0x87A12001, -1.0},     {0.0, 0x00000000, 0.0},
};

}  // namespace

TEST(CoefficientWord, TableEncodesAndDecodesBitForBit) {
  for (const Row& r : kTable) {
    EXPECT_EQ(encode_coefficient(r.coeff), r.word) << r.coeff;
    EXPECT_EQ(decode_coefficient(r.word), r.decoded) << std::hex << r.word;
  }
}

TEST(CoefficientWord, SignBitsAndNegativeZero) {
  EXPECT_EQ(encode_coefficient(-1.0) ^ encode_coefficient(1.0), 0x80000000u);
  EXPECT_EQ(encode_coefficient(-0.0), 0u);
  EXPECT_TRUE(encode_coefficient(0.001) & 0x80u);  // negative exponent
  EXPECT_FALSE(encode_coefficient(1000.0) & 0x80u);
  EXPECT_EQ(decode_coefficient(0x00000080u), 0.0);
}

TEST(CoefficientWord, DecoderAcceptsAnyMantissa) {
  // M = 0x7FFFFF lies above the encoder's 1000000; exponent +0.
  EXPECT_EQ(decode_coefficient(0x7FFFFF00u), 8388607 * 1e-06);
  EXPECT_EQ(decode_coefficient(0xFFFFFF00u), -8388607 * 1e-06);
}

TEST(CoefficientWord, RoundTripKeepsSignNeverGrowsAndStaysWithinTwoPpm) {
  const double values[] = {780.0, 4700.0, -0.0005, 1e-11, 3.3e-9, -123456.789, 2.0e30, 7.1e-30, 0.999999, 1.5e38};
  for (double v : values) {
    double back = decode_coefficient(encode_coefficient(v));
    EXPECT_EQ(std::signbit(back), std::signbit(v)) << v;
    EXPECT_LE(std::fabs(back), std::fabs(v)) << v;
    EXPECT_LT(std::fabs(back - v), 2e-6 * std::fabs(v)) << v;
  }
}

TEST(CoefficientWord, OutOfFormatValuesOverlapTheirFieldsUnchecked) {
  // 2^200: f = 0.5, e = 201; the exponent spills into the sign bit of its byte.
  EXPECT_EQ(encode_coefficient(std::ldexp(1.0, 200)), 0x07A12000u + 201u);
  // The smallest subnormal: e = -1073, exponent part (1073 | 0x80).
  EXPECT_EQ(encode_coefficient(std::numeric_limits<double>::denorm_min()), 0x07A12000u + (1073u | 0x80u));
  EXPECT_EQ(encode_fraction(0.76171875, 10), 0x0B9F760Au);
}

TEST(CoefficientWord, FormatCheck) {
  EXPECT_EQ(coefficient_format_error(780.0), "");
  EXPECT_EQ(coefficient_format_error(0.0), "");
  EXPECT_EQ(coefficient_format_error(std::ldexp(1.0, 127) * 0.999), "");
  EXPECT_EQ(coefficient_format_error(std::ldexp(1.0, -128)), "");
  EXPECT_NE(coefficient_format_error(std::ldexp(1.0, 127)), "");
  EXPECT_NE(coefficient_format_error(-std::ldexp(1.0, 127)), "");
  EXPECT_NE(coefficient_format_error(std::ldexp(1.0, -129)), "");
  EXPECT_NE(coefficient_format_error(INFINITY), "");
  EXPECT_NE(coefficient_format_error(NAN), "");
}

TEST(RangeWord, CrossedArgumentsAsTheCalibrationWritesThem) {
  EXPECT_EQ(encode_range(800.0, 760.0), 0x1DB01F40u);
  EXPECT_EQ(encode_range(500.0, 450.0), 0x11941388u);   // 4500..5000 stored in whole nm
  EXPECT_EQ(encode_range(800.0, 760.09), 0x1DB01F40u);  // cut, not rounded
  RangeFields f = decode_range(0x1DB01F40u);
  EXPECT_EQ(f.low, 800.0);
  EXPECT_EQ(f.high, 760.0);
  f = decode_range(0x11941388u);
  EXPECT_EQ(f.low, 500.0);
  EXPECT_EQ(f.high, 450.0);
  f = decode_range(0);
  EXPECT_EQ(f.low, 0.0);
  EXPECT_EQ(f.high, 0.0);
}

TEST(RangeWord, FieldsOutsideTheFormatCombineLikeUnboundedIntegers) {
  // 70000 does not fit 16 bits: it is ORed in whole and reaches bit 16.
  EXPECT_EQ(encode_range(7000.0, 760.0), (7600u << 16) | 70000u);
  // A negative low field sets every high bit.
  EXPECT_EQ(encode_range(-1.0, 760.0), 0xFFFFFFF6u);
}

TEST(RangeWord, FieldCheck) {
  EXPECT_EQ(range_field_error(0.0), "");
  EXPECT_EQ(range_field_error(6553.5), "");
  EXPECT_EQ(range_field_error(-0.05), "");  // truncates to field 0
  EXPECT_NE(range_field_error(6553.6), "");
  EXPECT_NE(range_field_error(-0.1), "");
  EXPECT_NE(range_field_error(NAN), "");
  EXPECT_NE(range_field_error(-INFINITY), "");
}
