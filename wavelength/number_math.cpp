#include "wavelength/number_math.h"

#include <cmath>

#if defined(_WIN32) && defined(__MINGW32__)
#define WIN32_LEAN_AND_MEAN
#define NOMINMAX
#include <windows.h>
#endif

namespace vostel::core {

namespace {

constexpr int64_t kExactInDouble = int64_t(1) << 53;

double (*interpreter_pow())(double, double) {
#if defined(_WIN32) && defined(__MINGW32__)
  // The Windows CPython's x ** y is the Universal C Runtime's pow (python3XX.dll
  // links it); std::pow of a MinGW-w64 build is MinGW's own, which rounds
  // differently in the last bit for some x. Take the interpreter's.
  if (HMODULE crt = GetModuleHandleW(L"ucrtbase.dll")) {
    if (FARPROC f = GetProcAddress(crt, "pow")) return reinterpret_cast<double (*)(double, double)>(f);
  }
#endif
  return [](double b, double e) { return std::pow(b, e); };
}

// Called through a pointer the compiler cannot see through, so that
// pow(x, 2) is not folded into x * x.
double (*volatile library_pow)(double, double) = interpreter_pow();

int64_t magnitude(int64_t i) { return i < 0 ? -i : i; }

}  // namespace

Number Number::integer(int64_t i) {
  if (magnitude(i) > kIntLimit) return failed();
  Number n(0);
  n.i_ = i;
  return n;
}

Number Number::failed() {
  Number n(0);
  n.kind_ = Kind::Failed;
  return n;
}

double Number::as_double() const { return kind_ == Kind::Int ? static_cast<double>(i_) : f_; }

Number operator+(const Number& a, const Number& b) {
  if (a.is_failed() || b.is_failed()) return Number::failed();
  if (a.is_int() && b.is_int()) return Number::integer(a.i_ + b.i_);
  return Number(a.as_double() + b.as_double());
}

Number operator-(const Number& a, const Number& b) {
  if (a.is_failed() || b.is_failed()) return Number::failed();
  if (a.is_int() && b.is_int()) return Number::integer(a.i_ - b.i_);
  return Number(a.as_double() - b.as_double());
}

Number operator*(const Number& a, const Number& b) {
  if (a.is_failed() || b.is_failed()) return Number::failed();
  if (a.is_int() && b.is_int()) {
    if (a.i_ == 0 || b.i_ == 0) return Number::integer(0);
    if (magnitude(a.i_) > Number::kIntLimit / magnitude(b.i_)) return Number::failed();
    return Number::integer(a.i_ * b.i_);
  }
  return Number(a.as_double() * b.as_double());
}

Number operator/(const Number& a, const Number& b) {
  if (a.is_failed() || b.is_failed()) return Number::failed();
  if (b.as_double() == 0) return Number::failed();  // ZeroDivisionError
  // int / int is correctly rounded by Python; so is the double quotient of
  // two ints that convert exactly.
  if (a.is_int() && b.is_int() && (magnitude(a.i_) > kExactInDouble || magnitude(b.i_) > kExactInDouble))
    return Number::failed();
  return Number(a.as_double() / b.as_double());
}

Number operator-(const Number& a) {
  if (a.is_failed()) return a;
  if (a.is_int()) return Number::integer(-a.i_);
  return Number(-a.f_);
}

double float_square(double x) { return library_pow(x, 2.0); }

Number square(const Number& x) {
  if (x.is_failed()) return x;
  if (x.is_int()) return x * x;
  double r = float_square(x.as_double());
  // The interpreter raises OverflowError when a finite float's power overflows.
  if (std::isinf(r) && std::isfinite(x.as_double())) return Number::failed();
  return Number(r);
}

bool less(const Number& a, const Number& b) {
  if (a.is_int() && b.is_int()) return a.int_value() < b.int_value();
  double da = a.as_double(), db = b.as_double();
  if (da != db || (!a.is_int() && !b.is_int())) return da < db;
  // One int, one float, equal as doubles: the float is a whole number in the
  // int range, so the two compare exactly as integers.
  int64_t ia = a.is_int() ? a.int_value() : static_cast<int64_t>(da);
  int64_t ib = b.is_int() ? b.int_value() : static_cast<int64_t>(db);
  return ia < ib;
}

Number truncate(const Number& x) {
  if (x.is_failed() || x.is_int()) return x;
  double t = std::trunc(x.as_double());
  if (!std::isfinite(t) || std::fabs(t) > static_cast<double>(Number::kIntLimit)) return Number::failed();
  return Number::integer(static_cast<int64_t>(t));
}

}  // namespace vostel::core
