#include "wavelength/words_math.h"

#include <cmath>

namespace vostel::core {

namespace {

constexpr double kTwo32 = 4294967296.0;

// An integral double taken modulo 2^32, as Python's int -> c_uint32 does.
uint32_t wrap32(double integral) {
  double r = std::fmod(integral, kTwo32);
  if (r < 0) r += kTwo32;
  return static_cast<uint32_t>(r);
}

}  // namespace

uint32_t encode_coefficient(double coeff) {
  int e = 0;
  double f = std::frexp(coeff, &e);
  return encode_fraction(f, e);
}

uint32_t encode_fraction(double f, long e) {
  double mant = std::trunc(f * 1000000.0);
  // Only the low 24 bits of the mantissa survive the shift into a 32-bit word.
  constexpr double kTwo24 = 16777216.0;
  uint32_t mantissa_part;
  if (f >= 0) {
    mantissa_part = static_cast<uint32_t>(std::fmod(mant, kTwo24)) << 8;
  } else {
    mantissa_part = (static_cast<uint32_t>(std::fmod(-mant, kTwo24)) | 0x800000u) << 8;
  }
  int64_t exponent_part = e >= 0 ? e : ((-static_cast<int64_t>(e)) | 0x80);
  return mantissa_part + static_cast<uint32_t>(static_cast<uint64_t>(exponent_part) & 0xFFFFFFFFu);
}

double decode_coefficient(uint32_t word) {
  uint32_t h1 = (word >> 24) & 0xFF, h2 = (word >> 16) & 0xFF, h3 = (word >> 8) & 0xFF, h4 = word & 0xFF;
  int signMantisse = 1;
  if (h1 >> 7) {
    h1 &= 0x7F;
    signMantisse = -1;
  }
  int signExponent = 1;
  if (h4 >> 7) {
    h4 &= 0x7F;
    signExponent = -1;
  }
  // The signed integer mantissa times the power of two is exact; then one
  // multiplication by the double nearest 1e-6.
  double mantissa = static_cast<double>(signMantisse * static_cast<int64_t>(h1 * 65536 + h2 * 256 + h3));
  double scaled = std::ldexp(mantissa, signExponent * static_cast<int>(h4));
  return scaled * 1e-06;
}

uint32_t encode_range(double minWl, double maxWl) {
  double low = std::trunc(minWl * 10);
  double high = std::trunc(maxWl * 10);
  // Bits 0..31 of (low | high << 16) on unbounded two's-complement integers.
  uint32_t low32 = wrap32(low);
  uint32_t high16 = wrap32(high) & 0xFFFFu;
  return low32 | (high16 << 16);
}

std::string coefficient_format_error(double coeff) {
  if (!std::isfinite(coeff)) return "is not a finite number";
  if (coeff == 0) return "";
  int e = 0;
  std::frexp(coeff, &e);
  if (e > 127) return "is too large for the coefficient word (|value| must be below 2**127)";
  if (e < -127) return "is too small for the coefficient word (|value| must be at least 2**-128)";
  return "";
}

std::string range_field_error(double wl) {
  if (!std::isfinite(wl)) return "is not a finite number";
  double field = std::trunc(wl * 10);
  if (field < 0 || field > 65535) return "does not fit the range word (0 to 6553.5 in steps of 0.1)";
  return "";
}

RangeFields decode_range(uint32_t word) {
  uint32_t b0 = (word >> 24) & 0xFF, b1 = (word >> 16) & 0xFF, b2 = (word >> 8) & 0xFF, b3 = word & 0xFF;
  return {static_cast<double>(b3 + 256 * b2) / 10, static_cast<double>(b1 + 256 * b0) / 10};
}

}  // namespace vostel::core
