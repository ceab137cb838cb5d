#include "motion.h"

#include <algorithm>
#include <cmath>

namespace vsim {

namespace {
int sign(double x) { return (x > 0) - (x < 0); }
}  // namespace

double Segment::posAt(double t) const {
  double tau = std::clamp(t - t0, 0.0, dur);
  return p0 + v0 * tau + 0.5 * a * tau * tau;
}

double Segment::velAt(double t) const {
  double tau = std::clamp(t - t0, 0.0, dur);
  return v0 + a * tau;
}

int Segment::direction() const { return sign(v0 + velAt(t1())); }

double Segment::timeOfPosition(double x) const {
  // Along the direction of travel the velocity u stays >= 0 and the distance
  // d = u0*tau + alpha*tau^2/2; this form of the root has no cancellation.
  int s = direction();
  if (s == 0) return t0;
  double d = s * (x - p0);
  if (d <= 0) return t0;
  double u0 = s * v0;
  double alpha = s * a;
  double root = std::sqrt(std::max(0.0, u0 * u0 + 2 * alpha * d));
  double denom = u0 + root;
  if (denom <= 0) return t1();
  return t0 + std::min(dur, 2 * d / denom);
}

namespace {

struct Planner {
  std::vector<Segment> segs;
  double t, p, v;

  void push(double dur, double a) {
    if (!(dur > 0)) return;
    Segment s{t, dur, p, v, a};
    segs.push_back(s);
    p = s.p1();
    v = s.velAt(s.t1());
    t = s.t1();
  }
  void brakeToStandstill(double dec) {
    push(std::fabs(v) / dec, -sign(v) * dec);
    v = 0;
  }
};

}  // namespace

std::vector<Segment> planMove(double t0, double p0, double v0, double target, const Kinematics& k) {
  Planner pl{{}, t0, p0, v0};
  if (pl.v != 0) {
    double dist = target - pl.p;
    bool away = sign(pl.v) != sign(dist);
    bool overshoots = pl.v * pl.v / (2 * k.dec) > std::fabs(dist);
    if (away || overshoots) pl.brakeToStandstill(k.dec);
  }
  double dist = std::fabs(target - pl.p);
  int dir = sign(target - pl.p);
  if (dir == 0) return pl.segs;

  double u = std::fabs(pl.v);
  if (u > k.vmax) {  // the profile was lowered during a move
    pl.push((u - k.vmax) / k.dec, -dir * k.dec);
    pl.v = dir * k.vmax;
    u = k.vmax;
    dist = std::fabs(target - pl.p);
  }
  // Peak velocity of a triangle that accelerates from u and brakes to 0.
  double peak = std::sqrt((2 * k.acc * k.dec * dist + k.dec * u * u) / (k.acc + k.dec));
  peak = std::max(peak, u);
  if (peak > k.vmax) {
    double accelDist = (k.vmax * k.vmax - u * u) / (2 * k.acc);
    double brakeDist = k.vmax * k.vmax / (2 * k.dec);
    pl.push((k.vmax - u) / k.acc, dir * k.acc);
    pl.push((dist - accelDist - brakeDist) / k.vmax, 0);
    pl.push(k.vmax / k.dec, -dir * k.dec);
  } else {
    pl.push((peak - u) / k.acc, dir * k.acc);
    pl.push(peak / k.dec, -dir * k.dec);
  }
  return pl.segs;
}

std::vector<Segment> planStop(double t0, double p0, double v0, double dec) {
  Planner pl{{}, t0, p0, v0};
  pl.brakeToStandstill(dec);
  return pl.segs;
}

}  // namespace vsim
