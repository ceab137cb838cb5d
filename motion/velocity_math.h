// Conversion of the speed profile between wavelength units (nm/s, nm/s^2)
// and the controller's motor units (rpm, rpm/s), linearised at the motor
// position of the centre of the calibrated range. Divisions by zero are
// reported (as Python would raise ZeroDivisionError), never evaluated.
#pragma once

namespace vostel::core {

struct Slopes {
  double kv;  // 2 * A * xMP + B
  double ka;  // 0.6666666666666666 * A * xMP + B
};
Slopes slopes(double A, double B, double xMP);

// One profile value to motor units: value / k * 60 / (4 * E) * s.
// Returns false (division by zero) when k or 4 * E is zero.
bool to_motor_units(double value, double k, double encoder, double s, double& out);

// Velocity back to nm/s: pv * kv / 60 * (4 * E * s).
double velocity_to_wavelength(double pv, double kv, double encoder, double s);

// Acceleration or deceleration back to nm/s^2: pa * ka / 60 * 4 * E * s.
double acceleration_to_wavelength(double pa, double ka, double encoder, double s);

struct Limits {
  double minV, maxV, minA, maxA;
};
// Clamps in the fixed order: velocity max then min; acceleration and
// deceleration max, then their mins.
void clamp_profile(const Limits& l, double& v, double& a, double& b);

}  // namespace vostel::core
