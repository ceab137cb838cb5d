// The one simulated controller of this process and everything around it:
// clock, open handles, accepted ports, injected failures, trace and stored
// memory.  All access goes through one mutex.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <vector>

#include "clock.h"
#include "device.h"
#include "trace.h"

namespace vsim {

class Simulator {
 public:
  static Simulator& instance();

  struct Call {
    std::unique_lock<std::mutex>& lock;
    double now;
    Device& dev;
    Simulator& sim;
  };

  // Runs one command: advances the clock step, processes the drive up to
  // now, records the command, applies injected failures and the handle
  // check, then runs body(Call&) which returns 0 or an error code.  The
  // code is written to *err (when not null) and returned.
  template <class Body>
  uint32_t command(const char* name, const void* handle, bool needsHandle, uint32_t* err, const std::string& args,
                   Body&& body) {
    std::unique_lock<std::mutex> lock(mu_);
    if (clock_.isVirtual() && clock_.step() > 0) clock_.advanceTo(clock_.now() + clock_.step());
    double now = sample();
    uint64_t id = trace_.command(now, name, args);
    uint32_t code = injectedFailure(name);
    if (!code && needsHandle) code = checkHandle(handle);
    if (!code) {
      Call call{lock, now, *device_, *this};
      code = body(call);
    }
    if (code) takeFailureTime(lock);
    sample();
    trace_.finishCommand(id, code);
    if (err) *err = code;
    cv_.notify_all();
    return code;
  }

  // Runs f(now) under the lock after processing the drive up to now.
  template <class F>
  auto locked(F&& f) {
    std::unique_lock<std::mutex> lock(mu_);
    double now = clock_.now();
    device_->advance(now);
    auto result = f(now);
    cv_.notify_all();
    return result;
  }

  // For command bodies (lock held).
  uint32_t openHandle(const std::string& port, uint32_t* handle);
  void closeHandle(uint32_t handle) { handles_.erase(handle); }
  uint32_t store();
  // Waits, releasing the lock under the wall clock, until the motion ends or
  // `timeoutMs` has passed.
  uint32_t waitForMotionEnd(Call& call, uint32_t timeoutMs);

  // Control interface; call inside locked().
  void reset(bool forgetStored);
  void setStatePath(const std::string& path) { statePath_ = path; }
  std::string statePath() const;
  Clock& clock() { return clock_; }
  Trace& trace() { return trace_; }
  Device& device() { return *device_; }
  void setPorts(const std::string& commaSeparated);
  void setPlugged(bool plugged) { plugged_ = plugged; }
  void failNext(const std::string& command, int count, uint32_t code);
  void failAt(const std::string& command, int nth, uint32_t code);
  // How long every failing command takes before it returns (a USB stack
  // waiting for its own time-out); 0 = at once.
  void setFailureTime(double seconds) { failureTime_ = seconds; }

 private:
  Simulator();
  double sample();
  uint32_t injectedFailure(const std::string& name);
  uint32_t checkHandle(const void* handle) const;
  void powerOn();
  void takeFailureTime(std::unique_lock<std::mutex>& lock);

  std::mutex mu_;
  std::condition_variable cv_;
  Clock clock_;
  Trace trace_;
  std::unique_ptr<Device> device_;
  std::set<uint32_t> handles_;
  uint32_t nextHandle_ = 1;
  std::vector<std::string> ports_;
  bool plugged_ = true;
  struct Failure {
    int count;  // calls that fail; negative: every call
    uint32_t code;
    int pass = 0;  // calls that still succeed before the failing ones
  };
  std::map<std::string, Failure> failures_;
  std::string statePath_;  // empty: default
  double failureTime_ = 0;
};

}  // namespace vsim
