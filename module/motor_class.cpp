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
      {"__init__", "__init__", "(self)", nullptr, {}, nullptr, init},
      {"connect", "connect", "(self, usb='USB0')", kConnectDoc, {{"usb", Default::StrUSB0}}, nullptr, connect},
      {"disconnect", "disconnect", "(self)", kDisconnectDoc, {}, nullptr, disconnect},
      {"_motor__GetIndexValue", "__GetIndexValue", "(self, ObjectIndex, ObjectSubIndex, pData)", nullptr,
       {{"ObjectIndex", R}, {"ObjectSubIndex", R}, {"pData", R}}, nullptr, GetIndexValue},
      {"_motor__SetIndexValue", "__SetIndexValue", "(self, ObjectIndex, ObjectSubIndex, Value)", nullptr,
       {{"ObjectIndex", R}, {"ObjectSubIndex", R}, {"Value", R}}, nullptr, SetIndexValue},
      {"_motor__ReadMotorCoefficients", "__ReadMotorCoefficients", "(self)", nullptr, {}, nullptr,
       ReadMotorCoefficients},
      {"_motor__SetMotorCoefficients", "__SetMotorCoefficients", "(self, A, B, C, maxWavelength, minWavelength)",
       nullptr, {{"A", R}, {"B", R}, {"C", R}, {"maxWavelength", R}, {"minWavelength", R}}, nullptr,
       SetMotorCoefficients},
      {"_motor__readWavelengthMinMax", "__readWavelengthMinMax", "(self)", nullptr, {}, nullptr,
       readWavelengthMinMax},
      {"getWavelengthMinMax", "getWavelengthMinMax", "(self)", kGetWavelengthMinMaxDoc, {}, nullptr,
       getWavelengthMinMax},
      {"_motor__DCMotorParameter", "__DCMotorParameter", "(self)", nullptr, {}, nullptr, DCMotorParameter},
      {"setVelocityParameter", "setVelocityParameter", "(self, velocity, acceleration, deceleration)",
       kSetVelocityDoc, {{"velocity", R}, {"acceleration", R}, {"deceleration", R}}, nullptr,
       setVelocityParameter},
      {"getVelocityParameter", "getVelocityParameter", "(self)", kGetVelocityDoc, {}, nullptr,
       getVelocityParameter},
      {"_motor__convertMotorParameterToWavelength", "__convertMotorParameterToWavelength", "(self, pv, pa, pb)",
       kConvertDoc, {{"pv", R}, {"pa", R}, {"pb", R}}, nullptr, convertMotorParameterToWavelength},
      {"_motor__HomePosition", "__HomePosition", "(self)", nullptr, {}, nullptr, HomePosition},
      {"calibration", "calibration", "(self, wavelength)", kCalibrationDoc, {{"wavelength", R}}, nullptr,
       calibration},
      {"_motor__hexToFloatForCoefficients", "__hexToFloatForCoefficients", "(self, Read)", nullptr,
       {{"Read", R}}, nullptr, hexToFloatForCoefficients},
      {"_motor__coefficientsToHex", "__coefficientsToHex", "(self, Coeff)", nullptr, {{"Coeff", R}}, nullptr,
       coefficientsToHex},
      {"_motor__minmaxToHex", "__minmaxToHex", "(self, minWl, maxWl)", nullptr, {{"minWl", R}, {"maxWl", R}},
       nullptr, minmaxToHex},
      {"_motor__motorpositionToWavelength", "__motorpositionToWavelength", "(self, Motorposition)", nullptr,
       {{"Motorposition", R}}, nullptr, motorpositionToWavelength},
      {"_motor__wavelengthToMotorposition", "__wavelengthToMotorposition", "(self, Wavelength)", nullptr,
       {{"Wavelength", R}}, nullptr, wavelengthToMotorposition},
      {"_motor__wlSafetyCheck", "__wlSafetyCheck", "(self, wavelength)", nullptr, {{"wavelength", R}}, nullptr,
       wlSafetyCheck},
      {"_motor__PositionSafetyCheck", "__PositionSafetyCheck", "(self, steps)", nullptr, {{"steps", R}}, nullptr,
       PositionSafetyCheck},
      {"_motor__calculateOffset", "__calculateOffset", "(self)", nullptr, {}, nullptr, calculateOffset},
      {"moveToWavelength", "moveToWavelength", "(self, wavelength, highPrecision=0, trigger=0)",
       kMoveToWavelengthDoc, {{"wavelength", R}, {"highPrecision", Default::Int0}, {"trigger", Default::Int0}},
       nullptr, moveToWavelength},
      {"_motor__limitSwitch", "__limitSwitch", "(self)", nullptr, {}, nullptr, limitSwitch},
      {"_motor__limitSwitchCalibrationWindow", "__limitSwitchCalibrationWindow", "(self)", nullptr, {}, nullptr,
       limitSwitchCalibrationWindow},
      {"_motor__clearFault", "__clearFault", "(self)", nullptr, {}, nullptr, clearFault},
      {"moveSteps", "moveSteps", "(self, steps, trigger=0)", kMoveStepsDoc,
       {{"steps", R}, {"trigger", Default::Int0}}, nullptr, moveSteps},
      {"_motor__waittillmovementdone", "__waittillmovementdone", "(self, trigger, pLimitSwitch)", nullptr,
       {{"trigger", R}, {"pLimitSwitch", R}}, nullptr, waittillmovementdone},
      {"stopMovement", "stopMovement", "(self)", kStopDoc, {}, nullptr, stopMovement},
      {"triggerParameter", "triggerParameter", "(self, intervalWidth)", kTriggerParameterDoc,
       {{"intervalWidth", R}}, nullptr, triggerParameter},
      {"_motor__activatePositionTrigger", "__activatePositionTrigger", "(self)", kActivatePositionTriggerDoc, {},
       nullptr, activatePositionTrigger},
      {"_motor__deactivatePositionTrigger", "__deactivatePositionTrigger", "(self)",
       kDeactivatePositionTriggerDoc, {}, nullptr, deactivatePositionTrigger},
      {"reverseMotionTrigger", "reverseMotionTrigger", "(self)", kReverseDoc, {}, nullptr, reverseMotionTrigger},
      {"_motor__activateTriggerOutput", "__activateTriggerOutput", "(self, triggerkind)",
       kActivateTriggerOutputDoc, {{"triggerkind", R}}, nullptr, activateTriggerOutput},
      {"_motor__deactivateTriggerOutput", "__deactivateTriggerOutput", "(self, triggerkind)",
       kDeactivateTriggerOutputDoc, {{"triggerkind", R}}, nullptr, deactivateTriggerOutput},
      {"getMoving", "getMoving", "(self)", kGetMovingDoc, {}, nullptr, getMoving},
      {"getWavelength", "getWavelength", "(self)", kGetWavelengthDoc, {}, nullptr, getWavelength},
      {"getCurrent", "getCurrent", "(self)", kGetCurrentDoc, {}, nullptr, getCurrent},
      {"generateSupportData", "generateSupportData", "(self)", kGenerateSupportDataDoc, {}, nullptr,
       generateSupportData},
      {"_motor__dllCall", "__dllCall", "(self, funcName, *args)", nullptr, {{"funcName", R}}, "args", dllCall},
      {"getMotorParamters", "getMotorParamters", "(self)", kGetMotorParamtersDoc, {}, nullptr, getMotorParamters},
      {"_try_load", "_try_load", "(self, dll_path)", nullptr, {{"dll_path", R}}, nullptr, try_load},
      {"_prompt_for_dll_and_copy", "_prompt_for_dll_and_copy", "(self, target_dir)", kPromptDoc,
       {{"target_dir", R}}, nullptr, prompt_for_dll_and_copy},
      {"load_epos_dll", "load_epos_dll", "(self, package_dir=None)", kLoadDoc, {{"package_dir", Default::None_}},
       nullptr, load_epos_dll},
  };
}

}  // namespace vostel
