#include "simulator.h"

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "../epos_sim.h"

namespace vsim {

Simulator& Simulator::instance() {
  static Simulator sim;
  return sim;
}

Simulator::Simulator() { powerOn(); }

void Simulator::powerOn() {
  device_ = std::make_unique<Device>(trace_);
  std::ifstream in(statePath());
  if (in) {
    std::stringstream text;
    text << in.rdbuf();
    device_->loadStoredText(text.str());
  }
  handles_.clear();
  ports_ = {"USB0"};
  plugged_ = true;
  failures_.clear();
  failureTime_ = 0;
}

void Simulator::reset(bool forgetStored) {
  if (forgetStored) {
    std::error_code ec;
    std::filesystem::remove(statePath(), ec);
  }
  trace_.clear();
  powerOn();
}

std::string Simulator::statePath() const {
  if (!statePath_.empty()) return statePath_;
  const char* env = std::getenv("VOSTEL_SIM_STATE");
  if (env && *env) return env;
  std::error_code ec;
  auto dir = std::filesystem::temp_directory_path(ec);
  return (ec ? std::filesystem::path() : dir).append("vostel_sim_state.txt").string();
}

uint32_t Simulator::store() {
  std::ofstream out(statePath(), std::ios::trunc);
  out << device_->storedText();
  out.close();
  return out ? 0 : EPOS_SIM_ERR_GENERAL;
}

double Simulator::sample() {
  double now = clock_.now();
  device_->advance(now);
  trace_.position(now, device_->position(now));
  return now;
}

uint32_t Simulator::injectedFailure(const std::string& name) {
  for (const std::string& key : {name, std::string("*")}) {
    auto it = failures_.find(key);
    if (it == failures_.end()) continue;
    Failure& f = it->second;
    if (f.pass > 0) {
      --f.pass;
      continue;
    }
    uint32_t code = f.code;
    if (f.count > 0 && --f.count == 0) failures_.erase(it);
    return code;
  }
  return 0;
}

uint32_t Simulator::checkHandle(const void* handle) const {
  // Callers that declare no argument types pass the handle as a C int, so
  // only the low 32 bits are meaningful.
  auto h = static_cast<uint32_t>(reinterpret_cast<uintptr_t>(handle));
  if (!handles_.count(h)) return EPOS_SIM_ERR_BAD_HANDLE;
  if (!plugged_) return EPOS_SIM_ERR_NO_DEVICE;
  return 0;
}

uint32_t Simulator::openHandle(const std::string& port, uint32_t* handle) {
  if (!plugged_ || std::find(ports_.begin(), ports_.end(), port) == ports_.end()) return EPOS_SIM_ERR_NO_DEVICE;
  *handle = nextHandle_++;
  if (nextHandle_ > 0x7FFFFFFF) nextHandle_ = 1;
  handles_.insert(*handle);
  return 0;
}

uint32_t Simulator::waitForMotionEnd(Call& call, uint32_t timeoutMs) {
  const double deadline = call.now + timeoutMs / 1000.0;
  double now = call.now;
  for (;;) {
    device_->advance(now);
    if (!device_->moving()) return device_->state() == kFault ? EPOS_SIM_ERR_FAULT_STATE : 0;
    if (now >= deadline) return EPOS_SIM_ERR_TIMEOUT;
    double until = std::min(device_->motionEnd(), deadline);
    if (clock_.isVirtual()) {
      clock_.advanceTo(until);
    } else {
      // Sleep in short slices so that commands from other threads (a
      // quick stop, a new move) are seen promptly.
      double real = std::min((until - now) / clock_.speed(), 0.02);
      cv_.wait_for(call.lock, std::chrono::duration<double>(std::max(real, 0.0)));
    }
    now = clock_.now();
  }
}

void Simulator::takeFailureTime(std::unique_lock<std::mutex>& lock) {
  if (failureTime_ <= 0) return;
  const double until = clock_.now() + failureTime_;
  if (clock_.isVirtual()) {
    clock_.advanceTo(until);
    return;
  }
  // Other threads' commands go on meanwhile, as they would beside a USB
  // stack that waits for its own time-out.
  for (double now = clock_.now(); now < until; now = clock_.now())
    cv_.wait_for(lock, std::chrono::duration<double>(std::min((until - now) / clock_.speed(), 0.02)));
}

void Simulator::setPorts(const std::string& commaSeparated) {
  ports_.clear();
  std::stringstream in(commaSeparated);
  std::string port;
  while (std::getline(in, port, ',')) {
    port.erase(0, port.find_first_not_of(" \t"));
    port.erase(port.find_last_not_of(" \t") + 1);
    if (!port.empty()) ports_.push_back(port);
  }
}

void Simulator::failNext(const std::string& command, int count, uint32_t code) {
  if (count == 0)
    failures_.erase(command);
  else
    failures_[command] = Failure{count, code};
}

void Simulator::failAt(const std::string& command, int nth, uint32_t code) {
  failures_[command] = Failure{1, code, nth - 1};
}

}  // namespace vsim
