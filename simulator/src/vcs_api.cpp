// The command library's VCS_ functions on top of the simulated controller.
#include <algorithm>
#include <cstring>
#include <string>
#include <type_traits>

#include "../epos_sim.h"
#include "errors.h"
#include "simulator.h"

using vsim::Simulator;

namespace {

// ---- argument text for the trace ----------------------------------------------

struct Handle {
  const void* h;
};

std::string text(Handle h) { return std::to_string(static_cast<uint32_t>(reinterpret_cast<uintptr_t>(h.h))); }
std::string text(const char* s) { return s ? s : "NULL"; }
std::string text(char* s) { return text(static_cast<const char*>(s)); }
template <class T>
std::string text(T* p) {
  return p ? "&" : "NULL";  // out-parameter
}
template <class T, class = std::enable_if_t<std::is_arithmetic_v<T>>>
std::string text(T v) {
  return std::to_string(+v);
}

template <class... Args>
std::string args(Args... a) {
  std::string out;
  ((out += (out.empty() ? "" : ", ") + text(a)), ...);
  return out;
}

// ---- call helpers ---------------------------------------------------------------

// A command addressed to an open device.
template <class Body>
int32_t run(const char* name, void* handle, uint32_t* err, const std::string& argText, Body&& body) {
  return Simulator::instance().command(name, handle, true, err, argText, body) == 0;
}

template <class... Ptrs>
bool anyNull(Ptrs... p) {
  return ((p == nullptr) || ...);
}

}  // namespace

#define TRACE_ARGS(...) args(Handle{KeyHandle}, __VA_ARGS__)

extern "C" {

// ---- connection -------------------------------------------------------------------

void* VCS_CALL VCS_OpenDevice(char* DeviceName, char* ProtocolStackName, char* InterfaceName, char* PortName,
                              uint32_t* pErrorCode) {
  uint32_t handle = 0;
  auto body = [&](Simulator::Call& c) -> uint32_t {
    if (anyNull(DeviceName, ProtocolStackName, InterfaceName, PortName)) return EPOS_SIM_ERR_NULL_POINTER;
    if (std::strcmp(DeviceName, "EPOS2") != 0) return EPOS_SIM_ERR_DEVICE_NAME;
    if (std::strcmp(ProtocolStackName, "MAXON SERIAL V2") != 0) return EPOS_SIM_ERR_PROTOCOL_NAME;
    if (std::strcmp(InterfaceName, "USB") != 0) return EPOS_SIM_ERR_INTERFACE_NAME;
    return c.sim.openHandle(PortName, &handle);
  };
  Simulator::instance().command("VCS_OpenDevice", nullptr, false, pErrorCode,
                                args(DeviceName, ProtocolStackName, InterfaceName, PortName), body);
  return reinterpret_cast<void*>(static_cast<uintptr_t>(handle));
}

int32_t VCS_CALL VCS_CloseDevice(void* KeyHandle, uint32_t* pErrorCode) {
  return run("VCS_CloseDevice", KeyHandle, pErrorCode, args(Handle{KeyHandle}), [&](Simulator::Call& c) {
    c.sim.closeHandle(static_cast<uint32_t>(reinterpret_cast<uintptr_t>(KeyHandle)));
    return 0u;
  });
}

// ---- drive state -------------------------------------------------------------------

int32_t VCS_CALL VCS_SetEnableState(void* KeyHandle, uint16_t NodeId, uint32_t* pErrorCode) {
  return run("VCS_SetEnableState", KeyHandle, pErrorCode, TRACE_ARGS(NodeId),
             [&](Simulator::Call& c) { return c.dev.enable(c.now); });
}

int32_t VCS_CALL VCS_SetDisableState(void* KeyHandle, uint16_t NodeId, uint32_t* pErrorCode) {
  return run("VCS_SetDisableState", KeyHandle, pErrorCode, TRACE_ARGS(NodeId),
             [&](Simulator::Call& c) { return c.dev.disable(c.now); });
}

int32_t VCS_CALL VCS_SetQuickStopState(void* KeyHandle, uint16_t NodeId, uint32_t* pErrorCode) {
  return run("VCS_SetQuickStopState", KeyHandle, pErrorCode, TRACE_ARGS(NodeId),
             [&](Simulator::Call& c) { return c.dev.quickStop(c.now); });
}

int32_t VCS_CALL VCS_ClearFault(void* KeyHandle, uint16_t NodeId, uint32_t* pErrorCode) {
  return run("VCS_ClearFault", KeyHandle, pErrorCode, TRACE_ARGS(NodeId),
             [&](Simulator::Call& c) { return c.dev.clearFault(c.now); });
}

int32_t VCS_CALL VCS_GetState(void* KeyHandle, uint16_t NodeId, uint16_t* pState, uint32_t* pErrorCode) {
  return run("VCS_GetState", KeyHandle, pErrorCode, TRACE_ARGS(NodeId, pState), [&](Simulator::Call& c) {
    if (!pState) return EPOS_SIM_ERR_NULL_POINTER;
    *pState = static_cast<uint16_t>(c.dev.state());
    return 0u;
  });
}

int32_t VCS_CALL VCS_Store(void* KeyHandle, uint16_t NodeId, uint32_t* pErrorCode) {
  return run("VCS_Store", KeyHandle, pErrorCode, TRACE_ARGS(NodeId), [&](Simulator::Call& c) { return c.sim.store(); });
}

// ---- parameters ----------------------------------------------------------------------

int32_t VCS_CALL VCS_SetMaxProfileVelocity(void* KeyHandle, uint16_t NodeId, uint32_t MaxProfileVelocity,
                                           uint32_t* pErrorCode) {
  return run(
      "VCS_SetMaxProfileVelocity", KeyHandle, pErrorCode, TRACE_ARGS(NodeId, MaxProfileVelocity),
      [&](Simulator::Call& c) { return c.dev.setObjects({{vsim::obj::kMaxProfileVelocity, MaxProfileVelocity}}); });
}

int32_t VCS_CALL VCS_SetMaxAcceleration(void* KeyHandle, uint16_t NodeId, uint32_t MaxAcceleration,
                                        uint32_t* pErrorCode) {
  return run("VCS_SetMaxAcceleration", KeyHandle, pErrorCode, TRACE_ARGS(NodeId, MaxAcceleration),
             [&](Simulator::Call& c) { return c.dev.setObjects({{vsim::obj::kMaxAcceleration, MaxAcceleration}}); });
}

int32_t VCS_CALL VCS_GetIncEncoderParameter(void* KeyHandle, uint16_t NodeId, uint32_t* pEncoderResolution,
                                            int32_t* pInvertedPolarity, uint32_t* pErrorCode) {
  return run("VCS_GetIncEncoderParameter", KeyHandle, pErrorCode,
             TRACE_ARGS(NodeId, pEncoderResolution, pInvertedPolarity), [&](Simulator::Call& c) {
               if (anyNull(pEncoderResolution, pInvertedPolarity)) return EPOS_SIM_ERR_NULL_POINTER;
               *pEncoderResolution = c.dev.get(vsim::obj::kEncoderPulses);
               *pInvertedPolarity = static_cast<int32_t>(c.dev.get(vsim::obj::kEncoderPolarity));
               return 0u;
             });
}

int32_t VCS_CALL VCS_SetIncEncoderParameter(void* KeyHandle, uint16_t NodeId, uint32_t EncoderResolution,
                                            int32_t InvertedPolarity, uint32_t* pErrorCode) {
  return run("VCS_SetIncEncoderParameter", KeyHandle, pErrorCode,
             TRACE_ARGS(NodeId, EncoderResolution, InvertedPolarity), [&](Simulator::Call& c) {
               return c.dev.setObjects({{vsim::obj::kEncoderPulses, EncoderResolution},
                                        {vsim::obj::kEncoderPolarity, InvertedPolarity ? 1u : 0u}});
             });
}

int32_t VCS_CALL VCS_GetDcMotorParameter(void* KeyHandle, uint16_t NodeId, uint16_t* pNominalCurrent,
                                         uint16_t* pMaxOutputCurrent, uint16_t* pThermalTimeConstant,
                                         uint32_t* pErrorCode) {
  return run("VCS_GetDcMotorParameter", KeyHandle, pErrorCode,
             TRACE_ARGS(NodeId, pNominalCurrent, pMaxOutputCurrent, pThermalTimeConstant), [&](Simulator::Call& c) {
               if (anyNull(pNominalCurrent, pMaxOutputCurrent, pThermalTimeConstant)) return EPOS_SIM_ERR_NULL_POINTER;
               *pNominalCurrent = static_cast<uint16_t>(c.dev.get(vsim::obj::kNominalCurrent));
               *pMaxOutputCurrent = static_cast<uint16_t>(c.dev.get(vsim::obj::kMaxOutputCurrent));
               *pThermalTimeConstant = static_cast<uint16_t>(c.dev.get(vsim::obj::kThermalTimeConstant));
               return 0u;
             });
}

int32_t VCS_CALL VCS_SetDcMotorParameter(void* KeyHandle, uint16_t NodeId, uint16_t NominalCurrent,
                                         uint16_t MaxOutputCurrent, uint16_t ThermalTimeConstant,
                                         uint32_t* pErrorCode) {
  return run("VCS_SetDcMotorParameter", KeyHandle, pErrorCode,
             TRACE_ARGS(NodeId, NominalCurrent, MaxOutputCurrent, ThermalTimeConstant), [&](Simulator::Call& c) {
               return c.dev.setObjects({{vsim::obj::kNominalCurrent, NominalCurrent},
                                        {vsim::obj::kMaxOutputCurrent, MaxOutputCurrent},
                                        {vsim::obj::kThermalTimeConstant, ThermalTimeConstant}});
             });
}

// ---- profile position mode -------------------------------------------------------------

int32_t VCS_CALL VCS_ActivateProfilePositionMode(void* KeyHandle, uint16_t NodeId, uint32_t* pErrorCode) {
  // Profile position is the only mode the simulated drive has.
  return run("VCS_ActivateProfilePositionMode", KeyHandle, pErrorCode, TRACE_ARGS(NodeId),
             [&](Simulator::Call&) { return 0u; });
}

int32_t VCS_CALL VCS_SetPositionProfile(void* KeyHandle, uint16_t NodeId, uint32_t ProfileVelocity,
                                        uint32_t ProfileAcceleration, uint32_t ProfileDeceleration,
                                        uint32_t* pErrorCode) {
  return run("VCS_SetPositionProfile", KeyHandle, pErrorCode,
             TRACE_ARGS(NodeId, ProfileVelocity, ProfileAcceleration, ProfileDeceleration), [&](Simulator::Call& c) {
               return c.dev.setObjects({{vsim::obj::kProfileVelocity, ProfileVelocity},
                                        {vsim::obj::kProfileAcceleration, ProfileAcceleration},
                                        {vsim::obj::kProfileDeceleration, ProfileDeceleration}});
             });
}

int32_t VCS_CALL VCS_GetPositionProfile(void* KeyHandle, uint16_t NodeId, uint32_t* pProfileVelocity,
                                        uint32_t* pProfileAcceleration, uint32_t* pProfileDeceleration,
                                        uint32_t* pErrorCode) {
  return run("VCS_GetPositionProfile", KeyHandle, pErrorCode,
             TRACE_ARGS(NodeId, pProfileVelocity, pProfileAcceleration, pProfileDeceleration), [&](Simulator::Call& c) {
               if (anyNull(pProfileVelocity, pProfileAcceleration, pProfileDeceleration))
                 return EPOS_SIM_ERR_NULL_POINTER;
               *pProfileVelocity = c.dev.get(vsim::obj::kProfileVelocity);
               *pProfileAcceleration = c.dev.get(vsim::obj::kProfileAcceleration);
               *pProfileDeceleration = c.dev.get(vsim::obj::kProfileDeceleration);
               return 0u;
             });
}

int32_t VCS_CALL VCS_MoveToPosition(void* KeyHandle, uint16_t NodeId, int32_t TargetPosition, int32_t Absolute,
                                    int32_t Immediately, uint32_t* pErrorCode) {
  return run("VCS_MoveToPosition", KeyHandle, pErrorCode, TRACE_ARGS(NodeId, TargetPosition, Absolute, Immediately),
             [&](Simulator::Call& c) { return c.dev.moveTo(c.now, TargetPosition, Absolute != 0, Immediately != 0); });
}

int32_t VCS_CALL VCS_WaitForTargetReached(void* KeyHandle, uint16_t NodeId, uint32_t Timeout, uint32_t* pErrorCode) {
  return run("VCS_WaitForTargetReached", KeyHandle, pErrorCode, TRACE_ARGS(NodeId, Timeout),
             [&](Simulator::Call& c) { return c.sim.waitForMotionEnd(c, Timeout); });
}

int32_t VCS_CALL VCS_GetMovementState(void* KeyHandle, uint16_t NodeId, int32_t* pTargetReached, uint32_t* pErrorCode) {
  return run("VCS_GetMovementState", KeyHandle, pErrorCode, TRACE_ARGS(NodeId, pTargetReached),
             [&](Simulator::Call& c) {
               if (!pTargetReached) return EPOS_SIM_ERR_NULL_POINTER;
               *pTargetReached = c.dev.moving() ? 0 : 1;
               return 0u;
             });
}

int32_t VCS_CALL VCS_GetPositionIs(void* KeyHandle, uint16_t NodeId, int32_t* pPositionIs, uint32_t* pErrorCode) {
  return run("VCS_GetPositionIs", KeyHandle, pErrorCode, TRACE_ARGS(NodeId, pPositionIs), [&](Simulator::Call& c) {
    if (!pPositionIs) return EPOS_SIM_ERR_NULL_POINTER;
    *pPositionIs = c.dev.positionCounts(c.now);
    return 0u;
  });
}

int32_t VCS_CALL VCS_GetCurrentIs(void* KeyHandle, uint16_t NodeId, int16_t* pCurrentIs, uint32_t* pErrorCode) {
  return run("VCS_GetCurrentIs", KeyHandle, pErrorCode, TRACE_ARGS(NodeId, pCurrentIs), [&](Simulator::Call& c) {
    if (!pCurrentIs) return EPOS_SIM_ERR_NULL_POINTER;
    *pCurrentIs = c.dev.current(c.now);
    return 0u;
  });
}

int32_t VCS_CALL VCS_GetAllDigitalInputs(void* KeyHandle, uint16_t NodeId, uint16_t* pInputs, uint32_t* pErrorCode) {
  return run("VCS_GetAllDigitalInputs", KeyHandle, pErrorCode, TRACE_ARGS(NodeId, pInputs), [&](Simulator::Call& c) {
    if (!pInputs) return EPOS_SIM_ERR_NULL_POINTER;
    *pInputs = c.dev.digitalInputs(c.now);
    return 0u;
  });
}

// ---- outputs and position compare --------------------------------------------------------

int32_t VCS_CALL VCS_DigitalOutputConfiguration(void* KeyHandle, uint16_t NodeId, uint16_t DigitalOutputNb,
                                                uint16_t Configuration, int32_t State, int32_t Mask, int32_t Polarity,
                                                uint32_t* pErrorCode) {
  return run("VCS_DigitalOutputConfiguration", KeyHandle, pErrorCode,
             TRACE_ARGS(NodeId, DigitalOutputNb, Configuration, State, Mask, Polarity), [&](Simulator::Call& c) {
               return c.dev.configureOutput(c.now, DigitalOutputNb, Configuration, State != 0, Mask != 0,
                                            Polarity != 0);
             });
}

int32_t VCS_CALL VCS_SetPositionCompareParameter(void* KeyHandle, uint16_t NodeId, uint8_t OperationalMode,
                                                 uint8_t IntervalMode, uint8_t DirectionDependency,
                                                 uint16_t IntervalWidth, uint16_t IntervalRepetitions,
                                                 uint16_t PulseWidth, uint32_t* pErrorCode) {
  return run("VCS_SetPositionCompareParameter", KeyHandle, pErrorCode,
             TRACE_ARGS(NodeId, OperationalMode, IntervalMode, DirectionDependency, IntervalWidth, IntervalRepetitions,
                        PulseWidth),
             [&](Simulator::Call& c) {
               return c.dev.setCompare({OperationalMode, IntervalMode, DirectionDependency, IntervalWidth,
                                        IntervalRepetitions, PulseWidth});
             });
}

int32_t VCS_CALL VCS_ActivatePositionCompare(void* KeyHandle, uint16_t NodeId, uint16_t DigitalOutputNb,
                                             int32_t Polarity, uint32_t* pErrorCode) {
  return run("VCS_ActivatePositionCompare", KeyHandle, pErrorCode, TRACE_ARGS(NodeId, DigitalOutputNb, Polarity),
             [&](Simulator::Call& c) { return c.dev.activateCompare(DigitalOutputNb, Polarity != 0); });
}

int32_t VCS_CALL VCS_DeactivatePositionCompare(void* KeyHandle, uint16_t NodeId, uint16_t DigitalOutputNb,
                                               uint32_t* pErrorCode) {
  return run("VCS_DeactivatePositionCompare", KeyHandle, pErrorCode, TRACE_ARGS(NodeId, DigitalOutputNb),
             [&](Simulator::Call& c) { return c.dev.deactivateCompare(DigitalOutputNb); });
}

int32_t VCS_CALL VCS_EnablePositionCompare(void* KeyHandle, uint16_t NodeId, uint32_t* pErrorCode) {
  return run("VCS_EnablePositionCompare", KeyHandle, pErrorCode, TRACE_ARGS(NodeId),
             [&](Simulator::Call& c) { return c.dev.enableCompare(c.now); });
}

int32_t VCS_CALL VCS_DisablePositionCompare(void* KeyHandle, uint16_t NodeId, uint32_t* pErrorCode) {
  return run("VCS_DisablePositionCompare", KeyHandle, pErrorCode, TRACE_ARGS(NodeId),
             [&](Simulator::Call& c) { return c.dev.disableCompare(); });
}

// ---- object dictionary ---------------------------------------------------------------------

int32_t VCS_CALL VCS_GetObject(void* KeyHandle, uint16_t NodeId, uint16_t ObjectIndex, uint8_t ObjectSubIndex,
                               void* pData, uint32_t NbOfBytesToRead, uint32_t* pNbOfBytesRead, uint32_t* pErrorCode) {
  return run("VCS_GetObject", KeyHandle, pErrorCode,
             TRACE_ARGS(NodeId, ObjectIndex, ObjectSubIndex, pData, NbOfBytesToRead, pNbOfBytesRead),
             [&](Simulator::Call& c) {
               if (!pData) return EPOS_SIM_ERR_NULL_POINTER;
               uint32_t raw = 0;
               uint8_t size = 0;
               if (uint32_t err = c.dev.readObject(c.now, ObjectIndex, ObjectSubIndex, &raw, &size)) return err;
               if (NbOfBytesToRead < size) return EPOS_SIM_ERR_LENGTH;
               auto* out = static_cast<unsigned char*>(pData);
               for (uint8_t i = 0; i < size; ++i) out[i] = static_cast<unsigned char>(raw >> (8 * i));
               if (pNbOfBytesRead) *pNbOfBytesRead = size;
               return 0u;
             });
}

int32_t VCS_CALL VCS_SetObject(void* KeyHandle, uint16_t NodeId, uint16_t ObjectIndex, uint8_t ObjectSubIndex,
                               void* pData, uint32_t NbOfBytesToWrite, uint32_t* pNbOfBytesWritten,
                               uint32_t* pErrorCode) {
  return run("VCS_SetObject", KeyHandle, pErrorCode,
             TRACE_ARGS(NodeId, ObjectIndex, ObjectSubIndex, pData, NbOfBytesToWrite, pNbOfBytesWritten),
             [&](Simulator::Call& c) {
               if (!pData) return EPOS_SIM_ERR_NULL_POINTER;
               if (NbOfBytesToWrite > 4) return EPOS_SIM_ERR_LENGTH;
               uint32_t raw = 0;
               const auto* in = static_cast<const unsigned char*>(pData);
               for (uint32_t i = 0; i < NbOfBytesToWrite; ++i) raw |= uint32_t(in[i]) << (8 * i);
               uint32_t err = c.dev.writeObject(c.now, ObjectIndex, ObjectSubIndex, raw, NbOfBytesToWrite);
               if (!err && pNbOfBytesWritten) *pNbOfBytesWritten = NbOfBytesToWrite;
               return err;
             });
}

// ---- errors --------------------------------------------------------------------------------------

int32_t VCS_CALL VCS_GetErrorInfo(uint32_t ErrorCodeValue, char* pErrorInfo, uint16_t MaxStrSize) {
  const char* msg = vsim::errorText(ErrorCodeValue);
  if (!pErrorInfo || MaxStrSize == 0) return 0;
  std::string textOut = msg ? msg : "Unknown error code";
  size_t n = std::min<size_t>(textOut.size(), MaxStrSize - 1u);
  std::memcpy(pErrorInfo, textOut.data(), n);
  pErrorInfo[n] = '\0';
  return msg != nullptr;
}

}  // extern "C"
