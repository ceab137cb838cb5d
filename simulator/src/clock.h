// Simulated time: the wall clock (optionally sped up) or a virtual clock that
// only moves when told to.
#pragma once

#include <chrono>

namespace vsim {

class Clock {
 public:
  Clock() : wallBase_(std::chrono::steady_clock::now()) {}

  double now() const {
    if (virtual_) return virtualNow_;
    std::chrono::duration<double> elapsed = std::chrono::steady_clock::now() - wallBase_;
    return simBase_ + speed_ * elapsed.count();
  }
  bool isVirtual() const { return virtual_; }
  double speed() const { return speed_; }
  double step() const { return step_; }

  void useWall(double speed) {
    simBase_ = now();
    wallBase_ = std::chrono::steady_clock::now();
    speed_ = speed;
    virtual_ = false;
  }
  void useVirtual() {
    virtualNow_ = now();
    virtual_ = true;
  }
  // Virtual clock only: moves time forward to t (never backward).
  void advanceTo(double t) {
    if (t > virtualNow_) virtualNow_ = t;
  }
  void setStep(double seconds) { step_ = seconds; }

 private:
  bool virtual_ = false;
  double speed_ = 1.0;
  double simBase_ = 0;
  std::chrono::steady_clock::time_point wallBase_;
  double virtualNow_ = 0;
  double step_ = 0;
};

}  // namespace vsim
