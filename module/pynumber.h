// Formulas evaluated the way the interpreter evaluates them.
//
// Each formula is written once, as a template over the number type
// (wavelength/model_math.h, motion/velocity_math.h, trigger/compare_math.h).
// For exact ints and floats (bools included) and numpy's real scalars, which
// count as doubles, it runs over core::Number, which follows Python's int and
// float rules bit for bit. Any other object (Decimal, Fraction, complex,
// bytes, a user type), or a case where the interpreter would raise, runs it
// over PyNum: the interpreter's own operators on the objects themselves, so
// the result and the errors are exactly those of the written expression.
#pragma once

#include "module/pyutil.h"
#include "wavelength/number_math.h"

namespace vostel {

class PyNum {
 public:
  PyNum(py::object o) : o_(std::move(o)) {}
  PyNum(int i) : o_(py::int_(i)) {}
  PyNum(double f) : o_(py::float_(f)) {}
  const py::object& object() const { return o_; }

  friend PyNum operator+(const PyNum& a, const PyNum& b);
  friend PyNum operator-(const PyNum& a, const PyNum& b);
  friend PyNum operator*(const PyNum& a, const PyNum& b);
  friend PyNum operator/(const PyNum& a, const PyNum& b);
  friend PyNum operator-(const PyNum& a);
  friend PyNum square(const PyNum& x);  // x ** 2

 private:
  py::object o_;
};

// Rich comparisons as the operators < and > call them.
bool py_less(const PyNum& a, const PyNum& b);
bool py_greater(const PyNum& a, const PyNum& b);

// The object as a core::Number when it takes the fast way: an exact int or
// bool that fits, an exact float, or a numpy integer, floating or bool
// scalar (as a double). False for everything else.
bool as_number(py::handle obj, core::Number& out);

// The object as the slow way takes it: a numpy real scalar as a Python float
// (worked with in double precision, whatever its own width), anything else
// unchanged.
py::object plain(py::handle obj);

// A Number back into a Python int or float (never a failed one).
py::object to_python(const core::Number& n);

}  // namespace vostel
