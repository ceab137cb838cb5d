// The SIM_ control interface for tests and demos.
#include <algorithm>
#include <cmath>
#include <cstring>
#include <string>

#include "../epos_sim.h"
#include "simulator.h"

using vsim::Simulator;

namespace {

// Copies s into buffer when it fits; returns the size needed including NUL.
int copyOut(const std::string& s, char* buffer, int size) {
  int needed = static_cast<int>(s.size()) + 1;
  if (buffer && size >= needed) std::memcpy(buffer, s.c_str(), s.size() + 1);
  return needed;
}

template <class F>
auto locked(F&& f) {
  return Simulator::instance().locked(std::forward<F>(f));
}

}  // namespace

extern "C" {

void SIM_CALL SIM_Reset(int forget_stored) {
  locked([&](double) {
    Simulator::instance().reset(forget_stored != 0);
    return 0;
  });
}

int SIM_CALL SIM_SetStateFile(const char* path) {
  return locked([&](double) {
    Simulator::instance().setStatePath(path ? path : "");
    return 1;
  });
}

int SIM_CALL SIM_GetStateFile(char* buffer, int size) {
  return locked([&](double) { return copyOut(Simulator::instance().statePath(), buffer, size); });
}

int SIM_CALL SIM_UseWallClock(double speed) {
  if (!(speed > 0) || !std::isfinite(speed)) return 0;
  return locked([&](double) {
    Simulator::instance().clock().useWall(speed);
    return 1;
  });
}

int SIM_CALL SIM_UseVirtualClock(void) {
  return locked([&](double) {
    Simulator::instance().clock().useVirtual();
    return 1;
  });
}

int SIM_CALL SIM_AdvanceClock(double seconds) {
  if (!(seconds >= 0) || !std::isfinite(seconds)) return 0;
  return locked([&](double now) {
    auto& sim = Simulator::instance();
    if (!sim.clock().isVirtual()) return 0;
    sim.clock().advanceTo(now + seconds);
    sim.device().advance(sim.clock().now());
    return 1;
  });
}

int SIM_CALL SIM_SetClockStep(double seconds) {
  if (!(seconds >= 0) || !std::isfinite(seconds)) return 0;
  return locked([&](double) {
    Simulator::instance().clock().setStep(seconds);
    return 1;
  });
}

int SIM_CALL SIM_SetFailureTime(double seconds) {
  if (!(seconds >= 0) || !std::isfinite(seconds)) return 0;
  return locked([&](double) {
    Simulator::instance().setFailureTime(seconds);
    return 1;
  });
}

double SIM_CALL SIM_GetTime(void) {
  return locked([&](double now) { return now; });
}

int SIM_CALL SIM_SetPosition(int position) {
  return locked([&](double now) {
    Simulator::instance().device().setPosition(now, position);
    return 1;
  });
}

int SIM_CALL SIM_SetQuickStopDeceleration(uint32_t rpm_per_s) {
  return locked([&](double) {
    return Simulator::instance().device().setObjects({{vsim::obj::kQuickStopDeceleration, rpm_per_s}}) == 0 ? 1 : 0;
  });
}

int SIM_CALL SIM_GetPosition(void) {
  return locked([&](double now) { return static_cast<int>(Simulator::instance().device().positionCounts(now)); });
}

int SIM_CALL SIM_GetDriveState(void) {
  return locked([&](double) { return static_cast<int>(Simulator::instance().device().state()); });
}

int SIM_CALL SIM_IsMoving(void) {
  return locked([&](double) { return Simulator::instance().device().moving() ? 1 : 0; });
}

int SIM_CALL SIM_GetOutputLevel(int output) {
  return locked([&](double) { return Simulator::instance().device().outputLevel(output); });
}

int SIM_CALL SIM_SetLimitSwitches(int negative, int positive) {
  if (negative >= positive) return 0;
  return locked([&](double now) {
    Simulator::instance().device().setLimits(now, negative, positive);
    return 1;
  });
}

int SIM_CALL SIM_SetPorts(const char* ports) {
  return locked([&](double) {
    Simulator::instance().setPorts(ports ? ports : "");
    return 1;
  });
}

int SIM_CALL SIM_SetPlugged(int plugged) {
  return locked([&](double) {
    Simulator::instance().setPlugged(plugged != 0);
    return 1;
  });
}

int SIM_CALL SIM_FailNext(const char* command, int count, uint32_t error_code) {
  if (!command || !*command || (count != 0 && error_code == 0)) return 0;
  return locked([&](double) {
    Simulator::instance().failNext(command, count, error_code);
    return 1;
  });
}

int SIM_CALL SIM_FailAt(const char* command, int nth, uint32_t error_code) {
  if (!command || !*command || nth < 1 || error_code == 0) return 0;
  return locked([&](double) {
    Simulator::instance().failAt(command, nth, error_code);
    return 1;
  });
}

int SIM_CALL SIM_DriveFault(void) {
  return locked([&](double now) {
    Simulator::instance().device().driveFault(now, "following error");
    return 1;
  });
}

int SIM_CALL SIM_ExternalDisable(void) {
  return locked([&](double now) {
    Simulator::instance().device().externalDisable(now);
    return 1;
  });
}

int SIM_CALL SIM_TraceJson(char* buffer, int size) {
  return locked([&](double now) { return copyOut(Simulator::instance().trace().json(now), buffer, size); });
}

void SIM_CALL SIM_TraceClear(void) {
  locked([&](double) {
    Simulator::instance().trace().clear();
    return 0;
  });
}

int SIM_CALL SIM_PulseCount(void) {
  return locked([&](double) { return Simulator::instance().trace().pulseCount(); });
}

int SIM_CALL SIM_CommandCount(const char* command) {
  if (!command) return 0;
  return locked([&](double) { return Simulator::instance().trace().commandCount(command); });
}

}  // extern "C"
