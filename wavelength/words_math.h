// Packing of the calibration into the controller's 32-bit words.
//
// Coefficient word: bit 31 mantissa sign, bits 30..8 mantissa magnitude M,
// bit 7 exponent sign, bits 6..0 exponent magnitude E;
// value = sign * M * 2^(+-E) * 1e-6.
// Range word: bits 31..16 and 15..0, each trunc(wavelength * 10).
#pragma once

#include <cstdint>
#include <string>

namespace vostel::core {

// Encodes as the controller expects, without checking the format: the parts
// are added and the sum kept modulo 2^32, as a 32-bit cell would keep it.
// Requires a finite coefficient.
uint32_t encode_coefficient(double coeff);

// The same from a coefficient already split into f * 2^e (0.5 <= |f| < 1,
// or f = 0); requires a finite f.
uint32_t encode_fraction(double f, long e);

// Decodes any 32-bit word.
double decode_coefficient(uint32_t word);

// low = trunc(minWl * 10), high = trunc(maxWl * 10); low | high << 16, modulo
// 2^32. Requires finite values.
uint32_t encode_range(double minWl, double maxWl);

// Empty when the coefficient fits the word format (finite, binary exponent
// within -127..127); otherwise a message saying why not.
std::string coefficient_format_error(double coeff);

// Empty when trunc(wl * 10) fits an unsigned 16-bit field.
std::string range_field_error(double wl);

// The two wavelengths held by a range word: bits 15..0 and 31..16, in 0.1 nm.
struct RangeFields {
  double low;   // (By[3] + 256 * By[2]) / 10
  double high;  // (By[1] + 256 * By[0]) / 10
};
RangeFields decode_range(uint32_t word);

}  // namespace vostel::core
