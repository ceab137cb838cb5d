/*
 * Simulated EPOS2 positioning controller.
 *
 * The library exports the VCS_ commands of the controller's command library
 * with the vendor's C prototypes (key handle pointer-sized, node id unsigned
 * 16-bit, error code out-parameter unsigned 32-bit, BOOL results), so that it
 * can stand in for EposCMD64.dll, and a control interface under the SIM_
 * prefix for tests and demos.  See simulator/README.md for the behaviour.
 *
 * The header is plain C and can be included from C and C++.
 */
#ifndef VOSTEL_EPOS_SIM_H
#define VOSTEL_EPOS_SIM_H

#include <stdint.h>

#if defined(_WIN32)
#if defined(EPOS_SIM_BUILDING)
#define EPOS_SIM_EXPORT __declspec(dllexport)
#else
#define EPOS_SIM_EXPORT __declspec(dllimport)
#endif
#define VCS_CALL __stdcall
#define SIM_CALL __cdecl
#else
#define EPOS_SIM_EXPORT __attribute__((visibility("default")))
#define VCS_CALL
#define SIM_CALL
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* Error codes written to the pErrorCode out-parameter. */
#define EPOS_SIM_OK 0x00000000u
#define EPOS_SIM_ERR_READ_ONLY 0x06010002u      /* object is read only */
#define EPOS_SIM_ERR_NO_OBJECT 0x06020000u      /* object does not exist */
#define EPOS_SIM_ERR_LENGTH 0x06070010u         /* data length does not match the object */
#define EPOS_SIM_ERR_NO_SUBINDEX 0x06090011u    /* subindex does not exist */
#define EPOS_SIM_ERR_RANGE 0x06090030u          /* value range of parameter exceeded */
#define EPOS_SIM_ERR_TOO_HIGH 0x06090031u       /* value of parameter too high */
#define EPOS_SIM_ERR_TOO_LOW 0x06090032u        /* value of parameter too low */
#define EPOS_SIM_ERR_GENERAL 0x08000000u        /* general error (e.g. storing failed) */
#define EPOS_SIM_ERR_NULL_POINTER 0x10000002u   /* null pointer passed to function */
#define EPOS_SIM_ERR_BAD_HANDLE 0x10000003u     /* handle not valid (unknown or closed) */
#define EPOS_SIM_ERR_DEVICE_NAME 0x10000005u    /* device name not valid */
#define EPOS_SIM_ERR_PROTOCOL_NAME 0x10000006u  /* protocol stack name not valid */
#define EPOS_SIM_ERR_INTERFACE_NAME 0x10000007u /* interface name not valid */
#define EPOS_SIM_ERR_TIMEOUT 0x1000000Bu        /* time-out during execution */
#define EPOS_SIM_ERR_NO_DEVICE 0x1000000Fu      /* no device found / communication lost */
#define EPOS_SIM_ERR_NOT_ENABLED 0x34000007u    /* drive is not in the enabled state */
#define EPOS_SIM_ERR_FAULT_STATE 0x34000008u    /* drive is in the fault state */

/* Drive states reported by VCS_GetState. */
#define EPOS_SIM_ST_DISABLED 0
#define EPOS_SIM_ST_ENABLED 1
#define EPOS_SIM_ST_QUICKSTOP 2
#define EPOS_SIM_ST_FAULT 3

/* ---- Command library (vendor prototypes) ---------------------------------- */

EPOS_SIM_EXPORT void* VCS_CALL VCS_OpenDevice(char* DeviceName, char* ProtocolStackName, char* InterfaceName,
                                              char* PortName, uint32_t* pErrorCode);
EPOS_SIM_EXPORT int32_t VCS_CALL VCS_CloseDevice(void* KeyHandle, uint32_t* pErrorCode);

EPOS_SIM_EXPORT int32_t VCS_CALL VCS_SetEnableState(void* KeyHandle, uint16_t NodeId, uint32_t* pErrorCode);
EPOS_SIM_EXPORT int32_t VCS_CALL VCS_SetDisableState(void* KeyHandle, uint16_t NodeId, uint32_t* pErrorCode);
EPOS_SIM_EXPORT int32_t VCS_CALL VCS_SetQuickStopState(void* KeyHandle, uint16_t NodeId, uint32_t* pErrorCode);
EPOS_SIM_EXPORT int32_t VCS_CALL VCS_ClearFault(void* KeyHandle, uint16_t NodeId, uint32_t* pErrorCode);
EPOS_SIM_EXPORT int32_t VCS_CALL VCS_GetState(void* KeyHandle, uint16_t NodeId, uint16_t* pState, uint32_t* pErrorCode);
EPOS_SIM_EXPORT int32_t VCS_CALL VCS_Store(void* KeyHandle, uint16_t NodeId, uint32_t* pErrorCode);

EPOS_SIM_EXPORT int32_t VCS_CALL VCS_SetMaxProfileVelocity(void* KeyHandle, uint16_t NodeId,
                                                           uint32_t MaxProfileVelocity, uint32_t* pErrorCode);
EPOS_SIM_EXPORT int32_t VCS_CALL VCS_SetMaxAcceleration(void* KeyHandle, uint16_t NodeId, uint32_t MaxAcceleration,
                                                        uint32_t* pErrorCode);
EPOS_SIM_EXPORT int32_t VCS_CALL VCS_GetIncEncoderParameter(void* KeyHandle, uint16_t NodeId,
                                                            uint32_t* pEncoderResolution, int32_t* pInvertedPolarity,
                                                            uint32_t* pErrorCode);
EPOS_SIM_EXPORT int32_t VCS_CALL VCS_SetIncEncoderParameter(void* KeyHandle, uint16_t NodeId,
                                                            uint32_t EncoderResolution, int32_t InvertedPolarity,
                                                            uint32_t* pErrorCode);
EPOS_SIM_EXPORT int32_t VCS_CALL VCS_GetDcMotorParameter(void* KeyHandle, uint16_t NodeId, uint16_t* pNominalCurrent,
                                                         uint16_t* pMaxOutputCurrent, uint16_t* pThermalTimeConstant,
                                                         uint32_t* pErrorCode);
EPOS_SIM_EXPORT int32_t VCS_CALL VCS_SetDcMotorParameter(void* KeyHandle, uint16_t NodeId, uint16_t NominalCurrent,
                                                         uint16_t MaxOutputCurrent, uint16_t ThermalTimeConstant,
                                                         uint32_t* pErrorCode);

EPOS_SIM_EXPORT int32_t VCS_CALL VCS_ActivateProfilePositionMode(void* KeyHandle, uint16_t NodeId,
                                                                 uint32_t* pErrorCode);
EPOS_SIM_EXPORT int32_t VCS_CALL VCS_SetPositionProfile(void* KeyHandle, uint16_t NodeId, uint32_t ProfileVelocity,
                                                        uint32_t ProfileAcceleration, uint32_t ProfileDeceleration,
                                                        uint32_t* pErrorCode);
EPOS_SIM_EXPORT int32_t VCS_CALL VCS_GetPositionProfile(void* KeyHandle, uint16_t NodeId, uint32_t* pProfileVelocity,
                                                        uint32_t* pProfileAcceleration, uint32_t* pProfileDeceleration,
                                                        uint32_t* pErrorCode);
EPOS_SIM_EXPORT int32_t VCS_CALL VCS_MoveToPosition(void* KeyHandle, uint16_t NodeId, int32_t TargetPosition,
                                                    int32_t Absolute, int32_t Immediately, uint32_t* pErrorCode);
EPOS_SIM_EXPORT int32_t VCS_CALL VCS_WaitForTargetReached(void* KeyHandle, uint16_t NodeId, uint32_t Timeout,
                                                          uint32_t* pErrorCode);
EPOS_SIM_EXPORT int32_t VCS_CALL VCS_GetMovementState(void* KeyHandle, uint16_t NodeId, int32_t* pTargetReached,
                                                      uint32_t* pErrorCode);
EPOS_SIM_EXPORT int32_t VCS_CALL VCS_GetPositionIs(void* KeyHandle, uint16_t NodeId, int32_t* pPositionIs,
                                                   uint32_t* pErrorCode);
EPOS_SIM_EXPORT int32_t VCS_CALL VCS_GetCurrentIs(void* KeyHandle, uint16_t NodeId, int16_t* pCurrentIs,
                                                  uint32_t* pErrorCode);
EPOS_SIM_EXPORT int32_t VCS_CALL VCS_GetAllDigitalInputs(void* KeyHandle, uint16_t NodeId, uint16_t* pInputs,
                                                         uint32_t* pErrorCode);

EPOS_SIM_EXPORT int32_t VCS_CALL VCS_DigitalOutputConfiguration(void* KeyHandle, uint16_t NodeId,
                                                                uint16_t DigitalOutputNb, uint16_t Configuration,
                                                                int32_t State, int32_t Mask, int32_t Polarity,
                                                                uint32_t* pErrorCode);
EPOS_SIM_EXPORT int32_t VCS_CALL VCS_SetPositionCompareParameter(void* KeyHandle, uint16_t NodeId,
                                                                 uint8_t OperationalMode, uint8_t IntervalMode,
                                                                 uint8_t DirectionDependency, uint16_t IntervalWidth,
                                                                 uint16_t IntervalRepetitions, uint16_t PulseWidth,
                                                                 uint32_t* pErrorCode);
EPOS_SIM_EXPORT int32_t VCS_CALL VCS_ActivatePositionCompare(void* KeyHandle, uint16_t NodeId, uint16_t DigitalOutputNb,
                                                             int32_t Polarity, uint32_t* pErrorCode);
EPOS_SIM_EXPORT int32_t VCS_CALL VCS_DeactivatePositionCompare(void* KeyHandle, uint16_t NodeId,
                                                               uint16_t DigitalOutputNb, uint32_t* pErrorCode);
EPOS_SIM_EXPORT int32_t VCS_CALL VCS_EnablePositionCompare(void* KeyHandle, uint16_t NodeId, uint32_t* pErrorCode);
EPOS_SIM_EXPORT int32_t VCS_CALL VCS_DisablePositionCompare(void* KeyHandle, uint16_t NodeId, uint32_t* pErrorCode);

EPOS_SIM_EXPORT int32_t VCS_CALL VCS_GetObject(void* KeyHandle, uint16_t NodeId, uint16_t ObjectIndex,
                                               uint8_t ObjectSubIndex, void* pData, uint32_t NbOfBytesToRead,
                                               uint32_t* pNbOfBytesRead, uint32_t* pErrorCode);
EPOS_SIM_EXPORT int32_t VCS_CALL VCS_SetObject(void* KeyHandle, uint16_t NodeId, uint16_t ObjectIndex,
                                               uint8_t ObjectSubIndex, void* pData, uint32_t NbOfBytesToWrite,
                                               uint32_t* pNbOfBytesWritten, uint32_t* pErrorCode);

EPOS_SIM_EXPORT int32_t VCS_CALL VCS_GetErrorInfo(uint32_t ErrorCodeValue, char* pErrorInfo, uint16_t MaxStrSize);

/* ---- Control interface ----------------------------------------------------- */

/* Power-cycles the simulated controller: closes all handles, clears the trace,
 * injected failures and unplugging, restores the default ports and limit
 * switches, and brings the device up from its stored memory (the state file).
 * With forget_stored nonzero the state file is deleted first, so the device
 * comes up with its factory parameters at position 0.  The clock and the
 * state-file path are kept. */
EPOS_SIM_EXPORT void SIM_CALL SIM_Reset(int forget_stored);

/* State file used by VCS_Store and SIM_Reset; NULL or "" restores the default
 * (VOSTEL_SIM_STATE, else vostel_sim_state.txt in the temp folder).  Takes
 * effect for the next store or reset. */
EPOS_SIM_EXPORT int SIM_CALL SIM_SetStateFile(const char* path);
EPOS_SIM_EXPORT int SIM_CALL SIM_GetStateFile(char* buffer, int size); /* returns needed size incl. NUL */

/* Clock.  Time is in seconds since the library was loaded. */
EPOS_SIM_EXPORT int SIM_CALL SIM_UseWallClock(double speed);   /* speed > 0; 1 = real time */
EPOS_SIM_EXPORT int SIM_CALL SIM_UseVirtualClock(void);        /* freezes time at its present value */
EPOS_SIM_EXPORT int SIM_CALL SIM_AdvanceClock(double seconds); /* virtual clock only, seconds >= 0 */
EPOS_SIM_EXPORT int SIM_CALL SIM_SetClockStep(double seconds); /* virtual clock: advance on every VCS_ call */
EPOS_SIM_EXPORT double SIM_CALL SIM_GetTime(void);

/* Drive and environment. */
EPOS_SIM_EXPORT int SIM_CALL SIM_SetPosition(int position); /* stops any motion */
EPOS_SIM_EXPORT int SIM_CALL SIM_GetPosition(void);
/* The quick-stop deceleration (object 0x6085), rpm/s >= 1: a quick-stopped
 * drive brakes at it.  Its factory value, 10000, may be replaced by the
 * environment variable VOSTEL_SIM_QUICK_STOP_DECELERATION. */
EPOS_SIM_EXPORT int SIM_CALL SIM_SetQuickStopDeceleration(uint32_t rpm_per_s);
EPOS_SIM_EXPORT int SIM_CALL SIM_GetDriveState(void); /* EPOS_SIM_ST_* */
EPOS_SIM_EXPORT int SIM_CALL SIM_IsMoving(void);
EPOS_SIM_EXPORT int SIM_CALL SIM_GetOutputLevel(int output);                   /* 0/1, -1 for an unknown output */
EPOS_SIM_EXPORT int SIM_CALL SIM_SetLimitSwitches(int negative, int positive); /* negative < positive */
EPOS_SIM_EXPORT int SIM_CALL SIM_SetPorts(const char* ports);                  /* comma separated, e.g. "USB0,USB1" */
EPOS_SIM_EXPORT int SIM_CALL SIM_SetPlugged(int plugged);

/* Makes the next `count` calls of `command` (a VCS_ name, or "*" for any)
 * fail with `error_code` without effect; a negative count makes every call
 * fail until removed.  count 0 removes the injection.  SIM_FailAt makes only
 * the `nth` call from now fail (1 = the next).  SIM_DriveFault puts the drive
 * in the fault state where it stands (a following error: the inputs stay 0);
 * SIM_ExternalDisable disables it from outside (its enable input dropped). */
EPOS_SIM_EXPORT int SIM_CALL SIM_FailNext(const char* command, int count, uint32_t error_code);
EPOS_SIM_EXPORT int SIM_CALL SIM_FailAt(const char* command, int nth, uint32_t error_code);
/* Every failing VCS_ call (injected, unplugged, refused) takes this long before
 * it returns: the virtual clock moves on by it, the wall clock is waited on.
 * 0 (the default) = at once; negative or not finite is refused. */
EPOS_SIM_EXPORT int SIM_CALL SIM_SetFailureTime(double seconds);
EPOS_SIM_EXPORT int SIM_CALL SIM_DriveFault(void);
EPOS_SIM_EXPORT int SIM_CALL SIM_ExternalDisable(void);

/* Trace.  SIM_TraceJson writes the trace as JSON into buffer (when size is
 * large enough) and returns the size it needs including the NUL. */
EPOS_SIM_EXPORT int SIM_CALL SIM_TraceJson(char* buffer, int size);
EPOS_SIM_EXPORT void SIM_CALL SIM_TraceClear(void);
EPOS_SIM_EXPORT int SIM_CALL SIM_PulseCount(void);                  /* pulses since the trace was cleared */
EPOS_SIM_EXPORT int SIM_CALL SIM_CommandCount(const char* command); /* calls received since the trace was cleared */

#ifdef __cplusplus
}
#endif

#endif /* VOSTEL_EPOS_SIM_H */
