// Trajectory arithmetic of the simulated drive: a move is a list of
// constant-acceleration segments, each monotonic in position, so that the
// position at any instant and the instant of any position can be computed
// exactly.
#pragma once

#include <vector>

namespace vsim {

struct Segment {
  double t0 = 0;   // start time, s
  double dur = 0;  // duration, s
  double p0 = 0;   // start position, counts
  double v0 = 0;   // start velocity, counts/s
  double a = 0;    // acceleration, counts/s^2

  double t1() const { return t0 + dur; }
  double posAt(double t) const;  // t is clamped to the segment
  double velAt(double t) const;
  double p1() const { return posAt(t1()); }
  int direction() const;  // +1, -1, or 0 for a standstill segment
  // Instant at which the segment passes position x; x must lie between
  // p0 and p1.
  double timeOfPosition(double x) const;
};

struct Kinematics {
  double vmax;  // counts/s, > 0
  double acc;   // counts/s^2, > 0
  double dec;   // counts/s^2, > 0
};

// Trapezoidal (or triangular) move from position p0 with velocity v0 at time
// t0 to target.  A drive running away from the target, or too fast to stop in
// time, first brakes to a standstill and then starts afresh.
std::vector<Segment> planMove(double t0, double p0, double v0, double target, const Kinematics& k);

// Braking from velocity v0 to a standstill.
std::vector<Segment> planStop(double t0, double p0, double v0, double dec);

}  // namespace vsim
