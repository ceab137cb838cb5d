/* A plain C client of the simulated controller: connects, moves, reads back
 * and disconnects through the vendor prototypes only.  Returns 0, or the
 * number of the step that failed with its error text in `message`. */
#include <stddef.h>
#include <stdint.h>
#include <string.h>

#include "epos_sim.h"

int c_caller_session(int32_t steps, int32_t* reached, char* message, uint16_t size) {
  uint32_t err = 0;
  void* h = VCS_OpenDevice("EPOS2", "MAXON SERIAL V2", "USB", "USB0", &err);
  int step = 0;
  uint32_t resolution = 0;
  int32_t inverted = -1;
  int32_t done = 0;
  uint16_t state = 99;

  message[0] = '\0';
  if (h == NULL) {
    step = 1;
    goto failed;
  }
  if (!VCS_SetEnableState(h, 0, &err)) {
    step = 2;
    goto failed;
  }
  if (!VCS_GetIncEncoderParameter(h, 0, &resolution, &inverted, &err) || resolution != 512 || inverted != 0) {
    step = 3;
    goto failed;
  }
  if (!VCS_SetPositionProfile(h, 0, 600, 2000, 2000, &err)) {
    step = 4;
    goto failed;
  }
  if (!VCS_MoveToPosition(h, 0, steps, 0, 1, &err)) {
    step = 5;
    goto failed;
  }
  if (!VCS_WaitForTargetReached(h, 0, 60000, &err)) {
    step = 6;
    goto failed;
  }
  if (!VCS_GetMovementState(h, 0, &done, &err) || !done) {
    step = 7;
    goto failed;
  }
  if (!VCS_GetPositionIs(h, 0, reached, &err)) {
    step = 8;
    goto failed;
  }
  if (!VCS_GetState(h, 0, &state, &err) || state != EPOS_SIM_ST_ENABLED) {
    step = 9;
    goto failed;
  }
  if (!VCS_SetDisableState(h, 0, &err)) {
    step = 10;
    goto failed;
  }
  if (!VCS_CloseDevice(h, &err)) {
    step = 11;
    goto failed;
  }
  /* A closed handle is refused. */
  if (VCS_GetState(h, 0, &state, &err) || err != EPOS_SIM_ERR_BAD_HANDLE) {
    step = 12;
    goto failed;
  }
  return 0;

failed:
  VCS_GetErrorInfo(err, message, size);
  return step;
}
