// The fixed arguments of the controller's commands, named once.
#pragma once

namespace vostel::cmd {

// VCS_OpenDevice: device, protocol stack and interface.
constexpr const char* kDeviceName = "EPOS2";
constexpr const char* kProtocolStackName = "MAXON SERIAL V2";
constexpr const char* kInterfaceName = "USB";

// VCS_DigitalOutputConfiguration: the trigger's digital output and its
// configuration (general purpose).
constexpr int kTriggerOutput = 3;
constexpr int kGeneralPurpose = 15;

// VCS_MoveToPosition: the target is relative to the present position
// (absolute 0) and the move starts at once (immediately 1).
constexpr int kRelative = 0;
constexpr int kImmediately = 1;

// The controller's quick-stop deceleration (rpm/s, 32 bits): a stopped drive
// brakes at it.
constexpr int kQuickStopDecelerationIndex = 0x6085;

// VCS_SetPositionCompareParameter: operation mode, interval mode, direction
// dependency, interval repetitions; VCS_ActivatePositionCompare: polarity.
constexpr int kCompareSingleMode = 1;
constexpr int kCompareIntervalMode = 2;
constexpr int kCompareBothDirections = 2;
constexpr int kCompareRepetitions = 0;
constexpr int kComparePolarity = 0;

}  // namespace vostel::cmd
