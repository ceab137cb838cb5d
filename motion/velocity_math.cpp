#include "motion/velocity_math.h"

namespace vostel::core {

Slopes slopes(double A, double B, double xMP) {
  double kv = 2 * A * xMP + B;
  double ka = 0.6666666666666666 * A * xMP + B;
  return {kv, ka};
}

bool to_motor_units(double value, double k, double encoder, double s, double& out) {
  double counts = 4 * encoder;
  if (k == 0 || counts == 0) return false;
  out = value / k * 60 / counts * s;
  return true;
}

double velocity_to_wavelength(double pv, double kv, double encoder, double s) {
  double factor = 4 * encoder * s;
  return pv * kv / 60 * factor;
}

double acceleration_to_wavelength(double pa, double ka, double encoder, double s) {
  return pa * ka / 60 * 4 * encoder * s;
}

void clamp_profile(const Limits& l, double& v, double& a, double& b) {
  if (v > l.maxV) v = l.maxV;
  if (v < l.minV) v = l.minV;
  if (a > l.maxA) a = l.maxA;
  if (b > l.maxA) b = l.maxA;
  if (a < l.minA) a = l.minA;
  if (b < l.minA) b = l.minA;
}

}  // namespace vostel::core
