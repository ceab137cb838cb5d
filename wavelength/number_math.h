// A number that follows the rules of Python's int and float in the operators
// the instrument's formulas use (+, -, *, /, x ** 2, <), so that a formula
// written once as a template gives the same result, bit for bit, as the same
// expression evaluated by the interpreter on int and float objects:
//   - int op int stays an exact int (0, never -0.0); / always gives a float;
//   - an int meeting a float is converted to the nearest double first;
//   - x ** 2 of a float is the C library's pow(x, 2).
// Where the interpreter would raise (division by zero, a float square that
// overflows) or an int outgrows what is held exactly here, the result is
// marked `failed`; the caller then evaluates the expression on the Python
// objects themselves and so gets the interpreter's own error or result.
#pragma once

#include <cstdint>

namespace vostel::core {

class Number {
 public:
  enum class Kind : unsigned char { Int, Float, Failed };

  // Ints are held exactly while |i| <= kIntLimit; sums and products of two
  // such ints cannot overflow 64 bits before the limit is checked.
  static constexpr int64_t kIntLimit = int64_t(1) << 61;

  Number(int i) : kind_(Kind::Int), i_(i) {}
  Number(double f) : kind_(Kind::Float), f_(f) {}
  static Number integer(int64_t i);  // failed beyond kIntLimit
  static Number failed();

  Kind kind() const { return kind_; }
  bool is_int() const { return kind_ == Kind::Int; }
  bool is_failed() const { return kind_ == Kind::Failed; }
  int64_t int_value() const { return i_; }
  // The value as Python's float() gives it (an int correctly rounded).
  double as_double() const;

  friend Number operator+(const Number& a, const Number& b);
  friend Number operator-(const Number& a, const Number& b);
  friend Number operator*(const Number& a, const Number& b);
  friend Number operator/(const Number& a, const Number& b);
  friend Number operator-(const Number& a);

 private:
  Kind kind_ = Kind::Failed;
  int64_t i_ = 0;
  double f_ = 0;
};

// x ** 2 for a floating-point x as Python takes it: the C library's pow, which
// may differ from x * x in the last bit (inf when it overflows).
double float_square(double x);

// x ** 2
Number square(const Number& x);

// a < b and a > b compared exactly, as Python compares an int with a float.
// Neither operand may be failed.
bool less(const Number& a, const Number& b);

// int(x): truncation toward zero; failed for a non-finite float.
Number truncate(const Number& x);

}  // namespace vostel::core
