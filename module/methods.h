// The functions of the motor class, one C++ function each, grouped by the
// folder that implements them. Every function receives the instance and its
// bound arguments (without self) in declaration order.
#pragma once

#include "module/pyutil.h"

namespace vostel {

// module/
py::object init(py::handle self, Args& a);

// controller/
py::object connect(py::handle self, Args& a);
py::object disconnect(py::handle self, Args& a);
py::object GetIndexValue(py::handle self, Args& a);
py::object SetIndexValue(py::handle self, Args& a);
py::object dllCall(py::handle self, Args& a);  // a = {funcName, tuple args}
py::object try_load(py::handle self, Args& a);
py::object prompt_for_dll_and_copy(py::handle self, Args& a);
py::object load_epos_dll(py::handle self, Args& a);

// wavelength/
py::object ReadMotorCoefficients(py::handle self, Args& a);
py::object SetMotorCoefficients(py::handle self, Args& a);
py::object readWavelengthMinMax(py::handle self, Args& a);
py::object getWavelengthMinMax(py::handle self, Args& a);
py::object HomePosition(py::handle self, Args& a);
py::object calibration(py::handle self, Args& a);
py::object hexToFloatForCoefficients(py::handle self, Args& a);
py::object coefficientsToHex(py::handle self, Args& a);
py::object minmaxToHex(py::handle self, Args& a);
py::object motorpositionToWavelength(py::handle self, Args& a);
py::object wavelengthToMotorposition(py::handle self, Args& a);
py::object wlSafetyCheck(py::handle self, Args& a);
py::object PositionSafetyCheck(py::handle self, Args& a);
py::object calculateOffset(py::handle self, Args& a);

// motion/
py::object DCMotorParameter(py::handle self, Args& a);
py::object setVelocityParameter(py::handle self, Args& a);
py::object getVelocityParameter(py::handle self, Args& a);
py::object convertMotorParameterToWavelength(py::handle self, Args& a);
py::object moveToWavelength(py::handle self, Args& a);
py::object limitSwitch(py::handle self, Args& a);
py::object limitSwitchCalibrationWindow(py::handle self, Args& a);
py::object clearFault(py::handle self, Args& a);
py::object moveSteps(py::handle self, Args& a);
py::object waittillmovementdone(py::handle self, Args& a);
py::object stopMovement(py::handle self, Args& a);
py::object getMoving(py::handle self, Args& a);
py::object getWavelength(py::handle self, Args& a);
py::object getCurrent(py::handle self, Args& a);

// trigger/
py::object triggerParameter(py::handle self, Args& a);
py::object activatePositionTrigger(py::handle self, Args& a);
py::object deactivatePositionTrigger(py::handle self, Args& a);
py::object reverseMotionTrigger(py::handle self, Args& a);
py::object activateTriggerOutput(py::handle self, Args& a);
py::object deactivateTriggerOutput(py::handle self, Args& a);

// diagnostics/
py::object generateSupportData(py::handle self, Args& a);
py::object getMotorParamters(py::handle self, Args& a);

}  // namespace vostel
