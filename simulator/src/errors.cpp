#include "errors.h"

#include "../epos_sim.h"

namespace vsim {

const char* errorText(uint32_t code) {
  switch (code) {
    case EPOS_SIM_OK:
      return "No error";
    case EPOS_SIM_ERR_READ_ONLY:
      return "Attempt to write a read-only object";
    case EPOS_SIM_ERR_NO_OBJECT:
      return "Object does not exist in the object dictionary";
    case EPOS_SIM_ERR_LENGTH:
      return "Data length does not match the object";
    case EPOS_SIM_ERR_NO_SUBINDEX:
      return "Subindex does not exist";
    case EPOS_SIM_ERR_RANGE:
      return "Value range of parameter exceeded";
    case EPOS_SIM_ERR_TOO_HIGH:
      return "Value of parameter written too high";
    case EPOS_SIM_ERR_TOO_LOW:
      return "Value of parameter written too low";
    case EPOS_SIM_ERR_GENERAL:
      return "General error: parameters could not be stored";
    case EPOS_SIM_ERR_NULL_POINTER:
      return "Null pointer passed to function";
    case EPOS_SIM_ERR_BAD_HANDLE:
      return "Handle not valid: the device is not open with this handle";
    case EPOS_SIM_ERR_DEVICE_NAME:
      return "Device name is not valid";
    case EPOS_SIM_ERR_PROTOCOL_NAME:
      return "Protocol stack name is not valid";
    case EPOS_SIM_ERR_INTERFACE_NAME:
      return "Interface name is not valid";
    case EPOS_SIM_ERR_TIMEOUT:
      return "Timeout occurred during execution";
    case EPOS_SIM_ERR_NO_DEVICE:
      return "No communication found: no device is connected on this port";
    case EPOS_SIM_ERR_NOT_ENABLED:
      return "Command refused: the drive is not enabled";
    case EPOS_SIM_ERR_FAULT_STATE:
      return "The drive is in the fault state; clear the fault first";
  }
  return nullptr;
}

}  // namespace vsim
