// The method table of the motor class: names, parameters, defaults and
// docstrings, in the order the class defines them.
#include "module/method_kit.h"
#include "module/methods.h"

namespace vostel {

namespace {

constexpr const char* kConnectDoc =
    "Tries to establish a connection to the Epos\n"
    "        \n"
    "        Parameters\n"
    "        ----------\n"
    "        usb: the usb port on which the connection should be established, default = 'USB0'\n"
    "\n"
    "        Returns True if successful\n"
    "\n"
    "        ";

constexpr const char* kDisconnectDoc = "Closes the Connection to the EPOS and stores all parameters\n        ";

constexpr const char* kGetWavelengthMinMaxDoc =
    "Returns an array with [Minimum Wavelength, Maximum Wavelength]\n"
    "        return: (float,float)\n"
    "        ";

constexpr const char* kSetVelocityDoc =
    "Converts the given parameters from nm/s to Revolutions per Minute(rpm) and nm/s^2 to rpm/s\n"
    "        and stores them on the Epos.\n"
    "\n"
    "        Parameters\n"
    "        ----------\n"
    "        velocity: int\n"
    "            given in nm/s\n"
    "        acceleration: int\n"
    "            given in nm/s^2\n"
    "        deceleration: int\n"
    "            given in nm/s^2\n"
    "\n"
    "        if the given values aren't in the range it will set them to the possible maximum or minimum\n"
    "        ";

constexpr const char* kGetVelocityDoc =
    "Returns Velocity, Acceleration and Deceleration in nm/s or nm/s^2\n"
    "        (float,float,float)\n"
    "        ";

constexpr const char* kConvertDoc =
    "Convert motor parameters (velocity, acc, dec) into wavelength units.\n"
    "        Returns tuple (vWL, aWL, bWL).\n"
    "        ";

constexpr const char* kCalibrationDoc =
    "Sets the current motorposition to the wavelengthposition according to the given wavelength\n"
    "\n"
    "        Parameters\n"
    "        ----------\n"
    "        wavelength: float\n"
    "            wavelength in nm to calibrate the system to\n"
    "        ";

constexpr const char* kMoveToWavelengthDoc =
    "Moves the Motor to a given Wavelength\n"
    "\n"
    "        Parameters\n"
    "        ----------\n"
    "        wavelength: float\n"
    "            wavelength in nm\n"
    "        highPrecision: bool\n"
    "            true -> High Precision Mode activated. When the relative movement is negative the Motor drives "
    "3000 or 10000 steps below the goal\n"
    "            to always come up to it with a positive movement. Stepcount depening on the motorscrew used.\n"
    "            default = 0\n"
    "        trigger: int\n"
    "            0 -> no Trigger activated\n"
    "            1 -> Position Compare Trigger activated gives a Signal every ? nm\n"
    "            2 -> Movement Trigger activated\n"
    "            default = 0\n"
    "\n"
    "        Returns the current wavelength\n"
    "        ";

constexpr const char* kMoveStepsDoc =
    "Moves A certain amount of Steps up to 5000 in either direction\n"
    "\n"
    "        Parameters\n"
    "        ----------\n"
    "        steps: int\n"
    "            Number of steps to move\n"
    "        trigger: int\n"
    "            0 -> no Trigger activated\n"
    "            1 -> Position Compare Trigger activated gives a Signal every ? nm\n"
    "            2 -> Movement Trigger activated\n"
    "            default = 0\n"
    "\n"
    "        Returns the current wavelength\n"
    "        ";

constexpr const char* kStopDoc = "Switches the stop-variable to true\n        ";

constexpr const char* kTriggerParameterDoc =
    "Sets the Parameters for the Positiom Compare Trigger\n"
    "\n"
    "        Parameters\n"
    "        ----------\n"
    "        IntervalWidth: float\n"
    "            Interval width for the trigger signal in nm\n"
    "        ";

constexpr const char* kActivatePositionTriggerDoc =
    "Activates the Position Trigger with the given parameters, which can be adjusted by using the method "
    "triggerParameter(intervalWidth, dutycycle)\n"
    "        ";

constexpr const char* kDeactivatePositionTriggerDoc = "Deactivates the Position Compare Trigger\n        ";

constexpr const char* kReverseDoc = "Reverses the Digital Output for MotionTrigger\n        ";

constexpr const char* kActivateTriggerOutputDoc =
    "Used to activate the motion or position trigger\n"
    "\n"
    "        Parameters\n"
    "        ----------\n"
    "        triggerkind: 1 -> position trigger\n"
    "                     2 -> motion trigger\n"
    "        ";

constexpr const char* kDeactivateTriggerOutputDoc =
    "Used to deactivate the motion or position trigger\n"
    "\n"
    "        Parameters\n"
    "        ----------\n"
    "        triggerkind: 1 -> position trigger\n"
    "                     2 -> motion trigger\n"
    "        ";

constexpr const char* kGetMovingDoc =
    "return whether the system is moving or not\n"
    "        return True for moving / False for standing\n"
    "        return: bool\n"
    "        ";

constexpr const char* kGetWavelengthDoc =
    "Returns the wavelength actual value calculated out of the motorposition\n"
    "        return: float\n"
    "            Wavelength in nm\n"
    "        ";

constexpr const char* kGetCurrentDoc =
    "returns the current actual value\n"
    "        return: float\n"
    "            current in mA\n"
    "        ";

constexpr const char* kGenerateSupportDataDoc =
    "Asks the user for a file location to save support data and enables support data collection.";

constexpr const char* kGetMotorParamtersDoc =
    "returns Coefficent A, Coefficent B, Coefficent C, min Wavelength, max Wavelength, min Velocity,\n"
    "        min Acceleration, min Deceleration, max Velocity, max Acceleration, max Deceleration\n"
    "        of the used System\n"
    "        ";

constexpr const char* kPromptDoc = "Show a GUI file picker to let the user select the DLL and copy it.";
constexpr const char* kLoadDoc = "Load the DLL if it exists, otherwise prompt the user once.";

constexpr Default R = Default::NoDefault;

}  // namespace

std::vector<MethodInfo> motor_methods() {
  return {
      {"__init__", nullptr, {}, nullptr, init},
      {"connect", kConnectDoc, {{"usb", Default::StrUSB0}}, nullptr, connect},
      {"disconnect", kDisconnectDoc, {}, nullptr, disconnect},
      {"__GetIndexValue", nullptr, {{"ObjectIndex", R}, {"ObjectSubIndex", R}, {"pData", R}}, nullptr, GetIndexValue},
      {"__SetIndexValue", nullptr, {{"ObjectIndex", R}, {"ObjectSubIndex", R}, {"Value", R}}, nullptr, SetIndexValue},
      {"__ReadMotorCoefficients", nullptr, {}, nullptr, ReadMotorCoefficients},
      {"__SetMotorCoefficients",
       nullptr,
       {{"A", R}, {"B", R}, {"C", R}, {"maxWavelength", R}, {"minWavelength", R}},
       nullptr,
       SetMotorCoefficients},
      {"__readWavelengthMinMax", nullptr, {}, nullptr, readWavelengthMinMax},
      {"getWavelengthMinMax", kGetWavelengthMinMaxDoc, {}, nullptr, getWavelengthMinMax},
      {"__DCMotorParameter", nullptr, {}, nullptr, DCMotorParameter},
      {"setVelocityParameter",
       kSetVelocityDoc,
       {{"velocity", R}, {"acceleration", R}, {"deceleration", R}},
       nullptr,
       setVelocityParameter},
      {"getVelocityParameter", kGetVelocityDoc, {}, nullptr, getVelocityParameter},
      {"__convertMotorParameterToWavelength",
       kConvertDoc,
       {{"pv", R}, {"pa", R}, {"pb", R}},
       nullptr,
       convertMotorParameterToWavelength},
      {"__HomePosition", nullptr, {}, nullptr, HomePosition},
      {"calibration", kCalibrationDoc, {{"wavelength", R}}, nullptr, calibration},
      {"__hexToFloatForCoefficients", nullptr, {{"Read", R}}, nullptr, hexToFloatForCoefficients},
      {"__coefficientsToHex", nullptr, {{"Coeff", R}}, nullptr, coefficientsToHex},
      {"__minmaxToHex", nullptr, {{"minWl", R}, {"maxWl", R}}, nullptr, minmaxToHex},
      {"__motorpositionToWavelength", nullptr, {{"Motorposition", R}}, nullptr, motorpositionToWavelength},
      {"__wavelengthToMotorposition", nullptr, {{"Wavelength", R}}, nullptr, wavelengthToMotorposition},
      {"__wlSafetyCheck", nullptr, {{"wavelength", R}}, nullptr, wlSafetyCheck},
      {"__PositionSafetyCheck", nullptr, {{"steps", R}}, nullptr, PositionSafetyCheck},
      {"__calculateOffset", nullptr, {}, nullptr, calculateOffset},
      {"moveToWavelength",
       kMoveToWavelengthDoc,
       {{"wavelength", R}, {"highPrecision", Default::Int0}, {"trigger", Default::Int0}},
       nullptr,
       moveToWavelength},
      {"__limitSwitch", nullptr, {}, nullptr, limitSwitch},
      {"__limitSwitchCalibrationWindow", nullptr, {}, nullptr, limitSwitchCalibrationWindow},
      {"__clearFault", nullptr, {}, nullptr, clearFault},
      {"moveSteps", kMoveStepsDoc, {{"steps", R}, {"trigger", Default::Int0}}, nullptr, moveSteps},
      {"__waittillmovementdone", nullptr, {{"trigger", R}, {"pLimitSwitch", R}}, nullptr, waittillmovementdone},
      {"stopMovement", kStopDoc, {}, nullptr, stopMovement},
      {"triggerParameter", kTriggerParameterDoc, {{"intervalWidth", R}}, nullptr, triggerParameter},
      {"__activatePositionTrigger", kActivatePositionTriggerDoc, {}, nullptr, activatePositionTrigger},
      {"__deactivatePositionTrigger", kDeactivatePositionTriggerDoc, {}, nullptr, deactivatePositionTrigger},
      {"reverseMotionTrigger", kReverseDoc, {}, nullptr, reverseMotionTrigger},
      {"__activateTriggerOutput", kActivateTriggerOutputDoc, {{"triggerkind", R}}, nullptr, activateTriggerOutput},
      {"__deactivateTriggerOutput",
       kDeactivateTriggerOutputDoc,
       {{"triggerkind", R}},
       nullptr,
       deactivateTriggerOutput},
      {"getMoving", kGetMovingDoc, {}, nullptr, getMoving},
      {"getWavelength", kGetWavelengthDoc, {}, nullptr, getWavelength},
      {"getCurrent", kGetCurrentDoc, {}, nullptr, getCurrent},
      {"generateSupportData", kGenerateSupportDataDoc, {}, nullptr, generateSupportData},
      {"__dllCall", nullptr, {{"funcName", R}}, "args", dllCall},
      {"getMotorParamters", kGetMotorParamtersDoc, {}, nullptr, getMotorParamters},
      {"_try_load", nullptr, {{"dll_path", R}}, nullptr, try_load},
      {"_prompt_for_dll_and_copy", kPromptDoc, {{"target_dir", R}}, nullptr, prompt_for_dll_and_copy},
      {"load_epos_dll", kLoadDoc, {{"package_dir", Default::None_}}, nullptr, load_epos_dll},
  };
}

}  // namespace vostel
